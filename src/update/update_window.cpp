#include "update/update_window.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <cmath>

#include "platform/dialogs.h"
#include "platform/program_folder.h"
#include "platform/qt_text.h"
#include "update/version_check.h"

namespace update {
namespace {

const QString kTitle = QStringLiteral("澜禾云梭邮盒在线升级");
const QString kUpdateCaption = QStringLiteral("更新");
const QString kDoneCaption = QStringLiteral("完成");
const QString kFullCaption = QStringLiteral("100%");
const QString kVersionCaption = QStringLiteral("当前版本：");
const QString kCurrentVersionText = QStringLiteral("当前版本： V2.0");
const QString kChecking = QStringLiteral("正在检测版本信息......");
const QString kUpdateAvailable = QStringLiteral("提示信息：可以进行更新操作！");

const QString kNotInProgramFolder = QStringLiteral("请将本程序复制到《澜禾云梭邮盒》程序目录，并且不要更改文件名！");
const QString kNetworkTrouble = QStringLiteral("当前网络异常，请稍候再试！");
const QString kNoUpdateData = QStringLiteral("暂无更新数据，请关注软件官方网站！");
const QString kAlreadyLatest = QStringLiteral("当前版本是最新的，不需要升级！");
const QString kConfirmHandoff = QStringLiteral("下载完毕！确认要关闭程序执行更新操作吗？");
const QString kDownloadFailed = QStringLiteral("下载更新文件失败，程序未做任何改动，请稍候再试！");
const QString kNotVerified = QStringLiteral("更新文件未通过校验，程序未做任何改动！");
const QString kUsePackageManager = QStringLiteral("已安装的版本请通过系统的软件包管理器更新。");
const QString kHandoffFailed = QStringLiteral("无法启动更新操作，程序未做任何改动！");

constexpr int kProgressIntervalMs = 200;

// The window that is open, if any; read and written on the user-interface thread only.
QPointer<UpdateWindow> g_openWindow;
// Tells the events of the current download from late ones of a task already released.
std::atomic<unsigned> g_downloadGeneration{0};

// Waits on the user-interface thread without taking user input, so the window
// keeps painting but cannot be clicked while the check runs.
void waitWithoutInput(int ms) {
    if (ms <= 0) return;
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

UpdateOptions& defaultOptions() {
    static UpdateOptions options;
    return options;
}

}  // namespace

void showUpdateWindow(QWidget* parent) {
    UpdateWindow window(parent, defaultOptions());
    if (window.checkVersion()) window.exec();
}

void setDefaultUpdateOptions(UpdateOptions options) { defaultOptions() = std::move(options); }

UpdateWindow::UpdateWindow(QWidget* parent, UpdateOptions options) : QDialog(parent), m_options(std::move(options)) {
    setWindowTitle(kTitle);
    setWindowModality(Qt::ApplicationModal);
    // The layout was drawn for an outer size of 297 x 308 with a 3-pixel frame and a
    // 25-pixel caption; the client area is what Qt sizes.
    move(50, 50);
    setFixedSize(291, 280);
    // The controls were laid out for a 12-pixel font (the status line is 13 pixels high).
    QFont small = font();
    small.setPixelSize(12);
    setFont(small);

    m_updateButton = new QPushButton(kUpdateCaption, this);
    m_updateButton->setObjectName(QStringLiteral("更新按钮"));
    m_updateButton->setGeometry(209, 248, 74, 26);
    m_updateButton->setEnabled(false);
    m_updateButton->setAutoDefault(false);

    m_progressTimer = new QTimer(this);
    m_progressTimer->setObjectName(QStringLiteral("时钟"));
    m_progressTimer->setInterval(kProgressIntervalMs);

    m_statusLabel = new QLabel(kVersionCaption, this);
    m_statusLabel->setObjectName(QStringLiteral("标签2"));
    m_statusLabel->setGeometry(10, 252, 180, 13);

    m_spareTimer = new QTimer(this);
    m_spareTimer->setObjectName(QStringLiteral("时钟1"));

    m_notes = new QPlainTextEdit(this);
    m_notes->setObjectName(QStringLiteral("编辑框1"));
    m_notes->setGeometry(7, 7, 277, 233);
    m_notes->setReadOnly(true);

    connect(m_updateButton, &QPushButton::clicked, this, &UpdateWindow::startDownload);
    connect(m_progressTimer, &QTimer::timeout, this, &UpdateWindow::showProgress);
    g_openWindow = this;
}

UpdateWindow::~UpdateWindow() {
    if (!m_closed) closeQuietly();
}

QString UpdateWindow::updateHost() const {
    return m_options.host.isEmpty() ? QString::fromLatin1(kUpdateHost) : m_options.host;
}

QString UpdateWindow::downloadPath() const {
    return QString::fromStdString(platform::dataFolder()) + u'/' + QString::fromLatin1(kDownloadFileName);
}

bool UpdateWindow::checkVersion() {
    UpdateState& state = updateState();
    const QString marker = QString::fromStdString(platform::dataFolder()) + QStringLiteral("/ico/1.ico");
    if (!QFileInfo::exists(marker)) {
        platform::messageBox(this, kNotInProgramFolder);
        closeWindow();
        return false;
    }

    show();
    state.currentVersion = versionAfterV(kCurrentVersionText);
    state.mode = kModeChecking;
    m_statusLabel->setText(kChecking);
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    m_waitCursor = true;
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);

