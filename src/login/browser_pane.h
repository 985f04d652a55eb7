// The browser pane: the main window's web view (超文本浏览框1) with the small property,
// command and numbered-event surface the login driver and the main window rely on,
// over Qt WebEngine. The pane keeps one page per mailbox (and one for the home page),
// each in a session of its own, and shows one of them at a time: every property,
// command and event is about the page shown. Owned by its parent widget; user-interface
// thread only.
#pragma once

#include <QString>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <array>
#include <memory>

class QPrinter;
class QWebEngineDownloadRequest;
class QWebEngineLoadingInfo;
class QWebEngineNotification;
class QWebEnginePage;
class QWebEngineProfile;
class QWebEngineView;

namespace login {

class DownloadSaver;
class PanePage;
class ProfileLock;
struct PageSlot;

// Page 0 is the home page; pages 1..9 belong to mailbox entries 1..9.
inline constexpr int kHomePage = 0;
inline constexpr int kPageCount = 10;

class BrowserPane : public QWidget {  // object name set by the main window: 超文本浏览框1
    Q_OBJECT
public:
    // An empty homeUrl means the pane has no home page: it navigates nowhere on
    // creation and BrowseCommand(2) does nothing. profilesFolder holds one folder per
    // mailbox page with its cookies, storage and cache (profilesFolder/<n>); empty, or
    // held by another running copy, keeps every page's session in memory only. The
    // home page always has a session of its own in memory.
    explicit BrowserPane(QWidget* parent = nullptr, const QString& homeUrl = {}, const QString& profilesFolder = {});
    ~BrowserPane() override;

    int FontSize() const;
    void setFontSize(int size);  // clamped 0..4, applied as zoom
    bool Offline() const;
    void setOffline(bool offline);
    bool Silent() const;
    void setSilent(bool silent);
    QString url() const;  // inside a navigation event: the event address
    void setUrl(const QString& address);
    QString StatusText() const;
    QString Caption() const;  // inside a TitleChange event: the event title

    // 0 forward, 1 back, 2 home, 3 search, 4 refresh, 5 stop, 6 save as, 7 print,
    // 8 print preview, 9 page setup; anything else does nothing.
    void BrowseCommand(int command);
    bool IsReady() const;     // top document complete
    QWidget* WindowHandle();  // the pane's own widget; the page view is below it
    QWebEngineView* view() const;
    // The page shown now; ask again after every navigation or mailbox switch.
    QWebEnginePage* currentPage() const;
    QString homeUrl() const;

    // Pages. showPage makes page n (0..9) the one shown, creating it empty on first use;
    // the page it replaces keeps running in the background as the user left it.
    void showPage(int n);
    int shownPage() const { return m_shown; }
    // Page n exists, has been navigated and was not discarded since.
    bool isPageOpened(int n) const;
    QWebEnginePage* pageOf(int n) const;        // null until created
    QWebEngineProfile* profileOf(int n) const;  // null until created
    QString profileFolderOf(int n) const;       // empty when sessions are not kept
    bool sessionsKept() const;                  // pages keep their sessions on disk
    QString sessionNotice() const;              // why they do not, for the status bar
    // Ends page n's session: its page, cookies, storage, cache and remembered answers.
    void clearSession(int n);
    // The page shown holds cookies of host's site and its document offers no password
    // field: the provider let a still-valid session through.
    bool holdsSessionFor(const QString& host) const;
    // Within the last milliseconds the page shown sent, from a frame of origin (as
    // login::originOf spells it), a request that may carry a submission: a post, a
    // fetch, a beacon or a navigation.
    bool sentFromWithin(const QString& origin, qint64 milliseconds) const;

    // At most limit pages stay live; the least recently shown beyond that are discarded.
    void setLivePageLimit(int limit);
    // A page in the background is frozen after this long unless it plays sound or may
    // show notifications.
    void setFreezeDelay(int milliseconds);
    // Where downloads go; empty for the user's download folder.
    void setDownloadFolder(const QString& folder);
    DownloadSaver* downloads() const { return m_downloads; }

