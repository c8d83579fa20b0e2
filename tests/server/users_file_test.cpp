// The relay's users file reader on files the users-file fuzz target found or aims at: what makes
// a line, NUL bytes, the longest line.
#include "server/relay.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

struct UsersFile : ::testing::Test {
    std::string path = ::testing::TempDir() + "keltup_users_file_" + std::to_string(getpid());
    char err[300] = "";
    void SetUp() override {
        relay_config.log_level = LOG_QUIET;
        relay_reset();
    }
    void TearDown() override { std::remove(path.c_str()); }
    int load(const std::string& bytes) {
        FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        err[0] = '\0';
        return relay_users_load(path.c_str(), err, sizeof err);
    }
    // Users U0.. each at an address of its own.
    static std::string many(int n) {
        std::string text;
        for (int i = 0; i < n; ++i)
            text += "U" + std::to_string(i) + " = 10." + std::to_string(i >> 8) + "." +
                    std::to_string(i & 255) + ".1:99\n";
        return text;
    }
};

TEST_F(UsersFile, ALineRunsToItsNewlineWhateverItHolds) {
    // A NUL in a comment longer than a read buffer once ended the line's text there, and the
    // rest of the line, read as a line of its own, listed a user.
    std::string comment = "# a comment" + std::string(1, '\0') + std::string(600, 'x');
    comment.replace(520, 20, "MALLORY = 10.0.0.9  ");
    EXPECT_EQ(-1, load(comment + "\nALICE = 127.0.0.1:4001\n"));
    EXPECT_NE(nullptr, std::strstr(err, ":1: line too long")) << err;
    EXPECT_EQ(nullptr, relay_find("MALLORY"));

    // Within the length, a comment holds any bytes; a NUL before it is a fault, not an end.
    EXPECT_EQ(1,
              load("# tab\t, NUL " + std::string(1, '\0') + " and \xFF\nALICE = 127.0.0.1:4001"));
    EXPECT_EQ(4001, relay_find("ALICE")->addr.port); // the last line needs no newline
    EXPECT_EQ(-1, load("BOB = 127.0.0.1" + std::string(1, '\0') + ":4002\n"));
    EXPECT_NE(nullptr, std::strstr(err, ":1:")) << err;
    EXPECT_EQ(nullptr, relay_find("BOB"));
    EXPECT_TRUE(relay_find("ALICE")->pinned); // a failed load changes nothing

    // A line of 510 bytes before its newline is read, one of 511 is too long.
    std::string entry = "CAROL = 127.0.0.1:4003 #";
    EXPECT_EQ(1, load(entry + std::string(509 - entry.size(), '-') + "\r\n")); // the CR counts
    EXPECT_EQ(-1, load(entry + std::string(511 - entry.size(), '-') + "\n"));
    EXPECT_NE(nullptr, std::strstr(err, ":1: line too long")) << err;
}

TEST_F(UsersFile, ListsNoMoreUsersThanTheDirectoryHolds) {
    relay_config.max_users = 2;
    relay_reset();
    EXPECT_EQ(-1, load("A = 127.0.0.1:1\nB = 127.0.0.1:2\nC = 127.0.0.1:3\n"));
    EXPECT_NE(nullptr, std::strstr(err, ":3: more users than the directory holds")) << err;
    EXPECT_EQ(nullptr, relay_find("A"));
    EXPECT_EQ(2, load("A = 127.0.0.1:1\nB = 127.0.0.1:2\n# comments past the limit\n\n"));
    relay_config.max_users = RELAY_MAX_USERS;
    relay_reset();
}

