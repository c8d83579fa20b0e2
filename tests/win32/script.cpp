#include "tests/win32/script.h"

namespace {

const std::vector<ScriptStep>* g_steps;
size_t g_next;
int g_idle_ticks;
int g_running;
HHOOK g_hook;
std::vector<std::string> g_activated;

enum { TICK_MS = 30, GIVE_UP_TICKS = 300 };

struct Found {
    const std::string* caption;
    HWND hwnd;
};

BOOL CALLBACK find_window(HWND w, LPARAM lp) {
    Found* f = (Found*)lp;
    if (IsWindowVisible(w) && IsWindowEnabled(w) && window_caption(w) == *f->caption) {
        f->hwnd = w;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK end_window(HWND w, LPARAM) {
    char cls[64] = "";
    GetClassNameA(w, cls, sizeof cls);
    if (lstrcmpA(cls, "#32770") == 0) EndDialog(w, -2);
    return TRUE;
}

void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD) {
    if (!g_running || !g_steps) return;
    if (g_next >= g_steps->size()) return;
    const ScriptStep& step = (*g_steps)[g_next];
    Found f = {&step.caption, nullptr};
    EnumThreadWindows(GetCurrentThreadId(), find_window, (LPARAM)&f);
    if (f.hwnd) {
        g_next++;
        g_idle_ticks = 0;
        step.action(f.hwnd);
        return;
    }
    if (++g_idle_ticks > GIVE_UP_TICKS) {
        // The awaited window never came: close everything so that the test can report it.
        g_running = 0;
        EndMenu();
        EnumThreadWindows(GetCurrentThreadId(), end_window, 0);
    }
}

LRESULT CALLBACK cbt_hook(int code, WPARAM wp, LPARAM lp) {
    if (code == HCBT_ACTIVATE) g_activated.push_back(window_caption((HWND)wp));
    return CallNextHookEx(g_hook, code, wp, lp);
}

} // namespace

int run_script(const std::vector<ScriptStep>& steps, const std::function<void()>& body) {
    g_steps = &steps;
    g_next = 0;
    g_idle_ticks = 0;
    g_running = 1;
    g_activated.clear();
    g_hook = SetWindowsHookExA(WH_CBT, cbt_hook, nullptr, GetCurrentThreadId());
    UINT_PTR timer = SetTimer(nullptr, 0, TICK_MS, tick);
    body();
    KillTimer(nullptr, timer);
    if (g_hook) UnhookWindowsHookEx(g_hook);
    g_hook = nullptr;
    g_running = 0;
    g_steps = nullptr;
    return (int)g_next;
}

const std::vector<std::string>& activated_captions() {
    return g_activated;
}

void press(HWND dlg, int id) {
    PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dlg, id));
}

void press_key(HWND dlg, int vk) {
    HWND target = GetFocus();
    if (!target || (target != dlg && !IsChild(dlg, target))) target = dlg;
    PostMessageA(target, WM_KEYDOWN, vk, 1);
    PostMessageA(target, WM_KEYUP, vk, 0xC0000001);
}

void type_chars(HWND dlg, int id, const char* text) {
    HWND ctl = GetDlgItem(dlg, id);
    char cls[32] = "";
    GetClassNameA(ctl, cls, sizeof cls);
    // A combo box takes its typing in its edit child.
    if (lstrcmpiA(cls, "ComboBox") == 0) {
        HWND edit = FindWindowExA(ctl, nullptr, "Edit", nullptr);
        if (edit) ctl = edit;
    }
    for (const char* p = text; *p; p++)
        SendMessageA(ctl, WM_CHAR, (unsigned char)*p, 1);
}

std::string control_text(HWND dlg, int id) {
    char buf[2048] = "";
    GetDlgItemTextA(dlg, id, buf, sizeof buf);
    return buf;
}

std::string window_caption(HWND w) {
    char buf[256] = "";
    GetWindowTextA(w, buf, sizeof buf);
    return buf;
}

std::string box_text(HWND box) {
    return control_text(box, 0xFFFF);
}
