#!/usr/bin/python3
"""Reads the console's status window through the at-spi accessibility bus, as
a screen reader does: the console runs on the demo plant (in Swedish, as it
always is) in a scratch installation; every network and device of the
configuration it saves when stopped must have been read as a panel with its
name and a description of its kind and lamps, and the lamps' words must change
while the demo's tasks run. Without --inside the script runs itself again on a
private session bus (which at-spi's bus launcher needs) and virtual display.
Exit status 77 (skipped) only when the at-spi packages are missing."""

import argparse
import importlib.util
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

DEADLINE_S = 20.0


def relaunch():
    missing = [t for t in ("dbus-run-session", "xvfb-run") if not shutil.which(t)]
    if not os.path.exists("/usr/share/dbus-1/services/org.a11y.Bus.service"):
        missing.append("at-spi2-core")
    if importlib.util.find_spec("pyatspi") is None:
        missing.append("python3-pyatspi")
    if missing:
        print(" - skipped: not installed: " + ", ".join(missing))
        return 77
    env = dict(os.environ, GDK_BACKEND="x11")
    env.pop("NO_AT_BRIDGE", None)  # GTK leaves its at-spi bridge out when set
    return subprocess.call(["dbus-run-session", "--", "xvfb-run", "-a", "-s", "-screen 0 1024x768x24",
                            sys.executable, os.path.abspath(__file__), "--inside"] + sys.argv[1:], env=env)


def start_console(args, root):
    """The layout rule's local installation: bin, data, locale and the
    configuration folder in root."""
    os.makedirs(os.path.join(root, "bin"))
    os.makedirs(os.path.join(root, "home"))
    os.symlink(os.path.abspath(args.plugins), os.path.join(root, "bin", "plugins"))
    os.symlink(os.path.abspath(args.data), os.path.join(root, "data"))
    os.symlink(os.path.abspath(args.locale), os.path.join(root, "locale"))
    env = dict(os.environ, HOME=os.path.join(root, "home"))
    env.pop("XDG_CONFIG_HOME", None)
    with open(os.path.join(root, "err.txt"), "w") as err:
        return subprocess.Popen([os.path.abspath(args.program)], cwd=os.path.join(root, "bin"), env=env,
                                stdout=subprocess.DEVNULL, stderr=err)


def status_items(pyatspi, pid):
    """{name: (role, description)} of the console's named panels and headings."""
    items = {}

    def walk(node):
        if node.getRoleName() in ("panel", "heading") and node.name:
            items[node.name] = (node.getRoleName(), node.description or "")
        for i in range(node.childCount):
            walk(node.getChildAtIndex(i))

    try:
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.get_process_id() == pid:
                walk(app)
    except Exception:  # objects vanish while the window is built
        return {}
    return items


def poll(console, read, done):
    """read() until done(reading, previous reading) or the deadline."""
    deadline, previous = time.monotonic() + DEADLINE_S, None
    while time.monotonic() < deadline and console.poll() is None:
        reading = read()
        if done(reading, previous):
            return reading
        previous = reading
        time.sleep(0.2)
    return None


def configured(path):
    """{name: how its description starts} of the saved networks and devices."""
    sections = []
    with open(path, encoding="utf-8") as f:
        for line in (raw.strip() for raw in f):
            if line.startswith("["):
                sections.append({"": line.strip("[]").lower()})
            elif sections and "=" in line:
                key, value = line.split("=", 1)
                sections[-1][key.strip().lower()] = value.strip()
    expected = {}
    for s in sections:
        if s[""].startswith("network."):
            expected[s.get("name", "")] = "Nätverk, "
        elif s[""].startswith("device."):
            expected[s.get("name", "")] = "Enhet, %s; " % s["hardware"] if "hardware" in s else "Enhet; "
    return expected


def check(pyatspi, console, root):
    read = lambda: status_items(pyatspi, console.pid)  # noqa: E731
    # The panels come with the core's events: a network and a device, and
    # two readings alike.
    first = poll(console, read, lambda now, before: before is not None and now.keys() == before.keys() and
                 {d.split(",")[0] for _, d in now.values()} >= {"Nätverk", "Enhet"})
    if first is None:
        return ["the status window's panels did not show through at-spi; last read: %r" % read()]
    problems = []
    headings = sorted(n for n, (role, _) in first.items() if role == "heading")
    if headings != ["Enheter", "Klienter", "Nätverk"]:
        problems.append("headings read: %r" % headings)
    # The demo's tasks write the boiler every 2 s. That later reading is the
    # one compared with the configuration: by then every panel is there.
    later = poll(console, read, lambda now, _: any(d != first[n][1] for n, (_, d) in now.items() if n in first))
    if later is None:
        problems.append("no panel's description changed while the demo's tasks ran")

    console.send_signal(signal.SIGTERM)  # closes as the operator would, saving
    if console.wait(timeout=DEADLINE_S) != 0:
        return problems + ["the console did not end well on SIGTERM"]
    expected = configured(os.path.join(root, "plexord.ini"))
    panels = {n: d for n, (role, d) in (later or first).items() if role == "panel"}
    if len(expected) < 2 or sorted(panels) != sorted(expected):
        problems.append("panels read %r, configured %r" % (sorted(panels), sorted(expected)))
    for name, kind in sorted(expected.items()):
        description = panels.get(name, "")
        print(" - %s: %s" % (name, description))
        if not description.startswith(kind) or "; läsning: " not in description or "; skrivning: " not in description:
            problems.append("%s: description %r, expected %r and both lamps" % (name, description, kind))
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--program", "--plugins", "--data", "--locale"):
        parser.add_argument(option, required=True)
    parser.add_argument("--inside", action="store_true", help="already on a private bus and display")
    args = parser.parse_args()
    if not args.inside:
        return relaunch()
    import pyatspi

    root = tempfile.mkdtemp(prefix="opsdesk-a11y-")
    console = None
    try:
        console = start_console(args, root)
        problems = check(pyatspi, console, root)
    finally:
        if console and console.poll() is None:
            console.kill()
            console.wait()
        err = os.path.join(root, "err.txt")
        errors = open(err, errors="replace").read() if os.path.exists(err) else ""
        shutil.rmtree(root, ignore_errors=True)
    for p in problems:
        print(" ! " + p, file=sys.stderr)
    if problems:
        print(" ! the console's standard error:\n" + errors[-3000:], file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
