// The Win32 UI layer on its own: dialogs built from the shared templates, the bridge to the
// portable dialog procedures, control access, message boxes, the tray menu, the main window and
// the resources linked into the program.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/win32/ui_win32.h"
#include "resources/resources.h"
#include "tests/win32/script.h"

namespace {

// What a test's dialog procedure saw.
std::vector<std::pair<int, int>> g_events;
std::function<void(UiWnd)> g_on_init;
int g_handle_commands = 1;

bool saw(int event, int param) {
    for (auto& e : g_events)
        if (e.first == event && e.second == param) return true;
    return false;
}

int recording_proc(UiWnd dlg, int event, int param) {
    g_events.push_back({event, param});
    if (event == UI_INIT && g_on_init) g_on_init(dlg);
    // Command 77 asks the next timer tick to end the dialog.
    if (event == UI_TIMER && saw(UI_COMMAND, 77)) ui_dialog_end(dlg, 77);
    if (event == UI_COMMAND && g_handle_commands) {
        ui_dialog_end(dlg, param);
        return 1;
    }
    return event == UI_INIT;
}

int run_recorded(const DialogTemplate* tpl, const std::vector<ScriptStep>& steps,
                 std::function<void(UiWnd)> on_init = nullptr, int handle_commands = 1) {
    g_events.clear();
    g_on_init = on_init;
    g_handle_commands = handle_commands;
    int code = 0;
    run_script(steps, [&] { code = ui_dialog_run(tpl, 0, recording_proc); });
    g_on_init = nullptr;
    return code;
}

std::string class_of(HWND w) {
    char buf[64] = "";
    GetClassNameA(w, buf, sizeof buf);
    return buf;
}

// Checks every control of tpl against the live dialog: class, style, place and size.
void check_controls(const DialogTemplate* tpl, HWND dlg) {
    HFONT font = (HFONT)SendMessageA(dlg, WM_GETFONT, 0, 0);
    LOGFONTA lf;
    ASSERT_TRUE(font && GetObjectA(font, sizeof lf, &lf)) << tpl->name;
    EXPECT_STREQ(lf.lfFaceName, tpl->font) << tpl->name;
    HDC dc = GetDC(dlg);
    int dpi = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(dlg, dc);
    EXPECT_EQ(-lf.lfHeight, MulDiv(tpl->point_size, dpi, 72)) << tpl->name;

    LONG style = GetWindowLongA(dlg, GWL_STYLE);
    EXPECT_EQ(!!(style & WS_SYSMENU), !!tpl->system_menu) << tpl->name;
    EXPECT_TRUE(style & WS_CAPTION) << tpl->name;
    EXPECT_EQ(window_caption(dlg), tpl->caption);

    // Controls come in template order, so walk the children alongside the table.
    HWND child = GetWindow(dlg, GW_CHILD);
    for (int i = 0; i < tpl->control_count; i++, child = GetWindow(child, GW_HWNDNEXT)) {
        const DialogControl& c = tpl->controls[i];
        SCOPED_TRACE(std::string(tpl->name) + " control " + std::to_string(i));
        ASSERT_TRUE(child != nullptr);
        if (c.id != ID_NONE) {
            EXPECT_EQ(GetDlgCtrlID(child), c.id);
        }
        // Dialogs draw an edit field's border as a sunken edge, and a combo box gives its
        // scroll bar to its list.
        DWORD want = ui_win32_control_style(c.kind, c.style);
        DWORD have = (DWORD)GetWindowLongA(child, GWL_STYLE);
        if (GetWindowLongA(child, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) have |= WS_BORDER;
        if (c.kind == CTL_COMBO) want &= ~(DWORD)WS_VSCROLL;
        EXPECT_EQ(have & want, want);
        const char* cls = c.kind == CTL_EDIT                              ? "Edit"
                          : c.kind == CTL_COMBO                           ? "ComboBox"
                          : c.kind == CTL_STATIC || c.kind == CTL_PICTURE ? "Static"
                                                                          : "Button";
        EXPECT_EQ(lstrcmpiA(class_of(child).c_str(), cls), 0) << class_of(child);
        if (c.kind != CTL_PICTURE && c.kind != CTL_EDIT && c.kind != CTL_COMBO) {
            EXPECT_EQ(window_caption(child), c.text);
        }
        // Place and size are scaled one by one.
        RECT place = {c.x, c.y, 0, 0}, size = {0, 0, c.w, c.h};
        MapDialogRect(dlg, &place);
        MapDialogRect(dlg, &size);
        RECT want_rc = {place.left, place.top, place.left + size.right, place.top + size.bottom};
        RECT rc;
        GetWindowRect(child, &rc);
        MapWindowPoints(nullptr, dlg, (POINT*)&rc, 2);
        EXPECT_EQ(rc.left, want_rc.left);
        EXPECT_EQ(rc.top, want_rc.top);
        if (c.kind == CTL_PICTURE) {
            // Sized by its bitmap.
            EXPECT_EQ(rc.right - rc.left, 90);
            EXPECT_EQ(rc.bottom - rc.top, 31);
        } else {
            EXPECT_EQ(rc.right, want_rc.right);
            if (c.kind != CTL_COMBO) {
                EXPECT_EQ(rc.bottom, want_rc.bottom);
            }
        }
    }
    EXPECT_EQ(child, nullptr) << tpl->name << ": more controls than the template names";
}

} // namespace

TEST(Win32Dialogs, SharedTemplatesBuildEveryControlWithItsFontClassStyleAndPlace) {
    int in_use = ui_win32_windows_in_use();
    const DialogTemplate* all[] = {&kShowMsg, &kSendBox, &kSetBox, &kAboutBox};
    for (const DialogTemplate* tpl : all) {
        int code = run_recorded(tpl, {{tpl->caption, [tpl](HWND dlg) {
                                           check_controls(tpl, dlg);
                                           EndDialog(dlg, 42);
                                       }}});
        EXPECT_EQ(code, 42) << tpl->name;
        EXPECT_TRUE(saw(UI_INIT, 0)) << tpl->name;
    }
    // Every dialog gave its handle back.
    EXPECT_EQ(ui_win32_windows_in_use(), in_use);
}

TEST(Win32Dialogs, BridgeDeliversButtonsKeysAndTimersButNotFieldNotifications) {
    // Buttons by id, typing in a field is no command, a dialog timer arrives with its id, and the
    // end code comes back from the run.
    int timer_ok = 0;
    int code = run_recorded(
        &kSetBox,
        {{"KelTup - Settings",
          [](HWND dlg) {
              type_chars(dlg, IDC_SERVER, "host");
              press(dlg, IDC_POPUP);
          }},
         {"KelTup - Settings", [](HWND dlg) { press(dlg, 77); }}},
        [&](UiWnd dlg) { timer_ok = ui_timer_start(dlg, TIMER_VIEWER, 20); }, 0);
    EXPECT_EQ(code, 77);
    EXPECT_EQ(timer_ok, 1);
    EXPECT_TRUE(saw(UI_COMMAND, IDC_POPUP));
    EXPECT_FALSE(saw(UI_COMMAND, IDC_SERVER));
    EXPECT_TRUE(saw(UI_TIMER, TIMER_VIEWER));

    // Esc and Enter: Esc is command 2, Enter the default button's id (OK in the settings box).
    // A procedure that leaves a command alone keeps the dialog open.
    code = run_recorded(&kSetBox,
                        {{"KelTup - Settings", [](HWND dlg) { press_key(dlg, VK_ESCAPE); }},
                         {"KelTup - Settings", [](HWND dlg) { press_key(dlg, VK_RETURN); }},
                         {"KelTup - Settings", [](HWND dlg) { EndDialog(dlg, 9); }}},
                        nullptr, 0);
    EXPECT_EQ(code, 9);
    EXPECT_TRUE(saw(UI_COMMAND, UI_IDCANCEL));
    EXPECT_TRUE(saw(UI_COMMAND, UI_IDOK));

    // A handling procedure ends the dialog with the command as its code.
    code = run_recorded(&kSendBox, {{"KelTup", [](HWND dlg) { press(dlg, IDC_SEND); }}});
    EXPECT_EQ(code, IDC_SEND);
}

TEST(Win32Dialogs, ControlTextAndChecksByIdWithTheFieldsRules) {
    std::string got[8];
    int checks[2] = {-1, -1};
    run_recorded(
        &kSetBox, {{"KelTup - Settings", [](HWND dlg) { EndDialog(dlg, 0); }}},
        [&](UiWnd dlg) {
            ui_set_text(dlg, IDC_SERVER, "127.0.0.1");
            char buf[16];
            ui_get_text(dlg, IDC_SERVER, buf, 5);
            got[0] = buf;
            buf[0] = 'x';
            ui_get_text(dlg, IDC_SERVER, buf, 1);
            got[1] = buf;
            buf[0] = 'x';
            ui_get_text(dlg, 4242, buf, sizeof buf); // no such control
            got[2] = buf;
            ui_set_check(dlg, IDC_POPUP, 1);
            checks[0] = ui_get_check(dlg, IDC_POPUP);
            ui_set_check(dlg, IDC_POPUP, 0);
            checks[1] = ui_get_check(dlg, IDC_POPUP);
            ui_set_text(dlg, IDC_NICK, "");
        },
        0);
    EXPECT_EQ(got[0], "127.");
    EXPECT_EQ(got[1], "");
    EXPECT_EQ(got[2], "");
    EXPECT_EQ(checks[0], 1);
    EXPECT_EQ(checks[1], 0);
}

TEST(Win32Dialogs, FieldsForceUpperCaseDigitsAndTakeAFullLengthNickname) {
    // The fields' styles at work on typed characters; a 19-letter nickname of wide letters must
    // fit both the compose recipient and the settings nick, narrow as they are.
    std::string nick, remote, local, to, to_long;
    const char* wide = "wwwwwwwwwwmmmmmmmmm";
    run_recorded(&kSetBox, {{"KelTup - Settings", [&](HWND dlg) {
                                 type_chars(dlg, IDC_NICK, wide);
                                 type_chars(dlg, IDC_REMOTEPORT, "1x2");
                                 type_chars(dlg, IDC_LOCALPORT, "65535");
                                 nick = control_text(dlg, IDC_NICK);
                                 remote = control_text(dlg, IDC_REMOTEPORT);
                                 local = control_text(dlg, IDC_LOCALPORT);
                                 EndDialog(dlg, 0);
                             }}});
    EXPECT_EQ(nick, "WWWWWWWWWWMMMMMMMMM");
    EXPECT_EQ(remote, "12");
    EXPECT_EQ(local, "65535");
    run_recorded(&kSendBox, {{"KelTup", [&](HWND dlg) {
                                  type_chars(dlg, IDC_TO_COMBO, "bob");
                                  to = control_text(dlg, IDC_TO_COMBO);
                                  SetDlgItemTextA(dlg, IDC_TO_COMBO, "");
                                  type_chars(dlg, IDC_TO_COMBO, wide);
                                  to_long = control_text(dlg, IDC_TO_COMBO);
                                  EndDialog(dlg, 0);
                              }}});
    EXPECT_EQ(to, "BOB");
    EXPECT_EQ(to_long, "WWWWWWWWWWMMMMMMMMM");
}

TEST(Win32Dialogs, CaptionPlacementAndWorkArea) {
    UiRect r = {0, 0, 0, 0}, moved = {0, 0, 0, 0};
    std::string caption;
    run_recorded(&kAboutBox,
                 {{"Now 3 Messages",
                   [&](HWND dlg) {
                       caption = window_caption(dlg);
                       EndDialog(dlg, 0);
                   }}},
                 [&](UiWnd dlg) {
                     ui_set_caption(dlg, "Now 3 Messages");
                     ui_window_rect(dlg, &r);
                     ui_move_window(dlg, 31, 47);
                     ui_window_rect(dlg, &moved);
                 });
    EXPECT_EQ(caption, "Now 3 Messages");
    EXPECT_EQ(moved.left, 31);
    EXPECT_EQ(moved.top, 47);
    EXPECT_EQ(moved.right - moved.left, r.right - r.left); // moved, not resized
    EXPECT_EQ(moved.bottom - moved.top, r.bottom - r.top);

    UiRect area;
    int w = 0, h = 0;
    ui_screen_size(&w, &h);
    ASSERT_EQ(ui_work_area(&area), 1);
    EXPECT_GT(w, 0);
    EXPECT_GT(h, 0);
    EXPECT_TRUE(area.left >= 0 && area.top >= 0 && area.right <= w && area.bottom <= h);
    EXPECT_LT(area.left, area.right);

    // Handles that name no window are harmless.
    ui_set_text(0, 1, "x");
    ui_set_caption(999, "x");
    ui_window_rect(12345, &r);
    EXPECT_EQ(r.left, 0);
    EXPECT_EQ(r.right, 0);
    EXPECT_EQ(ui_dialog_run(nullptr, 0, recording_proc), -1);
}

TEST(Win32Boxes, MessageBoxesShowTextAndCaptionAndWaitForOk) {
    std::string text1, text2;
    int steps = run_script({{"KelTup",
                             [&](HWND box) {
                                 text1 = box_text(box);
                                 press(box, IDOK);
                             }},
                            {"Keltup:Fatal Error",
                             [&](HWND box) {
                                 text2 = box_text(box);
                                 press(box, IDOK);
                             }}},
                           [] {
                               ui_message_box(0, "Cant bind!", "KelTup", UI_MB_OK);
                               ui_message_box(0, "Can't start sockets", "Keltup:Fatal Error",
                                              UI_MB_ICONERROR);
                           });
    EXPECT_EQ(steps, 2);
    EXPECT_EQ(text1, "Cant bind!");
    EXPECT_EQ(text2, "Can't start sockets");
    // The hook saw both boxes, in order.
    const std::vector<std::string>& seen = activated_captions();
    auto first = std::find(seen.begin(), seen.end(), "KelTup");
    auto second = std::find(seen.begin(), seen.end(), "Keltup:Fatal Error");
    EXPECT_TRUE(first != seen.end() && second != seen.end() && first < second);
}

TEST(Win32Shell, HiddenMainWindowIsFoundByClassAndTitleAndTheTrayMenuReturnsCommands) {
    // A class of its own, so that a program running beside the tests is not disturbed.
    const char* cls = "KelTupUiTest";
    const char* title = "KelTup UI test window";
    ASSERT_EQ(ui_register_class(cls), 1);
    UiWnd w = ui_create_main_window(cls, title);
    ASSERT_NE(w, 0);
    HWND h = ui_win32_hwnd(w);
    EXPECT_EQ(ui_win32_wnd(h), w);
    EXPECT_FALSE(IsWindowVisible(h));
    EXPECT_TRUE(GetWindowLongA(h, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    EXPECT_TRUE(GetClassLongA(h, GCL_STYLE) & CS_NOCLOSE);
    EXPECT_EQ(GetClassLongPtrA(h, GCLP_HICON), 0);
    EXPECT_EQ(window_caption(h), title);
    EXPECT_EQ(ui_find_running(cls, title), 1);
    EXPECT_EQ(ui_find_running(cls, "another title"), 0);

    // The menu: a mnemonic picks its command, Esc dismisses it with 0.
    int cmd_exit = -1, cmd_none = -1, cmd_about = -1;
    run_script({}, [&] {
        UINT_PTR t = SetTimer(nullptr, 0, 150, [](HWND, UINT, UINT_PTR id, DWORD) {
            KillTimer(nullptr, id);
            keybd_event('X', 0, 0, 0);
            keybd_event('X', 0, KEYEVENTF_KEYUP, 0);
        });
        cmd_exit = ui_tray_menu(w, &kConMenu);
        KillTimer(nullptr, t);
    });
    EXPECT_EQ(cmd_exit, CMD_EXIT);
    run_script({}, [&] {
        SetTimer(nullptr, 0, 150, [](HWND, UINT, UINT_PTR id, DWORD) {
            KillTimer(nullptr, id);
            keybd_event(VK_ESCAPE, 0, 0, 0);
            keybd_event(VK_ESCAPE, 0, KEYEVENTF_KEYUP, 0);
        });
        cmd_none = ui_tray_menu(w, &kConMenu);
    });
    EXPECT_EQ(cmd_none, 0);
    run_script({}, [&] {
        SetTimer(nullptr, 0, 150, [](HWND, UINT, UINT_PTR id, DWORD) {
            KillTimer(nullptr, id);
            keybd_event('A', 0, 0, 0);
            keybd_event('A', 0, KEYEVENTF_KEYUP, 0);
        });
        cmd_about = ui_tray_menu(w, &kConMenu);
    });
    EXPECT_EQ(cmd_about, CMD_ABOUT);

    ui_destroy_window(w);
    MSG m;
    PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE); // posted as the main window went
    EXPECT_FALSE(IsWindow(h));
    EXPECT_EQ(ui_win32_wnd(h), 0);
    EXPECT_EQ(ui_find_running(cls, title), 0);
}

TEST(Win32Resources, StringIconsAndPictureAreLinkedIn) {
    HINSTANCE inst = GetModuleHandleA(nullptr);
    char title[101] = "";
    LoadStringA(inst, IDS_TITLE, title, 100);
    EXPECT_STREQ(title, kTitleString);

    HICON on = LoadIconA(inst, ICON_ON);
    HICON off = LoadIconA(inst, ICON_OFF);
    ASSERT_TRUE(on && off);
    // The two states must look different: compare their colour bitmaps.
    ICONINFO ion, ioff;
    ASSERT_TRUE(GetIconInfo(on, &ion) && GetIconInfo(off, &ioff));
    BITMAP b;
    GetObjectA(ion.hbmColor, sizeof b, &b);
    EXPECT_EQ(b.bmWidth, 32);
    EXPECT_EQ(b.bmHeight, 32);
    std::vector<DWORD> pon(32 * 32), poff(32 * 32);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = 32;
    bi.bmiHeader.biHeight = 32;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    HDC dc = GetDC(nullptr);
    GetDIBits(dc, ion.hbmColor, 0, 32, pon.data(), &bi, DIB_RGB_COLORS);
    GetDIBits(dc, ioff.hbmColor, 0, 32, poff.data(), &bi, DIB_RGB_COLORS);
    ReleaseDC(nullptr, dc);
    EXPECT_NE(pon, poff);

    HBITMAP pic = LoadBitmapA(inst, MAKEINTRESOURCEA(IDB_ABOUT));
    ASSERT_TRUE(pic);
    GetObjectA(pic, sizeof b, &b);
    EXPECT_EQ(b.bmWidth, 90);
    EXPECT_EQ(b.bmHeight, 31);
    DeleteObject(pic);

    // The version resource names the version the About box shows.
    HRSRC ver = FindResourceA(inst, MAKEINTRESOURCEA(1), (LPCSTR)RT_VERSION);
    ASSERT_TRUE(ver);
    const VS_FIXEDFILEINFO* fixed = nullptr;
    // The fixed part follows the 16-bit header and the key "VS_VERSION_INFO", aligned.
    const char* data = (const char*)LockResource(LoadResource(inst, ver));
    fixed = (const VS_FIXEDFILEINFO*)(data + 40);
    ASSERT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00000009u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00040000u);
    EXPECT_STREQ(kVersionText, "V0.9.4");

    // The manifest asks for the current common controls and declares DPI awareness.
    HRSRC man = FindResourceA(inst, MAKEINTRESOURCEA(1), (LPCSTR)RT_MANIFEST);
    ASSERT_TRUE(man);
    std::string xml((const char*)LockResource(LoadResource(inst, man)), SizeofResource(inst, man));
    EXPECT_NE(xml.find("Microsoft.Windows.Common-Controls"), std::string::npos);
    EXPECT_NE(xml.find("version=\"6.0.0.0\""), std::string::npos);
    EXPECT_NE(xml.find("<dpiAware"), std::string::npos);
}
