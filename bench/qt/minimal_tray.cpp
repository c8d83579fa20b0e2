// The baseline for keltup's idle benchmark: the least a Qt tray program does, an icon in the
// notification area and a 500 ms timer, and nothing else.
#include <QApplication>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter(&pm).fillRect(4, 4, 24, 24, Qt::darkGray);
    QIcon icon(pm);
    QSystemTrayIcon tray(icon);
    tray.setToolTip(QStringLiteral("minimal"));
    tray.show();
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, []() {});
    tick.start(500);
    return QApplication::exec();
}
