// What the relay tells its operator, the same over every control transport: the requests it
// takes and the answers it makes (status, notices), the metrics text, and on the operator's side
// the reading of an answer into lines and an exit code.
//
// Protocol: the operator connects, writes one request and ends its writing side; the relay
// answers and closes. A request is a command line, then its arguments a line each:
//   "status\n"                 counters and directory
//   "notice\nNICK\nTEXT"       TEXT (the rest of the request) as a notice to NICK, or to the
//                              members of the group NICK
//   "notice-all\nTEXT"         ... to every nickname the relay knows
//   "reload\n"                 the users file read again (where no signal asks for it)
// The answer's first line is "ok N" (N: nicknames reached by a notice), "refused" or "error"; the
// lines after it are for the operator. For status they are tab-separated records:
//   "uptime\tSECONDS", "slots\tUSED\tMAX", "counter\tLABEL\tVALUE",
//   "state\tPATH|-\tSECONDS-SINCE-WRITTEN-WHOLE|-\tRESTORED\tDAMAGED\tLEFT-OUT\tWRITE-ERRORS\t0|1",
//   "user\tNICK\tADDRESS\tpinned|learned\tSECONDS-SINCE-HEARD|-"   (users in slot order)
//   "group\tNAME\topen|members\tMEMBERS\tKNOWN", then "member\tNICK\tknown|-" for each member
#pragma once

#include <string>

enum {
    CONTROL_REQUEST_SIZE = 1200, // bytes a request may have
    CONTROL_ANSWER_SIZE = 16384, // bytes of an answer made at once; a long status comes in parts
    METRICS_EVERY_MS = 15000,    // how often the metrics file is written
};

// Exit codes of the operator's commands (2 is a bad command line).
enum { CONTROL_EXIT_OK = 0, CONTROL_EXIT_NONE = 1, CONTROL_EXIT_REFUSED = 3 };

// An answer being made and sent: the part in out, and where the directory listing goes on.
struct ControlAnswer {
    int len, sent;
    int walk; // the next directory slot to list, -1 when the answer has no more to add
    int group_walk,
        member_walk; // then the next group (-1: done) and its next member (-1: its line)
    char out[CONTROL_ANSWER_SIZE];
};

// The time the relay started (milliseconds, the clock relay_handle is given), for its uptime.
void control_set_start(long long now);

// What a reload request runs (set by the program): reads the users file again, writes the line
// for the operator into line and returns 1, or 0 when it kept the old list.
extern int (*control_reload)(char* line, int size);

// Answers the request in[0..len). One of at most CONTROL_REQUEST_SIZE bytes is ended in place
// (in holds len + 1 bytes); a longer one is a request too long, and in is not written. A caller
// that may not control the relay (allowed 0) is answered "refused" and why. Operator notices go out
// over udp_fd.
void control_answer(char* in, int len, int allowed, const char* why, ControlAnswer* a, int udp_fd,
                    long long now);
// Once a's part is sent: makes the next part of a long answer. Returns 0 when there is none.
int control_answer_more(ControlAnswer* a, long long now);

// Writes of the metrics file that failed or were refused (counted by the periodic work).
extern long long metrics_write_errors;
// The counters in the Prometheus text format; returns the length (at most size - 1).
int metrics_text(char* out, int size, long long now);

// --- the operator's side ---------------------------------------------------------------------

// Reads a whole answer from the relay at `where`: -1 for "ok", else the exit code with the
// reason printed.
int control_reply_code(const char* where, const std::string& reply);
// A notice's answer: prints its line; OK when at least one nickname was reached.
int control_reply_notice(const std::string& reply);
// A reload's answer: prints its line.
int control_reply_reload(const std::string& reply);
// A status answer: prints uptime, counters, and the directory sorted by nickname.
int control_reply_status(const std::string& reply);
// The request for a notice of text to nick (nullptr: to everyone), the text cut to fit.
std::string control_notice_request(const char* nick_or_null, const char* text);
