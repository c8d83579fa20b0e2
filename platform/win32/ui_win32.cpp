// The UI layer on user32, shell32 and kernel32.
//
// Handles are small integers: slot i of a fixed table holds the window of handle i + 1. The main
// window takes a slot when it is created, a dialog when it receives WM_INITDIALOG, and both give
// it back when the window is destroyed.
#include "platform/win32/ui_win32.h"

#include <shellapi.h>
#include <string.h>

#include "resources/resources.h"

namespace {

struct Slot {
    HWND hwnd;
    UiDialogProc proc; // nullptr for the main window
};

Slot g_slots[UI_WIN32_MAX_WINDOWS];

// The tray icon as last added, kept so that it can be added again when the taskbar comes back.
HWND g_tray_owner;
int g_tray_added;
char g_tray_icon[32];
char g_tray_tip[64];
UINT g_taskbar_created;
// Receivers of the main window's events, as the entry set them.
UiMainEvents g_main_events;

struct IconCache {
    char name[32];
    HICON icon;
};
IconCache g_icons[4];

HINSTANCE instance() {
    return GetModuleHandleA(nullptr);
}

UiWnd slot_add(HWND hwnd, UiDialogProc proc) {
    for (int i = 0; i < UI_WIN32_MAX_WINDOWS; i++) {
        if (!g_slots[i].hwnd) {
            g_slots[i].hwnd = hwnd;
            g_slots[i].proc = proc;
            return i + 1;
        }
    }
    return 0;
}

void slot_remove(HWND hwnd) {
    for (int i = 0; i < UI_WIN32_MAX_WINDOWS; i++) {
        if (g_slots[i].hwnd == hwnd) {
            g_slots[i].hwnd = nullptr;
            g_slots[i].proc = nullptr;
        }
    }
}

HICON load_icon(const char* name) {
    for (IconCache& c : g_icons) {
        if (c.icon && strcmp(c.name, name) == 0) return c.icon;
    }
    HICON icon = (HICON)LoadImageA(instance(), name, IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                   GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR);
    if (!icon) return nullptr;
    for (IconCache& c : g_icons) {
        if (!c.icon) {
            lstrcpynA(c.name, name, sizeof c.name);
            c.icon = icon;
            break;
        }
    }
    return icon;
}

// The first-version notification record; on a 32-bit build it is the 88-byte record.
void tray_record(NOTIFYICONDATAA* nid, HWND owner) {
    memset(nid, 0, sizeof *nid);
    nid->cbSize = NOTIFYICONDATAA_V1_SIZE;
    nid->hWnd = owner;
    nid->uID = 0;
}
#ifndef _WIN64
static_assert(NOTIFYICONDATAA_V1_SIZE == 88, "first-version tray record");
#endif

int tray_add_now() {
    NOTIFYICONDATAA nid;
    tray_record(&nid, g_tray_owner);
    nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    nid.uCallbackMessage = TRAY_CALLBACK;
    nid.hIcon = load_icon(g_tray_icon);
    lstrcpynA(nid.szTip, g_tray_tip, 64);
    return Shell_NotifyIconA(NIM_ADD, &nid) ? 1 : 0;
}

LRESULT CALLBACK main_window_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    if (msg == TRAY_CALLBACK) {
        if (g_main_events.tray_event) g_main_events.tray_event((int)lparam);
        return 0;
    }
    if (msg == WM_TIMER) {
        if (g_main_events.timer_tick) g_main_events.timer_tick();
        return 0;
    }
    if (msg == WM_DESTROY) {
        if (g_main_events.destroyed) g_main_events.destroyed();
        return 0;
    }
    if (msg == WM_NCDESTROY) slot_remove(hwnd);
    if (g_taskbar_created && msg == g_taskbar_created) {
        if (g_tray_added && g_tray_owner == hwnd) tray_add_now();
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wparam, lparam);
}

