#include "app/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QHelpEvent>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QToolBar>
#include <QToolButton>
#include <QToolTip>
#include <QUrl>
#include <algorithm>
#include <functional>
#include <optional>

#include "app/anchor_layout.h"
#include "app/desktop_notifier.h"
#include "app/download_notice.h"
#include "app/find_bar.h"
#include "app/program_state.h"
#include "app/status_pane.h"
#include "login/browser_pane.h"
#include "login/download_saver.h"
#include "login/login_driver.h"
#include "platform/dialogs.h"
#include "platform/gbk_input.h"
#include "platform/program_folder.h"
#include "platform/qt_text.h"
#include "records/mailbox_facts.h"
#include "records/mailbox_store.h"
#include "settings/about_window.h"
#include "settings/entry_store.h"
#include "settings/icon_files.h"
#include "settings/settings_window.h"

namespace app {
namespace {

const QString kDesignTitle = QStringLiteral("云梭邮盒");
const QString kVersionSuffix = QStringLiteral(" V2.0");
const QString kNoDatabaseMessage = QStringLiteral("未检测到信息数据库，请重新安装本程序！");
const QString kPasswordPrompt = QStringLiteral("请输入登录密码（初始密码为[482]）：");
const QString kWrongPasswordMessage = QStringLiteral("密码错误，请重新输入！");
const QString kRecordUnreadableMessage = QStringLiteral("读取邮箱信息失败，请稍候再试！");
const QString kStatusWelcome = QStringLiteral("提示信息：欢迎使用澜禾软件之《云梭邮盒》！");
const QString kStatusReady = QStringLiteral("提示信息：就绪！");
const QString kStartPageFile = QStringLiteral("index.htm");
const QString kYes = QStringLiteral("是");
// Login notices stay over the status bar for a while.
const QString kStatusOtherSite = QStringLiteral("提示信息：登录网页转到了其他网站（%1），没有自动填写用户名和密码！");
const QString kStatusInsecure = QStringLiteral("提示信息：登录网页没有使用加密连接（%1），没有自动填写用户名和密码！");
const QString kStatusTimedOut = QStringLiteral("提示信息：自动登录没有在限定时间内完成，请手动登录！");

constexpr int kStatusBarHeight = 20;
constexpr int kStatusPane0Width = 300;
constexpr int kIconSide = 48;

// The tip a toolbar button shows is kept on its action under this name; an empty one
// means no tip at all (Qt would otherwise show the caption).
const char* const kToolTipProperty = "tmblToolTip";

QString textOf(const std::string& gbk) { return platform::fromGbk(gbk); }

// The sessions of the mailbox pages live beside the record database.
QString profilesFolder() {
    return QDir(QString::fromStdString(platform::programFolder())).filePath(QStringLiteral("profiles"));
}

const char* const kShortcutProperty = "tmblShortcut";
const QString kNotificationQuestion = QStringLiteral("“%1”的网页想在桌面上显示通知（例如新邮件提醒）。允许吗？");
const QString kHomePageName = QStringLiteral("主页");

}  // namespace

QString defaultHomePage() {
    return QUrl::fromLocalFile(QString::fromStdString(platform::programFolder()) + u'/' + kStartPageFile).toString();
}

MainWindow::MainWindow(const QString& homeUrl, QWidget* parent)
    : QWidget(parent), m_homeUrl(homeUrl.isEmpty() ? defaultHomePage() : homeUrl) {
    setWindowTitle(kDesignTitle);
    resize(kClientWidth, kClientHeight);
    move(kMainWindowX, kMainWindowY);
    buildControls();
    connect(&state(), &ProgramState::iconListChanged, this, &MainWindow::applyIcons);
    connect(&state(), &ProgramState::sessionEndRequested, this, [this](int entry) {
        if (!records::isMailboxRecord(entry)) return;
        m_pageLoginDone[static_cast<size_t>(entry)] = false;
        if (m_pane->shownPage() == entry) state().loginDone = false;
        m_pane->clearSession(entry);
    });
}

MainWindow::~MainWindow() = default;

void MainWindow::buildControls() {
    auto place = [](QWidget* w, const QString& name, int x, int y, int width, int height) {
        w->setObjectName(name);
        w->setGeometry(x, y, width, height);
    };

    m_leftPanel = new QFrame(this);
    place(m_leftPanel, QStringLiteral("外形框1"), 0, 0, 112, 599);

    auto makeBar = [&](const QString& name, int x, int y, int width, int height) {
        auto* bar = new QToolBar(m_leftPanel);
        place(bar, name, x, y, width, height);
        bar->setOrientation(Qt::Vertical);
        bar->setMovable(false);
        bar->setFloatable(false);
        bar->setIconSize(QSize(kIconSide, kIconSide));
        bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        // Nine 48-pixel buttons share 486 pixels: 54 each, so the toolbar adds no
        // spacing of its own and the caption sits beside the icon.
        bar->setStyleSheet(
            QStringLiteral("QToolBar { border: 0px; padding: 0px; spacing: 0px; }"
                           "QToolButton { padding: 0px; margin: 0px; border: 1px solid transparent; border-radius: 3px;"
                           "  font-size: 12px; }"
                           "QToolButton:hover { border-color: #8aa9d6; background: #e6eefa; }"
                           "QToolButton:checked, QToolButton:pressed { border-color: #5b82bd; background: #cddcf2; }"));
        return bar;
    };
    m_mailboxBar = makeBar(QStringLiteral("工具条1"), 2, 2, 107, 486);
    m_settingsBar = makeBar(QStringLiteral("工具条2"), 2, 488, 107, 108);

    auto watchTips = [this](QToolBar* bar, QAction* action) {
        action->setProperty(kToolTipProperty, QString());
        if (QWidget* button = bar->widgetForAction(action)) button->installEventFilter(this);
    };
    for (int k = 0; k < records::kMailboxCount; ++k) {
        QAction* action = m_mailboxBar->addAction(QString());
        action->setCheckable(true);
        watchTips(m_mailboxBar, action);
        connect(action, &QAction::triggered, this, [this, k] { onMailboxButton(k); });
    }
    const QString settingsCaptions[] = {QStringLiteral("邮箱设置"), QStringLiteral("关于软件")};
    const QString settingsTips[] = {QStringLiteral("点此设置邮箱信息"), QStringLiteral("看看我还什么别的好东东")};
    for (int k = 0; k < 2; ++k) {
        QAction* action = m_settingsBar->addAction(settingsCaptions[k]);
        watchTips(m_settingsBar, action);
        setButtonToolTip(m_settingsBar, k, settingsTips[k]);
        connect(action, &QAction::triggered, this, [this, k] { onSettingsButton(k); });
    }

    // The splitter bar reports drags; nothing resizes the panels from them.
    m_splitter = new QFrame(this);
    place(m_splitter, QStringLiteral("分隔条1"), 112, -1, 4, 602);
    m_splitter->setFrameStyle(QFrame::Panel | QFrame::Raised);
    m_splitter->setCursor(Qt::SplitHCursor);

    m_rightPanel = new QFrame(this);
    place(m_rightPanel, QStringLiteral("外形框2"), 116, 0, 902, 599);

    m_pane = new login::BrowserPane(m_rightPanel, m_homeUrl, profilesFolder());
    place(m_pane, QStringLiteral("超文本浏览框1"), 1, 1, 900, 596);
    connect(m_pane, &login::BrowserPane::PageShown, this, &MainWindow::onPageShown, Qt::DirectConnection);
    connect(m_pane, &login::BrowserPane::NotificationQuestion, this, &MainWindow::askNotificationPermission);
    connect(m_pane, &login::BrowserPane::NotificationArrived, this, &MainWindow::showNotification);
    connect(
        m_pane, &login::BrowserPane::StatusTextChange, this,
        [this] {
            if (m_browserStatus) m_browserStatus->setBrowserStatus(m_pane->StatusText());
        },
        Qt::DirectConnection);
    connect(
        m_pane, &login::BrowserPane::NewWindow, this, [](bool* allow) { *allow = state().allowNewWindows; },
        Qt::DirectConnection);
    connect(m_pane, &login::BrowserPane::DocumentReady, this, &MainWindow::onDocumentReady, Qt::DirectConnection);
    // The login driver fills the login page of the clicked mailbox; its notices (a login
    // page that went to another site) show in pane 1 for a while.
    m_loginDriver = new login::LoginDriver(m_pane, this, this);
    connect(this, &MainWindow::mailboxNavigationStarted, m_loginDriver,
            [this] { m_loginDriver->startLogin(state().currentEntry); });
    connect(m_loginDriver, &login::LoginDriver::loginFinished, this, &MainWindow::onLoginFinished);

    m_navFrame = new QFrame(this);
    place(m_navFrame, QStringLiteral("外形框3"), 910, 5, 86, 28);
    m_navFrame->setFrameStyle(QFrame::Box | QFrame::Plain);
    m_navFrame->setAutoFillBackground(true);
    m_navFrame->setCursor(Qt::SizeAllCursor);
    m_navFrame->installEventFilter(this);
    auto makeButton = [&](const QString& name, const QString& caption, int x, void (MainWindow::*handler)()) {
        auto* button = new QPushButton(caption, m_navFrame);
        place(button, name, x, 3, 26, 22);
        button->setCursor(Qt::ArrowCursor);
        button->setFocusPolicy(Qt::NoFocus);
        connect(button, &QPushButton::clicked, this, handler);
        return button;
    };
    m_backButton = makeButton(QStringLiteral("后退按钮"), QStringLiteral("←"), 3, &MainWindow::onBackButton);
    m_homeButton = makeButton(QStringLiteral("主页按钮"), QStringLiteral("□"), 30, &MainWindow::onHomeButton);
    m_forwardButton = makeButton(QStringLiteral("前进按钮"), QStringLiteral("→"), 57, &MainWindow::onForwardButton);
    m_navFrame->raise();

    m_statusBar = new QStatusBar(this);
    m_statusBar->setObjectName(QStringLiteral("状态条1"));
    m_statusBar->setSizeGripEnabled(false);
    m_statusPane0 = new QLabel(kStatusWelcome, m_statusBar);
    m_statusPane0->setFixedWidth(kStatusPane0Width);
    m_statusPane1 = new QLabel(kStatusReady, m_statusBar);
    m_statusPane1->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_statusBar->addWidget(m_statusPane0);
    m_statusBar->addWidget(m_statusPane1, 1);
    // A second running copy keeps no sessions; the user should know why every start
    // asks for a login again.
    m_sessionPane = new QLabel(m_statusBar);
    m_sessionPane->setObjectName(QStringLiteral("会话提示"));
    m_statusBar->addPermanentWidget(m_sessionPane);
    m_sessionPane->hide();
    m_browserStatus = new StatusPane(m_statusPane1, this);
    m_statusBar->setGeometry(0, height() - kStatusBarHeight, width(), kStatusBarHeight);

    m_findBar = new FindBar(this);
    m_downloadNotice = new DownloadNotice(this);
    login::DownloadSaver* saver = m_pane->downloads();
    connect(saver, &login::DownloadSaver::progress, this, [this](const QString& text) { showStatusNotice(text); });
    connect(saver, &login::DownloadSaver::finished, this, [this](const QString& path, bool ok) {
        const QString name = QFileInfo(path).fileName();
        showStatusNotice(ok ? downloadSavedText(name) : downloadFailedText(name));
        m_downloadNotice->showResult(path, ok);
        placeOverlays();
    });
    m_notifier = new DesktopNotifier(this);
    connect(m_notifier, &DesktopNotifier::activated, this, &MainWindow::onNotificationClicked);
    buildShortcuts();
    buildTray();
    placeOverlays();
}

void MainWindow::buildShortcuts() {
    auto add = [this](const QKeySequence& keys, const std::function<void()>& run) {
        auto* action = new QAction(this);
        action->setShortcut(keys);
        action->setShortcutContext(Qt::WindowShortcut);
        connect(action, &QAction::triggered, this, run);
        addAction(action);
        return action;
    };
    const QList<QAction*> mailboxActions = m_mailboxBar->actions();
    for (int k = 0; k < records::kMailboxCount; ++k) {
        QAction* button = mailboxActions.at(k);
        const QKeySequence keys(QStringLiteral("Ctrl+%1").arg(k + 1));
        button->setProperty(kShortcutProperty, keys.toString(QKeySequence::NativeText));
        add(keys, [button] { button->trigger(); });
    }
    add(QKeySequence(Qt::CTRL | Qt::Key_Tab), [this] { showNextOpenedMailbox(1); });
    add(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), [this] { showNextOpenedMailbox(-1); });
    add(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Tab), [this] { showNextOpenedMailbox(-1); });
    add(QKeySequence(Qt::ALT | Qt::Key_Left), [this] { onBackButton(); });
    add(QKeySequence(Qt::ALT | Qt::Key_Right), [this] { onForwardButton(); });
    add(QKeySequence(Qt::ALT | Qt::Key_Home), [this] { onHomeButton(); });
    add(QKeySequence(Qt::CTRL | Qt::Key_F), [this] { openFindBar(); });
    add(QKeySequence(Qt::CTRL | Qt::Key_Equal), [this] { changeFontSize(1); });
    add(QKeySequence(Qt::CTRL | Qt::Key_Plus), [this] { changeFontSize(1); });
    add(QKeySequence(Qt::CTRL | Qt::Key_Minus), [this] { changeFontSize(-1); });
    add(QKeySequence(Qt::CTRL | Qt::Key_0), [this] { changeFontSize(0); });
    add(QKeySequence(Qt::Key_F5), [this] { m_pane->BrowseCommand(4); });
}

