// The relay's users file: any contents, read over a directory that already lists two users and
// has learned one. A file that loads lists only nicknames of 1 to 19 visible characters, each
// from a line of its own that names it, at a port from 1 to 65535; a file that fails changes
// nothing at all. Host names never reach a resolver (no_dns.cpp).
#include "fuzz/fuzz_input.h"
#include "server/relay.h"

#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string path;

struct Slot {
    std::string nick;
    NetAddr addr;
    int pinned;
};

std::vector<Slot> directory() {
    std::vector<Slot> all;
    for (int i = 0; i < relay_user_slots(); ++i) {
        const RelayUser* u = relay_user_at(i);
        if (u != nullptr)
            all.push_back({std::string(u->nick, strnlen(u->nick, NICK_SIZE)), u->addr, u->pinned});
    }
    return all;
}

int upper(int c) {
    return c >= 'a' && c <= 'z' ? c - 32 : c;
}

// Whether some line of the file, blanks aside, reads "nick =" (nickname without regard to case;
// a CR before the '=' counts as a blank, as it does at the end of a line).
int named_by_a_line(const std::string& file, const std::string& nick) {
    size_t start = 0;
    while (start < file.size()) {
        size_t end = file.find('\n', start);
        if (end == std::string::npos) end = file.size();
        size_t i = start;
        while (i < end && (file[i] == ' ' || file[i] == '\t'))
            ++i;
        size_t k = 0;
        while (k < nick.size() && i + k < end && upper(file[i + k]) == upper(nick[k]))
            ++k;
        if (k == nick.size()) {
            i += k;
            while (i < end && (file[i] == ' ' || file[i] == '\t' || file[i] == '\r'))
                ++i;
            if (i < end && file[i] == '=') return 1;
        }
        start = end + 1;
    }
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    relay_config.log_level = LOG_QUIET;
    relay_config.max_users = 64;
    relay_reset();
    char err[200] = "";
    if (!relay_init(err, sizeof err)) fuzz_fail("relay_init: %s", err);
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    path = std::string(dir) + "/keltup-fuzz-users-" + std::to_string(getpid());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    relay_reset();
    const NetAddr a = {0x0A000001u, 4001}, b = {0x0A000002u, 4002}, c = {0x0A000003u, 4003};
    relay_pin("ALICE", &a);
    relay_pin("BOB", &b);
    // A learned user, from a message of its own.
    Datagram m;
    std::memset(&m, 0, sizeof m);
    std::memcpy(m.magic, "KT1", 3);
    m.kind = KIND_MESSAGE;
    std::strcpy(m.sender, "CAROL");
    std::strcpy(m.recipient, "ALICE");
    RelayOut out[2];
    int n = 0;
    relay_handle(reinterpret_cast<const char*>(&m), HEADER_SIZE + 1, &c, 1000, out, &n);
    std::vector<Slot> before = directory();

    std::string file(reinterpret_cast<const char*>(data), size);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) fuzz_fail("cannot write %s", path.c_str());
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    char err[300] = "";
    int listed = relay_users_load(path.c_str(), err, sizeof err);
    std::vector<Slot> after = directory();
    if (listed < 0) {
        if (err[0] == '\0') fuzz_fail("a failed load without a reason");
        if (after.size() != before.size()) fuzz_fail("a failed load changed the directory");
        for (size_t i = 0; i < after.size(); ++i)
            if (after[i].nick != before[i].nick || !net_equal(&after[i].addr, &before[i].addr) ||
                after[i].pinned != before[i].pinned)
                fuzz_fail("a failed load changed %s", before[i].nick.c_str());
        return 0;
    }
    int pinned = 0;
    for (const Slot& s : after) {
        if (!s.pinned) continue;
        ++pinned;
        if (s.nick.empty() || s.nick.size() > NICK_SIZE - 1)
            fuzz_fail("listed a nickname of %zu characters", s.nick.size());
        for (char ch : s.nick)
            if (static_cast<unsigned char>(ch) <= 0x20 || static_cast<unsigned char>(ch) >= 0x7F)
                fuzz_fail("listed a nickname holding byte 0x%02X", static_cast<unsigned char>(ch));
        if (s.addr.port == 0) fuzz_fail("listed %s at port 0", s.nick.c_str());
        if (!named_by_a_line(file, s.nick))
            fuzz_fail("listed %s, which no line of the file names", s.nick.c_str());
    }
    if (pinned != listed) fuzz_fail("loaded %d entries, %d listed", listed, pinned);
    return 0;
}
