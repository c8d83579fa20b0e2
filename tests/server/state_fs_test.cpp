// The file calls behind the state file, on each platform: what a relay killed during a rewrite
// leaves beside the file is cleared at the next start, and nothing else.
#include "server/relay.h"
#include "server/state.h"
#include "server/state_fs.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

void write(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f) << path;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

bool exists(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f != nullptr) std::fclose(f);
    return f != nullptr;
}

struct StateFs : ::testing::Test {
    std::string path = ::testing::TempDir() + "keltup_state_fs_test";
    void SetUp() override {
        relay_config.log_level = LOG_QUIET;
        relay_config.max_users = 256;
        relay_reset();
        std::remove(path.c_str());
    }
    void TearDown() override {
        state_close(0);
        std::remove(path.c_str());
    }
};

TEST_F(StateFs, ARewriteLeftBehindIsClearedAtTheStartAndOtherFilesAreNot) {
    write(path, std::string(kStateVersionLine) + "\nBOB 127.0.0.1:4002 0\n");
    write(path + ".0123abcd.tmp", "half a rewrite");
    write(path + ".0123abcg.tmp", "not a name it makes");
    write(path + ".notes", "the operator's");
    state_open(path.c_str(), 0);
    EXPECT_EQ(1, relay_user_count());
    EXPECT_FALSE(exists(path + ".0123abcd.tmp"));
    EXPECT_TRUE(exists(path + ".0123abcg.tmp"));
    EXPECT_TRUE(exists(path + ".notes"));
    std::remove((path + ".0123abcg.tmp").c_str());
    std::remove((path + ".notes").c_str());
}

#ifdef _WIN32
TEST_F(StateFs, OnWindowsAnOldFileSteppedAsideComesBackWhenTheNewOneNeverTookItsName) {
    // A rewrite renames the old file aside while the journal holds it open, then the new one
    // over its name: killed in between, the old one is all there is.
    write(path + ".0123abcd.tmp.old", std::string(kStateVersionLine) + "\nBOB 127.0.0.1:4002 0\n");
    state_open(path.c_str(), 0);
    EXPECT_EQ(1, relay_user_count());
    EXPECT_FALSE(exists(path + ".0123abcd.tmp.old"));
    // With the file in place, one left aside is only removed.
    state_close(0);
    write(path + ".0123abce.tmp.old", "older");
    state_open(path.c_str(), 0);
    EXPECT_EQ(1, relay_user_count());
    EXPECT_FALSE(exists(path + ".0123abce.tmp.old"));
}
#endif

} // namespace
