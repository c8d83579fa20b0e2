#include "tests/win32/driver.h"

#include <string.h>

namespace {

enum { POLL_MS = 50 };

struct Search {
    const char* caption;
    HWND found;
};

BOOL CALLBACK match_caption(HWND w, LPARAM lp) {
    Search* s = (Search*)lp;
    char buf[256] = "";
    if (!IsWindowVisible(w)) return TRUE;
    GetWindowTextA(w, buf, sizeof buf);
    if (strcmp(buf, s->caption) == 0) {
        s->found = w;
        return FALSE;
    }
    return TRUE;
}

HWND find_caption(const char* caption) {
    Search s = {caption, nullptr};
    EnumWindows(match_caption, (LPARAM)&s);
    return s.found;
}

void key(BYTE vk) {
    keybd_event(vk, 0, 0, 0);
    keybd_event(vk, 0, KEYEVENTF_KEYUP, 0);
}

} // namespace

HWND drv_wait_window(const char* caption, int timeout_ms) {
    for (int waited = 0;; waited += POLL_MS) {
        HWND w = find_caption(caption);
        if (w || waited >= timeout_ms) return w;
        Sleep(POLL_MS);
    }
}

int drv_window_up(const char* caption) {
    return find_caption(caption) != nullptr;
}

HWND drv_wait_main(int timeout_ms) {
    for (int waited = 0;; waited += POLL_MS) {
        HWND w = FindWindowA("KelTup", nullptr);
        if (w || waited >= timeout_ms) return w;
        Sleep(POLL_MS);
    }
}

int drv_wait_gone(HWND w, int timeout_ms) {
    for (int waited = 0;; waited += POLL_MS) {
        if (!IsWindow(w) || !IsWindowVisible(w)) return 1;
        if (waited >= timeout_ms) return 0;
        Sleep(POLL_MS);
    }
}

std::string drv_get_text(HWND dlg, int id) {
    char buf[2048] = "";
    GetDlgItemTextA(dlg, id, buf, sizeof buf);
    return buf;
}

void drv_set_text(HWND dlg, int id, const char* text) {
    SetDlgItemTextA(dlg, id, text);
}

int drv_get_check(HWND dlg, int id) {
    return (int)IsDlgButtonChecked(dlg, id);
}

void drv_press(HWND dlg, int id) {
    PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dlg, id));
}

std::string drv_box_text(HWND box) {
    return drv_get_text(box, 0xFFFF);
}

void drv_tray(HWND main, int mouse_event) {
    PostMessageA(main, 99, 0, (LPARAM)mouse_event);
}

int drv_menu_pick(HWND main, char letter) {
    drv_tray(main, WM_RBUTTONUP);
    // The pop-up menu is a window of the system class "#32768".
    HWND menu = nullptr;
    for (int waited = 0; waited < 10000 && !menu; waited += POLL_MS) {
        menu = FindWindowA("#32768", nullptr);
        if (menu && !IsWindowVisible(menu)) menu = nullptr;
        if (!menu) Sleep(POLL_MS);
    }
    if (!menu) return 0;
    // Virtual-key codes of letters are the upper-case letters.
    key((BYTE)(letter >= 'a' && letter <= 'z' ? letter - 'a' + 'A' : letter));
    return 1;
}

int drv_start(const char* exe, const char* args, DrvProcess* p) {
    char cmd[1024];
    if (args && *args)
        wsprintfA(cmd, "\"%s\" %s", exe, args);
    else
        wsprintfA(cmd, "\"%s\"", exe);
    wchar_t wide_exe[MAX_PATH], wide_cmd[1024];
    if (!MultiByteToWideChar(CP_UTF8, 0, exe, -1, wide_exe, MAX_PATH) ||
        !MultiByteToWideChar(CP_UTF8, 0, cmd, -1, wide_cmd, 1024))
        return 0;
    STARTUPINFOW si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessW(wide_exe, wide_cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return 0;
    CloseHandle(pi.hThread);
    p->process = pi.hProcess;
    p->pid = pi.dwProcessId;
    WaitForInputIdle(pi.hProcess, 5000);
    return 1;
}

int drv_wait_exit(DrvProcess* p, int timeout_ms, DWORD* code) {
    if (WaitForSingleObject(p->process, (DWORD)timeout_ms) != WAIT_OBJECT_0) return 0;
    GetExitCodeProcess(p->process, code);
    return 1;
}

void drv_kill(DrvProcess* p) {
    if (!p->process) return;
    if (WaitForSingleObject(p->process, 0) != WAIT_OBJECT_0) {
        TerminateProcess(p->process, 99);
        WaitForSingleObject(p->process, 5000);
    }
    CloseHandle(p->process);
    p->process = nullptr;
}

SOCKET drv_udp_open(int* port) {
    static int started;
    if (!started) {
        WSADATA wd;
        WSAStartup(MAKEWORD(2, 2), &wd);
        started = 1;
    }
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return s;
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    int len = sizeof a;
    if (bind(s, (sockaddr*)&a, sizeof a) != 0 || getsockname(s, (sockaddr*)&a, &len) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    *port = ntohs(a.sin_port);
    return s;
}

int drv_udp_recv(SOCKET s, char* buf, int size, int timeout_ms, sockaddr_in* from) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    if (select(0, &set, nullptr, nullptr, &tv) != 1) return -1;
    sockaddr_in a;
    int alen = sizeof a;
    int n = recvfrom(s, buf, size, 0, (sockaddr*)&a, &alen);
    if (from) *from = a;
    return n;
}

int drv_udp_send(SOCKET s, const void* data, int len, int port) {
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((u_short)port);
    return sendto(s, (const char*)data, len, 0, (sockaddr*)&a, sizeof a);
}

int drv_free_port() {
    int port = 0;
    SOCKET s = drv_udp_open(&port);
    if (s != INVALID_SOCKET) closesocket(s);
    return port;
}
