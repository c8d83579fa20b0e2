// The test fake's dialogs, controls, timers, tray menu, main window and main loop.
#include "platform/fake/fake_dialogs.h"

#include <cctype>
#include <cstring>
#include <deque>
#include <map>

#include "platform/fake/fake_ui.h"
#include "resources/resources.h"

namespace {

struct FakeControl {
    const DialogControl* def;
    std::string text;
    int check;
};

struct FakeDialog {
    UiWnd handle;
    const DialogTemplate* tpl;
    UiWnd owner;
    UiDialogProc proc;
    int ended;
    int end_code;
    std::string caption;
    std::vector<FakeControl> controls;
};

struct FakeTimer {
    UiWnd w;
    int id;
    int ms;
};

struct QueuedScript {
    std::string name;
    FakeScript script;
};

// Text a control holds at most, like an edit control's default limit.
const size_t kControlLimit = 30000;

std::deque<FakeDialog> open_dialogs; // outermost first
std::vector<FakeTimer> timers;
std::deque<QueuedScript> scripts;
std::map<UiWnd, UiRect> rects;
std::string main_caption;
UiWnd next_handle = 100;
int main_alive;
int quit_posted;
int quit_code;
UiMainEvents main_events;

FakeDialog* find_dialog(UiWnd w) {
    for (FakeDialog& d : open_dialogs)
        if (d.handle == w) return &d;
    return nullptr;
}

FakeControl* find_control(FakeDialog* d, int id) {
    if (!d || id == ID_NONE) return nullptr;
    for (FakeControl& c : d->controls)
        if (c.def->id == id) return &c;
    return nullptr;
}

std::string window_name(UiWnd w) {
    if (w == FAKE_MAIN_WINDOW) return "main";
    if (FakeDialog* d = find_dialog(w)) return d->tpl->name;
    return std::to_string(w);
}

// The control the program asks for, or a recorded fault.
FakeControl* program_control(UiWnd dlg, int id, const char* what) {
    FakeDialog* d = find_dialog(dlg);
    if (!d) {
        fake_errors.push_back(std::string(what) + " on a window that is not an open dialog");
        return nullptr;
    }
    FakeControl* c = find_control(d, id);
    if (!c)
        fake_errors.push_back(std::string(what) + ": no control " + std::to_string(id) + " in " +
                              d->tpl->name);
    return c;
}

// An open dialog the user can still act on.
FakeDialog* live_dialog(UiWnd dlg) {
    FakeDialog* d = find_dialog(dlg);
    return d && !d->ended ? d : nullptr;
}

void remove_timers_of(UiWnd w) {
    for (size_t i = 0; i < timers.size();)
        if (timers[i].w == w)
            timers.erase(timers.begin() + static_cast<long>(i));
        else
            ++i;
}

UiRect default_rect(const DialogTemplate* tpl, UiWnd owner) {
    // Dialog units of an 8-point font are about 1.5 x 1.625 pixels.
    UiRect o = fake_rect(owner);
    UiRect r;
    r.left = o.left + tpl->x * 3 / 2;
    r.top = o.top + tpl->y * 13 / 8;
    r.right = r.left + tpl->w * 3 / 2;
    r.bottom = r.top + tpl->h * 13 / 8;
    return r;
}

} // namespace

std::function<void()> fake_on_loop;
UiWnd fake_foreground_window;
int fake_running_copy;
int fake_register_fails;
int fake_create_fails;
std::vector<int> fake_failing_timers;
std::vector<int> fake_menu_commands;
UiRect fake_work_area_rect = {0, 0, 1280, 984};
int fake_work_area_known = 1;
int fake_screen_width = 1280;
int fake_screen_height = 1024;
std::vector<std::string> fake_errors;

void fake_dialogs_reset() {
    open_dialogs.clear();
    timers.clear();
    scripts.clear();
    rects.clear();
    main_caption.clear();
    next_handle = 100;
    main_alive = 0;
    quit_posted = 0;
    quit_code = 0;
    fake_on_loop = nullptr;
    fake_foreground_window = 0;
    fake_running_copy = 0;
    fake_register_fails = 0;
    fake_create_fails = 0;
    fake_failing_timers.clear();
    fake_menu_commands.clear();
    fake_work_area_rect = {0, 0, 1280, 984};
    fake_work_area_known = 1;
    fake_screen_width = 1280;
    fake_screen_height = 1024;
    fake_errors.clear();
}

