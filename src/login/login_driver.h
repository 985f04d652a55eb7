// The login driver: a mailbox click hands it the entry, and it runs one login attempt on
// the pages the browser pane shows next. The provider's fill rule goes first, exactly as
// it always has, on a top document that offers what the rule uses; otherwise the login
// agents of the page's frames find the form (in frames, across steps and documents, or
// appearing late), fill it and submit it. The outcome is reported by a signal; the main
// window decides what to show. Owned by the main window; user-interface thread only.
#pragma once

#include <QHash>
#include <QJsonArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <optional>
#include <string>

#include "login/page_document.h"
#include "records/mailbox_store.h"

class QJsonObject;
class QPointF;
class QWebEnginePage;

namespace login {

class BrowserPane;
class WaitingWindow;

using FillRule = records::FillRule;
// The rule of the provider table row whose key equals the type exactly.
using records::fillRuleFor;

// True when a page on pageHost may receive what belongs to loginHost: the same host, or
// both under one registrable domain by the public suffix list.
bool sameSite(const QString& loginHost, const QString& pageHost);

// True when a password may travel to the address: https, or plain http to this machine.
bool secureForCredentials(const QUrl& address);

// How a login attempt ended.
enum class LoginOutcome {
    LoggedIn,       // the credentials were submitted
    NothingToFill,  // the provider's page is only opened; the login counts as done
    NotALoginPage,  // no login form showed up at all
    Refused,        // the login page went to another site
    Insecure,       // the login page came over plain http from another machine
    TimedOut,       // a login form showed but the attempt did not get to submit it
};

class LoginDriver : public QObject {
    Q_OBJECT
public:
    // mainWindow parents the waiting window; it may be null.
    LoginDriver(BrowserPane* pane, QWidget* mainWindow, QObject* parent = nullptr);
    ~LoginDriver() override;

    PageDocument& pageDocument() { return m_document; }
    bool isWaitingWindowOpen() const;
    bool isAttemptRunning() const { return m_attempt.active; }

    // Limits of an attempt: the whole attempt, and how long a complete page that never
    // showed any login field is given before it counts as no login page.
    void setTimeLimits(int attemptMs, int quietMs);

signals:
    // The attempt of the last click ended. detail: the host (or address) concerned, for
    // the Refused and Insecure outcomes.
    void loginFinished(login::LoginOutcome outcome, const QString& detail);

public slots:
    // A mailbox click started navigating to the entry's login page: one attempt starts,
    // ending any attempt before it.
    void startLogin(const records::MailboxEntry& entry);
    // Ends the running attempt, if any, without an outcome (another page is shown).
    void cancelLogin();
    // Bound to the pane's DocumentReady.
    void onDocumentReady();

private:
    struct Frame {
        QString doc;  // the agent's document
        QString origin;
        QJsonArray path;
        bool top = false;
        bool jobSent = false;
    };
    struct Attempt {
        bool active = false;
        quint64 serial = 0;
        std::string userName, type, encodedPassword;
        bool pageAware = false;  // the fill rule found nothing to act on; the agents work
        bool userDone = false;   // a user-name step was submitted
        bool formSeen = false;
        int realClicks = 0;
        // The top document last announced, and what it said of itself once loaded
        // (-1 until then): usable password fields and buttons.
        QString topDoc;
        int topPasswords = -1, topButtons = -1;
        QHash<QString, Frame> frames;  // by document
    };

    void resetAttempt();
    void handleDocumentReady();
    void tryTopDocument();
    // What an attempt that found no login field ends with.
    LoginOutcome noFormOutcome() const;
    // The fill rule on the attached document; false when the document does not offer
    // what the rule uses.
    bool runFillRule(const FillRule& rule);
    // True when the top document said it lacks what the rule needs, so that the rule's
    // page calls can wait until the agents have their job.
    bool ruleCannotAct(const FillRule& rule) const;
    // From here on the agents work: every frame allowed gets the job.
    void startAgents();
    void onAgentReport(QWebEnginePage* page, const QString& report);
    void sendJob(Frame& frame);
    // A click of the mouse at a place of the page, as the user would make it, unless
    // stillNeeded says otherwise when the button would go down.
    void realClick(const QPointF& pagePlace, const std::function<bool()>& stillNeeded);
    void realClickAsked(const QJsonObject& message);
    void sendToAgent(const Frame& frame, const QJsonObject& command);
    // Nothing when the page shown may receive the credentials, else why not.
    std::optional<LoginOutcome> refusalOfTop(QString* refusedAt = nullptr) const;
    bool allowedFrameOrigin(const QString& origin) const;
    QString userText(bool fullAddress) const;
    void finish(LoginOutcome outcome, const QString& detail = {});
    // (Re)starts the wait for a login field on a page that has shown none yet.
    void awaitLoginField();
    void cancelAgents();
    void closeWaitingWindow();

    QPointer<BrowserPane> m_pane;
    QPointer<QWidget> m_mainWindow;
    PageDocument m_document;
    QPointer<WaitingWindow> m_waitingWindow;
    Attempt m_attempt;
    quint64 m_serials = 0;
    QTimer m_attemptLimit;
    QTimer m_quietLimit;
    int m_quietMs = 0;  // the quiet limit of a page without a session
    QTimer m_afterAttempt;
    QTimer m_deferred;          // runs the pass after the pane's report
    bool m_busy = false;        // a pass is running
    bool m_readyAgain = false;  // a DocumentReady came that no pass has seen yet
};

// Messages of the driver, exactly as the user sees them.
inline constexpr const char16_t* kNotALoginPageMessage = u"您打开的好像不是邮箱登录网页，请查证！";

}  // namespace login
