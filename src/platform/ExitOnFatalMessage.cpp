#include "platform/ExitOnFatalMessage.h"

#include <QtGlobal>

#include <cstdlib>

namespace {

QtMessageHandler previous = nullptr; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

void printThenExit(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    previous(type, context, message);
    if (type == QtFatalMsg) {
        // Half-made toolkit objects: no destructors, no exit handlers.
        std::_Exit(EXIT_FAILURE);
    }
}

} // namespace

ExitOnFatalMessage::ExitOnFatalMessage() {
    previous = qInstallMessageHandler(printThenExit);
}

ExitOnFatalMessage::~ExitOnFatalMessage() {
    qInstallMessageHandler(previous);
}
