// The UI layer for programs without a desktop: message boxes become lines on standard error,
// ui_sleep sleeps, and everything that needs a window fails or does nothing.
#pragma once

// Message boxes shown so far, and how many of them said a message was sent (the server's
// receipt arrived).
int console_box_count();
int console_receipt_count();
// The prefix of every line written for a message box ("keltup-send" and the like).
void console_set_program(const char* name);