// Carries dialog messages to the portable procedure of the dialog's slot.
INT_PTR CALLBACK dialog_bridge(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    if (msg == WM_INITDIALOG) {
        UiWnd w = slot_add(hwnd, (UiDialogProc)lparam);
        if (!w) {
            EndDialog(hwnd, -1);
            return TRUE;
        }
        g_slots[w - 1].proc(w, UI_INIT, 0);
        return TRUE;
    }
    UiWnd w = ui_win32_wnd(hwnd);
    if (!w) return FALSE;
    UiDialogProc proc = g_slots[w - 1].proc;
    switch (msg) {
    case WM_COMMAND:
        // Buttons, Enter and Esc; notifications of edit fields and combo boxes are not commands.
        if (HIWORD(wparam) != BN_CLICKED && lparam != 0) return FALSE;
        return proc(w, UI_COMMAND, LOWORD(wparam)) ? TRUE : FALSE;
    case WM_TIMER:
        return proc(w, UI_TIMER, (int)wparam) ? TRUE : FALSE;
    case WM_NCDESTROY:
        slot_remove(hwnd);
        return FALSE;
    }
    return FALSE;
}

// Writes into a DWORD-aligned byte buffer; ok turns 0 once anything did not fit.
struct Writer {
    unsigned char* buf;
    int size;
    int pos;
    int ok;
};

void put_bytes(Writer* w, const void* data, int n) {
    if (w->pos + n > w->size) {
        w->ok = 0;
        return;
    }
    memcpy(w->buf + w->pos, data, n);
    w->pos += n;
}

void put_word(Writer* w, WORD v) {
    put_bytes(w, &v, 2);
}

void put_dword(Writer* w, DWORD v) {
    put_bytes(w, &v, 4);
}

void put_short(Writer* w, int v) {
    put_word(w, (WORD)(short)v);
}

void put_text(Writer* w, const char* text) {
    WCHAR wide[512];
    int n = 0;
    if (text && *text) {
        n = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 512);
        if (n <= 0) {
            wide[0] = 0;
            n = 1;
        }
        wide[n - 1] = 0;
    } else {
        wide[0] = 0;
        n = 1;
    }
    put_bytes(w, wide, n * 2);
}

void align4(Writer* w) {
    while (w->pos % 4 && w->ok)
        put_bytes(w, "\0", 1);
}

// An image named by number ("113" or "#113"): its ordinal, else -1.
int image_ordinal(const char* text) {
    if (!text) return -1;
    if (*text == '#') text++;
    if (!*text) return -1;
    int v = 0;
    for (const char* p = text; *p; p++) {
        if (*p < '0' || *p > '9' || v > 65535) return -1;
        v = v * 10 + (*p - '0');
    }
    return v <= 65535 ? v : -1;
}

} // namespace

void ui_set_main_events(const UiMainEvents* events) {
    g_main_events = events ? *events : UiMainEvents();
}

HWND ui_win32_hwnd(UiWnd w) {
    if (w < 1 || w > UI_WIN32_MAX_WINDOWS) return nullptr;
    return g_slots[w - 1].hwnd;
}

UiWnd ui_win32_wnd(HWND hwnd) {
    if (!hwnd) return 0;
    for (int i = 0; i < UI_WIN32_MAX_WINDOWS; i++) {
        if (g_slots[i].hwnd == hwnd) return i + 1;
    }
    return 0;
}

int ui_win32_windows_in_use() {
    int n = 0;
    for (const Slot& s : g_slots)
        n += s.hwnd != nullptr;
    return n;
}

