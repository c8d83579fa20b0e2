// The relay's file-system calls on Windows (see state_fs.h). A file's access is its folder's,
// inherited: the mode asked for is not Windows' to take.
#include "server/win32/error.h"
#include "server/win32/security.h"
#include "server/state_fs.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static char last_error[400];

static void failed(const char* what) {
    DWORD code = GetLastError();
    std::snprintf(last_error, sizeof last_error, "%s: %s (error %lu)", what, win32_error_text(code),
                  static_cast<unsigned long>(code));
}

const char* fs_error() {
    return last_error;
}

// Handles travel as the long long of the portable interface.
static HANDLE handle(long long h) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(h));
}

long long fs_create_beside(const char* target, int, char* tmp, int tmp_size) {
    static unsigned serial;
    for (int tries = 0; tries < 32; ++tries) {
        unsigned unique = static_cast<unsigned>(GetTickCount64()) ^
                          (static_cast<unsigned>(GetCurrentProcessId()) << 12) ^
                          (++serial * 2654435761u);
        int n = std::snprintf(tmp, static_cast<size_t>(tmp_size), "%s.%08x.tmp", target, unique);
        if (n >= tmp_size) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            failed("cannot name a temporary file");
            return FS_NONE;
        }
        // CREATE_NEW: only a file made here and now is ever written, never one (or a link) that
        // was there. Shared for deletion: it is renamed over its target while still open, and
        // later replaced while the journal writes to it, as POSIX allows.
        HANDLE h =
            CreateFileA(tmp, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) continue;
        if (h == INVALID_HANDLE_VALUE) {
            failed("cannot make a temporary file beside it");
            return FS_NONE;
        }
        return static_cast<long long>(reinterpret_cast<intptr_t>(h));
    }
    SetLastError(ERROR_FILE_EXISTS);
    failed("cannot make a temporary file beside it");
    return FS_NONE;
}

int fs_write(long long h, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        DWORD chunk = len > (1u << 30) ? (1u << 30) : static_cast<DWORD>(len);
        DWORD n = 0;
        if (!WriteFile(handle(h), p, chunk, &n, nullptr) || n == 0) {
            if (n == 0) SetLastError(ERROR_DISK_FULL);
            failed("cannot write");
            return 0;
        }
        p += n;
        len -= n;
    }
    return 1;
}

int fs_sync(long long h) {
    if (FlushFileBuffers(handle(h))) return 1;
    failed("cannot sync");
    return 0;
}

void fs_close(long long h) {
    if (h != FS_NONE) CloseHandle(handle(h));
}

int fs_replace(const char* tmp, const char* target, int) {
    // The rename itself reaches the disk before this returns: there is no folder to sync.
    const DWORD how = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (MoveFileExA(tmp, target, how)) return 1;
    if (GetLastError() != ERROR_ACCESS_DENIED) {
        failed("cannot rename the temporary file over it");
        return 0;
    }
    // Windows replaces no file that is open (the journal writes to it), but lets it be renamed
    // when opened for shared deletion: the old file steps aside, the new one takes its name,
    // and the old goes once its last handle is closed.
    char old[FS_PATH_SIZE];
    std::snprintf(old, sizeof old, "%s.old", tmp);
    if (!MoveFileExA(target, old, MOVEFILE_WRITE_THROUGH)) {
        failed("cannot rename the temporary file over it");
        return 0;
    }
    if (!MoveFileExA(tmp, target, how)) {
        failed("cannot rename the temporary file over it");
        MoveFileExA(old, target, MOVEFILE_WRITE_THROUGH);
        return 0;
    }
    DeleteFileA(old);
    return 1;
}

void fs_remove(const char* path) {
    DeleteFileA(path);
}

