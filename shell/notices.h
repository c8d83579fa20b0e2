// The server's notices on screen: each shows in a modal box of its own, at most NOTICE_BOXES at
// once; notices beyond that wait in arrival order and show as boxes close.
#pragma once

enum {
    // Boxes open at once: each runs a nested modal loop on the stack, so this bounds the nesting.
    NOTICE_BOXES = 8,
    // A notice's text as shown, its NUL included: a whole receive buffer's worth.
    NOTICE_TEXT_SIZE = 5000,
    // The texts that wait, each with its NUL. When a new one does not fit, the oldest waiting give
    // way and one box says how many.
    NOTICE_WAITING_BYTES = 256 * 1024,
};

// Puts the text behind the notices waiting, then shows waiting notices, oldest first, while fewer
// than NOTICE_BOXES are open. Returns when the boxes this call opened are closed.
void notice_show(const char* text);

// The waiting line, for the above and the tests. Push returns how many waiting notices gave way
// to make room; pop copies the oldest into out (at most size - 1 bytes and a NUL) and returns 1,
// or 0 when none waits.
int notice_push(const char* text);
int notice_pop(char* out, int size);
int notices_waiting();
// Boxes open now.
int notices_open();
// Back to no notices waiting or open (start-up, tests).
void notices_reset();
