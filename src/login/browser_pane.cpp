#include "login/browser_pane.h"

#include <malloc.h>

#include <QAction>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QHash>
#include <QNetworkCookie>
#include <QPageSetupDialog>
#include <QPointer>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QRandomGenerator>
#include <QResizeEvent>
#include <QSet>
#include <QWebEngineCookieStore>
#include <QWebEngineDownloadRequest>
#include <QWebEngineLoadingInfo>
#include <QWebEngineNotification>
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
#include <mutex>
#include <utility>

#include "login/download_saver.h"
#include "login/session_files.h"
#include "login/web_origin.h"

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
        // Whether the document offers a password field tells a login form from a page
        // a still-valid session was let through to.
        if (document.querySelector('input[type="password" i]')) say('password');
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
const QString kSessionsHeldElsewhere =
    QStringLiteral("提示信息：另一个正在运行的云梭邮盒在使用邮箱会话，本窗口的网页不保存登录状态。");
const QString kSessionsUnusable = QStringLiteral("提示信息：会话文件夹无法使用，本窗口的网页不保存登录状态。");

constexpr int kPendingLimitMs = 10000;
constexpr int kAbortedErrorCode = -3;  // the engine's "navigation aborted" (superseded or cancelled)

// Every request of a page passes here. While Offline is set nothing is fetched from the
// network (local pages still load). It also notes when each origin last sent something
// that may carry what a click submits: a form post, a fetch, a beacon, a navigation.
class PageInterceptor : public QWebEngineUrlRequestInterceptor {
public:
    explicit PageInterceptor(QObject* parent) : QWebEngineUrlRequestInterceptor(parent) { m_clock.start(); }
    void setOffline(bool offline) { m_offline = offline; }
    void interceptRequest(QWebEngineUrlRequestInfo& info) override {
        if (maySubmit(info)) {
            const QString from = originOf(info.initiator());
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_lastSending.insert(from, m_clock.elapsed());
        }
        if (!m_offline) return;
        const QString scheme = info.requestUrl().scheme();
        if (scheme == u"http" || scheme == u"https" || scheme == u"ftp" || scheme == u"ws" || scheme == u"wss") {
            info.block(true);
        }
    }
    bool sentWithin(const QString& origin, qint64 milliseconds) const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_lastSending.constFind(origin);
        return found != m_lastSending.constEnd() && m_clock.elapsed() - *found <= milliseconds;
    }

private:
    static bool maySubmit(const QWebEngineUrlRequestInfo& info) {
        switch (info.resourceType()) {
            case QWebEngineUrlRequestInfo::ResourceTypeMainFrame:
            case QWebEngineUrlRequestInfo::ResourceTypeSubFrame:
            case QWebEngineUrlRequestInfo::ResourceTypeXhr:
            case QWebEngineUrlRequestInfo::ResourceTypePing:
                return true;
            default:
                return info.requestMethod() == "POST";
        }
    }

    std::atomic<bool> m_offline{false};
    QElapsedTimer m_clock;
    mutable std::mutex m_mutex;
    QHash<QString, qint64> m_lastSending;
};

// A page opened by an allowed new-window request: a plain browser window of its own,
// which may open further windows freely.
class PopupPage : public QWebEnginePage {
public:
    using QWebEnginePage::QWebEnginePage;

protected:
    QWebEnginePage* createWindow(WebWindowType) override;
};

// The windows opened from each session; a session may not end while one still runs in it.
QHash<QWebEngineProfile*, QList<QPointer<QWebEngineView>>>& popupsBySession() {
    static QHash<QWebEngineProfile*, QList<QPointer<QWebEngineView>>> popups;
    return popups;
}

bool hasPopups(QWebEngineProfile* profile) {
    QList<QPointer<QWebEngineView>>& views = popupsBySession()[profile];
    views.removeAll(nullptr);
    return !views.isEmpty();
}

void closePopupsOf(QWebEngineProfile* profile) {
    const QList<QPointer<QWebEngineView>> views = popupsBySession().take(profile);
    for (const QPointer<QWebEngineView>& view : views) delete view.data();
}

