// keltup-server as a Windows service (service.cpp): its registration with the service
// control manager, its life under it, and its log in the Application event log.
#pragma once

#include <windows.h>
#include <winsvc.h> // not in a lean windows.h

#define KELTUP_SERVICE_NAME "keltup-server"
#define KELTUP_SERVICE_DISPLAY "KelTup Relay"

enum {
    SERVICE_START_HINT_MS = 10000, // the longest a step of the start may take
    SERVICE_STOP_HINT_MS = 5000,   // the longest the loop takes to end once asked
};

// The loop waits on these (serve.cpp makes them before anything else runs): set to stop,
// and to read the users file again.
extern HANDLE serve_stop_event, serve_reload_event;

// Registers the service to run this program with argv's options (but --install-service), as
// LocalService with its own restricted SID, or updates it when it is there; prepares its data
// folder first (win32_prepare_data_folder). Returns the exit code.
int service_install(int argc, char** argv);
// Stops and removes the service. Returns the exit code.
int service_uninstall();
// Hands the process to the service control manager, which calls start_relay on a thread of
// its own; returns when the service has stopped.
int service_run(int (*start_relay)());
// Whether this process runs as the service, under the service control manager.
int service_active();
// The service's progress while starting, and that it runs (nothing in a console).
void service_progress();
void service_running();
