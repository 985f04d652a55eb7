#include "platform/desktop_shortcut.h"

#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace platform {
namespace {

std::optional<std::optional<std::string>> g_desktopOverride;

constexpr const char* kInstalledCommand = "/usr/bin/yunsuo-mailbox";
constexpr const char* kThemeIconName = "yunsuo-mailbox";
constexpr const char* kIconFileName = "yunsuo-mailbox.png";
constexpr int kGioTimeoutMs = 5000;
std::string g_installedCommand;

void markTrusted(const std::string& file) {
    const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
    if (gio.isEmpty()) return;
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(gio, {QStringLiteral("set"), QString::fromStdString(file), QStringLiteral("metadata::trusted"),
                        QStringLiteral("true")});
    // Without a desktop session gio may wait for a service that never answers.
    if (process.waitForStarted(kGioTimeoutMs) && !process.waitForFinished(kGioTimeoutMs)) {
        process.kill();
        process.waitForFinished(kGioTimeoutMs);
    }
}

// Quoting inside an Exec argument, then the general escaping of desktop-entry values
// (where a backslash is written twice once more).
std::string quoteExecArgument(const std::string& path) {
    std::string quoted = "\"";
    for (char c : path) {
        switch (c) {
            case '"':
            case '`':
            case '$':
                quoted += "\\\\";
                quoted += c;
                break;
            case '\\':
                quoted += "\\\\\\\\";
                break;
            case '%':
                quoted += "%%";
                break;
            default:
                quoted += c;
        }
    }
    quoted += '"';
    return quoted;
}

bool hasLineBreak(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

std::string escapeValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else
            out += c;
    }
    return out;
}

}  // namespace

std::optional<std::string> desktopFolder() {
    std::string folder;
    if (g_desktopOverride) {
        if (!*g_desktopOverride) return std::nullopt;
        folder = **g_desktopOverride;
    } else {
        folder = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation).toStdString();
    }
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    std::error_code ec;
    if (folder.empty() || !std::filesystem::is_directory(folder, ec)) return std::nullopt;
    return folder;
}

void setDesktopFolderOverride(std::optional<std::string> folder) { g_desktopOverride = std::move(folder); }

void clearDesktopFolderOverride() { g_desktopOverride.reset(); }

std::optional<std::string> desktopEntryText(const ShortcutDetails& details) {
    if (hasLineBreak(details.target) || hasLineBreak(details.name) || hasLineBreak(details.comment) ||
        hasLineBreak(details.icon))
        return std::nullopt;
    std::string text = "[Desktop Entry]\n";
    text += "Type=Application\n";
    text += "Version=1.0\n";
    text += "Name=" + escapeValue(details.name) + "\n";
    text += "Comment=" + escapeValue(details.comment) + "\n";
    text += "Exec=" + quoteExecArgument(details.target) + "\n";
    if (!details.icon.empty()) text += "Icon=" + escapeValue(details.icon) + "\n";
    text += "Terminal=false\n";
    return text;
}

LauncherTarget launcherTarget(const std::string& programFolder, const std::string& programFile) {
    namespace fs = std::filesystem;
    const fs::path program = fs::path(programFolder) / programFile;
    const fs::path installed = g_installedCommand.empty() ? fs::path(kInstalledCommand) : fs::path(g_installedCommand);
    std::error_code ec;
    // The installed command is a link to the program; a launcher through it keeps
    // working when a later package moves the program folder.
    if (fs::equivalent(installed, program, ec) && !ec) return {installed.string(), kThemeIconName};
    return {program.string(), (fs::path(programFolder) / kIconFileName).string()};
}

void setInstalledCommandPath(const std::string& path) { g_installedCommand = path; }

ShortcutResult createDesktopShortcut(const std::string& folder, const ShortcutDetails& details) {
    namespace fs = std::filesystem;
    const std::string fileName = details.name + ".desktop";
    const fs::path local = fs::path(folder) / fileName;

    std::optional<std::string> text = desktopEntryText(details);
    if (!text) return ShortcutResult::NotSavable;
    {
        std::ofstream out(local, std::ios::binary | std::ios::trunc);
        if (!out) return ShortcutResult::NotSavable;
        out << *text;
        out.close();
        if (!out) return ShortcutResult::NotSavable;
    }
    std::error_code ec;
    // File managers launch a desktop entry only when it is executable.
    fs::permissions(local, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::add, ec);

    std::optional<std::string> desktop = desktopFolder();
    if (!desktop) return ShortcutResult::NoDesktop;
    const fs::path onDesktop = fs::path(*desktop) / fileName;
    if (!fs::copy_file(local, onDesktop, fs::copy_options::overwrite_existing, ec) || ec) {
        return ShortcutResult::CopyFailed;
    }
    fs::remove(local, ec);
    markTrusted(onDesktop.string());
    return ShortcutResult::Created;
}

}  // namespace platform
