// The client's receive path: the timer poll and the send's receipt wait, reading datagrams the
// input makes from an endpoint of this file's own and handing them to the application's arrivals
// sink, which stores into the Inbox and shows boxes through the fake UI layer.
// An input is a run of steps: queue a datagram (of a length the input picks, so the poll's 60 to
// 5000 and the receipt wait's 61 to 4095 windows are met at both edges, and short and oversized
// ones come too), queue a pause (an empty queue for one receive), poll, send, delete an entry.
// Message boxes may poll again, as the timer does inside a modal loop; a send's sleeps may queue.
// Checked:
// - every stored entry's fields end inside their fields and hold only bytes below 0x80;
// - outside a send the Inbox is never taken past 5 entries;
// - a notice box shows what came after the header up to the first NUL of a notice taken earlier,
//   never one older than a notice already shown (notices wait their turn behind open boxes);
// - "Message Sent" only for a receipt of the message being sent, "Wrong message!" for another.
#include "fuzz/fuzz_input.h"
#include "inbox/inbox.h"
#include "inbox/viewer.h"
#include "platform/fake/fake_dialogs.h"
#include "platform/fake/fake_ui.h"
#include "protocol/busy.h"
#include "protocol/datagram.h"
#include "protocol/endpoint.h"
#include "protocol/receive.h"
#include "settings/settings.h"
#include "shell/network.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

// What the endpoint holds: datagrams, and pauses (a receive that finds the queue empty).
struct Queued {
    std::string bytes;
    int pause;
};
std::vector<Queued> queue;
size_t queue_at; // the next to receive

// The datagram the last receive took, whole, and what the last send sent.
std::string taken;
// The texts of the notices taken so far, and how many of them are behind the last one shown.
std::vector<std::string> notices_taken;
size_t notices_passed;
std::string notice_text();
std::string sent;
int sends;

FuzzInput in;
int sending;
int stored_by_polls; // during a send, by polls in its last box (the busy flag clear by then)
int box_depth;       // polls from message boxes under way

} // namespace

// --- the endpoint, over the queue ----------------------------------------------------------------

int endpoint_open(EndpointFailure*) {
    return 1;
}

int endpoint_is_open() {
    return 1;
}

int endpoint_send(const void* data, int len) {
    sent.assign(static_cast<const char*>(data), static_cast<size_t>(len));
    ++sends;
    return len;
}

// As the sockets layer does: the first len bytes of the datagram land in buf; a longer datagram
// is lost, reported as an error.
int endpoint_recv(void* buf, int len) {
    if (queue_at == queue.size()) return -1;
    const Queued& q = queue[queue_at++];
    if (q.pause) return -1;
    taken = q.bytes;
    if (taken.size() >= 4 && taken.compare(0, 3, "KT1") == 0 && taken[3] == KIND_NOTICE)
        notices_taken.push_back(notice_text());
    size_t n =
        q.bytes.size() < static_cast<size_t>(len) ? q.bytes.size() : static_cast<size_t>(len);
    std::memcpy(buf, q.bytes.data(), n);
    return q.bytes.size() > static_cast<size_t>(len) ? -1 : static_cast<int>(q.bytes.size());
}

void endpoint_cleanup() {}

void endpoint_check_address() {}

