"""Follows "Forwarding a local web server" of tools/demo-server/README.md as
a person would: its commands as the README writes them (the stream of
"Running it", the local web server, the client's settings, the demo server
and the client in terminals of their own), then "Set up tunnel" clicked on
the desk page in the client, the page fetched with the README's curl
command, and "Remove tunnel".

Usage: readme_tunnel_test.py SOURCE_DIR CLIENT DEMO_SERVER

Runs where the README's fixed ports and paths are the test's own (network
and mount namespaces with a private /tmp, see in-namespaces.sh) and on a
display of its own. The README's build steps are the test build's: its
commands run in a scratch folder where build/tools/demo-server/demo-server
is the built demo server and scripts/run-client.sh starts the built client.
"""
import os
import re
import shlex
import signal
import subprocess
import sys
import time

import devtools

SOURCE, CLIENT, DEMO_SERVER = sys.argv[1:4]
README = os.path.join(SOURCE, "tools", "demo-server", "README.md")


def section_blocks(text, heading):
    """The fenced shell blocks of the README section under the heading."""
    lines = text.splitlines()
    start = lines.index(heading)
    level = len(heading) - len(heading.lstrip("#"))
    blocks, block = [], None
    for line in lines[start + 1:]:
        if block is None and re.match(r"#{1,%d} " % level, line):
            break
        if line.startswith("```"):
            if block is None:
                block = []
            else:
                blocks.append("\n".join(block) + "\n")
                block = None
        elif block is not None:
            block.append(line)
    return blocks


class Terminal:
    """One command line run as in a terminal of its own, output kept."""

    def __init__(self, command, cwd, env, log):
        self.log = log
        with open(log, "w") as out:
            self.process = subprocess.Popen(["bash", "-c", command], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                            stdout=out, stderr=subprocess.STDOUT, start_new_session=True)

    def text(self):
        with open(self.log, errors="replace") as f:
            return f.read()

    def close(self):
        try:
            os.killpg(self.process.pid, signal.SIGTERM)
        except OSError:
            pass
        try:
            self.process.wait(20)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()


def wait_for(what, condition, timeout=60):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("no " + what)
        time.sleep(0.2)


def scratch_tree(work):
    """The paths the README's commands name, pointing at the test build."""
    tree = os.path.join(work, "tree")
    for folder in ("build/tools/demo-server", "scripts", "tools/demo-server"):
        os.makedirs(os.path.join(tree, folder))
    os.symlink(DEMO_SERVER, os.path.join(tree, "build/tools/demo-server/demo-server"))
    os.symlink(os.path.join(SOURCE, "tools/demo-server/make-demo-stream.sh"),
               os.path.join(tree, "tools/demo-server/make-demo-stream.sh"))
    # What scripts/run-client.sh does once it has installed and built.
    with open(os.path.join(tree, "scripts/run-client.sh"), "w") as f:
        f.write("#!/bin/sh\nexec %s \"$@\"\n" % shlex.quote(CLIENT))
    os.chmod(os.path.join(tree, "scripts/run-client.sh"), 0o755)
    return tree


def main():
    with open(README, encoding="utf-8") as f:
        readme = f.read()
    running = section_blocks(readme, "## Running it")[0]
    setup, start, fetch = section_blocks(readme, "### Forwarding a local web server")

    work, home, env = devtools.person_session()
    tree = scratch_tree(work)
    terminals = []
    try:
        # The demo stream, as "Running it" makes it (its build and its plain
        # server start are the test build's and the walk-through's own).
        for line in running.splitlines():
            if "make-demo-stream.sh" in line:
                subprocess.run(["bash", "-c", line], cwd=tree, env=env, check=True, timeout=120)
        # The web server and the client's settings.
        terminals.append(Terminal(setup, tree, env, os.path.join(work, "setup.out")))
        wait_for("web server", lambda: subprocess.run(["curl", "-sf", "http://127.0.0.1:8000/"],
                                                       capture_output=True).returncode == 0)
        # The demo server, then the client, each in its terminal.
        commands = [line for line in start.splitlines() if line.strip()]
        assert len(commands) == 2, commands
        server = Terminal(commands[0], tree, env, os.path.join(work, "server.out"))
        terminals.append(server)
        wait_for("demo server", lambda: "demo-server listening on http://127.0.0.1:8080/" in server.text())
        client = Terminal(commands[1], tree, env, os.path.join(work, "client.out"))
        terminals.append(client)

        # Signed in, and the client answers the server through the page.
        page = devtools.wait_for_page("/quarrydesk.html")
        devtools.wait_until(page, "document.getElementById('stats').textContent.indexOf('screen 0: ') == 0", True)
        devtools.wait_until(page, "document.getElementById('tunnel-name').value", "web")
        devtools.evaluate(page, "document.getElementById('tunnel-up').click()")

        command, expected = [part.strip() for part in fetch.strip().split("#", 1)]
        fetched = []

        def fetches():
            out = subprocess.run(["bash", "-c", command], cwd=tree, env=env, capture_output=True, text=True,
                                 timeout=30)
            fetched.append(out.stdout + out.stderr)
            return out.returncode == 0 and out.stdout.strip() == expected

        try:
            wait_for("page through the tunnel", fetches, 30)
        except AssertionError:
            raise AssertionError("curl gave %r" % fetched[-1:])

        devtools.evaluate(page, "document.getElementById('tunnel-down').click()")
        log = os.path.join(home, "quarrydesk-client.log")
        wait_for("'Disconnecting tunnel to server' in the client's log",
                 lambda: os.path.exists(log) and "Disconnecting tunnel to server" in open(log, errors="replace").read())
    except Exception:
        for terminal in terminals:
            print("---- %s\n%s" % (terminal.log, terminal.text()[-4000:]))
        raise
    finally:
        for terminal in reversed(terminals):
            terminal.close()
    print("1 passed, 0 failed")


if __name__ == "__main__":
    main()