void MainWindow::buildTray() {
    m_trayMenu = new QMenu(this);
    for (int k = 0; k < records::kMailboxCount; ++k) {
        QAction* item = m_trayMenu->addAction(QString());
        connect(item, &QAction::triggered, this, [this, k] {
            showNormal();
            raise();
            activateWindow();
            // The mailbox shown stays as it is; any other one is shown.
            if (m_pane->shownPage() != k + 1) onMailboxButton(k);
        });
    }
    m_trayMenu->addSeparator();
    connect(m_trayMenu->addAction(QStringLiteral("显示主窗口")), &QAction::triggered, this, [this] {
        showNormal();
        raise();
        activateWindow();
    });
    // Closing the main window still ends the program: the tray offers a way back to
    // the window, not a life without it.
    connect(m_trayMenu->addAction(QStringLiteral("退出")), &QAction::triggered, this, &QWidget::close);
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
    m_tray = new QSystemTrayIcon(this);
    m_tray->setToolTip(kDesignTitle);
    m_tray->setContextMenu(m_trayMenu);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason != QSystemTrayIcon::Trigger) return;
        showNormal();
        raise();
        activateWindow();
    });
    m_notifier->setTrayIcon(m_tray);
    // Shown once it has a picture (applyIcons); a tray entry without one is invisible.
}

