#include "account/SignInSheetWindow.h"
#include "gate/GateController.h"
#include "platform/BrowserSignIn.h"
#include "platform/SingleInstance.h"

#include <QApplication>
#include <QDesktopServices>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Kestrova"));
    QApplication::setApplicationName(QStringLiteral("Kestrova Helper"));
    // A tray program: closing its windows does not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    // A later start (from the desktop, or the browser handing back a sign-in callback) passes
    // its request to the running helper and ends.
    SingleInstance instance;
    if (!instance.claim()) {
        const QStringList arguments = QApplication::arguments().mid(1);
        if (arguments.isEmpty()) {
            SingleInstance::requestShow();
        } else {
            SingleInstance::sendUrl(QUrl(arguments.constFirst()));
        }
        return 0;
    }

    auto signInSheet = std::make_shared<BrowserSignIn>(
        [](const QUrl& url) { return QDesktopServices::openUrl(url); });
    QObject::connect(&instance, &SingleInstance::urlReceived, signInSheet.get(),
                     &BrowserSignIn::deliverCallback);
    SignInSheetWindow signInWindow(*signInSheet);
    GateController::shared(signInSheet);
    return QApplication::exec();
}
