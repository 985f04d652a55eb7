// Saving what pages download: the name rules on their own, then real downloads through
// the browser pane from a 127.0.0.1 server that sends attachments (a Chinese name, a
// hostile one, one name twice, a connection cut short).
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>

#include "login/browser_pane.h"
#include "login/download_saver.h"
#include "loopback_server.h"

namespace {

using login::freeDownloadPath;
using login::safeDownloadName;

bool waitFor(const std::function<bool()>& condition, int timeoutMs = 15000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs) return false;
        QTest::qWait(10);
    }
    return true;
}

TEST(DownloadNames, OnlyAPlainFileNameInsideTheFolderSurvives) {
    EXPECT_EQ(safeDownloadName(QStringLiteral("../../evil.sh")), QStringLiteral("evil.sh"));
    EXPECT_EQ(safeDownloadName(QStringLiteral("..\\..\\win.bat")), QStringLiteral("win.bat"));
    EXPECT_EQ(safeDownloadName(QStringLiteral("/etc/passwd")), QStringLiteral("passwd"));
    EXPECT_EQ(safeDownloadName(QStringLiteral(".bashrc")), QStringLiteral("bashrc"));
    EXPECT_EQ(safeDownloadName(QStringLiteral("...hidden")), QStringLiteral("hidden"));
    EXPECT_EQ(safeDownloadName(QStringLiteral("附件 一.docx")), QStringLiteral("附件 一.docx"));
    // Control characters and a right-to-left override that would show "exe.pdf" as "fdp.exe".
    EXPECT_EQ(safeDownloadName(QStringLiteral("a\nb\tc\x01.txt")), QStringLiteral("abc.txt"));
    EXPECT_EQ(safeDownloadName(QString::fromUtf16(u"invoice\u202Efdp.exe")), QStringLiteral("invoicefdp.exe"));
    EXPECT_EQ(safeDownloadName(QStringLiteral("name. . ")), QStringLiteral("name"));
    // Nothing usable left: a fixed name, never "", "." or "..".
    for (const QString& bad : {QString(), QStringLiteral("."), QStringLiteral(".."), QStringLiteral("a/"),
                               QStringLiteral("\x01\x02"), QStringLiteral("   ")}) {
        EXPECT_EQ(safeDownloadName(bad), QStringLiteral("下载的文件")) << bad.toStdString();
    }
}

TEST(DownloadNames, LongNamesFitTheFileSystemAndKeepTheirExtension) {
    const QString longChinese = QString(200, QChar(0x9644)) + QStringLiteral(".pdf");  // 3 bytes each in UTF-8
    const QString safe = safeDownloadName(longChinese);
    EXPECT_LE(QFile::encodeName(safe + QStringLiteral(" (99999).part")).size(), 255);
    EXPECT_TRUE(safe.endsWith(QStringLiteral(".pdf")));
    EXPECT_GT(safe.size(), 50);
    // An extension as long as a name is no extension worth keeping.
    const QString safeExt = safeDownloadName(QStringLiteral("a.") + QString(300, u'x'));
    EXPECT_LE(QFile::encodeName(safeExt).size(), 255);
}

TEST(DownloadNames, ATakenNameGetsTheFirstFreeNumberBeforeTheExtension) {
    QSet<QString> taken;
    auto isTaken = [&](const QString& p) { return taken.contains(p); };
    EXPECT_EQ(freeDownloadPath(QStringLiteral("/d"), QStringLiteral("r.txt"), isTaken), QStringLiteral("/d/r.txt"));
    taken = {QStringLiteral("/d/r.txt"), QStringLiteral("/d/r (1).txt")};
    EXPECT_EQ(freeDownloadPath(QStringLiteral("/d"), QStringLiteral("r.txt"), isTaken), QStringLiteral("/d/r (2).txt"));
    taken = {QStringLiteral("/d/README")};
    EXPECT_EQ(freeDownloadPath(QStringLiteral("/d"), QStringLiteral("README"), isTaken),
              QStringLiteral("/d/README (1)"));
    taken = {QStringLiteral("/d/a.tar.gz")};
    EXPECT_EQ(freeDownloadPath(QStringLiteral("/d"), QStringLiteral("a.tar.gz"), isTaken),
              QStringLiteral("/d/a.tar (1).gz"));
}

// Answers each path with fixed bytes; a cut response stops after its bytes and closes.
class AttachmentServer : public testing_support::LoopbackServer {
public:
    QString url(const QString& path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path); }
    void setAttachment(const QString& path, const QByteArray& disposition, const QByteArray& body,
                       qsizetype claimedLength = -1) {
        const qsizetype length = claimedLength < 0 ? body.size() : claimedLength;
        m_responses.insert(path,
                           "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
                           "Content-Disposition: " +
                               disposition + "\r\nContent-Length: " + QByteArray::number(length) +
                               "\r\nConnection: close\r\n\r\n" + body);
    }

private:
    void serve(QTcpSocket* socket) override {
        QByteArray& pending = m_buffers[socket];
        pending += socket->readAll();
        if (!pending.contains("\r\n\r\n")) return;
        const QString path = QString::fromLatin1(pending.left(pending.indexOf("\r\n")).split(' ').value(1));
        m_buffers.remove(socket);
        socket->write(m_responses.value(path, "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n"));
        socket->disconnectFromHost();
    }
    QHash<QTcpSocket*, QByteArray> m_buffers;
    QHash<QString, QByteArray> m_responses;
};