DWORD ui_win32_control_style(int kind, int style) {
    DWORD s = WS_CHILD | WS_VISIBLE;
    switch (kind) {
    case CTL_GROUP:
        s |= BS_GROUPBOX;
        break;
    case CTL_STATIC:
        // Labels and shown texts alike: an '&' in a nickname is a character, not a mnemonic.
        s |= ((style & ST_CENTER) ? SS_CENTER : SS_LEFT) | SS_NOPREFIX | WS_GROUP;
        break;
    case CTL_PICTURE:
        s |= SS_BITMAP;
        break;
    case CTL_EDIT:
        s |= WS_TABSTOP | ES_LEFT;
        if (style & ST_MULTILINE) s |= ES_MULTILINE;
        if (style & ST_READONLY) s |= ES_READONLY;
        if (style & ST_UPPERCASE) s |= ES_UPPERCASE;
        if (style & ST_NUMBER) s |= ES_NUMBER;
        // A one-line field scrolls whatever its template says, so that a value as long as its
        // buffer allows (a 19-letter nickname) can be typed into a narrow field.
        if ((style & ST_AUTOHSCROLL) || !(style & ST_MULTILINE)) s |= ES_AUTOHSCROLL;
        if (style & ST_AUTOVSCROLL) s |= ES_AUTOVSCROLL;
        if (style & ST_WANTRETURN) s |= ES_WANTRETURN;
        break;
    case CTL_BUTTON:
        s |= BS_PUSHBUTTON | WS_TABSTOP;
        break;
    case CTL_DEFBUTTON:
        s |= BS_DEFPUSHBUTTON | WS_TABSTOP;
        break;
    case CTL_CHECK:
        s |= BS_AUTOCHECKBOX | WS_TABSTOP;
        break;
    case CTL_COMBO:
        s |= CBS_DROPDOWN | WS_TABSTOP;
        if (style & ST_UPPERCASE) s |= CBS_UPPERCASE;
        if (style & ST_SORT) s |= CBS_SORT;
        s |= CBS_AUTOHSCROLL; // as for one-line edit fields

        break;
    }
    if (style & ST_BORDER) s |= WS_BORDER;
    if (style & ST_VSCROLL) s |= WS_VSCROLL;
    return s;
}

int ui_win32_build_template(const DialogTemplate* tpl, void* buf, int size) {
    Writer w = {(unsigned char*)buf, size, 0, 1};
    DWORD style = WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_SETFONT;
    if (tpl->system_menu) style |= WS_SYSMENU;
    put_dword(&w, style);
    put_dword(&w, 0);
    put_word(&w, (WORD)tpl->control_count);
    put_short(&w, tpl->x);
    put_short(&w, tpl->y);
    put_short(&w, tpl->w);
    put_short(&w, tpl->h);
    put_word(&w, 0); // no menu
    put_word(&w, 0); // the standard dialog class
    put_text(&w, tpl->caption);
    put_word(&w, (WORD)tpl->point_size);
    put_text(&w, tpl->font);
    for (int i = 0; i < tpl->control_count; i++) {
        const DialogControl* c = &tpl->controls[i];
        align4(&w);
        put_dword(&w, ui_win32_control_style(c->kind, c->style));
        put_dword(&w, 0);
        put_short(&w, c->x);
        put_short(&w, c->y);
        put_short(&w, c->w);
        put_short(&w, c->h);
        put_word(&w, (WORD)(c->id == ID_NONE ? 0xFFFF : c->id));
        WORD cls = 0x0082; // static
        switch (c->kind) {
        case CTL_GROUP:
        case CTL_BUTTON:
        case CTL_DEFBUTTON:
        case CTL_CHECK:
            cls = 0x0080;
            break;
        case CTL_EDIT:
            cls = 0x0081;
            break;
        case CTL_COMBO:
            cls = 0x0085;
            break;
        }
        put_word(&w, 0xFFFF);
        put_word(&w, cls);
        int ordinal = c->kind == CTL_PICTURE ? image_ordinal(c->text) : -1;
        if (ordinal >= 0) {
            put_word(&w, 0xFFFF);
            put_word(&w, (WORD)ordinal);
        } else {
            put_text(&w, c->text);
        }
        put_word(&w, 0); // no creation data
    }
    return w.ok ? w.pos : 0;
}

// --- modal dialogs --------------------------------------------------------------------------

