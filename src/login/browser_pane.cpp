#include "login/browser_pane.h"

#include <QAction>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QPageSetupDialog>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QRandomGenerator>
#include <QResizeEvent>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineUrlRequestInfo>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>
#include <algorithm>
#include <array>
#include <atomic>

namespace login {
namespace {

// Text sizes 0 (smallest) .. 4 (largest) as page zoom.
constexpr std::array<double, 5> kZoomForFontSize = {0.75, 0.875, 1.0, 1.25, 1.5};

// The engine reports load completion for the top page only; this script runs in every
// frame, in a world the page cannot see, and announces each document's creation and
// its load event. A page can give its own console messages the source id of our scripts,
// so every report also carries a secret chosen at start and known only to that world.
const QString kFrameScriptName = QStringLiteral("tmbl-frame-events");
const QString kFrameReportPrefix = QStringLiteral("tmbl-frame:");
const QString kFrameScript = QStringLiteral(R"JS(
(function () {
    if (window.__tmblFrameEvents) return;
    window.__tmblFrameEvents = true;
    var top = (window.top === window) ? '1' : '0';
    function say(kind) { console.log('tmbl-frame:@SECRET@:' + kind + ':' + top + ':' + location.href); }
    say('navigated');
    var done = false;
    function ready() {
        // A page may dispatch its own "load" events; only the real end of loading counts.
        if (done || document.readyState !== 'complete') return;
        done = true;
        say('ready');
    }
    if (document.readyState === 'complete') ready();
    else window.addEventListener('load', ready);
})();
)JS");
// The login agent of every frame (frame_agent.js).
const QString kAgentScriptName = QStringLiteral("tmbl-frame-agent");
const QString kAgentReportPrefix = QStringLiteral("tmbl-agent:");

// Hex digits only, so that it never needs quoting inside a script or a report.
const QString& reportSecret() {
    static const QString secret = [] {
        QString hex;
        for (int i = 0; i < 4; ++i)
            hex += QString::number(QRandomGenerator::system()->generate(), 16).rightJustified(8, u'0');
        return hex;
    }();
    return secret;
}

QString withSecret(QString code) { return code.replace(QStringLiteral("@SECRET@"), reportSecret()); }

QString agentSource() {
    QFile file(QStringLiteral(":/login/frame_agent.js"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return withSecret(QString::fromUtf8(file.readAll()));
}

// Every script each frame of a page gets, in the world the page cannot see. Pages made
// later for the pane call this too, so they all report and log in alike.
void installFrameScripts(QWebEngineScriptCollection& scripts) {
    QWebEngineScript events;
    events.setName(kFrameScriptName);
    events.setSourceCode(withSecret(kFrameScript));
    events.setInjectionPoint(QWebEngineScript::DocumentCreation);
    events.setWorldId(QWebEngineScript::ApplicationWorld);
    events.setRunsOnSubFrames(true);
    scripts.insert(events);

    static const QString agent = agentSource();
    QWebEngineScript login;
    login.setName(kAgentScriptName);
    login.setSourceCode(agent);
    login.setInjectionPoint(QWebEngineScript::DocumentCreation);
    login.setWorldId(QWebEngineScript::ApplicationWorld);
    login.setRunsOnSubFrames(true);
    scripts.insert(login);
}

// The report behind the prefix and this run's secret; empty when the message is not ours.
QString ownReport(const QString& message, const QString& prefix) {
    if (!message.startsWith(prefix)) return {};
    const QString rest = message.mid(prefix.size());
    const QString& secret = reportSecret();
    if (rest.size() <= secret.size() || !rest.startsWith(secret) || rest.at(secret.size()) != u':') return {};
    return rest.mid(secret.size() + 1);
}

const QString kStatusOpening = QStringLiteral("正在打开网页 %1...");
const QString kStatusDone = QStringLiteral("完成");
const QString kStatusFailed = QStringLiteral("无法打开网页 %1");

constexpr int kPendingLimitMs = 10000;
constexpr int kAbortedErrorCode = -3;  // the engine's "navigation aborted" (superseded or cancelled)

// While Offline is set nothing is fetched from the network; local pages still load.
class OfflineInterceptor : public QWebEngineUrlRequestInterceptor {
public:
    explicit OfflineInterceptor(QObject* parent) : QWebEngineUrlRequestInterceptor(parent) {}
    void setOffline(bool offline) { m_offline = offline; }
    void interceptRequest(QWebEngineUrlRequestInfo& info) override {
        if (!m_offline) return;
        const QString scheme = info.requestUrl().scheme();
        if (scheme == u"http" || scheme == u"https" || scheme == u"ftp" || scheme == u"ws" || scheme == u"wss") {
            info.block(true);
        }
    }

private:
    std::atomic<bool> m_offline{false};
};

// A page opened by an allowed new-window request: a plain browser window of its own,
// which may open further windows freely.
class PopupPage : public QWebEnginePage {
public:
    using QWebEnginePage::QWebEnginePage;

protected:
    QWebEnginePage* createWindow(WebWindowType) override;
};

QWebEnginePage* openPopupWindow(QWebEngineProfile* profile) {
    auto* view = new QWebEngineView;
    view->setAttribute(Qt::WA_DeleteOnClose);
    auto* page = new PopupPage(profile, view);
    view->setPage(page);
    QObject::connect(page, &QWebEnginePage::windowCloseRequested, view, &QWidget::close);
    QObject::connect(page, &QWebEnginePage::titleChanged, view, &QWidget::setWindowTitle);
    // A page that opens a sized window (window.open with features) gets that size.
    QObject::connect(page, &QWebEnginePage::geometryChangeRequested, view, [view](const QRect& geometry) {
        if (geometry.isValid()) view->setGeometry(geometry);
    });
    view->resize(800, 600);
    view->show();
    return page;
}

QWebEnginePage* PopupPage::createWindow(WebWindowType) { return openPopupWindow(profile()); }

// Counts how deep the pane is inside its own event delivery, so that a handler that
// destroys the pane does not pull the page out from under the engine's call.
class DispatchGuard {
public:
    explicit DispatchGuard(int& depth) : m_depth(depth) { ++m_depth; }
    ~DispatchGuard() { --m_depth; }
    DispatchGuard(const DispatchGuard&) = delete;
    DispatchGuard& operator=(const DispatchGuard&) = delete;

private:
    int& m_depth;
};

int g_dispatchDepth = 0;  // UI thread only

}  // namespace

class PanePage : public QWebEnginePage {
public:
    PanePage(BrowserPane* pane, QObject* parent) : QWebEnginePage(parent), m_pane(pane) {
        m_interceptor = new OfflineInterceptor(this);
        setUrlRequestInterceptor(m_interceptor);
        installFrameScripts(scripts());
    }

    void setOffline(bool offline) { m_interceptor->setOffline(offline); }
    void detach() { m_pane = nullptr; }

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType, bool isMainFrame) override {
        if (!m_pane) return true;
        DispatchGuard guard(g_dispatchDepth);
        return m_pane->relayBeforeNavigate(url.toString(), isMainFrame);
    }

    QWebEnginePage* createWindow(WebWindowType) override {
        if (m_pane) {
            DispatchGuard guard(g_dispatchDepth);
            QPointer<PanePage> alive(this);
            const bool allow = m_pane->relayNewWindow();
            if (!alive || !allow) return nullptr;
        }
        return openPopupWindow(profile());
    }

    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString& message, int,
                                  const QString& sourceId) override {
        if (!m_pane) return;
        if (sourceId == QStringLiteral("userscript:") + kAgentScriptName) {
            const QString report = ownReport(message, kAgentReportPrefix);
            if (report.isEmpty()) return;
            DispatchGuard guard(g_dispatchDepth);
            emit m_pane->AgentReport(this, report);
            return;
        }
        if (sourceId != QStringLiteral("userscript:") + kFrameScriptName) return;
        // tmbl-frame:<secret>:<kind>:<top 1|0>:<address>
        const QString rest = ownReport(message, kFrameReportPrefix);
        const qsizetype kindEnd = rest.indexOf(u':');
        if (kindEnd < 0 || rest.size() < kindEnd + 3) return;
        const QString kind = rest.left(kindEnd);
        const bool top = rest.at(kindEnd + 1) == u'1';
        const QString address = rest.mid(kindEnd + 3);
        DispatchGuard guard(g_dispatchDepth);
        if (kind == u"navigated") {
            m_pane->relayNavigateComplete(top, address);
        } else if (kind == u"ready") {
            m_pane->relayFrameComplete(top, address);
        }
    }