void MainWindow::placeOverlays() {
    // Both float over the pane: the find bar at its top left, the download notice along
    // its bottom above the status bar.
    const QRect paneArea(m_rightPanel->geometry().topLeft() + m_pane->geometry().topLeft(), m_pane->size());
    m_findBar->adjustSize();
    m_findBar->move(paneArea.left() + 8, paneArea.top() + 6);
    const int noticeHeight = m_downloadNotice->sizeHint().height();
    m_downloadNotice->setGeometry(paneArea.left(), paneArea.bottom() - noticeHeight - kStatusBarHeight + 1,
                                  paneArea.width(), noticeHeight);
    m_findBar->raise();
    m_downloadNotice->raise();
    m_navFrame->raise();
}

QString MainWindow::sessionNote() const { return !m_sessionPane->isHidden() ? m_sessionPane->text() : QString(); }

QString MainWindow::pageName(int page) const {
    if (!records::isMailboxRecord(page)) return kHomePageName;
    const QString name = m_mailboxBar->actions().at(page - 1)->text();
    return name.isEmpty() ? QStringLiteral("邮箱%1").arg(page) : name;
}

void MainWindow::showPageOf(int page) {
    ProgramState& s = state();
    const int shown = m_pane->shownPage();
    if (shown == page) return;
    // The login done flag belongs to the mailbox whose page is shown; each page keeps
    // its own while in the background. The home page leaves the flag as it is.
    if (records::isMailboxRecord(shown)) m_pageLoginDone[static_cast<size_t>(shown)] = s.loginDone;
    if (records::isMailboxRecord(page)) s.loginDone = m_pageLoginDone[static_cast<size_t>(page)];
    m_findBar->close();
    m_pane->showPage(page);
}

