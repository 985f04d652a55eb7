#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/desktop_open.h"
#include "platform/desktop_shortcut.h"

namespace {

namespace fs = std::filesystem;

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string lineStarting(const std::string& text, const std::string& key) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key, 0) == 0) return line;
    }
    return {};
}

platform::ShortcutDetails details(const std::string& folder) {
    return {"云梭邮盒", "方便快捷的邮箱登录软件", folder + "/云梭邮盒", folder + "/yunsuo-mailbox.png"};
}

class DesktopShortcut : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_program.isValid());
        ASSERT_TRUE(m_desktop.isValid());
        platform::setDesktopFolderOverride(m_desktop.path().toStdString());
    }
    void TearDown() override { platform::clearDesktopFolderOverride(); }

    std::string programFolder() const { return m_program.path().toStdString(); }
    fs::path onDesktop() const { return fs::path(m_desktop.path().toStdString()) / "云梭邮盒.desktop"; }
    fs::path inProgramFolder() const { return fs::path(programFolder()) / "云梭邮盒.desktop"; }

    QTemporaryDir m_program;
    QTemporaryDir m_desktop;
};

TEST_F(DesktopShortcut, CreatedTwiceReplacesTheLauncherAndLeavesNothingBehind) {
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(platform::createDesktopShortcut(programFolder(), details(programFolder())),
                  platform::ShortcutResult::Created);
        EXPECT_TRUE(fs::exists(onDesktop()));
        EXPECT_FALSE(fs::exists(inProgramFolder()));
    }
    // Only the launcher landed on the desktop.
    EXPECT_EQ(std::distance(fs::directory_iterator(m_desktop.path().toStdString()), fs::directory_iterator()), 1);

    const std::string text = readText(onDesktop());
    EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_EQ(lineStarting(text, "Type="), "Type=Application");
    EXPECT_EQ(lineStarting(text, "Name="), "Name=云梭邮盒");
    EXPECT_EQ(lineStarting(text, "Comment="), "Comment=方便快捷的邮箱登录软件");
    EXPECT_EQ(lineStarting(text, "Exec="), "Exec=\"" + programFolder() + "/云梭邮盒\"");
    EXPECT_EQ(lineStarting(text, "Icon="), "Icon=" + programFolder() + "/yunsuo-mailbox.png");
    EXPECT_NE(fs::status(onDesktop()).permissions() & fs::perms::owner_exec, fs::perms::none);
}

TEST_F(DesktopShortcut, WithoutADesktopFolderNothingIsCreatedThere) {
    const std::string missing = m_desktop.path().toStdString() + "/不存在";
    platform::setDesktopFolderOverride(missing);
    EXPECT_FALSE(platform::desktopFolder());
    EXPECT_EQ(platform::createDesktopShortcut(programFolder(), details(programFolder())),
              platform::ShortcutResult::NoDesktop);
    EXPECT_FALSE(fs::exists(missing));

    platform::setDesktopFolderOverride(std::nullopt);
    EXPECT_EQ(platform::createDesktopShortcut(programFolder(), details(programFolder())),
              platform::ShortcutResult::NoDesktop);
}

TEST_F(DesktopShortcut, ACopyThatFailsKeepsTheLauncherInTheProgramFolder) {
    // A folder of the launcher's name on the desktop cannot be replaced by a file.
    fs::create_directories(onDesktop() / "inside");
    EXPECT_EQ(platform::createDesktopShortcut(programFolder(), details(programFolder())),
              platform::ShortcutResult::CopyFailed);
    EXPECT_TRUE(fs::exists(inProgramFolder()));

    EXPECT_EQ(platform::createDesktopShortcut(programFolder() + "/没有这个文件夹", details(programFolder())),
              platform::ShortcutResult::NotSavable);
}

