// Drives a running keltup.exe from outside, as a user would: finds its windows by caption, reads
// and sets control texts, presses buttons, posts tray callbacks to the hidden main window and
// picks tray-menu items; plus the test server's UDP socket on 127.0.0.1.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

// Waits (up to timeout_ms) for a visible top-level window with exactly this caption.
HWND drv_wait_window(const char* caption, int timeout_ms);
// Waits for the program's hidden main window (class "KelTup").
HWND drv_wait_main(int timeout_ms);
// Waits until the window is gone; returns 1 when it went.
int drv_wait_gone(HWND w, int timeout_ms);
// Whether a visible top-level window with this caption exists now.
int drv_window_up(const char* caption);

std::string drv_get_text(HWND dlg, int id);
void drv_set_text(HWND dlg, int id, const char* text);
int drv_get_check(HWND dlg, int id);
void drv_press(HWND dlg, int id);
// A message box's text.
std::string drv_box_text(HWND box);

// Posts tray callback 99 with the mouse event (515 double-click, 517 right button up).
void drv_tray(HWND main, int mouse_event);
// Opens the tray menu and picks the item by its mnemonic letter ('X' for Exit). Returns 1 when
// the menu came up.
int drv_menu_pick(HWND main, char letter);

struct DrvProcess {
    HANDLE process;
    DWORD pid;
};
// Starts exe with the command-line tail `args` (may be empty), both UTF-8. Returns 1 on success.
int drv_start(const char* exe, const char* args, DrvProcess* p);
// Waits for the process to end; returns 1 and its exit code when it did.
int drv_wait_exit(DrvProcess* p, int timeout_ms, DWORD* code);
void drv_kill(DrvProcess* p);

// The test server: a UDP socket bound to 127.0.0.1 on a port the system picks.
SOCKET drv_udp_open(int* port);
// Receives one datagram within timeout_ms; returns its length or -1. from gets the sender.
int drv_udp_recv(SOCKET s, char* buf, int size, int timeout_ms, sockaddr_in* from);
// Sends to 127.0.0.1:port.
int drv_udp_send(SOCKET s, const void* data, int len, int port);
// A port of 127.0.0.1 that was free a moment ago.
int drv_free_port();
