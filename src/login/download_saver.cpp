#include "login/download_saver.h"

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QWebEngineDownloadRequest>

#include "login/session_files.h"

namespace login {
namespace {

const QString kFallbackName = QStringLiteral("下载的文件");
const QString kPartSuffix = QStringLiteral(".part");
constexpr qsizetype kMaxNameBytes = 255;

bool unwanted(QChar c) {
    const char16_t u = c.unicode();
    if (u < 0x20 || u == 0x7f) return true;
    // Categories Cc (controls) and Cf (format: bidirectional overrides that make
    // "exe.pdf" read as "fdp.exe", zero-width characters).
    const QChar::Category category = c.category();
    return category == QChar::Other_Control || category == QChar::Other_Format;
}

// Cuts text from the end until its encoded form fits in bytes.
QString fitBytes(QString text, qsizetype bytes) {
    while (!text.isEmpty() && QFile::encodeName(text).size() > bytes) text.chop(1);
    // A cut between the two halves of a surrogate pair leaves half a character.
    if (!text.isEmpty() && text.back().isHighSurrogate()) text.chop(1);
    return text;
}

void splitExtension(const QString& name, QString& stem, QString& extension) {
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot <= 0) {
        stem = name;
        extension.clear();
    } else {
        stem = name.left(dot);
        extension = name.mid(dot);
    }
}

}  // namespace

QString safeDownloadName(const QString& serverName) {
    QString name = serverName;
    // Only the last part of anything that looks like a path: both separators count,
    // as a name may have been made on another system.
    const qsizetype cut = std::max(name.lastIndexOf(u'/'), name.lastIndexOf(u'\\'));
    if (cut >= 0) name = name.mid(cut + 1);
    QString clean;
    clean.reserve(name.size());
    for (const QChar c : name) {
        if (!unwanted(c)) clean.append(c);
    }
    clean = clean.trimmed();
    while (clean.startsWith(u'.')) clean.remove(0, 1);  // never a hidden file, never "." or ".."
    while (clean.endsWith(u'.') || clean.endsWith(u' ')) clean.chop(1);
    clean = clean.trimmed();
    if (clean.isEmpty()) return kFallbackName;

    // Room for " (99999)" and the temporary suffix within the file system's limit.
    const qsizetype budget = kMaxNameBytes - 8 - kPartSuffix.size();
    if (QFile::encodeName(clean).size() > budget) {
        QString stem, extension;
        splitExtension(clean, stem, extension);
        if (QFile::encodeName(extension).size() > budget / 2) extension.clear();
        stem = fitBytes(stem, budget - QFile::encodeName(extension).size());
        clean = stem.trimmed() + extension;
        if (stem.trimmed().isEmpty()) clean = kFallbackName + extension;
    }
    return clean;
}

QString freeDownloadPath(const QString& folder, const QString& name, const std::function<bool(const QString&)>& taken) {
    const QDir dir(folder);
    QString candidate = dir.filePath(name);
    if (!taken(candidate)) return candidate;
    QString stem, extension;
    splitExtension(name, stem, extension);
    for (int n = 1;; ++n) {
        candidate = dir.filePath(QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(extension));
        if (!taken(candidate)) return candidate;
    }
}

QString downloadProgressText(const QString& name, qint64 received, qint64 total) {
    if (total > 0) {
        return QStringLiteral("正在下载 %1：%2%").arg(name).arg(received * 100 / total);
    }
    return QStringLiteral("正在下载 %1：%2 KB").arg(name).arg(received / 1024);
}

DownloadSaver::DownloadSaver(QObject* parent) : QObject(parent) {}

QString DownloadSaver::folder() const {
    if (!m_folder.isEmpty()) return m_folder;
    return QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
}

bool DownloadSaver::taken(const QString& path) const {
    return m_reserved.contains(path) || QFileInfo::exists(path) || QFileInfo(path).isSymLink();
}

void DownloadSaver::take(QWebEngineDownloadRequest* request) {
    if (request->state() != QWebEngineDownloadRequest::DownloadRequested) return;
    // "Save as" of a whole page: the user chose that path in a file dialog.
    if (request->isSavePageDownload()) {
        request->accept();
        return;
    }
    const QString target = folder();
    if (target.isEmpty() || (!QFileInfo(target).isDir() && !makeOwnerOnlyFolder(target))) {
        request->cancel();
        emit finished(QString(), false);
        return;
    }
    const QString name = safeDownloadName(request->suggestedFileName());
    const QString finalPath = freeDownloadPath(target, name, [this](const QString& p) { return taken(p); });
    // The bytes arrive under a name of their own; the final name exists only once the
    // download is whole, so a broken one never passes for the file.
    const QString partPath = freeDownloadPath(target, QFileInfo(finalPath).fileName() + kPartSuffix,
                                              [this](const QString& p) { return taken(p); });
    m_reserved.insert(finalPath);
    m_reserved.insert(partPath);
    // The path is always ours: the engine's own choice follows the server's name,
    // folder parts included.
    request->setDownloadDirectory(target);
    request->setDownloadFileName(QFileInfo(partPath).fileName());

    const QString shownName = QFileInfo(finalPath).fileName();
    connect(request, &QWebEngineDownloadRequest::receivedBytesChanged, this, [this, request, shownName] {
        emit progress(downloadProgressText(shownName, request->receivedBytes(), request->totalBytes()));
    });
    connect(request, &QWebEngineDownloadRequest::isFinishedChanged, this, [this, request, partPath, finalPath] {
        if (request->isFinished()) complete(request, partPath, finalPath);
    });
    // A broken transfer is over: the engine would otherwise retry it in the background,
    // each retry arriving as a new download of the same file, and leave the user
    // waiting on a file that never comes.
    connect(request, &QWebEngineDownloadRequest::interruptReasonChanged, this, [request] {
        if (request->interruptReason() != QWebEngineDownloadRequest::NoReason && !request->isFinished()) {
            request->cancel();
        }
    });
    // A download whose session ends before it does is gone unfinished: its bytes go too.
    connect(request, &QObject::destroyed, this, [this, request, partPath, finalPath] {
        if (!m_finished.remove(request)) {
            m_reserved.remove(partPath);
            m_reserved.remove(finalPath);
            QFile::remove(partPath);
        }
    });
    request->accept();
    emit progress(downloadProgressText(shownName, 0, request->totalBytes()));
}

void DownloadSaver::complete(QWebEngineDownloadRequest* request, const QString& partPath, const QString& finalPath) {
    m_finished.insert(request);
    m_reserved.remove(partPath);
    m_reserved.remove(finalPath);
    const QString fullPart = QDir(request->downloadDirectory()).filePath(request->downloadFileName());
    if (request->state() != QWebEngineDownloadRequest::DownloadCompleted) {
        QFile::remove(fullPart);
        emit finished(finalPath, false);
        return;
    }
    // Another file may have taken the name while this one was arriving.
    const QString path = freeDownloadPath(QFileInfo(finalPath).absolutePath(), QFileInfo(finalPath).fileName(),
                                          [this](const QString& p) { return taken(p); });
    if (!QFile::rename(fullPart, path)) {
        QFile::remove(fullPart);
        emit finished(path, false);
        return;
    }
    ::chmod(QFile::encodeName(path).constData(), S_IRUSR | S_IWUSR);
    emit finished(path, true);
}

}  // namespace login
