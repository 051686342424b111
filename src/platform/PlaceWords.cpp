#include "platform/PlaceWords.h"

#include <QtGlobal>

PlaceWords PlaceWords::macOS() {
    return {.thisHelper = QStringLiteral("This Mac helper"),
            .thisComputer = QStringLiteral("this Mac"),
            .runningPlace = QStringLiteral("in your menu bar (top-right)"),
            .theIcon = QStringLiteral("the menu-bar icon"),
            .theIconPlaced = QStringLiteral("the menu-bar icon (top-right)")};
}

// A tray sits wherever the desktop puts its panel, so no corner is named.
PlaceWords PlaceWords::linuxDesktop() {
    return {.thisHelper = QStringLiteral("This helper"),
            .thisComputer = QStringLiteral("this computer"),
            .runningPlace = QStringLiteral("in your system tray"),
            .theIcon = QStringLiteral("the tray icon"),
            .theIconPlaced = QStringLiteral("the tray icon")};
}

const PlaceWords& PlaceWords::native() {
#ifdef Q_OS_MACOS
    static const PlaceWords words = macOS();
#else
    static const PlaceWords words = linuxDesktop();
#endif
    return words;
}
