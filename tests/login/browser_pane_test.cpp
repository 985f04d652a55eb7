#include "login/browser_pane.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <functional>
#include <memory>
#include <optional>

#include "local_http_server.h"

namespace {

using login::BrowserPane;
using testing_support::LocalHttpServer;

constexpr int kLoadTimeoutMs = 15000;

// QTest::qWaitFor keeps processing the engine's steady stream of events until its whole
// time-out has passed, so it cannot be used here; short waits in a loop can.
bool waitFor(const std::function<bool()>& condition, int timeoutMs = kLoadTimeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs) return false;
        QTest::qWait(10);
    }
    return true;
}

// Every finished document the pane announced, with what url() and IsReady() said then.
struct ReadyRecord {
    QString address;
    bool ready;
};

class BrowserPaneTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.listening());
        pane = std::make_unique<BrowserPane>();
        pane->resize(640, 480);
        pane->show();
        BrowserPane* p = pane.get();
        QObject::connect(
            p, &BrowserPane::DocumentReady, p,
            [this, p] {
                readies.push_back({p->url(), p->IsReady()});
            },
            Qt::DirectConnection);
    }

    void TearDown() override { pane.reset(); }

    bool loadAndSettle(const QString& path, size_t expectedReadies) {
        pane->setUrl(server.address(path));
        return waitFor([&] { return readies.size() >= expectedReadies && pane->IsReady(); });
    }

    QString runScript(const QString& code) {
        QString result;
        bool done = false;
        pane->view()->page()->runJavaScript(code, [&](const QVariant& value) {
            result = value.toString();
            done = true;
        });
        waitFor([&] { return done; });
        return result;
    }

    static int openWebWindows(const BrowserPane* except) {
        int count = 0;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (qobject_cast<QWebEngineView*>(w) && w->isVisible() && w != except->view()) ++count;
        }
        return count;
    }

    LocalHttpServer server;
    std::unique_ptr<BrowserPane> pane;
    std::vector<ReadyRecord> readies;
};

TEST_F(BrowserPaneTest, FontSizeIsClampedAndAppliedAsZoom) {
    EXPECT_EQ(pane->FontSize(), 2);
    EXPECT_DOUBLE_EQ(pane->view()->zoomFactor(), 1.0);

    pane->setFontSize(7);
    EXPECT_EQ(pane->FontSize(), 4);
    const double largest = pane->view()->zoomFactor();
    pane->setFontSize(-1);
    EXPECT_EQ(pane->FontSize(), 0);
    const double smallest = pane->view()->zoomFactor();
    EXPECT_LT(smallest, 1.0);
    EXPECT_GT(largest, 1.0);

    // The size survives a navigation.
    server.setPage(QStringLiteral("/z"), "<html><body>z</body></html>");
    ASSERT_TRUE(loadAndSettle(QStringLiteral("/z"), 1));
    EXPECT_DOUBLE_EQ(pane->view()->zoomFactor(), smallest);
}

TEST_F(BrowserPaneTest, DocumentReadyComesOncePerDocumentFramesIncluded) {
    server.setPage(QStringLiteral("/frames"),
                   "<html><head><title>frames</title></head><body>"
                   "<iframe src=\"/a\"></iframe><iframe src=\"/b\"></iframe></body></html>");
    server.setPage(QStringLiteral("/a"), "<html><body>frame a<img src=\"/slow.png\"></body></html>");
    server.setPage(QStringLiteral("/b"), "<html><body>frame b</body></html>");
    server.setPage(QStringLiteral("/slow.png"), "not really a picture", "image/png");

    ASSERT_TRUE(loadAndSettle(QStringLiteral("/frames"), 3));
    QTest::qWait(300);  // nothing more may follow
    ASSERT_EQ(readies.size(), 3u);

    QStringList addresses;
    for (const auto& r : readies) addresses << r.address;
    EXPECT_TRUE(addresses.contains(server.address(QStringLiteral("/a"))));
    EXPECT_TRUE(addresses.contains(server.address(QStringLiteral("/b"))));
    // The top document finishes last, and only then is the pane ready.
    EXPECT_EQ(readies.back().address, server.address(QStringLiteral("/frames")));
    EXPECT_TRUE(readies.back().ready);
    EXPECT_FALSE(readies.front().ready);

    // Outside an event url() is the browser's location, not the last event's address.
    EXPECT_EQ(pane->url(), server.address(QStringLiteral("/frames")));
    EXPECT_EQ(pane->Caption(), QStringLiteral("frames"));
}

