// The program's side of the network: the endpoint's failure box, the arrivals sink (stores,
// notices, receipts) and the end of a send.
#include "shell/network.h"

#include "inbox/inbox.h"
#include "protocol/arrivals.h"
#include "protocol/endpoint.h"
#include "protocol/send.h"
#include "resources/resources.h"
#include "shell/notices.h"
#include "shell/shell.h"

int pending_arrivals;

int network_open(UiWnd owner) {
    EndpointFailure failure;
    if (endpoint_open(&failure)) return 1;
    ui_message_box(owner, failure.text, failure.caption,
                   failure.fatal ? UI_MB_ICONERROR : UI_MB_OK);
    return 0;
}

int network_store(const char* buf) {
    int stored = inbox_store(buf);
    if (stored) ui_tray_set(ICON_ON);
    return stored;
}

// Every datagram the poll or a send's wait accepts, by its kind. Boxes are modal: timer ticks
// inside them poll again (or, during a send, find the busy flag set); notices beyond the bound on
// open boxes wait their turn.
static int take(const Arrival* a) {
    switch (a->buf[3]) {
    case KIND_NOTICE:
        // The notice's own text as received, in the poll and during a send alike, in its turn.
        notice_show(a->buf + HEADER_SIZE);
        return ARRIVAL_OTHER;
    case KIND_GREETING:
    case KIND_MESSAGE: {
        int stored = network_store(a->buf);
        // Counted whatever the store returned: the poll that would open the viewer stands aside.
        if (a->sending) ++pending_arrivals;
        return stored;
    }
    case KIND_RECEIPT:
        // Outside a send a receipt is consumed and ignored.
        if (!a->sending) return ARRIVAL_OTHER;
        if (datagram_id(reinterpret_cast<const Datagram*>(a->buf)) == a->id) {
            ui_message_box(main_window, "Message Sent", "Send Message", UI_MB_OK);
            return ARRIVAL_CONFIRMED;
        }
        ui_message_box(main_window, "Wrong message!", "Response", UI_MB_OK);
        return ARRIVAL_OTHER;
    default:
        return ARRIVAL_OTHER;
    }
}

void network_listen() {
    arrivals_set_sink(take);
}

int network_send(Datagram* d) {
    int confirmed = send_message(d, ui_sleep);
    if (!confirmed)
        ui_message_box(main_window, "No response from server!", "Send Message", UI_MB_OK);
    return confirmed;
}
