// The update window against a server on 127.0.0.1: the version check and its
// messages, the download with its progress captions, the question and the hand-off.
#include "update/update_window.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <functional>
#include <map>

#include "platform/dialogs.h"
#include "platform/program_folder.h"
#include "test_signing_key.h"
#include "update_test_server.h"

namespace update {
namespace {

using platform::MessageAnswer;
using platform::MessageIcon;
using platform::MessageRequest;
using testing::Resource;
using testing::UpdateTestServer;

const QString kQuestion = QStringLiteral("下载完毕！确认要关闭程序执行更新操作吗？");
const QString kNotVerified = QStringLiteral("更新文件未通过校验，程序未做任何改动！");
const QString kNetworkTrouble = QStringLiteral("当前网络异常，请稍候再试！");
const QString kDownloadName = QStringLiteral("NQWXBD5.exe.tmp");
constexpr const char* kReadme = "/revo/soft/tmbl/readme.txt";
constexpr const char* kInstaller = "/revo/soft/tmbl/tmblupdate.exe";
constexpr const char* kSignature = "/revo/soft/tmbl/tmblupdate.exe.sig";

// 204800 bytes cut by five connections into segments of 40960; the middle of every
// segment falls on a 20480-byte boundary.
constexpr long long kInstallerSize = 204800;
const std::set<long long> kSegmentMiddles = {20480, 61440, 102400, 143360, 184320};

std::string installerBytes(long long size) {
    std::string bytes(static_cast<size_t>(size), '\0');
    unsigned x = 12345;
    for (char& c : bytes) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return bytes;
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

unsigned fileMode(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Every file under a folder with its bytes and permission bits, to compare before and after.
std::map<QString, std::pair<QByteArray, unsigned>> folderContents(const QString& folder) {
    std::map<QString, std::pair<QByteArray, unsigned>> contents;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        contents[path] = {readFile(path), fileMode(path)};
    }
    return contents;
}

// A copy of sleep(1) as the running program, so that /proc/PID/exe names the file.
bool installSleepAs(const QString& path) {
    return QFile::copy(QStringLiteral("/bin/sleep"), path) &&
           QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// Answers like ScriptedDialogs and lets a test look at the window when the question comes.
class WatchingDialogs : public platform::ScriptedDialogs {
public:
    std::function<void()> onQuestion;
    MessageAnswer answerMessage(const MessageRequest& request) override {
        if (request.yesNo && onQuestion) onQuestion();
        return ScriptedDialogs::answerMessage(request);
    }
};

class UpdateWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_folder.isValid());
        ASSERT_TRUE(QDir(m_folder.path()).mkpath(QStringLiteral("ico")));
        ASSERT_TRUE(writeFile(m_folder.filePath(QStringLiteral("ico/1.ico")), "icon"));
        platform::setProgramFolder(QFile::encodeName(m_folder.path()).toStdString());
        // Whatever a test does, a hand-off must never aim at the test runner itself.
        m_standIn.start(QStringLiteral("sleep"), {QStringLiteral("60")});
        ASSERT_TRUE(m_standIn.waitForStarted());
    }
    void TearDown() override {
        platform::setProgramFolder({});
        m_standIn.kill();
        m_standIn.waitForFinished();
    }

    UpdateOptions options() const {
        UpdateOptions o;
        o.host = QString::fromStdString(m_server.host());
        o.settleDelayMs = 0;
        o.fetchLimits.idleTimeoutMs = 3000;
        o.engineSettings.retryWaitMs = 50;
        o.engineSettings.maxRetries = 1;
        o.engineSettings.controllerIdleMs = 10;
        o.target = HandoffTarget{QFile::encodeName(m_folder.path()).toStdString(), "云梭邮盒", m_standIn.processId()};
        o.endProcess = [] {};
        o.publicKey = m_key.publicKey();
        return o;
    }
    // The installer with its signature file beside it.
    void serveSigned(const std::string& installer, Resource resource) {
        m_server.serve(kSignature, Resource{.body = m_key.signatureFile(installer)});
        resource.body = installer;
        m_server.serve(kInstaller, resource);
    }
    QString downloadPath() const { return m_folder.filePath(kDownloadName); }
    static QPushButton* updateButton(UpdateWindow& w) { return w.findChild<QPushButton*>(QStringLiteral("更新按钮")); }
    int installerRequests() const {
        int n = 0;
        for (const std::string& r : m_server.requests()) n += r.rfind(std::string("GET ") + kInstaller + " ", 0) == 0;
        return n;
    }

