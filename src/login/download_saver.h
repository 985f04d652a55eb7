// Saving what pages download: every download goes, without a question, into the
// download folder under the server's name made safe, first under a temporary name and
// under its final name only once it is complete. No widgets; user-interface thread only.
#pragma once

#include <QObject>
#include <QSet>
#include <QString>
#include <functional>

class QWebEngineDownloadRequest;

namespace login {

// The server's file name as one plain file name: no folder parts, no control or
// direction-changing characters, no leading dot, no trailing dots or spaces, at most
// 255 bytes in the file system's encoding (the extension kept). Never empty.
QString safeDownloadName(const QString& serverName);

// folder/name, or the first of "stem (1).ext", "stem (2).ext", ... that taken() refuses.
QString freeDownloadPath(const QString& folder, const QString& name, const std::function<bool(const QString&)>& taken);

class DownloadSaver : public QObject {
    Q_OBJECT
public:
    explicit DownloadSaver(QObject* parent = nullptr);

    // Empty: the user's download folder (QStandardPaths::DownloadLocation).
    void setFolder(const QString& folder) { m_folder = folder; }
    QString folder() const;

    // Accepts request into the folder; page saves chosen by the user keep their own path.
    void take(QWebEngineDownloadRequest* request);

signals:
    // A status-bar line about a running download.
    void progress(const QString& text);
    // A download ended: saved under path (ok), or failed / cancelled with nothing left
    // under that name.
    void finished(const QString& path, bool ok);

private:
    bool taken(const QString& path) const;
    void complete(QWebEngineDownloadRequest* request, const QString& partPath, const QString& finalPath);

    QString m_folder;
    QSet<QString> m_reserved;         // final and temporary names of downloads still running
    QSet<const QObject*> m_finished;  // ended downloads whose request object still exists
};

// Status texts of the download saver.
QString downloadProgressText(const QString& name, qint64 received, qint64 total);

}  // namespace login