void MainWindow::onPageShown(int page) {
    if (!records::isMailboxRecord(page)) return;
    m_sessionPane->setText(m_pane->sessionNotice());
    m_sessionPane->setVisible(!m_pane->sessionNotice().isEmpty());
    // An attempt running on the page shown before ends here. A page left before its
    // login form was filled gets its turn now: it finished in the background, where
    // nothing reported it.
    if (state().loginDone) {
        m_loginDriver->cancelLogin();
        return;
    }
    m_loginDriver->startLogin(state().currentEntry);
    if (m_pane->IsReady()) m_loginDriver->onDocumentReady();
}

void MainWindow::showNextOpenedMailbox(int step) {
    const int shown = m_pane->shownPage();
    for (int i = 1; i <= records::kMailboxCount; ++i) {
        // Pages 1..9 in a ring, starting after (or before) the one shown.
        const int page =
            ((shown - 1 + step * i) % records::kMailboxCount + records::kMailboxCount) % records::kMailboxCount + 1;
        if (page != shown && m_pane->isPageOpened(page)) {
            onMailboxButton(page - 1);
            return;
        }
    }
}

void MainWindow::changeFontSize(int step) { m_pane->setFontSize(step == 0 ? 2 : m_pane->FontSize() + step); }

void MainWindow::openFindBar() {
    placeOverlays();
    m_findBar->open(m_pane->pageOf(m_pane->shownPage()));
}

