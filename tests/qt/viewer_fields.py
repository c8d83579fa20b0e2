#!/usr/bin/python3
# The named fields of one of keltup's windows as a screen reader reads them (AT-SPI), a line each:
# "NAME<tab>TEXT". Usage: viewer_fields.py PID TITLE. Waits a bounded time for the window.
import sys
import time

import pyatspi

pid, title = int(sys.argv[1]), sys.argv[2]


def window():
    for a in pyatspi.Registry.getDesktop(0):
        try:
            if a is None or a.get_process_id() != pid:
                continue
        except Exception:
            continue
        for w in a:
            if w is not None and w.name == title:
                return w
    return None


def walk(node):
    yield node
    for child in node:
        if child is not None:
            yield from walk(child)


for _ in range(50):
    w = window()
    if w is not None:
        break
    time.sleep(0.2)
else:
    print("no window %r of process %d" % (title, pid), file=sys.stderr)
    sys.exit(1)
for n in walk(w):
    try:
        t = n.queryText()
        text = t.getText(0, t.characterCount)
    except NotImplementedError:
        continue
    if n.name.strip():
        print("%s\t%s" % (n.name, text.replace("\n", " ")))
