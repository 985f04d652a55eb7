#include "app/startup.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QProcess>
#include <QTimer>
#include <QToolBar>
#include <cstdio>
#include <cstdlib>

#include "app/main_window.h"
#include "app_fixture.h"
#include "settings/icon_files.h"

namespace {

using app_test::gbk;
using app_test::ProgramFolderTest;

const QString kNoDatabase = QStringLiteral("未检测到信息数据库，请重新安装本程序！");
const QString kPrompt = QStringLiteral("请输入登录密码（初始密码为[482]）：");
const QString kWrong = QStringLiteral("密码错误，请重新输入！");

class StartupTest : public ProgramFolderTest {
protected:
    app::StartOutcome start() {
        window = std::make_unique<app::MainWindow>(QStringLiteral("about:blank"));
        return window->create();
    }
    std::unique_ptr<app::MainWindow> window;
};

TEST_F(StartupTest, WithoutDatabaseTheProgramSaysSoAndCreatesNothing) {
    EXPECT_EQ(start(), app::StartOutcome::DatabaseMissing);
    ASSERT_EQ(dialogs.messages().size(), 1u);
    EXPECT_EQ(dialogs.messages().at(0).text, kNoDatabase);
    EXPECT_EQ(dialogs.messages().at(0).icon, platform::MessageIcon::Error);
    EXPECT_TRUE(dialogs.inputs().empty());
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->windowTitle().endsWith(QStringLiteral(" V2.0")));
    EXPECT_TRUE(QDir(folder.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
}

TEST_F(StartupTest, DatabaseMissingOrCancelledEndsWithExitCodeZero) {
    EXPECT_EQ(app::runProgram(QStringLiteral("about:blank")), 0);
    EXPECT_EQ(dialogs.messageTexts(), QStringList{kNoDatabase});

    copyShippedDatabase();
    editDatabase([] { writeNotes(QStringLiteral("是"), QStringLiteral("482"), QStringLiteral("否")); });
    dialogs.clear();
    dialogs.queueInput(QStringLiteral("481"));
    dialogs.queueInput(std::nullopt);
    EXPECT_EQ(app::runProgram(QStringLiteral("about:blank")), 0);
    EXPECT_EQ(dialogs.messageTexts(), QStringList{kWrong});
    EXPECT_EQ(dialogs.inputs().size(), 2u);
    EXPECT_TRUE(records::openDatabasePaths().empty());
}

TEST_F(StartupTest, ShippedDatabaseStartsWithoutPromptAndTitleGetsVersionOnce) {
    copyShippedDatabase();
    ASSERT_EQ(start(), app::StartOutcome::Running);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("云梭邮盒 V2.0"));
    EXPECT_TRUE(dialogs.inputs().empty());
    EXPECT_TRUE(dialogs.messages().empty());
    EXPECT_FALSE(app::state().passwordLogin);
    EXPECT_EQ(app::state().accessPassword, "482");
    EXPECT_FALSE(records::openDatabasePaths().empty());
}

TEST_F(StartupTest, ThirdPasswordAttemptLetsTheUserIn) {
    copyShippedDatabase();
    editDatabase([] { writeNotes(QStringLiteral("是"), QStringLiteral("密码Ab"), QStringLiteral("是")); });
    dialogs.queueInput(QStringLiteral("密码ab"));   // letter case counts
    dialogs.queueInput(QStringLiteral(" 密码Ab"));  // no trimming
    dialogs.queueInput(QStringLiteral("密码Ab"));
    ASSERT_EQ(start(), app::StartOutcome::Running);
    EXPECT_EQ(dialogs.messageTexts(), (QStringList{kWrong, kWrong}));
    for (const auto& m : dialogs.messages()) EXPECT_EQ(m.icon, platform::MessageIcon::Error);
    ASSERT_EQ(dialogs.inputs().size(), 3u);
    for (const auto& request : dialogs.inputs()) {
        EXPECT_EQ(request.prompt, kPrompt);
        EXPECT_TRUE(request.password);
        EXPECT_TRUE(request.initialText.isEmpty());
    }
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(app::state().passwordLogin);
    EXPECT_TRUE(app::state().allowNewWindows);
}

TEST_F(StartupTest, CancelClosesTheDatabase) {
    copyShippedDatabase();
    editDatabase([] { writeNotes(QStringLiteral("是"), QStringLiteral("482"), QStringLiteral("否")); });
    dialogs.queueInput(std::nullopt);
    EXPECT_EQ(start(), app::StartOutcome::PasswordCancelled);
    EXPECT_TRUE(dialogs.messages().empty());
    EXPECT_TRUE(records::openDatabasePaths().empty());
}

TEST_F(StartupTest, EmptyPasswordAcceptsOnlyEmptyInput) {
    copyShippedDatabase();
    editDatabase([] { writeNotes(QStringLiteral("是"), QString(), QStringLiteral("否")); });
    dialogs.queueInput(QStringLiteral(" "));
    dialogs.queueInput(QStringLiteral("482"));
    dialogs.queueInput(QString());
    EXPECT_EQ(start(), app::StartOutcome::Running);
    EXPECT_EQ(dialogs.messageTexts(), (QStringList{kWrong, kWrong}));
}

TEST_F(StartupTest, CharactersOutsideTheCodePageNeverMatch) {
    copyShippedDatabase();
    editDatabase([] { writeNotes(QStringLiteral("是"), QStringLiteral("?"), QStringLiteral("否")); });
    dialogs.queueInput(QStringLiteral("😀"));  // would become "?" on the way to GBK
    dialogs.queueInput(QStringLiteral("?"));
    EXPECT_EQ(start(), app::StartOutcome::Running);
    EXPECT_EQ(dialogs.messageTexts(), QStringList{kWrong});
}

TEST_F(StartupTest, OnlyAnExactYesSwitchesTheOptionsOn) {
    copyShippedDatabase();
    for (const QString& note : {QStringLiteral("是 "), QStringLiteral("1"), QStringLiteral("yes"), QString()}) {
        SCOPED_TRACE(note.toStdString());
        editDatabase([&] { writeNotes(note, QStringLiteral("482"), note); });
        dialogs.clear();
        EXPECT_EQ(start(), app::StartOutcome::Running);
        EXPECT_TRUE(dialogs.inputs().empty());
        EXPECT_FALSE(app::state().passwordLogin);
        EXPECT_FALSE(app::state().allowNewWindows);
        window.reset();
        records::closeAllDatabases();
    }
}

TEST_F(StartupTest, LegacyEntriesAreMigratedOnce) {
    copyShippedDatabase();
    QFile legacy(folder.filePath(QStringLiteral("tmbl.db")));
    ASSERT_TRUE(legacy.open(QIODevice::WriteOnly));
    legacy.write(
        QByteArray::fromStdString(gbk(QStringLiteral("[邮箱号0]\r\n邮箱名称=旧信箱\r\n类型=163.com\r\n"
                                                     "[邮箱号8]\r\n邮箱名称=末一个\r\n"))));
    legacy.close();
    ASSERT_EQ(start(), app::StartOutcome::Running);
    EXPECT_FALSE(legacy.exists());
    const QList<QAction*> buttons = window->mailboxToolBar()->actions();
    EXPECT_EQ(buttons.at(0)->text(), QStringLiteral("旧信箱"));
    EXPECT_EQ(buttons.at(8)->text(), QStringLiteral("末一个"));
}

TEST_F(StartupTest, RunningProgramEndsWhenTheMainWindowCloses) {
    copyShippedDatabase();
    QTimer::singleShot(500, [] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (qobject_cast<app::MainWindow*>(w)) w->close();
        }
    });
    EXPECT_EQ(app::runProgram(QStringLiteral("about:blank")), 0);
}

