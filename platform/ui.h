// The desktop as the portable code sees it.
//
// Everything KelTup shows or asks of the window system goes through these free functions. They
// follow the Win32 model: windows and dialogs are handles, controls are reached by id inside their
// dialog, buttons and keys arrive as commands, timers are numbered per window, and every dialog and
// message box runs a nested modal loop in which the main window's timer and the tray keep being
// served. Each front-end (Win32, Qt, the test fake) implements all of them; the main window's
// events reach the receivers the program's entry sets with ui_set_main_events.
#pragma once

#include "resources/resources.h"

// A window or dialog handle. 0 is no window.
typedef int UiWnd;

// Events delivered to a dialog procedure.
enum UiEvent {
    UI_INIT = 1,    // the dialog and its controls exist; param is 0
    UI_COMMAND = 2, // a button, Enter (the default button's id, else 1) or Esc/close box (2)
    UI_TIMER = 3,   // param is the timer id
};

// Returns 1 when the event was handled, 0 to leave it to the platform (which then does nothing
// more for commands: a dialog closes only through ui_dialog_end).
typedef int (*UiDialogProc)(UiWnd dlg, int event, int param);

// Tray callback events (the mouse message numbers of the Win32 tray callback).
enum { UI_TRAY_DBLCLK = 515, UI_TRAY_RBUTTONUP = 517 };

// Message box flags.
enum { UI_MB_OK = 0x0, UI_MB_ICONERROR = 0x10 };

struct UiRect {
    int left, top, right, bottom;
};

// --- modal dialogs --------------------------------------------------------------------------
// Builds the dialog from its template, owned by `owner`, delivers UI_INIT, and runs a nested
// modal loop until ui_dialog_end. Returns the end code, or -1 when the dialog could not be made.
int ui_dialog_run(const DialogTemplate* tpl, UiWnd owner, UiDialogProc proc);
void ui_dialog_end(UiWnd dlg, int code);

// Controls by id. ui_get_text copies at most size - 1 characters and always ends with a NUL.
void ui_set_text(UiWnd dlg, int id, const char* text);
void ui_get_text(UiWnd dlg, int id, char* buf, int size);
void ui_set_check(UiWnd dlg, int id, int state);
int ui_get_check(UiWnd dlg, int id);

// Windows in general (dialogs and the main window).
void ui_set_caption(UiWnd w, const char* text);
void ui_foreground(UiWnd w);
void ui_window_rect(UiWnd w, UiRect* r);    // outer rectangle in screen pixels
void ui_move_window(UiWnd w, int x, int y); // no resize, no z-order change

// Timers: ticks of a dialog's timer reach its procedure as UI_TIMER; ticks of the main window's
// timer reach the timer_tick receiver. Returns 1 when the timer was made.
int ui_timer_start(UiWnd w, int id, int ms);
void ui_timer_stop(UiWnd w, int id);

// Screen geometry. ui_work_area returns 0 when the system cannot say.
int ui_work_area(UiRect* r);
void ui_screen_size(int* width, int* height);

// A modal message box with an OK button. Returns when the user has closed it.
void ui_message_box(UiWnd owner, const char* text, const char* caption, int flags);

// --- the notification-area icon -------------------------------------------------------------
// Icons are named by their resource names ("DROMON", "DROMOFF"). Add returns 1 on success.
int ui_tray_add(UiWnd owner, const char* icon, const char* tip);
void ui_tray_set(const char* icon);
void ui_tray_remove();
// Shows the menu's first pop-up at the cursor and returns the chosen command, 0 when dismissed.
int ui_tray_menu(UiWnd owner, const MenuTemplate* menu);
// 1 while the icon is shown in a notification area; 0 while the desktop has none for it (the
// icon then waits for one) or no icon was added.
int ui_tray_shown();

// --- the main window's events ---------------------------------------------------------------
// Where the front-end delivers what happens to the main window: the program's entry points these
// at the application before it starts.
struct UiMainEvents {
    void (*timer_tick)();    // the main window's timer
    void (*tray_event)(int); // the tray callback: UI_TRAY_DBLCLK, UI_TRAY_RBUTTONUP, others
    void (*destroyed)();     // the main window was destroyed
    void (*another_start)(); // the program was started again in this session and gave way
};
// Copies the receivers; an event without one is dropped.
void ui_set_main_events(const UiMainEvents* events);

// --- the application --------------------------------------------------------------------------
// Looks for a running copy identified by class and title; when found, restores and raises it and
// returns 1. A front-end that can speak to the running copy also has its another_start receiver
// called there.
int ui_find_running(const char* class_name, const char* title);
// Registers the main window class; returns 1 on success.
int ui_register_class(const char* class_name);
// Creates the hidden main window; returns 0 on failure.
UiWnd ui_create_main_window(const char* class_name, const char* title);
// Destroys a window; for the main window this leads to the destroyed receiver.
void ui_destroy_window(UiWnd w);
// Runs the main message loop until ui_quit; returns the quit code.
int ui_run_loop();
void ui_quit(int code);
// The system's last error code, for reporting.
unsigned long ui_last_error();
// Blocks the thread (nothing is dispatched meanwhile).
void ui_sleep(int ms);
