// The notice over the bottom of the browser pane when a download has ended: the file's
// name and, for a saved file, buttons that open it or the folder holding it.
#pragma once

#include <QFrame>
#include <QString>

class QLabel;
class QPushButton;

namespace app {

class DownloadNotice : public QFrame {
    Q_OBJECT
public:
    explicit DownloadNotice(QWidget* parent);

    // ok: saved under path; otherwise the download of path's name failed.
    void showResult(const QString& path, bool ok);
    QString text() const;
    QString path() const { return m_path; }
    QPushButton* openFileButton() const { return m_openFile; }
    QPushButton* openFolderButton() const { return m_openFolder; }

private:
    QString m_path;
    QLabel* m_text = nullptr;
    QPushButton* m_openFile = nullptr;
    QPushButton* m_openFolder = nullptr;
    QPushButton* m_close = nullptr;
};

// Status texts of downloads, as the user sees them.
QString downloadSavedText(const QString& name);
QString downloadFailedText(const QString& name);

}  // namespace app
