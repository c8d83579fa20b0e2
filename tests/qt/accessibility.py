#!/usr/bin/python3
# What a screen reader finds of keltup's dialogs on the accessibility bus (AT-SPI).
# Usage: accessibility.py PID check DIALOG   the dialog of that process that is on the screen
#        accessibility.py PID press TITLE BUTTON   presses a button the way a screen reader does
#        accessibility.py PID shown|gone TITLE   waits until a window is on the screen, or gone
#        accessibility.py PID fill TITLE FIELD TEXT   puts text in the window's field of that name
#        accessibility.py PID menu ITEM COMMAND...   chooses ITEM of the pop-up the command opens
# Every wait is bounded by a count of tries; a failure names what was wrong and exits 1.
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

TRIES = 50  # 0.2 s apart
pid = int(sys.argv[1])
failures = []


def fail(what):
    failures.append(what)


def app():
    for a in pyatspi.Registry.getDesktop(0):
        try:
            if a is not None and a.get_process_id() == pid:
                return a
        except Exception:
            pass
    return None


def walk(node):
    yield node
    for child in node:
        if child is not None:
            yield from walk(child)


def has(node, state):
    return node.getState().contains(state)


def text_of(node):
    try:
        t = node.queryText()
        return t.getText(0, t.characterCount)
    except NotImplementedError:
        return None


def labels_of(node):
    out = []
    for r in node.getRelationSet():
        if r.getRelationType() == pyatspi.RELATION_LABELLED_BY:
            out += [r.getTarget(i).name for i in range(r.getNTargets())]
    return out


def find_dialog(title):
    for _ in range(TRIES):
        a = app()
        for w in a or []:
            if w is not None and w.name == title and has(w, pyatspi.STATE_SHOWING):
                return w
        time.sleep(0.2)
    print("FAIL: no dialog %r of keltup on the bus" % title, file=sys.stderr)
    sys.exit(1)


def describe(node):
    return "%s %r" % (node.getRoleName(), node.name)


def check_common(dlg):
    """Every control that takes the focus has a name; no name carries a line break."""
    for n in walk(dlg):
        if "\n" in n.name or "\r" in n.name:
            fail("%s: its name has a line break" % describe(n))
        named = n.name.strip() or (n.getRole() == pyatspi.ROLE_COMBO_BOX and labels_of(n))
        if has(n, pyatspi.STATE_FOCUSABLE) and has(n, pyatspi.STATE_SHOWING) and not named:
            fail("%s (%r) takes the focus and has no name" % (describe(n), text_of(n)))


def fields(dlg, role):
    return [n for n in walk(dlg) if n.getRole() == role and has(n, pyatspi.STATE_SHOWING)]


def expect_fields(dlg, role, want):
    """want: (name, label or None, text or None) per field, in the dialog's order."""
    got = fields(dlg, role)
    names = [n.name for n in got]
    if names[: len(want)] != [w[0] for w in want]:
        fail("%s fields are named %r, not %r" % (dlg.name, names, [w[0] for w in want]))
        return
    for n, (name, label, text) in zip(got, want):
        if label is not None and label not in labels_of(n):
            fail("%s is labelled by %r, not by %r" % (describe(n), labels_of(n), label))
        if text is not None and text_of(n) != text:
            fail("%s reads %r, not %r" % (describe(n), text_of(n), text))


def expect_named(dlg, role, name):
    if not [n for n in walk(dlg) if n.getRole() == role and n.name == name]:
        fail("%s has nothing of role %s named %r" % (dlg.name, role, name))


