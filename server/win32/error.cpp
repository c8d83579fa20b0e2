// The system's text for a Windows error code.
#include "server/win32/error.h"

#ifdef _WIN32

#include <windows.h>

#include <cstdio>
#include <cstring>

const char* win32_error_text(unsigned long code) {
    static char text[300];
    text[0] = '\0';
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.'))
        text[--n] = '\0';
    if (n == 0) std::snprintf(text, sizeof text, "error %lu", code);
    return text;
}

#endif
