#include "login/login_driver.h"

#include <libpsl.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMouseEvent>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineView>
#include <algorithm>
#include <functional>

#include "login/browser_pane.h"
#include "login/waiting_window.h"
#include "login/web_origin.h"
#include "platform/qt_text.h"
#include "records/mailbox_facts.h"

namespace login {

namespace {

// A login that has not got through by then is not going to: the notice goes and the
// user takes over.
constexpr int kAttemptLimitMs = 20000;
// A complete page that has shown no login field at all for this long is not a login
// page; fields a script creates after the load usually come well within it.
constexpr int kQuietLimitMs = 5000;
// A provider page shown to a mailbox whose session holds the site's cookies is most
// likely its inbox: a login field the page still makes must come within this, or the
// session counts as still valid (the waiting window would otherwise stand over the
// inbox for the whole quiet limit).
constexpr int kSessionQuietLimitMs = 1500;
// Real clicks an attempt may ask for: for each of two steps, the click and the tries
// again the agent makes when the engine lost one.
constexpr int kRealClickLimit = 6;
// How long after the press that ended an attempt its agents may still ask for the real
// click that press needed.
constexpr int kAfterAttemptMs = 3000;
// Between the real click's move and its press, and between press and release.
constexpr int kPointerRestMs = 60;
// Requests sent this little before a press's moment still count as its doing: clocks
// read in two processes, to the millisecond.
constexpr qint64 kClockSlackMs = 5;
// A real timer, however short, fires from the event loop itself.
constexpr int kDeferMs = 1;

// Overwrites a secret before its memory is given back.
void wipe(std::string& secret) {
    std::fill(secret.begin(), secret.end(), '\0');
    secret.clear();
}
void wipe(QByteArray& secret) {
    secret.fill('\0');
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

QJsonObject recipeJson(const records::ProviderRecipe* recipe) {
    QJsonObject json;
    if (!recipe) return json;
    json.insert(QStringLiteral("reveal"), QString::fromStdString(recipe->reveal));
    json.insert(QStringLiteral("user"), QString::fromStdString(recipe->user));
    json.insert(QStringLiteral("password"), QString::fromStdString(recipe->password));
    json.insert(QStringLiteral("next"), QString::fromStdString(recipe->next));
    json.insert(QStringLiteral("submit"), QString::fromStdString(recipe->submit));
    return json;
}

}  // namespace

bool sameSite(const QString& loginHost, const QString& pageHost) {
    // Hosts in their ASCII form, so that the suffix list and the comparison agree.
    auto ascii = [](const QString& host) {
        const QByteArray ace = QUrl::toAce(host);
        return normalHost(ace.isEmpty() ? host : QString::fromLatin1(ace));
    };
    const QString login = ascii(loginHost);
    const QString page = ascii(pageHost);
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

bool secureForCredentials(const QUrl& address) {
    if (!address.isValid() || address.host().isEmpty()) return false;
    const QString scheme = address.scheme().toLower();
    if (scheme == u"https") return true;
    if (scheme != u"http") return false;
    // Plain http never leaves this machine only when it goes to this machine.
    const QString host = normalHost(address.host());
    if (host == u"localhost") return true;
    const QHostAddress ip(host);
    return !ip.isNull() && ip.isLoopback();
}

LoginDriver::LoginDriver(BrowserPane* pane, QWidget* mainWindow, QObject* parent)
    : QObject(parent), m_pane(pane), m_mainWindow(mainWindow) {
    m_attemptLimit.setSingleShot(true);
    m_attemptLimit.setInterval(kAttemptLimitMs);
    connect(&m_attemptLimit, &QTimer::timeout, this,
            [this] { finish(m_attempt.formSeen || m_attempt.userDone ? LoginOutcome::TimedOut : noFormOutcome()); });
    m_quietLimit.setSingleShot(true);
    m_quietMs = kQuietLimitMs;
    connect(&m_quietLimit, &QTimer::timeout, this, [this] {
        if (!m_attempt.formSeen && !m_attempt.userDone) finish(noFormOutcome());
    });
    m_afterAttempt.setSingleShot(true);
    m_afterAttempt.setInterval(kAfterAttemptMs);
    m_deferred.setSingleShot(true);
    m_deferred.setInterval(kDeferMs);
    connect(&m_deferred, &QTimer::timeout, this, &LoginDriver::handleDocumentReady);
    if (m_pane) connect(m_pane, &BrowserPane::AgentReport, this, &LoginDriver::onAgentReport);
}

LoginDriver::~LoginDriver() {
    wipe(m_attempt.encodedPassword);
    delete m_waitingWindow.data();
}

bool LoginDriver::isWaitingWindowOpen() const { return m_waitingWindow && m_waitingWindow->isVisible(); }

void LoginDriver::setTimeLimits(int attemptMs, int quietMs) {
    m_attemptLimit.setInterval(attemptMs);
    m_quietMs = quietMs;
}

void LoginDriver::awaitLoginField() {
    if (m_attempt.formSeen || m_attempt.userDone) return;
    const QWebEnginePage* shown = m_pane ? m_pane->currentPage() : nullptr;
    const bool session = shown && m_pane->holdsSessionFor(shown->url().host());
    m_quietLimit.start(session ? std::min(m_quietMs, kSessionQuietLimitMs) : m_quietMs);
}

void LoginDriver::cancelLogin() {
    resetAttempt();
    closeWaitingWindow();
}

LoginOutcome LoginDriver::noFormOutcome() const {
    // A session kept from an earlier login took the provider straight past its login
    // form: nothing to type, and nothing wrong with the page. Only a page that never
    // showed a login field counts, so an identifier-first page of a site whose cookies
    // outlived the session still gets its login.
    const QWebEnginePage* shown = m_pane ? m_pane->currentPage() : nullptr;
    if (shown && m_pane->holdsSessionFor(shown->url().host())) return LoginOutcome::LoggedIn;
    return LoginOutcome::NotALoginPage;
}

void LoginDriver::resetAttempt() {
    // Reports of the page before the click are no business of the new login: the old
    // page must not be tried with the new entry, nor may an attempt still running on
    // it end the new one.
    if (m_attempt.active) cancelAgents();
    wipe(m_attempt.encodedPassword);
    m_attempt = Attempt{};
    m_attemptLimit.stop();
    m_quietLimit.stop();
    m_afterAttempt.stop();
    m_deferred.stop();
    m_readyAgain = false;
    m_attempt.serial = ++m_serials;
}

void LoginDriver::startLogin(const records::MailboxEntry& entry) {
    resetAttempt();
    if (!records::isMailboxKind(entry.loginKind) || !records::isKnownProvider(entry.type)) {
        closeWaitingWindow();
        return;
    }
    m_attempt.active = true;
    m_attempt.userName = entry.userName;
    m_attempt.type = entry.type;
    m_attempt.encodedPassword = entry.password;
    if (!m_waitingWindow) m_waitingWindow = new WaitingWindow(m_mainWindow);
    m_waitingWindow->show();
    m_waitingWindow->raise();
    m_attemptLimit.start();
}

void LoginDriver::closeWaitingWindow() {
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
        if (m_attempt.active && m_pane->IsReady()) {
            tryTopDocument();
        } else {
            m_document.AttachToWindow(m_pane->WindowHandle());
        }
    }
    m_busy = false;
}

QString LoginDriver::userText(bool fullAddress) const {
    std::string text = m_attempt.userName;
    if (fullAddress) text += "@" + m_attempt.type;
    return platform::fromGbk(text);
}

std::optional<LoginOutcome> LoginDriver::refusalOfTop(QString* refusedAt) const {
    // The engine's address of the page decides, never one the page's document reports;
    // an empty or unreadable address refuses.
    const QUrl shown = m_pane && m_pane->currentPage() ? m_pane->currentPage()->url() : QUrl();
    if (refusedAt) *refusedAt = shown.host().isEmpty() ? shown.toString() : shown.host();
    if (!secureForCredentials(shown)) return LoginOutcome::Insecure;
    if (!allowedFrameOrigin(originOf(shown))) return LoginOutcome::Refused;
    return std::nullopt;
}

bool LoginDriver::allowedFrameOrigin(const QString& origin) const {
    const QUrl frame(origin);
    if (!secureForCredentials(frame)) return false;
    const std::optional<std::string> address = records::providerAddress(m_attempt.type);
    const QString loginHost = address ? QUrl(platform::fromGbk(*address)).host() : QString();
    if (sameSite(loginHost, frame.host())) return true;
    if (const records::ProviderRecipe* recipe = records::providerRecipe(m_attempt.type)) {
        for (const std::string& named : recipe->frameOrigins)
            if (QString::fromStdString(named).compare(origin, Qt::CaseInsensitive) == 0) return true;
    }
    return false;
}

bool LoginDriver::ruleCannotAct(const FillRule& rule) const {
    if (m_attempt.topPasswords < 0) return false;  // not known yet: ask the page
    return m_attempt.topPasswords == 0 || (!rule.clickImage && m_attempt.topButtons == 0);
}

void LoginDriver::tryTopDocument() {
    const quint64 serial = m_attempt.serial;
    const std::optional<FillRule> rule = fillRuleFor(m_attempt.type);
    // Attaching a fresh document costs tens of milliseconds of page calls; when the rule
    // cannot act anyway, the agents get their job first.
    const bool attachLater = !m_attempt.pageAware && rule && rule->fills && ruleCannotAct(*rule) && !refusalOfTop();
    if (attachLater) startAgents();
    const bool attached = m_document.AttachToWindow(m_pane->WindowHandle());
    if (!m_attempt.active || serial != m_attempt.serial) return;
    if (!rule || !rule->fills) {
        finish(LoginOutcome::NothingToFill);
        return;
    }
    QString refusedAt;
    if (const std::optional<LoginOutcome> refusal = refusalOfTop(&refusedAt)) {
        finish(*refusal, refusedAt);
        return;
    }
    if (!m_attempt.pageAware) {
        // A page that gave no answer (busy, or gone meanwhile) is left to its next report.
        if (!attached) {
            closeWaitingWindow();
            return;
        }
        if (runFillRule(*rule)) return;
        if (!m_attempt.active || serial != m_attempt.serial) return;
        startAgents();
    }
    for (Frame& frame : m_attempt.frames) sendJob(frame);
    awaitLoginField();
}

void LoginDriver::startAgents() {
    m_attempt.pageAware = true;
    // Frames whose announcement came before the click (or got lost) say it again.
    if (QWebEnginePage* page = m_pane->currentPage())
        page->runJavaScript(QStringLiteral("globalThis.__tmblAgent&&__tmblAgent.announce()"),
                            QWebEngineScript::ApplicationWorld);
    for (Frame& frame : m_attempt.frames) sendJob(frame);
}

bool LoginDriver::runFillRule(const FillRule& rule) {
    if (m_document.TextBoxCount() < 1) return false;
    // Without the control the rule clicks, the rule would type and never submit.
    if ((rule.clickImage ? m_document.ImageCount() : m_document.ButtonCount()) < 1) return false;
    // The rule's password box must be a password field a person could type into: never
    // a text box that would show the password, nor a hidden decoy.
    const DispatchObject passwordBox = m_document.GetTextBox(rule.passwordBox);
    if (passwordBox.isEmpty()) return false;
    const std::optional<QVariant> usable = Bridge::callEntry(passwordBox, "usablePassword", {});
    if (!usable) {
        closeWaitingWindow();
        return true;  // no answer: the page's next report tries again
    }
    if (!usable->toBool()) return false;

    const quint64 serial = m_attempt.serial;
    // A page that gave no answer (busy, or gone meanwhile) got nothing typed or
    // clicked: the login is not done, and the page's next report tries again.
    bool unanswered = false;
    auto note = [&unanswered] { unanswered = unanswered || callStatus() == status::kOther; };
    std::string text = platform::toGbk(userText(rule.fullAddress));
    m_document.SetTextBoxValue(1, text);
    note();
    wipe(text);
    // The document may have gone since the fields were found; a new one gets nothing.
    if (passwordBox.isStale() || refusalOfTop() || serial != m_attempt.serial) {
        closeWaitingWindow();
        return true;
    }
    std::string password = records::decodePassword(m_attempt.encodedPassword);
    m_document.SetTextBoxValue(rule.passwordBox, password);
    wipe(password);
    note();
    if (rule.option > 0) {
        m_document.SelectOption(1, rule.option);
        note();
    }
    if (rule.clickImage)
        m_document.ClickImage(1);
    else
        m_document.ClickButton(1);
    note();
    if (serial != m_attempt.serial) return true;
    if (unanswered) {
        closeWaitingWindow();
        return true;
    }
    finish(LoginOutcome::LoggedIn);
    return true;
}

void LoginDriver::onAgentReport(QWebEnginePage* page, const QString& report) {
    // Only the page shown now takes part in the login.
    if (!m_pane || page != m_pane->currentPage()) return;
    const QJsonObject message = QJsonDocument::fromJson(report.toUtf8()).object();
    const QString kind = message.value(QStringLiteral("kind")).toString();
    const QString doc = message.value(QStringLiteral("doc")).toString();
    if (doc.isEmpty()) return;
    if (kind == u"realClick") {
        realClickAsked(message);
        return;
    }
    if (!m_attempt.active) return;
    if (kind == u"loaded") {
        if (doc == m_attempt.topDoc) {
            m_attempt.topPasswords = message.value(QStringLiteral("passwords")).toInt();
            m_attempt.topButtons = message.value(QStringLiteral("buttons")).toInt();
        }
        return;
    }
    if (kind == u"hello") {
        if (message.value(QStringLiteral("top")).toBool() && !m_attempt.frames.contains(doc)) {
            m_attempt.topDoc = doc;
            m_attempt.topPasswords = m_attempt.topButtons = -1;
        }
        if (m_attempt.frames.contains(doc)) return;  // announced again
        Frame frame;
        frame.doc = doc;
        frame.origin = message.value(QStringLiteral("origin")).toString();
        frame.path = message.value(QStringLiteral("path")).toArray();
        frame.top = message.value(QStringLiteral("top")).toBool();
        Frame& stored = m_attempt.frames.insert(doc, frame).value();
        if (m_attempt.pageAware) {
            sendJob(stored);
            awaitLoginField();
        }
        return;
    }
    // Anything else comes from a frame that was given the job.
    const auto known = m_attempt.frames.constFind(doc);
    if (known == m_attempt.frames.constEnd() || !known->jobSent) return;
    if (kind == u"form") {
        m_attempt.formSeen = true;
        m_quietLimit.stop();
    } else if (kind == u"user") {
        m_attempt.formSeen = m_attempt.userDone = true;
        m_quietLimit.stop();
    } else if (kind == u"submitted") {
        finish(LoginOutcome::LoggedIn);
    }
}

void LoginDriver::realClickAsked(const QJsonObject& message) {
    // Asked for through the top frame by the agent of a frame that holds the job, for a
    // control it has just pressed: while the attempt runs, or right after the press
    // that ended it.
    const bool running = m_attempt.active;
    if (!running && !m_afterAttempt.isActive()) return;
    const auto top = m_attempt.frames.constFind(message.value(QStringLiteral("doc")).toString());
    const auto from = m_attempt.frames.constFind(message.value(QStringLiteral("from")).toString());
    if (top == m_attempt.frames.constEnd() || !top->top || from == m_attempt.frames.constEnd() || !from->jobSent)
        return;
    if (m_attempt.realClicks >= kRealClickLimit) return;
    ++m_attempt.realClicks;
    const QPointF place(message.value(QStringLiteral("x")).toDouble(), message.value(QStringLiteral("y")).toDouble());
    // The page may have sent the login by script with nothing to show for it yet: a real
    // click then would send it twice. Only a press that provably did nothing gets one:
    // neither the asking frame nor the top sent anything since. The agent gives the
    // press's moment by the system clock, which the page's scripts cannot change for it;
    // a moment that makes no sense proves nothing.
    const double given = message.value(QStringLiteral("pressedAt")).toDouble();
    const qint64 pressedAt = given > 0 && given < 1e15 ? static_cast<qint64>(given) : 0;
    const QStringList origins{from->origin, top->origin};
    // The click belongs to the page that asked: never to another mailbox shown since.
    const QPointer<QWebEnginePage> asking = m_pane ? m_pane->currentPage() : nullptr;
    auto pressDidNothing = [this, origins, pressedAt, asking] {
        const qint64 sincePress = QDateTime::currentMSecsSinceEpoch() - pressedAt;
        if (!m_pane || !asking || m_pane->currentPage() != asking) return false;
        if (sincePress < 0 || sincePress > kAfterAttemptMs) return false;
        return std::none_of(origins.begin(), origins.end(), [&](const QString& origin) {
            return m_pane->sentFromWithin(origin, sincePress + kClockSlackMs);
        });
    };
    // Not from inside the engine's own message delivery.
    QTimer::singleShot(0, this, [this, place, pressDidNothing, serial = m_attempt.serial] {
        if (m_attempt.serial == serial && pressDidNothing()) realClick(place, pressDidNothing);
    });
}

void LoginDriver::realClick(const QPointF& pagePlace, const std::function<bool()>& stillNeeded) {
    if (!m_pane) return;
    QWebEngineView* view = m_pane->view();
    QPointer<QWidget> target = view->focusProxy() ? view->focusProxy() : view;
    const QPointF at = pagePlace * view->zoomFactor();
    const QPointF global = target->mapToGlobal(at);
    QMouseEvent move(QEvent::MouseMove, at, global, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &move);
    // The engine drops a press that comes with the move that brought the pointer there
    // (measured: the move reached the page, the press and release never did); a hand
    // takes that long between the two as well. Whether the click is still needed is
    // asked again at the last moment: the page may have sent something meanwhile.
    QTimer::singleShot(kPointerRestMs, this, [this, target, at, global, stillNeeded] {
        if (!target || !stillNeeded()) return;
        QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &press);
        QTimer::singleShot(kPointerRestMs, this, [target, at, global] {
            if (!target) return;
            QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
            QCoreApplication::sendEvent(target, &release);
        });
    });
}

void LoginDriver::sendJob(Frame& frame) {
    if (frame.jobSent || !m_attempt.active) return;
    // Credentials go to a frame of the provider only, and only while the page around
    // it is the provider's too; a top frame must hold the very origin the engine shows.
    if (refusalOfTop() || !allowedFrameOrigin(frame.origin)) return;
    if (frame.top && frame.origin != originOf(m_pane->currentPage()->url())) return;
    const std::optional<FillRule> rule = fillRuleFor(m_attempt.type);
    const records::ProviderRecipe* recipe = records::providerRecipe(m_attempt.type);
    const bool fullAddress = recipe ? recipe->fullAddress : (rule && rule->fullAddress);
    std::string password = records::decodePassword(m_attempt.encodedPassword);
    QJsonObject job;
    job.insert(QStringLiteral("user"), userText(fullAddress));
    job.insert(QStringLiteral("password"), platform::fromGbk(password));
    wipe(password);
    job.insert(QStringLiteral("recipe"), recipeJson(recipe));
    job.insert(QStringLiteral("userDone"), m_attempt.userDone);
    QJsonObject command;
    command.insert(QStringLiteral("job"), job);
    frame.jobSent = true;
    sendToAgent(frame, command);
}

void LoginDriver::sendToAgent(const Frame& frame, const QJsonObject& body) {
    QWebEnginePage* page = m_pane ? m_pane->currentPage() : nullptr;
    if (!page) return;
    QJsonObject command = body;
    command.insert(QStringLiteral("doc"), frame.doc);
    command.insert(QStringLiteral("origin"), frame.origin);
    command.insert(QStringLiteral("path"), frame.top ? QJsonArray() : frame.path);
    QByteArray json = QJsonDocument(command).toJson(QJsonDocument::Compact);
    // The top frame's agent runs it there or passes it on to the frame; a document that
    // replaced the one announced, or a frame of another origin, gets nothing.
    page->runJavaScript(QStringLiteral("globalThis.__tmblAgent&&__tmblAgent.command(%1)").arg(QString::fromUtf8(json)),
                        QWebEngineScript::ApplicationWorld);
    wipe(json);
}

void LoginDriver::cancelAgents() {
    QJsonObject cancel;
    cancel.insert(QStringLiteral("cancel"), true);
    for (const Frame& frame : std::as_const(m_attempt.frames))
        if (frame.jobSent) sendToAgent(frame, cancel);
}

void LoginDriver::finish(LoginOutcome outcome, const QString& detail) {
    if (!m_attempt.active) return;
    cancelAgents();
    m_attempt.active = false;
    wipe(m_attempt.encodedPassword);
    m_attemptLimit.stop();
    m_quietLimit.stop();
    if (outcome == LoginOutcome::LoggedIn) m_afterAttempt.start();
    // Closed before anything the outcome makes the main window show.
    closeWaitingWindow();
    emit loginFinished(outcome, detail);
}

}  // namespace login
