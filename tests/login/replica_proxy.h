// A web proxy on 127.0.0.1 that stands in for the providers' sites: the browser is
// pointed at it, asks for the real host names, and gets the replica pages registered
// here, over TLS (with a certificate the test makes) when it asks for https. Every
// request with a query or a body is recorded with its scheme, host, path and fields.
// Runs on the test's own (UI) thread through Qt's event loop.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUrl>
#include <functional>

#include "form_fields.h"

namespace login_test {

struct Request : FormFields {  // the query's fields, then the form body's
    QByteArray method;
    QString scheme, host, path;  // path without the query
    QString origin() const { return scheme + QStringLiteral("://") + host; }
};

struct Response {
    int status = 200;
    QByteArray body;
    QByteArray location;  // for a redirect
    QByteArray contentType = "text/html; charset=utf-8";

    static Response page(const QByteArray& html) { return {200, html, {}}; }
    static Response redirect(const QString& to) { return {302, {}, to.toUtf8()}; }
};

class ReplicaProxy : public QTcpServer {
public:
    using Handler = std::function<Response(const Request&)>;

    ReplicaProxy() {
        makeCertificate();
        listen(QHostAddress::LocalHost, 0);
    }
    bool ready() const { return isListening() && !m_certificate.isNull() && !m_key.isNull(); }

    // What origin + path answers ("https://mail.qq.com" + "/"); a path of "*" answers
    // every path of the origin not registered otherwise.
    void on(const QString& origin, const QString& path, Handler handler) { m_handlers.insert(origin + path, handler); }
    void page(const QString& origin, const QString& path, const QByteArray& html) {
        on(origin, path, [html](const Request&) { return Response::page(html); });
    }

    const QList<Request>& submissions() const { return m_submissions; }
    QList<Request> submissionsTo(const QString& origin) const {
        QList<Request> found;
        for (const Request& r : m_submissions)
            if (r.origin() == origin) found.append(r);
        return found;
    }
    const QStringList& requests() const { return m_requests; }
    void clear() {
        m_submissions.clear();
        m_requests.clear();
    }

protected:
    void incomingConnection(qintptr descriptor) override {
        auto* socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        socket->setLocalCertificate(m_certificate);
        socket->setPrivateKey(m_key);
        socket->setPeerVerifyMode(QSslSocket::VerifyNone);
        connect(socket, &QSslSocket::readyRead, this, [this, socket] { serve(socket); });
        connect(socket, &QSslSocket::disconnected, this, [this, socket] {
            m_connections.remove(socket);
            socket->deleteLater();
        });
    }

private:
    struct Connection {
        QByteArray pending;
        QString tunnelHost;  // set once the browser asked for a tunnel
    };

    void makeCertificate() {
        if (!m_dir.isValid()) return;
        const QString key = m_dir.filePath(QStringLiteral("key.pem")),
                      cert = m_dir.filePath(QStringLiteral("cert.pem"));
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
                      {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                       QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-keyout"), key,
                       QStringLiteral("-out"), cert, QStringLiteral("-days"), QStringLiteral("2"),
                       QStringLiteral("-subj"), QStringLiteral("/CN=replica.test")});
        if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0) return;
        QFile keyFile(key), certFile(cert);
        if (!keyFile.open(QIODevice::ReadOnly) || !certFile.open(QIODevice::ReadOnly)) return;
        m_key = QSslKey(keyFile.readAll(), QSsl::Rsa);
        m_certificate = QSslCertificate(certFile.readAll());
    }

    void serve(QSslSocket* socket) {
        Connection& c = m_connections[socket];
        c.pending += socket->readAll();
        while (true) {
            const qsizetype headerEnd = c.pending.indexOf("\r\n\r\n");
            if (headerEnd < 0) return;
            const QByteArray head = c.pending.left(headerEnd);
            qsizetype length = 0;
            for (const QByteArray& line : head.split('\n')) {
                const QByteArray l = line.trimmed();
                if (l.toLower().startsWith("content-length:")) length = l.mid(15).trimmed().toLongLong();
            }
            if (c.pending.size() < headerEnd + 4 + length) return;
            const QByteArray body = c.pending.mid(headerEnd + 4, length);
            c.pending.remove(0, headerEnd + 4 + length);
            const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
            const QByteArray method = requestLine.value(0), target = requestLine.value(1);
            if (method == "CONNECT") {
                c.tunnelHost = QString::fromLatin1(target.left(target.lastIndexOf(':')));
                socket->write("HTTP/1.1 200 Connection established\r\n\r\n");
                socket->startServerEncryption();
                continue;
            }
            Request request;
            request.method = method;
            QUrl url;
            if (!c.tunnelHost.isEmpty()) {
                request.scheme = QStringLiteral("https");
                request.host = c.tunnelHost;
                url = QUrl(QStringLiteral("https://") + c.tunnelHost + QString::fromLatin1(target));
            } else {
                url = QUrl(QString::fromLatin1(target));
                request.scheme = url.scheme();
                request.host = url.host();
            }
            request.path = url.path().isEmpty() ? QStringLiteral("/") : url.path();
            const QByteArray query = url.query(QUrl::FullyEncoded).toLatin1();
            request.fields = FormFields::parse(query);
            if (method == "POST") request.fields += FormFields::parse(body);
            m_requests.append(request.origin() + request.path);
            if (!query.isEmpty() || method == "POST") m_submissions.append(request);
            answer(socket, request);
        }
    }

    void answer(QSslSocket* socket, const Request& request) {
        auto handler = m_handlers.constFind(request.origin() + request.path);
        if (handler == m_handlers.constEnd()) handler = m_handlers.constFind(request.origin() + QStringLiteral("*"));
        Response response = handler != m_handlers.constEnd() ? (*handler)(request)
                                                             : Response::page("<html><body>welcome</body></html>");
        QByteArray out =
            "HTTP/1.1 " + QByteArray::number(response.status) + (response.status == 302 ? " Found\r\n" : " OK\r\n");
        if (!response.location.isEmpty()) out += "Location: " + response.location + "\r\n";
        out += "Content-Type: " + response.contentType +
               "\r\nCache-Control: no-store\r\nContent-Length: " + QByteArray::number(response.body.size()) +
               "\r\nConnection: keep-alive\r\n\r\n" + response.body;
        socket->write(out);
    }

    QTemporaryDir m_dir;
    QSslCertificate m_certificate;
    QSslKey m_key;
    QHash<QString, Handler> m_handlers;
    QHash<QSslSocket*, Connection> m_connections;
    QList<Request> m_submissions;
    QStringList m_requests;
};

}  // namespace login_test
