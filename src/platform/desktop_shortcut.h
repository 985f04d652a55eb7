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
    std::string icon;     // an icon-theme name or an absolute picture file; empty: no Icon line
};

// What a launcher of the program file programFolder/programFile starts and shows: the
// installed command (/usr/bin/yunsuo-mailbox) and the theme icon "yunsuo-mailbox" when
// that command is this very file, otherwise the file itself and the icon picture
// yunsuo-mailbox.png beside it.
struct LauncherTarget {
    std::string exec;
    std::string icon;
};
LauncherTarget launcherTarget(const std::string& programFolder, const std::string& programFile);

// Tests replace the installed command's path; an empty text restores it.
void setInstalledCommandPath(const std::string& path);

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

// Writes folder/<name>.desktop, copies it to the desktop folder replacing a launcher of
// that name, then deletes the one in folder. The copy is marked trusted with
// "gio set FILE metadata::trusted true" when gio is installed (desktops that do not
// know the mark ignore it, and a gio that fails changes nothing).
ShortcutResult createDesktopShortcut(const std::string& folder, const ShortcutDetails& details);

}  // namespace platform
