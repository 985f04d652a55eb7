// The program folder: where the running executable lives and where every data file
// (tmbl.edb, ico/, the start page, the update files) is found. Tests point it at a
// temporary folder. User-interface thread only.
#pragma once

#include <string>

namespace platform {

// The folder of the running executable, without a trailing "/", unless overridden.
std::string programFolder();

// Replaces the folder for the rest of the process (tests); an empty text restores it.
void setProgramFolder(const std::string& folder);

}  // namespace platform
