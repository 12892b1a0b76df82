#!/usr/bin/python3
"""The updater's windows as a screen reader and a keyboard user meet them.

    test_a11y.py UPDATER MKPACKAGE LANG_DIR MORAVEL_KEY

Headless demo runs (scripts/demo-run --accessible), each on a session bus of its own
with at-spi2-core's bus and registry, driven by this file (--pid ...): it reads each
window that takes the keyboard over AT-SPI (pyatspi), walks it with Tab, answers it with
keys (xdotool) and writes it to the run's driver.log, then the progress values that
reached the bus. The runner checks what a screen reader and a keyboard user meet (see
check_window), what the keys did, and prints each window's tree.
"""

import json
import os
import re
import subprocess
import sys
import time

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
INSTALLED = "MoravelReader-7.1.0.200.run: installed Moravel Reader"
CONTROL_ROLES = {"push button", "progress bar", "text", "password text"}
STATES = ("focusable", "focused", "is default", "showing", "active", "editable", "read only", "multi line")
# Which window a message is, by what it says (English).
MESSAGES = (("question", "^A new version"), ("up-to-date", "already up to date"), ("install", "^Download completed"),
            ("network", "^Cannot establish connection"), ("warning", "^(Could not connect|The update package)"))
# kind: its controls (role, name) in the order of the tree, and where the focus starts
WINDOWS = {
    "checking": ([("progress bar", "Update check progress"), ("push button", "Cancel")], "Cancel"),
    "proxy": ([("text", "User name:"), ("password text", "Password:"), ("push button", "Cancel"),
               ("push button", "OK")], "User name:"),
    "question": ([("push button", "Cancel"), ("push button", "OK")], "OK"),
    "download": ([("progress bar", "Download progress"), ("text", "Description:"), ("push button", "Cancel")],
                 "Cancel"),
    "install": ([("push button", "Cancel"), ("push button", "Install")], "Install"),
    "warning": ([("push button", "OK")], "OK"),
    "up-to-date": ([("push button", "OK")], "OK"),
    "network": ([("push button", "OK")], "OK"),
}
# name, demo-run arguments, keys other than Return (kind=KEY), windows at least so often,
# what the run did when the keys did what the buttons say
RUNS = [
    ("update", ["--proxy", "ask", "--drop", "JSWordCount.js", "--reply-rate", "300", "--rate", "300k"], "",
     {"proxy": 1, "checking": 1, "question": 1, "download": 1, "install": 2, "warning": 1},
     lambda d: INSTALLED in read(d, "reader/install.log")),
    ("declined", ["--reply-rate", "300"], "question=Escape", {"checking": 1, "question": 1},
     lambda d: not read(d, "reader/install.log") and len(read(d, "nginx/access.log").splitlines()) == 1),
    ("cancelled", ["--reply-rate", "300", "--rate", "100k"], "download=Escape", {"question": 1, "download": 1},
     lambda d: not read(d, "reader/install.log") and "install" not in read(d, "driver.log")),
    ("offline", ["--offline"], "", {"network": 1}, lambda d: True),
    ("up-to-date", ["--up-to-date"], "", {"up-to-date": 1}, lambda d: True),
]


def read(d, name=""):
    try:
        with open(os.path.join(d, name) if name else d, encoding="utf-8") as f:
            return f.read()
    except OSError:
        return ""


# ---- the driver: scripts/demo-run runs it with --pid PID --log FILE ... ----

