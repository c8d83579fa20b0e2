// The baseline for the relay benchmark: the least a UDP relay can do. The first client to send
// becomes the destination; every datagram is forwarded there and answered with a bare receipt.
#include "protocol/relay_net.h"

#include <cstdio>
#include <cstring>
#include <poll.h>

int main() {
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