    const QString address = QStringLiteral("http://") + updateHost() + QString::fromLatin1(kVersionTextPath);
    state.versionText = fetchWholeUrl(address, m_options.fetchLimits);
    waitWithoutInput(m_options.settleDelayMs);
    if (m_closed) return false;

    const VersionVerdict verdict = judgeVersionText(state.versionText, state.currentVersion);
    if (verdict == VersionVerdict::NoAnswer && state.versionText.isEmpty()) {
        restoreCursor();
        platform::messageBox(this, kNetworkTrouble);
        closeWindow();
        return false;
    }
    if (verdict == VersionVerdict::WebPage) {
        platform::messageBox(this, kNoUpdateData);
        restoreCursor();
        closeWindow();
        return false;
    }

    QString notes = platform::fromGbk(std::string_view(state.versionText.constData(), state.versionText.size()));
    notes.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    m_notes->setPlainText(notes);

    if (verdict == VersionVerdict::Newer && platform::dataFolderIsPerUser()) {
        // An installed package is replaced by the system's package manager, never by a
        // download into a folder the user cannot write: the news is shown, nothing more.
        restoreCursor();
        m_statusLabel->setText(kVersionCaption);
        platform::messageBox(this, kUsePackageManager);
        return true;
    }
    if (verdict == VersionVerdict::Newer) {
        m_progressTimer->stop();
        m_updateButton->setEnabled(true);
        m_updateButton->setText(kUpdateCaption);
        m_updateButton->repaint();
        m_statusLabel->setText(kUpdateAvailable);
        state.mode = kModeOffering;
        restoreCursor();
        return true;
    }
    restoreCursor();
    // A text without a version number is as useless as no answer at all.
    platform::messageBox(this, verdict == VersionVerdict::NotNewer ? kAlreadyLatest : kNetworkTrouble);
    closeWindow();
    return false;
}

void UpdateWindow::startDownload() {
    m_updateButton->setEnabled(false);
    m_progressTimer->start(kProgressIntervalMs);
    UpdateState& state = updateState();
    if (state.mode != kModeOffering) return;

    // An earlier task that has ended still sits in the download object.
    releaseTask(state.download);
    state.totalSize = 0;

    // A file left by an earlier, interrupted run would make the engine write under
    // another name while the hand-off renames the stale file.
    const QString path = downloadPath();
    if (QFileInfo::exists(path) && !QFile::remove(path)) {
        failDownload();
        return;
    }

    const QString installer =
        (QStringLiteral("http://") + updateHost() + QString::fromLatin1(kInstallerPath)).trimmed();
    // Fetched before the installer: an installer that changes on the host after this
    // point no longer matches the signature and is refused.
    m_signature = fetchWholeUrl(installer + QString::fromLatin1(kSignatureSuffix), m_options.fetchLimits);

    const unsigned generation = ++g_downloadGeneration;
    DownloadParameters& p = state.parameters;
    p.taskFlags = 4096;
    p.address = installer.toStdString();
    p.localFile = QFile::encodeName(path).toStdString();
    p.connections = 5;
    p.connectTimeoutMs = 5000;
    p.sendTimeoutMs = 5000;
    p.receiveTimeoutMs = 10000;
    p.stopWaitMs = 1000;
    p.receiveBlock = 10240;
    // Called on an engine thread: it only stores the size and hands the end of the
    // task over to the user-interface thread.
    p.eventHandler = [generation](TaskEvent& event) -> int {
        if (generation != g_downloadGeneration.load()) return 0;
        switch (event.code) {
            case kEventSizeKnown:
                updateState().totalSize.store(event.value);
                return 0;
            case kEventTaskEnded: {
                QCoreApplication* app = QCoreApplication::instance();
                if (!app) return 0;
                QMetaObject::invokeMethod(
                    app,
                    [generation, received = event.data, file = event.localFile] {
                        if (g_openWindow && generation == g_downloadGeneration.load()) {
                            g_openWindow->onTaskEnded(received, file);
                        }
                    },
                    Qt::QueuedConnection);
                return 0;
            }
            case kEventLocalFileExists:
                // Never write the download under another name than the one handed over.
                return kAnswerGiveUp;
            default:
                return 0;
        }
    };

    // The download is the next program: nobody else on the machine may read or change it.
    EngineSettings settings = m_options.engineSettings;
    settings.localFileMode = 0600;
    if (!startTask(p, state.download, settings)) failDownload();
}

void UpdateWindow::showProgress() {
    if (m_updateButton->text() == kFullCaption) {
        finishProgress();
        return;
    }
    const UpdateState& state = updateState();
    const std::int64_t total = state.totalSize.load();
    QString caption = QStringLiteral("0%");
    if (total > 0) {
        const std::int64_t received = bytesReceived(state.download);
        long long percent = std::llround(static_cast<double>(received) / static_cast<double>(total) * 100.0);
        // Rounding must not announce the end while bytes are still missing.
        if (received < total && percent >= 100) percent = 99;
        caption = QString::number(percent) + u'%';
    }
    m_updateButton->setText(caption);
    if (caption == kFullCaption) finishProgress();
}

void UpdateWindow::finishProgress() {
    m_progressTimer->stop();
    m_updateButton->setEnabled(true);
    m_updateButton->setText(kDoneCaption);
}

void UpdateWindow::onTaskEnded(std::int64_t received, const std::string& localFile) {
    if (m_closed || updateState().mode != kModeOffering) return;
    const std::int64_t total = updateState().totalSize.load();
    // The engine ends a task whether or not the transfer succeeded: only a file that
    // holds every byte, under the name the hand-off renames, may replace the program.
    const bool complete =
        total > 0 && received == total &&
        QFileInfo(QFile::decodeName(QByteArray::fromStdString(localFile))) == QFileInfo(downloadPath());
    if (!complete) {
        failDownload();
        return;
    }
    // Only an installer signed with our key may replace the program.
    if (!downloadIsSigned()) {
        rejectDownload();
        return;
    }
    finishProgress();
    if (platform::askYesNo(this, kConfirmHandoff)) {
        handOff();
    } else {
        closeWindow();
    }
}

void UpdateWindow::failDownload() {
    m_progressTimer->stop();
    platform::messageBox(this, kDownloadFailed, platform::MessageIcon::Error);
    closeWindow();
}

bool UpdateWindow::downloadIsSigned() const {
    const PublicKey key = m_options.publicKey.value_or(releaseKey());
    const std::string path = QFile::encodeName(downloadPath()).toStdString();
    const std::string_view signature(m_signature.constData(), static_cast<size_t>(m_signature.size()));
    return checkFileSignature(path, signature, key) == SignatureCheck::Valid;
}

void UpdateWindow::rejectDownload() {
    m_progressTimer->stop();
    QFile::remove(downloadPath());
    platform::messageBox(this, kNotVerified, platform::MessageIcon::Error);
    closeWindow();
}

void UpdateWindow::handOff() {
    HandoffTarget target = m_options.target;
    if (target.folder.empty()) target.folder = platform::programFolder();
    if (target.executableName.empty()) {
        target.executableName =
            QFile::encodeName(QFileInfo(QCoreApplication::applicationFilePath()).fileName()).toStdString();
    }
    if (target.pid == 0) target.pid = QCoreApplication::applicationPid();

    const std::string script = posixHandoffScript(target, kDownloadFileName, kPosixScriptName);
    const std::string scriptPath = target.folder + "/" + kPosixScriptName;
    if (!writeScriptFile(scriptPath, script) || !startDetachedScript(scriptPath, target.folder)) {
        QFile::remove(QFile::decodeName(QByteArray::fromStdString(scriptPath)));
        platform::messageBox(this, kHandoffFailed, platform::MessageIcon::Error);
        closeWindow();
        return;
    }
    // From here the script owns the download: closing must not delete it.
    m_handedOff = true;
    if (m_options.endProcess) {
        m_options.endProcess();
    } else {
        // Leaves every running event loop, this window's included, so the program
        // ends the normal way; the script ends it by force if it lingers.
        QCoreApplication::exit(0);
    }
}

void UpdateWindow::done(int result) {
    if (!m_closed) closeQuietly();
    QDialog::done(result);
}

void UpdateWindow::closeQuietly() {
    m_closed = true;
    m_progressTimer->stop();
    restoreCursor();
    // The engine may still be writing the file: stop it before deleting.
    releaseTask(updateState().download);
    if (!m_handedOff) QFile::remove(downloadPath());
    if (g_openWindow == this) g_openWindow = nullptr;
}

void UpdateWindow::restoreCursor() {
    if (!m_waitCursor) return;
    m_waitCursor = false;
    QGuiApplication::restoreOverrideCursor();
}

}  // namespace update
