#include "gate/GateController.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Kestrova"));
    QApplication::setApplicationName(QStringLiteral("Kestrova Helper"));
    // A tray program: closing its windows does not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    GateController::shared();
    return QApplication::exec();
}
