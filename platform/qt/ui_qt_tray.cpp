// The notification-area icon: its clicks and menu, what a screen reader finds of it, and its
// docking on X11, asked for again whenever a notification area appears after the icon was made.
// The icon is one of two kinds: a small X11 window that the notification area adopts (XEmbed), or
// a D-Bus status notifier item that a host on the session bus shows. Qt makes the item whenever
// such a host is there when the first icon is made, and keeps to that choice for the rest of the
// process; so the icon is made once a notification area of either kind is there.
#include "platform/qt/ui_qt_internal.h"

#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

QSystemTrayIcon* tray;
QTimer* tray_watch; // runs from ui_tray_add to ui_tray_remove, with or without an icon made
int tray_docked;
char tray_image[32]; // the icon's image, as ui_tray_add and ui_tray_set named it
int tray_said_missing;
QPointer<QMessageBox> no_tray_box;

// 1 when the icon is a D-Bus item: chosen when the first icon is made, as Qt chooses.
int tray_on_dbus = -1;

const char kWatcher[] = "org.kde.StatusNotifierWatcher";

// 1 when a status notifier watcher is on the session bus; with `with_host`, only when it also says
// that a host, something that shows the items, is registered with it.
int status_notifier_watcher(int with_host) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()) return 0;
    if (!bus.interface()->isServiceRegistered(QLatin1String(kWatcher)).value()) return 0;
    if (!with_host) return 1;
    QDBusInterface watcher(QLatin1String(kWatcher), QStringLiteral("/StatusNotifierWatcher"),
                           QLatin1String(kWatcher), bus);
    return watcher.property("IsStatusNotifierHostRegistered").toBool() ? 1 : 0;
}

// 1 when an X11 notification area that docks icons (XEmbed) owns its selection on our screen.
int xembed_tray_present() {
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection()) return 0;
    const char* display = getenv("DISPLAY");
    const char* dot = display ? strrchr(display, '.') : nullptr;
    int screen = dot && dot > strrchr(display, ':') ? atoi(dot + 1) : 0;
    char name[40];
    snprintf(name, sizeof name, "_NET_SYSTEM_TRAY_S%d", screen);
    xcb_connection_t* c = x11->connection();
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<uint16_t>(strlen(name)), name), nullptr);
    if (!atom) return 0;
    xcb_get_selection_owner_reply_t* owner =
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr);
    int present = owner && owner->owner != XCB_NONE;
    free(owner);
    free(atom);
    return present;
}

// What a screen reader finds of the tray icon. The icon is a small window of Qt's own, made
// again whenever it docks again: its accessible name is the tip ("KelTup"), its description says
// how many messages wait, and its window title, the name a notification area on X11 can give its
// icons, says both. The tip shown on the screen stays the tip.
QString tray_tip;
int tray_waiting;
QPointer<QWidget> tray_window;

} // namespace

void qt_tray_describe() {
    if (!tray) return;
    if (qt_main_events.waiting) {
        int n = qt_main_events.waiting();
        if (n >= 0) tray_waiting = n;
    }
    QString says = tray_waiting == 1  ? QStringLiteral("1 message waiting")
                   : tray_waiting > 1 ? QStringLiteral("%1 messages waiting").arg(tray_waiting)
                                      : QStringLiteral("No messages");
    QString title = tray_waiting > 0 ? tray_tip + QStringLiteral(" - ") + says : tray_tip;
    // A D-Bus item has no window: its tool tip is what a host shows and reads out.
    if (tray_on_dbus == 1) {
        if (tray->toolTip() != title) tray->setToolTip(title);
        return;
    }
    if (!tray_window) {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (strcmp(w->metaObject()->className(), "QSystemTrayIconSys") == 0) tray_window = w;
        if (!tray_window) return;
    }
    if (tray_window->accessibleName() != tray_tip) tray_window->setAccessibleName(tray_tip);
    if (tray_window->accessibleDescription() != says) tray_window->setAccessibleDescription(says);
    if (tray_window->windowTitle() != title) tray_window->setWindowTitle(title);
}

