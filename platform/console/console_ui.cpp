#include "platform/console/console_ui.h"
#include "platform/ui.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

static int boxes;
static int receipts;
static const char* program = "keltup";

int console_box_count() {
    return boxes;
}
int console_receipt_count() {
    return receipts;
}
void console_set_program(const char* name) {
    program = name;
}

// A box's text may hold anything a datagram carried (a notice is shown as received): control
// characters other than line breaks and tabs are written as '?' so they cannot drive the terminal.
static void put_text(const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        unsigned char c = *p;
        if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) c = '?';
        std::fputc(c, stderr);
    }
}

void ui_message_box(UiWnd, const char* text, const char* caption, int flags) {
    ++boxes;
    if (std::strcmp(text, "Message Sent") == 0 && std::strcmp(caption, "Send Message") == 0)
        ++receipts;
    std::fprintf(stderr, "%s: %s", program, (flags & UI_MB_ICONERROR) ? "error: " : "");
    put_text(caption);
    std::fputs(": ", stderr);
    put_text(text);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void ui_sleep(int ms) {
    if (ms <= 0) return;
    timespec want;
    want.tv_sec = ms / 1000;
    want.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&want, &want) != 0 && errno == EINTR) {
    }
}

unsigned long ui_last_error() {
    return static_cast<unsigned long>(errno);
}

// There are no windows: dialogs cannot be made, controls read as empty.
int ui_dialog_run(const DialogTemplate*, UiWnd, UiDialogProc) {
    return -1;
}
void ui_dialog_end(UiWnd, int) {}
void ui_set_text(UiWnd, int, const char*) {}
void ui_get_text(UiWnd, int, char* buf, int size) {
    if (buf != nullptr && size > 0) buf[0] = '\0';
}
void ui_set_check(UiWnd, int, int) {}
int ui_get_check(UiWnd, int) {
    return 0;
}
void ui_set_caption(UiWnd, const char*) {}
void ui_foreground(UiWnd) {}
void ui_window_rect(UiWnd, UiRect* r) {
    r->left = r->top = r->right = r->bottom = 0;
}
void ui_move_window(UiWnd, int, int) {}
int ui_timer_start(UiWnd, int, int) {
    return 0;
}
void ui_timer_stop(UiWnd, int) {}
int ui_work_area(UiRect*) {
    return 0;
}
void ui_screen_size(int* width, int* height) {
    *width = 0;
    *height = 0;
}

int ui_tray_add(UiWnd, const char*, const char*) {
    return 0;
}
void ui_tray_set(const char*) {}
void ui_tray_remove() {}
int ui_tray_menu(UiWnd, const MenuTemplate*) {
    return 0;
}

int ui_find_running(const char*, const char*) {
    return 0;
}
int ui_register_class(const char*) {
    return 0;
}
UiWnd ui_create_main_window(const char*, const char*) {
    return 0;
}
void ui_destroy_window(UiWnd) {}
int ui_run_loop() {
    return 0;
}
void ui_quit(int) {}
