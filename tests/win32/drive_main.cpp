// keltup-drive.exe: drives a running keltup.exe from scripts (screenshots, demonstrations).
//
//   keltup-drive wait CAPTION           waits for a window with this caption
//   keltup-drive text CAPTION ID        prints a control's text (ID 65535: a message box's)
//   keltup-drive set CAPTION ID TEXT    sets a control's text
//   keltup-drive press CAPTION ID       presses a button
//   keltup-drive tray dblclick|menu     posts a tray callback to the hidden main window
//   keltup-drive pick LETTER            opens the tray menu and picks the item by its mnemonic
//   keltup-drive key VK                 presses a key (virtual-key code), e.g. 27 for Esc
//   keltup-drive rect CAPTION|menu      prints a window's screen rectangle: x y width height
//
// Exit code 0 on success, 1 when the window was not found, 2 for a bad command line.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tests/win32/driver.h"

namespace {

enum { WAIT_MS = 20000 };

HWND need(const char* caption) {
    HWND w = drv_wait_window(caption, WAIT_MS);
    if (!w) fprintf(stderr, "keltup-drive: no window \"%s\"\n", caption);
    return w;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: keltup-drive wait|text|set|press|tray|pick ...\n");
        return 2;
    }
    const char* cmd = argv[1];
    if (strcmp(cmd, "wait") == 0 && argc == 3) return need(argv[2]) ? 0 : 1;
    if (strcmp(cmd, "text") == 0 && argc == 4) {
        HWND w = need(argv[2]);
        if (!w) return 1;
        printf("%s\n", drv_get_text(w, atoi(argv[3])).c_str());
        return 0;
    }
    if (strcmp(cmd, "set") == 0 && argc == 5) {
        HWND w = need(argv[2]);
        if (!w) return 1;
        drv_set_text(w, atoi(argv[3]), argv[4]);
        return 0;
    }
    if (strcmp(cmd, "press") == 0 && argc == 4) {
        HWND w = need(argv[2]);
        if (!w) return 1;
        drv_press(w, atoi(argv[3]));
        return 0;
    }
    if (strcmp(cmd, "rect") == 0 && argc == 3) {
        HWND w = strcmp(argv[2], "menu") == 0 ? FindWindowA("#32768", nullptr) : need(argv[2]);
        if (!w) return 1;
        RECT r;
        GetWindowRect(w, &r);
        printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
        return 0;
    }
    if (strcmp(cmd, "key") == 0 && argc == 3) {
        BYTE vk = (BYTE)atoi(argv[2]);
        keybd_event(vk, 0, 0, 0);
        keybd_event(vk, 0, KEYEVENTF_KEYUP, 0);
        return 0;
    }
    if ((strcmp(cmd, "tray") == 0 || strcmp(cmd, "pick") == 0) && argc == 3) {
        HWND main = drv_wait_main(WAIT_MS);
        if (!main) {
            fprintf(stderr, "keltup-drive: keltup.exe is not running\n");
            return 1;
        }
        if (strcmp(cmd, "pick") == 0) return drv_menu_pick(main, argv[2][0]) ? 0 : 1;
        if (strcmp(argv[2], "dblclick") == 0) {
            drv_tray(main, WM_LBUTTONDBLCLK);
            return 0;
        }
        if (strcmp(argv[2], "menu") == 0) {
            drv_tray(main, WM_RBUTTONUP);
            return 0;
        }
    }
    fprintf(stderr, "keltup-drive: bad command line\n");
    return 2;
}
