// How long attaching to a page and scanning it takes for pages of 100 to 10,000
// elements, how many round trips into the page that costs, the time from the pane's
// DocumentReady to the click on a typical old login page, and on replicas of today's
// provider pages the time from the click to the credentials reaching the site, with the
// driver's own share of each step (field available to its first input).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineView>
#include <algorithm>
#include <functional>
#include <numeric>

#include "login/browser_pane.h"
#include "login/dispatch_call.h"
#include "login/login_driver.h"
#include "login/page_document.h"
#include "platform/gbk.h"
#include "records/mailbox_store.h"
#include "replica_pages.h"
#include "replica_proxy.h"

namespace {

// A form-like page with n elements of every kind the scanner sorts.
QString generatedPage(int n) {
    static const char* const pieces[] = {
        "<input type=text>",     "<input type=password>", "<input type=hidden>", "<input type=submit>",
        "<button>b</button>",    "<div>d</div>",          "<a href=#>a</a>",     "<select><option>o</option></select>",
        "<input type=checkbox>", "<span>s</span>"};
    QString body;
    for (int i = 0; i < n; ++i) body += QString::fromLatin1(pieces[i % std::size(pieces)]);
    return QStringLiteral("<html><body><form>%1</form></body></html>").arg(body);
}

bool loadInto(QWebEngineView* view, const QString& html) {
    QSignalSpy finished(view, &QWebEngineView::loadFinished);
    view->setHtml(html, QUrl(QStringLiteral("http://127.0.0.1/bench.html")));
    return finished.wait(30000);
}

void BM_AttachAndScan(benchmark::State& state) {
    QWidget window;
    auto* inner = new QWidget(&window);
    auto* layout = new QVBoxLayout(inner);
    auto* view = new QWebEngineView(inner);
    layout->addWidget(view);
    window.resize(800, 600);
    window.show();
    const int elements = static_cast<int>(state.range(0));
    if (!loadInto(view, generatedPage(elements))) {
        state.SkipWithError("page did not load");
        return;
    }
    login::PageDocument page;
    long long trips = 0;
    int listed = 0;
    for (auto _ : state) {
        const long long before = login::Bridge::roundTrips();
        if (!page.AttachToWindow(&window)) {
            state.SkipWithError("attach failed");
            return;
        }
        trips += login::Bridge::roundTrips() - before;
        listed = 0;
        for (int l = 0; l < login::PageDocument::kListCount; ++l)
            listed += page.count(static_cast<login::PageDocument::List>(l));
    }
    state.counters["round_trips"] = benchmark::Counter(static_cast<double>(trips), benchmark::Counter::kAvgIterations);
    state.counters["listed"] = listed;
}
BENCHMARK(BM_AttachAndScan)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

// DocumentReady to the click: the driver's whole attempt on a login page whose form
// keeps the page (the click is seen, nothing navigates away).
// The page of a typical old login form, loaded afresh before each timed attempt: from
// the pane's DocumentReady to the end of the attempt (the fill rule's click).
void BM_DocumentReadyToClick(benchmark::State& state) {
    std::vector<std::string> addresses(21, "http://127.0.0.1/login.html");
    records::setProviderAddresses(addresses);
    QWidget window;
    auto* pane = new login::BrowserPane(&window);
    pane->resize(800, 600);
    window.resize(800, 600);
    window.show();
    login::LoginDriver driver(pane, nullptr);
    const QString html = QStringLiteral(
        "<html><body><form onsubmit='event.preventDefault();window.clicks=(window.clicks||0)+1'>"
        "<input type=text name=u><input type=password name=p><input type=hidden name=h>"
        "<input type=checkbox><input type=submit value=Login></form><div><a href=#>help</a></div></body></html>");
    records::MailboxEntry entry;
    entry.userName = "user";
    entry.password = records::encodePassword("password");
    entry.type = records::providerTable().at(9).key;
    entry.loginKind = platform::utf8ToGbk("邮箱");
    bool finished = false;
    QObject::connect(&driver, &login::LoginDriver::loginFinished, [&] { finished = true; });
    for (auto _ : state) {
        if (!loadInto(pane->view(), html) || !QTest::qWaitFor([&] { return pane->IsReady(); }, 10000)) {
            state.SkipWithError("page did not load");
            break;
        }
        finished = false;
        QElapsedTimer timer;
        timer.start();
        driver.startLogin(entry);
        driver.onDocumentReady();
        while (!finished) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 1);
        state.SetIterationTime(static_cast<double>(timer.nsecsElapsed()) / 1e9);
    }
    records::setProviderAddresses({});
}
BENCHMARK(BM_DocumentReadyToClick)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

// ---- Today's login pages (the test replicas, under their real host names through the
// replica proxy)

login_test::ReplicaProxy* g_proxy = nullptr;

// Watches every frame of the page in the page's own world: when a field gets its first
// input, it reports when the field became available (the frame's load, or the last
// change of the document before the input, whichever is later) and when the input came.
// The top frame reports its load too: the driver starts only once the whole page is
// complete.
const QString kStepWatch = QStringLiteral(R"JS(
(function () {
  function now() { return performance.timeOrigin + performance.now(); }
  function beacon(query) { navigator.sendBeacon('https://bench.timing/t?' + query); }
  var loaded = 0, changed = 0, seen = new Set();
  addEventListener('load', function () {
    loaded = now();
    if (window.top === window) beacon('kind=load&at=' + loaded);
  });
  new MutationObserver(function () { changed = now(); }).observe(document, { childList: true, subtree: true,
    attributes: true });
  document.addEventListener('input', function (e) {
    if (seen.has(e.target)) return;
    seen.add(e.target);
    beacon('kind=input&ready=' + Math.max(loaded, changed) + '&at=' + now());
  }, true);
})();
)JS");

