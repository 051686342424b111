#include "support/StubHttpServer.h"

#include <QRegularExpression>
#include <QTcpSocket>

#include <memory>

StubHttpServer::StubHttpServer(quint16 port, Behaviour behaviour, int status, QByteArray body)
    : m_behaviour(behaviour)
    , m_status(status)
    , m_body(std::move(body)) {
    connect(&m_server, &QTcpServer::newConnection, this, &StubHttpServer::onConnection);
    m_server.listen(QHostAddress::LocalHost, port);
}

void StubHttpServer::onConnection() {
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
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
        auto request = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket, request] {
            request->append(socket->readAll());
            const qsizetype headEnd = request->indexOf("\r\n\r\n");
            const QRegularExpressionMatch length =
                QRegularExpression(QStringLiteral("(?i)\r\ncontent-length: *(\\d+)"))
                    .match(QString::fromLatin1(request->left(headEnd)));
            if (headEnd < 0 ||
                request->size() <
                    headEnd + 4 + (length.hasMatch() ? length.captured(1).toInt() : 0)) {
                return;
            }
            const bool cutOff = m_behaviour == Behaviour::CutOff;
            const qsizetype promised = cutOff ? m_body.size() * 2 + 100 : m_body.size();
            socket->write(QStringLiteral("HTTP/1.1 %1 Stub\r\nContent-Length: %2\r\n"
                                         "Connection: close\r\n\r\n")
                              .arg(m_status)
                              .arg(promised)
                              .toLatin1());
            socket->write(m_body);
            socket->disconnectFromHost();
        });
    }
}
