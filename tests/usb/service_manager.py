#!/usr/bin/python3
"""A stand-in for systemd, for machines without a running systemd (CI). It
really starts and stops the services of its units.

    service_manager.py manager ROOT     the manager, run as root, for the system root ROOT

ROOT stands in for "/": units are read from ROOT/etc/systemd/system (again
at every request), polkit rules from ROOT/etc/polkit-1/rules.d, and the
manager listens on ROOT/run/systemd-double.sock. Its systemctl is
ROOT/usr/bin/systemctl, a link to the program systemctl-double
(programs/systemctl_double.cpp), which passes its arguments there; the
manager learns the caller's user from the socket (SO_PEERCRED), does the
work and returns exit code and output. Every call is logged to
ROOT/var/log/systemctl.log as "uid=<uid> systemctl <args>".

What it does, as systemd does it:
- show -p A,B [-p C] UNIT: "Key=value" lines; LoadState not-found for a unit
  without a file; time spans like "10s" or "1min 30s".
- start / stop [--no-block] UNIT: a job; without --no-block the call returns
  when the job is done. Type=notify units are active once the service sends
  READY=1 to NOTIFY_SOCKET, Type=simple ones once started; a service that
  ends before, or takes longer than TimeoutStartSec, has failed. Stop sends
  SIGTERM to the service's process group, SIGKILL after TimeoutStopSec.
  Services run in a session of their own as root, with the manager's
  environment (QDK_TEST_SYSTEM_ROOT and the sanitizer options included), their
  output in ROOT/var/log/<unit>.out.
- enable / disable / daemon-reload; is-system-running ("running").
- Users other than root may only show, and start and stop a unit for which a
  polkit rule mentions org.freedesktop.systemd1.manage-units, the unit and
  the verb; else "Access denied" as systemctl reports it.
"""
import glob
import os
import shlex
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

DEFAULT_TIMEOUT = 90.0


def format_span(seconds):
    if seconds == float("inf"):
        return "infinity"
    seconds = int(seconds)
    minutes, rest = divmod(seconds, 60)
    if minutes and rest:
        return "%dmin %ds" % (minutes, rest)
    if minutes:
        return "%dmin" % minutes
    return "%ds" % rest


def parse_span(text):
    text = text.strip()
    if text == "infinity":
        return float("inf")
    units = {"ms": 0.001, "s": 1, "sec": 1, "min": 60, "m": 60, "h": 3600}
    total = 0.0
    for word in text.split():
        digits = len(word) - len(word.lstrip("0123456789."))
        number, unit = word[:digits], word[digits:] or "s"
        total += float(number) * units.get(unit, 1)
    return total


class Unit:
    def __init__(self, name):
        self.name = name
        self.active = "inactive"
        self.sub = "dead"
        self.process = None
        self.main_status = 0
        self.ready = threading.Event()
        self.done = threading.Condition()
        self.generation = 0


