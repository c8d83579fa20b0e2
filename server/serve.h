// keltup-server's program: the options, the start and the periodic work shared by every
// platform (keltup_server_main.cpp), and the loop that waits for datagrams, operator requests and
// the signal or service request to stop, one per platform (posix/serve.cpp, win32/serve.cpp).
#pragma once

enum { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

struct ServerOptions {
    const char* address;      // to listen on
    long port;                // UDP
    const char* users_file;   // nullptr: none
    const char* control;      // the operator's channel, as given; nullptr: the default
    const char* metrics_file; // nullptr: none
    long lease, rate, max_users, per_address;
    const char* state_file; // as given; nullptr: the default; "none": no state file
    long max_group_size, group_rate, group_burst;
    long dest_rate, dest_burst;
};
extern ServerOptions server_options;

// Milliseconds on a clock that only goes forward (the time relay_handle is given).
long long server_now_ms();

// The periodic work (drop counts once a minute, the metrics file) due at now; returns when it is
// next due.
long long server_tick(long long now);
// Reads the users file again, keeping the old list when the new one has a fault.
void server_reload();
// After the socket and the control channel are open: the first metrics file, then the start
// lines, standard output's first. Returns 0 (the reason logged) when the metrics file can't be
// written.
int server_started(int fd, const char* control_where);
// The summary logged at a clean stop.
void server_stopping();

// --- per platform ----------------------------------------------------------------------------

// The usage lines of --control, --state, and of the platform's own options ("" for none).
extern const char* const kServeControlHelp;
extern const char* const kServeStateHelp;
extern const char* const kServeOptionsHelp;
// Takes argv[*i] when it is one of the platform's own options (moving *i past its value, *ok 0
// for a bad one) and returns 1; 0 for any other.
int serve_option(int argc, char** argv, int* i, int* ok);
// Runs the relay the way it was asked to on this platform (start_relay: the tables, the users
// file and serve()), or the platform's own command; returns the exit code.
int serve_main(int argc, char** argv, int (*start_relay)());
// A step of the start is done (a service reports its progress).
void serve_starting();

// Where the control channel is: the one given, else the default; logs why when there is none.
// *own_dir is set when the folder is the relay's own to make.
int serve_control_path(const char* given, char* out, int size, int* own_dir);
// Opens the socket and the control channel, serves until asked to stop, closes them. Returns the
// program's exit code.
int serve();
