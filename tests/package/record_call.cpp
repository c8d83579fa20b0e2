// A stand-in for a system command in the installer's tests: appends its command line, as one
// line, to the file named by KELTUP_RECORD_FILE and succeeds, so that a test can read back the
// calls a program made where Wine's own command would do nothing.
#include <windows.h>

#include <cstring>

int main() {
    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("KELTUP_RECORD_FILE", path, sizeof path);
    if (n == 0 || n >= sizeof path) return 0;
    HANDLE f = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return 0;
    const char* line = GetCommandLineA();
    DWORD wrote = 0;
    WriteFile(f, line, static_cast<DWORD>(std::strlen(line)), &wrote, nullptr);
    WriteFile(f, "\n", 1, &wrote, nullptr);
    CloseHandle(f);
    return 0;
}
