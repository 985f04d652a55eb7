#include "app/program_state.h"

#include "settings/icon_files.h"

namespace app {

void ProgramState::rebuildIconList() {
    iconList = settings::loadIconList();
    emit iconListChanged();
}

void ProgramState::reset() {
    currentEntry = records::MailboxEntry{};
    selectedButton = 0;
    loginDone = false;
    passwordLogin = false;
    accessPassword.clear();
    allowNewWindows = false;
    iconList.clear();
}

ProgramState& state() {
    static ProgramState* instance = new ProgramState;  // lives until exit; QObjects after QApplication are fine
    return *instance;
}

}  // namespace app
