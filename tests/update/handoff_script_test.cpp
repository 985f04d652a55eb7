// The hand-off scripts: the Windows text byte for byte, and the shell script run for
// real against a stand-in program in a temporary folder.
#include "update/handoff_script.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace update {
namespace {

const QString kOldProgram = QStringLiteral("云梭邮盒");
const QString kNewProgram = QStringLiteral("更新程序");
const QString kDownload = QStringLiteral("NQWXBD5.exe.tmp");

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    return file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A folder name a careless script would split or unquote.
QString awkwardFolder(const QTemporaryDir& root) {
    QString folder = root.path() + QStringLiteral("/程序 目录 'x' $HOME");
    QDir().mkpath(folder);
    return folder;
}

TEST(WindowsHandoffScript, IsTheSevenLineBatchTextInGbk) {
    const std::string name = "\xD4\xC6\xCB\xF3\xD3\xCA\xBA\xD0.exe";  // 云梭邮盒.exe
    const std::string expected =
        "@echo off\r\n"
        "Taskkill /f /im \xD4\xC6\xCB\xF3\xD3\xCA\xBA\xD0.exe\r\n"
        "Del \xD4\xC6\xCB\xF3\xD3\xCA\xBA\xD0.exe\r\n"
        "ren NQWXBD5.exe.tmp \xB8\xFC\xD0\xC2\xB3\xCC\xD0\xF2.exe\r\n"
        "start \xB8\xFC\xD0\xC2\xB3\xCC\xD0\xF2.exe\r\n"
        "Del %0\r\n"
        "Exit";
    EXPECT_EQ(windowsHandoffScript(name), expected);
}

TEST(PosixHandoffScript, EndsTheProgramReplacesItAndStartsTheNewOne) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString folder = awkwardFolder(root);

    // The running program: it never ends by itself, so the script has to end it.
    ASSERT_TRUE(writeFile(folder + u'/' + kOldProgram, "#!/bin/sh\nexec sleep 60\n"));
    QFile::setPermissions(folder + u'/' + kOldProgram, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcess running;
    running.setWorkingDirectory(folder);
    running.start(folder + u'/' + kOldProgram, {});
    ASSERT_TRUE(running.waitForStarted());

    // The downloaded program writes where it runs and who it is.
    const QByteArray download = "#!/bin/sh\necho started > started.txt\nexec sleep 1\n";
    ASSERT_TRUE(writeFile(folder + u'/' + kDownload, download));

    HandoffTarget target{QFile::encodeName(folder).toStdString(), kOldProgram.toStdString(), running.processId()};
    const std::string scriptPath = target.folder + "/" + kPosixScriptName;
    ASSERT_TRUE(writeScriptFile(scriptPath, posixHandoffScript(target, kDownload.toStdString())));
    ASSERT_TRUE(startDetachedScript(scriptPath, target.folder));

    ASSERT_TRUE(running.waitForFinished(15000)) << "the script did not end the running program";
    EXPECT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(folder + QStringLiteral("/started.txt")); }, 15000))
        << "the new program was not started";
    EXPECT_TRUE(QTest::qWaitFor([&] { return !QFileInfo::exists(QString::fromStdString(scriptPath)); }, 5000))
        << "the script did not delete itself";

    EXPECT_FALSE(QFileInfo::exists(folder + u'/' + kOldProgram));
    EXPECT_FALSE(QFileInfo::exists(folder + u'/' + kDownload));
    const QFileInfo replaced(folder + u'/' + kNewProgram);
    EXPECT_TRUE(replaced.isExecutable());
    EXPECT_EQ(readFile(replaced.filePath()), download);
    EXPECT_EQ(readFile(folder + QStringLiteral("/started.txt")), QByteArray("started\n"));
}

TEST(PosixHandoffScript, KeepsTheProgramWhenTheDownloadIsMissing) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString folder = awkwardFolder(root);
    const QByteArray program = "#!/bin/sh\nexit 0\n";
    ASSERT_TRUE(writeFile(folder + u'/' + kOldProgram, program));

    // A program that has already ended.
    QProcess ended;
    ended.start(QStringLiteral("/bin/true"), {});
    ASSERT_TRUE(ended.waitForStarted());
    const qint64 pid = ended.processId();
    ASSERT_TRUE(ended.waitForFinished());

    HandoffTarget target{QFile::encodeName(folder).toStdString(), kOldProgram.toStdString(), pid};
    const std::string scriptPath = target.folder + "/" + kPosixScriptName;
    ASSERT_TRUE(writeScriptFile(scriptPath, posixHandoffScript(target, kDownload.toStdString())));
    QProcess script;
    script.start(QStringLiteral("/bin/sh"), {QString::fromStdString(scriptPath)});
    ASSERT_TRUE(script.waitForFinished(15000));
    EXPECT_NE(script.exitCode(), 0);

    EXPECT_EQ(readFile(folder + u'/' + kOldProgram), program);
    EXPECT_FALSE(QFileInfo::exists(folder + u'/' + kNewProgram));
}

TEST(StartDetachedScript, RunsInItsOwnSessionWithoutOurOpenFiles) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    // A descriptor opened without close-on-exec, as a library might leave one.
    const int leaked =
        ::open(QFile::encodeName(folder.filePath(QStringLiteral("held"))).constData(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(leaked, 3);

    const std::string script =
        "ls /proc/$$/fd > fds.tmp && mv fds.tmp fds.txt\n"
        "sed 's/^.*) //' /proc/$$/stat | cut -d' ' -f4 > sid.txt\n";
    const std::string path = QFile::encodeName(folder.filePath(QStringLiteral("probe.sh"))).toStdString();
    ASSERT_TRUE(writeScriptFile(path, script));
    ASSERT_TRUE(startDetachedScript(path, QFile::encodeName(folder.path()).toStdString()));
    const QString fdsPath = folder.filePath(QStringLiteral("fds.txt"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(fdsPath); }, 10000));
    ::close(leaked);

    const QStringList fds = QString::fromLatin1(readFile(fdsPath)).split(u'\n', Qt::SkipEmptyParts);
    EXPECT_FALSE(fds.contains(QString::number(leaked))) << fds.join(u' ').toStdString();
    EXPECT_TRUE(fds.contains(QStringLiteral("0")));

    ASSERT_TRUE(QTest::qWaitFor([&] { return !readFile(folder.filePath(QStringLiteral("sid.txt"))).isEmpty(); }, 5000));
    const long long sid = readFile(folder.filePath(QStringLiteral("sid.txt"))).trimmed().toLongLong();
    EXPECT_GT(sid, 0);
    EXPECT_NE(sid, static_cast<long long>(::getsid(0)));

    EXPECT_FALSE(startDetachedScript(path, "/no/such/folder/anywhere"));
}

}  // namespace
}  // namespace update
