#include "platform/program_folder.h"

#include <unistd.h>

#include <climits>

namespace platform {
namespace {

std::string g_override;

std::string executableFolder() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    std::string exe(path, static_cast<size_t>(n));
    auto slash = exe.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return exe.substr(0, slash);
}

}  // namespace

std::string programFolder() { return g_override.empty() ? executableFolder() : g_override; }

void setProgramFolder(const std::string& folder) {
    g_override = folder;
    while (g_override.size() > 1 && g_override.back() == '/') g_override.pop_back();
}

}  // namespace platform
