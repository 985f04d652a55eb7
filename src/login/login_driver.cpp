#include "login/login_driver.h"

#include <libpsl.h>

#include <QUrl>
#include <algorithm>

#include "app/program_state.h"
#include "login/browser_pane.h"
#include "login/waiting_window.h"
#include "platform/dialogs.h"
#include "platform/qt_text.h"
#include "records/mailbox_facts.h"
#include "records/mailbox_store.h"

namespace login {

namespace {

// A notice that stays up forever helps nobody: a page that never completes closes it
// after this long.
constexpr int kWaitingWindowLimitMs = 30000;
// A real timer, however short, fires from the event loop itself.
constexpr int kDeferMs = 1;

// The fill rule of each provider table row (1-based), keyed by the rows, whatever keys
// the table gives them.
FillRule ruleOfRow(int row) {
    FillRule rule;
    switch (row) {
        case 1:
        case 4:
            rule.option = 1;
            break;
        case 2:
        case 5:
            rule.option = 2;
            break;
        case 3:
        case 6:
            rule.option = 3;
            break;
        case 7:
        case 8:
        case 11:
        case 13:
        case 14:
            rule.fullAddress = true;
            break;
        case 9:
            rule.fills = false;
            break;
        case 21:
            rule.passwordBox = 3;
            rule.clickImage = true;
            break;
        default:
            break;  // 10, 12, 15 to 20: user name, password, button 1
    }
    return rule;
}

// Overwrites a secret before its memory is given back.
void wipe(std::string& secret) {
    std::fill(secret.begin(), secret.end(), '\0');
    secret.clear();
}

const psl_ctx_t* suffixList() {
    // The system's list when installed, else the one built into the library.
    static const psl_ctx_t* list = [] {
        const psl_ctx_t* latest = psl_latest(nullptr);
        return latest ? latest : psl_builtin();
    }();
    return list;
}

QString normalHost(const QString& host) {
    QString h = host.toLower();
    while (h.endsWith(u'.')) h.chop(1);
    return h;
}

}  // namespace

std::optional<FillRule> fillRuleFor(const std::string& type) {
    const auto& table = records::providerTable();
    for (size_t i = 0; i < table.size(); ++i) {
        if (table[i].key == type) return ruleOfRow(static_cast<int>(i) + 1);
    }
    return std::nullopt;
}

bool sameSite(const QString& loginHost, const QString& pageHost) {
    // Hosts in their ASCII form, so that the suffix list and the comparison agree.
    const QString login =
        normalHost(QUrl::toAce(loginHost).isEmpty() ? loginHost : QString::fromLatin1(QUrl::toAce(loginHost)));
    const QString page =
        normalHost(QUrl::toAce(pageHost).isEmpty() ? pageHost : QString::fromLatin1(QUrl::toAce(pageHost)));
    if (login.isEmpty() || page.isEmpty()) return false;
    if (login == page) return true;
    const psl_ctx_t* list = suffixList();
    if (!list) return false;
    const QByteArray loginBytes = login.toUtf8(), pageBytes = page.toUtf8();
    const char* loginDomain = psl_registrable_domain(list, loginBytes.constData());
    const char* pageDomain = psl_registrable_domain(list, pageBytes.constData());
    // A host that is itself a public suffix (or an address) has no registrable domain
    // to share.
    if (!loginDomain || !pageDomain) return false;
    return qstrcmp(loginDomain, pageDomain) == 0;
}

LoginDriver::LoginDriver(BrowserPane* pane, QWidget* mainWindow, QObject* parent)
    : QObject(parent), m_pane(pane), m_mainWindow(mainWindow) {
    m_waitingLimit.setSingleShot(true);
    m_waitingLimit.setInterval(kWaitingWindowLimitMs);
    connect(&m_waitingLimit, &QTimer::timeout, this, &LoginDriver::closeWaitingWindow);
    m_deferred.setSingleShot(true);
    m_deferred.setInterval(kDeferMs);
    connect(&m_deferred, &QTimer::timeout, this, &LoginDriver::handleDocumentReady);
}

LoginDriver::~LoginDriver() { delete m_waitingWindow.data(); }

bool LoginDriver::isWaitingWindowOpen() const { return m_waitingWindow && m_waitingWindow->isVisible(); }

void LoginDriver::loginStarted() {
    // Reports of the page before the click are no business of the new login: the old
    // page must not be tried with the new entry, nor may an attempt still running on
    // it mark the new login done.
    ++m_loginSerial;
    m_deferred.stop();
    m_readyAgain = false;
    const app::ProgramState& state = app::state();
    // Only a mailbox login that will be filled is worth a notice.
    if (state.loginDone || !records::isMailboxKind(state.currentEntry.loginKind)) return;
    if (!records::isKnownProvider(state.currentEntry.type)) return;
    if (!m_waitingWindow) m_waitingWindow = new WaitingWindow(m_mainWindow);
    m_waitingWindow->show();
    m_waitingWindow->raise();
    m_waitingLimit.start();
}

void LoginDriver::closeWaitingWindow() {
    m_waitingLimit.stop();
    if (m_waitingWindow && m_waitingWindow->isVisible()) m_waitingWindow->close();
}

void LoginDriver::onDocumentReady() {
    // The pane reports from inside the engine's own event delivery, where the engine
    // cannot deliver the answers of page calls; the attempt runs right after it, from
    // the event loop. A zero-time call would not do: it is a posted event, and the
    // engine runs posted events inside its own task processing. Reports that come in
    // meanwhile (a frame finishing, or one during a page call's wait) fold into one
    // more pass.
    m_readyAgain = true;
    if (m_deferred.isActive() || m_busy) return;
    m_deferred.start();
}

void LoginDriver::handleDocumentReady() {
    if (m_busy) return;
    m_busy = true;
    while (m_readyAgain && m_pane) {
        m_readyAgain = false;
        m_document.AttachToWindow(m_pane->WindowHandle());
        app::ProgramState& state = app::state();
        const bool complete = m_pane && m_pane->IsReady();
        if (complete && !state.loginDone && records::isMailboxKind(state.currentEntry.loginKind)) {
            // Copies: the message box inside may let a new click replace the entry.
            const std::string userName = state.currentEntry.userName;
            const std::string type = state.currentEntry.type;
            std::string password = records::decodePassword(state.currentEntry.password);
            fillLoginForm(userName, password, type);
            wipe(password);
        }
        // A frame finishing before its page leaves the notice up until the page itself
        // is complete.
        if (complete) closeWaitingWindow();
    }
    m_busy = false;
}

void LoginDriver::fillLoginForm(const std::string& userName, const std::string& password, const std::string& type) {
    app::ProgramState& state = app::state();
    if (state.selectedButton < 0 || state.selectedButton > 8) return;
    const quint64 serial = m_loginSerial;
    if (m_pane) m_document.AttachToWindow(m_pane->WindowHandle());
    if (serial != m_loginSerial) return;

    const std::optional<FillRule> rule = fillRuleFor(type);
    if (rule && rule->fills) {
        // The stored password goes only to the provider's own site: a login address
        // that was redirected elsewhere gets nothing typed into it.
        const std::optional<std::string> address = records::providerAddress(type);
        const QString loginHost = address ? QUrl(platform::fromGbk(*address)).host() : QString();
        const QString pageHost = QUrl(m_document.documentUrl()).host();
        // With no document at all the lists are empty too; that is the message's case.
        if (!m_document.documentUrl().isEmpty() && !sameSite(loginHost, pageHost)) {
            emit statusMessage(QStringLiteral("提示信息：登录网页转到了其他网站（%1），没有自动填写用户名和密码！")
                                   .arg(pageHost.isEmpty() ? m_document.documentUrl() : pageHost));
            return;
        }
        // A session kept from an earlier login took the provider straight past its
        // login form: nothing to type, and nothing wrong with the page.
        if (m_pane && m_pane->holdsSessionFor(pageHost)) {
            state.loginDone = true;
            closeWaitingWindow();
            return;
        }
        if (m_document.TextBoxCount() < 1) {
            platform::messageBox(m_mainWindow, QString::fromUtf16(kNotALoginPageMessage), platform::MessageIcon::Error);
            return;
        }
        // A page that gave no answer (busy, or gone meanwhile) got nothing typed or
        // clicked: the login is not done, and the page's next report tries again.
        bool unanswered = false;
        auto note = [&unanswered] { unanswered = unanswered || callStatus() == status::kOther; };
        std::string userText = userName;
        if (rule->fullAddress) userText += "@" + type;
        m_document.SetTextBoxValue(1, userText);
        note();
        m_document.SetTextBoxValue(rule->passwordBox, password);
        note();
        if (rule->option > 0) {
            m_document.SelectOption(1, rule->option);
            note();
        }
        if (rule->clickImage)
            m_document.ClickImage(1);
        else
            m_document.ClickButton(1);
        note();
        wipe(userText);
        if (serial != m_loginSerial) return;
        if (unanswered) {
            closeWaitingWindow();
            return;
        }
    }
    if (records::isKnownProvider(type)) state.loginDone = true;
    closeWaitingWindow();
}

}  // namespace login