void MainWindow::askNotificationPermission(int page) {
    const bool allow = platform::askYesNo(this, kNotificationQuestion.arg(pageName(page)));
    m_pane->answerNotificationQuestion(page, allow);
}

void MainWindow::showNotification(int page, const QString& title, const QString& message) {
    m_notifier->show(page, pageName(page), title, message);
}

void MainWindow::onNotificationClicked(int page) {
    showNormal();
    raise();
    activateWindow();
    if (records::isMailboxRecord(page) && m_pane->shownPage() != page) onMailboxButton(page - 1);
}

StartOutcome MainWindow::create() {
    const std::string folder = platform::dataFolder();
    if (!records::openMailboxDatabase(folder)) {
        platform::messageBox(this, kNoDatabaseMessage, platform::MessageIcon::Error);
        close();
        return StartOutcome::DatabaseMissing;
    }
    // A migration that fails keeps the legacy file for the next start; nothing to show.
    (void)records::migrateLegacyEntries(folder);

    if (!windowTitle().endsWith(kVersionSuffix)) setWindowTitle(windowTitle() + kVersionSuffix);

    registerLayoutAnchor(m_mailboxBar, true, true, true, true);
    registerLayoutAnchor(m_settingsBar, true, false, true, true);
    registerLayoutAnchor(m_leftPanel, false, true, false, true);
    registerLayoutAnchor(m_rightPanel, true, true, true, true);
    registerLayoutAnchor(m_pane, true, true, true, true);
    registerLayoutAnchor(m_splitter, false, true, false, true);
    m_navFrame->setToolTip(QStringLiteral("边缘可拖动"));
    m_backButton->setToolTip(QStringLiteral("后退（Alt+←）"));
    m_homeButton->setToolTip(QStringLiteral("返回主页（Alt+Home）"));
    m_forwardButton->setToolTip(QStringLiteral("前进（Alt+→）"));

    if (!readSettingsNotes()) {
        records::closeMailboxDatabase(folder);
        close();
        return StartOutcome::SettingsUnreadable;
    }
    buildIconList();
    setMailboxButtons();
    show();

    StartOutcome outcome = StartOutcome::Running;
    askAccessPassword(outcome);
    return outcome;
}

