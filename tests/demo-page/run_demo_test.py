"""scripts/run-demo.sh as a person runs it, with DEMO_USB_ALLOW="Mouse,
Cruzer": the desk page in the client lists the fixture's three devices, the
keyboard disabled as not allowed by the server; the mouse connected from
the page is bound by the remote side, and unplugged (the device file
rewritten as the script says) it is released without an error on the page.
With the daemon killed, the page says so and no listed device can be used;
started again, the daemon is found by the client, and the rows are usable
again.

Usage: run_demo_test.py SOURCE_DIR PROGRAM_DIR DEMO_SERVER

PROGRAM_DIR is the folder of the built client, its USB server and daemon.
Runs in namespaces and on a display of its own (in-namespaces.sh): the
demo's USB ports are fixed. The script's install and build steps are the
test build's: it runs from a scratch folder whose build/ holds the built
programs and whose install and build scripts have nothing left to do.
"""
import json
import os
import re
import signal
import subprocess
import sys
import time

import devtools

SOURCE, PROGRAMS, DEMO_SERVER = sys.argv[1:4]

ROWS = """Array.from(document.querySelectorAll('#usb-devices tbody tr')).map(function (row) {
  var cells = row.querySelectorAll('td');
  return [cells[0].textContent, cells[2].textContent,
          row.querySelector('.usb-connect').disabled ? 'no connect' : 'connect'].join('|'); }).join('; ')"""
LOG = "Array.from(document.querySelectorAll('#usb-log li')).map(function (li) { return li.textContent; })"
USABLE = "document.querySelectorAll('#usb-devices tbody button:not([disabled])').length"
ERRORS = "Array.from(document.querySelectorAll('#usb-log li.error')).map(function (li) { return li.textContent; })"


def scratch_tree(work):
    tree = os.path.join(work, "tree")
    for folder in ("build/src/client", "build/tools/demo-server", "scripts", "tools/demo-server"):
        os.makedirs(os.path.join(tree, folder))
    os.symlink(PROGRAMS, os.path.join(tree, "build/src/client/app"))
    os.symlink(DEMO_SERVER, os.path.join(tree, "build/tools/demo-server/demo-server"))
    for script in ("scripts/run-demo.sh", "tools/demo-server/make-demo-stream.sh"):
        os.symlink(os.path.join(SOURCE, script), os.path.join(tree, script))
    for script in ("install-deps.sh", "build.sh"):
        with open(os.path.join(tree, "scripts", script), "w") as f:
            f.write("#!/bin/sh\n")
        os.chmod(os.path.join(tree, "scripts", script), 0o755)
    return tree


def stop(demo):
    """Ends run-demo.sh as Ctrl-C in its terminal does: the script ends what
    it started. Killed with its group when it has not ended in 30 s."""
    os.killpg(demo.pid, signal.SIGINT)
    try:
        demo.wait(30)
    except subprocess.TimeoutExpired:
        os.killpg(demo.pid, signal.SIGKILL)
        demo.wait()


def main():
    work, _, env = devtools.person_session(DEMO_USB_ALLOW="Mouse, Cruzer")
    tree = scratch_tree(work)
    out = os.path.join(work, "run-demo.out")
    with open(out, "w") as f:
        demo = subprocess.Popen(["scripts/run-demo.sh"], cwd=tree, env=env, stdin=subprocess.DEVNULL, stdout=f,
                                stderr=subprocess.STDOUT, start_new_session=True)

    def output():
        with open(out, errors="replace") as f:
            return f.read()

    restarted = []
    try:
        page = devtools.wait_for_page("/quarrydesk.html")
        devtools.wait_until(page, ROWS, "USB Optical Mouse|exported|connect; Cruzer Blade|exported|connect; "
                                        "Natural Ergonomic Keyboard|exported, not allowed by the server|no connect")

        devtools.evaluate(page, "document.querySelector('tr[data-address=\"1-1\"] .usb-connect').click()")
        devtools.wait_until(page, ROWS, "USB Optical Mouse|bound|no connect; Cruzer Blade|exported|connect; "
                                        "Natural Ergonomic Keyboard|exported, not allowed by the server|no connect")
        # Unplugged: a new file renamed over the device file.
        devices = re.search(r"^USB devices of the demo .*: (\S+)$", output(), re.M).group(1)
        with open(devices, encoding="utf-8") as f:
            fixture = json.load(f)
        fixture["VHDevList"] = [d for d in fixture["VHDevList"] if d["VHDevAddress"] != "1-1"]
        with open(devices + ".new", "w", encoding="utf-8") as f:
            json.dump(fixture, f)
        os.rename(devices + ".new", devices)
        devtools.wait_until(page, ROWS, "Cruzer Blade|exported|connect; "
                                        "Natural Ergonomic Keyboard|exported, not allowed by the server|no connect")
        gone = "remote USB client: 'USB Optical Mouse' (1-1) is gone from the USB server, nothing to release"
        deadline = time.monotonic() + 30
        while gone not in devtools.evaluate(page, LOG) and time.monotonic() < deadline:
            time.sleep(0.2)
        log = devtools.evaluate(page, LOG)
        assert gone in log, log
        assert devtools.evaluate(page, ERRORS) == [], log

        # The daemon killed: no device is usable while it is away.
        daemon = next(pid for pid in os.listdir("/proc")
                      if pid.isdigit() and open("/proc/%s/comm" % pid).read().strip() == "vhproxy")
        with open("/proc/%s/cmdline" % daemon, "rb") as f:
            command = [part.decode() for part in f.read().split(b"\0") if part]
        cwd = os.readlink("/proc/%s/cwd" % daemon)
        os.kill(int(daemon), signal.SIGKILL)
        devtools.wait_until(page, "document.getElementById('usb-status').className", "error")
        devtools.wait_until(page, USABLE, 0)
        # Started again as the script started it: found, and usable again.
        restarted.append(subprocess.Popen(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                          stderr=subprocess.DEVNULL))
        devtools.wait_until(page, ROWS, "Cruzer Blade|exported|connect; "
                                        "Natural Ergonomic Keyboard|exported, not allowed by the server|no connect")
        devtools.wait_until(page, "document.getElementById('usb-status').textContent", "2 device(s)")
    except Exception:
        print("---- run-demo.sh\n" + output()[-4000:])
        raise
    finally:
        for process in restarted:
            process.kill()
            process.wait()
        stop(demo)
    print("1 passed, 0 failed")


if __name__ == "__main__":
    main()
