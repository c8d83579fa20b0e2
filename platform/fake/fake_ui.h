// The test fake of the UI layer: records what the program shows, in order, and lets a test play
// the user and the network at the moments the program would wait.
#pragma once

#include <functional>
#include <string>
#include <vector>

// Every visible action, in order: "box:<caption>:<text>" (with ":error" after it for a box with
// the error icon), "tray:add:<icon>", "tray:set:<icon>", "tray:remove", "sleep:<ms>", and whatever
// the rest of the fake appends through fake_log.
extern std::vector<std::string> fake_events;

// Called while a message box is "open", with its owner, text and caption (a test can tick the
// main timer here, as the modal loop would).
extern std::function<void(int owner, const char* text, const char* caption)> fake_on_box;
// Called on each ui_sleep with the milliseconds asked for (nothing sleeps for real).
extern std::function<void(int ms)> fake_on_sleep;

// The tray icon as last set ("" when there is none) and the value ui_last_error returns.
extern std::string fake_tray_icon;
extern unsigned long fake_last_error;
// When set, ui_tray_add fails.
extern int fake_tray_add_fails;
// 0: the desktop has no notification area, so an added icon is not shown (ui_tray_shown).
extern int fake_tray_area;

void fake_log(const std::string& entry);
// Clears the log, the hooks, the tray state (with a notification area) and the last error.
void fake_ui_reset();
// The entries that begin with prefix, in order.
std::vector<std::string> fake_events_with(const std::string& prefix);
