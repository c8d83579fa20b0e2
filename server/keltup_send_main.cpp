// keltup-send: sends one message through the relay with the tray client's own sending code, and
// says by its exit code whether the server's receipt came and whether the recipient was reached.
#include "protocol/arrivals.h"
#include "protocol/datagram.h"
#include "protocol/endpoint.h"
#include "protocol/send.h"
#include "settings/profile.h"
#include "settings/settings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

enum { EXIT_SENT = 0, EXIT_NO_RESPONSE = 1, EXIT_USAGE = 2, EXIT_NOT_REACHED = 3 };
enum { MAX_BODY = BODY_SIZE - 2 }; // what the compose dialog takes: 998 characters

static void usage(FILE* to) {
    std::fprintf(to,
                 "usage: keltup-send [--settings FILE] [--server HOST] [--port N] [--from NICK]\n"
                 "                   [--local-port N] RECIPIENT [MESSAGE...]\n"
                 "  -f, --settings FILE  take servername, nick and remoteport from a KelTup\n"
                 "                       settings file (options after it win)\n"
                 "  -s, --server HOST    relay server name or address (default 127.0.0.1)\n"
                 "  -p, --port N         relay server's UDP port (default 99)\n"
                 "  -n, --from NICK      sender nickname (default KELTUP-SEND)\n"
                 "  -l, --local-port N   local UDP port (default 0: any free port)\n"
                 "  --version            print the program's name and version\n"
                 "The message is the words after RECIPIENT, or standard input when there are\n"
                 "none; like the tray client's compose dialog it keeps the first 998 characters\n"
                 "and stops at the first byte of 0x80 and above. Exit code 0: the server's\n"
                 "receipt came; 1: no response; 2: bad arguments; 3: the receipt came, but the\n"
                 "relay said it knows no such recipient.\n");
}

// What the tray client shows in a message box, as a line on standard error. The text may hold
// anything a datagram carried (a notice is shown as received): control characters other than
// line breaks and tabs are written as '?' so they cannot drive the terminal.
static void say(const char* caption, const char* text, int fatal) {
    const char* parts[3] = {caption, ": ", text};
    std::fprintf(stderr, "keltup-send: %s", fatal ? "error: " : "");
    for (const char* part : parts)
        for (const unsigned char* p = reinterpret_cast<const unsigned char*>(part); *p; ++p) {
            unsigned char c = *p;
            if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) c = '?';
            std::fputc(c, stderr);
        }
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

// Set when, during the send, the relay said in a notice of its own that the recipient is unknown.
static int not_reached;

// The reason the relay gives on a notice of its own; REASON_NONE on anything else.
static int relay_reason(const Datagram* d) {
    if (std::memcmp(d->reserved, kRelayMark, sizeof kRelayMark) != 0) return REASON_NONE;
    return static_cast<unsigned char>(d->reserved[RELAY_REASON_AT]);
}

// The arrivals sink: notices and receipts are told; messages for this nickname are not kept.
static int take(const Arrival* a) {
    const Datagram* d = reinterpret_cast<const Datagram*>(a->buf);
    switch (a->buf[3]) {
    case KIND_NOTICE:
        say("KelTup", a->buf + HEADER_SIZE, 0);
        // Read from the reason byte, never from the text; other reasons are only told.
        if (a->sending && relay_reason(d) == REASON_UNKNOWN) not_reached = 1;
        return ARRIVAL_OTHER;
    case KIND_RECEIPT:
        if (!a->sending) return ARRIVAL_OTHER;
        if (datagram_id(d) == a->id) {
            say("Send Message", "Message Sent", 0);
            return ARRIVAL_CONFIRMED;
        }
        say("Response", "Wrong message!", 0);
        return ARRIVAL_OTHER;
    default:
        return ARRIVAL_OTHER;
    }
}

static void wait_ms(int ms) {
    timespec want;
    want.tv_sec = ms / 1000;
    want.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&want, &want) != 0 && errno == EINTR) {
    }
}

static int parse_port(const char* text, int* port) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || v < 0 || v > 65535) return 0;
    *port = static_cast<int>(v);
    return 1;
}

static void to_upper(char* s) {
    for (; *s != '\0'; ++s)
        if (*s >= 'a' && *s <= 'z') *s = static_cast<char>(*s - 'a' + 'A');
}

// Puts text into a field the way the client's dialogs do: at most size - 1 characters taken, then
// the bounded-text rule with `clean` bytes. Says on standard error when something was left out.
static void take_text(const char* what, const char* text, size_t length, char* field, int size,
                      int clean) {
    size_t limit = static_cast<size_t>(size - 1);
    size_t n = length < limit ? length : limit;
    std::memset(field, 0, static_cast<size_t>(size));
    std::memcpy(field, text, n);
    clean_text(field, clean);
    size_t kept = std::strlen(field);
    if (kept < length)
        std::fprintf(stderr, "keltup-send: the %s is cut to its first %zu characters\n", what,
                     kept);
}

