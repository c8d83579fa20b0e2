// The relay's answers to its operator and its metrics, and the operator's reading of them; no
// transport here (see report.h).
#include "server/report.h"

#include "server/relay.h"
#include "server/state.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#ifdef _WIN32
#define strcasecmp _stricmp
#else
#include <strings.h>
#endif
#include <vector>

enum { LINE_ROOM = 128 }; // a directory line fits in this

struct CounterInfo {
    const char* label;  // in the status
    const char* metric; // keltup_METRIC_total
    const char* help;
    long long RelayStats::*field;
};

static const CounterInfo kCounters[] = {
    {"delivered", "delivered", "Messages forwarded to their recipient.", &RelayStats::delivered},
    {"resends", "resends", "Resends answered with a receipt and not delivered again.",
     &RelayStats::resent},
    {"unknown recipients", "unknown_recipients", "Messages to a nickname the relay does not know.",
     &RelayStats::unknown},
    {"lease refused", "lease_refused",
     "Messages under a nickname another address holds, the nickname kept.",
     &RelayStats::lease_refused},
    {"notices", "notices", "Operator notices sent.", &RelayStats::notices},
    {"directory full", "directory_full",
     "New nicknames not learned because every directory slot was live.",
     &RelayStats::directory_full},
    {"resend memory full", "resend_memory_full",
     "Messages delivered without being remembered, the resend memory full of young entries.",
     &RelayStats::resend_memory_full},
    {"impersonation refused", "impersonation_refused",
     "Messages not relayed: their sender nickname is held by another host.",
     &RelayStats::impersonation_refused},
    {"send failed", "send_failed", "Datagrams the relay could not send.", &RelayStats::send_failed},
    {"group messages", "group_messages", "Messages to groups taken for delivery.",
     &RelayStats::group_messages},
    {"group copies", "group_copies", "Copies of group messages sent to members.",
     &RelayStats::group_copies},
    {"group members not reached", "group_members_not_reached",
     "Members a group message did not reach, the relay having no address for them.",
     &RelayStats::group_not_reached},
    {"over destination limit", "destination_limited",
     "Group copies and operator notices not sent: their destination host was over --dest-rate.",
     &RelayStats::dest_capped},
};

// A drop reason as a label value: "wrong kind" -> "wrong_kind".
static void reason_label(const char* name, char* out, int size) {
    int i = 0;
    for (; name[i] != '\0' && i < size - 1; ++i)
        out[i] = (name[i] == ' ' || name[i] == '-') ? '_' : name[i];
    out[i] = '\0';
}

static long long started_ms;
int (*control_reload)(char* line, int size);

void control_set_start(long long now) {
    started_ms = now;
}

static long long uptime_s(long long now) {
    return (now - started_ms) / 1000;
}

static int pinned_count() {
    int pinned = 0;
    for (int i = 0; i < relay_user_slots(); ++i) {
        const RelayUser* u = relay_user_at(i);
        if (u != nullptr && u->pinned) ++pinned;
    }
    return pinned;
}

