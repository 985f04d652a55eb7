#include "app/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QFrame>
#include <QHelpEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>
#include <QToolTip>
#include <QUrl>
#include <algorithm>

#include "app/anchor_layout.h"
#include "app/program_state.h"
#include "login/browser_pane.h"
#include "login/login_driver.h"
#include "platform/dialogs.h"
#include "platform/program_folder.h"
#include "platform/qt_text.h"
#include "records/mailbox_facts.h"
#include "records/mailbox_store.h"
#include "settings/about_window.h"
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
constexpr int kLoginNoticeMs = 10000;

constexpr int kSettingsIcon = 9;
constexpr int kStatusBarHeight = 20;
constexpr int kStatusPane0Width = 300;
constexpr int kIconSide = 48;

// The tip a toolbar button shows is kept on its action under this name; an empty one
// means no tip at all (Qt would otherwise show the caption).
const char* const kToolTipProperty = "tmblToolTip";

QString textOf(const std::string& gbk) { return platform::fromGbk(gbk); }

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

    m_pane = new login::BrowserPane(m_rightPanel, m_homeUrl);
    place(m_pane, QStringLiteral("超文本浏览框1"), 1, 1, 900, 596);
    connect(
        m_pane, &login::BrowserPane::StatusTextChange, this, [this] { m_statusPane1->setText(m_pane->StatusText()); },
        Qt::DirectConnection);
    connect(
        m_pane, &login::BrowserPane::NewWindow, this, [](bool* allow) { *allow = state().allowNewWindows; },
        Qt::DirectConnection);
    connect(m_pane, &login::BrowserPane::DocumentReady, this, &MainWindow::onDocumentReady, Qt::DirectConnection);
    // The login driver fills the login page of the clicked mailbox; its notices (a login
    // page that went to another site) stay over the status bar for a while.
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
    m_statusBar->setGeometry(0, height() - kStatusBarHeight, width(), kStatusBarHeight);
}

StartOutcome MainWindow::create() {
    const std::string folder = platform::programFolder();
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
    m_backButton->setToolTip(QStringLiteral("后退"));
    m_homeButton->setToolTip(QStringLiteral("返回主页"));
    m_forwardButton->setToolTip(QStringLiteral("前进"));

    readSettingsNotes();
    buildIconList();
    setMailboxButtons();
    show();

    StartOutcome outcome = StartOutcome::Running;
    askAccessPassword(outcome);
    return outcome;
}

void MainWindow::readSettingsNotes() {
    ProgramState& s = state();
    const records::RecordRead<std::string> login = records::readSettingsNote(1);
    const records::RecordRead<std::string> password = records::readSettingsNote(2);
    const records::RecordRead<std::string> newWindows = records::readSettingsNote(3);
    if (!login.ok() || !password.ok() || !newWindows.ok()) {
        platform::messageBox(this, kRecordUnreadableMessage, platform::MessageIcon::Error);
    }
    s.passwordLogin = login.value == platform::toGbk(kYes);
    s.accessPassword = password.value;
    s.allowNewWindows = newWindows.value == platform::toGbk(kYes);
}

void MainWindow::askAccessPassword(StartOutcome& outcome) {
    const ProgramState& s = state();
    if (!s.passwordLogin) return;
    for (;;) {
        const std::optional<QString> typed = platform::inputBox(this, kPasswordPrompt, true);
        if (!typed) {
            records::closeMailboxDatabase(platform::programFolder());
            outcome = StartOutcome::PasswordCancelled;
            return;
        }
        // A character the stored text cannot hold would turn into '?' on the way to
        // GBK and could match a stored '?'; such input is simply wrong.
        const std::string gbk = platform::toGbk(*typed);
        if (platform::fromGbk(gbk) == *typed && gbk == s.accessPassword) return;
        platform::messageBox(this, kWrongPasswordMessage, platform::MessageIcon::Error);
    }
}

void MainWindow::buildIconList() { state().rebuildIconList(); }  // iconListChanged gives it to the toolbars

void MainWindow::applyIcons() {
    const QList<QPixmap>& icons = state().iconList;
    auto iconAt = [&](qsizetype i) { return i < icons.size() ? QIcon(icons.at(i)) : QIcon(); };
    const QList<QAction*> mailboxActions = m_mailboxBar->actions();
    for (qsizetype k = 0; k < mailboxActions.size(); ++k) mailboxActions.at(k)->setIcon(iconAt(k));
    const QList<QAction*> settingsActions = m_settingsBar->actions();
    for (qsizetype k = 0; k < settingsActions.size(); ++k) settingsActions.at(k)->setIcon(iconAt(kSettingsIcon + k));
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
        const records::RecordRead<records::MailboxEntry> read = records::readMailboxEntry(index + 1);
        if (!read.ok()) platform::messageBox(this, kRecordUnreadableMessage, platform::MessageIcon::Error);
        const records::MailboxEntry& entry = read.value;  // the empty entry when unreadable: it opens nothing
        s.currentEntry = entry;
        const bool addressKind = records::isAddressKind(entry.loginKind);
        if (records::isMailboxKind(entry.loginKind)) {
            if (const std::optional<std::string> address = records::providerAddress(entry.type)) {
                m_pane->setUrl(textOf(*address));
            }
        } else {
            m_pane->setUrl(textOf(entry.address));
        }
        if (records::isKnownProvider(entry.type) || addressKind) {
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
    if (index == 0) settings::showSettingsWindow(this);
    if (index == 1) settings::showAboutWindow(this);
}

void MainWindow::onHomeButton() {
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
            m_statusBar->showMessage(kStatusOtherSite.arg(detail), kLoginNoticeMs);
            break;
        case login::LoginOutcome::Insecure:
            m_statusBar->showMessage(kStatusInsecure.arg(detail), kLoginNoticeMs);
            break;
        case login::LoginOutcome::TimedOut:
            m_statusBar->showMessage(kStatusTimedOut, kLoginNoticeMs);
            break;
    }
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    // The status bar is docked: always the full width along the bottom.
    m_statusBar->setGeometry(0, height() - kStatusBarHeight, width(), kStatusBarHeight);
    QWidget::resizeEvent(event);
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
            const QString tip = buttonToolTip(button->defaultAction());
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