TEST_F(UsersFile, TakesAFileAsNotepadWritesIt) {
    // A UTF-8 byte-order mark first and CR LF line ends.
    EXPECT_EQ(2, load("\xEF\xBB\xBF"
                      "# the office\r\nALICE = 127.0.0.1:4001\r\n\r\n"
                      "BOB = 127.0.0.1 # desk 2\r\n"))
        << err;
    EXPECT_EQ(4001, relay_find("ALICE")->addr.port);
    EXPECT_EQ(RELAY_DEFAULT_PORT, relay_find("BOB")->addr.port);
    // The mark counts only at the very start.
    EXPECT_EQ(1, load("\xEF\xBB\xBF"
                      "CAROL = 127.0.0.1:4003\r\n"))
        << err;
    EXPECT_NE(nullptr, relay_find("CAROL"));
    EXPECT_EQ(-1, load("# x\n\xEF\xBB\xBF"
                       "DAVE = 127.0.0.1:4004\n"));
    EXPECT_NE(nullptr, std::strstr(err, ":2: nickname must be")) << err;
}

TEST_F(UsersFile, ANicknameListedTwiceIsNamedByTheFirstLineThatRepeatsOne) {
    const char* cases[][2] = {
        {"A = 127.0.0.1:1\nB = 127.0.0.1:2\na = 127.0.0.1:3\n", ":3: nickname listed twice"},
        {"B = 127.0.0.1:1\nA = 127.0.0.1:2\nA = 127.0.0.1:3\nB = 127.0.0.1:4\n", ":3: nickname"},
        // Of a repeat and another fault, the earlier line's.
        {"A = 127.0.0.1:1\nA = 127.0.0.1:2\nB = 127.0.0.1:x\n", ":2: nickname listed twice"},
        {"A = 127.0.0.1:1\nB = 127.0.0.1:x\nA = 127.0.0.1:2\n", ":2: port must be"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(-1, load(c[0])) << c[0];
        EXPECT_NE(nullptr, std::strstr(err, c[1])) << c[0] << " gave " << err;
    }
    // The longest list: a repeat on its last line is found.
    EXPECT_EQ(-1, load(many(RELAY_MAX_USERS - 1) + "u4242 = 127.0.0.1:1\n"));
    EXPECT_NE(nullptr, std::strstr(err, ":65536: nickname listed twice")) << err;
}

TEST_F(UsersFile, ReadBesideTheLoopItChangesNothingUntilTheLoopTakesIt) {
    ASSERT_EQ(2, load("ALICE = 127.0.0.1:1\nCAROL = 127.0.0.1:3\n"));
    // The last file more than a turn of the loop lists.
    const std::pair<std::string, int> cases[] = {{"BOB = 127.0.0.1:2\ngroup TEAM = BOB ALICE\n", 1},
                                                 {"BOB = 127.0.0.1:x\n", -1},
                                                 {"CAROL = 127.0.0.1:33\n" + many(20000), 20001}};
    for (const auto& c : cases) {
        std::ofstream(path, std::ios::binary) << c.first;
        int pinned = relay_find("ALICE")->pinned, groups = relay_group_count();
        const RelayUser* bob = relay_find("BOB");
        ASSERT_EQ(1, relay_users_load_start(path.c_str()));
        EXPECT_EQ(0, relay_users_load_start(path.c_str())); // one at a time
        EXPECT_EQ(pinned, relay_find("ALICE")->pinned);
        EXPECT_EQ(bob, relay_find("BOB"));
        EXPECT_EQ(groups, relay_group_count());
        int n = RELAY_USERS_READING;
        for (int tries = 0; tries < 10000 && n <= RELAY_USERS_READING; ++tries)
            if ((n = relay_users_load_finish(err, sizeof err)) == RELAY_USERS_READING) usleep(1000);
        EXPECT_EQ(c.second, n) << err;
    }
    // The good ones listed, each in place of the one before; the bad one kept the list.
    EXPECT_EQ(20001 + 2, relay_user_count()); // and ALICE and BOB, learned now
    EXPECT_FALSE(relay_find("BOB")->pinned);
    EXPECT_EQ(33, relay_find("CAROL")->addr.port);
    EXPECT_EQ(0, relay_group_count());
    EXPECT_EQ(RELAY_USERS_READING, relay_users_load_finish(err, sizeof err));
}

} // namespace