// A program folder the user may not write (an installed package): the data goes to
// XDG_DATA_HOME/yunsuo-mailbox, here a temporary folder.
class PerUserDataTest : public ProgramFolderTest {
protected:
    void SetUp() override {
        ProgramFolderTest::SetUp();
        ASSERT_TRUE(dataHome.isValid());
        m_savedXdg = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", dataHome.path().toUtf8());
        platform::setProgramFolderWritableCheck([](const std::string&) { return false; });
        data = dataHome.path() + QStringLiteral("/yunsuo-mailbox");
    }
    void TearDown() override {
        qunsetenv("TMBL_EXIT_WHEN_SHOWN");
        platform::setProgramFolderWritableCheck(nullptr);
        if (m_savedXdg.isEmpty())
            qunsetenv("XDG_DATA_HOME");
        else
            qputenv("XDG_DATA_HOME", m_savedXdg);
        ProgramFolderTest::TearDown();
    }
    // Qt reports the owner's bits twice over for a file of the user running the test.
    static QFileDevice::Permissions ownerOnly() {
        return QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser;
    }

    QTemporaryDir dataHome;
    QString data;

private:
    QByteArray m_savedXdg;
};

TEST_F(PerUserDataTest, FirstStartOpensAnOwnerOnlyCopyAndLeavesTheProgramFolderAlone) {
    copyShippedDatabase();
    ASSERT_TRUE(QDir().mkpath(folder.path() + QStringLiteral("/ico")));
    ASSERT_TRUE(
        QFile::copy(QStringLiteral(TMBL_PROGRAM_DIR "/ico/1.ico"), folder.path() + QStringLiteral("/ico/1.ico")));
    const QStringList shipped = QDir(folder.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    qputenv("TMBL_EXIT_WHEN_SHOWN", "1");
    EXPECT_EQ(app::runProgram(QStringLiteral("about:blank")), 0);
    EXPECT_TRUE(dialogs.messages().empty());
    EXPECT_EQ(QFileInfo(data + QStringLiteral("/tmbl.edb")).permissions() & 0x7777, ownerOnly());
    EXPECT_EQ(QFileInfo(data + QStringLiteral("/ico/1.ico")).permissions() & 0x7777, ownerOnly());
    // The database the program opened was the copy.
    bool openedCopy = false;
    for (const std::string& open : records::openDatabasePaths()) {
        openedCopy = openedCopy || QString::fromStdString(open).startsWith(data);
        EXPECT_FALSE(QString::fromStdString(open).startsWith(folder.path() + u'/')) << open;
    }
    EXPECT_TRUE(openedCopy);
    EXPECT_EQ(settings::iconFilePath(1), data + QStringLiteral("/ico/1.ico"));
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), shipped);
}

