#include "DevstackServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT end the event loop, so the process exits normally with status 0.
bool quitOnSignals(QCoreApplication& app) {
    if (::pipe(signalPipe) != 0) {
        return false;
    }
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGTERM, &action, nullptr) == 0 &&
           ::sigaction(SIGINT, &action, nullptr) == 0;
}

int fail(const QString& message) {
    std::fprintf(stderr, "devstack: %s\n", qPrintable(message));
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Loopback stand-in for Google sign-in and the Kestrova relay.");
    parser.addHelpOption();
    const QCommandLineOption portOption("port", "Port on 127.0.0.1; 0 takes any free port.", "N",
                                        "47110");
    const QCommandLineOption clientOption("client-id", "The Google OAuth client id to accept.",
                                          "ID", "devstack-desktop.apps.googleusercontent.com");
    const QCommandLineOption delayOption("delay-ms", "Delay every answer by M milliseconds.", "M",
                                         "0");
    const QCommandLineOption approveOption("auto-approve",
                                           "Skip the consent page and approve at once.");
    parser.addOptions({portOption, clientOption, delayOption, approveOption});
    parser.process(app);

    bool portOk = false;
    bool delayOk = false;
    const quint16 port = parser.value(portOption).toUShort(&portOk);
    const int delayMs = parser.value(delayOption).toInt(&delayOk);
    if (!portOk || !delayOk || delayMs < 0) {
        return fail("--port needs 0-65535 and --delay-ms a non-negative number");
    }
    if (!quitOnSignals(app)) {
        return fail("cannot install the signal handlers");
    }
    DevstackServer server({parser.value(clientOption), delayMs, parser.isSet(approveOption)});
    const auto bound = server.listen(port);
    if (!bound) {
        return fail(
            QStringLiteral("cannot listen on 127.0.0.1:%1: %2").arg(port).arg(bound.error()));
    }
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(*bound);
    std::printf(
        "devstack: google-auth=%s/o/oauth2/v2/auth google-token=%s/token relay=%s web=%s/\n",
        qPrintable(base), qPrintable(base), qPrintable(base), qPrintable(base));
    std::fflush(stdout);
    return app.exec();
}
