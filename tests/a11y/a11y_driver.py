#!/usr/bin/python3
"""a11y_driver: answers the updater's windows with the keyboard, reading them over AT-SPI.

    a11y_driver.py --pid PID --log FILE [--shots DIR] [--answer ok|cancel] [--settle S]

A driver for scripts/demo-run --accessible --driver (run under dbus-run-session, so that
the updater and this driver share the accessibility bus). For each window of process PID
that comes up it writes one JSON line to FILE: its kind, role, name and description, the
tree below it (role, name, description, states, key binding, labelled-by), the control
focused when it opened, the controls Tab visits from there (xdotool) and the key it
answered with. When the process
has ended, a last line holds the values that progress bars sent over the bus.

Keys: every window but the checking dialog and the download window is answered with
Return, the proxy dialog after typing demo / s3cret into the fields its mnemonics reach
(Alt+U, Alt+P); A11Y_KEYS=kind=KEY,... names other keys (Escape). --answer cancel
answers the new-version question with Escape.
"""

import argparse
import json
import os
import re
import subprocess
import time

import pyatspi
from gi.repository import Atspi, GLib

# What a message says tells which of the updater's windows it is (English texts).
KINDS = (
    ("question", r"^A new version"),
    ("up-to-date", r"already up to date"),
    ("install", r"^Download completed"),
    ("network", r"^Cannot establish connection"),
    ("warning", r"^(Could not connect|The update package could not)"),
)
STATES = ("focusable", "focused", "is default", "showing", "editable", "read only", "modal",
          "active", "multi line", "single line")


def xdotool(*args):
    subprocess.run(["xdotool"] + list(args), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


def pump(seconds):
    end = time.monotonic() + seconds
    context = GLib.MainContext.default()
    while time.monotonic() < end:
        while context.iteration(False):
            pass
        time.sleep(0.02)


def walk(acc, depth=0):
    yield depth, acc
    for child in acc:
        if child is not None:
            yield from walk(child, depth + 1)


def node(acc):
    held = {pyatspi.stateToString(s) for s in acc.getState().getStates()}
    names = [s for s in STATES if s in held]
    keys = ""
    try:
        action = acc.queryAction()
        keys = ";".join(action.getKeyBinding(i) for i in range(action.nActions) if action.getKeyBinding(i))
    except NotImplementedError:
        pass
    labelled = [r.getTarget(i).name for r in acc.getRelationSet()
                if r.getRelationType() == pyatspi.RELATION_LABELLED_BY for i in range(r.getNTargets())]
    x, y, _, _ = acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return {"role": acc.getRoleName(), "name": acc.name, "description": acc.description,
            "states": names, "keys": keys, "labelledBy": labelled, "pos": [x, y]}


def focused(window):
    # The deepest focusable one: a button box that holds the focused button says it is
    # focused too, and so does a text box's viewport.
    names = [acc.name for _, acc in walk(window)
             if acc.getState().contains(pyatspi.STATE_FOCUSED) and acc.getState().contains(pyatspi.STATE_FOCUSABLE)]
    return names[-1] if names else None


def kind_of(window, tree):
    roles = [n["role"] for n in tree]
    if window.getRoleName() == "frame":
        return "download"
    if "progress bar" in roles:
        return "checking"
    if "password text" in roles:
        return "proxy"
    for kind, pattern in KINDS:
        if any(n["role"] == "label" and re.search(pattern, n["name"]) for n in tree):
            return kind
    return "unknown"


class Driver:
    def __init__(self, args):
        self.pid = args.pid
        self.log = open(args.log, "a", encoding="utf-8")
        self.keys = dict(item.split("=", 1) for item in os.environ.get("A11Y_KEYS", "").split(",") if "=" in item)
        if args.answer == "cancel":
            self.keys.setdefault("question", "Escape")
        self.settle = args.settle
        self.values = []
        self.listening = False

    def on_value(self, event):
        try:
            self.values.append({"name": event.source.name, "value": event.source.queryValue().currentValue})
        except Exception:  # the bar may be gone already
            pass

    def write(self, record):
        self.log.write(json.dumps(record, ensure_ascii=False) + "\n")
        self.log.flush()

    def windows(self):
        for app in pyatspi.Registry.getDesktop(0):
            try:
                mine = app is not None and app.get_process_id() == self.pid
            except Exception:  # an application that has left
                mine = False
            if mine:
                app.set_cache_mask(Atspi.Cache.NONE)
                # Only once the application is on the bus: a listener that comes while its
                # bridge starts may never be known to it.
                if not self.listening:
                    pyatspi.Registry.registerEventListener(self.on_value, "object:property-change:accessible-value")
                    self.listening = True
                return [w for w in app if w is not None and w.getState().contains(pyatspi.STATE_SHOWING)]
        return []

    def tab_cycle(self, window, start):
        visited, current = [start], start
        for _ in range(8):
            xdotool("key", "Tab")
            for _ in range(40):
                pump(0.05)
                now = focused(window)
                if now != current:
                    break
            current = now
            if current == start or current is None:
                break
            visited.append(current)
        return visited

    def handle(self, window):
        tree = [dict(node(acc), depth=depth) for depth, acc in walk(window)]
        kind = kind_of(window, tree)
        record = {"kind": kind, **{k: tree[0][k] for k in ("role", "name", "description")}, "tree": tree}
        record["focus"] = focused(window)
        record["tab"] = self.tab_cycle(window, record["focus"])
        key = self.keys.get(kind, "" if kind in ("checking", "download") else "Return")
        record["key"] = key
        self.write(record)
        if kind == "proxy" and key == "Return":
            for mnemonic, text in (("alt+u", "demo"), ("alt+p", "s3cret")):
                xdotool("key", mnemonic)
                xdotool("type", text)
        if key:
            xdotool("key", key)

    def active_window(self, handled):
        shown = {w.path: w for w in self.windows()}
        handled &= set(shown)
        for path, window in shown.items():
            if path not in handled and window.getState().contains(pyatspi.STATE_ACTIVE):
                return window
        return None

    def run(self):
        # Each window is read when it has the keyboard, once for each time it is shown.
        handled = set()
        while alive(self.pid):
            pump(0.1)
            try:
                window = self.active_window(handled)
                if window is None:
                    continue
                pump(self.settle)
                again = self.active_window(handled)
                if again is None or again.path != window.path:
                    continue
            except Exception:  # the application or the window left the bus meanwhile
                continue
            handled.add(window.path)
            try:
                self.handle(window)
            except Exception as error:
                # The checking dialog and the download window may close by themselves
                # while they are read; any other window waits for its answer.
                closed = not window.getState().contains(pyatspi.STATE_SHOWING)
                self.write({"kind": "closed" if closed else "error", "error": repr(error)})
        self.write({"values": self.values})


def main():
    parser = argparse.ArgumentParser(prog="a11y_driver")
    parser.add_argument("--pid", type=int, required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--shots")
    parser.add_argument("--answer", choices=("ok", "cancel"), default="ok")
    parser.add_argument("--settle", type=float, default=0.5)
    Driver(parser.parse_args()).run()


if __name__ == "__main__":
    main()
