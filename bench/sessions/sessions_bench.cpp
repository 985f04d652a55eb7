// Two measures of the browser pane's page per mailbox:
//  - BM_SwitchToOpenedMailbox: from the call that shows an opened mailbox's page to the
//    page being the one shown with its events delivered; counts requests meanwhile.
//  - BM_Memory/<n>: the sum of proportional set sizes (PSS, /proc/<pid>/smaps_rollup) of
//    the program and all its engine processes with n mailboxes opened (n = 0 is a bare
//    QWebEngineView showing one page). Every case runs in a fresh copy of this program,
//    so no case inherits what another left in memory.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <cstdio>
#include <functional>
#include <memory>

#include "login/browser_pane.h"

namespace {

const char* const kMemoryCaseVariable = "TMBL_BENCH_MEMORY_CASE";

// An inbox-like page: a table of 400 messages and a little script, served for any path.
class InboxServer : public QObject {
public:
    InboxServer() {
        m_server.listen(QHostAddress::LocalHost, 0);
        QByteArray rows;
        for (int i = 0; i < 400; ++i) {
            rows += "<tr><td><input type=checkbox></td><td>sender " + QByteArray::number(i) + "</td><td><a href=#m" +
                    QByteArray::number(i) + ">subject of message " + QByteArray::number(i) +
                    "</a></td><td>2026-12-09</td></tr>";
        }
        m_page =
            "<html><head><title>inbox</title><script>var t=0;setInterval(function(){t++;},1000);</script>"
            "</head><body><table>" +
            rows + "</table></body></html>";
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    if (!socket->readAll().contains("\r\n\r\n")) return;
                    ++m_requests;
                    socket->write("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                                  QByteArray::number(m_page.size()) + "\r\nConnection: close\r\n\r\n" + m_page);
                    socket->disconnectFromHost();
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QString url(int n) const { return QStringLiteral("http://127.0.0.1:%1/inbox%2").arg(m_server.serverPort()).arg(n); }
    int requests() const { return m_requests; }

private:
    QTcpServer m_server;
    QByteArray m_page;
    int m_requests = 0;
};

bool waitFor(const std::function<bool()>& condition, int timeoutMs = 30000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs) return false;
        QTest::qWait(10);
    }
    return true;
}

// Opens mailbox pages 1..n in the pane, each showing the inbox.
bool openMailboxes(login::BrowserPane& pane, const InboxServer& server, int n) {
    for (int k = 1; k <= n; ++k) {
        pane.showPage(k);
        pane.setUrl(server.url(k));
        if (!waitFor([&] { return pane.IsReady(); })) return false;
    }
    return true;
}

void BM_SwitchToOpenedMailbox(benchmark::State& state) {
    InboxServer server;
    QTemporaryDir profiles;
    login::BrowserPane pane(nullptr, {}, profiles.path());
    pane.resize(900, 600);
    pane.show();
    if (!openMailboxes(pane, server, 2)) {
        state.SkipWithError("pages did not load");
        return;
    }
    QTest::qWait(500);
    const int before = server.requests();
    int target = 1;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        pane.showPage(target);
        // What the switch posts (the view's new page, repaints) is delivered.
        QCoreApplication::processEvents();
        const bool shown = pane.shownPage() == target && pane.IsReady();
        state.SetIterationTime(static_cast<double>(timer.nsecsElapsed()) / 1e9);
        if (!shown) {
            state.SkipWithError("page not shown");
            break;
        }
        target = target == 1 ? 2 : 1;
        QTest::qWait(20);  // let the engine paint the page before the next switch
    }
    state.counters["requests"] = server.requests() - before;
}
BENCHMARK(BM_SwitchToOpenedMailbox)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(50);

// PSS in kB of pid and everything below it.
long long treePss(pid_t root) {
    long long total = 0;
    QList<pid_t> todo{root};
    QHash<pid_t, QList<pid_t>> children;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t pid = entry.toInt(&number);
        if (!number) continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly)) continue;
        const QByteArray line = stat.readAll();
        // The parent is the second field after the command, which ends at the last ')'.
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1) children[static_cast<pid_t>(fields.at(1).toInt())].append(pid);
    }
    while (!todo.isEmpty()) {
        const pid_t pid = todo.takeFirst();
        todo.append(children.value(pid));
        QFile rollup(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
        if (!rollup.open(QIODevice::ReadOnly)) continue;
        for (const QByteArray& l : rollup.readAll().split('\n')) {
            if (l.startsWith("Pss:")) {
                total += l.mid(4).trimmed().split(' ').value(0).toLongLong();
                if (qEnvironmentVariableIsSet("TMBL_BENCH_DEBUG")) {
                    QFile cmd(QStringLiteral("/proc/%1/cmdline").arg(pid));
                    cmd.open(QIODevice::ReadOnly);
                    std::fprintf(stderr, "%d %s %s\n", pid, l.constData(),
                                 cmd.readAll().replace('\0', ' ').left(120).constData());
                }
            }
        }
    }
    return total;
}

// Runs in the fresh copy: sets the case up, lets it settle, prints the PSS sum.
int runMemoryCase(int opened) {
    InboxServer server;
    QTemporaryDir profiles;
    std::unique_ptr<QWebEngineView> bare;
    std::unique_ptr<login::BrowserPane> pane;
    if (opened == 0) {
        bare = std::make_unique<QWebEngineView>();
        bare->resize(900, 600);
        bare->show();
        bare->load(QUrl(server.url(0)));
        if (!waitFor([&] { return !bare->page()->isLoading() && bare->title() == u"inbox"; })) return 1;
    } else {
        pane = std::make_unique<login::BrowserPane>(nullptr, QString(), profiles.path());
        pane->resize(900, 600);
        pane->show();
        if (!openMailboxes(*pane, server, opened)) return 1;
    }
    QTest::qWait(3000);
    if (pane && qEnvironmentVariableIsSet("TMBL_BENCH_DEBUG")) {
        for (int k = 0; k < 10; ++k) {
            if (QWebEnginePage* p = pane->pageOf(k))
                std::fprintf(stderr, "page %d state %d visible %d\n", k, int(p->lifecycleState()), p->isVisible());
        }
    }
    std::printf("%lld\n", treePss(getpid()));
    return 0;
}

void BM_Memory(benchmark::State& state) {
    const int opened = static_cast<int>(state.range(0));
    long long kb = 0;
    for (auto _ : state) {
        QProcess copy;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(kMemoryCaseVariable), QString::number(opened));
        copy.setProcessEnvironment(environment);
        copy.start(QCoreApplication::applicationFilePath(), {});
        if (!copy.waitForFinished(120000) || copy.exitCode() != 0) {
            state.SkipWithError("memory case failed");
            return;
        }
        kb = copy.readAllStandardOutput().trimmed().toLongLong();
    }
    state.counters["pss_MiB"] = static_cast<double>(kb) / 1024.0;
    state.SetLabel(opened == 0 ? "bare QWebEngineView, one page"
                               : QStringLiteral("%1 mailboxes opened").arg(opened).toStdString());
}
BENCHMARK(BM_Memory)->Arg(0)->Arg(1)->Arg(4)->Arg(9)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (geteuid() == 0) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    if (!qEnvironmentVariableIsEmpty(kMemoryCaseVariable)) {
        return runMemoryCase(qEnvironmentVariableIntValue(kMemoryCaseVariable));
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
