// Start-up, the main window's events and shutdown.
#pragma once

#include "platform/ui.h"

extern UiWnd main_window;

// The command-line tail: what follows the program's own name (a quoted name runs to its closing
// quote) and the spaces and control characters after it.
const char* command_tail(const char* command_line);

// The whole life of the program: start-up, the message loop, shutdown. Returns the exit code.
int shell_main(const char* tail);

// Events the front-ends deliver to the main window, and the four as the entry hands them to the
// front-end (ui_set_main_events).
void shell_tray_event(int mouse_event); // UI_TRAY_DBLCLK, UI_TRAY_RBUTTONUP, others ignored
void shell_timer_tick();                // the poll timer
void shell_destroyed();                 // the main window was destroyed
void shell_another_start();             // a second start gave way to this copy
extern const UiMainEvents shell_main_events;