QWebEnginePage* openPopupWindow(QWebEngineProfile* profile) {
    auto* view = new QWebEngineView;
    view->setAttribute(Qt::WA_DeleteOnClose);
    popupsBySession()[profile].append(view);
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

// What the pane knows about one page's top document and its loads.
struct PageTrack {
    bool documentComplete = false;   // the top document reported its end
    bool navigationPending = false;  // a navigation was asked for and has not begun
    QString pendingAddress;          // the address whose document ends the wait, when known
    QTimer pendingLimit;
    QString documentAddress;  // the top document
    bool topReportedThisLoad = false;
    bool topNavigatedThisLoad = false;
    bool passwordField = false;  // a frame of the document offers a password field
    QString loadingAddress;      // the address of the current top-level load
    bool canGoBack = false;
    bool canGoForward = false;
    QString statusText;
};

namespace {

void navigationBegun(PageTrack& track) {
    track.navigationPending = false;
    track.pendingLimit.stop();
}

bool isPendingDocument(const PageTrack& track, const QString& address) {
    if (track.pendingAddress.isEmpty()) return false;
    return QUrl(address).adjusted(QUrl::RemoveFragment) == QUrl(track.pendingAddress).adjusted(QUrl::RemoveFragment);
}

}  // namespace

class PanePage : public QWebEnginePage {
public:
    PanePage(BrowserPane* pane, int index, QWebEngineProfile* profile, QObject* parent)
        : QWebEnginePage(profile, parent), m_pane(pane), m_index(index) {
        prepare();
    }

    void setOffline(bool offline) { m_interceptor->setOffline(offline); }
    bool sentWithin(const QString& origin, qint64 milliseconds) const {
        return m_interceptor->sentWithin(origin, milliseconds);
    }
    void detach() { m_pane = nullptr; }
    int index() const { return m_index; }

    PageTrack track;

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType, bool isMainFrame) override {
        if (!m_pane) return true;
        DispatchGuard guard(g_dispatchDepth);
        return m_pane->relayBeforeNavigate(this, url.toString(), isMainFrame);
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
            m_pane->relayNavigateComplete(this, top, address);
        } else if (kind == u"password") {
            m_sawPasswordField = true;
        } else if (kind == u"ready") {
            const bool password = m_sawPasswordField;
            m_sawPasswordField = false;
            m_pane->relayFrameComplete(this, top, address, password);
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
    // The one place where a page of the pane gets its scripts and request filter:
    // every page, whatever mailbox it serves, is prepared here.
    void prepare() {
        m_interceptor = new PageInterceptor(this);
        setUrlRequestInterceptor(m_interceptor);
        installFrameScripts(scripts());
    }

    BrowserPane* m_pane;
    int m_index;
    PageInterceptor* m_interceptor = nullptr;
    bool m_sawPasswordField = false;  // a password report arrives just before its ready report
};

// One page of the pane with the session it runs in.
struct PageSlot {
    PanePage* page = nullptr;
    QWebEngineProfile* profile = nullptr;
    quint64 lastShown = 0;
    bool opened = false;  // navigated since it was created or last discarded
    QTimer freezeTimer;
    QSet<QString> cookies;  // domain, path and name of every cookie the session holds
    PermissionAnswer notifications = PermissionAnswer::Unasked;
    bool answerRead = false;
    bool questionPending = false;
    QList<QUrl> waitingOrigins;  // notification requests waiting for the user's answer
};

namespace {

QString cookieKey(const QNetworkCookie& cookie) {
    return cookie.domain() + u'\n' + cookie.path() + u'\n' + QString::fromLatin1(cookie.name());
}

// Whether a cookie set for domain (as the engine reports it, maybe with a leading dot)
// belongs to the site of host.
bool cookieForHost(QString domain, const QString& host) {
    if (domain.startsWith(u'.')) domain.remove(0, 1);
    domain = domain.toLower();
    const QString h = host.toLower();
    if (domain.isEmpty() || h.isEmpty()) return false;
    return h == domain || h.endsWith(u'.' + domain) || domain.endsWith(u'.' + h);
}

// Whether the cookie file of a kept session names host or one of its parent domains.
bool cookieFileNames(const QString& folder, const QString& host) {
    if (folder.isEmpty() || host.isEmpty()) return false;
    QFile file(QDir(folder).filePath(QStringLiteral("Cookies")));
    constexpr qint64 kMostRead = 16 << 20;  // a cookie file of a few mailboxes is far smaller
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMostRead) return false;
    const QByteArray content = file.readAll();
    QString domain = host.toLower();
    // The host itself, then each parent with at least two labels (mail.x.com, x.com).
    while (domain.count(u'.') >= 1) {
        if (content.contains(domain.toUtf8())) return true;
        domain = domain.section(u'.', 1);
    }
    return false;
}

// Pages, sessions and the view that shows them, destroyed in that order once the
// engine call that destroyed the pane has returned.
class Remains : public QObject {
public:
    QWebEngineView* view = nullptr;
    QList<QWebEnginePage*> pages;
    QList<QWebEngineProfile*> profiles;
    ~Remains() override {
        delete view;
        qDeleteAll(pages);
        qDeleteAll(profiles);
    }
};

}  // namespace

