// keltup-server as a Windows service: registered with the service control manager to start
// automatically as LocalService, under its own restricted service SID, and restart on failure;
// under it, start pending with progress, running, and stop or shutdown through the loop's stop
// event; its log in the Application event log.
#include "server/win32/error.h"
#include "server/win32/security.h"
#include "server/win32/service.h"

#include "server/keltup-server-messages.h"
#include "server/relay.h"
#include "server/serve.h"

#include <cstdio>
#include <cstring>
#include <string>

static const char kEventLogKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" KELTUP_SERVICE_NAME;

static SERVICE_STATUS_HANDLE status_handle;
static SERVICE_STATUS status;
static CRITICAL_SECTION status_lock; // the handler's thread and the relay's both report
static HANDLE event_source;
static int (*relay_start)();
static int relay_exit;

static void say_error(const char* what) {
    DWORD code = GetLastError();
    std::fprintf(stderr, "keltup-server: %s: %s (error %lu)\n", what, win32_error_text(code),
                 static_cast<unsigned long>(code));
}

// One argument as the C runtime splits a command line: quoted when it has blanks or quotes,
// backslashes doubled before a quote.
static void append_argument(std::string* line, const std::string& a) {
    *line += ' ';
    if (!a.empty() && a.find_first_of(" \t\"") == std::string::npos) {
        *line += a;
        return;
    }
    *line += '"';
    size_t slashes = 0;
    for (char c : a) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        line->append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
        slashes = 0;
        *line += c;
    }
    line->append(slashes * 2, '\\');
    *line += '"';
}

// A file option's value as a full path: a service starts in the system folder.
static std::string full_path(const char* path) {
    char full[MAX_PATH * 2];
    DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
    return n > 0 && n < sizeof full ? std::string(full) : std::string(path);
}

int service_install(int argc, char** argv) {
    char exe[MAX_PATH * 2];
    DWORD n = GetModuleFileNameA(nullptr, exe, sizeof exe);
    if (n == 0 || n >= sizeof exe) {
        say_error("cannot tell this program's path");
        return EXIT_FAILED;
    }
    std::string line = std::string("\"") + exe + "\"";
    append_argument(&line, "--service");
    int has_users = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--install-service") continue;
        append_argument(&line, a);
        int file = a == "-u" || a == "--users" || a == "--metrics" ||
                   (a == "--state" && i + 1 < argc && std::strcmp(argv[i + 1], "none") != 0);
        has_users |= a == "-u" || a == "--users";
        if (file && i + 1 < argc) append_argument(&line, full_path(argv[++i]));
    }
    const char* data = std::getenv("ProgramData");
    std::string folder = std::string(data != nullptr ? data : "C:\\ProgramData") + "\\KelTup";
    std::string users = folder + "\\users";
    // The service can write only where its own SID may: its folder is made for it first.
    if (win32_prepare_data_folder(folder.c_str(), nullptr) != 0) return EXIT_FAILED;
    if (!has_users && GetFileAttributesA(users.c_str()) != INVALID_FILE_ATTRIBUTES) {
        append_argument(&line, "--users");
        append_argument(&line, users);
    }

    SC_HANDLE scm =
        OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (scm == nullptr) {
        say_error("cannot reach the service control manager (run as an administrator)");
        return EXIT_FAILED;
    }
    const char* account = "NT AUTHORITY\\LocalService";
    SC_HANDLE svc =
        CreateServiceA(scm, KELTUP_SERVICE_NAME, KELTUP_SERVICE_DISPLAY, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       line.c_str(), nullptr, nullptr, nullptr, account, nullptr);
    const char* done = "installed";
    if (svc == nullptr && GetLastError() == ERROR_SERVICE_EXISTS) {
        // Installed again: the same service with the new options.
        svc = OpenServiceA(scm, KELTUP_SERVICE_NAME, SERVICE_ALL_ACCESS);
        if (svc != nullptr &&
            !ChangeServiceConfigA(svc, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                  SERVICE_ERROR_NORMAL, line.c_str(), nullptr, nullptr, nullptr,
                                  account, nullptr, KELTUP_SERVICE_DISPLAY)) {
            CloseServiceHandle(svc);
            svc = nullptr;
        }
        done = "updated";
    }
    if (svc == nullptr) {
        say_error("cannot register the service");
        CloseServiceHandle(scm);
        return EXIT_FAILED;
    }
    // Its own SID, NT SERVICE\keltup-server, in a write-restricted token: it writes only where
    // that SID is let in (its folder), not wherever LocalService may.
    SERVICE_SID_INFO sid_info = {SERVICE_SID_TYPE_RESTRICTED};
    if (!ChangeServiceConfig2A(svc, SERVICE_CONFIG_SERVICE_SID_INFO, &sid_info))
        say_error("cannot give the service its own SID");
    char about[] = "Relays KelTup messages between the computers of the site (UDP).";
    SERVICE_DESCRIPTIONA description = {about};
    ChangeServiceConfig2A(svc, SERVICE_CONFIG_DESCRIPTION, &description);
    // Restarted 5 s after a failure, twice, then after a minute; the count starts again a day
    // later.
    SC_ACTION actions[3] = {
        {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 60000}};
    SERVICE_FAILURE_ACTIONSA failure = {86400, nullptr, nullptr, 3, actions};
    // ... also when the relay stops with an error of its own, not only when it crashes.
    SERVICE_FAILURE_ACTIONS_FLAG on_error = {TRUE};
    if (!ChangeServiceConfig2A(svc, SERVICE_CONFIG_FAILURE_ACTIONS, &failure))
        say_error("cannot set the restart on failure");
    else if (!ChangeServiceConfig2A(svc, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_error))
        say_error("restarted after a crash only, not after a stop with an error");
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);

    // The event log finds the service's message texts in this program.
    HKEY key;
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEventLogKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) == ERROR_SUCCESS) {
        RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<BYTE*>(exe),
                       static_cast<DWORD>(std::strlen(exe) + 1));
        RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<BYTE*>(&types),
                       sizeof types);
        RegCloseKey(key);
    } else {
        std::fprintf(stderr, "keltup-server: cannot register the event log source\n");
    }
    std::printf("keltup-server: service %s (%s) %s: %s\n", KELTUP_SERVICE_NAME,
                KELTUP_SERVICE_DISPLAY, done, line.c_str());
    return EXIT_OK;
}

