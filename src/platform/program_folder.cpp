#include "platform/program_folder.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

namespace platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDataFolderName = "yunsuo-mailbox";
constexpr const char* kDatabaseName = "tmbl.edb";
constexpr const char* kMemoName = "tmbl.edt";  // shipped as tmbl.EDT; the records layer ignores case
constexpr const char* kIconFolderName = "ico";

std::string g_override;
std::function<bool(const std::string&)> g_writableCheck;
std::optional<std::string> g_dataFolder;  // decided once per program folder

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

bool folderIsWritable(const std::string& folder) {
    if (g_writableCheck) return g_writableCheck(folder);
    return access(folder.c_str(), W_OK | X_OK) == 0;
}

std::string lowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// The regular files directly in folder whose names equal name without regard to case.
std::vector<fs::path> filesNamed(const std::string& folder, const char* name) {
    std::vector<fs::path> found;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (lowerAscii(it->path().filename().string()) == name && it->is_regular_file(ec)) found.push_back(it->path());
    }
    return found;
}

std::string homeFolder() {
    const char* home = std::getenv("HOME");
    if (home && *home == '/') return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
    return "/";
}

// Creates every missing folder of path with mode 0700, as the data-home convention asks.
bool makeFolders(const fs::path& path) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) return true;
    if (path.has_parent_path() && path.parent_path() != path && !makeFolders(path.parent_path())) return false;
    return mkdir(path.c_str(), 0700) == 0 || (errno == EEXIST && fs::is_directory(path, ec));
}

// Copies one file's bytes to a new owner-only file; the copy must not exist yet.
bool copyOwnerOnly(const fs::path& from, const fs::path& to) {
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        close(in);
        return false;
    }
    bool ok = true;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(in, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = write(out, buffer + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                ok = false;
                break;
            }
            done += w;
        }
        if (!ok) break;
    }
    if (ok && fsync(out) != 0) ok = false;
    close(in);
    if (close(out) != 0) ok = false;
    return ok;
}

// Fills a fresh folder beside target and renames it into place, so that a copy cut
// short (a full disk) never looks like a data folder whose database was deleted.
DataFolderState populate(const std::string& program, const fs::path& target) {
    const std::vector<fs::path> databases = filesNamed(program, kDatabaseName);
    if (databases.empty()) return DataFolderState::NoDatabase;
    if (!makeFolders(target.parent_path())) return DataFolderState::CopyFailed;

    std::string pattern = (target.parent_path() / ("." + target.filename().string() + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) return DataFolderState::CopyFailed;  // made 0700
    const fs::path staging = pattern;
    std::error_code ec;
    auto fail = [&] {
        fs::remove_all(staging, ec);
        return DataFolderState::CopyFailed;
    };

    std::vector<fs::path> files = databases;
    for (const fs::path& memo : filesNamed(program, kMemoName)) files.push_back(memo);
    for (const fs::path& file : files) {
        if (!copyOwnerOnly(file, staging / file.filename())) return fail();
    }
    const fs::path icons = fs::path(program) / kIconFolderName;
    if (fs::is_directory(icons, ec)) {
        if (mkdir((staging / kIconFolderName).c_str(), 0700) != 0) return fail();
        for (fs::directory_iterator it(icons, ec), end; !ec && it != end; it.increment(ec)) {
            if (!it->is_regular_file(ec)) continue;
            if (!copyOwnerOnly(it->path(), staging / kIconFolderName / it->path().filename())) return fail();
        }
        if (ec) return fail();
    }
    if (rename(staging.c_str(), target.c_str()) != 0) {
        fs::remove_all(staging, ec);
        // Another copy of the program started at the same moment and won the race.
        return fs::is_directory(target, ec) ? DataFolderState::Ready : DataFolderState::CopyFailed;
    }
    return DataFolderState::Populated;
}

// Clears the group and other bits of path; true when there were any to clear.
bool makeOwnerOnly(const fs::path& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || S_ISLNK(info.st_mode)) return false;
    if ((info.st_mode & 077) == 0) return false;
    return chmod(path.c_str(), info.st_mode & 0700) == 0;
}

}  // namespace

std::string programFolder() { return g_override.empty() ? executableFolder() : g_override; }

void setProgramFolder(const std::string& folder) {
    g_override = folder;
    while (g_override.size() > 1 && g_override.back() == '/') g_override.pop_back();
    g_dataFolder.reset();
}

void setProgramFolderWritableCheck(std::function<bool(const std::string&)> check) {
    g_writableCheck = std::move(check);
    g_dataFolder.reset();
}

std::string userDataFolder() {
    // A relative XDG_DATA_HOME is invalid by the convention and would depend on the
    // current folder; it is ignored like an unset one.
    const char* xdg = std::getenv("XDG_DATA_HOME");
    fs::path base = (xdg && *xdg == '/') ? fs::path(xdg) : fs::path(homeFolder()) / ".local" / "share";
    std::string folder = (base / kDataFolderName).lexically_normal().string();
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

std::string dataFolder() {
    if (!g_dataFolder) {
        const std::string program = programFolder();
        g_dataFolder = folderIsWritable(program) ? program : userDataFolder();
    }
    return *g_dataFolder;
}

bool dataFolderIsPerUser() { return dataFolder() != programFolder(); }

DataFolderReport prepareDataFolder() {
    DataFolderReport report;
    const std::string folder = dataFolder();
    std::error_code ec;
    if (dataFolderIsPerUser()) {
        if (!fs::exists(folder, ec)) {
            report.state = populate(programFolder(), folder);
            if (report.state == DataFolderState::NoDatabase || report.state == DataFolderState::CopyFailed) {
                return report;
            }
        } else {
            report.tightened = makeOwnerOnly(folder);
        }
    }
    const std::vector<fs::path> databases = filesNamed(folder, kDatabaseName);
    if (databases.empty()) {
        report.state = DataFolderState::NoDatabase;
        return report;
    }
    std::vector<fs::path> files = databases;
    for (const fs::path& memo : filesNamed(folder, kMemoName)) files.push_back(memo);
    for (const fs::path& file : files) {
        if (makeOwnerOnly(file)) report.tightened = true;
    }
    return report;
}

}  // namespace platform