BrowserPane::BrowserPane(QWidget* parent, const QString& homeUrl, const QString& profilesFolder)
    : QWidget(parent), m_homeUrl(homeUrl) {
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    setAutoFillBackground(true);
    QPalette background = palette();
    background.setColor(QPalette::Window, Qt::white);
    setPalette(background);

    m_requestedProfiles = profilesFolder;
    m_downloads = new DownloadSaver(this);

    m_view = new QWebEngineView(this);
    m_view->setGeometry(rect());
    setFocusProxy(m_view);
    showPage(kHomePage);

    // Zoom is applied once the engine has a page; until then the size is kept.
    applyZoom();
    if (!m_homeUrl.isEmpty()) navigate(m_homeUrl);
}

BrowserPane::~BrowserPane() {
    auto* remains = new Remains;
    remains->view = m_view;
    for (auto& s : m_slots) {
        if (!s) continue;
        if (s->page) {
            s->page->detach();
            s->page->disconnect(this);
            remains->pages.append(s->page);
        }
        if (s->profile) {
            closePopupsOf(s->profile);
            remains->profiles.append(s->profile);
        }
    }
    m_view->setParent(nullptr);
    for (QWebEnginePage* page : remains->pages) page->setParent(nullptr);
    for (QWebEngineProfile* profile : remains->profiles) profile->setParent(nullptr);
    if (g_dispatchDepth > 0) {
        // Destroyed by one of its own event handlers: the engine is still inside a call
        // on a page, so the pages go once that call has returned.
        m_view->hide();
        remains->deleteLater();
    } else {
        delete remains;
    }
}

PageSlot& BrowserPane::slot(int n) {
    auto& s = m_slots[static_cast<size_t>(n)];
    if (!s) {
        s = std::make_unique<PageSlot>();
        s->freezeTimer.setSingleShot(true);
        connect(&s->freezeTimer, &QTimer::timeout, this, [this, n] { freezeIfIdle(n); });
    }
    return *s;
}

void BrowserPane::takeProfilesFolder() {
    // Taken with the first mailbox page, not before: a program that stops at start
    // (no database) leaves nothing behind.
    if (m_profilesTried || m_requestedProfiles.isEmpty()) return;
    m_profilesTried = true;
    m_lock = std::make_unique<ProfileLock>(m_requestedProfiles);
    if (m_lock->held()) {
        m_profilesFolder = m_requestedProfiles;
    } else {
        m_sessionNotice = m_lock->heldElsewhere() ? kSessionsHeldElsewhere : kSessionsUnusable;
        m_lock.reset();
    }
}

QString BrowserPane::profileFolderOf(int n) const {
    // The home page shows the program's own pages; it needs no session that outlives it.
    if (m_profilesFolder.isEmpty() || n <= kHomePage || n >= kPageCount) return {};
    return QDir(m_profilesFolder).filePath(QString::number(n));
}

bool BrowserPane::sessionsKept() const { return !m_profilesFolder.isEmpty(); }

QString BrowserPane::sessionNotice() const { return m_sessionNotice; }

