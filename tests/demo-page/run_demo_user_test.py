"""scripts/run-demo.sh run by an ordinary user (uid 65534) in a copy of the
tree that the user owns: the script says first that the demo's USB sharing
needs root, why, and how to run it so; it starts the daemon vhproxy as that
user, whom the client does not trust with the daemon's port. The video
plays and the USB tunnel comes up; the page names the real cause of the
empty device list (a program of user 65534 holds the daemon's port), and
neither the page nor the client's log repeats it on the poll ticks that
follow.

Usage: run_demo_user_test.py SOURCE_DIR PROGRAM_DIR DEMO_SERVER

Runs as root in namespaces and on a display of its own (in-namespaces.sh):
the daemon's port is fixed. The programs are the test build's, as in
run_demo_test.py.
"""
import os
import subprocess
import time

import devtools
import run_demo_test

USER = 65534
CAUSE = ("The USB service's port 127.0.0.1:7679 is held by a program of user 65534, not by the vhproxy service, "
         "which runs as root; this client does not use it. To share USB devices, end that program and start "
         "vhproxy as root.")
LOG_LINE = ("vhProxySupport: The listener on 127.0.0.1:7679 belongs to user 65534, not to the vhproxy service; "
            "not using it")
STATUS = "document.getElementById('usb-status').className + ': ' + document.getElementById('usb-status').textContent"
CAUSE_ON_PAGE = ("Array.from(document.querySelectorAll('#usb-log li.error')).filter(function (li) {"
                 "  return li.textContent.indexOf(%r) == 0; }).length" % CAUSE)
ROWS = "document.querySelectorAll('#usb-devices tbody tr').length"


def hand_over(folder):
    """Makes the folder and everything in it the user's."""
    for top, folders, files in os.walk(folder):
        os.lchown(top, USER, USER)
        for name in folders + files:
            os.lchown(os.path.join(top, name), USER, USER)


def main():
    work, home, env = devtools.person_session()
    tree = run_demo_test.scratch_tree(work)
    hand_over(work)
    out = os.path.join(work, "run-demo.out")
    log = os.path.join(home, "quarrydesk-client.log")
    with open(out, "w") as f:
        demo = subprocess.Popen(["setpriv", "--reuid=%d" % USER, "--regid=%d" % USER, "--clear-groups",
                                 "scripts/run-demo.sh"], cwd=tree, env=env, stdin=subprocess.DEVNULL, stdout=f,
                                stderr=subprocess.STDOUT, start_new_session=True)

    def output():
        with open(out, errors="replace") as f:
            return f.read()

    def client_log():
        with open(log, errors="replace") as f:
            return f.read()

    try:
        page = devtools.wait_for_page("/quarrydesk.html")
        # Said before anything starts: what needs root, why, and how.
        text = output()
        note = text.find("Note: the demo's USB sharing needs root.")
        assert 0 <= note < text.find("Demo server at"), text
        for part in ("any user could put a", "Run as nobody, the daemon is nobody's",
                     "the video and the tunnel work", "    sudo scripts/run-demo.sh\n"):
            assert part in text, (part, text)

        # The video plays, and the USB tunnel is up.
        devtools.wait_until(page, "document.getElementById('stats').textContent.indexOf('screen 0: ') == 0", True)
        devtools.wait_until(page, "Array.from(document.querySelectorAll('#usb-log li')).some(function (li) {"
                                  "  return /^USB tunnel .* is up /.test(li.textContent); })", True)
        # The real cause, on the page and in the log.
        devtools.wait_until(page, STATUS, "error: " + CAUSE)
        assert devtools.evaluate(page, ROWS) == 0
        shown = devtools.evaluate(page, CAUSE_ON_PAGE)
        # Said once, not on every tick (1.2 s) that meets the daemon's port.
        time.sleep(8)
        assert devtools.evaluate(page, CAUSE_ON_PAGE) == shown == 1, devtools.evaluate(
            page, "Array.from(document.querySelectorAll('#usb-log li')).map(function (li) { return li.textContent; })")
        assert devtools.evaluate(page, STATUS) == "error: " + CAUSE
        assert client_log().count(LOG_LINE) == 1, client_log()[-6000:]
        assert "windows service manager" not in client_log(), client_log()[-6000:]
    except Exception:
        print("---- run-demo.sh\n" + output()[-4000:])
        raise
    finally:
        run_demo_test.stop(demo)
    print("1 passed, 0 failed")


if __name__ == "__main__":
    main()
