"""The pages of a running client, reached the way a browser's developer
tools reach them: the client runs with QTWEBENGINE_REMOTE_DEBUGGING, and
scripts run in a page through the DevTools protocol (Debian's
python3-websockets). Used by the tests that drive the real client program
as a person would: read what the page shows, click its buttons."""
import asyncio
import json
import os
import tempfile
import time
import urllib.request

import websockets

PORT = 9222
ADDRESS = "127.0.0.1:%d" % PORT


def person_session(**variables):
    """A scratch folder with a home of its own, and the environment in which
    a person's client program runs there with its pages reachable here
    (and the given variables): (folder, home, environment)."""
    work = tempfile.mkdtemp()
    home = os.path.join(work, "home")
    runtime = os.path.join(work, "runtime")
    os.mkdir(home)
    os.mkdir(runtime, 0o700)
    env = dict(os.environ, HOME=home, XDG_RUNTIME_DIR=runtime, SHELL="/bin/sh", QTWEBENGINE_DISABLE_SANDBOX="1",
               QTWEBENGINE_CHROMIUM_FLAGS="--disable-gpu", QTWEBENGINE_REMOTE_DEBUGGING=ADDRESS, **variables)
    return work, home, env


def page_targets():
    """The browser's pages: [{"url": ..., "webSocketDebuggerUrl": ...}]."""
    try:
        with urllib.request.urlopen("http://%s/json" % ADDRESS, timeout=5) as reply:
            return [t for t in json.load(reply) if t.get("type") == "page"]
    except OSError:
        return []


def evaluate(target, expression):
    """The value of the expression in the page (JSON-able values only)."""

    async def ask():
        async with websockets.connect(target["webSocketDebuggerUrl"], max_size=None) as socket:
            await socket.send(json.dumps({"id": 1, "method": "Runtime.evaluate",
                                          "params": {"expression": expression, "returnByValue": True}}))
            while True:
                reply = json.loads(await socket.recv())
                if reply.get("id") == 1:
                    return reply

    reply = asyncio.run(asyncio.wait_for(ask(), 20))
    result = reply.get("result", {})
    if "exceptionDetails" in result:
        raise AssertionError("%s failed in the page: %s" % (expression, result["exceptionDetails"]))
    return result.get("result", {}).get("value")


def wait_for_page(path, timeout=60):
    """The page whose address ends with the path, once the browser shows it."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for target in page_targets():
            if target.get("url", "").split("?")[0].endswith(path):
                return target
        time.sleep(0.2)
    raise AssertionError("no page %s; the browser shows %s" % (path, [t.get("url") for t in page_targets()]))


def wait_until(target, expression, expected, timeout=30):
    """Evaluates the expression until it gives the expected value."""
    deadline = time.monotonic() + timeout
    value = None
    while time.monotonic() < deadline:
        try:
            value = evaluate(target, expression)
        except (OSError, AssertionError, asyncio.TimeoutError, websockets.exceptions.WebSocketException):
            value = None
        if value == expected:
            return
        time.sleep(0.2)
    raise AssertionError("%s is %r, not %r" % (expression, value, expected))