QWebEngineProfile* BrowserPane::createProfile(int n) {
    if (n != kHomePage) takeProfilesFolder();
    const QString folder = profileFolderOf(n);
    QWebEngineProfile* profile = nullptr;
    if (!folder.isEmpty() && makeOwnerOnlyFolder(folder)) {
        // Storage names are unique within the process; the folder makes them unique
        // between panes over different profile folders.
        const QString tag = QString::fromLatin1(
            QCryptographicHash::hash(QFile::encodeName(folder), QCryptographicHash::Sha1).toHex().left(12));
        profile = new QWebEngineProfile(QStringLiteral("tmbl-%1-%2").arg(n).arg(tag), this);
        profile->setPersistentStoragePath(folder);
        profile->setCachePath(QDir(folder).filePath(QStringLiteral("cache")));
        profile->setHttpCacheType(QWebEngineProfile::DiskHttpCache);
        // Web mail often logs in with session cookies; kept sessions must survive a restart.
        profile->setPersistentCookiesPolicy(QWebEngineProfile::ForcePersistentCookies);
    } else {
        profile = new QWebEngineProfile(this);  // off the record, still a session of its own
    }
    PageSlot& s = slot(n);
    QWebEngineCookieStore* store = profile->cookieStore();
    connect(store, &QWebEngineCookieStore::cookieAdded, this,
            [&s](const QNetworkCookie& cookie) { s.cookies.insert(cookieKey(cookie)); });
    connect(store, &QWebEngineCookieStore::cookieRemoved, this,
            [&s](const QNetworkCookie& cookie) { s.cookies.remove(cookieKey(cookie)); });
    store->loadAllCookies();
    connect(profile, &QWebEngineProfile::downloadRequested, m_downloads, &DownloadSaver::take);
    profile->setNotificationPresenter([this, n](std::unique_ptr<QWebEngineNotification> notification) {
        presentNotification(n, std::move(notification));
    });
    return profile;
}

PanePage* BrowserPane::createPage(int n) {
    PageSlot& s = slot(n);
    if (!s.profile) s.profile = createProfile(n);
    auto* page = new PanePage(this, n, s.profile, this);
    s.page = page;
    s.opened = false;
    page->setOffline(m_offline);
    PageTrack& t = page->track;

    connect(page, &QWebEnginePage::loadStarted, this, [this, page] {
        if (page != m_page) return;
        DispatchGuard guard(g_dispatchDepth);
        emit DownloadBegin();
    });
    connect(page, &QWebEnginePage::loadProgress, this, [this, page](int percent) {
        if (page != m_page) return;
        DispatchGuard guard(g_dispatchDepth);
        emit ProgressChange(std::clamp(percent, 0, 100));
    });
    connect(page, &QWebEnginePage::loadFinished, this, [this, page](bool) {
        if (page != m_page) return;
        DispatchGuard guard(g_dispatchDepth);
        emit DownloadComplete();
    });
    connect(page, &QWebEnginePage::loadingChanged, this,
            [this, page](const QWebEngineLoadingInfo& info) { onLoadingChanged(page, info); });
    connect(page, &QWebEnginePage::titleChanged, this,
            [this, page](const QString& title) { onTitleChanged(page, title); });
    connect(page, &QWebEnginePage::urlChanged, this,
            [this, page](const QUrl& address) { onUrlChanged(page, address); });
    // A navigation the engine never takes up (a jump inside the page it does not
    // report, an address it drops) must not leave the pane unready for good.
    t.pendingLimit.setSingleShot(true);
    t.pendingLimit.setInterval(kPendingLimitMs);
    connect(&t.pendingLimit, &QTimer::timeout, this, [&t] { t.navigationPending = false; });
    connect(page, &QWebEnginePage::linkHovered, this, [this, page](const QString& link) { setStatusText(page, link); });
    connect(page, &QWebEnginePage::featurePermissionRequested, this,
            [this, n](const QUrl& origin, QWebEnginePage::Feature feature) {
                onFeatureRequest(n, origin, static_cast<int>(feature));
            });
    connect(page, &QWebEnginePage::recentlyAudibleChanged, this, [this, n](bool audible) {
        if (!audible && n != m_shown) scheduleFreeze(n);
    });
    watchHistoryActions(page);
    return page;
}

QWebEnginePage* BrowserPane::pageOf(int n) const {
    if (n < 0 || n >= kPageCount || !m_slots[static_cast<size_t>(n)]) return nullptr;
    return m_slots[static_cast<size_t>(n)]->page;
}

QWebEngineProfile* BrowserPane::profileOf(int n) const {
    if (n < 0 || n >= kPageCount || !m_slots[static_cast<size_t>(n)]) return nullptr;
    return m_slots[static_cast<size_t>(n)]->profile;
}

bool BrowserPane::isPageOpened(int n) const {
    if (n < 0 || n >= kPageCount || !m_slots[static_cast<size_t>(n)]) return false;
    const PageSlot& s = *m_slots[static_cast<size_t>(n)];
    return s.page && s.opened && s.page->lifecycleState() != QWebEnginePage::LifecycleState::Discarded;
}