TEST_F(BrowserPaneTest, ReadinessDropsAsSoonAsANavigationIsAskedFor) {
    server.setPage(QStringLiteral("/one"), "<html><body><p id=a>one</p></body></html>");
    server.setPage(QStringLiteral("/two"), "<html><body>two</body></html>");
    ASSERT_TRUE(loadAndSettle(QStringLiteral("/one"), 1));

    // The page shown is complete, but it is not the one asked for.
    pane->setUrl(server.address(QStringLiteral("/two")));
    EXPECT_FALSE(pane->IsReady());
    ASSERT_TRUE(waitFor([&] { return readies.size() == 2 && pane->IsReady(); }));
    EXPECT_EQ(readies.back().address, server.address(QStringLiteral("/two")));

    // Asked for from inside the ready report (the engine then folds the new load into
    // the one just ending, without announcing a start) and redirected: the wait ends
    // with the document the redirect leads to, well before the pane's own limit for
    // navigations that never begin.
    server.setPage(QStringLiteral("/target"), "<html><body>target</body></html>");
    server.setRedirect(QStringLiteral("/moved"), server.address(QStringLiteral("/target")));
    bool readyWhenAsked = true;
    auto once = std::make_shared<QMetaObject::Connection>();
    *once = QObject::connect(
        pane.get(), &BrowserPane::DocumentReady, pane.get(),
        [&, once] {
            QObject::disconnect(*once);
            pane->setUrl(server.address(QStringLiteral("/moved")));
            readyWhenAsked = pane->IsReady();
        },
        Qt::DirectConnection);
    pane->setUrl(server.address(QStringLiteral("/one")));
    ASSERT_TRUE(waitFor([&] { return readies.size() >= 3; }));
    EXPECT_FALSE(readyWhenAsked);
    ASSERT_TRUE(waitFor([&] { return pane->IsReady(); }, 5000));
    EXPECT_EQ(pane->url(), server.address(QStringLiteral("/target")));

    // A jump inside the document loads nothing and leaves it complete.
    pane->setUrl(server.address(QStringLiteral("/target#a")));
    ASSERT_TRUE(waitFor([&] { return pane->IsReady(); }, 3000));

    // Back and forward with nowhere to go, addresses the engine drops, or stop never
    // leave it unready.
    pane->BrowseCommand(0);
    EXPECT_TRUE(pane->IsReady());
    for (const QString& dropped : {QStringLiteral("http://"), QStringLiteral("javascript:void(0)")}) {
        pane->setUrl(dropped);
        EXPECT_TRUE(pane->IsReady()) << dropped.toStdString();
    }
    QTest::qWait(300);
    EXPECT_EQ(pane->url(), server.address(QStringLiteral("/target#a")));
    pane->setUrl(server.address(QStringLiteral("/one")));
    pane->BrowseCommand(5);
    EXPECT_TRUE(pane->IsReady());
}