int ui_dialog_run(const DialogTemplate* tpl, UiWnd owner, UiDialogProc proc) {
    if (!tpl || !proc) return -1;
    DWORD buf[2048];
    if (!ui_win32_build_template(tpl, buf, sizeof buf)) return -1;
    INT_PTR r = DialogBoxIndirectParamA(instance(), (LPCDLGTEMPLATEA)buf, ui_win32_hwnd(owner),
                                        dialog_bridge, (LPARAM)proc);
    return (int)r;
}

void ui_dialog_end(UiWnd dlg, int code) {
    HWND h = ui_win32_hwnd(dlg);
    if (h) EndDialog(h, code);
}

void ui_set_text(UiWnd dlg, int id, const char* text) {
    HWND h = ui_win32_hwnd(dlg);
    if (h) SetDlgItemTextA(h, id, text ? text : "");
}

void ui_get_text(UiWnd dlg, int id, char* buf, int size) {
    if (!buf || size <= 0) return;
    buf[0] = 0;
    HWND h = ui_win32_hwnd(dlg);
    if (!h) return;
    UINT n = GetDlgItemTextA(h, id, buf, size);
    if (n >= (UINT)size) n = size - 1;
    buf[n] = 0;
}

void ui_set_check(UiWnd dlg, int id, int state) {
    HWND h = ui_win32_hwnd(dlg);
    if (h) CheckDlgButton(h, id, (UINT)state);
}

int ui_get_check(UiWnd dlg, int id) {
    HWND h = ui_win32_hwnd(dlg);
    return h ? (int)IsDlgButtonChecked(h, id) : 0;
}

void ui_set_caption(UiWnd w, const char* text) {
    HWND h = ui_win32_hwnd(w);
    if (h) SetWindowTextA(h, text ? text : "");
}

void ui_foreground(UiWnd w) {
    HWND h = ui_win32_hwnd(w);
    if (h) SetForegroundWindow(h);
}

void ui_window_rect(UiWnd w, UiRect* r) {
    RECT rc = {0, 0, 0, 0};
    HWND h = ui_win32_hwnd(w);
    if (h) GetWindowRect(h, &rc);
    r->left = rc.left;
    r->top = rc.top;
    r->right = rc.right;
    r->bottom = rc.bottom;
}

void ui_move_window(UiWnd w, int x, int y) {
    HWND h = ui_win32_hwnd(w);
    if (h) SetWindowPos(h, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

int ui_timer_start(UiWnd w, int id, int ms) {
    HWND h = ui_win32_hwnd(w);
    return h && SetTimer(h, (UINT_PTR)id, (UINT)ms, nullptr) ? 1 : 0;
}

void ui_timer_stop(UiWnd w, int id) {
    HWND h = ui_win32_hwnd(w);
    if (h) KillTimer(h, (UINT_PTR)id);
}

int ui_work_area(UiRect* r) {
    RECT rc;
    if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &rc, 0)) return 0;
    r->left = rc.left;
    r->top = rc.top;
    r->right = rc.right;
    r->bottom = rc.bottom;
    return 1;
}

void ui_screen_size(int* width, int* height) {
    *width = GetSystemMetrics(SM_CXSCREEN);
    *height = GetSystemMetrics(SM_CYSCREEN);
}

void ui_message_box(UiWnd owner, const char* text, const char* caption, int flags) {
    MessageBoxA(ui_win32_hwnd(owner), text ? text : "", caption ? caption : "",
                MB_OK | ((UINT)flags & MB_ICONMASK));
}

// --- the notification-area icon -------------------------------------------------------------

int ui_tray_add(UiWnd owner, const char* icon, const char* tip) {
    g_tray_owner = ui_win32_hwnd(owner);
    lstrcpynA(g_tray_icon, icon ? icon : "", sizeof g_tray_icon);
    lstrcpynA(g_tray_tip, tip ? tip : "", sizeof g_tray_tip);
    g_tray_added = 1;
    return tray_add_now();
}

void ui_tray_set(const char* icon) {
    if (!g_tray_added) return;
    lstrcpynA(g_tray_icon, icon ? icon : "", sizeof g_tray_icon);
    NOTIFYICONDATAA nid;
    tray_record(&nid, g_tray_owner);
    nid.uFlags = NIF_ICON;
    nid.hIcon = load_icon(g_tray_icon);
    Shell_NotifyIconA(NIM_MODIFY, &nid);
}