void BrowserPane::showPage(int n) {
    if (n < 0 || n >= kPageCount) return;
    PageSlot& s = slot(n);
    if (!s.page) createPage(n);
    s.lastShown = ++m_showCounter;
    s.freezeTimer.stop();
    if (s.page == m_page) return;

    PanePage* previous = m_page;
    const int previousIndex = m_shown;
    m_shown = n;
    m_page = s.page;
    if (m_page->lifecycleState() == QWebEnginePage::LifecycleState::Discarded) s.opened = false;
    if (m_page->lifecycleState() != QWebEnginePage::LifecycleState::Active) {
        m_page->setLifecycleState(QWebEnginePage::LifecycleState::Active);
    }
    m_view->setPage(m_page);
    if (previous) {
        previous->setVisible(false);
        scheduleFreeze(previousIndex);
    }
    applyZoom();
    enforceLivePageLimit();

    // Everything the window shows about the page now follows the new one.
    QPointer<BrowserPane> alive(this);
    DispatchGuard guard(g_dispatchDepth);
    emit PageShown(n);
    if (!alive) return;
    emit StatusTextChange();
    if (!alive) return;
    onTitleChanged(m_page, m_page->title());
    if (!alive) return;
    emit CommandStateChange(1, m_page->track.canGoBack);
    if (!alive) return;
    emit CommandStateChange(0, m_page->track.canGoForward);
}

void BrowserPane::setLivePageLimit(int limit) {
    m_livePageLimit = std::max(1, limit);
    enforceLivePageLimit();
}

void BrowserPane::setFreezeDelay(int milliseconds) { m_freezeDelayMs = milliseconds; }

void BrowserPane::enforceLivePageLimit() {
    // Only pages that have loaded something hold an engine process worth giving back.
    QSet<int> refused;
    for (;;) {
        int live = 0;
        int oldest = -1;
        for (int n = 0; n < kPageCount; ++n) {
            const auto& s = m_slots[static_cast<size_t>(n)];
            if (!s || !s->page || !s->opened) continue;
            if (s->page->lifecycleState() == QWebEnginePage::LifecycleState::Discarded) continue;
            ++live;
            if (n == m_shown || refused.contains(n)) continue;
            if (oldest < 0 || s->lastShown < m_slots[static_cast<size_t>(oldest)]->lastShown) oldest = n;
        }
        if (live <= m_livePageLimit || oldest < 0) return;
        PageSlot& s = slot(oldest);
        s.freezeTimer.stop();
        s.page->setLifecycleState(QWebEnginePage::LifecycleState::Discarded);
        if (s.page->lifecycleState() == QWebEnginePage::LifecycleState::Discarded) {
            s.opened = false;
            // The discarded page gave its engine process back; its session object goes
            // too (what it holds stays on disk) once the engine has let go of the page.
            QTimer::singleShot(0, this, [this, n = oldest] {
                PageSlot& gone = slot(n);
                // A window opened from the page keeps its session alive.
                if (n != m_shown && gone.page && !hasPopups(gone.profile) &&
                    gone.page->lifecycleState() == QWebEnginePage::LifecycleState::Discarded) {
                    releasePage(n);
                    // A session leaves a heap full of freed blocks behind; hand them back.
                    malloc_trim(0);
                }
            });
        } else {
            refused.insert(oldest);  // the engine keeps this one; the next oldest goes instead
        }
    }
}

void BrowserPane::scheduleFreeze(int n) {
    if (m_freezeDelayMs < 0 || n == m_shown) return;
    slot(n).freezeTimer.start(m_freezeDelayMs);
}

void BrowserPane::freezeIfIdle(int n) {
    PageSlot& s = slot(n);
    if (n == m_shown || !s.page || s.page->lifecycleState() != QWebEnginePage::LifecycleState::Active) return;
    // A page that plays sound or may announce new mail has to keep running.
    if (s.page->recentlyAudible() || s.notifications == PermissionAnswer::Allowed) return;
    s.page->setLifecycleState(QWebEnginePage::LifecycleState::Frozen);
}

void BrowserPane::releasePage(int n) {
    PageSlot& s = slot(n);
    s.freezeTimer.stop();
    if (s.profile) closePopupsOf(s.profile);
    if (s.page) {
        s.page->detach();
        s.page->disconnect(this);
    }
    if (s.profile) {
        s.profile->disconnect(this);
        s.profile->cookieStore()->disconnect(this);
    }
    if (g_dispatchDepth > 0) {
        // Inside the engine's own call: the page goes first, its session after it.
        if (s.page) s.page->deleteLater();
        if (s.profile) s.profile->deleteLater();
    } else {
        delete s.page;
        delete s.profile;
    }
    s.page = nullptr;
    s.profile = nullptr;
    s.cookies.clear();
    s.opened = false;
}

