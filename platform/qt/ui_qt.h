// The Qt front-end's own entry points, beside the portable UI layer of platform/ui.h: how main()
// wires the main window's events to the program, and what the tests and screenshots reach into.
#pragma once

#include "platform/ui.h"

class QWidget;

// Receivers of the main window's events. main() points them at the shell; tests at their own.
struct UiQtMainEvents {
    void (*timer_tick)();    // the main window's timer
    void (*tray_event)(int); // UI_TRAY_DBLCLK, UI_TRAY_RBUTTONUP
    void (*destroyed)();     // ui_destroy_window on the main window
    int (*waiting)();        // messages waiting, for the tray icon's description; -1: unknown now
    void (*another_start)(); // a second copy gave way to this one
};
void ui_qt_set_main_events(const UiQtMainEvents* events);

// The widget behind a handle, nullptr when there is none.
QWidget* ui_qt_widget(UiWnd w);
// The handle of the innermost dialog that is running, 0 when none.
UiWnd ui_qt_top_dialog();
// 1 once ui_quit was called: every modal loop is unwinding.
int ui_qt_quitting();
// Dialog units to pixels for a template, from its font (or the fallback font).
void ui_qt_dialog_units(const DialogTemplate* tpl, int* avg_width, int* height);
// Where the single-copy lock and socket live; set before ui_find_running (tests use their own).
void ui_qt_set_runtime_dir(const char* dir);
// 1 when the tray icon is shown in a notification area.
int ui_qt_tray_docked();
// Releases the single-copy lock and socket (also done at process exit).
void ui_qt_release_single_copy();