class Manager:
    def __init__(self, root):
        self.root = root
        self.units = {}
        self.lock = threading.RLock()
        self.enabled_file = os.path.join(root, "var/lib/systemd-double/enabled")
        os.makedirs(os.path.dirname(self.enabled_file), exist_ok=True)

    # ---- unit files ----
    def unit_file(self, name):
        return os.path.join(self.root, "etc/systemd/system", name)

    def load(self, name):
        path = self.unit_file(name)
        if not os.path.isfile(path):
            return None
        config = {"Type": "simple", "TimeoutStartSec": str(DEFAULT_TIMEOUT), "TimeoutStopSec": str(DEFAULT_TIMEOUT),
                  "sections": set()}
        section = None
        with open(path, encoding="utf-8") as f:
            for line in f:
                line = line.strip()
                if not line or line.startswith("#") or line.startswith(";"):
                    continue
                if line.startswith("["):
                    section = line.strip("[]")
                    config["sections"].add(section)
                    continue
                key, _, value = line.partition("=")
                config[section + "." + key.strip()] = value.strip()
                if section == "Service":
                    config[key.strip()] = value.strip()
        return config

    def unit(self, name):
        with self.lock:
            if name not in self.units:
                self.units[name] = Unit(name)
            return self.units[name]

    def enabled(self):
        try:
            with open(self.enabled_file, encoding="utf-8") as f:
                return set(f.read().split())
        except FileNotFoundError:
            return set()

    def set_enabled(self, name, on):
        names = self.enabled()
        (names.add if on else names.discard)(name)
        with open(self.enabled_file, "w", encoding="utf-8") as f:
            f.write("\n".join(sorted(names)))

    # ---- permissions ----
    def allowed(self, uid, verb, name):
        if uid == 0:
            return True
        if verb not in ("start", "stop"):
            return False
        for rule in glob.glob(os.path.join(self.root, "etc/polkit-1/rules.d/*.rules")):
            with open(rule, encoding="utf-8") as f:
                text = f.read()
            if ("org.freedesktop.systemd1.manage-units" in text and '"%s"' % name in text
                    and '"%s"' % verb in text):
                return True
        return False

    # ---- jobs ----
    def start(self, name, block):
        config = self.load(name)
        if config is None:
            return 5, "", "Failed to start %s: Unit %s not found.\n" % (name, name)
        unit = self.unit(name)
        with self.lock:
            if unit.active in ("active", "activating", "reloading"):
                return 0, "", ""
            if unit.active == "deactivating":
                self.wait_until(unit, lambda: unit.active not in ("deactivating",), 60)
            exec_start = config.get("ExecStart", "")
            argv = [word.replace("%%", "%").replace("$$", "$") for word in shlex.split(exec_start)]
            unit.active, unit.sub = "activating", "start"
            unit.generation += 1
            generation = unit.generation
        notify_path = os.path.join(self.root, "run/notify-%s-%d.sock" % (name, generation))
        env = {k: v for k, v in os.environ.items()
               if k in ("PATH", "QDK_TEST_SYSTEM_ROOT", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS",
                        "TSAN_OPTIONS", "LANG")}
        env["INVOCATION_ID"] = "%032x" % generation
        notify = None
        if config["Type"] == "notify":
            notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            if os.path.exists(notify_path):
                os.unlink(notify_path)
            notify.bind(notify_path)
            env["NOTIFY_SOCKET"] = notify_path
        output = open(os.path.join(self.root, "var/log/%s.out" % name), "ab")
        try:
            process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                                       start_new_session=True, env=env, close_fds=True)
        except OSError as error:
            output.close()
            with self.lock:
                unit.active, unit.sub, unit.main_status = "failed", "failed", 203
                self.notify_all(unit)
            return 1, "", "Job for %s failed because the control process exited with error code: %s\n" % (name, error)
        output.close()
        with self.lock:
            unit.process = process
        threading.Thread(target=self.supervise, args=(unit, process, generation, notify, notify_path,
                                                      parse_span(config["TimeoutStartSec"])),
                         daemon=True).start()
        if config["Type"] != "notify":
            with self.lock:
                unit.active, unit.sub = "active", "running"
                self.notify_all(unit)
        if not block:
            return 0, "", ""
        self.wait_until(unit, lambda: unit.active != "activating", 3600)
        if unit.active == "active":
            return 0, "", ""
        return 1, "", ("Job for %s failed because the control process exited with error code.\n"
                       "See \"systemctl status %s\" and \"journalctl -xeu %s\" for details.\n" % (name, name, name))

    def supervise(self, unit, process, generation, notify, notify_path, start_timeout):
        if notify is not None:
            deadline = time.monotonic() + start_timeout
            notify.settimeout(0.05)
            while True:
                if process.poll() is not None:
                    break
                if time.monotonic() > deadline:
                    os.killpg(process.pid, signal.SIGKILL)
                    break
                try:
                    message = notify.recv(4096).decode()
                except socket.timeout:
                    continue
                if "READY=1" in message.split("\n"):
                    with self.lock:
                        if unit.generation == generation and unit.active == "activating":
                            unit.active, unit.sub = "active", "running"
                            self.notify_all(unit)
                    break
            notify.close()
            try:
                os.unlink(notify_path)
            except FileNotFoundError:
                pass
        status = process.wait()
        with self.lock:
            if unit.generation != generation:
                return
            unit.process = None
            unit.main_status = status if status >= 0 else 128 - status
            stopping = unit.active == "deactivating"
            clean = status == 0 or (stopping and status == -signal.SIGTERM)
            unit.active, unit.sub = ("inactive", "dead") if clean else ("failed", "failed")
            self.notify_all(unit)

    def stop(self, name, block):
        unit = self.unit(name)
        config = self.load(name) or {"TimeoutStopSec": str(DEFAULT_TIMEOUT)}
        with self.lock:
            process = unit.process
            if process is None or unit.active in ("inactive", "failed"):
                if unit.active == "failed":
                    unit.active, unit.sub = "inactive", "dead"
                return 0, "", ""
            if unit.active != "deactivating":
                unit.active, unit.sub = "deactivating", "stop-sigterm"
                try:
                    # As systemd does: SIGCONT after the kill signal, so that
                    # a stopped process can end too.
                    os.killpg(process.pid, signal.SIGTERM)
                    os.killpg(process.pid, signal.SIGCONT)
                except ProcessLookupError:
                    pass
                threading.Thread(target=self.kill_later, args=(unit, process, parse_span(config["TimeoutStopSec"])),
                                 daemon=True).start()
        if block:
            self.wait_until(unit, lambda: unit.active != "deactivating", 3600)
        return 0, "", ""

    def kill_later(self, unit, process, timeout):
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            with self.lock:
                unit.sub = "stop-sigkill"
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def notify_all(self, unit):
        with unit.done:
            unit.done.notify_all()

    def wait_until(self, unit, predicate, timeout):
        deadline = time.monotonic() + timeout
        with unit.done:
            while not predicate() and time.monotonic() < deadline:
                unit.done.wait(0.05)

    def stop_all(self):
        for name in list(self.units):
            self.stop(name, True)

    # ---- commands ----
    def show(self, name, properties):
        config = self.load(name)
        unit = self.unit(name)
        values = {
            "Id": name,
            "LoadState": "loaded" if config else "not-found",
            "ActiveState": unit.active,
            "SubState": unit.sub,
            "ExecMainStatus": str(unit.main_status),
            "MainPID": str(unit.process.pid if unit.process else 0),
            "TimeoutStartUSec": format_span(parse_span(config["TimeoutStartSec"]) if config else DEFAULT_TIMEOUT),
            "TimeoutStopUSec": format_span(parse_span(config["TimeoutStopSec"]) if config else DEFAULT_TIMEOUT),
            "UnitFileState": ("enabled" if name in self.enabled() else "disabled") if config else "",
            "Description": (config or {}).get("Unit.Description", name),
        }
        wanted = properties or sorted(values)
        return 0, "".join("%s=%s\n" % (key, values.get(key, "")) for key in wanted), ""

    def run(self, uid, argv):
        properties = []
        block = True
        words = []
        i = 0
        while i < len(argv):
            word = argv[i]
            if word in ("-p", "--property"):
                i += 1
                properties += argv[i].split(",")
            elif word.startswith("--property="):
                properties += word.split("=", 1)[1].split(",")
            elif word == "--no-block":
                block = False
            elif word in ("--no-ask-password", "--no-pager", "--quiet", "-q", "--system"):
                pass
            elif word.startswith("-"):
                return 1, "", "systemctl: unrecognized option '%s'\n" % word
            else:
                words.append(word)
            i += 1
        if not words:
            return 1, "", "Too few arguments.\n"
        verb, units = words[0], words[1:]
        if verb == "is-system-running":
            return 0, "running\n", ""
        if verb == "daemon-reload":
            return (0, "", "") if uid == 0 else (1, "", "Failed to reload daemon: Access denied\n")
        if verb in ("start", "stop", "enable", "disable", "show", "is-active") and not units:
            return 1, "", "Too few arguments.\n"
        code, out, err = 0, "", ""
        for name in units:
            if verb == "show":
                c, o, e = self.show(name, properties)
            elif verb == "is-active":
                active = self.unit(name).active
                c, o, e = (0 if active == "active" else 3), active + "\n", ""
            elif verb in ("start", "stop", "enable", "disable"):
                if not self.allowed(uid, verb, name):
                    c, o, e = 1, "", "Failed to %s %s: Access denied\n" % (verb, name)
                elif verb == "start":
                    c, o, e = self.start(name, block)
                elif verb == "stop":
                    c, o, e = self.stop(name, block)
                else:
                    if self.load(name) is None:
                        c, o, e = 1, "", "Failed to %s unit: Unit file %s does not exist.\n" % (verb, name)
                    else:
                        self.set_enabled(name, verb == "enable")
                        c, o, e = 0, "", ""
            else:
                return 1, "", "Unknown command verb %s.\n" % verb
            code = code or c
            out += o
            err += e
        return code, out, err