void BrowserPane::destroySlot(int n) {
    releasePage(n);
    PageSlot& s = slot(n);
    s.notifications = PermissionAnswer::Unasked;
    s.answerRead = false;
    s.questionPending = false;
    s.waitingOrigins.clear();
}

void BrowserPane::clearSession(int n) {
    if (n < 0 || n >= kPageCount) return;
    PageSlot& s = slot(n);
    const bool shown = n == m_shown;
    if (s.profile) {
        s.profile->cookieStore()->deleteAllCookies();
        s.profile->clearHttpCache();
    }
    if (shown) {
        // The view must never be left without a page (it would make an unprepared one
        // of its own); a blank one stands in while the session goes.
        auto* standIn = new QWebEnginePage(new QWebEngineProfile(m_view), m_view);
        m_view->setPage(standIn);
        m_page = nullptr;
    }
    destroySlot(n);
    const QString folder = profileFolderOf(n);
    if (!folder.isEmpty()) QDir(folder).removeRecursively();
    if (shown) {
        QWebEnginePage* standIn = m_view->page();
        showPage(n);
        QWebEngineProfile* standInProfile = standIn->profile();
        delete standIn;
        delete standInProfile;
    }
}

bool BrowserPane::holdsSessionFor(const QString& host) const {
    if (!m_page || m_page->track.passwordField) return false;
    const PageSlot& s = *m_slots[static_cast<size_t>(m_shown)];
    for (const QString& key : s.cookies) {
        if (cookieForHost(key.section(u'\n', 0, 0), host)) return true;
    }
    // The engine reports the cookies a session brought from disk by no signal (measured:
    // none after a restart, loadAllCookies or not), so the session's own cookie file
    // answers for them: its rows name each cookie's host in plain text.
    return cookieFileNames(profileFolderOf(m_shown), host);
}

bool BrowserPane::sentFromWithin(const QString& origin, qint64 milliseconds) const {
    return m_page && m_page->sentWithin(origin, milliseconds);
}

void BrowserPane::setDownloadFolder(const QString& folder) { m_downloads->setFolder(folder); }

bool BrowserPane::notificationsAllowed(int n) const {
    if (n < 0 || n >= kPageCount || !m_slots[static_cast<size_t>(n)]) return false;
    return m_slots[static_cast<size_t>(n)]->notifications == PermissionAnswer::Allowed;
}

void BrowserPane::onFeatureRequest(int n, const QUrl& origin, int feature) {
    PageSlot& s = slot(n);
    if (!s.page) return;
    const auto asked = static_cast<QWebEnginePage::Feature>(feature);
    if (asked != QWebEnginePage::Notifications) {
        // Camera, microphone, location, screen capture, pointer lock: never for a mail page.
        s.page->setFeaturePermission(origin, asked, QWebEnginePage::PermissionDeniedByUser);
        return;
    }
    if (!s.answerRead) {
        s.answerRead = true;
        const QString folder = profileFolderOf(n);
        if (!folder.isEmpty()) s.notifications = readNotificationAnswer(folder);
    }
    if (s.notifications != PermissionAnswer::Unasked) {
        s.page->setFeaturePermission(origin, asked,
                                     s.notifications == PermissionAnswer::Allowed
                                         ? QWebEnginePage::PermissionGrantedByUser
                                         : QWebEnginePage::PermissionDeniedByUser);
        return;
    }
    s.waitingOrigins.append(origin);
    if (s.questionPending) return;
    s.questionPending = true;
    // The question is a modal dialog; it is not shown from inside the engine's call.
    QTimer::singleShot(1, this, [this, n] { emit NotificationQuestion(n); });
}

void BrowserPane::answerNotificationQuestion(int n, bool allow) {
    if (n < 0 || n >= kPageCount) return;
    PageSlot& s = slot(n);
    s.questionPending = false;
    s.answerRead = true;
    s.notifications = allow ? PermissionAnswer::Allowed : PermissionAnswer::Refused;
    const QString folder = profileFolderOf(n);
    if (!folder.isEmpty()) (void)writeNotificationAnswer(folder, s.notifications);
    const QList<QUrl> origins = std::exchange(s.waitingOrigins, {});
    if (!s.page) return;
    for (const QUrl& origin : origins) {
        s.page->setFeaturePermission(
            origin, QWebEnginePage::Notifications,
            allow ? QWebEnginePage::PermissionGrantedByUser : QWebEnginePage::PermissionDeniedByUser);
    }
}

