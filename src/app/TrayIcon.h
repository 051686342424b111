#pragma once

#include <QIcon>
#include <QImage>
#include <QString>

// The tray icon. The panel's colour is not known (a panel's palette is not the application's,
// and on the bus the host draws the icon on whatever it likes), so the symbol is drawn light
// with a dark outline: the light fill stands out on a dark panel, the outline on a light one.
namespace TrayIcon {

// The symbol as the tray shows it, at one size in pixels; with a badge, a dot in its top right
// corner says that something waits for the user.
QImage image(const QString& symbol, int size, bool badge = false);

// Every size a tray asks for.
QIcon icon(const QString& symbol, bool badge = false);

} // namespace TrayIcon
