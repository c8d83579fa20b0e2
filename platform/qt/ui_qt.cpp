// The UI layer on Qt 6 Widgets: the table of windows, the hidden main window, timers, nested modal
// loops, message boxes and the application's loop. It only draws and maps events: every modal
// dialog and message box runs a nested event loop in which the main window's timer and the tray
// icon keep being served. Text crosses this layer as 8-bit bytes, one character each.
#include "platform/qt/ui_qt_internal.h"

#include <QApplication>
#include <QEventLoop>
#include <QGridLayout>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QSpacerItem>
#include <QTimer>
#include <QWidget>

#include <cerrno>
#include <time.h>

namespace {

QtWindow windows[MAX_WINDOWS];
UiWnd last_handle;
int quitting;
int quit_code;

} // namespace

UiQtMainEvents qt_main_events;

QString qt_from_bytes(const char* s) {
    return QString::fromLatin1(s ? s : "");
}

QtWindow* qt_find_window(UiWnd h) {
    if (h == 0) return nullptr;
    for (QtWindow& w : windows)
        if (w.handle == h) return &w;
    return nullptr;
}

QtWindow* qt_new_window() {
    for (QtWindow& w : windows) {
        if (w.handle == 0) {
            w = QtWindow();
            w.handle = ++last_handle;
            return &w;
        }
    }
    return nullptr;
}

// Runs a nested loop until *ended is set, or until the program quits.
void qt_run_modal(QEventLoop* loop, const int* ended) {
    while (!*ended && !quitting)
        loop->exec();
}

namespace {

void deliver_tick(UiWnd h, int id) {
    QtWindow* w = qt_find_window(h);
    if (!w) return;
    QtTimer* t = nullptr;
    for (QtTimer& s : w->timers)
        if (s.id == id) t = &s;
    if (!t) return;
    t->pending = 0;
    if (!t->timer->isActive() || quitting) return;
    if (w->is_main) {
        if (qt_main_events.timer_tick) qt_main_events.timer_tick();
        qt_tray_describe();
    } else if (w->proc && !w->ended) {
        w->proc(h, UI_TIMER, id);
    }
}

} // namespace

// --- front-end entry points ----------------------------------------------------------------------

void ui_qt_set_main_events(const UiQtMainEvents* events) {
    qt_main_events = events ? *events : UiQtMainEvents();
}

// The portable registration: the four events, the tray description's count left as it is.
void ui_set_main_events(const UiMainEvents* events) {
    qt_main_events.timer_tick = events ? events->timer_tick : nullptr;
    qt_main_events.tray_event = events ? events->tray_event : nullptr;
    qt_main_events.destroyed = events ? events->destroyed : nullptr;
    qt_main_events.another_start = events ? events->another_start : nullptr;
}

QWidget* ui_qt_widget(UiWnd h) {
    QtWindow* w = qt_find_window(h);
    return w ? w->widget : nullptr;
}

int ui_qt_quitting() {
    return quitting;
}

// --- windows -------------------------------------------------------------------------------------

void ui_set_caption(UiWnd h, const char* text) {
    QtWindow* w = qt_find_window(h);
    if (w && w->widget) w->widget->setWindowTitle(qt_from_bytes(text));
}

void ui_foreground(UiWnd h) {
    QtWindow* w = qt_find_window(h);
    if (!w || !w->widget || !w->widget->isVisible()) return;
    w->widget->raise();
    w->widget->activateWindow();
}

void ui_window_rect(UiWnd h, UiRect* r) {
    if (!r) return;
    *r = UiRect{0, 0, 0, 0};
    QtWindow* w = qt_find_window(h);
    if (!w || !w->widget) return;
    QRect g = w->widget->frameGeometry();
    *r = UiRect{g.left(), g.top(), g.left() + g.width(), g.top() + g.height()};
}

void ui_move_window(UiWnd h, int x, int y) {
    QtWindow* w = qt_find_window(h);
    if (w && w->widget) w->widget->move(x, y);
}

// --- timers --------------------------------------------------------------------------------------

int ui_timer_start(UiWnd h, int id, int ms) {
    QtWindow* w = qt_find_window(h);
    if (!w || !w->widget || id == 0) return 0;
    QtTimer* slot = nullptr;
    for (QtTimer& t : w->timers)
        if (t.id == id) slot = &t;
    for (QtTimer& t : w->timers)
        if (!slot && t.id == 0) slot = &t;
    if (!slot) return 0;
    if (slot->id == 0) {
        slot->id = id;
        slot->pending = 0;
        slot->timer = new QTimer(w->widget);
        // A tick is delivered from a queued call rather than inside the timer's own event, so
        // that a modal loop opened by one tick still receives the next ones.
        QObject::connect(slot->timer, &QTimer::timeout, [h, id]() {
            QtWindow* ww = qt_find_window(h);
            if (!ww) return;
            for (QtTimer& t : ww->timers) {
                if (t.id != id || t.pending) continue;
                t.pending = 1;
                QMetaObject::invokeMethod(
                    qApp, [h, id]() { deliver_tick(h, id); }, Qt::QueuedConnection);
            }
        });
    }
    slot->timer->start(ms > 0 ? ms : 1);
    return 1;
}

