// The listening half shared by the browser tests' HTTP servers: a QTcpServer on
// 127.0.0.1 that hands every chunk a connection receives to serve(). Runs on the
// test's own (UI) thread through Qt's event loop.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>

namespace testing_support {

class LoopbackServer : public QObject {
public:
    LoopbackServer() {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }

    bool listening() const { return m_server.isListening(); }
    quint16 port() const { return m_server.serverPort(); }

protected:
    // Called whenever the socket has new bytes; reads them and answers when a whole
    // request has arrived.
    virtual void serve(QTcpSocket* socket) = 0;

private:
    QTcpServer m_server;
};

}  // namespace testing_support
