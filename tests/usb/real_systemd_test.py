"""The vhProxy commands against the machine's own systemd, where one runs.

Usage: real_systemd_test.py CLIENT_STARTUP_PROGRAM VHPROXY_PROGRAM

Installs the service vhproxy.service (its unit in /etc/systemd/system and,
where polkit is installed, its rule in /etc/polkit-1/rules.d) from a copy of
the daemon in a folder that belongs to root, as an installation has it, starts it,
asks the daemon for its status over its link, stops and removes it again.
Skipped (exit code 77) unless it runs as root on a machine booted with
systemd, with no vhproxy.service installed and port 7679 free; whatever it
installed is removed in any case.
"""
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile

SKIP = 77
UNIT = "/etc/systemd/system/vhproxy.service"
RULE = "/etc/polkit-1/rules.d/50-vhproxy.rules"


def skip(reason):
    print("skipped: " + reason)
    sys.exit(SKIP)


def systemd_runs():
    try:
        state = subprocess.run(["/usr/bin/systemctl", "is-system-running"], capture_output=True, text=True,
                               timeout=30).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        return False
    return state in ("running", "degraded", "starting", "initializing", "maintenance")


def port_free():
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", 7679)) != 0


def status_of_daemon():
    request = b'{"type":328}'
    with socket.create_connection(("127.0.0.1", 7679), timeout=10) as conn:
        conn.sendall(struct.pack("<i", len(request)) + request)
        data = b""
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                break
            data += chunk
    (length,) = struct.unpack("<i", data[:4])
    return data[4:4 + length].decode()


def main():
    client, daemon = sys.argv[1], sys.argv[2]
    if os.geteuid() != 0:
        skip("needs root")
    if "QDK_TEST_SYSTEM_ROOT" in os.environ:
        skip("runs against a test system root")
    if not systemd_runs():
        skip("systemd does not run here")
    if os.path.exists(UNIT):
        skip("vhproxy.service is installed on this machine")
    if not port_free():
        skip("port 7679 is in use")

    home = tempfile.TemporaryDirectory()
    programs = tempfile.mkdtemp(dir="/run")
    os.chmod(programs, 0o755)
    shutil.copy(daemon, programs)
    daemon = os.path.join(programs, "vhproxy")
    failures = []

    def command(value, expected_line, expected_code=0):
        result = subprocess.run([client, "--vhProxy=" + value],
                                env=dict(os.environ, HOME=home.name, QDK_TEST_PROGRAM_DIRECTORY=programs + "/"),
                                capture_output=True, text=True, timeout=180)
        lines = [line[4:] for line in result.stdout.splitlines() if len(line) > 4 and line[2:4] == ": "]
        if result.returncode != expected_code or expected_line not in lines:
            failures.append("--vhProxy=%s: exit %d, lines %r" % (value, result.returncode, lines))

    try:
        command("install", "Successfully installed 'VHProxy service'")
        with open(UNIT, encoding="utf-8") as f:
            unit = f.read()
        if "ExecStart=%s --service --usbServerPort=17570\n" % daemon not in unit or "Type=notify\n" not in unit:
            failures.append("unit: " + unit)
        if os.path.isdir(os.path.dirname(RULE)) and not os.path.exists(RULE):
            failures.append("no polkit rule")
        command("status", "VHProxy service is installed and stopped")
        command("start", "Started VHProxy service")
        status = status_of_daemon()
        if '"VHProxyVersion":"14.0.0"' not in status:
            failures.append("status: " + status)
        command("status", "VHProxy service is installed and running")
        command("stop", "Stopped VHProxy service")
        if not port_free():
            failures.append("the daemon still listens after the stop")
        command("uninstall", "Successfully uninstalled 'VHProxy service'")
        if os.path.exists(UNIT) or os.path.exists(RULE):
            failures.append("unit or rule left after uninstall")
    finally:
        subprocess.run(["/usr/bin/systemctl", "stop", "vhproxy.service"], capture_output=True, timeout=60)
        if os.path.exists(UNIT):
            subprocess.run([daemon, "--unregisterService"], capture_output=True, timeout=60)
        shutil.rmtree(programs)
    for failure in failures:
        print("FAILED: " + failure)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
