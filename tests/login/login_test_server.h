// An HTTP server on 127.0.0.1 for the login tests: serves fixture pages (GBK, like the
// providers' pages), answers redirects, and records every form that reaches it with its
// fields as the raw bytes the browser sent. Runs on the test's own thread through Qt's
// event loop.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>
#include <QUrl>
#include <string>

#include "form_fields.h"
#include "loopback_server.h"
#include "platform/gbk.h"

namespace login_test {

struct Submission : FormFields {
    QByteArray method;
    QString path;  // without the query
};

class LoginTestServer : public testing_support::LoopbackServer {
public:
    QString url(const QString& path, const QString& host = QStringLiteral("127.0.0.1")) const {
        return QStringLiteral("http://%1:%2%3").arg(host).arg(port()).arg(path);
    }

    // A page given as UTF-8 text and served as GBK, as the providers serve theirs.
    void setPage(const QString& path, const std::string& utf8Html) {
        m_pages.insert(path, {QByteArray::fromStdString(platform::utf8ToGbk(utf8Html)), {}});
    }
    void setRedirect(const QString& path, const QString& target) { m_pages.insert(path, {{}, target.toUtf8()}); }

    // Any path not set answers with a page without forms; a submitted form is recorded
    // whatever its target.
    const QList<Submission>& submissions() const { return m_submissions; }
    const QStringList& requests() const { return m_requests; }
    void clear() {
        m_submissions.clear();
        m_requests.clear();
    }

private:
    struct Page {
        QByteArray body;
        QByteArray redirect;
    };

    void serve(QTcpSocket* socket) override {
        QByteArray& pending = m_buffers[socket];
        pending += socket->readAll();
        const qsizetype headerEnd = pending.indexOf("\r\n\r\n");
        if (headerEnd < 0) return;
        const QByteArray head = pending.left(headerEnd);
        qsizetype contentLength = 0;
        for (const QByteArray& line : head.split('\n')) {
            const QByteArray l = line.trimmed();
            if (l.toLower().startsWith("content-length:")) contentLength = l.mid(15).trimmed().toLongLong();
        }
        if (pending.size() < headerEnd + 4 + contentLength) return;
        const QByteArray body = pending.mid(headerEnd + 4, contentLength);
        m_buffers.remove(socket);

        const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
        const QByteArray method = requestLine.value(0);
        const QByteArray target = requestLine.value(1);
        const qsizetype q = target.indexOf('?');
        const QString path = QString::fromLatin1(q < 0 ? target : target.left(q));
        const QByteArray query = q < 0 ? QByteArray() : target.mid(q + 1);
        m_requests.append(QString::fromLatin1(target));

        if (method == "POST" || !query.isEmpty()) {
            m_submissions.append({{FormFields::parse(method == "POST" ? body : query)}, method, path});
        }
        QByteArray response;
        const auto page = m_pages.constFind(path);
        if (page != m_pages.constEnd() && !page->redirect.isEmpty()) {
            response = "HTTP/1.0 302 Found\r\nLocation: " + page->redirect +
                       "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        } else {
            const QByteArray html = (page != m_pages.constEnd() && method != "POST" && query.isEmpty())
                                        ? page->body
                                        : QByteArray("<html><body><p>welcome</p></body></html>");
            response =
                "HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=gbk\r\nCache-Control: no-store\r\n"
                "Content-Length: " +
                QByteArray::number(html.size()) + "\r\nConnection: close\r\n\r\n" + html;
        }
        socket->write(response);
        socket->disconnectFromHost();
    }

    QHash<QString, Page> m_pages;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    QList<Submission> m_submissions;
    QStringList m_requests;
};

}  // namespace login_test
