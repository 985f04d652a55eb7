// The online update window "澜禾云梭邮盒在线升级": checks the update host for a newer
// build, downloads it through the download engine with live progress and hands over
// to it. User-interface thread only; engine events are brought over by queued calls.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <optional>

#include "update/handoff_script.h"
#include "update/update_state.h"
#include "update/version_check.h"

class QPlainTextEdit;
class QPushButton;
class QLabel;
class QTimer;

namespace update {

// What the window needs from its surroundings. The defaults are the deployment:
// tests point the host at their own server and keep the test runner alive.
struct UpdateOptions {
    QString host;              // host or host:port; empty = the deployment host
    int settleDelayMs = 2000;  // the pause after the version fetch
    FetchLimits fetchLimits;
    EngineSettings engineSettings;
    std::optional<PublicKey> publicKey;  // installers must be signed with it; empty = the release key
    HandoffTarget target;                // empty members are taken from the running program
    std::function<void()> endProcess;    // empty = leave every event loop so the program ends
};

// Opens the update window, modal over parent, and returns once it has closed.
// The version check runs as the window opens; a window that has nothing to offer
// closes itself after telling the user why.
void showUpdateWindow(QWidget* parent);

// The options showUpdateWindow opens its window with; tests of the windows that open
// it point them at their own server. Default-constructed options are the deployment.
void setDefaultUpdateOptions(UpdateOptions options);

class UpdateWindow : public QDialog {
    Q_OBJECT
public:
    explicit UpdateWindow(QWidget* parent = nullptr, UpdateOptions options = {});
    ~UpdateWindow() override;

    // The version check. False when the window has closed itself (program folder
    // not recognised, no answer, no update data, nothing newer).
    bool checkVersion();

    QString updateHost() const;
    // Where the download is written while it runs.
    QString downloadPath() const;

    void done(int result) override;

private:
    void startDownload();
    void showProgress();
    void finishProgress();
    void onTaskEnded(std::int64_t received, const std::string& localFile);
    void failDownload();
    [[nodiscard]] bool downloadIsSigned() const;
    void rejectDownload();
    void handOff();
    void closeWindow() { done(QDialog::Rejected); }
    void closeQuietly();
    void restoreCursor();

    UpdateOptions m_options;
    QPushButton* m_updateButton = nullptr;  // 更新按钮
    QTimer* m_progressTimer = nullptr;      // 时钟
    QLabel* m_statusLabel = nullptr;        // 标签2
    QTimer* m_spareTimer = nullptr;         // 时钟1
    QPlainTextEdit* m_notes = nullptr;      // 编辑框1
    QByteArray m_signature;                 // the installer's signature file, fetched before the installer
    bool m_closed = false;
    bool m_handedOff = false;
    bool m_waitCursor = false;
};

}  // namespace update