TEST_F(BrowserPaneTest, PageCannotForgeDocumentReady) {
    server.setPage(QStringLiteral("/forger"),
                   "<html><body><script>"
                   "console.log('tmbl-frame:ready:1:http://evil/');"
                   "window.dispatchEvent(new Event('load'));"
                   "window.addEventListener('load', function () { window.dispatchEvent(new Event('load'));"
                   "  console.log('tmbl-frame:ready:0:http://evil/'); });"
                   "</script></body></html>");
    ASSERT_TRUE(loadAndSettle(QStringLiteral("/forger"), 1));
    QTest::qWait(300);
    ASSERT_EQ(readies.size(), 1u);
    EXPECT_EQ(readies.front().address, server.address(QStringLiteral("/forger")));
}

TEST_F(BrowserPaneTest, FailedLoadStillFinishesItsDocument) {
    // Nothing listens on the port of a closed server: the load fails with an error page.
    quint16 deadPort = 0;
    {
        LocalHttpServer gone;
        deadPort = gone.port();
    }
    pane->setUrl(QStringLiteral("http://127.0.0.1:%1/nothing").arg(deadPort));
    ASSERT_TRUE(waitFor([&] { return !readies.empty() && pane->IsReady(); }));
    // The engine's error page stands in for the document; the address is the one asked for.
    EXPECT_EQ(readies.front().address, QStringLiteral("http://127.0.0.1:%1/nothing").arg(deadPort));
    EXPECT_TRUE(waitFor([&] { return pane->StatusText().contains(QStringLiteral("/nothing")); }));
}

TEST_F(BrowserPaneTest, BeforeNavigateSeesTheTargetAndCanCancel) {
    server.setPage(QStringLiteral("/start"), "<html><body><a id=l href=\"/blocked\">x</a></body></html>");
    server.setPage(QStringLiteral("/blocked"), "<html><body>must not load</body></html>");
    QStringList seen;
    QObject::connect(
        pane.get(), &BrowserPane::BeforeNavigate, pane.get(),
        [&](bool* proceed) {
            seen << pane->url();
            if (pane->url().endsWith(QStringLiteral("/blocked"))) *proceed = false;
        },
        Qt::DirectConnection);
    ASSERT_TRUE(loadAndSettle(QStringLiteral("/start"), 1));
    EXPECT_EQ(seen.value(0), server.address(QStringLiteral("/start")));

    runScript(QStringLiteral("document.getElementById('l').click(); 1"));
    ASSERT_TRUE(waitFor([&] { return seen.size() >= 2; }));
    QTest::qWait(300);
    EXPECT_EQ(seen.at(1), server.address(QStringLiteral("/blocked")));
    EXPECT_FALSE(server.requests().contains(QStringLiteral("/blocked")));
    EXPECT_EQ(pane->url(), server.address(QStringLiteral("/start")));

    // Refused when asked for by the caller too: the page shown stays, and stays ready.
    pane->setUrl(server.address(QStringLiteral("/blocked")));
    ASSERT_TRUE(waitFor([&] { return seen.size() >= 3; }));
    EXPECT_TRUE(waitFor([&] { return pane->IsReady(); }, 3000));
    EXPECT_FALSE(server.requests().contains(QStringLiteral("/blocked")));
}