    QTemporaryDir m_folder;
    UpdateTestServer m_server;
    ::test::TestSigningKey m_key;
    QProcess m_standIn;
};

TEST_F(UpdateWindowTest, HasItsTitleAndNamedControls) {
    UpdateWindow w(nullptr, options());
    EXPECT_EQ(w.windowTitle(), QStringLiteral("澜禾云梭邮盒在线升级"));
    struct Expected {
        const char* name;
        QRect geometry;
    };
    for (const Expected& e : {Expected{"更新按钮", {209, 248, 74, 26}}, Expected{"标签2", {10, 252, 180, 13}},
                              Expected{"编辑框1", {7, 7, 277, 233}}}) {
        auto* control = w.findChild<QWidget*>(QString::fromUtf8(e.name));
        ASSERT_NE(control, nullptr) << e.name;
        EXPECT_EQ(control->geometry(), e.geometry) << e.name;
        EXPECT_TRUE(w.rect().contains(control->geometry())) << e.name;
    }
    EXPECT_EQ(updateButton(w)->text(), QStringLiteral("更新"));
    EXPECT_FALSE(updateButton(w)->isEnabled());
    EXPECT_NE(w.findChild<QTimer*>(QStringLiteral("时钟")), nullptr);
    EXPECT_NE(w.findChild<QTimer*>(QStringLiteral("时钟1")), nullptr);
}

TEST_F(UpdateWindowTest, VersionCheckOffersOnlyANewerVersion) {
    struct Case {
        const char* what;
        Resource readme;
        QString message;  // empty: the update is offered
        QString notes;
    };
    const Case cases[] = {
        {"newer",
         Resource{.body = "V2.1\r\n\xD0\xC2\xB0\xE6\xB1\xBE\xCB\xB5\xC3\xF7"},
         {},
         QStringLiteral("V2.1\n新版本说明")},
        {"same", Resource{.body = "V2.0\r\nold"}, QStringLiteral("当前版本是最新的，不需要升级！"),
         QStringLiteral("V2.0\nold")},
        {"web page",
         Resource{.body = "<!DOCTYPE html><p>V9</p>", .status = 404},
         QStringLiteral("暂无更新数据，请关注软件官方网站！"),
         {}},
        {"no answer", Resource{.closeWithoutAnswer = true}, QStringLiteral("当前网络异常，请稍候再试！"), {}},
        {"no V", Resource{.body = "2.1\r\nnotes"}, QStringLiteral("当前网络异常，请稍候再试！"),
         QStringLiteral("2.1\nnotes")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_server.serve(kReadme, c.readme);
        platform::ScriptedDialogs dialogs;
        UpdateWindow w(nullptr, options());
        const bool offered = w.checkVersion();

        EXPECT_EQ(offered, c.message.isEmpty());
        EXPECT_EQ(dialogs.messageTexts(), c.message.isEmpty() ? QStringList() : QStringList{c.message});
        EXPECT_EQ(w.isVisible(), offered);
        EXPECT_EQ(w.findChild<QPlainTextEdit*>(QStringLiteral("编辑框1"))->toPlainText(), c.notes);
        EXPECT_EQ(updateButton(w)->isEnabled(), offered);
        EXPECT_EQ(updateState().mode, offered ? kModeOffering : kModeChecking);
        if (offered) {
            EXPECT_EQ(w.findChild<QLabel*>(QStringLiteral("标签2"))->text(),
                      QStringLiteral("提示信息：可以进行更新操作！"));
        }
        EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "the wait cursor stayed";
    }
}

TEST_F(UpdateWindowTest, RefusesToRunOutsideTheProgramFolder) {
    ASSERT_TRUE(QFile::remove(m_folder.filePath(QStringLiteral("ico/1.ico"))));
    m_server.serve(kReadme, Resource{.body = "V2.1\r\n"});
    platform::ScriptedDialogs dialogs;
    UpdateWindow w(nullptr, options());
    EXPECT_FALSE(w.checkVersion());
    EXPECT_EQ(dialogs.messageTexts(),
              QStringList{QStringLiteral("请将本程序复制到《澜禾云梭邮盒》程序目录，并且不要更改文件名！")});
    EXPECT_TRUE(m_server.requests().empty());
}

TEST_F(UpdateWindowTest, OpensModalOverItsParentAndReturnsOnceClosed) {
    setDefaultUpdateOptions(options());
    QWidget parent;
    parent.show();

    // Nothing newer: the window tells so and closes by itself.
    m_server.serve(kReadme, Resource{.body = "V2.0\r\n"});
    {
        platform::ScriptedDialogs dialogs;
        showUpdateWindow(&parent);
        EXPECT_EQ(dialogs.messageTexts(), QStringList{QStringLiteral("当前版本是最新的，不需要升级！")});
    }

    // An update on offer: the window stays until the user closes it.
    m_server.serve(kReadme, Resource{.body = "V2.1\r\n"});
    bool sawModalWindow = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &parent, [&] {
        for (UpdateWindow* w : parent.findChildren<UpdateWindow*>()) {
            if (!w->isVisible()) continue;
            sawModalWindow = QApplication::activeModalWidget() == w && updateButton(*w)->isEnabled();
            w->close();
        }
    });
    poll.start(20);
    platform::ScriptedDialogs dialogs;
    showUpdateWindow(&parent);
    poll.stop();
    setDefaultUpdateOptions({});

    EXPECT_TRUE(sawModalWindow);
    EXPECT_TRUE(dialogs.messages().empty());
    EXPECT_EQ(m_server.requests().size(), 2u);
}

TEST_F(UpdateWindowTest, DownloadShowsProgressAndNoDeletesTheDownload) {
    const std::string installer = installerBytes(kInstallerSize);
    m_server.serve(kReadme, Resource{.body = "V2.1\r\n"});
    serveSigned(installer, Resource{.holdBeforeAnswer = true, .pauseAt = kSegmentMiddles});

    WatchingDialogs dialogs;
    QString captionAtQuestion;
    bool enabledAtQuestion = false;
    QByteArray fileAtQuestion;
    unsigned modeAtQuestion = 0;
    UpdateWindow w(nullptr, options());
    bool askedOnUiThread = false;
    dialogs.onQuestion = [&] {
        askedOnUiThread = QThread::currentThread() == w.thread();
        captionAtQuestion = updateButton(w)->text();
        enabledAtQuestion = updateButton(w)->isEnabled();
        fileAtQuestion = readFile(downloadPath());
        modeAtQuestion = fileMode(downloadPath());
    };
    ASSERT_TRUE(w.checkVersion());
    QPushButton* button = updateButton(w);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_FALSE(button->isEnabled());

    // The server holds its answer: the length is not known yet.
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_server.waitingAnswers() == 1; }, 10000));
    QTest::qWait(450);
    EXPECT_EQ(button->text(), QStringLiteral("0%"));

    // Every connection stops in the middle of its segment: half of the bytes are in.
    m_server.releaseHold();
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_server.waitingAnswers() == 5; }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return button->text() == QStringLiteral("50%"); }, 5000))
        << button->text().toStdString();
    QTest::qWait(450);
    EXPECT_EQ(button->text(), QStringLiteral("50%"));
    EXPECT_FALSE(button->isEnabled());
    EXPECT_EQ(installerRequests(), 5);

    m_server.releasePauses();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialogs.messages().empty(); }, 15000));
    ASSERT_EQ(dialogs.messages().size(), 1u);
    EXPECT_EQ(dialogs.messages()[0].text, kQuestion);
    EXPECT_EQ(dialogs.messages()[0].icon, MessageIcon::Question);
    EXPECT_TRUE(dialogs.messages()[0].yesNo);
    EXPECT_TRUE(askedOnUiThread);
    EXPECT_EQ(captionAtQuestion, QStringLiteral("完成"));
    EXPECT_TRUE(enabledAtQuestion);
    EXPECT_EQ(fileAtQuestion, QByteArray::fromStdString(installer));
    EXPECT_EQ(modeAtQuestion, 0600u);  // the next program is nobody else's to read or change

    // No closes the window and takes the download with it.
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(QFileInfo::exists(downloadPath()));
    EXPECT_FALSE(QFileInfo::exists(m_folder.filePath(QString::fromLatin1(kPosixScriptName))));
}

