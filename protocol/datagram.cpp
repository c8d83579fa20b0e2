#include "protocol/datagram.h"

#include <cstring>

static_assert(sizeof(Datagram) == RECORD_SIZE, "the record is the wire layout");

const char kRelayMark[4] = {'R', 'L', 'Y', '1'};

void clean_text(char* field, int size) {
    if (size <= 1) {
        if (size == 1) field[0] = '\0';
        return;
    }
    int i = 0;
    for (; i < size - 1; ++i) {
        unsigned char c = static_cast<unsigned char>(field[i]);
        if (c == 0 || c >= 0x80) break;
    }
    field[i] = '\0';
}

void datagram_complete(Datagram* d, const char* nick, unsigned id) {
    std::memcpy(d->sender, nick, NICK_SIZE);
    clean_text(d->sender, NICK_SIZE);
    d->id[0] = static_cast<unsigned char>(id & 0xFF);
    d->id[1] = static_cast<unsigned char>((id >> 8) & 0xFF);
    std::memcpy(d->magic, "KT1", 3);
    d->kind = KIND_MESSAGE;
}

int datagram_send_length(const Datagram* d) {
    // The body is cleaned before sending, but stay inside the field whatever the caller did.
    int n = 0;
    while (n < BODY_SIZE - 1 && d->body[n] != '\0')
        ++n;
    return HEADER_SIZE + n + 1;
}

unsigned datagram_id(const Datagram* d) {
    return static_cast<unsigned>(d->id[0]) | (static_cast<unsigned>(d->id[1]) << 8);
}

int datagram_accept(char* buf, int len, int min, int max) {
    if (len < min || len > max) return 0;
    buf[len] = '\0';
    return std::memcmp(buf, "KT1", 3) == 0 ? 1 : 0;
}

static unsigned random_state = 1;

void random_seed(unsigned seed) {
    random_state = seed;
}

int random_next() {
    random_state = random_state * 214013u + 2531011u;
    return static_cast<int>((random_state >> 16) & 0x7FFF);
}
