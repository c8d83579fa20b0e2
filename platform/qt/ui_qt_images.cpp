// The images embedded in the front-end, the tray icons and the About picture, with the stand-ins
// drawn while one of them is missing.
#include "platform/qt/ui_qt_internal.h"

#include <QColor>
#include <QPainter>

#include <cstring>

// The embedded images live in this static library; their registration must be called for.
static void init_images() {
    Q_INIT_RESOURCE(keltup_images);
}

namespace {

void ensure_images() {
    static int done;
    if (!done) init_images();
    done = 1;
}

QIcon fallback_icon(const char* name) {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(strcmp(name, ICON_ON) == 0 ? QColor(220, 40, 40) : QColor(90, 90, 90));
    p.setPen(Qt::black);
    p.drawEllipse(3, 3, 26, 26);
    return QIcon(pm);
}

} // namespace

QIcon qt_load_icon(const char* name) {
    ensure_images();
    const char* path = nullptr;
    if (strcmp(name, ICON_ON) == 0)
        path = ":/keltup/dromon.png";
    else if (strcmp(name, ICON_OFF) == 0)
        path = ":/keltup/dromoff.png";
    QIcon icon;
    if (path) icon = QIcon(QString::fromLatin1(path));
    if (icon.isNull() || icon.availableSizes().isEmpty()) return fallback_icon(name);
    return icon;
}

QPixmap qt_load_picture(const char* name) {
    ensure_images();
    QPixmap pm;
    if (name && (strcmp(name, "113") == 0 || strcmp(name, "ABOUT") == 0))
        pm.load(QStringLiteral(":/keltup/about.png"));
    if (pm.isNull()) {
        pm = QPixmap(90, 31);
        pm.fill(QColor(40, 70, 140));
    }
    return pm;
}
