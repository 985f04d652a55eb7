// The desktop shortcut in this platform's own form: a desktop-entry launcher file
// written in the program folder, copied onto the user's desktop folder and removed
// again from the program folder. User-interface thread (it only touches files).
#pragma once

#include <optional>
#include <string>

namespace platform {

struct ShortcutDetails {
    std::string name;     // file name without extension and the launcher's shown name
    std::string comment;  // the launcher's description
    std::string target;   // absolute path of the program the launcher starts
};

enum class ShortcutResult {
    Created,     // the launcher is on the desktop
    NotSavable,  // the launcher file could not be written in the program folder
    NoDesktop,   // there is no desktop folder; nothing was copied
    CopyFailed,  // the copy onto the desktop failed; the file stays in the program folder
};

// The user's desktop folder (XDG desktop directory) without a trailing "/",
// or nothing when it does not exist. Never creates it.
std::optional<std::string> desktopFolder();

// Tests point the desktop elsewhere (nothing: there is no desktop folder);
// clearDesktopFolderOverride() goes back to the user's real desktop.
void setDesktopFolderOverride(std::optional<std::string> folder);
void clearDesktopFolderOverride();

// The launcher text for these details: a desktop entry of type Application whose Exec line
// quotes the target so that spaces and special characters survive.
// Nothing when the target cannot be written into a desktop entry (a line break).
std::optional<std::string> desktopEntryText(const ShortcutDetails& details);

// Writes programFolder/<name>.desktop, copies it to the desktop folder replacing a
// launcher of that name, then deletes the one in the program folder.
ShortcutResult createDesktopShortcut(const std::string& programFolder, const ShortcutDetails& details);

}  // namespace platform