void BrowserPane::presentNotification(int n, std::unique_ptr<QWebEngineNotification> notification) {
    if (!notification || !notificationsAllowed(n)) return;
    notification->show();
    emit NotificationArrived(n, notification->title(), notification->message());
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
    for (auto& s : m_slots) {
        if (s && s->page) s->page->setOffline(offline);
    }
}

bool BrowserPane::Silent() const { return m_silent; }

void BrowserPane::setSilent(bool silent) { m_silent = silent; }

QString BrowserPane::url() const {
    if (m_inNavigationEvent) return m_eventAddress;
    return m_view->url().toString();
}

void BrowserPane::setUrl(const QString& address) { navigate(address); }

void BrowserPane::expectNavigation(PanePage* page, const QUrl& target) {
    // Like the browser's ready state, readiness drops the moment a navigation is asked
    // for: the document still shown, or one of an earlier navigation still arriving,
    // is not the one the caller is waiting for.
    PageTrack& t = page->track;
    t.navigationPending = true;
    t.pendingAddress = target.toString();
    t.pendingLimit.start();
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
    if (navigable) expectNavigation(m_page, target);
    slot(m_shown).opened = true;
    m_page->load(target);
    enforceLivePageLimit();  // this page may be one more with an engine process
}

QString BrowserPane::StatusText() const { return m_page ? m_page->track.statusText : QString(); }

QString BrowserPane::Caption() const {
    if (m_inTitleEvent) return m_eventTitle;
    return m_view->title();
}

bool BrowserPane::IsReady() const {
    return m_page && m_page->track.documentComplete && !m_page->track.navigationPending;
}

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
            if (m_page->action(QWebEnginePage::Forward)->isEnabled()) expectNavigation(m_page, {});
            m_page->triggerAction(QWebEnginePage::Forward);
            break;
        case 1:
            if (m_page->action(QWebEnginePage::Back)->isEnabled()) expectNavigation(m_page, {});
            m_page->triggerAction(QWebEnginePage::Back);
            break;
        case 2:
        case 3:
            // There is no search page of our own: search goes home, as home does.
            if (!m_homeUrl.isEmpty()) navigate(m_homeUrl);
            break;
        case 4:
            if (hasDocument()) expectNavigation(m_page, m_view->url());
            m_page->triggerAction(QWebEnginePage::Reload);
            break;
        case 5:
            navigationBegun(m_page->track);
            m_page->triggerAction(QWebEnginePage::Stop);
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

bool BrowserPane::relayBeforeNavigate(PanePage* page, const QString& address, bool topFrame) {
    PageTrack& t = page->track;
    bool proceed = true;
    if (page == m_page) {
        QPointer<BrowserPane> alive(this);
        const bool wasIn = m_inNavigationEvent;
        const QString previous = m_eventAddress;
        m_inNavigationEvent = true;
        m_eventAddress = address;
        emit BeforeNavigate(&proceed);
        if (!alive) return proceed;
        m_inNavigationEvent = wasIn;
        m_eventAddress = previous;
    }
    if (topFrame && t.navigationPending) {
        // Refused, the shown document stays; allowed, this is the address (after any
        // redirect) whose document ends the wait.
        if (!proceed) {
            navigationBegun(t);
        } else {
            t.pendingAddress = address;
        }
    }
    return proceed;
}

bool BrowserPane::isErrorDocument(const QString& address) {
    return address.startsWith(QStringLiteral("chrome-error:"));
}