namespace {

// Lengths at the edges of what the receivers take, and at the record's own size.
const int kLengths[16] = {0,    3,    59,   60,   61,   75,   76,   77,
                          1075, 1076, 1077, 4095, 4096, 4097, 5000, 5001};

int pick_length() {
    unsigned code = fuzz_byte(&in);
    if (code < 0x80) return kLengths[code & 15];
    return static_cast<int>(fuzz_word(&in) % 5100);
}

// A datagram: its length, then its bytes from the input, then a fill byte to its length.
void queue_raw() {
    int len = pick_length();
    char fill = static_cast<char>(fuzz_byte(&in));
    std::string d(static_cast<size_t>(len), fill);
    size_t given = fuzz_word(&in) % 1200;
    if (given > d.size()) given = d.size();
    fuzz_bytes(&in, &d[0], given);
    queue.push_back({d, 0});
}

// A record of a kind, fields from the input, at a length from the input (cut or zero-padded).
void queue_record() {
    static const char kKinds[6] = {KIND_MESSAGE, KIND_GREETING, KIND_NOTICE,
                                   KIND_RECEIPT, 'm',           'X'};
    unsigned how = fuzz_byte(&in);
    Datagram d;
    std::memset(&d, 0, sizeof d);
    std::memcpy(d.magic, "KT1", 3);
    d.kind = kKinds[(how & 0x1F) % 6];
    if ((how & 0x80) && sent.size() >= 6) {
        std::memcpy(d.id, &sent[4], 2); // the id of the message being sent
    } else {
        d.id[0] = static_cast<unsigned char>(fuzz_byte(&in));
        d.id[1] = static_cast<unsigned char>(fuzz_byte(&in));
    }
    if (how & 0x40) {
        fuzz_bytes(&in, d.sender, NICK_SIZE);
        fuzz_bytes(&in, d.recipient, NICK_SIZE);
    } else {
        std::strcpy(d.sender, "ALICE");
        std::strcpy(d.recipient, "FUZZ");
    }
    size_t body = fuzz_word(&in) % (BODY_SIZE + 1);
    fuzz_bytes(&in, d.body, body);
    int len =
        (how & 0x20) ? pick_length() : HEADER_SIZE + static_cast<int>(strnlen(d.body, body)) + 1;
    std::string bytes(static_cast<size_t>(len), '\0');
    std::memcpy(&bytes[0], &d, static_cast<size_t>(len < RECORD_SIZE ? len : RECORD_SIZE));
    queue.push_back({bytes, 0});
}

void check_text(const char* field, int size, const char* what) {
    int n = static_cast<int>(strnlen(field, static_cast<size_t>(size)));
    if (n >= size) fuzz_fail("stored entry: %s runs past its field", what);
    for (int i = 0; i < n; ++i)
        if (static_cast<unsigned char>(field[i]) >= 0x80)
            fuzz_fail("stored entry: %s holds byte 0x%02X", what,
                      static_cast<unsigned char>(field[i]));
}

// Walks the Inbox, checking its links and every entry; returns the number of entries.
int check_inbox() {
    int n = 0;
    const InboxEntry* prev = nullptr;
    for (const InboxEntry* e = inbox.head; e; e = e->next) {
        if (e->prev != prev) fuzz_fail("entry %d: its link back is wrong", n + 1);
        check_text(e->record->sender, NICK_SIZE, "sender");
        check_text(e->record->recipient, NICK_SIZE, "recipient");
        check_text(e->record->body, BODY_SIZE, "body");
        if (strnlen(e->time_text, sizeof e->time_text) != 25)
            fuzz_fail("entry %d: a time text of other than 25 characters", n + 1);
        prev = e;
        ++n;
    }
    return n;
}

// What a notice box must show for the datagram just taken: its bytes after the header, up to
// the first NUL (the receivers write one after the datagram's bytes).
std::string notice_text() {
    if (taken.size() <= HEADER_SIZE) return "";
    std::string rest = taken.substr(HEADER_SIZE);
    return rest.substr(0, rest.find('\0'));
}

void on_box(int, const char* text, const char* caption) {
    int valid = taken.size() >= 4 && taken.compare(0, 3, "KT1") == 0;
    char kind = valid ? taken[3] : 0;
    if (std::strcmp(caption, "KelTup") == 0) {
        // A box saying how many notices gave way stands in for older ones; any other shows the
        // next notice taken, or a later one where the sink refused those between.
        if (std::strstr(text, " notices from the server were not kept") == nullptr) {
            size_t i = notices_passed;
            while (i < notices_taken.size() && notices_taken[i] != text)
                ++i;
            if (i == notices_taken.size())
                fuzz_fail("a notice box shows other text than a notice's not yet shown");
            notices_passed = i + 1;
        }
    } else if (std::strcmp(text, "Message Sent") == 0 || std::strcmp(text, "Wrong message!") == 0) {
        if (kind != KIND_RECEIPT || !sending) fuzz_fail("a receipt's box without a receipt");
        int same = taken.size() >= 6 && sent.size() >= 6 && taken.compare(4, 2, sent, 4, 2) == 0;
        if (same != (text[0] == 'M'))
            fuzz_fail("\"%s\" for a receipt of %s", text, same ? "this message" : "another");
    }
    // The modal loop lets the timer tick: a poll, which must not read at all while a send waits.
    if (fuzz_byte(&in) & 1) {
        int busy = busy_flag;
        size_t waiting = queue_at;
        int before = check_inbox();
        ++box_depth;
        int stored = receive_poll();
        --box_depth;
        int after = check_inbox();
        if (busy && (stored != 0 || queue_at != waiting))
            fuzz_fail("a poll read the endpoint while the busy flag was set");
        if (after > before && after > INBOX_LIMIT) fuzz_fail("a poll took the Inbox to %d", after);
        if (sending && box_depth == 0) stored_by_polls += after - before;
    }
}

void poll() {
    int before = check_inbox();
    int stored = receive_poll();
    int after = check_inbox();
    if (stored < 0 || stored > INBOX_LIMIT) fuzz_fail("the poll returned %d", stored);
    if (after > before && after > INBOX_LIMIT) fuzz_fail("a poll took the Inbox to %d", after);
    if (after < before) fuzz_fail("a poll lost entries");
}

void send() {
    Datagram d;
    std::memset(&d, 0, sizeof d);
    fuzz_bytes(&in, d.recipient, NICK_SIZE);
    clean_text(d.recipient, NICK_SIZE);
    fuzz_bytes(&in, d.body, fuzz_byte(&in));
    clean_text(d.body, BODY_SIZE - 1);
    int before = check_inbox();
    int arrivals = pending_arrivals;
    sends = 0;
    stored_by_polls = 0;
    sending = 1;
    network_send(&d);
    sending = 0;
    int after = check_inbox();
    if (busy_flag) fuzz_fail("the busy flag is still set after a send");
    if (sends < 1 || sends > 10) fuzz_fail("%d sends of one message", sends);
    if (static_cast<int>(sent.size()) != HEADER_SIZE + static_cast<int>(std::strlen(d.body)) + 1)
        fuzz_fail("a message of %zu bytes sent", sent.size());
    if (after - before - stored_by_polls != pending_arrivals - arrivals)
        fuzz_fail("%d stored during a send, %d arrivals counted", after - before - stored_by_polls,
                  pending_arrivals - arrivals);
}

void remove_one() {
    int n = check_inbox();
    if (n == 0) return;
    int at = static_cast<int>(fuzz_byte(&in)) % n;
    inbox.current = inbox.head;
    for (int i = 0; i < at; ++i)
        inbox.current = inbox.current->next;
    viewer_delete_current();
    if (check_inbox() != n - 1) fuzz_fail("a delete left %d of %d entries", check_inbox(), n);
}

// While a send sleeps between tries, the network may bring a record (the receipt, say).
void on_sleep(int) {
    if (fuzz_byte(&in) & 1) queue_record();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::strcpy(nick, "FUZZ");
    network_listen();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    in = {data, size, 0};
    queue_at = 0;
    random_seed(1);
    fake_ui_reset();
    fake_on_box = on_box;
    fake_on_sleep = on_sleep;
    while (fuzz_left(&in)) {
        unsigned op = fuzz_byte(&in);
        switch (op % 8) {
        case 0:
        case 1:
            queue_raw();
            break;
        case 2:
        case 3:
            queue_record();
            break;
        case 4:
            queue.push_back({"", 1});
            break;
        case 5:
            poll();
            break;
        case 6:
            send();
            break;
        case 7:
            remove_one();
            break;
        }
        if (fake_events.size() > 256) fake_events.clear();
    }
    // The next input starts from an empty Inbox.
    while (inbox.head) {
        inbox.current = inbox.head;
        inbox_remove_current();
    }
    inbox.current = nullptr;
    pending_arrivals = 0;
    // Nothing allocated here outlives the input (else every input would look like a leak).
    std::vector<Queued>().swap(queue);
    std::string().swap(sent);
    std::string().swap(taken);
    std::vector<std::string>().swap(notices_taken);
    notices_passed = 0;
    std::vector<std::string>().swap(fake_events);
    return 0;
}
