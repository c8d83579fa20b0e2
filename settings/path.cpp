#include "settings/path.h"

#include <cstring>

#ifdef _WIN32

#include <windows.h>

int path_to_wide(const char* path, wchar_t* out, int count) {
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, out, count) > 0;
}

int path_from_wide(const wchar_t* path, char* out, int size) {
    return WideCharToMultiByte(CP_UTF8, 0, path, -1, out, size, nullptr, nullptr) > 0;
}

FILE* path_fopen(const char* path, const char* mode) {
    wchar_t wide_path[MAX_PATH * 2], wide_mode[8];
    if (!path_to_wide(path, wide_path, MAX_PATH * 2) || !path_to_wide(mode, wide_mode, 8))
        return nullptr;
    return _wfopen(wide_path, wide_mode);
}

void path_make_folder(const char* path) {
    wchar_t wide[MAX_PATH * 2];
    if (path_to_wide(path, wide, MAX_PATH * 2)) CreateDirectoryW(wide, nullptr);
}

int path_full(const char* path, char* out, int size) {
    wchar_t wide[MAX_PATH * 2], full[MAX_PATH * 2];
    if (!path_to_wide(path, wide, MAX_PATH * 2)) return 0;
    DWORD n = GetFullPathNameW(wide, MAX_PATH * 2, full, nullptr);
    return n > 0 && n < MAX_PATH * 2 && path_from_wide(full, out, size);
}

#else

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

FILE* path_fopen(const char* path, const char* mode) {
    return std::fopen(path, mode);
}

void path_make_folder(const char* path) {
    mkdir(path, 0700);
}

int path_full(const char* path, char* out, int size) {
    if (path[0] == '/') {
        int n = std::snprintf(out, static_cast<size_t>(size), "%s", path);
        return n >= 0 && n < size;
    }
    char cwd[1024];
    if (!getcwd(cwd, sizeof cwd)) return 0;
    int n = std::snprintf(out, static_cast<size_t>(size), "%s/%s", cwd, path);
    return n > 0 && n < size;
}

#endif

int path_from_tail(const char* tail, char* out, int size) {
    size_t len = std::strlen(tail);
    if (len >= static_cast<size_t>(size)) return 0;
    char path[1024];
    if (len >= sizeof path) return 0;
    if (len >= 2 && tail[0] == '"' && tail[len - 1] == '"') {
        std::memcpy(path, tail + 1, len - 2);
        path[len - 2] = 0;
    } else {
        std::memcpy(path, tail, len + 1);
    }
    if (!path[0]) return 0;
    return path_full(path, out, size);
}
