// The baseline for the relay benchmark: the least a UDP relay can do. The first client to send
// becomes the destination; every datagram is forwarded there and answered with a bare receipt.
//   udp_forward          one datagram a system call
//   udp_forward --batch  up to NET_BATCH a system call each way (recvmmsg/sendmmsg)
#include "server/net.h"

#include <cstdio>
#include <cstring>
#include <poll.h>

static void plain(int fd) {
    NetAddr dest = {0, 0};
    static char buf[2048];
    for (;;) {
        net_wait(fd, -1);
        NetAddr from;
        int len;
        while ((len = net_recv(fd, buf, sizeof buf, &from)) >= 0) {
            if (len > static_cast<int>(sizeof buf) || len < 77) continue;
            if (dest.port == 0) dest = from;
            net_send(fd, buf, len, &dest);
            buf[3] = 'R';
            net_send(fd, buf, 77, &from);
        }
    }
}

static void batched(int fd) {
    NetAddr dest = {0, 0};
    static char in[NET_BATCH][2048];
    static char receipt[NET_BATCH][77];
    static NetMsg rx[NET_BATCH], tx[2 * NET_BATCH];
    for (int i = 0; i < NET_BATCH; ++i)
        rx[i].data = in[i];
    for (;;) {
        net_wait(fd, -1);
        int got;
        while ((got = net_recv_batch(fd, rx, NET_BATCH, sizeof in[0])) > 0) {
            int n = 0;
            for (int i = 0; i < got; ++i) {
                if (rx[i].len > static_cast<int>(sizeof in[0]) || rx[i].len < 77) continue;
                if (dest.port == 0) dest = rx[i].addr;
                tx[n++] = {in[i], rx[i].len, dest};
                std::memcpy(receipt[i], in[i], 77);
                receipt[i][3] = 'R';
                tx[n++] = {receipt[i], 77, rx[i].addr};
            }
            for (int sent = 0; sent < n;)
                sent += net_send_batch(fd, tx + sent, n - sent) + 1; // a failed one is skipped
        }
    }
}

int main(int argc, char** argv) {
    char err[128];
    int fd = net_open("127.0.0.1", 0, err, sizeof err);
    if (fd < 0) {
        std::fprintf(stderr, "udp_forward: %s\n", err);
        return 1;
    }
    NetAddr local;
    net_local(fd, &local);
    std::printf("listening on 127.0.0.1:%u\n", local.port);
    std::fflush(stdout);
    if (argc > 1 && std::strcmp(argv[1], "--batch") == 0)
        batched(fd);
    else
        plain(fd);
}
