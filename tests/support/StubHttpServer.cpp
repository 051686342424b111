#include "support/StubHttpServer.h"

#include <QTcpSocket>

StubHttpServer::StubHttpServer(quint16 port, Behaviour behaviour, int status)
    : m_behaviour(behaviour)
    , m_status(status) {
    connect(&m_server, &QTcpServer::newConnection, this, &StubHttpServer::onConnection);
    m_server.listen(QHostAddress::LocalHost, port);
}

void StubHttpServer::onConnection() {
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        ++m_connections;
        socket->setParent(this);
        if (m_behaviour == Behaviour::Silent) {
            continue;
        }
        if (m_behaviour == Behaviour::Drip) {
            auto* drip = new QTimer(socket);
            connect(drip, &QTimer::timeout, socket, [socket] { socket->write("H"); });
            drip->start(100);
            continue;
        }
        connect(socket, &QTcpSocket::readyRead, socket, [socket, status = m_status] {
            if (!socket->readAll().contains("\r\n\r\n")) {
                return;
            }
            socket->write(QStringLiteral("HTTP/1.1 %1 Stub\r\nContent-Length: 2\r\n"
                                         "Connection: close\r\n\r\n[]")
                              .arg(status)
                              .toLatin1());
            socket->disconnectFromHost();
        });
    }
}