void fake_script(const char* template_name, FakeScript script) {
    scripts.push_back({template_name, std::move(script)});
}

int fake_scripts_left() {
    return static_cast<int>(scripts.size());
}

// --- modal dialogs ------------------------------------------------------------------------------

int ui_dialog_run(const DialogTemplate* tpl, UiWnd owner, UiDialogProc proc) {
    FakeDialog d;
    d.handle = next_handle++;
    d.tpl = tpl;
    d.owner = owner;
    d.proc = proc;
    d.ended = 0;
    d.end_code = 0;
    d.caption = tpl->caption;
    for (int i = 0; i < tpl->control_count; ++i) {
        const DialogControl* def = &tpl->controls[i];
        d.controls.push_back({def, def->text ? def->text : "", 0});
    }
    rects[d.handle] = default_rect(tpl, owner);
    UiWnd h = d.handle;
    open_dialogs.push_back(std::move(d));
    fake_log(std::string("dialog:open:") + tpl->name);

    proc(h, UI_INIT, 0);
    if (!find_dialog(h)->ended) {
        FakeScript script;
        for (auto it = scripts.begin(); it != scripts.end(); ++it) {
            if (it->name == tpl->name) {
                script = std::move(it->script);
                scripts.erase(it);
                break;
            }
        }
        if (script)
            script(h);
        else
            fake_errors.push_back(std::string("no script for ") + tpl->name);
    }

    FakeDialog* self = find_dialog(h);
    if (!self->ended) {
        fake_errors.push_back(std::string(tpl->name) + " left open by its script");
        self->ended = 1;
        self->end_code = -1;
    }
    int code = self->end_code;
    remove_timers_of(h);
    rects.erase(h);
    if (fake_foreground_window == h) fake_foreground_window = 0;
    for (auto it = open_dialogs.begin(); it != open_dialogs.end(); ++it) {
        if (it->handle == h) {
            open_dialogs.erase(it);
            break;
        }
    }
    fake_log(std::string("dialog:close:") + tpl->name + ":" + std::to_string(code));
    return code;
}

void ui_dialog_end(UiWnd dlg, int code) {
    FakeDialog* d = find_dialog(dlg);
    if (!d) {
        fake_errors.push_back("ui_dialog_end on a window that is not an open dialog");
        return;
    }
    if (d->ended) return;
    d->ended = 1;
    d->end_code = code;
    fake_log(std::string("dialog:end:") + d->tpl->name + ":" + std::to_string(code));
}

void ui_set_text(UiWnd dlg, int id, const char* text) {
    if (FakeControl* c = program_control(dlg, id, "ui_set_text")) {
        c->text = text ? text : "";
        if (c->text.size() > kControlLimit) c->text.resize(kControlLimit);
        // An upper-case field converts whatever it is given, not only what is typed.
        if (c->def->style & ST_UPPERCASE)
            for (char& ch : c->text)
                if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
    }
}

void ui_get_text(UiWnd dlg, int id, char* buf, int size) {
    if (size <= 0) return;
    buf[0] = 0;
    FakeControl* c = program_control(dlg, id, "ui_get_text");
    if (!c) return;
    size_t n = c->text.size();
    if (n > static_cast<size_t>(size - 1)) n = static_cast<size_t>(size - 1);
    memcpy(buf, c->text.data(), n);
    buf[n] = 0;
}

void ui_set_check(UiWnd dlg, int id, int state) {
    if (FakeControl* c = program_control(dlg, id, "ui_set_check")) c->check = state;
}

int ui_get_check(UiWnd dlg, int id) {
    FakeControl* c = program_control(dlg, id, "ui_get_check");
    return c ? c->check : 0;
}

// --- windows ------------------------------------------------------------------------------------

void ui_set_caption(UiWnd w, const char* text) {
    std::string t = text ? text : "";
    if (FakeDialog* d = find_dialog(w))
        d->caption = t;
    else if (w == FAKE_MAIN_WINDOW)
        main_caption = t;
    else
        fake_errors.push_back("ui_set_caption on an unknown window");
    fake_log("caption:" + window_name(w) + ":" + t);
}

