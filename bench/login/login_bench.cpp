// How long attaching to a page and scanning it takes for pages of 100 to 10,000
// elements, how many round trips into the page that costs, and the time from the
// pane's DocumentReady to the click on a typical login page.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>
#include <QWebEngineView>

#include "login/browser_pane.h"
#include "login/dispatch_call.h"
#include "login/login_driver.h"
#include "login/page_document.h"
#include "platform/gbk.h"
#include "records/mailbox_store.h"

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
        "<input type=text name=search><input type=text name=u><input type=hidden name=h><input type=password name=p>"
        "<input type=checkbox><input type=submit value=Login></form><div><a href=#>help</a></div></body></html>");
    if (!loadInto(pane->view(), html) || !QTest::qWaitFor([&] { return pane->IsReady(); }, 10000)) {
        state.SkipWithError("page did not load");
        return;
    }
    records::MailboxEntry entry;
    entry.userName = "user";
    entry.password = records::encodePassword("password");
    entry.type = records::providerTable().at(9).key;
    entry.loginKind = platform::utf8ToGbk("邮箱");
    bool finished = false;
    QObject::connect(&driver, &login::LoginDriver::loginFinished, [&] { finished = true; });
    for (auto _ : state) {
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
BENCHMARK(BM_DocumentReadyToClick)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (geteuid() == 0) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