def check(which):
    if which == "viewer":
        dlg = find_dialog("KelTup - 1 Messages")
        check_common(dlg)
        text = pyatspi.ROLE_TEXT
        expect_fields(dlg, text, [("To", "To:", "ALICE"), ("From", "From:", "CAROL"),
                                  ("Received", "Message", None),
                                  ("Message text", None, "hello from a script")])
        if failures:
            return
        for n in fields(dlg, text)[:3]:
            if not has(n, pyatspi.STATE_FOCUSABLE):
                fail("%s is not reached by Tab" % describe(n))
            if not has(n, pyatspi.STATE_READ_ONLY) and has(n, pyatspi.STATE_EDITABLE):
                fail("%s can be edited" % describe(n))
        when = text_of(fields(dlg, text)[2]) or ""
        if not when.strip() or "\n" in when:
            fail("the time field reads %r" % when)
        # The focus starts in the message, as on Windows, so the keys to the buttons stay the same.
        body = fields(dlg, text)[3]
        if not [n for n in walk(body) if has(n, pyatspi.STATE_FOCUSED)]:
            fail("the focus does not start in the message text")
        expect_named(dlg, pyatspi.ROLE_PUSH_BUTTON, "Previous message")
        expect_named(dlg, pyatspi.ROLE_PUSH_BUTTON, "Next message")
    elif which == "compose":
        dlg = find_dialog("KelTup")
        check_common(dlg)
        # Qt names a combo box after its text on Linux and gives its label by relation; the line
        # inside it, which has the focus while typing, carries the label's name.
        combos = fields(dlg, pyatspi.ROLE_COMBO_BOX)
        if len(combos) != 1 or "To:" not in labels_of(combos[0]):
            fail("the recipient's combo box is not labelled To: (%r)" %
                 [(c.name, labels_of(c)) for c in combos])
        else:
            lines = [n.name for n in walk(combos[0]) if n.getRole() == pyatspi.ROLE_TEXT]
            if lines != ["To"]:
                fail("the recipient's line is named %r, not 'To'" % lines)
        expect_named(dlg, pyatspi.ROLE_TEXT, "Message text")
    elif which == "settings":
        dlg = find_dialog("KelTup - Settings")
        check_common(dlg)
        expect_fields(dlg, pyatspi.ROLE_TEXT, [("Name", "Name:", "127.0.0.1"),
                                               ("Port", "Port:", None), ("Nick", "Nick:", "ALICE"),
                                               ("Port", "Port:", None)])
        expect_named(dlg, pyatspi.ROLE_CHECK_BOX, "Pop-Up")
    elif which == "about":
        dlg = find_dialog("About KelTup")
        check_common(dlg)
        if not [n for n in walk(dlg) if n.name == "KelTup logo"]:
            fail("the About picture has no name")
    else:
        fail("no such dialog: " + which)


def press(title, button):
    for n in walk(find_dialog(title)):
        if n.getRole() == pyatspi.ROLE_PUSH_BUTTON and n.name == button:
            n.queryAction().doAction(0)
            return
    fail("%s has no button %r" % (title, button))


def shown(title):
    for _ in range(TRIES):
        for w in app() or []:
            if w is not None and w.name == title and has(w, pyatspi.STATE_SHOWING):
                return True
        time.sleep(0.2)
    fail("nothing named %r on the screen" % title)


def gone(title):
    for _ in range(TRIES):
        if not [w for w in app() or [] if w is not None and w.name == title and
                has(w, pyatspi.STATE_SHOWING)]:
            return True
        time.sleep(0.2)
    fail("%r is still on the screen" % title)


def fill(title, field, text):
    for n in walk(find_dialog(title)):
        if n.getRole() == pyatspi.ROLE_TEXT and n.name == field and has(n, pyatspi.STATE_SHOWING):
            n.queryEditableText().setTextContents(text)
            return
    fail("%s has no field %r" % (title, field))


def menu(item, command):
    # A pop-up menu is not among the application's windows on the bus: it is found as it shows.
    shown = []

    def on_showing(event):
        try:
            src = event.source
            if event.detail1 and src.get_process_id() == pid and src.getRole() == pyatspi.ROLE_POPUP_MENU:
                shown.append(src)
                pyatspi.Registry.stop()
        except Exception:  # an object gone before it could be asked
            pass

    pyatspi.Registry.registerEventListener(on_showing, "object:state-changed:showing")
    GLib.timeout_add(100, lambda: subprocess.Popen(command) and False)
    GLib.timeout_add(TRIES * 200, pyatspi.Registry.stop)
    pyatspi.Registry.start()
    for m in shown:
        for n in m:
            if n is not None and n.name.replace("&", "") == item:
                n.queryAction().doAction(0)
                return
    fail("no pop-up menu with %r showed up" % item)


if sys.argv[2] == "dump":
    for n in walk(app()):
        print(describe(n), repr(n.description), text_of(n), n.getState().getStates())
elif sys.argv[2] == "shown":
    shown(sys.argv[3])
elif sys.argv[2] == "gone":
    gone(sys.argv[3])
elif sys.argv[2] == "check":
    check(sys.argv[3])
elif sys.argv[2] == "fill":
    fill(sys.argv[3], sys.argv[4], sys.argv[5])
elif sys.argv[2] == "menu":
    menu(sys.argv[3], sys.argv[4:])
elif sys.argv[2] == "press":
    press(sys.argv[3], sys.argv[4])
else:
    fail("no such command: " + sys.argv[2])
for f in failures:
    print("FAIL: " + f, file=sys.stderr)
sys.exit(1 if failures else 0)
