#include "protocol/send.h"

#include "inbox/inbox.h"
#include "protocol/endpoint.h"
#include "settings/settings.h"
#include "shell/shell.h"

#include <cstring>

int pending_arrivals;

enum { TRIES = 10, WAIT_MS = 200, WAIT_MIN = 61, WAIT_MAX = 4095, WAIT_BUFFER = 4096 };

// Drains the endpoint after a send; returns 1 when a receipt for `id` was among the datagrams.
static int drain(unsigned id) {
    int confirmed = 0;
    char buf[WAIT_BUFFER + 1];
    for (;;) {
        std::memset(buf, 0, sizeof buf);
        int len = endpoint_recv(buf, WAIT_BUFFER);
        if (len < 0) break;
        if (!datagram_accept(buf, len, WAIT_MIN, WAIT_MAX)) continue;
        switch (buf[3]) {
        case KIND_NOTICE:
            // The notice's own text, as the poll shows it.
            ui_message_box(main_window, buf + HEADER_SIZE, "KelTup", UI_MB_OK);
            break;
        case KIND_GREETING:
        case KIND_MESSAGE:
            inbox_store(buf);
            ++pending_arrivals;
            break;
        case KIND_RECEIPT:
            if (datagram_id(reinterpret_cast<const Datagram*>(buf)) == id) {
                ui_message_box(main_window, "Message Sent", "Send Message", UI_MB_OK);
                confirmed = 1;
            } else {
                ui_message_box(main_window, "Wrong message!", "Response", UI_MB_OK);
            }
            break;
        default:
            break;
        }
    }
    return confirmed;
}

void send_message(Datagram* d) {
    unsigned id = static_cast<unsigned>(random_next()) & 0xFFFF;
    datagram_complete(d, nick, id);
    busy_flag = 1;
    int confirmed = 0;
    int tries = 0;
    while (tries < TRIES) {
        endpoint_send(d, datagram_send_length(d));
        ++tries;
        ui_sleep(WAIT_MS);
        if (drain(id)) confirmed = 1;
        if (confirmed) break;
    }
    busy_flag = 0;
    if (!confirmed)
        ui_message_box(main_window, "No response from server!", "Send Message", UI_MB_OK);
}