void ui_timer_stop(UiWnd h, int id) {
    QtWindow* w = qt_find_window(h);
    if (!w) return;
    for (QtTimer& t : w->timers) {
        if (t.id != id) continue;
        t.timer->stop();
        delete t.timer;
        t.timer = nullptr;
        t.id = 0;
        t.pending = 0;
    }
}

// --- screen --------------------------------------------------------------------------------------

int ui_work_area(UiRect* r) {
    QScreen* s = QGuiApplication::primaryScreen();
    if (!s || !r) return 0;
    QRect g = s->availableGeometry();
    *r = UiRect{g.left(), g.top(), g.left() + g.width(), g.top() + g.height()};
    return 1;
}

void ui_screen_size(int* width, int* height) {
    QScreen* s = QGuiApplication::primaryScreen();
    QRect g = s ? s->geometry() : QRect(0, 0, 0, 0);
    if (width) *width = g.width();
    if (height) *height = g.height();
}

// --- message boxes -------------------------------------------------------------------------------

void ui_message_box(UiWnd owner, const char* text, const char* caption, int flags) {
    if (quitting) return;
    QtWindow* ow = qt_find_window(owner);
    QWidget* parent =
        (ow && !ow->is_main && ow->widget && ow->widget->isVisible()) ? ow->widget : nullptr;
    QMessageBox box(flags & UI_MB_ICONERROR ? QMessageBox::Critical : QMessageBox::NoIcon,
                    qt_from_bytes(caption), QString(), QMessageBox::Ok, parent);
    // A notice from the network is shown as it came: never as markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(qt_from_bytes(text));
    box.setObjectName(QStringLiteral("keltup-message-box"));
    box.setWindowModality(parent ? Qt::WindowModal : Qt::NonModal);
    // Wide enough for its caption, as a Win32 message box is.
    if (QGridLayout* grid = qobject_cast<QGridLayout*>(box.layout())) {
        int need = box.fontMetrics().horizontalAdvance(box.windowTitle()) + 120;
        grid->addItem(new QSpacerItem(need, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
    int ended = 0;
    QEventLoop loop;
    QObject::connect(&box, &QDialog::finished, [&ended, &loop]() {
        ended = 1;
        loop.exit(0);
    });
    box.show();
    qt_run_modal(&loop, &ended);
}

// --- the application -----------------------------------------------------------------------------

int ui_register_class(const char*) {
    return 1;
}

UiWnd ui_create_main_window(const char*, const char* title) {
    QtWindow* w = qt_new_window();
    if (!w) return 0;
    w->is_main = 1;
    QWidget* main = new QWidget(nullptr, Qt::Tool);
    main->setWindowTitle(qt_from_bytes(title));
    main->setObjectName(QStringLiteral("KelTup"));
    QApplication::setWindowIcon(qt_load_icon(ICON_OFF));
    // Never shown; it gives the dialogs it owns their origin, as a default-placed window would.
    QRect area(0, 0, 1024, 768);
    if (QScreen* s = QGuiApplication::primaryScreen()) area = s->availableGeometry();
    main->setGeometry(area.left() + area.width() / 8, area.top() + area.height() / 8,
                      area.width() * 3 / 4, area.height() * 3 / 4);
    w->widget = main;
    return w->handle;
}

void ui_destroy_window(UiWnd h) {
    QtWindow* w = qt_find_window(h);
    if (!w) return;
    if (w->is_main) {
        if (qt_main_events.destroyed) qt_main_events.destroyed();
        for (QtTimer& t : w->timers)
            t.id = 0;
        w->handle = 0;
        w->widget->deleteLater();
        w->widget = nullptr;
        return;
    }
    ui_dialog_end(h, 0);
}

int ui_run_loop() {
    if (!quitting) QApplication::exec();
    // What was given up for deletion inside nested loops goes now.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return quit_code;
}

void ui_quit(int code) {
    if (quitting) return;
    quitting = 1;
    quit_code = code;
    // Every nested loop (dialogs, boxes, menus) unwinds, then the main loop ends.
    QCoreApplication::exit(code);
}

unsigned long ui_last_error() {
    return (unsigned long)errno;
}

void ui_sleep(int ms) {
    if (ms <= 0) return;
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
    }
}
