// The browser pane: the main window's web view (超文本浏览框1) with the small property,
// command and numbered-event surface the login driver and the main window rely on,
// over Qt WebEngine. Owned by its parent widget; user-interface thread only.
#pragma once

#include <QString>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <memory>

class QPrinter;
class QWebEnginePage;
class QWebEngineLoadingInfo;
class QWebEngineView;

namespace login {

class PanePage;

class BrowserPane : public QWidget {  // object name set by the main window: 超文本浏览框1
    Q_OBJECT
public:
    // An empty homeUrl means the pane has no home page: it navigates nowhere on
    // creation and BrowseCommand(2) does nothing.
    explicit BrowserPane(QWidget* parent = nullptr, const QString& homeUrl = {});
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

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    friend class PanePage;

    // Called by the page; each returns what the page should do.
    bool relayBeforeNavigate(const QString& address, bool topFrame);
    bool relayNewWindow();
    void relayNavigateComplete(bool topFrame, const QString& reported);
    void relayFrameComplete(bool topFrame, const QString& address);
    void relayDocumentReady(const QString& address);
    static bool isErrorDocument(const QString& address);
    bool isPendingDocument(const QString& address) const;
    void onLoadingChanged(const QWebEngineLoadingInfo& info);
    void onTitleChanged(const QString& title);
    void onUrlChanged(const QUrl& address);
    void expectNavigation(const QUrl& target);
    void navigationBegun();
    void setStatusText(const QString& text);
    void watchHistoryActions();
    void navigate(const QString& address);
    void applyZoom();
    bool hasDocument() const;
    void saveAs();
    void printPage();
    void printPreview();
    void pageSetup();
    QPrinter& printer();

    QWebEngineView* m_view = nullptr;
    PanePage* m_page = nullptr;
    QString m_homeUrl;
    int m_fontSize = 2;
    bool m_offline = false;
    bool m_silent = false;
    QString m_statusText;

    // Event state: set only while a handler of the matching event runs.
    bool m_inNavigationEvent = false;
    QString m_eventAddress;
    bool m_inTitleEvent = false;
    QString m_eventTitle;

    bool m_documentComplete = false;   // the top document shown reported its end
    bool m_navigationPending = false;  // a navigation was asked for and has not begun
    QString m_pendingAddress;          // the address whose document ends the wait, when known
    QTimer m_pendingLimit;
    QString m_documentAddress;  // the top document shown
    bool m_topReportedThisLoad = false;
    bool m_topNavigatedThisLoad = false;
    QString m_loadingAddress;  // the address of the current top-level load
    bool m_canGoBack = false;
    bool m_canGoForward = false;
    std::unique_ptr<QPrinter> m_printer;
};

}  // namespace login