class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        ASSERT_TRUE(server.listening());
        folder = QDir(root.path()).filePath(QStringLiteral("下载/inner"));
        pane = std::make_unique<login::BrowserPane>();
        pane->resize(400, 300);
        pane->show();
        pane->setDownloadFolder(folder);
        QObject::connect(pane->downloads(), &login::DownloadSaver::finished, pane.get(),
                         [this](const QString& p, bool ok) {
                             ended.push_back({p, ok});
                         });
    }
    void TearDown() override { pane.reset(); }

    // Starts a download from the page shown and waits for its end.
    std::pair<QString, bool> download(const QString& path) {
        const size_t before = ended.size();
        pane->setUrl(server.url(path));
        if (!waitFor([&] { return ended.size() > before; })) return {QString(), false};
        return ended.back();
    }

    static QByteArray contentOf(const QString& p) {
        QFile file(p);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QStringList filesUnderRoot() const {
        QStringList all;
        std::function<void(const QString&)> walk = [&](const QString& dir) {
            for (const QFileInfo& info :
                 QDir(dir).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
                if (info.isDir()) {
                    walk(info.filePath());
                } else {
                    all.append(QDir(root.path()).relativeFilePath(info.filePath()));
                }
            }
        };
        walk(root.path());
        all.sort();
        return all;
    }

    QTemporaryDir root;
    QString folder;
    AttachmentServer server;
    std::unique_ptr<login::BrowserPane> pane;
    std::vector<std::pair<QString, bool>> ended;
};

TEST_F(DownloadTest, AttachmentsLandInTheFolderUnderSafeNamesWithTheirBytes) {
    server.setAttachment(QStringLiteral("/cn"), "attachment; filename*=UTF-8''%E9%99%84%E4%BB%B6%E4%B8%80.txt",
                         "chinese bytes");
    server.setAttachment(QStringLiteral("/evil"), "attachment; filename=\"../../evil.sh\"", "#!/bin/sh\n");
    server.setAttachment(QStringLiteral("/r1"), "attachment; filename=\"report.txt\"", "first");
    server.setAttachment(QStringLiteral("/r2"), "attachment; filename=\"report.txt\"", "second");

    auto [cnPath, cnOk] = download(QStringLiteral("/cn"));
    ASSERT_TRUE(cnOk);
    EXPECT_EQ(QFileInfo(cnPath).fileName(), QStringLiteral("附件一.txt"));
    EXPECT_EQ(contentOf(cnPath), QByteArray("chinese bytes"));
    // The folder did not exist: it was made for the owner only; the file is the owner's.
    EXPECT_EQ(QFileInfo(folder).permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
              QFileDevice::Permissions());
    EXPECT_EQ(QFileInfo(cnPath).permissions() & (QFileDevice::ReadOther | QFileDevice::WriteOther),
              QFileDevice::Permissions());

    auto [evilPath, evilOk] = download(QStringLiteral("/evil"));
    ASSERT_TRUE(evilOk);
    EXPECT_EQ(QFileInfo(evilPath).absolutePath(), QFileInfo(folder).absoluteFilePath());
    EXPECT_FALSE(QFileInfo(evilPath).fileName().startsWith(u'.'));
    EXPECT_EQ(contentOf(evilPath), QByteArray("#!/bin/sh\n"));

    auto [firstPath, firstOk] = download(QStringLiteral("/r1"));
    auto [secondPath, secondOk] = download(QStringLiteral("/r2"));
    ASSERT_TRUE(firstOk && secondOk);
    EXPECT_EQ(QFileInfo(firstPath).fileName(), QStringLiteral("report.txt"));
    EXPECT_EQ(QFileInfo(secondPath).fileName(), QStringLiteral("report (1).txt"));
    EXPECT_EQ(contentOf(firstPath), QByteArray("first"));
    EXPECT_EQ(contentOf(secondPath), QByteArray("second"));

    // Nothing anywhere else under the root, no temporary file left behind.
    const QString inner = QDir(root.path()).relativeFilePath(folder);
    EXPECT_EQ(filesUnderRoot(),
              QStringList({inner + QStringLiteral("/") + QFileInfo(evilPath).fileName(),
                           inner + QStringLiteral("/report (1).txt"), inner + QStringLiteral("/report.txt"),
                           inner + QStringLiteral("/附件一.txt")}));
}

TEST_F(DownloadTest, ACutConnectionLeavesNothingUnderTheFinalName) {
    server.setAttachment(QStringLiteral("/cut"), "attachment; filename=\"big.bin\"", QByteArray(5000, 'x'), 200000);
    QSignalSpy progress(pane->downloads(), &login::DownloadSaver::progress);
    auto [cutPath, cutOk] = download(QStringLiteral("/cut"));
    EXPECT_FALSE(cutOk);
    EXPECT_EQ(QFileInfo(cutPath).fileName(), QStringLiteral("big.bin"));
    EXPECT_FALSE(QFileInfo::exists(cutPath));
    EXPECT_GE(progress.count(), 1);
    // Neither the final nor the temporary name is left.
    EXPECT_TRUE(filesUnderRoot().isEmpty()) << filesUnderRoot().join(u',').toStdString();

    // A name already on disk is never overwritten.
    QDir().mkpath(folder);
    QFile existing(QDir(folder).filePath(QStringLiteral("big.bin")));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("mine");
    existing.close();
    server.setAttachment(QStringLiteral("/whole"), "attachment; filename=\"big.bin\"", "theirs");
    auto [wholePath, wholeOk] = download(QStringLiteral("/whole"));
    ASSERT_TRUE(wholeOk);
    EXPECT_EQ(QFileInfo(wholePath).fileName(), QStringLiteral("big (1).bin"));
    EXPECT_EQ(contentOf(QDir(folder).filePath(QStringLiteral("big.bin"))), QByteArray("mine"));
    EXPECT_EQ(contentOf(wholePath), QByteArray("theirs"));
}

}  // namespace