TEST_F(UpdateWindowTest, AFailedDownloadNeverOffersTheHandoff) {
    const std::string installer = installerBytes(kInstallerSize);
    const Resource failures[] = {
        Resource{.body = installer, .cutAt = kInstallerSize / 2},  // every connection breaks at the middle
        Resource{.body = "gone", .status = 404},
    };
    for (const Resource& failure : failures) {
        SCOPED_TRACE(failure.status);
        m_server.serve(kReadme, Resource{.body = "V2.1\r\n"});
        m_server.serve(kInstaller, failure);
        bool ended = false;
        UpdateOptions o = options();
        o.endProcess = [&] { ended = true; };
        platform::ScriptedDialogs dialogs;
        dialogs.queueAnswer(true);
        UpdateWindow w(nullptr, o);
        ASSERT_TRUE(w.checkVersion());
        QTest::mouseClick(updateButton(w), Qt::LeftButton);

        ASSERT_TRUE(QTest::qWaitFor([&] { return !dialogs.messages().empty(); }, 20000));
        ASSERT_EQ(dialogs.messages().size(), 1u);
        EXPECT_FALSE(dialogs.messages()[0].yesNo);
        EXPECT_EQ(dialogs.messages()[0].icon, MessageIcon::Error);
        EXPECT_NE(dialogs.messages()[0].text, kQuestion);
        EXPECT_FALSE(ended);
        EXPECT_FALSE(w.isVisible());
        EXPECT_FALSE(QFileInfo::exists(downloadPath()));
        EXPECT_FALSE(QFileInfo::exists(m_folder.filePath(QString::fromLatin1(kPosixScriptName))));
    }
}