TEST_F(BrowserPaneTest, NavigationEventsTitleAndStatus) {
    server.setPage(QStringLiteral("/t"),
                   "<html><head><title>first title</title></head><body>"
                   "<script>setTimeout(function(){document.title='second';},50)</script>"
                   "</body></html>");
    QStringList completed, titles;
    int begins = 0, ends = 0, lastProgress = -1;
    QObject::connect(
        pane.get(), &BrowserPane::NavigateComplete, pane.get(), [&] { completed << pane->url(); },
        Qt::DirectConnection);
    QObject::connect(
        pane.get(), &BrowserPane::TitleChange, pane.get(), [&] { titles << pane->Caption(); }, Qt::DirectConnection);
    QObject::connect(pane.get(), &BrowserPane::DownloadBegin, pane.get(), [&] { ++begins; });
    QObject::connect(pane.get(), &BrowserPane::DownloadComplete, pane.get(), [&] { ++ends; });
    QObject::connect(pane.get(), &BrowserPane::ProgressChange, pane.get(), [&](int p) { lastProgress = p; });
    QStringList statuses;
    QObject::connect(pane.get(), &BrowserPane::StatusTextChange, pane.get(), [&] { statuses << pane->StatusText(); });

    ASSERT_TRUE(loadAndSettle(QStringLiteral("/t"), 1));
    ASSERT_TRUE(waitFor([&] { return titles.contains(QStringLiteral("second")); }));
    EXPECT_TRUE(titles.contains(QStringLiteral("first title")));
    EXPECT_EQ(completed.value(0), server.address(QStringLiteral("/t")));
    EXPECT_GE(begins, 1);
    EXPECT_GE(ends, 1);
    EXPECT_EQ(lastProgress, 100);
    ASSERT_FALSE(statuses.isEmpty());
    EXPECT_TRUE(statuses.first().contains(server.address(QStringLiteral("/t"))));
    EXPECT_EQ(pane->StatusText(), QStringLiteral("完成"));
}

TEST_F(BrowserPaneTest, BackForwardAndCommandState) {
    server.setPage(QStringLiteral("/one"), "<html><body>one</body></html>");
    server.setPage(QStringLiteral("/two"), "<html><body>two</body></html>");
    std::vector<std::pair<int, bool>> states;
    QObject::connect(pane.get(), &BrowserPane::CommandStateChange, pane.get(),
                     [&](int command, bool enabled) { states.emplace_back(command, enabled); });

    // No history, no document: nothing happens, and no save or print dialog waits for
    // an answer (a modal dialog here would hang the test).
    for (int command : {0, 1, 6, 7, 8, 9, 10, -1}) pane->BrowseCommand(command);
    EXPECT_TRUE(pane->url().isEmpty());
    ASSERT_TRUE(loadAndSettle(QStringLiteral("/one"), 1));
    ASSERT_TRUE(loadAndSettle(QStringLiteral("/two"), 2));
    ASSERT_TRUE(waitFor([&] { return !states.empty(); }));
    EXPECT_EQ(states.back(), std::make_pair(1, true));

    pane->BrowseCommand(1);
    ASSERT_TRUE(waitFor([&] { return pane->url() == server.address(QStringLiteral("/one")); }));
    ASSERT_TRUE(
        waitFor([&] { return std::find(states.begin(), states.end(), std::make_pair(0, true)) != states.end(); }));
    pane->BrowseCommand(0);
    ASSERT_TRUE(waitFor([&] { return pane->url() == server.address(QStringLiteral("/two")); }));
    // Back at the newest page: forward is off again, back still on.
    ASSERT_TRUE(waitFor([&] { return states.back() == std::make_pair(0, false); }));
    auto last = [&](int command) {
        for (auto it = states.rbegin(); it != states.rend(); ++it)
            if (it->first == command) return it->second;
        return false;
    };
    EXPECT_TRUE(last(1));
    // Only changes are passed on: a command never reports the state it reported last.
    for (int command : {0, 1}) {
        std::optional<bool> previous;
        for (const auto& s : states) {
            if (s.first != command) continue;
            if (previous) {
                EXPECT_NE(*previous, s.second) << "command " << command;
            }
            previous = s.second;
        }
    }
}

