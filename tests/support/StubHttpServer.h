#pragma once

#include <QTcpServer>
#include <QTimer>

// A loopback HTTP server that misbehaves on purpose: answers every request with a fixed
// status, or accepts and stays silent, or drips one byte at a time and never finishes.
class StubHttpServer final : public QObject {
    Q_OBJECT
public:
    enum class Behaviour { Answer, Silent, Drip };

    StubHttpServer(quint16 port, Behaviour behaviour, int status = 200);

    bool isListening() const { return m_server.isListening(); }
    int connections() const { return m_connections; }

private:
    void onConnection();

    QTcpServer m_server;
    Behaviour m_behaviour;
    int m_status;
    int m_connections = 0;
};
