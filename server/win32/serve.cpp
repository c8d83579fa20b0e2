// keltup-server's loop on Windows: the UDP socket's event, the control pipe's and the stop and
// reload events in one wait; Ctrl+C in a console, the service control manager otherwise.
#include <winsock2.h> // before windows.h, which the headers below bring

#include "server/control.h"
#include "server/relay.h"
#include "server/serve.h"
#include "server/win32/security.h"
#include "server/win32/service.h"

#include <cstdio>
#include <cstring>

const char* const kServeControlHelp =
    "  --control NAME      the operator's pipe, \\\\.\\pipe\\NAME (default keltup-server)\n";
const char* const kServeStateHelp =
    "  --state FILE        keep the learned nicknames in FILE across restarts (default\n"
    "                      %ProgramData%\\KelTup\\state); none: keep no file\n";
const char* const kServeOptionsHelp =
    "  --control-group NAME\n"
    "                      a local group whose members may use --status, --notice and\n"
    "                      --reload, besides SYSTEM, the Administrators and the relay's identity\n"
    "  --install-service   register the relay with the options given as the automatically\n"
    "                      started service \"" KELTUP_SERVICE_DISPLAY "\" (" KELTUP_SERVICE_NAME
    "),\n"
    "                      as LocalService under its own SID, NT SERVICE\\" KELTUP_SERVICE_NAME
    ";\n"
    "                      without --users it reads %ProgramData%\\KelTup\\users\n"
    "  --uninstall-service stop the service and remove it\n";

HANDLE serve_stop_event, serve_reload_event;

static const char* control_group;
static const char* prepare_folder; // --prepare-data-folder FOLDER EXAMPLE, for the installer
static const char* prepare_example;
static int install, uninstall, as_service;

long long server_now_ms() {
    return static_cast<long long>(GetTickCount64());
}

int serve_option(int argc, char** argv, int* i, int* ok) {
    const char* a = argv[*i];
    if (std::strcmp(a, "--install-service") == 0) {
        install = 1;
    } else if (std::strcmp(a, "--uninstall-service") == 0) {
        uninstall = 1;
    } else if (std::strcmp(a, "--service") == 0) {
        as_service = 1; // the command line the service control manager runs
    } else if (std::strcmp(a, "--prepare-data-folder") == 0) {
        *ok = *i + 2 < argc;
        if (*ok) {
            prepare_folder = argv[++*i];
            prepare_example = argv[++*i];
        }
    } else if (std::strcmp(a, "--control-group") == 0) {
        if (*i + 1 < argc)
            control_group = argv[++*i];
        else
            *ok = 0;
    } else {
        return 0;
    }
    return 1;
}

// A pipe name alone goes under \\.\pipe\; a full pipe path is taken as it is.
int serve_control_path(const char* given, char* out, int size, int* own_dir) {
    char err[300];
    if (given == nullptr) return control_default_path(out, size, own_dir, err, sizeof err);
    *own_dir = 0;
    int n = std::strncmp(given, "\\\\", 2) == 0
                ? std::snprintf(out, static_cast<size_t>(size), "%s", given)
                : std::snprintf(out, static_cast<size_t>(size), "\\\\.\\pipe\\%s", given);
    if (n >= size || given[0] == '\0' || std::strlen(out) > 256) {
        relay_log(LOG_QUIET, "control pipe '%s': the name must have 1 to 247 characters", given);
        return 0;
    }
    return 1;
}

static BOOL WINAPI on_console(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT ||
        event == CTRL_SHUTDOWN_EVENT) {
        SetEvent(serve_stop_event);
        // For a closing console the process ends when this returns: give the loop its time.
        if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) Sleep(SERVICE_STOP_HINT_MS / 2);
        return TRUE;
    }
    return FALSE;
}

int serve_main(int argc, char** argv, int (*start_relay)()) {
    if (install + uninstall + as_service > 1) {
        std::fprintf(stderr, "keltup-server: --install-service, --uninstall-service and --service "
                             "go alone\n");
        return EXIT_USAGE;
    }
    if (install) return service_install(argc, argv);
    if (uninstall) return service_uninstall();
    if (prepare_folder != nullptr)
        return win32_prepare_data_folder(prepare_folder, prepare_example);
    serve_stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    serve_reload_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (serve_stop_event == nullptr || serve_reload_event == nullptr) {
        relay_log(LOG_QUIET, "cannot make the loop's events");
        return EXIT_FAILED;
    }
    if (as_service) return service_run(start_relay);
    SetConsoleCtrlHandler(on_console, TRUE);
    return start_relay();
}

void serve_starting() {
    service_progress();
}

// The relay's loop until the stop event: datagrams, operator calls on the pipe, the users file
// on the reload event, drop counts once a minute and the metrics file.
static void loop(int fd) {
    WSAEVENT net_event = WSACreateEvent();
    if (net_event == WSA_INVALID_EVENT ||
        WSAEventSelect(static_cast<SOCKET>(fd), net_event, FD_READ) != 0) {
        relay_log(LOG_QUIET, "cannot wait for the socket: error %d", WSAGetLastError());
        return;
    }
    for (;;) {
        long long now = server_now_ms();
        long long wake = server_tick(now);
        long long control_wake = control_next_wake();
        if (control_wake >= 0 && control_wake < wake) wake = control_wake;
        DWORD wait = static_cast<DWORD>(wake > now ? wake - now : 0);

        HANDLE handles[3 + CONTROL_CLIENTS] = {serve_stop_event, serve_reload_event, net_event};
        int count = 3 + control_wait_handles(handles + 3, CONTROL_CLIENTS);
        DWORD woke = WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE, wait);
        if (woke == WAIT_OBJECT_0 || WaitForSingleObject(serve_stop_event, 0) == WAIT_OBJECT_0)
            break;
        if (woke == WAIT_FAILED) Sleep(10); // not expected; keeps a broken handle from spinning
        now = server_now_ms();
        if (woke == WAIT_OBJECT_0 + 1) server_reload();
        // Clears the socket's event before the drain, so a datagram arriving during it sets it
        // again.
        WSANETWORKEVENTS happened;
        WSAEnumNetworkEvents(static_cast<SOCKET>(fd), net_event, &happened);
        relay_drain(fd, now);
        control_service(fd, now);
    }
    WSAEventSelect(static_cast<SOCKET>(fd), nullptr, 0);
    WSACloseEvent(net_event);
}

int serve() {
    const ServerOptions& o = server_options;
    char err[600] = "", control[4200];
    int own_dir = 0;
    int fd = net_open(o.address, static_cast<int>(o.port), err, sizeof err);
    if (fd < 0) {
        relay_log(LOG_QUIET, "%s (address %s, port %ld)", err, o.address, o.port);
        return EXIT_FAILED;
    }
    serve_starting();
    control_set_start(server_now_ms());
    if (!serve_control_path(o.control, control, sizeof control, &own_dir) ||
        !control_set_group(control_group, err, sizeof err) ||
        !control_listen(control, own_dir, err, sizeof err)) {
        if (err[0] != '\0') relay_log(LOG_QUIET, "%s", err);
        net_close(fd);
        return EXIT_FAILED;
    }
    relay_log(LOG_VERBOSE, "control pipe's descriptor %s", control_sddl());
    if (!server_started(fd, control)) {
        control_close();
        net_close(fd);
        return EXIT_FAILED;
    }
    service_running();
    loop(fd);
    server_stopping();
    control_close();
    net_close(fd);
    return EXIT_OK;
}