bool MainWindow::readSettingsNotes() {
    ProgramState& s = state();
    const records::RecordRead<std::string> login = records::readSettingsNote(1);
    const records::RecordRead<std::string> password = records::readSettingsNote(2);
    const records::RecordRead<std::string> newWindows = records::readSettingsNote(3);
    if (!login.ok() || !password.ok() || !newWindows.ok()) {
        platform::messageBox(this, kRecordUnreadableMessage, platform::MessageIcon::Error);
        // Without the notes nobody can tell whether an access password guards the
        // program: it does not start rather than let everyone in.
        if (!login.ok() || !password.ok()) return false;
    }
    s.passwordLogin = login.value == platform::toGbk(kYes);
    s.accessPassword = password.value;
    s.allowNewWindows = newWindows.value == platform::toGbk(kYes);
    return true;
}

void MainWindow::askAccessPassword(StartOutcome& outcome) {
    const ProgramState& s = state();
    if (!s.passwordLogin) return;
    for (;;) {
        const std::optional<QString> typed = platform::inputBox(this, kPasswordPrompt, true);
        if (!typed) {
            records::closeMailboxDatabase(platform::dataFolder());
            outcome = StartOutcome::PasswordCancelled;
            return;
        }
        // A character the stored text cannot hold would turn into '?' on the way to
        // GBK and could match a stored '?'; such input is simply wrong.
        if (platform::charactersOutsideGbk(*typed).isEmpty() && platform::toGbk(*typed) == s.accessPassword) return;
        platform::messageBox(this, kWrongPasswordMessage, platform::MessageIcon::Error);
    }
}

void MainWindow::buildIconList() { state().rebuildIconList(); }  // iconListChanged gives it to the toolbars

void MainWindow::applyIcons() {
    const QList<QPixmap>& icons = state().iconList;
    auto iconAt = [&](qsizetype i) { return i < icons.size() ? QIcon(icons.at(i)) : QIcon(); };
    const QList<QAction*> mailboxActions = m_mailboxBar->actions();
    for (qsizetype k = 0; k < mailboxActions.size(); ++k) mailboxActions.at(k)->setIcon(iconAt(k));
    if (m_tray && !icons.isEmpty()) {
        m_tray->setIcon(QIcon(icons.first()));
        m_tray->show();
    }
    const QList<QAction*> settingsActions = m_settingsBar->actions();
    for (qsizetype k = 0; k < settingsActions.size(); ++k) {
        settingsActions.at(k)->setIcon(iconAt(settings::kSettingsIconFile + k));
    }
}

void MainWindow::setMailboxButtons() {
    for (int k = 1; k <= records::kMailboxCount; ++k) {
        const records::MailboxEntry entry = records::readMailboxEntry(k).value;
        setButtonCaption(m_mailboxBar, k - 1, textOf(entry.name));
        if (entry.description != records::kDescriptionPlaceholder) continue;  // no tip of its own
        if (records::isMailboxKind(entry.loginKind)) {
            setButtonToolTip(
                m_mailboxBar, k - 1,
                entry.type.empty() ? textOf(entry.description) : textOf(entry.userName + "@" + entry.type));
        } else if (records::isAddressKind(entry.loginKind)) {
            setButtonToolTip(m_mailboxBar, k - 1, textOf(entry.address));
        }
    }
}

