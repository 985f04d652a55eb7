#include "platform/program_folder.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// Keeps an environment variable changed for one test.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_old)
            setenv(m_name, m_old->c_str(), 1);
        else
            unsetenv(m_name);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

// A program folder as the package installs it (database, memo file, icons) and an empty
// place for the user's data; "writable" is what the injected check answers.
class DataFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tmbl-data-folder-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
        program = m_root / "opt";
        xdg = m_root / "xdg";
        fs::create_directories(program / "ico");
        writeFile(program / "tmbl.edb", "database bytes");
        writeFile(program / "tmbl.EDT", std::string(3000, 'm'));
        for (int i = 0; i <= 10; ++i)
            writeFile(program / "ico" / (std::to_string(i) + ".ico"), "icon " + std::to_string(i));
        for (const auto& entry : fs::recursive_directory_iterator(program)) {
            if (entry.is_regular_file()) fs::permissions(entry.path(), fs::perms(0644));
        }
        m_xdgEnv.emplace("XDG_DATA_HOME", xdg.string());
        platform::setProgramFolder(program.string());
        writable(false);
    }

    void TearDown() override {
        platform::setProgramFolderWritableCheck(nullptr);
        platform::setProgramFolder({});
        m_xdgEnv.reset();
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }

    void writable(bool yes) {
        platform::setProgramFolderWritableCheck([yes](const std::string&) { return yes; });
    }

    fs::path data() const { return xdg / "yunsuo-mailbox"; }

    size_t entriesIn(const fs::path& folder) const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
    }

    fs::path m_root, program, xdg;
    std::optional<ScopedEnv> m_xdgEnv;
};

TEST_F(DataFolderTest, WritableProgramFolderKeepsEverythingBesideTheProgram) {
    writable(true);
    EXPECT_EQ(platform::dataFolder(), program.string());
    EXPECT_FALSE(platform::dataFolderIsPerUser());
    const platform::DataFolderReport report = platform::prepareDataFolder();
    EXPECT_EQ(report.state, platform::DataFolderState::Ready);
    EXPECT_FALSE(fs::exists(xdg));
    EXPECT_EQ(readFile(program / "tmbl.edb"), "database bytes");
    // Its own files become owner-only; the folder that holds the program is left alone.
    EXPECT_TRUE(report.tightened);
    EXPECT_EQ(modeOf(program / "tmbl.edb"), 0600u);
    EXPECT_EQ(modeOf(program / "tmbl.EDT"), 0600u);
    EXPECT_FALSE(platform::prepareDataFolder().tightened);
}

TEST_F(DataFolderTest, ReadOnlyProgramFolderGetsOwnerOnlyCopiesInTheUserDataFolder) {
    EXPECT_EQ(platform::dataFolder(), data().string());
    EXPECT_TRUE(platform::dataFolderIsPerUser());
    const platform::DataFolderReport report = platform::prepareDataFolder();
    EXPECT_EQ(report.state, platform::DataFolderState::Populated);
    EXPECT_FALSE(report.tightened);

    EXPECT_EQ(modeOf(xdg), 0700u);
    EXPECT_EQ(modeOf(data()), 0700u);
    EXPECT_EQ(modeOf(data() / "ico"), 0700u);
    EXPECT_EQ(readFile(data() / "tmbl.edb"), "database bytes");
    EXPECT_EQ(readFile(data() / "tmbl.EDT"), std::string(3000, 'm'));
    EXPECT_EQ(modeOf(data() / "tmbl.edb"), 0600u);
    EXPECT_EQ(modeOf(data() / "tmbl.EDT"), 0600u);
    EXPECT_EQ(entriesIn(data() / "ico"), 11u);
    for (int i = 0; i <= 10; ++i) {
        const fs::path icon = data() / "ico" / (std::to_string(i) + ".ico");
        EXPECT_EQ(readFile(icon), "icon " + std::to_string(i));
        EXPECT_EQ(modeOf(icon), 0600u);
    }
    // No staging folder is left beside it, and the shipped files are untouched.
    EXPECT_EQ(entriesIn(xdg), 1u);
    EXPECT_EQ(modeOf(program / "tmbl.edb"), 0644u);
}

TEST_F(DataFolderTest, AnExistingDataFolderIsReusedAndNeverRefilled) {
    ASSERT_EQ(platform::prepareDataFolder().state, platform::DataFolderState::Populated);
    writeFile(data() / "tmbl.edb", "the user's own records");
    fs::remove(data() / "ico" / "3.ico");
    EXPECT_EQ(platform::prepareDataFolder().state, platform::DataFolderState::Ready);
    EXPECT_EQ(readFile(data() / "tmbl.edb"), "the user's own records");
    EXPECT_FALSE(fs::exists(data() / "ico" / "3.ico"));

    // A deleted database stays deleted: the caller tells the user, nothing is copied.
    fs::remove(data() / "tmbl.edb");
    EXPECT_EQ(platform::prepareDataFolder().state, platform::DataFolderState::NoDatabase);
    EXPECT_FALSE(fs::exists(data() / "tmbl.edb"));
    EXPECT_EQ(entriesIn(data()), 2u);  // tmbl.EDT and ico/
}

