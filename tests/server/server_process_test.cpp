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
    bool start(const std::vector<std::string>& extra = {}, bool verbose = true) {
        std::vector<std::string> args = {KELTUP_SERVER, "--bind", "127.0.0.1", "--port", "0"};
        if (verbose) args.push_back("--verbose");
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
    // Signals it and returns its exit code; its remaining log goes into *log.
    int stop(int sig = SIGTERM, std::string* log = nullptr) {
        if (child.pid < 0) return -1;
        kill(child.pid, sig);
        std::string text;
        char buf[512];
        ssize_t n;
        while ((n = read(child.err, buf, sizeof buf)) > 0)
            text.append(buf, static_cast<size_t>(n));
        if (log != nullptr) *log = text;
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
    // The next datagram of the given kind, others skipped; len -1 when none comes.
    int recv_kind(Datagram* d, char kind) {
        int n;
        while ((n = recv(d)) >= 0)
            if (d->kind == kind) return n;
        return -1;
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
    return std::string(nick) + " = 127.0.0.1:" + std::to_string(c.addr.port) + "\n";
}

TEST(ServerProcess, RelaysOnceAnswersEveryTryAndSurvivesJunk) {
    Client alice, bob;
    Server server;
    ASSERT_TRUE(server.start());
    Datagram d;

    // An unknown recipient: the receipt, then the notice; a resend gets the receipt only.
    alice.send(server.addr, "ALICE", "CAROL", "anyone?", 1);
    alice.send(server.addr, "ALICE", "CAROL", "anyone?", 1);
    ASSERT_GT(alice.recv(&d), 0);
    EXPECT_EQ(KIND_RECEIPT, d.kind);
    EXPECT_EQ(1u, datagram_id(&d));
    ASSERT_GT(alice.recv(&d), 0);
    EXPECT_EQ(KIND_NOTICE, d.kind);
    EXPECT_STREQ("Nobody called CAROL is known to the server.", d.body);
    ASSERT_GT(alice.recv(&d), 0);
    EXPECT_EQ(KIND_RECEIPT, d.kind);
    bob.send(server.addr, "BOB", "ALICE", "here I am", 2);
    ASSERT_GT(alice.recv(&d), 0);
    EXPECT_STREQ("here I am", d.body);
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_EQ(KIND_RECEIPT, d.kind);

    // Junk of every class: short, oversized, foreign, other kinds, looped, refused control.
    char junk[6000];
    for (size_t i = 0; i < sizeof junk; ++i)
        junk[i] = static_cast<char>(i * 7);
    for (int n : {0, 1, 75, 76, 1077, 6000})
        alice.send_raw(junk, n, server.addr);
    for (const char* kind : {"KT1R", "KT1A", "KT1G", "KT1M"}) {
        std::memcpy(junk, kind, 4);
        alice.send_raw(junk, kind[3] == 'M' ? 1077 : 200, server.addr);
    }
    Datagram looped;
    std::memset(&looped, 0, sizeof looped);
    const char alice_nick[NICK_SIZE] = "ALICE";
    datagram_complete(&looped, alice_nick, 3);
    std::memcpy(looped.reserved, "RLY1", 4);
    alice.send_raw(&looped, HEADER_SIZE + 1, server.addr);
    std::memcpy(junk, "KT1C", 4);
    alice.send_raw(junk, 200, server.addr);

    // Ten tries of the same message (a client whose receipts got lost), then another one.
    for (int i = 0; i < 10; ++i)
        alice.send(server.addr, "ALICE", "BOB", "only once", 4);
    alice.send(server.addr, "ALICE", "BOB", "second", 5);
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_STREQ("only once", d.body);
    EXPECT_STREQ("ALICE", d.sender);
    EXPECT_STREQ("BOB", d.recipient);
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_STREQ("second", d.body);
    std::vector<unsigned> ids;
    for (int i = 0; i < 11; ++i) {
        ASSERT_GT(alice.recv(&d), 0);
        EXPECT_EQ(KIND_RECEIPT, d.kind);
        ids.push_back(datagram_id(&d));
    }
    EXPECT_EQ((std::vector<unsigned>{4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5}), ids);
    alice.send(server.addr, "ALICE", "BOB", "third", 6); // and nothing between for Bob
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_STREQ("third", d.body);

    std::string log;
    EXPECT_EQ(0, server.stop(SIGINT, &log));
    EXPECT_NE(std::string::npos,
              log.find("12 dropped in all, 3 short, 3 oversized, 1 foreign, 3 wrong kind, "
                       "1 looped, 1 refused control"))
        << log;
    EXPECT_NE(std::string::npos, log.find("stopping: 4 delivered, 10 resends, 1 unknown")) << log;
}

TEST(ServerProcess, LeasedAndListedNicknamesStayWithTheirHolders) {
    Client alice, bob, mallory, bob_moved;
    std::string users = users_file(entry("BOB", bob));
    Server server;
    ASSERT_TRUE(server.start({"--users", users, "--lease", "600"}));
    ASSERT_TRUE(server.wait_log("1 users listed"));
    Datagram d;

    // Alice holds her nickname; Mallory's messages under her name and Bob's are relayed with a
    // receipt to Mallory, and replies still go to the holders.
    alice.send(server.addr, "ALICE", "BOB", "from alice", 1);
    ASSERT_GT(bob.recv(&d), 0);
    mallory.send(server.addr, "ALICE", "BOB", "from mallory", 2);
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_STREQ("from mallory", d.body);
    ASSERT_GT(mallory.recv_kind(&d, KIND_RECEIPT), 0);
    EXPECT_EQ(2u, datagram_id(&d));
    ASSERT_TRUE(server.wait_log("ALICE stays at 127.0.0.1:" + std::to_string(alice.addr.port)));
    mallory.send(server.addr, "BOB", "ALICE", "from bob, honest", 3);
    ASSERT_TRUE(server.wait_log("BOB stays at"));
    bob.send(server.addr, "BOB", "ALICE", "reply", 4);
    ASSERT_GT(alice.recv_kind(&d, KIND_MESSAGE), 0);
    EXPECT_STREQ("from bob, honest", d.body);
    ASSERT_GT(alice.recv_kind(&d, KIND_MESSAGE), 0);
    EXPECT_STREQ("reply", d.body);
    alice.send(server.addr, "ALICE", "BOB", "to bob", 5);
    ASSERT_GT(bob.recv_kind(&d, KIND_MESSAGE), 0);
    EXPECT_STREQ("to bob", d.body);

    // The users file is read again on SIGHUP; a broken one keeps the list the server has.
    users_file(entry("BOB", bob_moved));
    kill(server.child.pid, SIGHUP);
    ASSERT_TRUE(server.wait_log("1 users listed"));
    alice.send(server.addr, "ALICE", "BOB", "to the new place", 6);
    ASSERT_GT(bob_moved.recv(&d), 0);
    EXPECT_STREQ("to the new place", d.body);
    users_file("BOB = 127.0.0.1:not-a-port\n");
    kill(server.child.pid, SIGHUP);
    ASSERT_TRUE(server.wait_log("keeping the old list"));

    // The operator's notice, to one nickname and to all, over loopback.
    std::string port = std::to_string(server.addr.port);
    std::string err;
    EXPECT_EQ(0,
              run({KELTUP_SERVER, "--port", port, "--notice", "alice", "Restart at noon."}, &err))
        << err;
    ASSERT_GT(alice.recv_kind(&d, KIND_NOTICE), 0);
    EXPECT_STREQ("Restart at noon.", d.body);
    EXPECT_EQ(1, run({KELTUP_SERVER, "--port", port, "--notice", "NOBODY", "x"}, &err));
    EXPECT_EQ(0, run({KELTUP_SERVER, "--port", port, "--notice", "--all", "Back soon."}, &err));
    ASSERT_GT(alice.recv_kind(&d, KIND_NOTICE), 0);
    EXPECT_STREQ("Back soon.", d.body);
    ASSERT_GT(bob_moved.recv_kind(&d, KIND_NOTICE), 0);
    EXPECT_STREQ("Back soon.", d.body);
    EXPECT_EQ(2, run({KELTUP_SERVER, "--port", port, "--notice", "ALICE"}, &err));

    EXPECT_EQ(0, server.stop());
    std::remove(users.c_str());
}

TEST(ServerProcess, AFloodingSourceDoesNotStopOthers) {
    Client alice, bob, flood;
    std::string users = users_file(entry("BOB", bob));
    Server server;
    ASSERT_TRUE(server.start({"--users", users, "--rate", "20"}, false));
    Datagram d;
    // The flood goes on while Alice tries as a client does, resending until her receipt comes
    // (the flood may overflow the socket's queue before the relay reads it).
    char body[32];
    int got = 0;
    for (int round = 0; round < 50 && !got; ++round) {
        for (int i = 0; i < 200; ++i) {
            std::snprintf(body, sizeof body, "flood %d %d", round, i);
            flood.send(server.addr, "FLOOD", "BOB", body, static_cast<unsigned>(i));
        }
        alice.send(server.addr, "ALICE", "BOB", "through", 1);
        while (!got && net_wait(alice.fd, 200) == 1)
            got = net_recv(alice.fd, &d, sizeof d, nullptr) > 0 && d.kind == KIND_RECEIPT;
    }
    ASSERT_TRUE(got);
    EXPECT_EQ(1u, datagram_id(&d));
    int flooded = 0;
    while (bob.recv(&d) > 0 && std::strcmp(d.body, "through") != 0)
        ++flooded;
    EXPECT_STREQ("through", d.body);
    EXPECT_LT(flooded, 1000);
    std::string log;
    EXPECT_EQ(0, server.stop(SIGTERM, &log));
    EXPECT_NE(std::string::npos, log.find(" rate-limited")) << log;
    std::remove(users.c_str());
}

TEST(ServerProcess, RefusesBadStarts) {
    std::string err;
    EXPECT_EQ(2, run({KELTUP_SERVER, "--port", "65536"}, &err));
    EXPECT_EQ(2, run({KELTUP_SERVER, "--lease", "0"}, &err));
    EXPECT_EQ(2, run({KELTUP_SERVER, "--rate", "-1"}, &err));
    EXPECT_EQ(2, run({KELTUP_SERVER, "-x"}, &err));
    EXPECT_EQ(2, run({KELTUP_SERVER, "--port"}, &err));
    EXPECT_EQ(0, run({KELTUP_SERVER, "--help"}, &err));
    EXPECT_EQ(1, run({KELTUP_SERVER, "--bind", "127.0.0.1", "--port", "0", "--users",
                      "/nonexistent/users"},
                     &err));
    EXPECT_NE(std::string::npos, err.find("/nonexistent/users")) << err;
    Client taken;
    EXPECT_EQ(1,
              run({KELTUP_SERVER, "--bind", "127.0.0.1", "--port", std::to_string(taken.addr.port)},
                  &err));
    EXPECT_NE(std::string::npos, err.find("bind")) << err;
    // No relay there: the operator is told.
    EXPECT_EQ(
        1, run({KELTUP_SERVER, "--port", std::to_string(taken.addr.port), "--notice", "--all", "x"},
               &err));
}

#ifdef KELTUP_SEND
std::vector<std::string> sender(const Server& s, std::vector<std::string> rest) {
    std::vector<std::string> args = {KELTUP_SEND, "--server", "127.0.0.1", "--port",
                                     std::to_string(s.addr.port)};
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
}

TEST(KeltupSend, SendsLikeTheTrayClientAndSaysWhetherTheReceiptCame) {
    Client bob;
    std::string users = users_file(entry("BOB", bob));
    Server server;
    ASSERT_TRUE(server.start({"--users", users}));
    Datagram d;
    std::string err;

    // Words after the recipient make the message; nicknames go out in upper case.
    EXPECT_EQ(0, run(sender(server, {"--from", "carol", "bob", "lunch", "at", "one?"}), &err));
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

    // Cut as the compose dialog cuts: 998 characters, and at a byte of 0x80 and above; the
    // nicknames at 19 characters.
    EXPECT_EQ(0, run(sender(server, {"BOB", std::string(1200, 'x')}), &err)) << err;
    EXPECT_NE(std::string::npos, err.find("cut")) << err;
    ASSERT_EQ(HEADER_SIZE + 999, bob.recv(&d));
    EXPECT_EQ(std::string(998, 'x'), d.body);
    EXPECT_EQ(0, run(sender(server, {"BOB"}), &err, std::string(5000, 'y')));
    ASSERT_EQ(HEADER_SIZE + 999, bob.recv(&d));
    EXPECT_EQ(0,
              run(sender(server, {"-n", "ABCDEFGHIJKLMNOPQRSTUV", "BOB", "caf\xC3\xA9!"}), &err));
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_STREQ("caf", d.body);
    EXPECT_STREQ("ABCDEFGHIJKLMNOPQRS", d.sender);

    // Server and nick from a settings file; options after it win. Its local port belongs to the
    // tray client: keltup-send keeps to a free one unless told.
    std::string ini = ::testing::TempDir() + "keltup_send_test_" + std::to_string(getpid());
    FILE* f = std::fopen(ini.c_str(), "w");
    std::fprintf(f, "[settings]\nservername=127.0.0.1\nnick=DAVE\nlocalport=%u\nremoteport=%u\n",
                 bob.addr.port, server.addr.port);
    std::fclose(f);
    EXPECT_EQ(0, run({KELTUP_SEND, "--settings", ini, "BOB", "from the file"}, &err)) << err;
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_STREQ("DAVE", d.sender);
    std::string spare_port;
    {
        Client spare; // a port that was free a moment ago
        spare_port = std::to_string(spare.addr.port);
    }
    EXPECT_EQ(0, run({KELTUP_SEND, "-f", ini, "--from", "erin", "--local-port", spare_port, "BOB",
                      "override"},
                     &err))
        << err;
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_STREQ("ERIN", d.sender);
    ASSERT_TRUE(server.wait_log("127.0.0.1:" + spare_port + ": ERIN -> BOB: delivered"));
    std::remove(ini.c_str());

    // An unknown recipient: the receipt came, and the notice is shown.
    EXPECT_EQ(0, run(sender(server, {"NOBODY", "hello?"}), &err));
    EXPECT_NE(std::string::npos, err.find("Nobody called NOBODY is known")) << err;

    // Bad arguments never reach the network; no relay at all is no response.
    EXPECT_EQ(2, run(sender(server, {}), &err));
    EXPECT_EQ(2, run(sender(server, {"--port", "70000", "BOB", "x"}), &err));
    EXPECT_EQ(2, run(sender(server, {"--bogus", "1", "BOB", "x"}), &err));
    EXPECT_EQ(2, run({KELTUP_SEND, "--settings", "/nonexistent/keltup.ini", "BOB", "x"}, &err));
    EXPECT_EQ(0, server.stop());
    EXPECT_EQ(1, run({KELTUP_SEND, "--port", std::to_string(server.addr.port), "BOB", "x"}, &err));
    EXPECT_NE(std::string::npos, err.find("No response from server!")) << err;
    std::remove(users.c_str());
}
#endif

} // namespace
