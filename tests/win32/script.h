// Drives the modal dialogs and message boxes of the test's own thread: a thread timer, served by
// every modal loop, runs one step each time the window a step waits for is up, and a CBT hook
// records the caption of every window that becomes active.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

struct ScriptStep {
    std::string caption;              // the step runs when a window with this caption is up
    std::function<void(HWND)> action; // what it does with that window
};

// Runs body (which opens a modal dialog or box) while the steps are played. Returns the number of
// steps that ran; a step that never finds its window ends every open dialog after a few seconds so
// that the test fails instead of hanging.
int run_script(const std::vector<ScriptStep>& steps, const std::function<void()>& body);

// Captions of the windows activated during the last run_script, in order.
const std::vector<std::string>& activated_captions();

// Helpers for step actions.
void press(HWND dlg, int id);     // posts the button's command
void press_key(HWND dlg, int vk); // posts a key press to the dialog, as typed by the user
void type_chars(HWND dlg, int id, const char* text); // sends the characters one by one
std::string control_text(HWND dlg, int id);
std::string window_caption(HWND w);
std::string box_text(HWND box); // a message box's text