void fs_remove_leftovers_beside(const char* target) {
    char folder[FS_PATH_SIZE];
    std::snprintf(folder, sizeof folder, "%s", target);
    char* slash = std::strrchr(folder, '\\');
    char* other = std::strrchr(folder, '/');
    if (other != nullptr && (slash == nullptr || other > slash)) slash = other;
    const char* base = slash != nullptr ? target + (slash - folder) + 1 : target;
    if (slash != nullptr)
        slash[1] = '\0';
    else
        folder[0] = '\0';
    size_t n = std::strlen(base);
    char pattern[FS_PATH_SIZE + 8], path[FS_PATH_SIZE + 300];
    std::snprintf(pattern, sizeof pattern, "%s*.tmp*", target);
    WIN32_FIND_DATAA f;
    HANDLE found = FindFirstFileA(pattern, &f);
    if (found == INVALID_HANDLE_VALUE) return;
    do {
        // base, '.', eight hexadecimal digits, ".tmp": fs_create_beside's names; with ".old",
        // an old file fs_replace stepped aside and was cut short before it could remove.
        const char* name = f.cFileName;
        size_t len = std::strlen(name);
        int old = len == n + 17 && std::strcmp(name + n + 13, ".old") == 0;
        if ((len != n + 13 && !old) || _strnicmp(name, base, n) != 0 || name[n] != '.' ||
            _strnicmp(name + n + 9, ".tmp", 4) != 0 ||
            std::strspn(name + n + 1, "0123456789abcdef") != 8)
            continue;
        std::snprintf(path, sizeof path, "%s%s", folder, name);
        // Cut short between its two renames, the old file is the only one: it goes back.
        if (old && GetFileAttributesA(target) == INVALID_FILE_ATTRIBUTES &&
            MoveFileExA(path, target, MOVEFILE_WRITE_THROUGH))
            continue;
        DeleteFileA(path);
    } while (FindNextFileA(found, &f));
    FindClose(found);
}

long long fs_open_read(const char* path, int* missing) {
    HANDLE h =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD why = GetLastError();
    *missing =
        h == INVALID_HANDLE_VALUE && (why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND);
    if (h == INVALID_HANDLE_VALUE) {
        failed("cannot read it");
        return FS_NONE;
    }
    return static_cast<long long>(reinterpret_cast<intptr_t>(h));
}

long long fs_read(long long h, void* buf, size_t size) {
    DWORD n = 0;
    DWORD want = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    if (!ReadFile(handle(h), buf, want, &n, nullptr)) {
        failed("cannot read it");
        return -1;
    }
    return n;
}

int fs_make_folders_for(const char* path) {
    char folder[FS_PATH_SIZE];
    std::snprintf(folder, sizeof folder, "%s", path);
    char* slash = std::strrchr(folder, '\\');
    char* other = std::strrchr(folder, '/');
    if (other != nullptr && (slash == nullptr || other > slash)) slash = other;
    if (slash == nullptr) return 1;
    *slash = '\0';
    // Past the drive ("C:\") or the server and share ("\\server\share\") at the start.
    char* p = folder;
    if (p[0] != '\0' && p[1] == ':') p += 2;
    if ((p[0] == '\\' || p[0] == '/') && (p[1] == '\\' || p[1] == '/')) {
        p += 2;
        for (int parts = 0; *p != '\0' && parts < 2; ++p)
            if (*p == '\\' || *p == '/') ++parts;
    }
    for (++p;; ++p) {
        if (*p != '\\' && *p != '/' && *p != '\0') continue;
        char was = *p;
        *p = '\0';
        // The file's own folder gets the relay's data folder's list, not its parent's.
        char why[700];
        int made = was == '\0' ? win32_make_data_folder(folder, why, sizeof why)
                               : CreateDirectoryA(folder, nullptr) ||
                                     GetLastError() == ERROR_ALREADY_EXISTS;
        if (!made) {
            failed("cannot make its folder");
            return 0;
        }
        *p = was;
        if (was == '\0') return 1;
    }
}

int state_default_path(char* out, int size, char* err, int err_size) {
    const char* data = std::getenv("ProgramData");
    if (data == nullptr || data[0] == '\0') {
        std::snprintf(err, static_cast<size_t>(err_size),
                      "no place for the state file: ProgramData is not set; give --state FILE or "
                      "--state none");
        return 0;
    }
    if (std::snprintf(out, static_cast<size_t>(size), "%s\\KelTup\\state", data) >= size) {
        std::snprintf(err, static_cast<size_t>(err_size), "the state file's path is too long");
        return 0;
    }
    return 1;
}