struct Replica {
    const char* name;
    const char* type;
    const char* user;
    std::function<void(login_test::Replicas&)> install;
};

// The driver's own time per step: from the later of the field becoming available and
// the top page's load before it, to the field's first input.
std::vector<double> ownStepTimes(const QList<login_test::Request>& beacons) {
    std::vector<double> steps;
    double topLoad = 0;
    for (const login_test::Request& b : beacons) {
        if (b.field("kind") == "load") topLoad = b.field("at").toDouble();
        if (b.field("kind") != "input") continue;
        const double at = b.field("at").toDouble();
        const double ready = std::max(b.field("ready").toDouble(), topLoad <= at ? topLoad : 0.0);
        steps.push_back(at - ready);
    }
    return steps;
}

void BM_ClickToSubmitted(benchmark::State& state, Replica replica) {
    login_test::Replicas replicas(*g_proxy);
    replica.install(replicas);
    g_proxy->page(QStringLiteral("https://home.tmbl.test"), QStringLiteral("/"), "<html><body>home</body></html>");
    QWidget window;
    auto* pane = new login::BrowserPane(&window);
    pane->resize(900, 600);
    window.resize(900, 600);
    window.show();
    QWebEngineScript watch;
    watch.setSourceCode(kStepWatch);
    watch.setInjectionPoint(QWebEngineScript::DocumentCreation);
    watch.setWorldId(QWebEngineScript::MainWorld);
    watch.setRunsOnSubFrames(true);
    pane->currentPage()->scripts().insert(watch);
    login::LoginDriver driver(pane, nullptr);
    QObject::connect(pane, &login::BrowserPane::DocumentReady, &driver, &login::LoginDriver::onDocumentReady,
                     Qt::DirectConnection);
    records::MailboxEntry entry;
    entry.userName = replica.user;
    entry.password = records::encodePassword(login_test::kPassword.toStdString());
    entry.type = replica.type;
    entry.loginKind = platform::utf8ToGbk("邮箱");
    const QString address = QString::fromStdString(*records::providerAddress(replica.type));
    std::vector<double> steps;
    for (auto _ : state) {
        pane->setUrl(QStringLiteral("https://home.tmbl.test/"));
        if (!QTest::qWaitFor([&] { return pane->IsReady(); }, 10000)) {
            state.SkipWithError("home page did not load");
            break;
        }
        g_proxy->clear();
        replicas.clear();
        QElapsedTimer timer;
        timer.start();
        pane->setUrl(address);
        driver.startLogin(entry);
        while (replicas.acceptedAt().isEmpty() && timer.elapsed() < 20000)
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 1);
        state.SetIterationTime(static_cast<double>(timer.nsecsElapsed()) / 1e9);
        if (replicas.acceptedAt().isEmpty()) {
            state.SkipWithError("the replica saw no login");
            break;
        }
        // The last step's timing report may still be on its way when the login arrives.
        QTest::qWait(200);
        const std::vector<double> own = ownStepTimes(g_proxy->submissionsTo(QStringLiteral("https://bench.timing")));
        steps.insert(steps.end(), own.begin(), own.end());
    }
    if (!steps.empty()) {
        state.counters["own_step_ms_max"] = *std::max_element(steps.begin(), steps.end());
        state.counters["own_step_ms_mean"] = std::accumulate(steps.begin(), steps.end(), 0.0) / steps.size();
        state.counters["steps"] = static_cast<double>(steps.size()) / static_cast<double>(state.iterations());
    }
}

[[maybe_unused]] const bool kRegistered = [] {
    using login_test::Replicas;
    const Replica replicas[] = {
        {"qq_nested_frames", "QQ.com", "zhangsan", &Replicas::qq},
        {"netease_login_frame", "163.com", "zhangsan",
         [](Replicas& r) { r.netease(QStringLiteral("https://mail.163.com"), "163.com"); }},
        {"google_two_steps", "gmail.com", "zhangsan", &Replicas::google},
        {"microsoft_two_steps", "hotmail.com", "zhangsan", &Replicas::microsoft},
        {"yahoo_two_documents", "yahoo.com", "zhangsan", &Replicas::yahoo},
        {"sina_link_submit", "sina.com", "zhangsan", &Replicas::sina},
        {"china139_late_form", "139.com", "13800138000", [](Replicas& r) { r.china139("13800138000"); }},
    };
    for (const Replica& r : replicas)
        benchmark::RegisterBenchmark((std::string("BM_ClickToSubmitted/") + r.name).c_str(), BM_ClickToSubmitted, r)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(5);
    return true;
}();

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (geteuid() == 0) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    // The engine takes the proxy from its command line once, when it starts.
    login_test::ReplicaProxy proxy;
    if (!proxy.ready()) {
        fprintf(stderr, "replica proxy: no listening socket or no test certificate\n");
        return 1;
    }
    g_proxy = &proxy;
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS",
            "--disable-gpu --no-first-run --disable-background-networking "
            "--disable-component-update --ignore-certificate-errors "
            "--proxy-server=http://127.0.0.1:" +
                QByteArray::number(proxy.serverPort()) + " --proxy-bypass-list=<-loopback>");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
