// A web-mail stand-in on 127.0.0.1 with real cookies: a login form that sets a session
// cookie, an inbox that needs it, and a login address that sends a valid session
// straight to the inbox. Every request is kept with the cookies it carried. Runs on the
// test's own (UI) thread through Qt's event loop.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app_fixture.h"
#include "login/browser_pane.h"
#include "loopback_server.h"

namespace app_test {

struct SeenRequest {
    QByteArray method;
    QString path;
    QByteArray cookie;  // the Cookie header as sent, empty when none
    QByteArray body;
};

// A page that asks to show notifications and, allowed, shows "new mail" / "from zhang";
// its title then says the answer ("permission granted" or "permission denied").
inline const QByteArray kNotifyingPage =
    "HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nConnection: close\r\n\r\n"
    "<html><head><title>waiting</title></head><body><script>"
    "Notification.requestPermission().then(function (p) {"
    "  if (p === 'granted') new Notification('new mail', {body: 'from zhang'});"
    "  document.title = 'permission ' + p; });"
    "</script></body></html>";

class SessionServer : public testing_support::LoopbackServer {
public:
    QString url(const QString& path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path); }

    const QList<SeenRequest>& requests() const { return m_requests; }
    qsizetype count(const QString& path, const QByteArray& method = "GET") const {
        qsizetype n = 0;
        for (const SeenRequest& r : m_requests) n += r.path == path && r.method == method;
        return n;
    }
    // Extra pages by path (downloads, notification pages).
    void setRaw(const QString& path, const QByteArray& response) { m_raw.insert(path, response); }

    static QByteArray sessionOf(const QByteArray& cookieHeader) {
        for (const QByteArray& part : cookieHeader.split(';')) {
            const QByteArray p = part.trimmed();
            if (p.startsWith("sid=")) return p.mid(4);
        }
        return {};
    }

private:
    static QByteArray page(const QByteArray& status, const QByteArray& extra, const QByteArray& html) {
        return "HTTP/1.0 " + status + "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n" +
               extra + "Content-Length: " + QByteArray::number(html.size()) + "\r\nConnection: close\r\n\r\n" + html;
    }
    static QByteArray redirect(const QByteArray& to, const QByteArray& extra = {}) {
        return "HTTP/1.0 302 Found\r\nLocation: " + to + "\r\n" + extra +
               "Content-Length: 0\r\nConnection: close\r\n\r\n";
    }

    void serve(QTcpSocket* socket) override {
        QByteArray& pending = m_buffers[socket];
        pending += socket->readAll();
        const qsizetype headerEnd = pending.indexOf("\r\n\r\n");
        if (headerEnd < 0) return;
        const QByteArray head = pending.left(headerEnd);
        qsizetype length = 0;
        QByteArray cookie;
        for (const QByteArray& line : head.split('\n')) {
            const QByteArray l = line.trimmed();
            if (l.toLower().startsWith("content-length:")) length = l.mid(15).trimmed().toLongLong();
            if (l.toLower().startsWith("cookie:")) cookie = l.mid(7).trimmed();
        }
        if (pending.size() < headerEnd + 4 + length) return;
        const QByteArray body = pending.mid(headerEnd + 4, length);
        m_buffers.remove(socket);
        const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
        SeenRequest seen{requestLine.value(0), QString::fromLatin1(requestLine.value(1)), cookie, body};
        m_requests.append(seen);

        const QByteArray user = sessionOf(cookie);
        QByteArray response;
        if (m_raw.contains(seen.path)) {
            response = m_raw.value(seen.path);
        } else if (seen.path == u"/login") {
            response = !user.isEmpty() ? redirect("/inbox")
                                       : page("200 OK", {},
                                              "<html><head><title>login</title></head><body><form method=post "
                                              "action=/dologin><input type=text name=u><input type=password name=p>"
                                              "<input type=submit value=go></form></body></html>");
        } else if (seen.path == u"/dologin" && seen.method == "POST") {
            QByteArray name;
            for (const QByteArray& field : body.split('&')) {
                if (field.startsWith("u=")) name = QByteArray::fromPercentEncoding(field.mid(2));
            }
            // A session cookie: it has no expiry, as web mail's often have none.
            response = redirect("/inbox", "Set-Cookie: sid=" + name + "; Path=/\r\n");
        } else if (seen.path == u"/inbox") {
            // The inbox has a search box but no password field.
            response = user.isEmpty()
                           ? redirect("/login")
                           : page("200 OK", {},
                                  "<html><head><title>inbox " + user + "</title></head><body>inbox of " + user +
                                      "<form action=/search><input type=text name=q></form>"
                                      "</body></html>");
        } else {
            response = page("200 OK", {}, "<html><head><title>home</title></head><body>home</body></html>");
        }
        socket->write(response);
        socket->disconnectFromHost();
    }

    QHash<QTcpSocket*, QByteArray> m_buffers;
    QHash<QString, QByteArray> m_raw;
    QList<SeenRequest> m_requests;
};

// The real main window over a copy of the shipped database, every provider's login
// address pointing at one SessionServer.
class SessionWindowTest : public ProgramFolderTest {
protected:
    void SetUp() override {
        ProgramFolderTest::SetUp();
        ASSERT_TRUE(server.listening());
        copyShippedDatabase();
        std::vector<std::string> addresses(records::providerTable().size(),
                                           server.url(QStringLiteral("/login")).toStdString());
        records::setProviderAddresses(addresses);
    }

    void TearDown() override {
        window.reset();
        QTest::qWait(300);  // the engine writes the last of a session's files after it
        ProgramFolderTest::TearDown();
    }

    void start() {
        window = std::make_unique<app::MainWindow>(server.url(QStringLiteral("/home")));
        ASSERT_EQ(window->create(), app::StartOutcome::Running);
        ASSERT_TRUE(waitFor([&] { return window->pane()->IsReady(); }));
    }

    SessionServer server;
    std::unique_ptr<app::MainWindow> window;
};

}  // namespace app_test