def drive(pid, log, settle):
    import pyatspi
    from gi.repository import Atspi, GLib

    keys = dict(k.split("=", 1) for k in os.environ.get("A11Y_KEYS", "").split(",") if "=" in k)
    values, listening, handled = [], [], set()

    def pump(seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            while GLib.MainContext.default().iteration(False):
                pass
            time.sleep(0.02)

    def walk(acc, depth=0):
        yield depth, acc
        for child in acc:
            yield from walk(child, depth + 1) if child is not None else ()

    def node(depth, acc):
        held = {pyatspi.stateToString(s) for s in acc.getState().getStates()}
        try:
            action = acc.queryAction()
            bindings = ";".join(filter(None, (action.getKeyBinding(i) for i in range(action.nActions))))
        except NotImplementedError:
            bindings = ""
        return {"depth": depth, "role": acc.getRoleName(), "name": acc.name, "description": acc.description,
                "states": [s for s in STATES if s in held], "keys": bindings,
                "pos": list(acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS))[:2],
                "labelledBy": [r.getTarget(i).name for r in acc.getRelationSet()
                               if r.getRelationType() == pyatspi.RELATION_LABELLED_BY for i in range(r.getNTargets())]}

    def focused(window):
        # The deepest focusable one: a button box or a text box's viewport say so too.
        names = [a.name for _, a in walk(window) if a.getState().contains(pyatspi.STATE_FOCUSED)
                 and a.getState().contains(pyatspi.STATE_FOCUSABLE)]
        return names[-1] if names else None

    def on_value(event):
        try:
            values.append({"name": event.source.name, "value": event.source.queryValue().currentValue})
        except Exception:  # the bar is gone already
            pass

    def active_window():
        for app in pyatspi.Registry.getDesktop(0):
            try:
                if app is None or app.get_process_id() != pid:
                    continue
            except Exception:  # an application that has left
                continue
            app.set_cache_mask(Atspi.Cache.NONE)
            # Listening only once the application is on the bus: a listener that comes
            # while its bridge starts may never be known to it.
            if not listening:
                pyatspi.Registry.registerEventListener(on_value, "object:property-change:accessible-value")
                listening.append(True)
            shown = {w.path: w for w in app if w is not None and w.getState().contains(pyatspi.STATE_SHOWING)}
            handled.intersection_update(shown)
            return next((w for p, w in shown.items() if p not in handled
                         and w.getState().contains(pyatspi.STATE_ACTIVE)), None)
        return None

    def handle(window):
        tree = [node(d, a) for d, a in walk(window)]
        kind = ("download" if tree[0]["role"] == "frame" else "checking" if any(n["role"] == "progress bar" for n in tree)
                else "proxy" if any(n["role"] == "password text" for n in tree)
                else next((k for k, p in MESSAGES if any(n["role"] == "label" and re.search(p, n["name"])
                                                         for n in tree)), "unknown"))
        record = {"kind": kind, "tree": tree, "focus": focused(window)}
        record["tab"], current = [record["focus"]], record["focus"]
        for _ in range(8):
            subprocess.run(["xdotool", "key", "Tab"])
            for _ in range(40):
                pump(0.05)
                if focused(window) != current:
                    break
            current = focused(window)
            if current in (record["focus"], None):
                break
            record["tab"].append(current)
        record["key"] = keys.get(kind, "" if kind in ("checking", "download") else "Return")
        log.write(json.dumps(record) + "\n")
        log.flush()
        if kind == "proxy" and record["key"] == "Return":
            for mnemonic, text in (("alt+u", "demo"), ("alt+p", "s3cret")):
                subprocess.run(["xdotool", "key", mnemonic, "type", text])
        if record["key"]:
            subprocess.run(["xdotool", "key", record["key"]])

    def showing(window):
        try:
            return window.getState().contains(pyatspi.STATE_SHOWING)
        except Exception:
            return False

    while os.path.exists("/proc/%d" % pid) and "Z" not in read("/proc/%d/stat" % pid).split(")")[-1][:3]:
        pump(0.1)
        try:
            window = active_window()
            if window is None:
                continue
            pump(settle)
            again = active_window()
            if again is None or again.path != window.path:
                continue
        except Exception:  # the application has left the bus
            continue
        handled.add(window.path)
        try:
            handle(window)
        except Exception as error:
            # The checking dialog and the download window may close by themselves while
            # they are read; any other window waits for its answer.
            log.write(json.dumps({"kind": "error" if showing(window) else "gone", "error": repr(error)}) + "\n")
    log.write(json.dumps({"values": values}) + "\n")


# ---- the runner ----

passes = failures = 0


def check(what, ok):
    global passes, failures
    print(("ok   " if ok else "FAIL ") + what)
    passes, failures = passes + bool(ok), failures + (not ok)


def show(r):
    print("---- %s: %s" % (r["kind"], " | ".join("%s%s \"%s\"%s [%s]%s%s" % (
        "  " * n["depth"], n["role"], n["name"], " \"%s\"" % n["description"] if n["description"] else "",
        ", ".join(n["states"]), " keys " + n["keys"] if n["keys"] else "",
        " labelled by " + ", ".join(n["labelledBy"]) if n["labelledBy"] else "") for n in r["tree"]
        if n["depth"] == 0 or "showing" in n["states"]).replace(" | ", "\n")))


