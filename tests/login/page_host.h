// A stand-in for the browser pane in the bridge and page document tests: a plain widget
// with a page view somewhere below it, loading pages and waiting for them.
#pragma once

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>
#include <QVBoxLayout>
#include <QVariant>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QWidget>
#include <memory>

namespace login_test {

// Waits in short steps until the condition holds. (QTest::qWaitFor hands the event loop
// its whole remaining time at once, and the engine's steady stream of events keeps it
// busy far past the moment the condition came true.)
template <typename Condition>
[[nodiscard]] bool waitUntil(Condition condition, int timeoutMs = 15000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs) return false;
        QTest::qWait(5);
    }
    return true;
}

// Evaluates an expression in the page's own world (what the page itself sees).
inline QVariant inPage(QWebEnginePage* page, const QString& expression) {
    QVariant result;
    bool done = false;
    page->runJavaScript(expression, [&](const QVariant& v) {
        result = v;
        done = true;
    });
    (void)waitUntil([&] { return done; }, 5000);
    return result;
}

class PageHost {
public:
    PageHost() {
        m_window = std::make_unique<QWidget>();
        m_window->resize(800, 600);
        auto* middle = new QWidget(m_window.get());
        auto* layout = new QVBoxLayout(middle);
        m_view = new QWebEngineView(middle);
        layout->addWidget(m_view);
        middle->resize(800, 600);
        m_window->show();
    }

    QWidget* handle() const { return m_window.get(); }
    QWebEngineView* view() const { return m_view; }
    QWebEnginePage* page() const { return m_view->page(); }

    // Loads the HTML as if it came from the address and waits for the page to finish.
    bool load(const QString& html, const QString& address = QStringLiteral("http://127.0.0.1/page.html")) {
        QSignalSpy finished(m_view, &QWebEngineView::loadFinished);
        m_view->setHtml(html, QUrl(address));
        return finished.wait(15000) && finished.first().first().toBool();
    }
    bool loadUrl(const QString& address) {
        QSignalSpy finished(m_view, &QWebEngineView::loadFinished);
        m_view->load(QUrl(address));
        return finished.wait(15000) && finished.first().first().toBool();
    }

private:
    std::unique_ptr<QWidget> m_window;
    QWebEngineView* m_view = nullptr;
};

}  // namespace login_test