void MainWindow::setButtonCaption(QToolBar* bar, int index, const QString& text) {
    const QList<QAction*> actions = bar->actions();
    if (index >= 0 && index < actions.size()) actions.at(index)->setText(text);
    if (bar == m_mailboxBar && m_trayMenu && records::isMailboxIndex(index)) {
        m_trayMenu->actions().at(index)->setText(text);
    }
}

void MainWindow::setButtonToolTip(QToolBar* bar, int index, const QString& text) {
    const QList<QAction*> actions = bar->actions();
    if (index < 0 || index >= actions.size()) return;
    actions.at(index)->setProperty(kToolTipProperty, text);
    actions.at(index)->setToolTip(text);
}

QString MainWindow::buttonToolTip(const QAction* action) {
    return action ? action->property(kToolTipProperty).toString() : QString();
}

void MainWindow::showStatusNotice(const QString& text) { m_browserStatus->showNotice(text); }

QString MainWindow::statusNotice() const { return m_browserStatus->noticeShown() ? m_statusPane1->text() : QString(); }

QString MainWindow::shownToolTip(const QAction* action) {
    if (!action) return {};
    const QString tip = buttonToolTip(action);
    const QString keys = action->property(kShortcutProperty).toString();
    if (keys.isEmpty()) return tip;
    return tip.isEmpty() ? keys : tip + QStringLiteral("（") + keys + QStringLiteral("）");
}

QString MainWindow::statusPaneText(int pane) const {
    if (pane == 0) return m_statusPane0->text();
    if (pane == 1) return m_statusPane1->text();
    return {};
}

void MainWindow::setPressedButton(int index) {
    m_pressed = index;
    const QList<QAction*> actions = m_mailboxBar->actions();
    for (qsizetype k = 0; k < actions.size(); ++k) actions.at(k)->setChecked(k == index);
}

void MainWindow::onMailboxButton(int index) {
    ProgramState& s = state();
    if (records::isMailboxIndex(index)) {
        const int page = index + 1;
        const records::RecordRead<records::MailboxEntry> read = records::readMailboxEntry(page);
        if (!read.ok()) platform::messageBox(this, kRecordUnreadableMessage, platform::MessageIcon::Error);
        const records::MailboxEntry& entry = read.value;  // the empty entry when unreadable: it opens nothing
        s.currentEntry = entry;
        const bool addressKind = records::isAddressKind(entry.loginKind);
        const bool opensPage = records::isKnownProvider(entry.type) || addressKind;
        // A mailbox opened before shows its page as the user left it; a click on the
        // mailbox already shown loads and fills its login page again.
        if (opensPage && page != m_pane->shownPage() && m_pane->isPageOpened(page)) {
            setPressedButton(index);
            s.selectedButton = index;
            showPageOf(page);
            return;
        }
        std::optional<QString> target;
        if (records::isMailboxKind(entry.loginKind)) {
            if (const std::optional<std::string> address = records::providerAddress(entry.type)) {
                target = textOf(*address);
            }
        } else {
            target = textOf(entry.address);
        }
        if (target) {
            showPageOf(page);
            m_pane->setUrl(*target);
        }
        if (opensPage) {
            s.loginDone = false;
            // Whatever button was pressed gives way, so at most one ever shows pressed,
            // even after clicks on mailboxes that opened nothing.
            setPressedButton(index);
            s.selectedButton = index;
            emit mailboxNavigationStarted();
            return;
        }
    }
    s.selectedButton = index;
    setPressedButton(m_pressed);  // a click toggles the button; only a navigation moves the pressed state
}

void MainWindow::onSettingsButton(int index) {
    if (index == 0) openSettingsWindow();
    if (index == 1) settings::showAboutWindow(this);
}