def socket_path(root):
    return os.path.join(root, "run/systemd-double.sock")


def serve(manager, connection):
    with connection:
        credentials = connection.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i"))
        _, uid, _ = struct.unpack("3i", credentials)
        data = b""
        while not data.endswith(b"\0\0") and data != b"\0":
            chunk = connection.recv(65536)
            if not chunk:
                return
            data += chunk
        argv = [word.decode() for word in data[:-1].split(b"\0")[:-1]]
        with open(os.path.join(manager.root, "var/log/systemctl.log"), "a", encoding="utf-8") as log:
            log.write("uid=%d systemctl %s\n" % (uid, " ".join(argv)))
        try:
            code, out, err = manager.run(uid, argv)
        except Exception as error:  # reported to the caller like a failed bus call
            code, out, err = 1, "", "Failed: %r\n" % (error,)
        out, err = out.encode(), err.encode()
        connection.sendall(b"%d %d %d\n" % (code, len(out), len(err)) + out + err)


def run_manager(root):
    manager = Manager(root)
    path = socket_path(root)
    if os.path.exists(path):
        os.unlink(path)
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    os.chmod(path, 0o666)
    server.listen(64)

    def terminate(*_):
        manager.stop_all()
        os._exit(0)

    signal.signal(signal.SIGTERM, terminate)
    signal.signal(signal.SIGINT, terminate)
    print("ready", flush=True)
    while True:
        connection, _ = server.accept()
        threading.Thread(target=serve, args=(manager, connection), daemon=True).start()


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "manager":
        run_manager(sys.argv[2])
    sys.stderr.write(__doc__)
    sys.exit(2)
