// Exits 0 when Qt finds a system tray on this display: what the helper itself will ask before
// it makes its icon. The scripts that start a virtual desktop wait on it.
#include <QApplication>
#include <QSystemTrayIcon>

int main(int argc, char* argv[]) {
    const QApplication app(argc, argv);
    return QSystemTrayIcon::isSystemTrayAvailable() ? 0 : 1;
}