int service_uninstall() {
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (scm == nullptr) {
        say_error("cannot reach the service control manager (run as an administrator)");
        return EXIT_FAILED;
    }
    SC_HANDLE svc =
        OpenServiceA(scm, KELTUP_SERVICE_NAME, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (svc == nullptr) {
        int missing = GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        if (!missing) say_error("cannot open the service");
        CloseServiceHandle(scm);
        if (missing) std::printf("keltup-server: no service %s to remove\n", KELTUP_SERVICE_NAME);
        return missing ? EXIT_OK : EXIT_FAILED;
    }
    SERVICE_STATUS s;
    if (ControlService(svc, SERVICE_CONTROL_STOP, &s)) {
        // Waits the stop's hint and then some, no longer.
        for (int i = 0; i < 4 * SERVICE_STOP_HINT_MS / 100 && QueryServiceStatus(svc, &s) &&
                        s.dwCurrentState != SERVICE_STOPPED;
             ++i)
            Sleep(100);
    }
    int ok = DeleteService(svc);
    if (!ok) say_error("cannot remove the service");
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kEventLogKey);
    if (ok) std::printf("keltup-server: service %s removed\n", KELTUP_SERVICE_NAME);
    return ok ? EXIT_OK : EXIT_FAILED;
}

// --- under the service control manager -------------------------------------------------------

static void report(DWORD state, DWORD hint) {
    EnterCriticalSection(&status_lock);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING
            ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE
            : 0;
    status.dwWaitHint = hint;
    int pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwCheckPoint = pending ? status.dwCheckPoint + 1 : 0;
    if (state == SERVICE_STOPPED && relay_exit != EXIT_OK) {
        status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = static_cast<DWORD>(relay_exit);
    }
    if (status_handle != nullptr) SetServiceStatus(status_handle, &status);
    LeaveCriticalSection(&status_lock);
}

int service_active() {
    return status_handle != nullptr;
}

void service_progress() {
    if (status_handle != nullptr && status.dwCurrentState == SERVICE_START_PENDING)
        report(SERVICE_START_PENDING, SERVICE_START_HINT_MS);
}

void service_running() {
    if (status_handle != nullptr) report(SERVICE_RUNNING, 0);
}

// The relay's log lines as events of the service's source, errors as errors.
static void to_event_log(int level, const char* line) {
    WORD type = level == LOG_QUIET ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE;
    DWORD id = level == LOG_QUIET ? MSG_RELAY_ERROR : MSG_RELAY_INFO;
    const char* strings[1] = {line};
    if (event_source != nullptr)
        ReportEventA(event_source, type, 0, id, nullptr, 1, 0, strings, nullptr);
}

static DWORD WINAPI on_control(DWORD control, DWORD, void*, void*) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        report(SERVICE_STOP_PENDING, SERVICE_STOP_HINT_MS);
        SetEvent(serve_stop_event);
        return NO_ERROR;
    case SERVICE_CONTROL_PARAMCHANGE:
        SetEvent(serve_reload_event);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

static void WINAPI service_main(DWORD, char**) {
    status_handle = RegisterServiceCtrlHandlerExA(KELTUP_SERVICE_NAME, on_control, nullptr);
    if (status_handle == nullptr) return;
    report(SERVICE_START_PENDING, SERVICE_START_HINT_MS);
    event_source = RegisterEventSourceA(nullptr, KELTUP_SERVICE_NAME);
    relay_log_sink = to_event_log;
    relay_exit = relay_start();
    report(SERVICE_STOPPED, 0);
    relay_log_sink = nullptr;
    if (event_source != nullptr) DeregisterEventSource(event_source);
    event_source = nullptr;
}

int service_run(int (*start_relay)()) {
    InitializeCriticalSection(&status_lock);
    relay_start = start_relay;
    char name[] = KELTUP_SERVICE_NAME;
    SERVICE_TABLE_ENTRYA table[] = {{name, service_main}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
        say_error("--service is for the service control manager; in a console leave it out");
        return EXIT_FAILED;
    }
    return relay_exit;
}