namespace {

void deliver_tray_event(int mouse_event) {
    if (!ui_qt_quitting() && qt_main_events.tray_event) qt_main_events.tray_event(mouse_event);
}

// The shell's answer to a click can run whole modal dialogs, or remove the icon: it runs from the
// event queue, not inside the icon's own mouse handling. A host of D-Bus items has no double-click:
// its click, Activate, is the double-click; its ContextMenu request the right button's.
void tray_activated(QSystemTrayIcon::ActivationReason reason) {
    int mouse_event = reason == QSystemTrayIcon::DoubleClick                    ? UI_TRAY_DBLCLK
                      : reason == QSystemTrayIcon::Trigger && tray_on_dbus == 1 ? UI_TRAY_DBLCLK
                      : reason == QSystemTrayIcon::Context                      ? UI_TRAY_RBUTTONUP
                                                                                : 0;
    if (mouse_event)
        QMetaObject::invokeMethod(
            qApp, [mouse_event]() { deliver_tray_event(mouse_event); }, Qt::QueuedConnection);
}

// On X11 the icon is a small window of its own that the notification area adopts: docked means
// its parent is no longer the root window. Elsewhere, an available tray is taken as docked.
int tray_embedded() {
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection()) return 1;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (strcmp(w->metaObject()->className(), "QSystemTrayIconSys") != 0) continue;
        if (!w->internalWinId()) return 0;
        xcb_connection_t* c = x11->connection();
        xcb_query_tree_reply_t* r =
            xcb_query_tree_reply(c, xcb_query_tree(c, (xcb_window_t)w->internalWinId()), nullptr);
        int embedded = r && r->parent != r->root;
        free(r);
        return embedded;
    }
    return 0;
}

void make_icon(int on_dbus) {
    if (tray_on_dbus < 0) tray_on_dbus = on_dbus;
    tray = new QSystemTrayIcon(qt_load_icon(tray_image));
    tray->setToolTip(tray_tip);
    QObject::connect(tray, &QSystemTrayIcon::activated, tray_activated);
    tray->show();
}

void say_missing() {
    if (tray_said_missing) return;
    tray_said_missing = 1;
    fprintf(stderr, "keltup: this desktop has no notification area; KelTup keeps running "
                    "and its icon appears when one starts. On GNOME, turn on the "
                    "AppIndicator extension. Meanwhile, starting KelTup again opens its "
                    "messages, or a new one to write.\n");
    QMessageBox* box = new QMessageBox(
        QMessageBox::Information, QStringLiteral("KelTup"),
        QStringLiteral("This desktop has no notification area. KelTup keeps running and its "
                       "icon appears as soon as a notification area starts.\n\n"
                       "On GNOME, turn on the AppIndicator extension (in the Extensions "
                       "app; Debian and Ubuntu package it as "
                       "gnome-shell-extension-appindicator) and sign in again.\n\n"
                       "Until then, start KelTup again from the application menu to read "
                       "your messages, or to write one when none are waiting."),
        QMessageBox::Ok);
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName(QStringLiteral("keltup-no-tray"));
    box->show();
    no_tray_box = box;
}