// Windows always has a notification area (a shell that restarts gets the icon again); a second
// start only brings the hidden window forward, so another_start is never delivered here.
int ui_tray_shown() {
    return g_tray_added;
}

void ui_tray_remove() {
    if (!g_tray_added) return;
    NOTIFYICONDATAA nid;
    tray_record(&nid, g_tray_owner);
    Shell_NotifyIconA(NIM_DELETE, &nid);
    g_tray_added = 0;
}

int ui_tray_menu(UiWnd owner, const MenuTemplate* menu) {
    HWND h = ui_win32_hwnd(owner);
    if (!menu) return 0;
    // Built as a menu bar with the one pop-up, then the first pop-up is shown.
    HMENU bar = CreateMenu();
    HMENU popup = CreatePopupMenu();
    if (!bar || !popup) {
        if (bar) DestroyMenu(bar);
        if (popup) DestroyMenu(popup);
        return 0;
    }
    for (int i = 0; i < menu->item_count; i++) {
        const MenuItem* it = &menu->items[i];
        if (it->text)
            AppendMenuA(popup, MF_STRING, (UINT_PTR)it->command, it->text);
        else
            AppendMenuA(popup, MF_SEPARATOR, 0, nullptr);
    }
    AppendMenuA(bar, MF_POPUP | MF_STRING, (UINT_PTR)popup, menu->popup ? menu->popup : "");
    POINT pt = {0, 0};
    GetCursorPos(&pt);
    if (h) SetForegroundWindow(h);
    int cmd = (int)TrackPopupMenu(
        GetSubMenu(bar, 0), TPM_RETURNCMD | TPM_BOTTOMALIGN | TPM_RIGHTALIGN | TPM_RIGHTBUTTON,
        pt.x, pt.y, 0, h, nullptr);
    // Lets the menu close properly the next time the window loses the foreground.
    if (h) PostMessageA(h, WM_NULL, 0, 0);
    DestroyMenu(bar);
    return cmd;
}

// --- the application --------------------------------------------------------------------------

int ui_find_running(const char* class_name, const char* title) {
    HWND h = FindWindowA(class_name, title);
    if (!h) return 0;
    if (IsIconic(h)) ShowWindow(h, SW_RESTORE);
    SetForegroundWindow(h);
    return 1;
}

int ui_register_class(const char* class_name) {
    g_taskbar_created = RegisterWindowMessageA("TaskbarCreated");
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.style = CS_NOCLOSE;
    wc.lpfnWndProc = main_window_proc;
    wc.hInstance = instance();
    wc.hIcon = nullptr;
    wc.hCursor = LoadCursorA(nullptr, (LPCSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wc.lpszClassName = class_name;
    return RegisterClassA(&wc) ? 1 : 0;
}

UiWnd ui_create_main_window(const char* class_name, const char* title) {
    HWND h = CreateWindowExA(WS_EX_TOOLWINDOW, class_name, title, WS_OVERLAPPEDWINDOW,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr,
                             nullptr, instance(), nullptr);
    if (!h) return 0;
    ShowWindow(h, SW_HIDE);
    UiWnd w = slot_add(h, nullptr);
    if (!w) DestroyWindow(h);
    return w;
}

void ui_destroy_window(UiWnd w) {
    HWND h = ui_win32_hwnd(w);
    if (h) DestroyWindow(h);
}

int ui_run_loop() {
    MSG msg;
    for (;;) {
        BOOL r = GetMessageA(&msg, nullptr, 0, 0);
        if (r == 0) return (int)msg.wParam;
        if (r == -1) return 0;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

void ui_quit(int code) {
    PostQuitMessage(code);
}

unsigned long ui_last_error() {
    return GetLastError();
}

void ui_sleep(int ms) {
    Sleep(ms > 0 ? (DWORD)ms : 0);
}
