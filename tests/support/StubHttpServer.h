#pragma once

#include <QTcpServer>
#include <QTimer>

// A loopback HTTP server that misbehaves on purpose: answers every request with a fixed
// status and body, or accepts and stays silent, or drips one byte at a time and never
// finishes, or promises a body and hangs up halfway through it.
class StubHttpServer final : public QObject {
    Q_OBJECT
public:
    enum class Behaviour { Answer, Silent, Drip, CutOff };

    StubHttpServer(quint16 port, Behaviour behaviour, int status = 200, QByteArray body = "[]");

private:
    void onConnection();

    QTcpServer m_server;
    Behaviour m_behaviour;
    int m_status;
    QByteArray m_body;
};