// A nickname safe for a tab-separated line: control bytes as '?'.
static void safe_nick(const char* nick, char* out) {
    int i = 0;
    for (; i < NICK_SIZE - 1 && nick[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(nick[i]);
        out[i] = c < 0x20 || c >= 0x7F ? '?' : nick[i];
    }
    out[i] = '\0';
}

static void answer(ControlAnswer* c, const char* format, ...) __attribute__((format(printf, 2, 3)));
static void answer(ControlAnswer* c, const char* format, ...) {
    int room = CONTROL_ANSWER_SIZE - c->len;
    if (room <= 1) return;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(c->out + c->len, static_cast<size_t>(room), format, args);
    va_end(args);
    c->len += n < room ? n : room - 1;
}

// Adds directory lines while they fit; walk goes to -1 at the end of the directory.
static void add_users(ControlAnswer* c, long long now) {
    while (c->walk >= 0 && CONTROL_ANSWER_SIZE - c->len > LINE_ROOM) {
        if (c->walk >= relay_user_slots()) {
            c->walk = -1;
            break;
        }
        const RelayUser* u = relay_user_at(c->walk++);
        if (u == nullptr) continue;
        char nick[NICK_SIZE], where[NET_ADDR_TEXT], heard[24] = "-";
        safe_nick(u->nick, nick);
        net_format(&u->addr, where, sizeof where);
        if (u->seen > 0 || !u->pinned) // a restored user may date from before this clock began
            std::snprintf(heard, sizeof heard, "%lld", (now > u->seen ? now - u->seen : 0) / 1000);
        answer(c, "user\t%s\t%s\t%s\t%s\n", nick, where, u->pinned ? "pinned" : "learned", heard);
    }
}

// The state file's record: path, seconds since it was last written whole (or -), what the start
// restored, skipped and left out, write errors, and whether the last write failed.
static void state_answer(ControlAnswer* c, long long now) {
    StateReport s;
    state_report(&s);
    char ago[24] = "-";
    if (s.compact_ms >= 0) std::snprintf(ago, sizeof ago, "%lld", (now - s.compact_ms) / 1000);
    answer(c, "state\t%s\t%s\t%lld\t%lld\t%lld\t%lld\t%d\n", s.path ? s.path : "-", ago,
           s.at_start.restored, s.at_start.damaged, s.at_start.no_room, s.write_errors, s.failing);
}

// Adds group lines while they fit, each group's line then a line per member; group_walk goes to
// -1 at the end of the groups.
static void add_groups(ControlAnswer* c) {
    while (c->walk < 0 && c->group_walk >= 0 && CONTROL_ANSWER_SIZE - c->len > LINE_ROOM) {
        int g = c->group_walk;
        if (g >= relay_group_count()) {
            c->group_walk = -1;
            break;
        }
        char nick[NICK_SIZE];
        if (c->member_walk < 0) {
            int known = 0;
            for (int i = 0; i < relay_group_size(g); ++i)
                known += relay_find(relay_group_member(g, i)) != nullptr;
            safe_nick(relay_group_name(g), nick);
            answer(c, "group\t%s\t%s\t%d\t%d\n", nick, relay_group_open(g) ? "open" : "members",
                   relay_group_size(g), known);
            c->member_walk = 0;
        } else if (c->member_walk < relay_group_size(g)) {
            const char* m = relay_group_member(g, c->member_walk++);
            safe_nick(m, nick);
            answer(c, "member\t%s\t%s\n", nick, relay_find(m) != nullptr ? "known" : "-");
        } else {
            c->member_walk = -1;
            ++c->group_walk;
        }
    }
}

static void status_answer(ControlAnswer* c, long long now) {
    answer(c, "ok 0\nuptime\t%lld\nslots\t%d\t%d\n", uptime_s(now), relay_user_count(),
           relay_config.max_users);
    for (const CounterInfo& k : kCounters)
        answer(c, "counter\t%s\t%lld\n", k.label, relay_stats.*k.field);
    for (int i = 0; i < DROP_REASONS; ++i)
        answer(c, "counter\tdropped (%s)\t%lld\n", kDropNames[i], relay_stats.dropped[i]);
    state_answer(c, now);
    for (int i = 0; i < GROUP_REFUSALS; ++i)
        answer(c, "counter\tgroup refused (%s)\t%lld\n", kGroupRefusalNames[i],
               relay_stats.group_refused[i]);
    c->walk = 0;
    c->group_walk = 0;
    c->member_walk = -1;
    add_users(c, now);
    add_groups(c);
}

static void notice_answer(ControlAnswer* c, const char* nick, const char* text, int udp_fd,
                          long long now) {
    char body[BODY_SIZE];
    std::memset(body, 0, sizeof body);
    std::strncpy(body, text, sizeof body - 1);
    clean_text(body, BODY_SIZE);
    char line[200];
    int reached = relay_operator_notice(nick, body, line, sizeof line, now);
    RelayOut out;
    while (relay_notice_next(&out))
        if (net_send(udp_fd, out.data, out.len, &out.to) < 0) ++relay_stats.send_failed;
    answer(c, "ok %d\n%s\n", reached, line);
}

void control_answer(char* in, int len, int allowed, const char* why, ControlAnswer* c, int udp_fd,
                    long long now) {
    c->len = c->sent = 0;
    c->walk = c->group_walk = -1;
    if (!allowed) {
        answer(c, "refused\n%s\n", why);
        return;
    }
    if (len > CONTROL_REQUEST_SIZE) {
        answer(c, "error\nthe request is too long\n");
        return;
    }
    in[len] = '\0';
    char* arg = std::strchr(in, '\n');
    if (arg != nullptr) *arg++ = '\0';
    if (std::strcmp(in, "status") == 0) {
        relay_log(LOG_VERBOSE, "control: status");
        status_answer(c, now);
    } else if (std::strcmp(in, "notice-all") == 0 && arg != nullptr) {
        notice_answer(c, nullptr, arg, udp_fd, now);
    } else if (std::strcmp(in, "notice") == 0 && arg != nullptr &&
               std::strchr(arg, '\n') != nullptr && arg[0] != '\n') {
        char* text = std::strchr(arg, '\n');
        *text++ = '\0';
        notice_answer(c, arg, text, udp_fd, now);
    } else if (std::strcmp(in, "reload") == 0 && control_reload != nullptr) {
        char line[700];
        int ok = control_reload(line, sizeof line);
        answer(c, ok ? "ok 0\n%s\n" : "error\n%s\n", line);
    } else {
        answer(c, "error\nnot a request this relay knows\n");
    }
}

int control_answer_more(ControlAnswer* a, long long now) {
    if (a->walk < 0 && a->group_walk < 0) return 0;
    a->len = a->sent = 0;
    add_users(a, now);
    add_groups(a);
    return a->len > 0;
}

// --- metrics ---------------------------------------------------------------------------------

static int metric(char* out, int used, int size, const char* name, const char* type,
                  const char* help, long long value) {
    if (used >= size) return used;
    return used + std::snprintf(out + used, static_cast<size_t>(size - used),
                                "# HELP keltup_%s %s\n# TYPE keltup_%s %s\nkeltup_%s %lld\n", name,
                                help, name, type, name, value);
}

// A counter labelled by reason: one series per name, each name made a label value.
static int by_reason(char* text, int used, int size, const char* name, const char* help,
                     const char* const* reasons, const long long* values, int count) {
    if (used < size)
        used += std::snprintf(text + used, static_cast<size_t>(size - used),
                              "# HELP keltup_%s %s\n# TYPE keltup_%s counter\n", name, help, name);
    char label[64];
    for (int i = 0; i < count && used < size; ++i) {
        reason_label(reasons[i], label, sizeof label);
        used += std::snprintf(text + used, static_cast<size_t>(size - used),
                              "keltup_%s{reason=\"%s\"} %lld\n", name, label, values[i]);
    }
    return used;
}

long long metrics_write_errors;

static int state_metrics(char* text, int used, int size, long long now) {
    StateReport s;
    state_report(&s);
    used = metric(text, used, size, "state_enabled", "gauge",
                  "1 when the learned nicknames are kept in a state file.", s.path != nullptr);
    used = metric(text, used, size, "state_restored_users", "gauge",
                  "Nicknames restored from the state file at start.", s.at_start.restored);
    used = metric(text, used, size, "state_damaged_lines", "gauge",
                  "Lines of the state file skipped at start as damaged.", s.at_start.damaged);
    used =
        metric(text, used, size, "state_left_out_users", "gauge",
               "Entries of the state file left out at start for want of room.", s.at_start.no_room);
    used = metric(text, used, size, "state_write_errors_total", "counter",
                  "Writes and syncs of the state file that failed.", s.write_errors);
    used = metric(text, used, size, "state_failing", "gauge",
                  "1 while the last write of the state file failed.", s.failing);
    used = metric(text, used, size, "state_compactions_total", "counter",
                  "Times the state file was written whole.", s.compactions);
    used = metric(text, used, size, "state_journal_lines_total", "counter",
                  "Learning events appended to the state file.", s.journalled);
    if (s.compact_ms >= 0)
        used = metric(text, used, size, "state_last_compaction_age_seconds", "gauge",
                      "Seconds since the state file was last written whole.",
                      (now - s.compact_ms) / 1000);
    return metric(text, used, size, "metrics_write_errors_total", "counter",
                  "Writes of this metrics file that failed or were refused.", metrics_write_errors);
}

int metrics_text(char* text, int size, long long now) {
    int used = 0;
    used = metric(text, used, size, "uptime_seconds", "gauge", "Seconds since the relay started.",
                  uptime_s(now));
    used = metric(text, used, size, "users", "gauge", "Nicknames the relay knows.",
                  relay_user_count());
    used = metric(text, used, size, "users_pinned", "gauge", "Nicknames listed in the users file.",
                  pinned_count());
    used = metric(text, used, size, "directory_slots", "gauge",
                  "Nicknames the relay can know at once.", relay_config.max_users);
    used = metric(text, used, size, "groups", "gauge", "Groups listed in the users file.",
                  relay_group_count());
    char name[64];
    for (const CounterInfo& k : kCounters) {
        std::snprintf(name, sizeof name, "%s_total", k.metric);
        used = metric(text, used, size, name, "counter", k.help, relay_stats.*k.field);
    }
    used = by_reason(text, used, size, "dropped_total", "Datagrams dropped, by reason.", kDropNames,
                     relay_stats.dropped, DROP_REASONS);
    used = state_metrics(text, used, size, now);
    used = by_reason(text, used, size, "group_refused_total",
                     "Messages to or under a group refused, by reason.", kGroupRefusalNames,
                     relay_stats.group_refused, GROUP_REFUSALS);
    if (used >= size) used = size - 1;

    return used;
}

// --- the operator's side ---------------------------------------------------------------------

int control_reply_code(const char* path, const std::string& reply_text) {
    const std::string* reply = &reply_text;
    if (reply->compare(0, 3, "ok ") == 0) return -1;
    size_t eol = reply->find('\n');
    std::string why = eol == std::string::npos ? "" : reply->substr(eol + 1);
    while (!why.empty() && why.back() == '\n')
        why.pop_back();
    if (reply->compare(0, 8, "refused\n") == 0) {
        std::fprintf(stderr, "keltup-server: %s\n", why.c_str());
        return CONTROL_EXIT_REFUSED;
    }
    std::fprintf(stderr, "keltup-server: the relay on %s: %s\n", path,
                 why.empty() ? "no answer (busy or stopping?)" : why.c_str());
    return CONTROL_EXIT_NONE;
}

std::string control_notice_request(const char* nick_or_null, const char* text) {
    std::string request = nick_or_null != nullptr ? "notice\n" : "notice-all\n";
    if (nick_or_null != nullptr) {
        std::string nick(nick_or_null, strnlen(nick_or_null, NICK_SIZE - 1));
        request += nick.substr(0, nick.find('\n')) + "\n";
    }
    size_t length = std::strlen(text);
    if (length > BODY_SIZE - 1) {
        std::fprintf(stderr, "keltup-server: the notice is cut to %d characters\n", BODY_SIZE - 1);
        length = BODY_SIZE - 1;
    }
    request.append(text, length);
    return request;
}

int control_reply_notice(const std::string& reply) {
    long reached = std::strtol(reply.c_str() + 3, nullptr, 10);
    size_t eol = reply.find('\n');
    if (eol != std::string::npos) std::fputs(reply.c_str() + eol + 1, stdout);
    return reached > 0 ? CONTROL_EXIT_OK : CONTROL_EXIT_NONE;
}

int control_reply_reload(const std::string& reply) {
    size_t eol = reply.find('\n');
    if (eol != std::string::npos) std::fputs(reply.c_str() + eol + 1, stdout);
    return CONTROL_EXIT_OK;
}

static std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

static void print_state(const std::vector<std::string>& f) {
    if (f[1] == "-") {
        std::printf("state file: none (learned nicknames are kept in memory only)\n");
        return;
    }
    std::printf("state file: %s\n", f[1].c_str());
    std::printf("  last written whole: %s\n", f[2] == "-" ? "never" : (f[2] + " s ago").c_str());
    std::printf("  restored at start: %s nicknames (%s damaged lines skipped, %s left out for "
                "want of room)\n",
                f[3].c_str(), f[4].c_str(), f[5].c_str());
    std::printf("  write errors: %s%s\n", f[6].c_str(),
                f[7] == "1" ? " (failing now: relaying from memory)" : "");
}

int control_reply_status(const std::string& reply) {
    std::vector<std::vector<std::string>> users, groups;
    std::vector<std::string> members, unknown; // of the last group line, and those not known
    std::vector<std::string> slots = {"slots", "?", "?"};
    size_t at = reply.find('\n');
    while (at != std::string::npos && at + 1 < reply.size()) {
        size_t eol = reply.find('\n', at + 1);
        std::vector<std::string> f = split(reply.substr(at + 1, eol - at - 1));
        at = eol;
        if (f[0] == "uptime" && f.size() == 2) {
            long long s = std::atoll(f[1].c_str());
            std::printf("up %lldd %02lldh %02lldm %02llds (%lld s)\n", s / 86400, s / 3600 % 24,
                        s / 60 % 60, s % 60, s);
        } else if (f[0] == "slots" && f.size() == 3) {
            slots = f;
        } else if (f[0] == "counter" && f.size() == 3) {
            std::printf("%-28s %12s\n", f[1].c_str(), f[2].c_str());
        } else if (f[0] == "user" && f.size() == 5) {
            users.push_back(f);
        } else if (f[0] == "state" && f.size() == 8) {
            print_state(f);
        } else if (f[0] == "group" && f.size() == 5) {
            groups.push_back(f);
            groups.back().push_back("");
        } else if (f[0] == "member" && f.size() == 3 && !groups.empty()) {
            groups.back()[5] += " " + f[1] + (f[2] == "known" ? "" : "?");
        }
    }
    std::sort(users.begin(), users.end(), [](const auto& a, const auto& b) {
        int c = strcasecmp(a[1].c_str(), b[1].c_str());
        return c != 0 ? c < 0 : a[1] < b[1];
    });
    std::printf("directory: %s nicknames (room for %s)\n", slots[1].c_str(), slots[2].c_str());
    std::printf("%-19s  %-21s  %-7s  %s\n", "nickname", "address", "kind", "last heard");
    for (const auto& u : users)
        std::printf("%-19s  %-21s  %-7s  %s\n", u[1].c_str(), u[2].c_str(), u[3].c_str(),
                    u[4] == "-" ? "never" : (u[4] + " s ago").c_str());
    if (!groups.empty())
        std::printf("groups: %zu (members marked ? have no address now)\n", groups.size());
    for (const auto& g : groups)
        std::printf("%-19s  %s, %s of %s members known:%s\n", g[1].c_str(),
                    g[2] == "open" ? "open to all" : "members only", g[4].c_str(), g[3].c_str(),
                    g[5].c_str());
    return CONTROL_EXIT_OK;
}