void watch_tray() {
    if (!tray) {
        // Asking Qt whether a notification area is there would fix its choice of kind: ask the
        // session bus and the X server instead, and make the icon once either has one.
        int host = status_notifier_watcher(1);
        if (host || xembed_tray_present())
            make_icon(host);
        else
            say_missing();
        if (!tray) return;
    }
    // A D-Bus item stays registered: Qt registers it again by itself when the watcher comes back,
    // and there is no window to dock.
    int available =
        tray_on_dbus == 1 ? status_notifier_watcher(0) : QSystemTrayIcon::isSystemTrayAvailable();
    // A notification area that appeared after the icon was made, or one that was still starting
    // when the icon asked to dock, has not adopted it: ask again.
    tray_docked = available && (tray_on_dbus == 1 || tray_embedded());
    static int undocked_checks;
    undocked_checks = (available && !tray_docked) ? undocked_checks + 1 : 0;
    if (undocked_checks >= 2) { // a dock request in progress gets a second to finish
        undocked_checks = 0;
        tray->hide();
        tray->show();
    }
    // A docked icon stays docked unless the notification area goes away, which is rare: look
    // seldom then, so that an idle program hardly wakes up.
    if (tray_watch) tray_watch->setInterval(tray_docked ? 10000 : 1000);
    if (!available) say_missing();
    // Once docked, the word about the missing notification area is out of date.
    if (tray_docked && no_tray_box) no_tray_box->close();
}

} // namespace

// --- front-end entry points ----------------------------------------------------------------------

int ui_qt_tray_docked() {
    return tray && tray_docked;
}

// Looked at now, not as the last watch saw it: a second start may come just after a docking. An
// item is shown while a host is registered.
int ui_tray_shown() {
    if (!tray) return 0;
    if (tray_on_dbus == 1) return status_notifier_watcher(1);
    return QSystemTrayIcon::isSystemTrayAvailable() && tray_embedded();
}

// --- the notification-area icon -----------------------------------------------------------------

int ui_tray_add(UiWnd, const char* icon, const char* tip) {
    if (tray_watch) return 1;
    snprintf(tray_image, sizeof tray_image, "%s", icon ? icon : ICON_OFF);
    tray_tip = qt_from_bytes(tip);
    // The icon is made, and docks again, whenever a notification area appears.
    tray_watch = new QTimer(qApp);
    QObject::connect(tray_watch, &QTimer::timeout, watch_tray);
    tray_watch->start(1000);
    watch_tray(); // makes the icon, or says at once that there is nowhere to show it
    return 1;
}

void ui_tray_set(const char* icon) {
    if (icon) snprintf(tray_image, sizeof tray_image, "%s", icon);
    if (tray && icon) tray->setIcon(qt_load_icon(icon));
    qt_tray_describe();
}

void ui_tray_remove() {
    if (!tray_watch) return;
    tray_watch->stop();
    tray_watch->deleteLater(); // it may be handling an event right now
    tray_watch = nullptr;
    if (tray) {
        tray->hide();
        tray->deleteLater();
        tray = nullptr;
    }
    tray_docked = 0;
}

int ui_tray_menu(UiWnd, const MenuTemplate* menu) {
    if (!menu || ui_qt_quitting()) return 0;
    QMenu m;
    m.setObjectName(qt_from_bytes(menu->name));
    m.setTitle(qt_from_bytes(menu->popup));
    for (int i = 0; i < menu->item_count; i++) {
        const MenuItem& it = menu->items[i];
        if (!it.text) {
            m.addSeparator();
            continue;
        }
        QAction* a = m.addAction(qt_from_bytes(it.text));
        a->setData(it.command);
    }
    // An item chosen through the accessibility bus is triggered without the menu's own loop
    // seeing a click: take it as chosen all the same.
    QPointer<QAction> triggered;
    QObject::connect(&m, &QMenu::triggered, [&](QAction* a) {
        triggered = a;
        m.close();
    });
    // On Wayland a menu without a window of the program to hang from is a window of its own; a
    // fixed size keeps tiling compositors from stretching it over the screen.
    if (QGuiApplication::platformName() == QLatin1String("wayland")) m.setFixedSize(m.sizeHint());
    // Bottom-right corner at the cursor; Qt keeps the menu on the screen.
    QPoint at = QCursor::pos() - QPoint(m.sizeHint().width(), m.sizeHint().height());
    QAction* chosen = m.exec(at);
    if (!chosen) chosen = triggered;
    if (!chosen || ui_qt_quitting()) return 0;
    return chosen->data().toInt();
}