TEST_F(DesktopShortcut, LauncherStartsTheInstalledCommandOrTheProgramItself) {
    const fs::path program = fs::path(programFolder()) / "云梭邮盒";
    { std::ofstream(program) << "#!/bin/sh\n"; }
    const fs::path command = fs::path(m_desktop.path().toStdString()) / "bin-yunsuo-mailbox";

    // No installed command (a staged or unpacked folder): the program and the picture beside it.
    platform::setInstalledCommandPath(command.string());
    platform::LauncherTarget target = platform::launcherTarget(programFolder(), "云梭邮盒");
    EXPECT_EQ(target.exec, program.string());
    EXPECT_EQ(target.icon, programFolder() + "/yunsuo-mailbox.png");

    // The package's command links to this program: the launcher goes through it and
    // names the icon of the icon theme.
    fs::create_symlink(program, command);
    target = platform::launcherTarget(programFolder(), "云梭邮盒");
    EXPECT_EQ(target.exec, command.string());
    EXPECT_EQ(target.icon, "yunsuo-mailbox");
    std::optional<std::string> text =
        platform::desktopEntryText({"云梭邮盒", "方便快捷的邮箱登录软件", target.exec, target.icon});
    ASSERT_TRUE(text);
    EXPECT_EQ(lineStarting(*text, "Exec="), "Exec=\"" + command.string() + "\"");
    EXPECT_EQ(lineStarting(*text, "Icon="), "Icon=yunsuo-mailbox");

    // A command of that name that is some other program is not used.
    fs::remove(command);
    { std::ofstream(command) << "other"; }
    EXPECT_EQ(platform::launcherTarget(programFolder(), "云梭邮盒").exec, program.string());
    platform::setInstalledCommandPath({});
    EXPECT_EQ(platform::launcherTarget(programFolder(), "云梭邮盒").exec, program.string());
}

TEST_F(DesktopShortcut, TheLauncherOnTheDesktopIsMarkedTrustedWhenGioIsThere) {
    // A stand-in gio on PATH records what it was asked.
    QTemporaryDir bin;
    const fs::path log = fs::path(bin.path().toStdString()) / "calls";
    const fs::path gio = fs::path(bin.path().toStdString()) / "gio";
    {
        std::ofstream(gio) << "#!/bin/sh\nprintf '%s|' \"$@\" >> '" << log.string() << "'\necho >> '" << log.string()
                           << "'\n";
    }
    fs::permissions(gio, fs::perms(0755));
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", QByteArray::fromStdString(bin.path().toStdString()) + ":" + oldPath);
    const platform::ShortcutResult result = platform::createDesktopShortcut(programFolder(), details(programFolder()));
    qputenv("PATH", oldPath);
    ASSERT_EQ(result, platform::ShortcutResult::Created);
    EXPECT_EQ(readText(log), "set|" + onDesktop().string() + "|metadata::trusted|true|\n");

    // A gio that fails changes nothing about the result.
    { std::ofstream(gio) << "#!/bin/sh\nexit 3\n"; }
    qputenv("PATH", QByteArray::fromStdString(bin.path().toStdString()) + ":" + oldPath);
    EXPECT_EQ(platform::createDesktopShortcut(programFolder(), details(programFolder())),
              platform::ShortcutResult::Created);
    qputenv("PATH", oldPath);
}

TEST(DesktopEntry, ExecQuotesSpecialCharactersAndRefusesLineBreaks) {
    platform::ShortcutDetails odd{"n", "c", "/opt/my \"mail\" $box\\100%/云梭邮盒", ""};
    std::optional<std::string> text = platform::desktopEntryText(odd);
    ASSERT_TRUE(text);
    EXPECT_EQ(lineStarting(*text, "Exec="), R"(Exec="/opt/my \\"mail\\" \\$box\\\\100%%/云梭邮盒")");
    EXPECT_EQ(lineStarting(*text, "Icon="), "");  // no icon, no line
    odd.icon = "/opt/a\nb.png";
    EXPECT_FALSE(platform::desktopEntryText(odd));
    odd.icon.clear();
    odd.target = "/opt/a\nb";
    EXPECT_FALSE(platform::desktopEntryText(odd));
}

TEST(DesktopOpen, MailAddressesBecomeMailtoAndWebAddressesStay) {
    QUrl opened;
    platform::setDesktopOpener([&](const QUrl& url) {
        opened = url;
        return true;
    });
    EXPECT_TRUE(platform::openWithDesktop(QStringLiteral("support@example.com")));
    EXPECT_EQ(opened, QUrl(QStringLiteral("mailto:support@example.com")));
    EXPECT_TRUE(platform::openWithDesktop(QStringLiteral("http://www.example.com/a?b=1")));
    EXPECT_EQ(opened, QUrl(QStringLiteral("http://www.example.com/a?b=1")));
    EXPECT_FALSE(platform::openWithDesktop(QString()));
    platform::setDesktopOpener(nullptr);
}

}  // namespace
