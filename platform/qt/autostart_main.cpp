// keltup-autostart: starts keltup at sign-in once its relay server can be reached.
//
// A desktop session often starts before its network: Wi-Fi joins after sign-in, and a keltup
// started at once would end with "Hostname lookup failed" or "Cant connect!". This program reads
// the settings file keltup would read, waits quietly until the server's name resolves and a route
// to it exists, then becomes keltup with the same arguments. Without a configured server (a first
// run) it does not wait; when the wait runs out it starts keltup anyway, which then says what is
// wrong.
//
// Usage: keltup-autostart [--wait SECONDS] [--program PATH] [--] [SETTINGS-FILE]
#include "protocol/endpoint.h"
#include "settings/path.h"
#include "settings/settings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>

#ifndef KELTUP_PROGRAM
#define KELTUP_PROGRAM "/usr/bin/keltup"
#endif

static const long DEFAULT_WAIT_SECONDS = 120;
static const long LOOK_EVERY_MS = 500;

static double now_seconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

static void sleep_ms(long ms) {
    timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

static int usage() {
    fprintf(stderr, "usage: keltup-autostart [--wait SECONDS] [--program PATH] [--] "
                    "[SETTINGS-FILE]\n");
    return 2;
}

int main(int argc, char** argv) {
    long wait_seconds = DEFAULT_WAIT_SECONDS;
    char* program = const_cast<char*>(KELTUP_PROGRAM);
    int first = 1; // keltup's own arguments start here
    for (; first < argc && argv[first][0] == '-'; first++) {
        if (strcmp(argv[first], "--") == 0) {
            first++;
            break;
        }
        if (first + 1 >= argc) return usage();
        if (strcmp(argv[first], "--wait") == 0) {
            char* end = nullptr;
            wait_seconds = strtol(argv[++first], &end, 10);
            if (*end || wait_seconds < 0 || wait_seconds > 86400) return usage();
        } else if (strcmp(argv[first], "--program") == 0) {
            program = argv[++first];
        } else {
            return usage();
        }
    }

    // keltup's arguments, joined by spaces, name its settings file as they do for keltup;
    // without any it reads the default one.
    settings_use_default_file();
    if (first < argc) {
        std::string tail = argv[first];
        for (int i = first + 1; i < argc; i++)
            tail += std::string(" ") + argv[i];
        // Too long or empty for keltup too: it says so.
        if (!path_from_tail(tail.c_str(), settings_file, sizeof settings_file))
            settings_file[0] = 0;
    }
    if (settings_file[0] && settings_load() == SETTINGS_READ) {
        double give_up = now_seconds() + static_cast<double>(wait_seconds);
        int reachable = endpoint_reachable();
        while (!reachable && now_seconds() < give_up) {
            sleep_ms(LOOK_EVERY_MS);
            reachable = endpoint_reachable();
        }
        if (!reachable)
            fprintf(stderr,
                    "keltup-autostart: %s port %d not reachable after %ld s; starting "
                    "keltup anyway\n",
                    servername, remoteport, wait_seconds);
    }

    // keltup takes the place of this program, with its arguments after its own name.
    argv[first - 1] = program;
    execv(program, argv + first - 1);
    fprintf(stderr, "keltup-autostart: cannot start %s: %s\n", program, strerror(errno));
    return 127;
}
