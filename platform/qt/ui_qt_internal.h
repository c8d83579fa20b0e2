// What the Qt front-end's own files share with each other and with nothing else: the table of
// windows and their controls and timers, and the calls one part of the front-end makes into
// another.
#pragma once

#include "platform/qt/ui_qt.h"
#include "resources/resources.h"

#include <QIcon>
#include <QPixmap>
#include <QString>

class QEventLoop;
class QTimer;

enum { MAX_WINDOWS = 32, MAX_CONTROLS = 32, MAX_TIMERS = 8 };

struct QtControl {
    int id;
    int kind;
    int style;
    QWidget* widget;
};

struct QtTimer {
    int id; // 0: free
    QTimer* timer;
    int pending; // a tick is queued and not yet delivered
};

struct QtWindow {
    UiWnd handle; // 0: free slot
    QWidget* widget;
    int is_main;
    const DialogTemplate* tpl;
    UiDialogProc proc;
    int ended;
    int code;
    QEventLoop* loop;
    int default_id;
    QtControl controls[MAX_CONTROLS];
    int control_count;
    QtTimer timers[MAX_TIMERS];
};

// --- windows, loops and text (ui_qt.cpp) ---------------------------------------------------------

// Receivers of the main window's events, as ui_qt_set_main_events left them.
extern UiQtMainEvents qt_main_events;

// Text from the portable code: one byte per character, Latin-1.
QString qt_from_bytes(const char* s);
QtWindow* qt_find_window(UiWnd h);
// A free slot, cleared and given a new handle; nullptr when every slot is taken.
QtWindow* qt_new_window();
// Runs a nested loop until *ended is set, or until the program quits.
void qt_run_modal(QEventLoop* loop, const int* ended);

// --- dialogs from templates (ui_qt_templates.cpp) ------------------------------------------------

// The group box around control `i` of a template, -1 when there is none.
int qt_enclosing_group(const DialogTemplate* tpl, int i);
// Brings the innermost visible dialog forward: what another copy's start asks for.
void qt_raise_top_dialog();

// --- accessible names (ui_qt_names.cpp) ----------------------------------------------------------

// 1 for a static with an id and no words: a value the program sets, shown as a read-only field.
int qt_is_value_field(const DialogControl& c);
// Names control `i` of the window's template for screen readers, and gives a label its buddy.
void qt_name_control(QtWindow* w, int i);
// Where the focus starts when value fields come first; nullptr to leave it to Qt.
QWidget* qt_first_tab_stop(QtWindow* w);

// --- images (ui_qt_images.cpp) -------------------------------------------------------------------

// ICON_ON or ICON_OFF from the embedded images, or a drawn stand-in.
QIcon qt_load_icon(const char* name);
// A picture control's image by its name in the template, or a drawn stand-in.
QPixmap qt_load_picture(const char* name);

// --- the tray icon (ui_qt_tray.cpp) --------------------------------------------------------------

// Brings what a screen reader finds of the tray icon up to date with the messages waiting.
void qt_tray_describe();