void ui_foreground(UiWnd w) {
    fake_foreground_window = w;
    fake_log("foreground:" + window_name(w));
}

void ui_window_rect(UiWnd w, UiRect* r) {
    *r = fake_rect(w);
}

void ui_move_window(UiWnd w, int x, int y) {
    UiRect r = fake_rect(w);
    int width = r.right - r.left;
    int height = r.bottom - r.top;
    rects[w] = {x, y, x + width, y + height};
    fake_log("move:" + window_name(w) + ":" + std::to_string(x) + ":" + std::to_string(y));
}

void fake_set_rect(UiWnd w, UiRect r) {
    rects[w] = r;
}

UiRect fake_rect(UiWnd w) {
    auto it = rects.find(w);
    if (it != rects.end()) return it->second;
    if (w == FAKE_MAIN_WINDOW) return {100, 100, 500, 400};
    return {0, 0, 0, 0};
}

int ui_work_area(UiRect* r) {
    if (!fake_work_area_known) return 0;
    *r = fake_work_area_rect;
    return 1;
}

void ui_screen_size(int* width, int* height) {
    *width = fake_screen_width;
    *height = fake_screen_height;
}

// --- timers -------------------------------------------------------------------------------------

int ui_timer_start(UiWnd w, int id, int ms) {
    for (int failing : fake_failing_timers) {
        if (failing == id) {
            fake_log("timer:fail:" + window_name(w) + ":" + std::to_string(id));
            return 0;
        }
    }
    for (FakeTimer& t : timers) {
        if (t.w == w && t.id == id) {
            t.ms = ms;
            return 1;
        }
    }
    timers.push_back({w, id, ms});
    fake_log("timer:start:" + window_name(w) + ":" + std::to_string(id) + ":" + std::to_string(ms));
    return 1;
}

void ui_timer_stop(UiWnd w, int id) {
    for (size_t i = 0; i < timers.size(); ++i) {
        if (timers[i].w == w && timers[i].id == id) {
            timers.erase(timers.begin() + static_cast<long>(i));
            fake_log("timer:stop:" + window_name(w) + ":" + std::to_string(id));
            return;
        }
    }
}

int fake_timer_running(UiWnd w, int id) {
    for (const FakeTimer& t : timers)
        if (t.w == w && t.id == id) return 1;
    return 0;
}

// --- playing the user ---------------------------------------------------------------------------

int fake_press(UiWnd dlg, int id) {
    FakeDialog* d = live_dialog(dlg);
    if (!d) return 0;
    // Enter and Esc reach every dialog as 1 and 2; other commands need their control.
    if (id != UI_IDOK && id != UI_IDCANCEL && !find_control(d, id)) {
        fake_errors.push_back("press: no control " + std::to_string(id) + " in " + d->tpl->name);
        return 0;
    }
    d->proc(dlg, UI_COMMAND, id);
    return 1;
}

int fake_enter(UiWnd dlg) {
    FakeDialog* d = live_dialog(dlg);
    if (!d) return 0;
    int id = UI_IDOK;
    for (const FakeControl& c : d->controls)
        if (c.def->kind == CTL_DEFBUTTON) id = c.def->id;
    d->proc(dlg, UI_COMMAND, id);
    return 1;
}

int fake_escape(UiWnd dlg) {
    FakeDialog* d = live_dialog(dlg);
    if (!d) return 0;
    d->proc(dlg, UI_COMMAND, UI_IDCANCEL);
    return 1;
}

