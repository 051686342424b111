#pragma once

#include "Faults.h"
#include "GoogleStandIn.h"
#include "ModelStandIns.h"
#include "RelayStandIn.h"
#include "RoomsStandIn.h"

#include <QHttpServer>
#include <QObject>

#include <expected>

// Serves the Google, relay and model API stand-ins, the devstack control endpoints and a web page.
class DevstackServer {
public:
    struct Options {
        QString clientId;
        int delayMs = 0;
        bool autoApprove = false;
    };

    explicit DevstackServer(const Options& options);

    // Listens on 127.0.0.1 only; gives the port actually bound.
    std::expected<quint16, QString> listen(quint16 port);

private:
    template <typename Handler>
    void on(const char* path, QHttpServerRequest::Method method, Handler handler);
    void routeRooms();
    void deliver(QHttpServerResponse&& response, QHttpServerResponder&& responder);
    QHttpServerResponse setFaults(const QHttpServerRequest& request);
    QHttpServerResponse state() const;

    int m_delayMs;
    Faults m_faults;
    GoogleStandIn m_google;
    RelayStandIn m_relay;
    ModelStandIns m_models;
    QHttpServer m_http;
    RoomsStandIn m_rooms; // after the server: its waiting polls go before the sockets do
    QObject m_pending;    // context of delayed answers, dropped before the server goes
};
