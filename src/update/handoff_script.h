// The hand-off to a downloaded program: the script that ends the running program,
// swaps its executable for the download and starts the new one, and the detached
// start of that script. No Qt; any thread.
#pragma once

#include <string>
#include <string_view>

namespace update {

inline constexpr const char* kWindowsScriptName = "update.bat";
inline constexpr const char* kPosixScriptName = "update.sh";

// The program that is handed over, and where it lives.
struct HandoffTarget {
    std::string folder;          // the program folder, UTF-8, no trailing "/"
    std::string executableName;  // the executable's file name without folder
    long long pid = 0;           // the running program's process id
};

// The batch script of the Windows build, in GBK bytes: seven lines separated by CR LF,
// no line break after the last. executableNameGbk is the executable's file name in GBK.
std::string windowsHandoffScript(std::string_view executableNameGbk);

// The shell script of the Linux build. It waits for the program to end (signalling
// its process id, by force when it lingers, but only while that id still runs the
// program's executable), makes downloadName executable for its owner, renames it over
// the old executable in one step, starts it and deletes itself (scriptName). When any
// step fails (no download, the program does not end, the rename fails) it deletes
// only itself: the old program stays untouched.
std::string posixHandoffScript(const HandoffTarget& target, std::string_view downloadName,
                               std::string_view scriptName = kPosixScriptName);

// Quotes a text for the shell: the text comes back as exactly one word.
std::string shellQuote(std::string_view text);

// Writes text to path as a new file (an old one is removed first), readable, writable
// and executable by its owner only.
[[nodiscard]] bool writeScriptFile(const std::string& path, std::string_view text);

// Starts "/bin/sh scriptPath" in workingFolder as a process of its own session with
// no open files of ours, and does not wait for it. False when it could not start.
[[nodiscard]] bool startDetachedScript(const std::string& scriptPath, const std::string& workingFolder);

}  // namespace update
