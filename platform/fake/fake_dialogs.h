// The test fake's dialogs, timers, windows and main loop. A test plays the user through scripts:
// each dialog that opens takes the next script queued for its template and runs it while the
// dialog is open; the script presses buttons, types, ticks timers (which may open more dialogs)
// and must end the dialog. A dialog left open is recorded in fake_errors, never a hang.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/ui.h"

// The main window's handle once ui_create_main_window has made it.
enum { FAKE_MAIN_WINDOW = 1 };

// --- scripts ----------------------------------------------------------------------------------
using FakeScript = std::function<void(UiWnd dlg)>;
// Queues a script for the next dialog of the named template ("SHOWMSG", "SENDBOX", ...).
void fake_script(const char* template_name, FakeScript script);
// Scripts still queued (a test usually expects 0 at its end).
int fake_scripts_left();
// Run by ui_run_loop as the main window's events; it must end with the main window destroyed
// (or ui_quit), else the loop is recorded as left running.
extern std::function<void()> fake_on_loop;

// --- playing the user -------------------------------------------------------------------------
// Each returns 1 when delivered: the dialog is open and not yet ended, and the control exists.
int fake_press(UiWnd dlg, int id); // a button (or any command id)
int fake_enter(UiWnd dlg);         // the default button's id, else 1
int fake_escape(UiWnd dlg);        // command 2
// Replaces the field's text as typed: refused by statics, buttons and read-only fields; a digits
// field drops everything else; an upper-case field (which also converts text the program sets)
// upper-cases letters; a single-line field drops line breaks.
int fake_type(UiWnd dlg, int id, const char* text);
int fake_click_check(UiWnd dlg, int id); // an automatic check box
int fake_tick(UiWnd dlg, int timer_id);  // a running timer of the dialog
int fake_tick_main();                    // the main window's timer, if running
void fake_tray(int mouse_event);         // a tray callback to the main window
void fake_another_start();               // a second start giving way to this copy

// --- what the program shows -------------------------------------------------------------------
std::string fake_text(UiWnd dlg, int id);
int fake_check(UiWnd dlg, int id);
std::string fake_caption(UiWnd w);
// The innermost open dialog of the template, 0 when none is open.
UiWnd fake_dialog(const char* template_name);
// Open dialogs, outermost first, by template name.
std::vector<std::string> fake_open_dialogs();
int fake_timer_running(UiWnd w, int id);
extern UiWnd fake_foreground_window;

// --- the system, scriptable -------------------------------------------------------------------
extern int fake_running_copy;                // ui_find_running finds a copy
extern int fake_register_fails;              // ui_register_class fails
extern int fake_create_fails;                // ui_create_main_window fails
extern std::vector<int> fake_failing_timers; // timer ids ui_timer_start refuses
// Commands ui_tray_menu returns, one per call; 0 (dismissed) once used up.
extern std::vector<int> fake_menu_commands;
extern UiRect fake_work_area_rect;
extern int fake_work_area_known; // 0: ui_work_area fails
extern int fake_screen_width, fake_screen_height;
void fake_set_rect(UiWnd w, UiRect r);
UiRect fake_rect(UiWnd w);

// Faults seen while playing: a dialog its script left open, a dialog with no script, a program
// reaching for a control its dialog lacks, a main loop nobody ended.
extern std::vector<std::string> fake_errors;

// Back to no windows, no timers, no scripts, no errors (the main window's receivers, set with
// ui_set_main_events, stay).
void fake_dialogs_reset();
