// The Windows relay's process tests: the programs beside the test, run with their output in a
// file, and a relay started in a console as an operator would start it.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <string>

enum { CHILD_WAIT_MS = 30000 }; // a bound against hangs, not a measurement

// The folder this test program is in: keltup-server.exe, keltup-send.exe and keltup.exe are
// beside it.
inline std::string program_dir() {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    char* slash = std::strrchr(path, '\\');
    if (slash != nullptr) *slash = '\0';
    return path;
}

inline std::string read_file(const std::string& path) {
    std::string text;
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return text;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(f, buf, sizeof buf, &n, nullptr) && n > 0)
        text.append(buf, n);
    CloseHandle(f);
    return text;
}

inline void write_file(const std::string& path, const std::string& text) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0,
                           nullptr);
    DWORD n = 0;
    WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
    CloseHandle(f);
}

// Starts `line` (a whole command line) with standard output and error into the file out.
inline HANDLE start_logged(const std::string& line, const std::string& out) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE log = CreateFileA(out.c_str(), GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                             CREATE_ALWAYS, 0, nullptr);
    if (log == INVALID_HANDLE_VALUE) return nullptr;
    STARTUPINFOA si;
    std::memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = log;
    si.hStdError = log;
    PROCESS_INFORMATION pi;
    std::string cmd = line;
    BOOL ok =
        CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(log);
    if (!ok) return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

// Runs `line` to its end; returns its exit code (-1 when it did not end in time), its output in
// *out.
inline int run_logged(const std::string& line, std::string* out, const std::string& scratch) {
    HANDLE p = start_logged(line, scratch);
    if (p == nullptr) return -1;
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(p, CHILD_WAIT_MS) != WAIT_OBJECT_0) TerminateProcess(p, 99);
    GetExitCodeProcess(p, &code);
    CloseHandle(p);
    if (out != nullptr) *out = read_file(scratch);
    return static_cast<int>(code);
}

// The pipe's descriptor as the system reads it back, in SDDL.
inline std::string pipe_descriptor(const char* name) {
    HANDLE h = CreateFileA(name, READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "cannot open: " + std::to_string(GetLastError());
    PSECURITY_DESCRIPTOR sd = nullptr;
    PACL dacl = nullptr;
    DWORD got = GetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                &dacl, nullptr, &sd);
    CloseHandle(h);
    if (got != ERROR_SUCCESS) return "cannot read: " + std::to_string(got);
    char* text = nullptr;
    std::string s = ConvertSecurityDescriptorToStringSecurityDescriptorA(
                        sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)
                        ? text
                        : "cannot convert";
    LocalFree(text);
    LocalFree(sd);
    return s;
}

// A relay run as in a console; killed at the end of the test.
struct ConsoleRelay {
    HANDLE process = nullptr;
    int port = 0;
    std::string log;

    // Starts keltup-server.exe with args on a port of the system's choosing, with no state file
    // unless args give one, and waits for its "listening on" line. Returns 1 when it came.
    int start(const std::string& args, const std::string& log_file) {
        log = log_file;
        process = start_logged(
            "\"" + program_dir() +
                "\\keltup-server.exe\" --bind 127.0.0.1 "
                "--port 0 " +
                (args.find("--state") == std::string::npos ? "--state none " : "") + args,
            log);
        for (int i = 0; process != nullptr && i < CHILD_WAIT_MS / 50; ++i) {
            std::string text = read_file(log);
            size_t at = text.find("listening on 127.0.0.1:");
            if (at != std::string::npos) {
                port = std::atoi(text.c_str() + at + 23);
                return 1;
            }
            if (WaitForSingleObject(process, 50) == WAIT_OBJECT_0) break;
        }
        return 0;
    }
    // Ends it as a power cut would: no clean stop.
    void kill() {
        if (process == nullptr) return;
        TerminateProcess(process, 0);
        WaitForSingleObject(process, CHILD_WAIT_MS);
        CloseHandle(process);
        process = nullptr;
    }
    ~ConsoleRelay() { kill(); }
};
