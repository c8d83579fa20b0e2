// The real keltup-server as a child process of a process test, on 127.0.0.1 and a port of the
// system's choosing: started, its log read line by line, asked for its status, stopped by a
// signal; and programs run to their end.
#pragma once

#include "server/net.h"
#include "tests/server/child_process.h"

#include <algorithm>
#include <csignal>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// A bound against hangs only; nothing here measures how long anything takes.
const int kRelayWaitMs = 10000;

inline std::string read_all(int fd) {
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    return text;
}

// Waits for the child and returns its exit code (-1 when it died of a signal).
inline int finish(Child& c) {
    int status = 0;
    waitpid(c.pid, &status, 0);
    close(c.out);
    close(c.err);
    c.pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a program to its end; its standard error goes into *err_text, its output into *out_text.
inline int run(const std::vector<std::string>& args, std::string* err_text = nullptr,
               const std::string& input = "", std::string* out_text = nullptr) {
    Child c = spawn(args, input);
    std::string out = read_all(c.out); // short enough for the error pipe to hold meanwhile
    std::string err = read_all(c.err);
    if (err_text != nullptr) *err_text = err;
    if (out_text != nullptr) *out_text = out;
    return finish(c);
}

// A control socket path of the test's own.
inline std::string relay_control_path() {
    static int serial;
    return "/tmp/keltup-test-" + std::to_string(getpid()) + "-" + std::to_string(++serial) +
           ".control";
}

struct RelayProcess {
    Child child;
    NetAddr addr = {0x7F000001u, 0};
    std::string control = relay_control_path(); // the control socket, the test's own
    std::string program = KELTUP_SERVER;        // the relay to run
    const passwd* as = nullptr;                 // run as this user, else as the test's
    std::string bind = "127.0.0.1"; // 0.0.0.0 only inside a network namespace of the test's own

    // Starts it with --bind BIND --port 0 --control CONTROL, then extra; without a state
    // file unless extra names one, so never in the default place. Learns its port from its
    // first line.
    bool start(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {program, "--bind",    bind,   "--port",
                                         "0",     "--control", control};
        if (std::find(extra.begin(), extra.end(), "--state") == extra.end())
            args.insert(args.end(), {"--state", "none"});
        args.insert(args.end(), extra.begin(), extra.end());
        child = spawn(args, "", as);
        std::string line = read_line(child.out);
        if (line.find("listening on " + bind + ":") == std::string::npos) return false;
        addr.port = static_cast<uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
        return true;
    }
    // Reads its log up to a line holding `what`; that line, or "" at the end of the log or when
    // none comes within the bound.
    std::string wait_log(const std::string& what) {
        for (;;) {
            pollfd p = {child.err, POLLIN, 0};
            if (poll(&p, 1, kRelayWaitMs) != 1) return "";
            std::string line = read_line(child.err);
            if (line.empty()) return "";
            if (line.find(what) != std::string::npos) return line;
        }
    }
    // What the operator's --status prints.
    std::string status() const {
        std::string text;
        run({KELTUP_SERVER, "--status", "--control", control}, nullptr, "", &text);
        return text;
    }
    // Asks for the status until it holds `what` (within the bound).
    bool status_shows(const std::string& what) const {
        for (int i = 0; i < kRelayWaitMs / 100; ++i) {
            if (status().find(what) != std::string::npos) return true;
            usleep(100000);
        }
        return false;
    }
    // Signals it and returns its exit code; the rest of its log goes into *log.
    int stop(int sig = SIGTERM, std::string* log = nullptr) {
        if (child.pid < 0) return -1;
        kill(child.pid, sig);
        std::string text = read_all(child.err);
        if (log != nullptr) *log = text;
        return finish(child);
    }
    ~RelayProcess() {
        if (child.pid > 0) stop(SIGKILL);
        if (!control.empty()) unlink(control.c_str()); // left by a relay killed above
    }
};
