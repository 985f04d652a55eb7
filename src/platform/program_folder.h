// The program folder (where the running executable and the files shipped with it
// lie) and the data folder (where every file the program reads back or writes lives:
// tmbl.edb, its memo file, the legacy tmbl.db, ico/, launchers and update files).
// A writable program folder is its own data folder; a read-only one (a system-wide
// installation) sends the data to a folder of the user's own. No Qt. User-interface
// thread only.
#pragma once

#include <functional>
#include <string>

namespace platform {

// The folder of the running executable, without a trailing "/", unless overridden.
std::string programFolder();

// Replaces the folder for the rest of the process (tests); an empty text restores it.
// The data folder is decided again afterwards.
void setProgramFolder(const std::string& folder);

// The folder of the program's data, without a trailing "/": the program folder when
// the user may write to it, otherwise userDataFolder(). Decided once per program
// folder; every data path of the program is built from this answer.
std::string dataFolder();

// True when the data lives apart from the program, i.e. the program folder is not
// writable (an installed package).
bool dataFolderIsPerUser();

// $XDG_DATA_HOME/yunsuo-mailbox, or ~/.local/share/yunsuo-mailbox when the variable is
// unset, empty or not an absolute path.
std::string userDataFolder();

// Decides whether a folder counts as writable. The default asks access(W_OK), which
// says yes to root whatever the permission bits, so tests as root inject their own;
// an empty function restores the default. The data folder is decided again afterwards.
void setProgramFolderWritableCheck(std::function<bool(const std::string&)> check);

enum class DataFolderState {
    Ready,       // the data folder holds a database (it may still fail to open)
    Populated,   // first start of a per-user folder: the shipped files were copied there
    NoDatabase,  // no database where it must be; nothing was created or copied
    CopyFailed,  // the first copy could not be completed; nothing was left behind
};

struct DataFolderReport {
    DataFolderState state = DataFolderState::Ready;
    // A database or memo file others could read, or a per-user folder others could
    // enter, was made owner-only.
    bool tightened = false;
};

// Makes the data folder ready at start: a per-user folder that does not exist yet is
// filled with copies of the shipped database, its memo file and ico/ (files 0600,
// folders 0700); an existing one is never refilled, so a deleted or damaged database
// stays for the user to see. Database and memo file readable by others become 0600.
DataFolderReport prepareDataFolder();

}  // namespace platform
