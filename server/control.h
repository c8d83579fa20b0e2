// The operator's channel to a running relay on Unix: a Unix-domain stream socket beside it
// (the requests and answers of report.h), and its counters written for a metrics collector. One
// thread, process-wide state, nothing that waits: a slow operator connection never holds up the
// relay. Served are root, the relay's own user and members of the socket's group (SO_PEERCRED,
// SO_PEERGROUPS); anyone else is answered "refused" and a line saying why.
#pragma once

#include <string>

#include "server/report.h"

#ifndef _WIN32
#include <poll.h>
#endif

enum {
    CONTROL_CLIENTS = 4,       // operator connections served at once; more wait in the backlog
    CONTROL_IDLE_MS = 5000,    // a connection without progress for this long is closed
    CONTROL_MODE = 0660,       // the socket's permissions
    CONTROL_ANSWER_MS = 10000, // how long the operator's side waits for each part of the answer
};

// Where the control socket is when no --control is given: $RUNTIME_DIRECTORY/control under
// systemd, /run/keltup-server/control for root, else $XDG_RUNTIME_DIR/keltup-server.control.
// Sets *own_dir when the folder is the relay's own to make (/run/keltup-server). Returns 0 with
// a reason in err when there is no such place.
int control_default_path(char* out, int size, int* own_dir, char* err, int err_size);

// --- in the relay ----------------------------------------------------------------------------

// Makes the control socket at path (its folder first when make_dir is set) with CONTROL_MODE, in
// place of a stale socket left there; a live relay on it, a file that is not a socket, or a path
// that cannot be bound is a failure. Returns 1, or 0 with the reason in err.
int control_listen(const char* path, int make_dir, char* err, int err_size);
// Closes every connection and the socket, and removes the socket's file when it is still ours.
void control_close();

#ifndef _WIN32
// Fills fds (room for 1 + CONTROL_CLIENTS) with what the control channel waits for; returns their
// number. control_service then takes the same array back after the wait, with count 0 when the
// wait ended without any ready (a timeout or a signal).
int control_poll_fds(pollfd* fds, int room);
// The earliest time a connection is due to be closed for want of progress; -1 when none is open.
long long control_next_wake();
// Accepts, reads and answers; operator notices go out over udp_fd.
void control_service(const pollfd* fds, int count, int udp_fd, long long now);
#else
// On Windows (win32/control.cpp) the channel is a named pipe, \\.\pipe\NAME, served with
// overlapped I/O: its events (room for CONTROL_CLIENTS) to wait on with the socket's, then a
// look at every pipe instance after each wait. The pipe's security descriptor admits SYSTEM,
// the Administrators, the relay's own account and the group of control_set_group; remote
// clients are refused.
int control_set_group(const char* account, char* err, int err_size);
// The descriptor the pipe is made with, in SDDL; "" before control_listen.
const char* control_sddl();
int control_wait_handles(void** out, int room); // HANDLEs, without windows.h here
long long control_next_wake();
void control_service(int udp_fd, long long now);
#endif

// Puts a failure's reason, printf-style, into err (at most err_size - 1 characters).
void control_fail(char* err, int err_size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Writes the counters in the Prometheus text format to a new file beside path (fs_create_beside),
// then renames it to path (mode 0644). Returns 1, or 0 with the reason in err.
int metrics_write(const char* path, long long now, char* err, int err_size);

// --- the operator's side ---------------------------------------------------------------------

// Sends request to the relay at path and reads the whole answer into *reply (one file per
// system). Returns -1 when it was had, else the exit code, the reason printed.
int control_ask(const char* path, const std::string& request, std::string* reply);

// Asks the relay at path to send text as a notice to nick (nullptr: to everyone), prints its line
// and returns one of the CONTROL_EXIT_ codes: OK when at least one nickname was reached.
int control_notice(const char* path, const char* nick_or_null, const char* text);
// Asks for the relay's status and prints it: uptime, counters, and the directory sorted by
// nickname.
int control_status(const char* path);
// Asks the relay to read its users file again and prints its line.
int control_reload_users(const char* path);
