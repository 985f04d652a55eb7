#include "update/update_state.h"

namespace update {

UpdateState& updateState() {
    static UpdateState state;
    return state;
}

}  // namespace update