    // The answer to page n's notification question; set by the window that asked.
    void answerNotificationQuestion(int n, bool allow);
    bool notificationsAllowed(int n) const;

signals:  // all emitted synchronously on the UI thread (connect with Qt::DirectConnection)
    void BeforeNavigate(bool* proceed);
    void NavigateComplete();
    void DownloadBegin();
    void ProgressChange(int percent);
    void DownloadComplete();
    void DocumentReady();  // once per finished document, frames included
    void StatusTextChange();
    void TitleChange();
    void CommandStateChange(int command, bool enabled);
    void NewWindow(bool* allow);  // handler sets *allow=false to stop the new window
    // A report of the login agent of one of the page's frames (JSON text), checked to
    // come from the agent itself.
    void AgentReport(QWebEnginePage* page, const QString& report);

    // Another page is shown now (the login driver attaches to it).
    void PageShown(int n);
    // Page n asked to show notifications and nothing is remembered for it: the window
    // asks the user and calls answerNotificationQuestion.
    void NotificationQuestion(int n);
    // A notification of page n that is allowed to show them.
    void NotificationArrived(int n, const QString& title, const QString& message);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    friend class PanePage;

    // Called by a page; each returns what the page should do. Events are raised only
    // for the page shown.
    bool relayBeforeNavigate(PanePage* page, const QString& address, bool topFrame);
    bool relayNewWindow();
    void relayNavigateComplete(PanePage* page, bool topFrame, const QString& reported);
    void relayFrameComplete(PanePage* page, bool topFrame, const QString& address, bool passwordField);
    void relayDocumentReady(const QString& address);
    static bool isErrorDocument(const QString& address);
    void onLoadingChanged(PanePage* page, const QWebEngineLoadingInfo& info);
    void onTitleChanged(PanePage* page, const QString& title);
    void onUrlChanged(PanePage* page, const QUrl& address);
    void expectNavigation(PanePage* page, const QUrl& target);
    void setStatusText(PanePage* page, const QString& text);
    void watchHistoryActions(PanePage* page);
    void navigate(const QString& address);

    PageSlot& slot(int n);
    void takeProfilesFolder();
    PanePage* createPage(int n);
    QWebEngineProfile* createProfile(int n);
    void onFeatureRequest(int n, const QUrl& origin, int feature);
    void presentNotification(int n, std::unique_ptr<QWebEngineNotification> notification);
    void enforceLivePageLimit();
    void scheduleFreeze(int n);
    void freezeIfIdle(int n);
    void releasePage(int n);
    void destroySlot(int n);
    void applyZoom();
    bool hasDocument() const;
    void saveAs();
    void printPage();
    void printPreview();
    void pageSetup();
    QPrinter& printer();

    QWebEngineView* m_view = nullptr;
    PanePage* m_page = nullptr;  // the page shown
    int m_shown = kHomePage;
    std::array<std::unique_ptr<PageSlot>, kPageCount> m_slots;
    QString m_requestedProfiles;
    bool m_profilesTried = false;
    QString m_profilesFolder;  // empty when sessions are not kept on disk
    std::unique_ptr<ProfileLock> m_lock;
    QString m_sessionNotice;
    DownloadSaver* m_downloads = nullptr;
    int m_livePageLimit = 4;
    int m_freezeDelayMs = 60000;
    quint64 m_showCounter = 0;
    QString m_homeUrl;
    int m_fontSize = 2;
    bool m_offline = false;
    bool m_silent = false;

    // Event state: set only while a handler of the matching event runs.
    bool m_inNavigationEvent = false;
    QString m_eventAddress;
    bool m_inTitleEvent = false;
    QString m_eventTitle;

    std::unique_ptr<QPrinter> m_printer;
};

}  // namespace login
