#include "BuildConfig.h"
#include "app/ConnectCommand.h"
#include "app/ControllerAssembly.h"
#include "app/MenuActions.h"
#include "app/RequestNotifier.h"
#include "app/SignInSheetPresenter.h"
#include "app/TrayMenu.h"
#include "app/TrayWatcher.h"
#include "app/WindowManager.h"
#include "gate/GateController.h"
#include "platform/BrowserSignIn.h"
#include "platform/ExitOnFatalMessage.h"
#include "platform/QuitSignals.h"
#include "platform/SingleInstance.h"

#include <QApplication>
#include <QDesktopServices>
#include <QTimer>

#include <cstdio>
#include <optional>
#include <thread>

namespace {

// A later start (from the desktop, or the browser handing back a sign-in callback) passes its
// request to the running helper and ends; one whose request was not taken says why.
int handOver(const QStringList& arguments) {
    const auto delivered = arguments.isEmpty()
                               ? SingleInstance::requestShow()
                               : SingleInstance::sendUrl(QUrl(arguments.constFirst()));
    if (!delivered) {
        std::fprintf(stderr, "kestrova-helper: %s\n", qPrintable(delivered.error()));
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    // Before any window system is touched: it runs where there is no display.
    if (ConnectCommand::handles(argc, argv)) {
        return ConnectCommand::run(argc, argv);
    }
    // No display the toolkit can use ends the program with its message, not a crash.
    std::optional<ExitOnFatalMessage> toolkitStart(std::in_place);
    QApplication app(argc, argv);
    toolkitStart.reset();
    QApplication::setOrganizationName(QStringLiteral("Kestrova"));
    QApplication::setApplicationName(QStringLiteral("Kestrova Helper"));
    QApplication::setDesktopFileName(QString::fromUtf8(BuildConfig::appId));
    // A tray program: closing its windows does not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    SingleInstance instance;
    if (!instance.claim()) {
        return handOver(QApplication::arguments().mid(1));
    }
    // Reaching the session bus takes round trips: made on a worker thread while this one
    // builds the welcome window, the connection is there when the tray watcher asks for it.
    const std::jthread busConnection([] { QDBusConnection::sessionBus(); });

    auto signInSheet = std::make_shared<BrowserSignIn>(
        [](const QUrl& url) { return QDesktopServices::openUrl(url); });
    instance.setUrlHandler(
        [signInSheet](const QUrl& url) { return signInSheet->deliverCallback(url); });
    const SignInSheetPresenter signInWindows(*signInSheet);

    // Never released: work still running at exit must find it in place. Held from a static, so
    // the leak check at exit sees it is kept on purpose.
    static auto* const gateObject = new GateController(
        ControllerAssembly::production(signInSheet, std::make_shared<QNetworkAccessManager>()));
    GateController& gate = *gateObject;
    if (const auto problem = instance.listenError()) {
        gate.report(QStringLiteral("Second starts cannot reach this helper: ") + *problem);
    }
    const WebSite site{QUrl(QString::fromUtf8(BuildConfig::webUrl)),
                       [](const QUrl& url) { QDesktopServices::openUrl(url); }};
    WindowManager windows(gate, site);
    MenuActions actions(gate, windows, site);
    // Made once the window is on its way: the notification server's name and signals cost bus
    // round trips the first frame need not wait for. Nothing is lost meanwhile: it shows what
    // waits once the server said what it can show, and the gate's first look comes later.
    std::optional<RequestNotifier> notifier;
    QObject::connect(&actions, &MenuActions::quitRequested, &app, &QApplication::quit);
    // The end of the desktop session (SIGTERM) ends the program as Quit does.
    const QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::received, &actions,
                     [&actions] { actions.perform(MenuEntry::Action::Quit); });
    // Where no tray holds the menu, the welcome window offers its commands.
    QObject::connect(&windows, &WindowManager::actionChosen, &actions, &MenuActions::perform);
    QObject::connect(&instance, &SingleInstance::showRequested, &windows,
                     &WindowManager::showWelcomeFor);
    // Made while the bus connection is on its way; shown once the trays have answered.
    windows.prepareWelcome();
    // Asked of the desktop itself, not of the toolkit: the toolkit's first answer would also
    // fix, for the whole run, that icons never go on the bus.
    TrayWatcher trays;
    std::unique_ptr<TrayMenu> tray;
    // Made anew when a tray comes up: an icon made before its tray, or registered with a
    // watcher since replaced, is shown nowhere.
    const auto makeTray = [&] {
        const TrayWatcher::Kind kind = trays.kindForNewIcon();
        if (kind == TrayWatcher::Kind::None) {
            return;
        }
        tray.reset();
        tray = std::make_unique<TrayMenu>(gate, windows, actions, site,
                                          kind == TrayWatcher::Kind::StatusNotifier
                                              ? TrayMenu::Host::DrawsMenu
                                              : TrayMenu::Host::Embeds);
        windows.setTrayAvailable(true);
    };
    // The window waits for the desktop's first word on its trays (a moment at most), so that
    // it does not grow by a line once on the screen. The tray icon follows once the window is
    // on its way: the window is what the user waits for.
    QObject::connect(
        &trays, &TrayWatcher::settled, &app,
        [&] {
            if (trays.kind() == TrayWatcher::Kind::None) {
                windows.reportMissingTray();
            } else {
                windows.showWelcome();
            }
            QTimer::singleShot(0, &app, makeTray);
            QTimer::singleShot(0, &app, [&] {
                notifier.emplace(gate, QDBusConnection::sessionBus(),
                                 QString::fromUtf8(BuildConfig::appId));
            });
        },
        Qt::SingleShotConnection);
    QObject::connect(&trays, &TrayWatcher::appeared, &app, makeTray);
    QObject::connect(&trays, &TrayWatcher::gone, &windows,
                     [&windows] { windows.setTrayAvailable(false); });
    return QApplication::exec();
}