TEST_F(PerUserDataTest, ADeletedDatabaseInTheDataFolderIsReportedNotReplaced) {
    copyShippedDatabase();
    ASSERT_TRUE(QDir().mkpath(data));
    EXPECT_EQ(app::runProgram(QStringLiteral("about:blank")), 0);
    EXPECT_EQ(dialogs.messageTexts(), QStringList{kNoDatabase});
    EXPECT_TRUE(QDir(data).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
    EXPECT_TRUE(records::openDatabasePaths().empty());
}

TEST_F(StartupTest, ADatabaseOthersCouldReadIsTightenedWithANoticeOnce) {
    copyShippedDatabase();
    const QString database = folder.path() + QStringLiteral("/tmbl.edb");
    const QString memo = folder.path() + QStringLiteral("/tmbl.EDT");
    for (const QString& file : {database, memo}) {
        ASSERT_TRUE(QFile::setPermissions(
            file, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
    }
    auto noticeAtStart = [] {
        QString notice;
        QTimer::singleShot(300, [&notice] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (auto* main = qobject_cast<app::MainWindow*>(w)) {
                    notice = main->statusNotice();
                    main->close();
                }
            }
        });
        EXPECT_EQ(app::runProgram(QStringLiteral("about:blank")), 0);
        return notice;
    };
    EXPECT_TRUE(noticeAtStart().contains(QStringLiteral("仅限本用户")));
    for (const QString& file : {database, memo}) {
        EXPECT_EQ(QFileInfo(file).permissions() & 0x7777,
                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser)
            << file.toStdString();
    }
    app::releaseProgramState();
    EXPECT_EQ(noticeAtStart(), QString());
}

TEST_F(StartupTest, EveryWindowShowsTheProgramIconAndTheDesktopEntryName) {
    ASSERT_TRUE(QFile::copy(QStringLiteral(TMBL_PROGRAM_DIR "/yunsuo-mailbox.png"),
                            folder.path() + QStringLiteral("/yunsuo-mailbox.png")));
    app::installApplicationIdentity();
    EXPECT_EQ(QGuiApplication::desktopFileName(), QStringLiteral("yunsuo-mailbox"));
    ASSERT_FALSE(QApplication::windowIcon().isNull());
    const QSize biggest = QApplication::windowIcon().actualSize(QSize(256, 256));
    EXPECT_EQ(biggest, QSize(256, 256));
    copyShippedDatabase();
    ASSERT_EQ(start(), app::StartOutcome::Running);
    EXPECT_EQ(window->windowIcon().cacheKey(), QApplication::windowIcon().cacheKey());
    QApplication::setWindowIcon(QIcon());
}

// Prints every message it is asked to show, so a test can read what a process that
// ended showed last.
class PrintingDialogs : public platform::DialogResponder {
public:
    PrintingDialogs() { m_previous = platform::setDialogResponder(this); }
    ~PrintingDialogs() override { platform::setDialogResponder(m_previous); }
    platform::MessageAnswer answerMessage(const platform::MessageRequest& request) override {
        std::fprintf(stderr, "[message icon=%d] %s\n", static_cast<int>(request.icon), qPrintable(request.text));
        return platform::MessageAnswer::Ok;
    }
    std::optional<QString> answerInput(const platform::InputRequest&) override { return std::nullopt; }

private:
    platform::DialogResponder* m_previous = nullptr;
};

TEST(RuntimeErrorReport, ShownInTheMessageBoxBeforeTheProcessEnds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            PrintingDialogs dialogs;
            app::installRuntimeErrorReport();
            records::closeAllDatabases();
            (void)records::readField("no such field");
        },
        ::testing::ExitedWithCode(EXIT_FAILURE), "\\[message icon=1\\] 运行时出错!");
}