TEST_F(UpdateWindowTest, AStaleDownloadFromAnEarlierRunIsReplaced) {
    const std::string installer = installerBytes(10000);
    ASSERT_TRUE(writeFile(downloadPath(), "left over from a crash"));
    m_server.serve(kReadme, Resource{.body = "V2.1\r\n"});
    serveSigned(installer, Resource{});

    WatchingDialogs dialogs;
    QByteArray fileAtQuestion;
    dialogs.onQuestion = [&] { fileAtQuestion = readFile(downloadPath()); };
    UpdateWindow w(nullptr, options());
    ASSERT_TRUE(w.checkVersion());
    QTest::mouseClick(updateButton(w), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialogs.messages().empty(); }, 15000));
    EXPECT_EQ(dialogs.messageTexts(), QStringList{kQuestion});
    EXPECT_EQ(fileAtQuestion, QByteArray::fromStdString(installer));
    EXPECT_EQ(QDir(m_folder.path()).entryList(QDir::Files), QStringList());
}

TEST_F(UpdateWindowTest, ClosingDuringTheDownloadStopsItBeforeDeletingTheFile) {
    const std::string installer = installerBytes(kInstallerSize);
    m_server.serve(kReadme, Resource{.body = "V2.1\r\n"});

    // Closed while the answer is held (the file is not created yet), and closed while
    // the transfer stands in the middle.
    for (bool hold : {true, false}) {
        SCOPED_TRACE(hold ? "held" : "halfway");
        m_server.serve(kInstaller, Resource{.body = installer, .holdBeforeAnswer = hold, .pauseAt = kSegmentMiddles});
        platform::ScriptedDialogs dialogs;
        {
            UpdateWindow w(nullptr, options());
            ASSERT_TRUE(w.checkVersion());
            QTest::mouseClick(updateButton(w), Qt::LeftButton);
            const int waiting = hold ? 1 : 5;
            ASSERT_TRUE(QTest::qWaitFor([&] { return m_server.waitingAnswers() == waiting; }, 10000));
            w.close();
            EXPECT_FALSE(w.isVisible());
        }
        EXPECT_TRUE(QTest::qWaitFor([] { return runningTaskCount() == 0; }, 5000));
        m_server.releaseHold();
        m_server.releasePauses();
        QTest::qWait(500);
        EXPECT_FALSE(QFileInfo::exists(downloadPath()));
        EXPECT_TRUE(dialogs.messages().empty());
    }
}

