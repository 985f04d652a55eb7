// The login driver: on every finished document of the browser pane it attaches the page
// document and, while the current mailbox's login is not done, types the user name and
// password into the provider's login form and submits it. Owned by the main window;
// user-interface thread only.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <optional>
#include <string>

#include "login/page_document.h"

namespace login {

class BrowserPane;
class WaitingWindow;

// What the driver does on a provider's login page. Positions count from 1 in the order
// of the scanner's lists.
struct FillRule {
    bool fills = true;         // false: the page is opened and nothing is typed
    bool fullAddress = false;  // user text is user name + "@" + type
    int passwordBox = 2;       // text box that takes the password
    int option = 0;            // option of select element 1 to pick; 0 for none
    bool clickImage = false;   // click image 1 instead of button 1
};

// The rule of the provider table row whose key equals the type exactly; nothing for a
// type no row has.
std::optional<FillRule> fillRuleFor(const std::string& type);

// True when a page on pageHost may receive what belongs to loginHost: the same host, or
// both under one registrable domain by the public suffix list.
bool sameSite(const QString& loginHost, const QString& pageHost);

class LoginDriver : public QObject {
    Q_OBJECT
public:
    // mainWindow parents the message box and the waiting window; it may be null.
    LoginDriver(BrowserPane* pane, QWidget* mainWindow, QObject* parent = nullptr);
    ~LoginDriver() override;

    PageDocument& pageDocument() { return m_document; }
    bool isWaitingWindowOpen() const;

    // Runs the fill rule of type t on the attached page; does nothing unless the
    // selected button is a mailbox button.
    void fillLoginForm(const std::string& userName, const std::string& password, const std::string& type);

signals:
    // A notice for the main window's status bar.
    void statusMessage(const QString& text);

public slots:
    // Bound to the pane's DocumentReady.
    void onDocumentReady();
    // A mailbox click started a login: show the waiting window until the attempt ends.
    void loginStarted();

private:
    void closeWaitingWindow();
    void handleDocumentReady();

    QPointer<BrowserPane> m_pane;
    QPointer<QWidget> m_mainWindow;
    PageDocument m_document;
    QPointer<WaitingWindow> m_waitingWindow;
    QTimer m_waitingLimit;
    QTimer m_deferred;    // runs the pass after the pane's report
    bool m_busy = false;  // a pass is running
    bool m_readyAgain = false;
    quint64 m_loginSerial = 0;  // counts mailbox clicks  // a DocumentReady came that no pass has seen yet
};

// Messages of the driver, exactly as the user sees them.
inline constexpr const char16_t* kNotALoginPageMessage = u"您打开的好像不是邮箱登录网页，请查证！";

}  // namespace login