TEST(DisplayCheck, MissingOrUnreachableDisplayIsExplained) {
    const QByteArray saved[] = {qgetenv("QT_QPA_PLATFORM"), qgetenv("DISPLAY"), qgetenv("WAYLAND_DISPLAY")};
    qunsetenv("QT_QPA_PLATFORM");
    qunsetenv("WAYLAND_DISPLAY");
    qunsetenv("DISPLAY");
    const auto none = app::displayProblem();
    qputenv("DISPLAY", ":4242");
    const auto unreachable = app::displayProblem();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const auto chosen = app::displayProblem();
    qputenv("QT_QPA_PLATFORM", saved[0]);
    qputenv("DISPLAY", saved[1]);
    qputenv("WAYLAND_DISPLAY", saved[2]);
    if (saved[0].isEmpty()) qunsetenv("QT_QPA_PLATFORM");
    if (saved[1].isEmpty()) qunsetenv("DISPLAY");
    if (saved[2].isEmpty()) qunsetenv("WAYLAND_DISPLAY");

    ASSERT_TRUE(none.has_value());
    EXPECT_NE(none->find("DISPLAY"), std::string::npos);
    ASSERT_TRUE(unreachable.has_value());
    EXPECT_NE(unreachable->find(":4242"), std::string::npos);
    EXPECT_FALSE(chosen.has_value());
}

TEST(DisplayCheck, ProgramWithoutDisplayExitsWithAMessage) {
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(TMBL_EXECUTABLE), {});
    ASSERT_TRUE(program.waitForFinished(20000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 1);
    const QString err = QString::fromUtf8(program.readAllStandardError());
    EXPECT_TRUE(err.contains(QStringLiteral("xvfb-run"))) << err.toStdString();
}

}  // namespace