def check_window(run, r):
    what = "%s, %s window: " % (run, r["kind"])
    controls, focus = WINDOWS[r["kind"]]
    top, shown = r["tree"][0], [n for n in r["tree"][1:] if "showing" in n["states"]]
    check(what + "a %s named \"%s\"" % (top["role"], top["name"]), top["role"] in ("dialog", "frame", "alert")
          and top["name"])
    if top["role"] == "dialog":
        check(what + "described by what it says", top["description"] == [n["name"] for n in shown
                                                                          if n["role"] == "label"][0])
    check(what + "no focusable control without a name", all(n["name"] for n in shown if "focusable" in n["states"]))
    check(what + "its controls by role and name", [(n["role"], n["name"]) for n in shown
                                                   if n["role"] in CONTROL_ROLES] == controls)
    check(what + "text fields named by their labels", all(n["labelledBy"] == [n["name"]] for n in shown
                                                          if n["role"] in ("text", "password text")))
    if top["role"] != "alert":
        check(what + "each button has a mnemonic", all(re.search(r"Alt\+[A-Z]", n["keys"]) for n in shown
                                                       if n["role"] == "push button"))
    check(what + "the focus starts on \"%s\"" % focus, r["focus"] == focus)
    # The reading order: top to bottom, then left to right.
    reading = [n["name"] for n in sorted(shown, key=lambda n: (n["pos"][1], n["pos"][0]))
               if n["role"] in CONTROL_ROLES and "focusable" in n["states"]]
    start = reading.index(focus) if focus in reading else 0
    check(what + "Tab visits every control in reading order: %s" % r["tab"], r["tab"] == reading[start:] + reading[:start])


def main(updater, mkpackage, lang_dir, keytool):
    work = os.path.join(os.environ.get("TMPDIR", "/tmp"), "a11y")
    os.makedirs(work, exist_ok=True)
    for name, args, keys, expected, did in RUNS:
        d = os.path.join(work, name)
        print("== %s: demo-run %s%s" % (name, " ".join(args), ", keys " + keys if keys else ""))
        with open(d + ".out", "w") as out:
            rc = subprocess.call(["dbus-run-session", "--", os.path.join(ROOT, "scripts", "demo-run"), "--headless",
                                  "--accessible", "--driver", os.path.abspath(__file__), "--updater", updater,
                                  "--mkpackage", mkpackage, "--keytool", keytool, "--lang-dir", lang_dir,
                                  "--out", d, "--timeout", "180"] + args,
                                 stdout=out, stderr=subprocess.STDOUT, env=dict(os.environ, A11Y_KEYS=keys))
        f = failures
        records = [json.loads(line) for line in read(d, "driver.log").splitlines()]
        windows = [r for r in records if "tree" in r]
        seen = [r["kind"] for r in windows]
        check("%s: the run ends with 0" % name, rc == 0)
        check("%s: windows %s" % (name, seen), all(seen.count(k) >= n for k, n in expected.items())
              and set(seen) <= set(WINDOWS) and "error" not in [r.get("kind") for r in records])
        for r in windows:
            show(r)
            if r["kind"] in WINDOWS:
                check_window(name, r)
        check("%s: the keys did what the buttons say" % name, did(d))
        if name == "update":
            values = {v["value"] for r in records for v in r.get("values", []) if v["name"] == "Download progress"}
            check("update: the download's progress reaches the bus as it moves: %s" % sorted(values),
                  len([v for v in values if 0 < v < 100]) >= 3)
        if failures != f:
            print(read(d + ".out"), read(d, "updater.log")[-3000:])
    print("%d passed, %d failed" % (passes, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--pid"]:  # demo-run's driver: --pid PID --log FILE [--settle S] ...
        options = dict(zip(sys.argv[1::2], sys.argv[2::2]))
        with open(options["--log"], "a", encoding="utf-8") as log:
            drive(int(options["--pid"]), log, float(options.get("--settle", 0.5)))
    else:
        sys.exit(main(*sys.argv[1:5]))
