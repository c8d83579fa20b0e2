// The relay's users file: any contents, read over a directory that already lists two users and a
// group and has learned one. A file that loads lists only nicknames of 1 to 19 visible characters,
// each from a line of its own that names it, at a port from 1 to 65535, and only groups named so
// by a line of their own, of 1 to --max-group-size members that are such nicknames, none a group,
// none twice, no group named like a listed user; a file that fails changes nothing at all. Host
// names never reach a resolver (no_dns.cpp).
#include "fuzz/fuzz_input.h"
#include "server/relay.h"

#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string path, start_path; // the input, and the file read before it

// The groups in force: name, open, members.
std::vector<std::string> groups() {
    std::vector<std::string> all;
    for (int g = 0; g < relay_group_count(); ++g) {
        std::string text =
            std::string(relay_group_name(g)) + (relay_group_open(g) ? " open:" : ":");
        for (int i = 0; i < relay_group_size(g); ++i)
            text += std::string(" ") + relay_group_member(g, i);
        all.push_back(text);
    }
    return all;
}

int valid_name(const char* nick) {
    size_t n = strnlen(nick, NICK_SIZE);
    if (n == 0 || n >= NICK_SIZE) return 0;
    for (size_t i = 0; i < n; ++i)
        if (static_cast<unsigned char>(nick[i]) <= 0x20 ||
            static_cast<unsigned char>(nick[i]) >= 0x7F)
            return 0;
    return 1;
}

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

// Whether some line reads "[open] group NAME =" (keywords and name without regard to case, any
// blanks between).
int group_named_by_a_line(const std::string& file, const std::string& name) {
    size_t start = 0;
    while (start < file.size()) {
        size_t end = file.find('\n', start);
        if (end == std::string::npos) end = file.size();
        std::string line = file.substr(start, end - start);
        start = end + 1;
        for (char& c : line)
            c = static_cast<char>(c == '\t' || c == '\r' ? ' ' : upper(c));
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string head = line.substr(0, eq), upper_name;
        for (char c : name)
            upper_name += static_cast<char>(upper(c));
        for (const char* form : {" GROUP ", " OPEN GROUP "}) {
            std::string want = std::string(form) + upper_name + " ";
            std::string padded = " " + head + " ";
            // Collapse runs of blanks so that "group   NAME" reads as one form.
            std::string squeezed;
            for (char c : padded)
                if (c != ' ' || squeezed.empty() || squeezed.back() != ' ') squeezed += c;
            if (squeezed == want) return 1;
        }
    }
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    relay_config.log_level = LOG_QUIET;
    relay_config.max_users = 64;
    relay_config.max_group_size = 8; // small, so that the limit is met
    relay_reset();
    char err[200] = "";
    if (!relay_init(err, sizeof err)) fuzz_fail("relay_init: %s", err);
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    path = std::string(dir) + "/keltup-fuzz-users-" + std::to_string(getpid());
    start_path = path + "-start";
    FILE* f = std::fopen(start_path.c_str(), "w");
    if (f == nullptr) fuzz_fail("cannot write %s", start_path.c_str());
    std::fputs("ALICE = 10.0.0.1:4001\nBOB = 10.0.0.2:4002\ngroup STAFF = ALICE BOB CAROL\n", f);
    std::fclose(f);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    relay_reset();
    const NetAddr c = {0x0A000003u, 4003};
    char start_err[200] = "";
    if (relay_users_load(start_path.c_str(), start_err, sizeof start_err) != 2)
        fuzz_fail("the starting users file: %s", start_err);
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
    std::vector<std::string> groups_before = groups();

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
        if (groups() != groups_before) fuzz_fail("a failed load changed the groups");
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

    for (int g = 0; g < relay_group_count(); ++g) {
        const char* name = relay_group_name(g);
        if (!valid_name(name)) fuzz_fail("a group named other than 1 to 19 visible characters");
        if (relay_group_find(name) != g) fuzz_fail("group %s is not found by its name", name);
        if (!group_named_by_a_line(file, name))
            fuzz_fail("group %s, which no line of the file names", name);
        const RelayUser* u = relay_find(name);
        if (u != nullptr && u->pinned) fuzz_fail("group %s is named like a listed user", name);
        int size = relay_group_size(g);
        if (size < 1 || size > relay_config.max_group_size)
            fuzz_fail("group %s of %d members", name, size);
        for (int i = 0; i < size; ++i) {
            const char* m = relay_group_member(g, i);
            if (!valid_name(m)) fuzz_fail("group %s has a member that is no nickname", name);
            if (relay_group_find(m) >= 0)
                fuzz_fail("group %s has the group %s as a member", name, m);
            for (int k = 0; k < i; ++k) {
                std::string x = m, y = relay_group_member(g, k);
                for (char& ch : x)
                    ch = static_cast<char>(upper(ch));
                for (char& ch : y)
                    ch = static_cast<char>(upper(ch));
                if (x == y) fuzz_fail("group %s lists %s twice", name, m);
            }
        }
    }
    return 0;
}