void MainWindow::openSettingsWindow() {
    ProgramState& s = state();
    settings::SettingsWindow window(settings::currentDatabaseStore(),
                                    {s.passwordLogin, s.allowNewWindows, s.accessPassword}, s.iconList, this);
    connect(&window, &settings::SettingsWindow::entrySaved, this, [this](int row, const records::MailboxEntry& stored) {
        setButtonCaption(m_mailboxBar, row, textOf(stored.name));
    });
    connect(&window, &settings::SettingsWindow::iconFileSaved, this, [this, &window] {
        buildIconList();
        window.setIcons(state().iconList);
    });
    connect(&window, &settings::SettingsWindow::accountChanged, this, [](int row) { state().endSession(row + 1); });
    connect(&window, &settings::SettingsWindow::allowNewWindowsChanged, this,
            [](bool allowed) { state().allowNewWindows = allowed; });
    connect(&window, &settings::SettingsWindow::accessPasswordChanged, this,
            [](const std::string& password) { state().accessPassword = password; });
    window.exec();
}

void MainWindow::onHomeButton() {
    showPageOf(login::kHomePage);
    m_pane->setUrl(m_homeUrl);
    setPressedButton(-1);
}

void MainWindow::onForwardButton() { m_pane->BrowseCommand(0); }

void MainWindow::onBackButton() { m_pane->BrowseCommand(1); }

void MainWindow::onDocumentReady() { m_loginDriver->onDocumentReady(); }

void MainWindow::onLoginFinished(login::LoginOutcome outcome, const QString& detail) {
    // The driver has closed its waiting window by now, so nothing covers a message.
    switch (outcome) {
        case login::LoginOutcome::LoggedIn:
        case login::LoginOutcome::NothingToFill:
            state().loginDone = true;
            break;
        case login::LoginOutcome::NotALoginPage:
            platform::messageBox(this, QString::fromUtf16(login::kNotALoginPageMessage), platform::MessageIcon::Error);
            break;
        case login::LoginOutcome::Refused:
            showStatusNotice(kStatusOtherSite.arg(detail));
            break;
        case login::LoginOutcome::Insecure:
            showStatusNotice(kStatusInsecure.arg(detail));
            break;
        case login::LoginOutcome::TimedOut:
            showStatusNotice(kStatusTimedOut);
            break;
    }
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    // The status bar is docked: always the full width along the bottom.
    m_statusBar->setGeometry(0, height() - kStatusBarHeight, width(), kStatusBarHeight);
    QWidget::resizeEvent(event);
    placeOverlays();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    emit closed();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_navFrame) {
        switch (event->type()) {
            case QEvent::MouseButtonPress: {
                auto* mouse = static_cast<QMouseEvent*>(event);
                if (mouse->button() != Qt::LeftButton) break;
                m_dragging = true;
                m_dragOffset = mouse->position().toPoint();
                return true;
            }
            case QEvent::MouseMove: {
                if (!m_dragging) break;
                auto* mouse = static_cast<QMouseEvent*>(event);
                QPoint topLeft = mapFromGlobal(mouse->globalPosition().toPoint()) - m_dragOffset;
                // The frame stays inside the window, where the user can reach it again.
                topLeft.setX(std::clamp(topLeft.x(), 0, std::max(0, width() - m_navFrame->width())));
                topLeft.setY(std::clamp(topLeft.y(), 0, std::max(0, height() - m_navFrame->height())));
                m_navFrame->move(topLeft);
                return true;
            }
            case QEvent::MouseButtonRelease:
                if (!m_dragging) break;
                m_dragging = false;
                return true;
            default:
                break;
        }
        return false;
    }
    if (event->type() == QEvent::ToolTip) {
        auto* button = qobject_cast<QToolButton*>(watched);
        if (button && button->defaultAction()) {
            const QString tip = shownToolTip(button->defaultAction());
            auto* help = static_cast<QHelpEvent*>(event);
            if (tip.isEmpty()) {
                QToolTip::hideText();
            } else {
                QToolTip::showText(help->globalPos(), tip, button);
            }
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace app
