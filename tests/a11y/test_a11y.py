#!/usr/bin/python3
"""The updater's windows as a screen reader and a keyboard user meet them.

    test_a11y.py UPDATER MKPACKAGE LANG_DIR MORAVEL_KEY

Runs the headless demo (scripts/demo-run --accessible) against its slowed nginx site,
each run with the updater on a session bus of its own (dbus-run-session) and its
toolkit's AT-SPI bridge on, and a11y_driver.py reading each window over at-spi2-core's bus and answering it
with keys (xdotool). Checks every window's role, name and description, that no focusable
control is unnamed, its controls' roles and names, text fields named by their labels,
mnemonics, the focus when it opens and the Tab order against the reading order; that
Enter, Escape and the mnemonics do what the buttons say (what the run then did), and
that the progress bar's values reach the bus during a download. Prints every window's
tree as AT-SPI shows it.
"""

import json
import os
import re
import subprocess
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
UPDATER, MKPACKAGE, LANG_DIR, KEYTOOL = sys.argv[1:5]
WORK = os.path.join(os.environ.get("TMPDIR", "/tmp"), "a11y")
INSTALLED = "MoravelReader-7.1.0.200.run: installed Moravel Reader"

# kind: the controls (role, name) in the order of the tree, and where the focus starts.
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
CONTROL_ROLES = {"push button", "progress bar", "text", "password text"}

# name, demo-run arguments, keys (A11Y_KEYS), the windows at least so often, what the run did
RUNS = [
    ("update", ["--proxy", "ask", "--drop", "JSWordCount.js", "--reply-rate", "300", "--rate", "300k"], "",
     {"proxy": 1, "checking": 1, "question": 1, "download": 1, "install": 2, "warning": 1},
     lambda d: INSTALLED in read(d, "reader/install.log")),
    ("declined", ["--reply-rate", "300"], "question=Escape", {"checking": 1, "question": 1},
     lambda d: not read(d, "reader/install.log") and requests(d) == 1),
    ("cancelled", ["--reply-rate", "300", "--rate", "100k"], "download=Escape", {"question": 1, "download": 1},
     lambda d: not read(d, "reader/install.log") and "install" not in kinds(d)),
    ("offline", ["--offline"], "", {"network": 1}, lambda d: True),
    ("up-to-date", ["--up-to-date"], "", {"up-to-date": 1}, lambda d: True),
]

passes = failures = 0


def check(what, ok):
    global passes, failures
    print(("ok   " if ok else "FAIL ") + what)
    passes, failures = passes + bool(ok), failures + (not ok)
    return ok


def read(d, name=""):
    try:
        with open(os.path.join(d, name) if name else d, encoding="utf-8") as f:
            return f.read()
    except OSError:
        return ""


def records(d):
    return [json.loads(line) for line in read(d, "driver.log").splitlines()]


def kinds(d):
    return [r.get("kind") for r in records(d)]


def requests(d):
    return len(read(d, "nginx/access.log").splitlines())


def show(record):
    print("---- %s: %s \"%s\" \"%s\"" % (record["kind"], record["role"], record["name"], record["description"]))
    for n in record["tree"][1:]:
        print("%s%s \"%s\"%s [%s]%s%s" % ("  " * n["depth"], n["role"], n["name"],
                                          " \"%s\"" % n["description"] if n["description"] else "",
                                          ", ".join(n["states"]), " keys " + n["keys"] if n["keys"] else "",
                                          " labelled by " + ", ".join(n["labelledBy"]) if n["labelledBy"] else ""))


def check_window(run, r):
    kind, tree = r["kind"], r["tree"]
    what = "%s, %s window: " % (run, kind)
    controls, focus = WINDOWS[kind]
    shown = [n for n in tree[1:] if "showing" in n["states"]]
    check(what + "a %s named \"%s\"" % (r["role"], r["name"]), r["role"] in ("dialog", "frame", "alert") and r["name"])
    if r["role"] == "dialog":
        labels = [n["name"] for n in shown if n["role"] == "label"]
        check(what + "described by what it says", labels and r["description"] == labels[0])
    check(what + "every focusable control has a name",
          all(n["name"] for n in shown if "focusable" in n["states"]))
    check(what + "its controls by role and name", [(n["role"], n["name"]) for n in shown
                                                   if n["role"] in CONTROL_ROLES] == controls)
    check(what + "each text field is named by the label it stands by",
          all(n["labelledBy"] == [n["name"]] for n in shown if n["role"] in ("text", "password text")))
    if r["role"] != "alert":
        check(what + "each button has a mnemonic", all(re.search(r"Alt\+[A-Z]", n["keys"])
                                                       for n in shown if n["role"] == "push button"))
    check(what + "the focus starts on \"%s\"" % focus, r["focus"] == focus)
    # Reading order: by rows, top to bottom, then left to right.
    reading = [n["name"] for n in sorted(shown, key=lambda n: (n["pos"][1], n["pos"][0]))
               if n["role"] in CONTROL_ROLES and "focusable" in n["states"]]
    start = reading.index(focus) if focus in reading else 0
    check(what + "Tab visits every control in reading order: %s" % r["tab"], r["tab"] == reading[start:] + reading[:start])


def main():
    os.makedirs(WORK, exist_ok=True)
    for name, args, keys, expected, did in RUNS:
        d = os.path.join(WORK, name)
        print("== %s: demo-run %s%s" % (name, " ".join(args), ", keys " + keys if keys else ""))
        # Each run on a session bus of its own, with an accessibility bus and registry of its own.
        with open(d + ".out", "w") as out:
            rc = subprocess.call(["dbus-run-session", "--", os.path.join(ROOT, "scripts", "demo-run"),
                                  "--headless", "--accessible",
                                  "--driver", os.path.join(ROOT, "tests", "a11y", "a11y_driver.py"),
                                  "--updater", UPDATER, "--mkpackage", MKPACKAGE, "--keytool", KEYTOOL,
                                  "--lang-dir", LANG_DIR, "--out", d, "--timeout", "90"] + args,
                                 stdout=out, stderr=subprocess.STDOUT, env=dict(os.environ, A11Y_KEYS=keys))
        f = failures
        check("%s: the run ends with 0" % name, rc == 0)
        windows = [r for r in records(d) if "tree" in r]
        seen = [r["kind"] for r in windows]
        check("%s: windows %s" % (name, seen), all(seen.count(k) >= n for k, n in expected.items())
              and all(k in WINDOWS for k in seen) and "error" not in kinds(d))
        for r in windows:
            show(r)
            if r["kind"] in WINDOWS:
                check_window(name, r)
        check("%s: the keys did what the buttons say" % name, did(d))
        if name == "update":
            values = [v["value"] for r in records(d) for v in r.get("values", [])
                      if v["name"] == "Download progress"]
            check("%s: the download's progress reaches the bus as it moves (%d values)" % (name, len(values)),
                  len({v for v in values if 0 < v < 100}) >= 3)
        if failures != f:
            print(read(d + ".out"), read(d, "updater.log")[-3000:])
    print("%d passed, %d failed" % (passes, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
