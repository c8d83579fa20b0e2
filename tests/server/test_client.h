// A client of the real relay in process tests: one UDP socket on 127.0.0.1 that sends records as
// the tray client fills them and reads what comes back.
#pragma once

#include "protocol/datagram.h"
#include "server/net.h"

#include <cstring>

struct TestClient {
    int fd = -1;
    NetAddr addr = {0, 0};
    int wait_ms; // how long recv waits: a bound against hangs, not a measurement

    explicit TestClient(int wait = 10000, const char* host = "127.0.0.1") : wait_ms(wait) {
        char err[128];
        fd = net_open(host, 0, err, sizeof err);
        net_local(fd, &addr);
    }
    ~TestClient() { net_close(fd); }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    void send_raw(const void* data, int len, const NetAddr& to) { net_send(fd, data, len, &to); }
    // A message as the client sends it; returns its length.
    int send(const NetAddr& relay, const char* from, const char* to, const char* body,
             unsigned id) {
        Datagram d;
        std::memset(&d, 0, sizeof d);
        std::strncpy(d.recipient, to, NICK_SIZE - 1);
        std::strncpy(d.body, body, BODY_SIZE - 2);
        char self[NICK_SIZE] = {};
        std::strncpy(self, from, NICK_SIZE - 1);
        datagram_complete(&d, self, id);
        int len = datagram_send_length(&d);
        send_raw(&d, len, relay);
        return len;
    }
    // The next datagram within wait (default wait_ms), or an empty record with -1.
    int recv(Datagram* d, int wait = -1) {
        std::memset(d, 0, sizeof *d);
        if (net_wait(fd, wait < 0 ? wait_ms : wait) != 1) return -1;
        return net_recv(fd, d, sizeof *d, nullptr);
    }
    // The next datagram of the given kind, others skipped; -1 when none comes.
    int recv_kind(Datagram* d, char kind) {
        int n;
        while ((n = recv(d)) >= 0)
            if (d->kind == kind) return n;
        return -1;
    }
    // Sends as a client does, up to ten tries 200 ms apart until the receipt for id comes; then
    // whether a notice followed it. Returns 0 without a receipt, 1 with a receipt alone, 2 with
    // a notice.
    int send_with_receipt(const NetAddr& relay, const char* from, const char* to, const char* body,
                          unsigned id) {
        Datagram d;
        for (int tries = 0; tries < 10; ++tries) {
            send(relay, from, to, body, id);
            while (recv(&d, 200) > 0)
                if (d.kind == KIND_RECEIPT && datagram_id(&d) == id)
                    return recv(&d, 200) > 0 && d.kind == KIND_NOTICE ? 2 : 1;
        }
        return 0;
    }
    // Whether a message with this body arrives (others skipped).
    bool receives(const char* body) {
        Datagram d;
        for (int i = 0; i < 1000 && recv(&d) > 0; ++i)
            if (d.kind == KIND_MESSAGE && std::strcmp(d.body, body) == 0) return true;
        return false;
    }
};
