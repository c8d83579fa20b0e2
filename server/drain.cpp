// The batched drain: receives what waits on the socket, handles each datagram and sends what
// came of them, a few system calls for many datagrams.
#include "server/relay_internal.h"
#include "server/state.h"

#include <cstring>

// One batch of the drain: what came in, what was made of it, what goes out.
static char batch_in[NET_BATCH][RECORD_SIZE + 1];
static NetMsg batch_rx[NET_BATCH];
static RelayOut batch_out[NET_BATCH][2];
static NetMsg batch_tx[2 * NET_BATCH];
static int batch_of[2 * NET_BATCH];
static RelayOutcome batch_what[NET_BATCH];
static uint32_t batch_kept[NET_BATCH];
// Copies of group messages and operator notices taken from relay_group_next and
// relay_notice_next and not sent yet: queued_at to queued_count. Set blocked when the socket
// would not take the next one: they wait for it to be writable.
static RelayOut queued_out[NET_BATCH];
static NetMsg queued_tx[NET_BATCH];
static int queued_at, queued_count;
static int blocked;

// The system call's view of one datagram to send.
static void outgoing(NetMsg* m, RelayOut* o) {
    m->data = o->data;
    m->len = o->len;
    m->addr = o->to;
}

void drain_clear() {
    std::memset(batch_in, 0, sizeof batch_in);
    std::memset(static_cast<void*>(batch_out), 0, sizeof batch_out);
    std::memset(static_cast<void*>(queued_out), 0, sizeof queued_out);
    queued_at = queued_count = 0;
    blocked = 0;
}

static void log_datagram(const NetAddr* from, int len, RelayOutcome what, const RelayOut* first) {
    if (relay_config.log_level < LOG_VERBOSE) return;
    char a[NET_ADDR_TEXT];
    net_format(from, a, sizeof a);
    if (what == RELAY_DROPPED) {
        relay_log(LOG_VERBOSE, "%s: %d bytes dropped (%s)", a, len, kDropNames[relay_last_drop()]);
        return;
    }
    if (what == RELAY_REFUSED) {
        relay_log(LOG_VERBOSE, "%s: refused, its nickname held by another host", a);
        return;
    }
    // The receipt names both: its recipient is the author.
    const Datagram* d = reinterpret_cast<const Datagram*>(first->data);
    char s[NICK_SIZE], r[NICK_SIZE];
    if (d->kind == KIND_RECEIPT) {
        relay_printable(d->recipient, NICK_SIZE, s, sizeof s);
        relay_printable(d->sender, NICK_SIZE, r, sizeof r);
    } else {
        relay_printable(d->sender, NICK_SIZE, s, sizeof s);
        relay_printable(d->recipient, NICK_SIZE, r, sizeof r);
    }
    if (what == RELAY_GROUP_REFUSED) {
        relay_log(LOG_VERBOSE, "%s: a message to a group refused", a);
        return;
    }
    static const char* const names[] = {"",        "delivered", "resend", "unknown recipient",
                                        "dropped", "refused",   "group"};
    relay_log(LOG_VERBOSE, "%s: %s -> %s: %s", a, s, r, names[what]);
}

// Sends the batch's first count datagrams in order. batch_of names each one's datagram; when one
// cannot be sent the rest of that datagram's are not, and a delivery whose forward failed is
// undone.
static void send_all(int fd, int count) {
    int i = 0;
    while (i < count) {
        i += net_send_batch(fd, batch_tx + i, count - i);
        if (i >= count) break;
        ++relay_stats.send_failed;
        int k = batch_of[i];
        if (batch_what[k] == RELAY_DELIVERED && (i == 0 || batch_of[i - 1] != k)) {
            // No receipt for a message that did not leave; the sender will resend.
            --relay_stats.delivered;
            resend_forget(batch_kept[k]);
        }
        while (i < count && batch_of[i] == k)
            ++i;
    }
}

// Before a batch is handled: the chain heads its messages will be looked up in, then the newest
// record of each chain, fetched into the cache all at once rather than waited for one by one.
static void prefetch_batch(int got) {
    static uint32_t chain[NET_BATCH];
    for (int k = 0; k < got; ++k)
        chain[k] = resend_prefetch_chain(&batch_rx[k].addr, batch_in[k], batch_rx[k].len);
    for (int k = 0; k < got; ++k)
        resend_prefetch_record(chain[k]);
}

// Sends at most budget copies of group messages and operator notices, a batch a system call. One
// the socket has no room for waits until it is writable; one the network refuses is counted.
static void send_queued(int fd, int budget, long long now) {
    blocked = 0;
    while (budget > 0) {
        if (queued_at == queued_count) {
            int want = budget < NET_BATCH ? budget : NET_BATCH;
            queued_at = queued_count = 0;
            while (queued_count < want && (relay_group_next(&queued_out[queued_count], now) ||
                                           relay_notice_next(&queued_out[queued_count]))) {
                outgoing(&queued_tx[queued_count], &queued_out[queued_count]);
                ++queued_count;
            }
            if (queued_count == 0) return;
        }
        int sent = net_send_batch(fd, queued_tx + queued_at, queued_count - queued_at);
        queued_at += sent;
        budget -= sent;
        if (queued_at < queued_count) {
            if (net_send_blocked()) {
                blocked = 1;
                return;
            }
            ++relay_stats.send_failed;
            ++queued_at;
            --budget;
        }
    }
}

void relay_send_queued(int fd, long long now) {
    send_queued(fd, NET_BATCH, now);
}

int relay_drain_pending() {
    if (queued_at == queued_count && !relay_group_pending() && !relay_notice_pending())
        return DRAIN_IDLE;
    return blocked ? DRAIN_BLOCKED : DRAIN_NOW;
}

int relay_drain_forget(long long now) {
    int left = queued_count - queued_at;
    RelayOut out;
    while (relay_group_next(&out, now) || relay_notice_next(&out))
        ++left;
    queued_at = queued_count = 0;
    blocked = 0;
    return left;
}

int relay_drain(int fd, long long now) {
    int count = 0;
    int copied = 0;
    // A bounded batch, so that a flood cannot keep signals waiting.
    while (count < RELAY_BATCH) {
        int want = RELAY_BATCH - count < NET_BATCH ? RELAY_BATCH - count : NET_BATCH;
        for (int k = 0; k < want; ++k)
            batch_rx[k].data = batch_in[k];
        int got = net_recv_batch(fd, batch_rx, want, RECORD_SIZE);
        if (got <= 0) break;
        count += got;
        prefetch_batch(got);
        int sends = 0;
        for (int k = 0; k < got; ++k) {
            int n = 0;
            batch_what[k] = relay_handle(batch_in[k], batch_rx[k].len, &batch_rx[k].addr, now,
                                         batch_out[k], &n);
            batch_kept[k] = resend_last();
            log_datagram(&batch_rx[k].addr, batch_rx[k].len, batch_what[k], &batch_out[k][0]);
            for (int i = 0; i < n; ++i, ++sends) {
                outgoing(&batch_tx[sends], &batch_out[k][i]);
                batch_of[sends] = k;
            }
        }
        // What was learned is in the state file before any answer leaves.
        state_flush(now);
        send_all(fd, sends);
        // Copies and notices between batches, a batch at a time, so neither waits long.
        if (relay_drain_pending()) {
            send_queued(fd, NET_BATCH, now);
            copied += NET_BATCH;
        }
        if (got < want) break; // the queue is empty
    }
    if (copied < RELAY_GROUP_TURN) send_queued(fd, RELAY_GROUP_TURN - copied, now);
    return count;
}