int main(int argc, char** argv) {
    const char* server = nullptr;
    const char* sender = nullptr;
    const char* file = nullptr;
    int port = -1;
    int local = 0;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
        const char* a = argv[i];
        auto is = [a](const char* s, const char* l) {
            return std::strcmp(a, s) == 0 || std::strcmp(a, l) == 0;
        };
        if (std::strcmp(a, "--") == 0) {
            ++i;
            break;
        }
        if (is("-h", "--help")) {
            usage(stdout);
            return EXIT_SENT;
        }
        if (std::strcmp(a, "--version") == 0) {
            std::printf("keltup-send %s\n", KELTUP_VERSION);
            return EXIT_SENT;
        }
        int ok = i + 1 < argc;
        const char* v = ok ? argv[++i] : "";
        if (!ok)
            ;
        else if (is("-s", "--server"))
            server = v;
        else if (is("-n", "--from"))
            sender = v;
        else if (is("-f", "--settings"))
            file = v;
        else if (is("-p", "--port"))
            ok = parse_port(v, &port);
        else if (is("-l", "--local-port"))
            ok = parse_port(v, &local);
        else
            ok = 0;
        if (!ok) {
            std::fprintf(stderr, "keltup-send: bad argument '%s'\n", a);
            usage(stderr);
            return EXIT_USAGE;
        }
    }
    if (i >= argc) {
        usage(stderr);
        return EXIT_USAGE;
    }
    const char* recipient = argv[i++];

    // The settings the endpoint and the sender read.
    std::strcpy(servername, "127.0.0.1");
    std::memset(nick, 0, sizeof nick);
    std::strcpy(nick, "KELTUP-SEND");
    remoteport = 99;
    if (file != nullptr) {
        FILE* f = std::fopen(file, "r");
        if (f == nullptr) {
            std::fprintf(stderr, "keltup-send: cannot read %s\n", file);
            return EXIT_USAGE;
        }
        std::fclose(f);
        profile_get_string("settings", "servername", servername, servername, sizeof servername,
                           file);
        profile_get_string("settings", "nick", "MRNOBODY", nick, sizeof nick, file);
        remoteport = profile_get_int("settings", "remoteport", 99, file);
    }
    if (server != nullptr) {
        if (std::strlen(server) >= sizeof servername) {
            std::fprintf(stderr, "keltup-send: server name too long\n");
            return EXIT_USAGE;
        }
        std::strcpy(servername, server);
    }
    if (sender != nullptr)
        take_text("nickname", sender, std::strlen(sender), nick, NICK_SIZE, NICK_SIZE);
    to_upper(nick);
    if (port >= 0) remoteport = port;
    localport = local;

    // As the compose dialog fills the record: recipient in upper case, 19 characters at most;
    // body 998 characters at most; both cleaned.
    Datagram d;
    std::memset(&d, 0, sizeof d);
    take_text("recipient", recipient, std::strlen(recipient), d.recipient, NICK_SIZE, NICK_SIZE);
    to_upper(d.recipient);

    static char text[1 << 16];
    size_t length = 0;
    size_t total = 0;
    if (i < argc) {
        for (int first = i; i < argc; ++i) {
            const char* parts[2] = {" ", argv[i]};
            for (int p = i > first ? 0 : 1; p < 2; ++p) {
                size_t n = std::strlen(parts[p]);
                size_t fit = n < sizeof text - length ? n : sizeof text - length;
                std::memcpy(text + length, parts[p], fit);
                length += fit;
                total += n;
            }
        }
    } else {
        // All of standard input is read, whatever is kept of it.
        size_t n;
        char chunk[4096];
        while ((n = std::fread(chunk, 1, sizeof chunk, stdin)) > 0) {
            size_t fit = n < sizeof text - length ? n : sizeof text - length;
            std::memcpy(text + length, chunk, fit);
            length += fit;
            total += n;
        }
        // A message piped from echo or a file ends with one line break the sender did not type.
        if (total == length && length > 0 && text[length - 1] == '\n') --length, --total;
    }
    take_text("message", text, total > length ? sizeof text : length, d.body, MAX_BODY + 1,
              MAX_BODY + 1);

    // Two senders started in the same second must not draw the same id.
    random_seed(static_cast<unsigned>(std::time(nullptr)) ^
                (static_cast<unsigned>(getpid()) << 16));
    EndpointFailure failure;
    if (!endpoint_open(&failure)) {
        say(failure.caption, failure.text, failure.fatal);
        return EXIT_NO_RESPONSE;
    }
    arrivals_set_sink(take);
    int confirmed = send_message(&d, wait_ms);
    endpoint_cleanup();
    if (!confirmed) {
        say("Send Message", "No response from server!", 0);
        return EXIT_NO_RESPONSE;
    }
    return not_reached ? EXIT_NOT_REACHED : EXIT_SENT;
}
