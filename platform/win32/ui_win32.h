// What the Win32 front-end adds to the UI layer for its own entry and for tests that look at
// the real windows behind the handles.
#pragma once

#include <windows.h>

#include "platform/ui.h"

enum { UI_WIN32_MAX_WINDOWS = 32 };

// The window behind a handle, or nullptr for 0 and for handles that are not in use.
HWND ui_win32_hwnd(UiWnd w);
// The handle of a window that the layer knows (the main window or a running dialog), else 0.
UiWnd ui_win32_wnd(HWND hwnd);
// Handles in use, for leak checks.
int ui_win32_windows_in_use();

// Builds the in-memory dialog template (DLGTEMPLATE and its items) for tpl into buf. Returns the
// byte count, or 0 when buf is too small.
int ui_win32_build_template(const DialogTemplate* tpl, void* buf, int size);

// The style bits the layer gives a control of the shared templates.
DWORD ui_win32_control_style(int kind, int style);
