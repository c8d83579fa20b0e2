// Programs under test run as child processes with their standard streams on pipes.
#pragma once

#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

struct Child {
    pid_t pid = -1;
    int out = -1; // its standard output
    int err = -1; // its standard error
};

// Starts args[0] with args, input on its standard input (then closed); as the user `as` when
// one is given (the test runs as root), else as the test's.
inline Child spawn(const std::vector<std::string>& args, const std::string& input = "",
                   const passwd* as = nullptr) {
    int out[2], err[2], in[2];
    if (pipe(out) != 0 || pipe(err) != 0 || pipe(in) != 0) return Child();
    Child c;
    c.pid = fork();
    if (c.pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            close(fd);
        if (as != nullptr &&
            (setgroups(0, nullptr) != 0 || setgid(as->pw_gid) != 0 || setuid(as->pw_uid) != 0))
            _exit(126);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (!input.empty() && write(in[1], input.data(), input.size()) < 0) {
    }
    close(in[1]);
    c.out = out[0];
    c.err = err[0];
    return c;
}

// Reads one line (without its newline) from fd; "" at the end of the stream.
inline std::string read_line(int fd) {
    std::string line;
    char ch;
    while (read(fd, &ch, 1) == 1 && ch != '\n')
        line += ch;
    return line;
}
