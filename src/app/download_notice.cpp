#include "app/download_notice.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QUrl>

#include "platform/desktop_open.h"

namespace app {

QString downloadSavedText(const QString& name) { return QStringLiteral("下载完毕：%1").arg(name); }

QString downloadFailedText(const QString& name) {
    return QStringLiteral("下载未完成：%1（没有保存任何文件）").arg(name);
}

DownloadNotice::DownloadNotice(QWidget* parent) : QFrame(parent) {
    setObjectName(QStringLiteral("下载提示"));
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setAutoFillBackground(true);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 2, 4, 2);
    m_text = new QLabel(this);
    m_openFile = new QPushButton(QStringLiteral("打开文件"), this);
    m_openFolder = new QPushButton(QStringLiteral("打开所在文件夹"), this);
    m_close = new QPushButton(QStringLiteral("×"), this);
    m_close->setFixedWidth(24);
    m_close->setToolTip(QStringLiteral("关闭"));
    layout->addWidget(m_text, 1);
    layout->addWidget(m_openFile);
    layout->addWidget(m_openFolder);
    layout->addWidget(m_close);
    connect(m_openFile, &QPushButton::clicked, this, [this] {
        (void)platform::openWithDesktop(QUrl::fromLocalFile(m_path).toString());
        hide();
    });
    connect(m_openFolder, &QPushButton::clicked, this, [this] {
        (void)platform::openWithDesktop(QUrl::fromLocalFile(QFileInfo(m_path).absolutePath()).toString());
        hide();
    });
    connect(m_close, &QPushButton::clicked, this, &QWidget::hide);
    hide();
}

void DownloadNotice::showResult(const QString& path, bool ok) {
    m_path = ok ? path : QString();
    const QString name = QFileInfo(path).fileName();
    m_text->setText(ok ? downloadSavedText(name) : downloadFailedText(name));
    m_openFile->setVisible(ok);
    m_openFolder->setVisible(ok);
    adjustSize();
    show();
    raise();
}

QString DownloadNotice::text() const { return m_text->text(); }

}  // namespace app