TEST_F(UpdateWindowTest, YesHandsOverToASignedInstaller) {
    const QString oldProgram = m_folder.filePath(QStringLiteral("云梭邮盒"));
    ASSERT_TRUE(installSleepAs(oldProgram));
    QProcess running;
    running.start(oldProgram, {QStringLiteral("60")});
    ASSERT_TRUE(running.waitForStarted());

    const QByteArray installer = "#!/bin/sh\necho started > started.txt\n";
    m_server.serve(kReadme, Resource{.body = "V2.1\r\n"});
    serveSigned(installer.toStdString(), Resource{});

    int ended = 0;
    UpdateWindow* window = nullptr;
    UpdateOptions o = options();
    o.target = HandoffTarget{QFile::encodeName(m_folder.path()).toStdString(), "云梭邮盒", running.processId()};
    // The program's windows close as it ends; the download must survive that.
    o.endProcess = [&] {
        ++ended;
        window->close();
    };
    platform::ScriptedDialogs dialogs;
    dialogs.queueAnswer(true);
    UpdateWindow w(nullptr, o);
    window = &w;
    ASSERT_TRUE(w.checkVersion());
    QTest::mouseClick(updateButton(w), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended > 0; }, 15000));
    EXPECT_EQ(dialogs.messageTexts(), QStringList{kQuestion});
    EXPECT_EQ(ended, 1);
    EXPECT_FALSE(w.isVisible());

    ASSERT_TRUE(running.waitForFinished(15000)) << "the old program was not ended";
    const QString started = m_folder.filePath(QStringLiteral("started.txt"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(started); }, 15000)) << "the new program did not start";
    EXPECT_EQ(readFile(oldProgram), installer);
    EXPECT_EQ(fileMode(oldProgram), 0700u);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return !QFileInfo::exists(m_folder.filePath(QString::fromLatin1(kPosixScriptName))); }, 5000));
    EXPECT_FALSE(QFileInfo::exists(downloadPath()));
}

TEST_F(UpdateWindowTest, AnInstallerWithoutItsSignatureChangesNothing) {
    const std::string installer = installerBytes(kInstallerSize);
    std::string other = installer;
    other[kInstallerSize / 2] = static_cast<char>(other[kInstallerSize / 2] ^ 0x20);
    const ::test::TestSigningKey otherKey;
    const QString program = m_folder.filePath(QStringLiteral("云梭邮盒"));
    ASSERT_TRUE(installSleepAs(program));

    struct Case {
        const char* what;
        std::optional<std::string> signature;  // none: the host has no signature file
        std::function<void()> whileHeld;       // the installer's first answer is held until this has run
    };
    const Case cases[] = {
        {"unsigned", std::nullopt, {}},
        {"signature of other bytes", m_key.signatureFile(other), {}},
        {"signed by another key", otherKey.signatureFile(installer), {}},
        {"truncated signature file", m_key.signatureFile(installer).substr(0, 44), {}},
        // The host swaps the installer after we fetched its signature; the connections
        // that start later fetch the new bytes.
        {"installer changed after its signature was fetched", m_key.signatureFile(installer),
         [&] { m_server.serve(kInstaller, Resource{.body = other}); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_server.serve(kReadme, Resource{.body = "V2.1\r\n"});
        m_server.serve(kSignature, c.signature ? Resource{.body = *c.signature} : Resource{.status = 404});
        m_server.serve(kInstaller, Resource{.body = installer, .holdBeforeAnswer = bool(c.whileHeld)});
        const auto before = folderContents(m_folder.path());

        bool ended = false;
        UpdateOptions o = options();
        o.endProcess = [&] { ended = true; };
        platform::ScriptedDialogs dialogs;
        dialogs.queueAnswer(true);
        UpdateWindow w(nullptr, o);
        ASSERT_TRUE(w.checkVersion());
        QTest::mouseClick(updateButton(w), Qt::LeftButton);
        if (c.whileHeld) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return m_server.waitingAnswers() == 1; }, 10000));
            c.whileHeld();
            m_server.releaseHold();
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return !dialogs.messages().empty(); }, 20000));
        ASSERT_EQ(dialogs.messages().size(), 1u) << dialogs.messageTexts().join(u'|').toStdString();
        EXPECT_EQ(dialogs.messages()[0].text, kNotVerified);
        EXPECT_EQ(dialogs.messages()[0].icon, MessageIcon::Error);
        EXPECT_FALSE(ended);
        EXPECT_FALSE(w.isVisible());
        EXPECT_GE(installerRequests(), 1);
        EXPECT_TRUE(folderContents(m_folder.path()) == before) << "the program folder changed";
    }
}

