// The smallest tray program: what the helper's start-up, memory and idle figures are compared
// against. One window, one tray icon, nothing else.
#include <QApplication>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QWidget>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::darkCyan);
    QSystemTrayIcon tray{QIcon(pixmap)};
    tray.show();

    QWidget window;
    window.setWindowTitle(QStringLiteral("Baseline"));
    window.show();
    return QApplication::exec();
}
