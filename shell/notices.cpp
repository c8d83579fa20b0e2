// The server's notices on screen: a bounded nesting of boxes and a fixed ring of waiting texts.
#include "shell/notices.h"

#include <cstdio>
#include <cstring>

#include "platform/ui.h"
#include "shell/shell.h"

// Waiting texts, NUL after each, oldest at ring_head; ring_used bytes from there on, wrapping.
static char ring[NOTICE_WAITING_BYTES];
static int ring_head;
static int ring_used;
static int waiting;
// Notices that gave way since the last box that said so.
static int given_way;
// The text of each open box, by depth: a slot is free again once its box has closed.
static char showing[NOTICE_BOXES][NOTICE_TEXT_SIZE];
static int open_boxes;

static void drop_oldest() {
    while (ring[ring_head] != 0) {
        ring_head = (ring_head + 1) % NOTICE_WAITING_BYTES;
        --ring_used;
    }
    ring_head = (ring_head + 1) % NOTICE_WAITING_BYTES;
    --ring_used;
    --waiting;
}

int notice_push(const char* text) {
    int len = static_cast<int>(strnlen(text, NOTICE_TEXT_SIZE - 1));
    int dropped = 0;
    while (ring_used + len + 1 > NOTICE_WAITING_BYTES) {
        drop_oldest();
        ++dropped;
    }
    int at = (ring_head + ring_used) % NOTICE_WAITING_BYTES;
    for (int i = 0; i < len; ++i)
        ring[(at + i) % NOTICE_WAITING_BYTES] = text[i];
    ring[(at + len) % NOTICE_WAITING_BYTES] = 0;
    ring_used += len + 1;
    ++waiting;
    given_way += dropped;
    return dropped;
}

int notice_pop(char* out, int size) {
    if (waiting == 0) return 0;
    int n = 0;
    while (ring[ring_head] != 0) {
        if (n < size - 1) out[n++] = ring[ring_head];
        ring_head = (ring_head + 1) % NOTICE_WAITING_BYTES;
        --ring_used;
    }
    if (size > 0) out[n] = 0;
    ring_head = (ring_head + 1) % NOTICE_WAITING_BYTES;
    --ring_used;
    --waiting;
    return 1;
}

int notices_waiting() {
    return waiting;
}

int notices_open() {
    return open_boxes;
}

void notices_reset() {
    ring_head = 0;
    ring_used = 0;
    waiting = 0;
    given_way = 0;
    open_boxes = 0;
}

void notice_show(const char* text) {
    notice_push(text);
    // Nested timer ticks inside a box come back here; at the bound they only add to the line, and
    // the box that closes next takes the oldest waiting notice.
    while (open_boxes < NOTICE_BOXES) {
        char* slot = showing[open_boxes];
        if (given_way > 0) {
            // The notices that gave way were older than all that still wait: say so in their place.
            snprintf(slot, NOTICE_TEXT_SIZE,
                     "%d notices from the server were not kept: too many were waiting.", given_way);
            given_way = 0;
        } else if (!notice_pop(slot, NOTICE_TEXT_SIZE)) {
            break;
        }
        ++open_boxes;
        ui_message_box(main_window, slot, "KelTup", UI_MB_OK);
        --open_boxes;
    }
}
