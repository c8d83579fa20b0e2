// The relay's users file reader on files the users-file fuzz target found or aims at: what makes
// a line, NUL bytes, the longest line.
#include "server/relay.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
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

} // namespace
