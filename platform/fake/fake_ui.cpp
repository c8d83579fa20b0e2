#include "platform/fake/fake_ui.h"

#include "platform/ui.h"

std::vector<std::string> fake_events;
std::function<void(int, const char*, const char*)> fake_on_box;
std::function<void(int)> fake_on_sleep;
std::string fake_tray_icon;
unsigned long fake_last_error;
int fake_tray_add_fails;
int fake_tray_area = 1;

void fake_log(const std::string& entry) {
    fake_events.push_back(entry);
}

void fake_ui_reset() {
    fake_events.clear();
    fake_on_box = nullptr;
    fake_on_sleep = nullptr;
    fake_tray_icon.clear();
    fake_last_error = 0;
    fake_tray_add_fails = 0;
    fake_tray_area = 1;
}

std::vector<std::string> fake_events_with(const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& e : fake_events)
        if (e.compare(0, prefix.size(), prefix) == 0) out.push_back(e);
    return out;
}

void ui_message_box(UiWnd owner, const char* text, const char* caption, int flags) {
    std::string entry = "box:";
    entry += caption ? caption : "";
    entry += ":";
    entry += text ? text : "";
    if (flags & UI_MB_ICONERROR) entry += ":error";
    fake_log(entry);
    // Copy the hook: it may reset or replace itself while it runs.
    auto hook = fake_on_box;
    if (hook) hook(owner, text ? text : "", caption ? caption : "");
}

int ui_tray_add(UiWnd, const char* icon, const char*) {
    if (fake_tray_add_fails) return 0;
    fake_tray_icon = icon;
    fake_log(std::string("tray:add:") + icon);
    return 1;
}

void ui_tray_set(const char* icon) {
    fake_tray_icon = icon;
    fake_log(std::string("tray:set:") + icon);
}

int ui_tray_shown() {
    return fake_tray_area && !fake_tray_icon.empty();
}

void ui_tray_remove() {
    fake_tray_icon.clear();
    fake_log("tray:remove");
}

void ui_sleep(int ms) {
    fake_log("sleep:" + std::to_string(ms));
    auto hook = fake_on_sleep;
    if (hook) hook(ms);
}

unsigned long ui_last_error() {
    return fake_last_error;
}