TEST_F(DataFolderTest, LooseModesFoundAtStartAreTightened) {
    ASSERT_EQ(platform::prepareDataFolder().state, platform::DataFolderState::Populated);
    fs::permissions(data(), fs::perms(0755));
    fs::permissions(data() / "tmbl.edb", fs::perms(0644));
    fs::permissions(data() / "tmbl.EDT", fs::perms(0660));
    const platform::DataFolderReport report = platform::prepareDataFolder();
    EXPECT_EQ(report.state, platform::DataFolderState::Ready);
    EXPECT_TRUE(report.tightened);
    EXPECT_EQ(modeOf(data()), 0700u);
    EXPECT_EQ(modeOf(data() / "tmbl.edb"), 0600u);
    EXPECT_EQ(modeOf(data() / "tmbl.EDT"), 0600u);
    EXPECT_FALSE(platform::prepareDataFolder().tightened);
}

TEST_F(DataFolderTest, WithoutAShippedDatabaseNothingIsCreated) {
    fs::remove(program / "tmbl.edb");
    EXPECT_EQ(platform::prepareDataFolder().state, platform::DataFolderState::NoDatabase);
    EXPECT_FALSE(fs::exists(xdg));

    writable(true);
    EXPECT_EQ(platform::prepareDataFolder().state, platform::DataFolderState::NoDatabase);
    EXPECT_FALSE(fs::exists(xdg));
}

TEST_F(DataFolderTest, ACopyCutShortLeavesNoDataFolderBehind) {
    // Reading /proc/self/mem from its start fails, whoever runs the test.
    fs::create_symlink("/proc/self/mem", program / "ico" / "broken.ico");
    EXPECT_EQ(platform::prepareDataFolder().state, platform::DataFolderState::CopyFailed);
    EXPECT_FALSE(fs::exists(data()));
    EXPECT_EQ(entriesIn(xdg), 0u);

    // A data home that cannot be made is the same failure.
    fs::remove(program / "ico" / "broken.ico");
    fs::remove_all(xdg);
    writeFile(xdg, "a file where the folder should be");
    EXPECT_EQ(platform::prepareDataFolder().state, platform::DataFolderState::CopyFailed);
    EXPECT_EQ(readFile(xdg), "a file where the folder should be");
}

TEST_F(DataFolderTest, UserDataFolderFollowsXdgDataHomeOrHome) {
    EXPECT_EQ(platform::userDataFolder(), data().string());
    {
        ScopedEnv trailing("XDG_DATA_HOME", xdg.string() + "/");
        EXPECT_EQ(platform::userDataFolder(), data().string());
    }
    ScopedEnv home("HOME", (m_root / "home").string());
    const std::string fallback = (m_root / "home" / ".local" / "share" / "yunsuo-mailbox").string();
    for (std::optional<std::string> value :
         {std::optional<std::string>(), std::optional<std::string>(""), std::optional<std::string>("relative/data")}) {
        ScopedEnv unset("XDG_DATA_HOME", value);
        EXPECT_EQ(platform::userDataFolder(), fallback) << value.value_or("(unset)");
    }
    ScopedEnv unset("XDG_DATA_HOME", std::nullopt);
    platform::setProgramFolder(program.string());  // decide again under the new environment
    EXPECT_EQ(platform::dataFolder(), fallback);
    EXPECT_EQ(platform::prepareDataFolder().state, platform::DataFolderState::Populated);
    EXPECT_EQ(readFile(fs::path(fallback) / "tmbl.edb"), "database bytes");
    EXPECT_EQ(modeOf(m_root / "home" / ".local"), 0700u);
}

// The real check: permission bits decide for an ordinary user. As root (who may write
// anywhere) the check runs in a child that has become the unprivileged "nobody".
TEST_F(DataFolderTest, RealWritableCheckFollowsThePermissionBits) {
    platform::setProgramFolderWritableCheck(nullptr);
    const fs::path open = m_root / "open";
    const fs::path closed = m_root / "closed";
    fs::create_directories(open);
    fs::create_directories(closed);
    fs::permissions(m_root, fs::perms(0755));
    fs::permissions(open, fs::perms(0777));
    fs::permissions(closed, fs::perms(0555));

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0) {
            const passwd* nobody = getpwnam("nobody");
            if (!nobody || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(10);
        }
        platform::setProgramFolder(open.string());
        if (platform::dataFolderIsPerUser()) _exit(1);
        platform::setProgramFolder(closed.string());
        if (!platform::dataFolderIsPerUser()) _exit(2);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: writable folder judged read-only, 2: read-only judged writable";
    fs::permissions(closed, fs::perms(0755));
}

}  // namespace