int fake_type(UiWnd dlg, int id, const char* text) {
    FakeControl* c = find_control(live_dialog(dlg), id);
    if (!c) return 0;
    int kind = c->def->kind;
    int style = c->def->style;
    if ((kind != CTL_EDIT && kind != CTL_COMBO) || (style & ST_READONLY)) return 0;
    std::string typed;
    for (const char* p = text; *p; ++p) {
        char ch = *p;
        if ((style & ST_NUMBER) && !isdigit(static_cast<unsigned char>(ch))) continue;
        if (!(style & ST_MULTILINE) && (ch == '\r' || ch == '\n')) continue;
        if ((style & ST_UPPERCASE) && ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
        if (typed.size() < kControlLimit) typed += ch;
    }
    c->text = typed;
    return 1;
}

int fake_click_check(UiWnd dlg, int id) {
    FakeDialog* d = live_dialog(dlg);
    FakeControl* c = find_control(d, id);
    if (!c || c->def->kind != CTL_CHECK) return 0;
    c->check = c->check == 1 ? 0 : 1;
    d->proc(dlg, UI_COMMAND, id);
    return 1;
}

int fake_tick(UiWnd dlg, int timer_id) {
    FakeDialog* d = live_dialog(dlg);
    if (!d || !fake_timer_running(dlg, timer_id)) return 0;
    d->proc(dlg, UI_TIMER, timer_id);
    return 1;
}

int fake_tick_main() {
    if (!main_alive || !fake_timer_running(FAKE_MAIN_WINDOW, TIMER_POLL)) return 0;
    if (main_events.timer_tick) main_events.timer_tick();
    return 1;
}

void fake_tray(int mouse_event) {
    fake_log("tray:event:" + std::to_string(mouse_event));
    if (main_events.tray_event) main_events.tray_event(mouse_event);
}

void fake_another_start() {
    fake_log("another start");
    if (main_events.another_start) main_events.another_start();
}

// --- what the program shows ---------------------------------------------------------------------

std::string fake_text(UiWnd dlg, int id) {
    FakeControl* c = find_control(find_dialog(dlg), id);
    return c ? c->text : std::string();
}

int fake_check(UiWnd dlg, int id) {
    FakeControl* c = find_control(find_dialog(dlg), id);
    return c ? c->check : 0;
}

std::string fake_caption(UiWnd w) {
    if (FakeDialog* d = find_dialog(w)) return d->caption;
    return w == FAKE_MAIN_WINDOW ? main_caption : std::string();
}

UiWnd fake_dialog(const char* template_name) {
    for (auto it = open_dialogs.rbegin(); it != open_dialogs.rend(); ++it)
        if (strcmp(it->tpl->name, template_name) == 0) return it->handle;
    return 0;
}

std::vector<std::string> fake_open_dialogs() {
    std::vector<std::string> out;
    for (const FakeDialog& d : open_dialogs)
        out.push_back(d.tpl->name);
    return out;
}

// --- the tray menu ------------------------------------------------------------------------------

int ui_tray_menu(UiWnd, const MenuTemplate* menu) {
    fake_log(std::string("menu:") + menu->name);
    if (fake_menu_commands.empty()) return 0;
    int command = fake_menu_commands.front();
    fake_menu_commands.erase(fake_menu_commands.begin());
    return command;
}

// --- the application ----------------------------------------------------------------------------

void ui_set_main_events(const UiMainEvents* events) {
    main_events = events ? *events : UiMainEvents();
}

int ui_find_running(const char* class_name, const char* title) {
    fake_log(std::string("find:") + class_name + ":" + title);
    if (fake_running_copy) fake_log("foreground:running copy");
    return fake_running_copy ? 1 : 0;
}

int ui_register_class(const char* class_name) {
    fake_log(std::string("register:") + class_name);
    return fake_register_fails ? 0 : 1;
}

UiWnd ui_create_main_window(const char* class_name, const char* title) {
    fake_log(std::string("create:") + class_name + ":" + title);
    if (fake_create_fails) return 0;
    main_alive = 1;
    main_caption = title;
    return FAKE_MAIN_WINDOW;
}

void ui_destroy_window(UiWnd w) {
    fake_log("destroy:" + window_name(w));
    if (w == FAKE_MAIN_WINDOW && main_alive) {
        main_alive = 0;
        remove_timers_of(w);
        if (main_events.destroyed) main_events.destroyed();
    }
}

int ui_run_loop() {
    fake_log("loop:start");
    if (!quit_posted) {
        auto hook = fake_on_loop;
        if (hook) hook();
    }
    if (!quit_posted) {
        fake_errors.push_back("main loop left running");
        return -1;
    }
    fake_log("loop:end:" + std::to_string(quit_code));
    return quit_code;
}

void ui_quit(int code) {
    fake_log("quit:" + std::to_string(code));
    quit_posted = 1;
    quit_code = code;
}
