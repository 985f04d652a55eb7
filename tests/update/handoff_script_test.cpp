// The hand-off scripts: the Windows text byte for byte, and the shell script run for
// real against a stand-in program in a temporary folder.
#include "update/handoff_script.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
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

// A stand-in for the running program whose /proc/PID/exe is the file in the folder:
// a copy of sleep(1) under the program's name.
bool installSleepAs(const QString& path) {
    QFile::remove(path);
    return QFile::copy(QStringLiteral("/bin/sleep"), path) &&
           QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

unsigned fileMode(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Runs a hand-off script to its end in the foreground and returns its exit status.
int runScript(const HandoffTarget& target) {
    const std::string scriptPath = target.folder + "/" + kPosixScriptName;
    if (!writeScriptFile(scriptPath, posixHandoffScript(target, kDownload.toStdString()))) return -1;
    QProcess script;
    script.start(QStringLiteral("/bin/sh"), {QString::fromStdString(scriptPath)});
    if (!script.waitForFinished(20000)) return -2;
    return script.exitCode();
}

// The id of a process that has already ended.
qint64 endedProcessId() {
    QProcess ended;
    ended.start(QStringLiteral("/bin/true"), {});
    ended.waitForFinished();
    return ended.processId();
}

TEST(PosixHandoffScript, EndsTheProgramRenamesTheNewOneOverItAndStartsIt) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString folder = awkwardFolder(root);
    const QString program = folder + u'/' + kOldProgram;

    // The running program: it does not end by itself, so the script has to end it.
    ASSERT_TRUE(installSleepAs(program));
    QProcess running;
    running.setWorkingDirectory(folder);
    running.start(program, {QStringLiteral("60")});
    ASSERT_TRUE(running.waitForStarted());

    // The downloaded program writes where it runs.
    const QByteArray download = "#!/bin/sh\necho started > started.txt\nexec sleep 1\n";
    ASSERT_TRUE(writeFile(folder + u'/' + kDownload, download));
    ASSERT_TRUE(QFile::setPermissions(folder + u'/' + kDownload, QFile::ReadOwner | QFile::WriteOwner));

    HandoffTarget target{QFile::encodeName(folder).toStdString(), kOldProgram.toStdString(), running.processId()};
    const std::string scriptPath = target.folder + "/" + kPosixScriptName;
    ASSERT_TRUE(writeScriptFile(scriptPath, posixHandoffScript(target, kDownload.toStdString())));
    ASSERT_TRUE(startDetachedScript(scriptPath, target.folder));

    ASSERT_TRUE(running.waitForFinished(15000)) << "the script did not end the running program";
    EXPECT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(folder + QStringLiteral("/started.txt")); }, 15000))
        << "the new program was not started";
    EXPECT_TRUE(QTest::qWaitFor([&] { return !QFileInfo::exists(QString::fromStdString(scriptPath)); }, 5000))
        << "the script did not delete itself";

    // The new program lives under the old one's name, executable for its owner only.
    EXPECT_EQ(readFile(program), download);
    EXPECT_EQ(fileMode(program), 0700u);
    EXPECT_FALSE(QFileInfo::exists(folder + u'/' + kDownload));
    EXPECT_EQ(readFile(folder + QStringLiteral("/started.txt")), QByteArray("started\n"));
    EXPECT_EQ(QDir(folder).entryList(QDir::Files), (QStringList{QStringLiteral("started.txt"), kOldProgram}));
}

TEST(PosixHandoffScript, AFailedRenameKeepsTheOldProgram) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString folder = awkwardFolder(root);
    const QByteArray download = "#!/bin/sh\necho started > started.txt\n";
    ASSERT_TRUE(writeFile(folder + u'/' + kDownload, download));
    HandoffTarget target{QFile::encodeName(folder).toStdString(), kOldProgram.toStdString(), endedProcessId()};

    // Permission bits do not stop root, so the failure is made another way: a non-empty
    // folder under the program's name cannot be renamed over.
    const QString occupied = folder + u'/' + kOldProgram;
    ASSERT_TRUE(QDir().mkpath(occupied));
    ASSERT_TRUE(writeFile(occupied + QStringLiteral("/keep.txt"), "kept"));
    EXPECT_NE(runScript(target), 0);
    EXPECT_TRUE(QFileInfo(occupied).isDir());
    EXPECT_EQ(readFile(occupied + QStringLiteral("/keep.txt")), QByteArray("kept"));
    EXPECT_EQ(QDir(occupied).entryList(QDir::Files), QStringList{QStringLiteral("keep.txt")});
    EXPECT_EQ(readFile(folder + u'/' + kDownload), download);
    EXPECT_FALSE(QFileInfo::exists(folder + QStringLiteral("/started.txt")));
    EXPECT_FALSE(QFileInfo::exists(folder + u'/' + QString::fromLatin1(kPosixScriptName)));
    ASSERT_TRUE(QDir(occupied).removeRecursively());

    // Where permissions do count, a read-only folder fails the rename the same way.
    if (::geteuid() != 0) {
        const QByteArray program = "old program";
        ASSERT_TRUE(writeFile(occupied, program));
        const std::string scriptPath = target.folder + "/" + kPosixScriptName;
        ASSERT_TRUE(writeScriptFile(scriptPath, posixHandoffScript(target, kDownload.toStdString())));
        ASSERT_TRUE(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
        QProcess script;
        script.start(QStringLiteral("/bin/sh"), {QString::fromStdString(scriptPath)});
        ASSERT_TRUE(script.waitForFinished(20000));
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        EXPECT_NE(script.exitCode(), 0);
        EXPECT_EQ(readFile(occupied), program);
    }
}

TEST(PosixHandoffScript, ARecycledProcessIdIsNotSignalled) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString folder = awkwardFolder(root);
    ASSERT_TRUE(installSleepAs(folder + u'/' + kOldProgram));
    const QByteArray download = "#!/bin/sh\nexit 0\n";
    ASSERT_TRUE(writeFile(folder + u'/' + kDownload, download));

    // Our program has ended and its process id now belongs to another program.
    QProcess stranger;
    stranger.start(QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
    ASSERT_TRUE(stranger.waitForStarted());
    HandoffTarget target{QFile::encodeName(folder).toStdString(), kOldProgram.toStdString(), stranger.processId()};

    EXPECT_EQ(runScript(target), 0);
    EXPECT_FALSE(stranger.waitForFinished(3000)) << "a process that is not ours was signalled";
    EXPECT_EQ(stranger.state(), QProcess::Running);
    EXPECT_EQ(readFile(folder + u'/' + kOldProgram), download);  // the hand-off itself went on
    stranger.kill();
    stranger.waitForFinished();
}

TEST(WriteScriptFile, MakesANewOwnerOnlyFileWhateverWasThere) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const mode_t previous = ::umask(0);
    const QString path = folder.filePath(QStringLiteral("update.sh"));
    const QString elsewhere = folder.filePath(QStringLiteral("elsewhere.txt"));
    ASSERT_TRUE(writeFile(elsewhere, "not to be touched"));
    ASSERT_TRUE(QFile::link(elsewhere, path));  // a link planted under the script's name
    EXPECT_TRUE(writeScriptFile(QFile::encodeName(path).toStdString(), "echo hi\n"));
    ::umask(previous);
    EXPECT_EQ(readFile(path), QByteArray("echo hi\n"));
    EXPECT_FALSE(QFileInfo(path).isSymLink());
    EXPECT_EQ(fileMode(path), 0700u);
    EXPECT_EQ(readFile(elsewhere), QByteArray("not to be touched"));
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