TEST_F(UpdateWindowTest, AHostThatDripsItsAnswerIsGivenUpOnInTime) {
    // One byte every five seconds never trips the 15-second silence limit; only the
    // total limit (shortened here from 20 s) ends the wait.
    m_server.serve(kReadme, Resource{.body = "V2.1\r\nnotes\r\n", .dripMs = 5000});
    UpdateOptions o = options();
    o.fetchLimits.idleTimeoutMs = 15000;
    o.fetchLimits.totalTimeoutMs = 6000;
    platform::ScriptedDialogs dialogs;
    UpdateWindow w(nullptr, o);
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(w.checkVersion());
    const qint64 elapsed = clock.elapsed();
    EXPECT_GE(elapsed, 5500);
    EXPECT_LT(elapsed, 9000);
    EXPECT_EQ(dialogs.messageTexts(), QStringList{kNetworkTrouble});
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "the wait cursor stayed";
    EXPECT_FALSE(w.isVisible());
}

// An installed package: the program folder is not the user's to write, so a newer
// version is announced and the package manager named, and nothing is downloaded.
TEST_F(UpdateWindowTest, AnInstalledPackageIsSentToThePackageManager) {
    QTemporaryDir dataHome;
    ASSERT_TRUE(dataHome.isValid());
    const QByteArray savedXdg = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", dataHome.path().toUtf8());
    platform::setProgramFolderWritableCheck([](const std::string&) { return false; });
    const QString data = dataHome.filePath(QStringLiteral("yunsuo-mailbox"));
    ASSERT_TRUE(QDir(data).mkpath(QStringLiteral("ico")));
    ASSERT_TRUE(writeFile(data + QStringLiteral("/ico/1.ico"), "icon"));

    m_server.serve(kReadme, Resource{.body = "V2.1\r\nnotes"});
    {
        platform::ScriptedDialogs dialogs;
        UpdateWindow w(nullptr, options());
        EXPECT_TRUE(w.checkVersion());
        EXPECT_EQ(dialogs.messageTexts(), QStringList{QStringLiteral("已安装的版本请通过系统的软件包管理器更新。")});
        EXPECT_TRUE(w.isVisible());
        EXPECT_EQ(w.findChild<QPlainTextEdit*>(QStringLiteral("编辑框1"))->toPlainText(),
                  QStringLiteral("V2.1\nnotes"));
        EXPECT_FALSE(updateButton(w)->isEnabled());
        EXPECT_EQ(updateState().mode, kModeChecking);
        updateButton(w)->setEnabled(true);  // even a forced click starts nothing
        updateButton(w)->click();
        QTest::qWait(300);
        EXPECT_EQ(installerRequests(), 0);
        EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
        w.close();
    }
    EXPECT_FALSE(QFileInfo::exists(data + u'/' + kDownloadName));
    EXPECT_FALSE(QFileInfo::exists(downloadPath()));

    // The version that is current is still reported the usual way.
    m_server.serve(kReadme, Resource{.body = "V2.0\r\nold"});
    platform::ScriptedDialogs dialogs;
    UpdateWindow w(nullptr, options());
    EXPECT_FALSE(w.checkVersion());
    EXPECT_EQ(dialogs.messageTexts(), QStringList{QStringLiteral("当前版本是最新的，不需要升级！")});

    platform::setProgramFolderWritableCheck(nullptr);
    if (savedXdg.isEmpty())
        qunsetenv("XDG_DATA_HOME");
    else
        qputenv("XDG_DATA_HOME", savedXdg);
}

}  // namespace
}  // namespace update
