// The real keltup-server and keltup-send processes on 127.0.0.1, with clients played by sockets.
#include "protocol/datagram.h"
#include "protocol/relay_net.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Generous bounds against hangs only; nothing here measures how long anything takes.
const int kWaitMs = 10000;

struct Child {
    pid_t pid = -1;
    int out = -1; // its standard output
    int err = -1; // its standard error
};

Child spawn(const std::vector<std::string>& args, const std::string& input = "") {
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
std::string read_line(int fd) {
    std::string line;
    char ch;
    while (read(fd, &ch, 1) == 1 && ch != '\n')
        line += ch;
    return line;
}

// Waits for the child and returns its exit code (-1 when it died of a signal).
int finish(Child& c) {
    int status = 0;
    waitpid(c.pid, &status, 0);
    close(c.out);
    close(c.err);
    c.pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int run(const std::vector<std::string>& args, std::string* err_text = nullptr,
        const std::string& input = "") {
    Child c = spawn(args, input);
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = read(c.err, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    if (err_text != nullptr) *err_text = text;
    return finish(c);
}

struct Server {
    Child child;
    NetAddr addr = {0x7F000001u, 0};

    // Starts keltup-server on a port of the system's choosing and learns it from its first line.
    bool start(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {KELTUP_SERVER, "-a", "127.0.0.1", "-p", "0", "-v"};
        args.insert(args.end(), extra.begin(), extra.end());
        child = spawn(args);
        std::string line = read_line(child.out);
        size_t colon = line.rfind(':');
        if (line.find("listening on 127.0.0.1:") == std::string::npos) return false;
        addr.port = static_cast<uint16_t>(std::stoi(line.substr(colon + 1)));
        return true;
    }
    // Reads its standard error up to a line that holds `what`; false at the end of the stream.
    bool wait_log(const std::string& what) {
        for (;;) {
            std::string line = read_line(child.err);
            if (line.empty()) return false;
            if (line.find(what) != std::string::npos) return true;
        }
    }
    int stop(int sig = SIGTERM) {
        if (child.pid < 0) return -1;
        kill(child.pid, sig);
        return finish(child);
    }
    ~Server() {
        if (child.pid > 0) stop(SIGKILL);
    }
};

struct Client {
    int fd = -1;
    NetAddr addr = {0, 0};
    Client() {
        char err[128];
        fd = net_open("127.0.0.1", 0, err, sizeof err);
        net_local(fd, &addr);
    }
    ~Client() { net_close(fd); }
    void send_raw(const void* data, int len, const NetAddr& to) { net_send(fd, data, len, &to); }
    int send(const NetAddr& server, const char* from, const char* to, const char* body,
             unsigned id) {
        Datagram d;
        std::memset(&d, 0, sizeof d);
        std::strncpy(d.recipient, to, NICK_SIZE - 1);
        std::strncpy(d.body, body, BODY_SIZE - 2);
        char self[NICK_SIZE] = {};
        std::strncpy(self, from, NICK_SIZE - 1);
        datagram_complete(&d, self, id);
        int len = datagram_send_length(&d);
        send_raw(&d, len, server);
        return len;
    }
    // The next datagram, or an empty record with len -1 when none comes.
    int recv(Datagram* d) {
        std::memset(d, 0, sizeof *d);
        if (net_wait(fd, kWaitMs) != 1) return -1;
        return net_recv(fd, d, sizeof *d, nullptr);
    }
};

std::string users_file(const std::string& text) {
    std::string path = ::testing::TempDir() + "keltup_server_users_" + std::to_string(getpid());
    FILE* f = std::fopen(path.c_str(), "w");
    std::fputs(text.c_str(), f);
    std::fclose(f);
    return path;
}

std::string entry(const char* nick, const Client& c) {
    return std::string(nick) + " 127.0.0.1 " + std::to_string(c.addr.port) + "\n";
}

TEST(ServerProcess, SurvivesJunkAndNeverDeliversAResendTwice) {
    Client alice, bob;
    Server server;
    ASSERT_TRUE(server.start());
    Datagram d;

    // Unknown recipients: no receipt. Bob's message makes him known.
    alice.send(server.addr, "ALICE", "CAROL", "anyone?", 1);
    bob.send(server.addr, "BOB", "NOBODY", "here I am", 2);
    ASSERT_TRUE(server.wait_log("BOB -> NOBODY: unknown recipient"));

    // Junk of every size, an oversized datagram and look-alikes of other kinds.
    char junk[6000];
    for (size_t i = 0; i < sizeof junk; ++i)
        junk[i] = static_cast<char>(i * 7);
    for (int n : {0, 1, 3, 59, 75, 76, 77, 1076, 1077, 4096, 6000})
        alice.send_raw(junk, n, server.addr);
    std::memcpy(junk, "KT1R", 4);
    alice.send_raw(junk, 200, server.addr);
    std::memcpy(junk, "KT1M", 4);
    alice.send_raw(junk, 6000, server.addr);

    // The same message three times (a client whose receipt got lost), then another one.
    for (int i = 0; i < 3; ++i)
        alice.send(server.addr, "ALICE", "BOB", "only once", 3);
    alice.send(server.addr, "ALICE", "BOB", "second", 4);

    // Bob gets each message once and in order; Alice a receipt for every copy she sent.
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_STREQ("only once", d.body);
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_STREQ("second", d.body);
    std::vector<unsigned> ids;
    for (int i = 0; i < 4; ++i) {
        ASSERT_GT(alice.recv(&d), 0);
        EXPECT_EQ(KIND_RECEIPT, d.kind);
        ids.push_back(datagram_id(&d));
    }
    EXPECT_EQ((std::vector<unsigned>{3, 3, 3, 4}), ids);

    // Alice was learned from her messages: Bob's reply finds her.
    bob.send(server.addr, "BOB", "alice", "hi alice", 5);
    ASSERT_GT(alice.recv(&d), 0);
    EXPECT_STREQ("hi alice", d.body);
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_EQ(KIND_RECEIPT, d.kind);

    // The two messages to unknown nicknames are answered by notices once their senders are done.
    ASSERT_GT(alice.recv(&d), 0);
    EXPECT_EQ(KIND_NOTICE, d.kind);
    EXPECT_NE(nullptr, std::strstr(d.body, "CAROL")) << d.body;
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_EQ(KIND_NOTICE, d.kind);
    EXPECT_NE(nullptr, std::strstr(d.body, "NOBODY")) << d.body;

    EXPECT_EQ(0, server.stop(SIGINT));
}

TEST(ServerProcess, ReadsTheUsersFileAgainOnHangup) {
    Client alice, bob, bob_moved;
    std::string users = users_file(entry("BOB", bob));
    Server server;
    ASSERT_TRUE(server.start({"-u", users}));
    ASSERT_TRUE(server.wait_log("1 users listed"));
    Datagram d;

    users_file(entry("BOB", bob_moved));
    kill(server.child.pid, SIGHUP);
    ASSERT_TRUE(server.wait_log("1 users listed"));
    alice.send(server.addr, "ALICE", "BOB", "to the new place", 1);
    ASSERT_GT(bob_moved.recv(&d), 0);
    EXPECT_STREQ("to the new place", d.body);

    // A broken file keeps the list the server has.
    users_file("BOB 127.0.0.1 not-a-port\n");
    kill(server.child.pid, SIGHUP);
    ASSERT_TRUE(server.wait_log("keeping the old list"));
    alice.send(server.addr, "ALICE", "BOB", "still there", 2);
    ASSERT_GT(bob_moved.recv(&d), 0);
    EXPECT_STREQ("still there", d.body);

    EXPECT_EQ(0, server.stop());
    std::remove(users.c_str());
}

TEST(ServerProcess, RefusesBadStarts) {
    std::string err;
    EXPECT_EQ(2, run({KELTUP_SERVER, "-p", "65536"}, &err));
    EXPECT_EQ(2, run({KELTUP_SERVER, "-x"}, &err));
    EXPECT_EQ(1,
              run({KELTUP_SERVER, "-a", "127.0.0.1", "-p", "0", "-u", "/nonexistent/users"}, &err));
    EXPECT_NE(std::string::npos, err.find("/nonexistent/users")) << err;

    // A port already taken.
    Client taken;
    EXPECT_EQ(1,
              run({KELTUP_SERVER, "-a", "127.0.0.1", "-p", std::to_string(taken.addr.port)}, &err));
    EXPECT_NE(std::string::npos, err.find("bind")) << err;
}

#ifdef KELTUP_SEND
std::vector<std::string> sender(const Server& s, std::vector<std::string> rest) {
    std::vector<std::string> args = {KELTUP_SEND, "-s", "127.0.0.1", "-p",
                                     std::to_string(s.addr.port)};
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
}

TEST(KeltupSend, ExitCodeSaysWhetherTheReceiptCame) {
    Client bob;
    std::string users = users_file(entry("BOB", bob));
    Server server;
    ASSERT_TRUE(server.start({"-u", users}));
    Datagram d;
    std::string err;

    // Words after the recipient make the message; nicknames go out in upper case.
    EXPECT_EQ(0, run(sender(server, {"-n", "carol", "bob", "lunch", "at", "one?"}), &err));
    EXPECT_NE(std::string::npos, err.find("Message Sent")) << err;
    ASSERT_EQ(HEADER_SIZE + 14, bob.recv(&d));
    EXPECT_EQ(KIND_MESSAGE, d.kind);
    EXPECT_STREQ("CAROL", d.sender);
    EXPECT_STREQ("BOB", d.recipient);
    EXPECT_STREQ("lunch at one?", d.body);

    // Without words, standard input is the message, less its final line break.
    EXPECT_EQ(0, run(sender(server, {"BOB"}), &err, "line one\nline two\n"));
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_STREQ("KELTUP-SEND", d.sender);
    EXPECT_STREQ("line one\nline two", d.body);

    // The longest message that fits goes whole.
    std::string longest(998, 'x');
    EXPECT_EQ(0, run(sender(server, {"BOB", longest}), &err)) << err;
    ASSERT_EQ(HEADER_SIZE + 999, bob.recv(&d));
    EXPECT_EQ(longest, d.body);

    // Server and nick from a settings file; options after it win. Its local port belongs to the
    // tray client: keltup-send keeps to a free one.
    std::string ini = ::testing::TempDir() + "keltup_send_test.ini";
    FILE* f = std::fopen(ini.c_str(), "w");
    std::fprintf(f, "[settings]\nservername=127.0.0.1\nnick=DAVE\nlocalport=%u\nremoteport=%u\n",
                 bob.addr.port, server.addr.port);
    std::fclose(f);
    EXPECT_EQ(0, run({KELTUP_SEND, "-f", ini, "BOB", "from the file"}, &err)) << err;
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_STREQ("DAVE", d.sender);
    EXPECT_EQ(0, run({KELTUP_SEND, "-f", ini, "-n", "erin", "BOB", "override"}, &err)) << err;
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_STREQ("ERIN", d.sender);
    std::remove(ini.c_str());

    // No receipt for an unknown recipient: all ten tries, then exit code 1.
    EXPECT_EQ(1, run(sender(server, {"NOBODY", "hello?"}), &err));
    EXPECT_NE(std::string::npos, err.find("No response from server!")) << err;

    EXPECT_EQ(0, server.stop());
    std::remove(users.c_str());
}

TEST(KeltupSend, RefusesWhatItWouldHaveToCutShort) {
    // None of these reach the network: a server that is not there is never asked.
    Client nobody_listens;
    std::vector<std::string> base = {KELTUP_SEND, "-p", std::to_string(nobody_listens.addr.port)};
    auto with = [&](std::vector<std::string> rest) {
        std::vector<std::string> a = base;
        a.insert(a.end(), rest.begin(), rest.end());
        return a;
    };
    std::string err;
    EXPECT_EQ(2, run(with({"BOB", std::string(999, 'x')}), &err));
    EXPECT_EQ(2, run(with({"BOB"}), &err, std::string(999, 'y')));
    EXPECT_EQ(2, run(with({"BOB", "caf\xC3\xA9"}), &err));
    EXPECT_NE(std::string::npos, err.find("0xC3")) << err;
    EXPECT_EQ(2, run(with({"ABCDEFGHIJKLMNOPQRST", "hi"}), &err));
    EXPECT_EQ(2, run(with({"-n", "ABCDEFGHIJKLMNOPQRST", "BOB", "hi"}), &err));
    EXPECT_EQ(2, run(with({"-f", "/nonexistent/keltup.ini", "BOB", "hi"}), &err));
}

#endif

} // namespace