TEST_F(BrowserPaneTest, NewWindowRefusedOrAllowed) {
    server.setPage(QStringLiteral("/opener"),
                   "<html><body><a id=l target=_blank href=\"/popup\">open</a></body></html>");
    server.setPage(QStringLiteral("/popup"), "<html><head><title>popup</title></head><body>popup</body></html>");
    bool allow = false;
    int asked = 0;
    QObject::connect(
        pane.get(), &BrowserPane::NewWindow, pane.get(),
        [&](bool* result) {
            ++asked;
            *result = allow;
        },
        Qt::DirectConnection);
    ASSERT_TRUE(loadAndSettle(QStringLiteral("/opener"), 1));
    const int before = openWebWindows(pane.get());

    runScript(QStringLiteral("document.getElementById('l').click(); 1"));
    ASSERT_TRUE(waitFor([&] { return asked == 1; }));
    QTest::qWait(300);
    EXPECT_EQ(openWebWindows(pane.get()), before);
    EXPECT_FALSE(server.requests().contains(QStringLiteral("/popup")));

    allow = true;
    runScript(QStringLiteral("document.getElementById('l').click(); 1"));
    ASSERT_TRUE(waitFor([&] { return openWebWindows(pane.get()) == before + 1; }));
    ASSERT_TRUE(waitFor([&] { return server.requests().contains(QStringLiteral("/popup")); }));
    EXPECT_EQ(pane->url(), server.address(QStringLiteral("/opener")));  // the pane itself stays
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (qobject_cast<QWebEngineView*>(w) && w != pane->view()) w->close();
    }
}

TEST_F(BrowserPaneTest, SilentPageGetsNoDialogAndOfflineFetchesNothing) {
    server.setPage(QStringLiteral("/asks"),
                   "<html><body><script>var r = confirm('sure?'); alert('x');"
                   "document.title = 'answer ' + r;</script></body></html>");
    pane->setSilent(true);
    EXPECT_TRUE(pane->Silent());
    ASSERT_TRUE(loadAndSettle(QStringLiteral("/asks"), 1));
    EXPECT_EQ(pane->Caption(), QStringLiteral("answer false"));

    server.setPage(QStringLiteral("/net"), "<html><body>net</body></html>");
    pane->setOffline(true);
    EXPECT_TRUE(pane->Offline());
    ASSERT_TRUE(loadAndSettle(QStringLiteral("/net"), 2));
    EXPECT_FALSE(server.requests().contains(QStringLiteral("/net")));

    pane->setOffline(false);
    // Asked for again at once: the engine folds this load into the failed one.
    ASSERT_TRUE(loadAndSettle(QStringLiteral("/net"), 3));
    EXPECT_TRUE(server.requests().contains(QStringLiteral("/net")));
}

TEST_F(BrowserPaneTest, HandlerMayDestroyThePane) {
    server.setPage(QStringLiteral("/bye"), "<html><body>bye</body></html>");
    QPointer<BrowserPane> watched(pane.get());
    BrowserPane* raw = pane.release();
    QObject::connect(
        raw, &BrowserPane::DocumentReady, raw, [raw] { delete raw; }, Qt::DirectConnection);
    raw->setUrl(server.address(QStringLiteral("/bye")));
    ASSERT_TRUE(waitFor([&] { return watched.isNull(); }));
    QTest::qWait(200);  // the engine finishes its delivery without the pane
}

TEST_F(BrowserPaneTest, HomeGoesToTheInjectedHomePage) {
    server.setPage(QStringLiteral("/home"), "<html><body>home</body></html>");
    server.setPage(QStringLiteral("/elsewhere"), "<html><body>else</body></html>");
    BrowserPane homed(nullptr, server.address(QStringLiteral("/home")));
    EXPECT_EQ(homed.homeUrl(), server.address(QStringLiteral("/home")));
    ASSERT_TRUE(waitFor([&] { return homed.IsReady(); }));
    EXPECT_EQ(homed.url(), server.address(QStringLiteral("/home")));
    homed.setUrl(server.address(QStringLiteral("/elsewhere")));
    ASSERT_TRUE(waitFor([&] { return homed.IsReady() && homed.url().endsWith(QStringLiteral("/elsewhere")); }));
    homed.BrowseCommand(2);
    ASSERT_TRUE(waitFor([&] { return homed.IsReady() && homed.url().endsWith(QStringLiteral("/home")); }));
    EXPECT_EQ(homed.WindowHandle(), &homed);
}

}  // namespace
