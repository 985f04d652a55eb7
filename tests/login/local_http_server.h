// A small HTTP/1.0 server on 127.0.0.1 for the browser tests: fixed pages by path,
// every request remembered. Runs on the test's own (UI) thread through Qt's event loop.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QStringList>

#include "loopback_server.h"

namespace testing_support {

class LocalHttpServer : public testing_support::LoopbackServer {
public:
    QString address(const QString& path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path); }

    void setPage(const QString& path, const QByteArray& html,
                 const QByteArray& contentType = "text/html; charset=utf-8") {
        m_pages.insert(path, {html, contentType});
    }

    // Answers path with a redirect to location.
    void setRedirect(const QString& path, const QString& location) { m_redirects.insert(path, location.toUtf8()); }

    // Paths requested so far, in order.
    const QStringList& requests() const { return m_requests; }

private:
    struct Page {
        QByteArray body;
        QByteArray contentType;
    };

    void serve(QTcpSocket* socket) override {
        QByteArray& pending = m_buffers[socket];
        pending += socket->readAll();
        if (!pending.contains("\r\n\r\n")) return;
        const QList<QByteArray> requestLine = pending.left(pending.indexOf("\r\n")).split(' ');
        m_buffers.remove(socket);
        const QString path = requestLine.size() > 1 ? QString::fromLatin1(requestLine.at(1)) : QString();
        m_requests.append(path);
        QByteArray response;
        const auto page = m_pages.constFind(path);
        if (m_redirects.contains(path)) {
            response = "HTTP/1.0 302 Found\r\nLocation: " + m_redirects.value(path) + "\r\nContent-Length: 0\r\n\r\n";
        } else if (page == m_pages.constEnd()) {
            response = "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: 9\r\n\r\nnot found";
        } else {
            response = "HTTP/1.0 200 OK\r\nContent-Type: " + page->contentType +
                       "\r\nCache-Control: no-store\r\nContent-Length: " + QByteArray::number(page->body.size()) +
                       "\r\n\r\n" + page->body;
        }
        socket->write(response);
        socket->disconnectFromHost();
    }

    QHash<QString, Page> m_pages;
    QHash<QString, QByteArray> m_redirects;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    QStringList m_requests;
};

}  // namespace testing_support