void BrowserPane::relayNavigateComplete(PanePage* page, bool topFrame, const QString& reported) {
    PageTrack& t = page->track;
    QString address = reported;
    if (topFrame) {
        // A failed load shows the engine's own error document; callers want the address
        // that failed, as the browser's location shows it.
        if (isErrorDocument(reported)) {
            address = t.navigationPending && !t.pendingAddress.isEmpty() ? t.pendingAddress : t.loadingAddress;
        }
        // A new top document: it is not complete until it says so. The engine may run
        // a new load inside an unfinished one without announcing a start, so this, not
        // the load start, is what resets the state.
        t.topNavigatedThisLoad = true;
        t.topReportedThisLoad = false;
        t.documentComplete = false;
        t.passwordField = false;
        t.documentAddress = address;
        if (t.navigationPending && (isErrorDocument(reported) || isPendingDocument(t, address))) navigationBegun(t);
    }
    if (page != m_page) return;
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

void BrowserPane::relayFrameComplete(PanePage* page, bool topFrame, const QString& address, bool passwordField) {
    PageTrack& t = page->track;
    if (passwordField) t.passwordField = true;
    if (topFrame) {
        if (t.topReportedThisLoad) return;  // already reported for this load
        t.topReportedThisLoad = true;
        t.documentComplete = true;
    }
    if (page != m_page) return;
    relayDocumentReady(topFrame && isErrorDocument(address) ? t.documentAddress : address);
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

void BrowserPane::onLoadingChanged(PanePage* page, const QWebEngineLoadingInfo& info) {
    DispatchGuard guard(g_dispatchDepth);
    QPointer<BrowserPane> alive(this);
    QPointer<PanePage> pageAlive(page);
    PageTrack& t = page->track;
    const QString address = info.url().toString();
    switch (info.status()) {
        case QWebEngineLoadingInfo::LoadStartedStatus:
            navigationBegun(t);
            t.documentComplete = false;
            t.topReportedThisLoad = false;
            t.topNavigatedThisLoad = false;
            t.loadingAddress = address;
            setStatusText(page, kStatusOpening.arg(address));
            break;
        case QWebEngineLoadingInfo::LoadStoppedStatus:
            // The end of an earlier load may be reported after a newer one began.
            if (address == t.loadingAddress) t.documentComplete = true;
            break;
        case QWebEngineLoadingInfo::LoadSucceededStatus:
        case QWebEngineLoadingInfo::LoadFailedStatus: {
            const bool failed = info.status() == QWebEngineLoadingInfo::LoadFailedStatus;
            if (failed && info.errorCode() == kAbortedErrorCode) {
                if (address == t.loadingAddress) t.documentComplete = true;
                break;
            }
            // Documents our script cannot enter (error pages, some file types) still end
            // their load: report them here so every finished document is seen once.
            if (!t.topNavigatedThisLoad) {
                relayNavigateComplete(page, true, address);
                if (!alive || !pageAlive) return;
            }
            if (!t.topReportedThisLoad) {
                relayFrameComplete(page, true, address, false);
                if (!alive || !pageAlive) return;
            }
            t.documentComplete = true;
            setStatusText(page, failed ? kStatusFailed.arg(address) : kStatusDone);
            break;
        }
    }
}

void BrowserPane::onUrlChanged(PanePage* page, const QUrl& address) {
    // A jump to another place in the same document loads nothing: the document that
    // was complete stays complete.
    PageTrack& t = page->track;
    const QUrl shown(t.documentAddress);
    if (t.navigationPending && shown.isValid() &&
        address.adjusted(QUrl::RemoveFragment) == shown.adjusted(QUrl::RemoveFragment)) {
        navigationBegun(t);
    }
}

void BrowserPane::onTitleChanged(PanePage* page, const QString& title) {
    if (page != m_page) return;
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

void BrowserPane::setStatusText(PanePage* page, const QString& text) {
    page->track.statusText = text;
    if (page != m_page) return;
    DispatchGuard guard(g_dispatchDepth);
    emit StatusTextChange();
}

void BrowserPane::watchHistoryActions(PanePage* page) {
    QAction* back = page->action(QWebEnginePage::Back);
    QAction* forward = page->action(QWebEnginePage::Forward);
    PageTrack& t = page->track;
    t.canGoBack = back->isEnabled();
    t.canGoForward = forward->isEnabled();
    // Only the enabled state of forward (0) and back (1) is passed on, and only when it changes.
    connect(back, &QAction::changed, this, [this, back, page] {
        PageTrack& track = page->track;
        if (back->isEnabled() == track.canGoBack) return;
        track.canGoBack = back->isEnabled();
        if (page != m_page) return;
        DispatchGuard guard(g_dispatchDepth);
        emit CommandStateChange(1, track.canGoBack);
    });
    connect(forward, &QAction::changed, this, [this, forward, page] {
        PageTrack& track = page->track;
        if (forward->isEnabled() == track.canGoForward) return;
        track.canGoForward = forward->isEnabled();
        if (page != m_page) return;
        DispatchGuard guard(g_dispatchDepth);
        emit CommandStateChange(0, track.canGoForward);
    });
}

}  // namespace login
