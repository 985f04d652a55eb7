// The main window: the mailbox toolbar (工具条1), the settings/About toolbar (工具条2),
// the browser pane, the floating navigation frame and the status bar, with the
// start-up steps that need the window. One per process; user-interface thread only.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <array>

class QAction;
class QFrame;
class QLabel;
class QMenu;
class QPushButton;
class QStatusBar;
class QSystemTrayIcon;
class QToolBar;

namespace login {
class BrowserPane;
class LoginDriver;
enum class LoginOutcome;
}  // namespace login

namespace app {

class DesktopNotifier;
class DownloadNotice;
class FindBar;
class StatusPane;

// What the creation handler ended with.
enum class StartOutcome {
    Running,             // window shown, access password accepted or not asked
    DatabaseMissing,     // message shown, window closed
    PasswordCancelled,   // database closed; the program ends at once
    SettingsUnreadable,  // the start-up notes could not be read: message shown, database closed
};

class MainWindow : public QWidget {
    Q_OBJECT
public:
    // homeUrl: the page of the home button and of the first view; empty for the
    // start page shipped in the program folder.
    explicit MainWindow(const QString& homeUrl = {}, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The creation handler: opens the database, migrates the legacy entries, sets the
    // title, anchors, settings, icons and captions, shows the window and asks the
    // access password when that option is on.
    StartOutcome create();

    login::BrowserPane* pane() const { return m_pane; }
    login::LoginDriver* loginDriver() const { return m_loginDriver; }
    QToolBar* mailboxToolBar() const { return m_mailboxBar; }
    QToolBar* settingsToolBar() const { return m_settingsBar; }
    QString homeUrl() const { return m_homeUrl; }
    // Text of status pane 0 or 1.
    QString statusPaneText(int pane) const;
    // A login or safety notice: pane 1 shows it for ten seconds, then the browser's
    // latest status text again; pane 0 keeps its text.
    void showStatusNotice(const QString& text);
    // The notice showing now; empty when pane 1 shows the browser's status.
    QString statusNotice() const;
    StatusPane* browserStatusPane() const { return m_browserStatus; }
    // The tip a toolbar button shows when hovered; empty when it shows none.
    static QString buttonToolTip(const QAction* action);
    // What hovering the button shows: its tip and the keyboard shortcut that presses it.
    static QString shownToolTip(const QAction* action);

    FindBar* findBar() const { return m_findBar; }
    DownloadNotice* downloadNotice() const { return m_downloadNotice; }
    DesktopNotifier* notifier() const { return m_notifier; }
    QMenu* trayMenu() const { return m_trayMenu; }
    QSystemTrayIcon* trayIcon() const { return m_tray; }
    // The status bar's note on sessions that are not kept; empty when they are.
    QString sessionNote() const;

    // Toolbar operations used by other windows.
    void setButtonCaption(QToolBar* bar, int index, const QString& text);
    void setButtonToolTip(QToolBar* bar, int index, const QString& text);
    // Rebuilds the shared icon list and gives it to both toolbars.
    void buildIconList();
    // At start-up: captions and tooltips of the nine mailbox buttons.
    void setMailboxButtons();

    // The mailbox button click with a 0-based index (any index is accepted).
    void onMailboxButton(int index);
    void onSettingsButton(int index);
    void onHomeButton();
    void onForwardButton();
    void onBackButton();
    // Keyboard: the next (step 1) or previous (-1) mailbox with an opened page.
    void showNextOpenedMailbox(int step);
    void changeFontSize(int step);  // 0 goes back to the medium size
    void openFindBar();

signals:
    // A mailbox click started navigating to its login page (the pressed button moved).
    void mailboxNavigationStarted();
    // The user closed the window: the program ends.
    void closed();

public slots:
    // Bound to the pane's DocumentReady; the login driver is called from here.
    void onDocumentReady();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void buildShortcuts();
    void buildTray();
    void showPageOf(int page);
    void onPageShown(int page);
    void askNotificationPermission(int page);
    void showNotification(int page, const QString& title, const QString& message);
    void onNotificationClicked(int page);
    void placeOverlays();
    QString pageName(int page) const;
    void applyIcons();
    // Modal; the toolbar, the icon list and the settings in memory follow its reports.
    void openSettingsWindow();
    void setPressedButton(int index);
    void askAccessPassword(StartOutcome& outcome);
    // False when the notes that guard the start could not be read.
    bool readSettingsNotes();
    // What the user sees of a finished login, and the login done flag.
    void onLoginFinished(login::LoginOutcome outcome, const QString& detail);

    QString m_homeUrl;
    QFrame* m_leftPanel = nullptr;         // 外形框1
    QToolBar* m_mailboxBar = nullptr;      // 工具条1
    QToolBar* m_settingsBar = nullptr;     // 工具条2
    QFrame* m_splitter = nullptr;          // 分隔条1
    QFrame* m_rightPanel = nullptr;        // 外形框2
    login::BrowserPane* m_pane = nullptr;  // 超文本浏览框1
    login::LoginDriver* m_loginDriver = nullptr;
    QFrame* m_navFrame = nullptr;  // 外形框3
    QPushButton* m_backButton = nullptr;
    QPushButton* m_homeButton = nullptr;
    QPushButton* m_forwardButton = nullptr;
    QStatusBar* m_statusBar = nullptr;  // 状态条1
    QLabel* m_statusPane0 = nullptr;
    QLabel* m_statusPane1 = nullptr;
    StatusPane* m_browserStatus = nullptr;  // what pane 1 shows

    QLabel* m_sessionPane = nullptr;
    FindBar* m_findBar = nullptr;
    DownloadNotice* m_downloadNotice = nullptr;
    DesktopNotifier* m_notifier = nullptr;
    QMenu* m_trayMenu = nullptr;
    QSystemTrayIcon* m_tray = nullptr;

    int m_pressed = -1;                      // button of 工具条1 shown pressed, -1 for none
    std::array<bool, 10> m_pageLoginDone{};  // the login done flag each mailbox page left behind
    bool m_dragging = false;
    QPoint m_dragOffset;
};

// The start page in the program folder, as an address the browser takes.
QString defaultHomePage();

// Design geometry of the main window.
inline constexpr int kMainWindowX = 50;
inline constexpr int kMainWindowY = 50;
inline constexpr int kClientWidth = 1018;  // outer 1024 less a 3-pixel border each side
inline constexpr int kClientHeight = 619;  // outer 651 less the caption and borders

}  // namespace app
