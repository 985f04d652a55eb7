#include "update/update_state.h"

namespace update {

PublicKey releaseKey() {
    // CMake has checked that the variable holds 64 hexadecimal digits.
    static const PublicKey key = publicKeyFromHex(TMBL_UPDATE_KEY_HEX).value_or(PublicKey{});
    return key;
}

UpdateState& updateState() {
    static UpdateState state;
    return state;
}

}  // namespace update
