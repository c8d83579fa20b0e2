// keltup-send: sends one message through the relay with the tray client's own sending code, and
// says by its exit code whether the server's receipt came.
#include "platform/console/console_ui.h"
#include "protocol/datagram.h"
#include "protocol/endpoint.h"
#include "protocol/send.h"
#include "settings/profile.h"
#include "settings/settings.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

enum { EXIT_SENT = 0, EXIT_NOT_SENT = 1, EXIT_USAGE = 2 };
enum { MAX_BODY = BODY_SIZE - 2 }; // what the compose dialog takes: 998 characters

static void usage() {
    std::fprintf(stderr,
                 "usage: keltup-send [-s SERVER] [-p PORT] [-n NICK] [-l LOCALPORT] [-f FILE]\n"
                 "                   RECIPIENT [MESSAGE...]\n"
                 "  -s SERVER     relay server name or address (default 127.0.0.1)\n"
                 "  -p PORT       relay server's UDP port (default 99)\n"
                 "  -n NICK       sender nickname (default KELTUP-SEND)\n"
                 "  -l LOCALPORT  local UDP port (default 0: any free port)\n"
                 "  -f FILE       take server, port and nick from a settings file first\n"
                 "The message is the words after RECIPIENT, or standard input when there are\n"
                 "none. Exit code 0: the server confirmed it; 1: no receipt; 2: bad usage.\n");
}

static int parse_port(const char* text, int* port) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || v < 0 || v > 65535) return 0;
    *port = static_cast<int>(v);
    return 1;
}

// Checks a text the client would otherwise cut short without a word: every byte must be
// printable-range ASCII (tabs and line breaks allowed in bodies) and it must fit.
static int check_text(const char* what, const char* text, int limit, int body) {
    int n = 0;
    for (; text[n] != '\0'; ++n) {
        unsigned char c = static_cast<unsigned char>(text[n]);
        if (c >= 0x80 || (c < 0x20 && !(body && (c == '\n' || c == '\t' || c == '\r')))) {
            std::fprintf(stderr, "keltup-send: the %s holds a byte (0x%02X) that cannot be sent\n",
                         what, c);
            return 0;
        }
    }
    if (n > limit) {
        std::fprintf(stderr, "keltup-send: the %s is %d characters long; at most %d fit\n", what, n,
                     limit);
        return 0;
    }
    return 1;
}

static void to_upper(char* s) {
    for (; *s != '\0'; ++s)
        *s = static_cast<char>(std::toupper(static_cast<unsigned char>(*s)));
}

int main(int argc, char** argv) {
    console_set_program("keltup-send");
    const char* server = nullptr;
    const char* sender = nullptr;
    const char* file = nullptr;
    int port = -1;
    int local = 0;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--") == 0) {
            ++i;
            break;
        }
        if (std::strcmp(a, "-h") == 0 || std::strcmp(a, "--help") == 0) {
            usage();
            return EXIT_SENT;
        }
        if (i + 1 >= argc || a[2] != '\0') {
            usage();
            return EXIT_USAGE;
        }
        const char* v = argv[++i];
        int ok = 1;
        switch (a[1]) {
        case 's':
            server = v;
            break;
        case 'n':
            sender = v;
            break;
        case 'f':
            file = v;
            break;
        case 'p':
            ok = parse_port(v, &port);
            break;
        case 'l':
            ok = parse_port(v, &local);
            break;
        default:
            ok = 0;
        }
        if (!ok) {
            usage();
            return EXIT_USAGE;
        }
    }
    if (i >= argc) {
        usage();
        return EXIT_USAGE;
    }
    const char* recipient = argv[i++];

    // The settings the endpoint and the sender read.
    std::strcpy(servername, "127.0.0.1");
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
    if (sender != nullptr) {
        if (!check_text("nickname", sender, NICK_SIZE - 1, 0)) return EXIT_USAGE;
        std::memset(nick, 0, sizeof nick);
        std::strcpy(nick, sender);
    }
    to_upper(nick);
    if (port >= 0) remoteport = port;
    localport = local;

    Datagram d;
    std::memset(&d, 0, sizeof d);
    if (!check_text("recipient", recipient, NICK_SIZE - 1, 0)) return EXIT_USAGE;
    std::strcpy(d.recipient, recipient);
    to_upper(d.recipient);

    if (i < argc) {
        int used = 0;
        for (; i < argc; ++i) {
            int n = std::snprintf(d.body + used, static_cast<size_t>(BODY_SIZE - used), "%s%s",
                                  used > 0 ? " " : "", argv[i]);
            if (n < 0 || used + n > MAX_BODY) {
                std::fprintf(stderr, "keltup-send: the message is longer than %d characters\n",
                             MAX_BODY);
                return EXIT_USAGE;
            }
            used += n;
        }
    } else {
        size_t n = std::fread(d.body, 1, MAX_BODY + 1, stdin);
        if (n > MAX_BODY) {
            std::fprintf(stderr, "keltup-send: the message is longer than %d characters\n",
                         MAX_BODY);
            return EXIT_USAGE;
        }
        if (std::memchr(d.body, '\0', n) != nullptr) {
            std::fprintf(stderr, "keltup-send: the message holds a NUL byte\n");
            return EXIT_USAGE;
        }
        d.body[n] = '\0';
        // A message piped from echo or a file ends with one line break the sender did not type.
        if (n > 0 && d.body[n - 1] == '\n') d.body[--n] = '\0';
    }
    if (!check_text("message", d.body, MAX_BODY, 1)) return EXIT_USAGE;
    clean_text(d.recipient, NICK_SIZE);
    clean_text(d.body, BODY_SIZE - 1);

    // Two senders started in the same second must not draw the same id.
    random_seed(static_cast<unsigned>(std::time(nullptr)) ^
                (static_cast<unsigned>(getpid()) << 16));
    if (!endpoint_open(0)) return EXIT_NOT_SENT;
    send_message(&d);
    endpoint_cleanup();
    return console_receipt_count() > 0 ? EXIT_SENT : EXIT_NOT_SENT;
}