    void javaScriptAlert(const QUrl& origin, const QString& text) override {
        if (m_pane && m_pane->Silent()) return;
        QWebEnginePage::javaScriptAlert(origin, text);
    }
    bool javaScriptConfirm(const QUrl& origin, const QString& text) override {
        if (m_pane && m_pane->Silent()) return false;
        return QWebEnginePage::javaScriptConfirm(origin, text);
    }
    bool javaScriptPrompt(const QUrl& origin, const QString& text, const QString& initial, QString* result) override {
        if (m_pane && m_pane->Silent()) return false;
        return QWebEnginePage::javaScriptPrompt(origin, text, initial, result);
    }

private:
    BrowserPane* m_pane;
    OfflineInterceptor* m_interceptor = nullptr;
};

BrowserPane::BrowserPane(QWidget* parent, const QString& homeUrl) : QWidget(parent), m_homeUrl(homeUrl) {
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    setAutoFillBackground(true);
    QPalette background = palette();
    background.setColor(QPalette::Window, Qt::white);
    setPalette(background);

    m_view = new QWebEngineView(this);
    m_page = new PanePage(this, m_view);
    m_view->setPage(m_page);
    m_view->setGeometry(rect());
    setFocusProxy(m_view);

    connect(m_page, &QWebEnginePage::loadStarted, this, [this] {
        DispatchGuard guard(g_dispatchDepth);
        emit DownloadBegin();
    });
    connect(m_page, &QWebEnginePage::loadProgress, this, [this](int percent) {
        DispatchGuard guard(g_dispatchDepth);
        emit ProgressChange(std::clamp(percent, 0, 100));
    });
    connect(m_page, &QWebEnginePage::loadFinished, this, [this](bool) {
        DispatchGuard guard(g_dispatchDepth);
        emit DownloadComplete();
    });
    connect(m_page, &QWebEnginePage::loadingChanged, this, &BrowserPane::onLoadingChanged);
    connect(m_page, &QWebEnginePage::titleChanged, this, &BrowserPane::onTitleChanged);
    connect(m_page, &QWebEnginePage::urlChanged, this, &BrowserPane::onUrlChanged);
    // A navigation the engine never takes up (a jump inside the page it does not
    // report, an address it drops) must not leave the pane unready for good.
    m_pendingLimit.setSingleShot(true);
    m_pendingLimit.setInterval(kPendingLimitMs);
    connect(&m_pendingLimit, &QTimer::timeout, this, [this] { m_navigationPending = false; });
    connect(m_page, &QWebEnginePage::linkHovered, this, [this](const QString& link) { setStatusText(link); });
    watchHistoryActions();

    // Zoom is applied once the engine has a page; until then the size is kept.
    applyZoom();
    if (!m_homeUrl.isEmpty()) navigate(m_homeUrl);
}

BrowserPane::~BrowserPane() {
    m_page->detach();
    if (g_dispatchDepth > 0) {
        // Destroyed by one of its own event handlers: the engine is still inside a call
        // on the page, so the page goes once that call has returned.
        m_view->setParent(nullptr);
        m_view->hide();
        m_view->deleteLater();
    }
}

int BrowserPane::FontSize() const { return m_fontSize; }

void BrowserPane::setFontSize(int size) {
    m_fontSize = std::clamp(size, 0, static_cast<int>(kZoomForFontSize.size()) - 1);
    applyZoom();
}

void BrowserPane::applyZoom() { m_view->setZoomFactor(kZoomForFontSize[static_cast<size_t>(m_fontSize)]); }

bool BrowserPane::Offline() const { return m_offline; }

void BrowserPane::setOffline(bool offline) {
    m_offline = offline;
    m_page->setOffline(offline);
}

bool BrowserPane::Silent() const { return m_silent; }

void BrowserPane::setSilent(bool silent) { m_silent = silent; }

QString BrowserPane::url() const {
    if (m_inNavigationEvent) return m_eventAddress;
    return m_view->url().toString();
}

void BrowserPane::setUrl(const QString& address) { navigate(address); }

void BrowserPane::expectNavigation(const QUrl& target) {
    // Like the browser's ready state, readiness drops the moment a navigation is asked
    // for: the document still shown, or one of an earlier navigation still arriving,
    // is not the one the caller is waiting for.
    m_navigationPending = true;
    m_pendingAddress = target.toString();
    m_pendingLimit.start();
}

bool BrowserPane::isPendingDocument(const QString& address) const {
    if (m_pendingAddress.isEmpty()) return false;
    return QUrl(address).adjusted(QUrl::RemoveFragment) == QUrl(m_pendingAddress).adjusted(QUrl::RemoveFragment);
}

void BrowserPane::navigationBegun() {
    m_navigationPending = false;
    m_pendingLimit.stop();
}

void BrowserPane::navigate(const QString& address) {
    const QString trimmed = address.trimmed();
    QUrl target(QStringLiteral("about:blank"));
    if (!trimmed.isEmpty()) {
        target = QUrl(trimmed, QUrl::StrictMode);
        if (!target.isValid() || target.scheme().isEmpty() || target.scheme().size() == 1) {
            // No scheme (or a drive-letter-like one): let the engine's own guess decide.
            target = QUrl::fromUserInput(trimmed);
        }
    }
    // The engine drops addresses it cannot navigate to without a word; waiting for
    // those would only leave the pane unready until the limit.
    const bool networkScheme = target.scheme() == u"http" || target.scheme() == u"https" || target.scheme() == u"ftp";
    const bool navigable =
        target.isValid() && !(networkScheme && target.host().isEmpty()) && target.scheme() != u"javascript";
    if (navigable) expectNavigation(target);
    m_view->load(target);
}

QString BrowserPane::StatusText() const { return m_statusText; }

QString BrowserPane::Caption() const {
    if (m_inTitleEvent) return m_eventTitle;
    return m_view->title();
}

bool BrowserPane::IsReady() const { return m_documentComplete && !m_navigationPending; }

QWidget* BrowserPane::WindowHandle() { return this; }

QWebEngineView* BrowserPane::view() const { return m_view; }

QWebEnginePage* BrowserPane::currentPage() const { return m_page; }

QString BrowserPane::homeUrl() const { return m_homeUrl; }

void BrowserPane::resizeEvent(QResizeEvent* event) {
    m_view->setGeometry(0, 0, event->size().width(), event->size().height());
    QWidget::resizeEvent(event);
}

void BrowserPane::BrowseCommand(int command) {
    switch (command) {
        case 0:
            if (m_page->action(QWebEnginePage::Forward)->isEnabled()) expectNavigation({});
            m_view->forward();
            break;
        case 1:
            if (m_page->action(QWebEnginePage::Back)->isEnabled()) expectNavigation({});
            m_view->back();
            break;
        case 2:
        case 3:
            // There is no search page of our own: search goes home, as home does.
            if (!m_homeUrl.isEmpty()) navigate(m_homeUrl);
            break;
        case 4:
            if (hasDocument()) expectNavigation(m_view->url());
            m_view->reload();
            break;
        case 5:
            navigationBegun();
            m_view->stop();
            break;
        case 6:
            saveAs();
            break;
        case 7:
            printPage();
            break;
        case 8:
            printPreview();
            break;
        case 9:
            pageSetup();
            break;
        default:
            break;
    }
}

bool BrowserPane::hasDocument() const {
    const QUrl current = m_view->url();
    return !current.isEmpty() && current != QUrl(QStringLiteral("about:blank"));
}

QPrinter& BrowserPane::printer() {
    if (!m_printer) m_printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
    return *m_printer;
}

void BrowserPane::saveAs() {
    if (!hasDocument()) return;
    QString suggested = m_view->title().trimmed();
    suggested.replace(u'/', u'_');
    if (suggested.isEmpty()) suggested = QStringLiteral("网页");
    const QString file =
        QFileDialog::getSaveFileName(this, QStringLiteral("保存网页"), suggested + QStringLiteral(".mhtml"),
                                     QStringLiteral("网页，单个文件 (*.mhtml);;网页，全部 (*.html *.htm)"));
    if (file.isEmpty()) return;
    const bool single = file.endsWith(QStringLiteral(".mhtml"), Qt::CaseInsensitive);
    m_page->save(file, single ? QWebEngineDownloadRequest::MimeHtmlSaveFormat
                              : QWebEngineDownloadRequest::CompleteHtmlSaveFormat);
}

void BrowserPane::printPage() {
    if (!hasDocument()) return;
    QPrintDialog dialog(&printer(), this);
    if (dialog.exec() != QDialog::Accepted) return;
    m_view->print(&printer());  // asynchronous; the printer is a member and outlives it
}

void BrowserPane::printPreview() {
    if (!hasDocument()) return;
    QPrintPreviewDialog preview(&printer(), this);
    connect(&preview, &QPrintPreviewDialog::paintRequested, this, [this](QPrinter* target) {
        // The preview paints synchronously while the engine prints asynchronously.
        QEventLoop wait;
        connect(m_view, &QWebEngineView::printFinished, &wait, &QEventLoop::quit);
        m_view->print(target);
        wait.exec();
    });
    preview.exec();
}

void BrowserPane::pageSetup() {
    if (!hasDocument()) return;
    QPageSetupDialog dialog(&printer(), this);
    dialog.exec();
}

// --- event relay -------------------------------------------------------------------

bool BrowserPane::relayBeforeNavigate(const QString& address, bool topFrame) {
    QPointer<BrowserPane> alive(this);
    const bool wasIn = m_inNavigationEvent;
    const QString previous = m_eventAddress;
    m_inNavigationEvent = true;
    m_eventAddress = address;
    bool proceed = true;
    emit BeforeNavigate(&proceed);
    if (alive) {
        m_inNavigationEvent = wasIn;
        m_eventAddress = previous;
        if (topFrame && m_navigationPending) {
            // Refused, the shown document stays; allowed, this is the address (after any
            // redirect) whose document ends the wait.
            if (!proceed) {
                navigationBegun();
            } else {
                m_pendingAddress = address;
            }
        }
    }
    return proceed;
}

bool BrowserPane::isErrorDocument(const QString& address) {
    return address.startsWith(QStringLiteral("chrome-error:"));
}

void BrowserPane::relayNavigateComplete(bool topFrame, const QString& reported) {
    QString address = reported;
    if (topFrame) {
        // A failed load shows the engine's own error document; callers want the address
        // that failed, as the browser's location shows it.
        if (isErrorDocument(reported)) {
            address = m_navigationPending && !m_pendingAddress.isEmpty() ? m_pendingAddress : m_loadingAddress;
        }
        // A new top document: it is not complete until it says so. The engine may run
        // a new load inside an unfinished one without announcing a start, so this, not
        // the load start, is what resets the state.
        m_topNavigatedThisLoad = true;
        m_topReportedThisLoad = false;
        m_documentComplete = false;
        m_documentAddress = address;
        if (m_navigationPending && (isErrorDocument(reported) || isPendingDocument(address))) navigationBegun();
    }
    QPointer<BrowserPane> alive(this);
    const bool wasIn = m_inNavigationEvent;
    const QString previous = m_eventAddress;
    m_inNavigationEvent = true;
    m_eventAddress = address;
    emit NavigateComplete();
    if (alive) {
        m_inNavigationEvent = wasIn;
        m_eventAddress = previous;
    }
}

bool BrowserPane::relayNewWindow() {
    bool allow = true;
    emit NewWindow(&allow);
    return allow;
}

void BrowserPane::relayFrameComplete(bool topFrame, const QString& address) {
    if (topFrame) {
        if (m_topReportedThisLoad) return;  // already reported for this load
        m_topReportedThisLoad = true;
        m_documentComplete = true;
    }
    relayDocumentReady(topFrame && isErrorDocument(address) ? m_documentAddress : address);
}

void BrowserPane::relayDocumentReady(const QString& address) {
    QPointer<BrowserPane> alive(this);
    const bool wasIn = m_inNavigationEvent;
    const QString previous = m_eventAddress;
    m_inNavigationEvent = true;
    m_eventAddress = address;
    emit DocumentReady();
    if (alive) {
        m_inNavigationEvent = wasIn;
        m_eventAddress = previous;
    }
}

void BrowserPane::onLoadingChanged(const QWebEngineLoadingInfo& info) {
    DispatchGuard guard(g_dispatchDepth);
    QPointer<BrowserPane> alive(this);
    const QString address = info.url().toString();
    switch (info.status()) {
        case QWebEngineLoadingInfo::LoadStartedStatus:
            navigationBegun();
            m_documentComplete = false;
            m_topReportedThisLoad = false;
            m_topNavigatedThisLoad = false;
            m_loadingAddress = address;
            setStatusText(kStatusOpening.arg(address));
            break;
        case QWebEngineLoadingInfo::LoadStoppedStatus:
            // The end of an earlier load may be reported after a newer one began.
            if (address == m_loadingAddress) m_documentComplete = true;
            break;
        case QWebEngineLoadingInfo::LoadSucceededStatus:
        case QWebEngineLoadingInfo::LoadFailedStatus: {
            const bool failed = info.status() == QWebEngineLoadingInfo::LoadFailedStatus;
            if (failed && info.errorCode() == kAbortedErrorCode) {
                if (address == m_loadingAddress) m_documentComplete = true;
                break;
            }
            // Documents our script cannot enter (error pages, some file types) still end
            // their load: report them here so every finished document is seen once.
            if (!m_topNavigatedThisLoad) {
                relayNavigateComplete(true, address);
                if (!alive) return;
            }
            if (!m_topReportedThisLoad) {
                relayFrameComplete(true, address);
                if (!alive) return;
            }
            m_documentComplete = true;
            setStatusText(failed ? kStatusFailed.arg(address) : kStatusDone);
            break;
        }
    }
}

void BrowserPane::onUrlChanged(const QUrl& address) {
    // A jump to another place in the same document loads nothing: the document that
    // was complete stays complete.
    const QUrl shown(m_documentAddress);
    if (m_navigationPending && shown.isValid() &&
        address.adjusted(QUrl::RemoveFragment) == shown.adjusted(QUrl::RemoveFragment)) {
        navigationBegun();
    }
}

void BrowserPane::onTitleChanged(const QString& title) {
    DispatchGuard guard(g_dispatchDepth);
    QPointer<BrowserPane> alive(this);
    const bool wasIn = m_inTitleEvent;
    const QString previous = m_eventTitle;
    m_inTitleEvent = true;
    m_eventTitle = title;
    emit TitleChange();
    if (alive) {
        m_inTitleEvent = wasIn;
        m_eventTitle = previous;
    }
}

void BrowserPane::setStatusText(const QString& text) {
    DispatchGuard guard(g_dispatchDepth);
    m_statusText = text;
    emit StatusTextChange();
}

void BrowserPane::watchHistoryActions() {
    QAction* back = m_page->action(QWebEnginePage::Back);
    QAction* forward = m_page->action(QWebEnginePage::Forward);
    m_canGoBack = back->isEnabled();
    m_canGoForward = forward->isEnabled();
    // Only the enabled state of forward (0) and back (1) is passed on, and only when it changes.
    connect(back, &QAction::changed, this, [this, back] {
        if (back->isEnabled() == m_canGoBack) return;
        m_canGoBack = back->isEnabled();
        DispatchGuard guard(g_dispatchDepth);
        emit CommandStateChange(1, m_canGoBack);
    });
    connect(forward, &QAction::changed, this, [this, forward] {
        if (forward->isEnabled() == m_canGoForward) return;
        m_canGoForward = forward->isEnabled();
        DispatchGuard guard(g_dispatchDepth);
        emit CommandStateChange(0, m_canGoForward);
    });
}

}  // namespace login
