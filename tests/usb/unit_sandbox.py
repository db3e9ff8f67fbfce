#!/usr/bin/python3
"""Runs the service of a systemd unit file under the sandbox that the unit
asks for, as far as it can be had without systemd, so that a test can show
that the service still works inside it.

Usage: unit_sandbox.py UNIT_FILE LOGS_FOLDER [EXTRA_SYSCALL,...]

The ExecStart command runs as root, through bubblewrap and a seccomp
filter (python3-seccomp), with:
  CapabilityBoundingSet= (empty)   no capabilities at all (an empty bounding set)
  NoNewPrivileges=yes              set (the seccomp filter needs it too)
  ProtectSystem=strict             the whole file system read-only
  ProtectHome=yes                  /home, /root and /run/user empty
  PrivateTmp=yes                   /tmp and /var/tmp empty and private
  PrivateDevices=yes               a /dev of its own (null, zero, full, random, urandom)
  ProtectKernelTunables=yes        /proc/sys and /sys read-only
  ProtectHostname=yes              a UTS namespace of its own
  LogsDirectory=NAME               LOGS_FOLDER, writable, at /var/log/NAME
  UMask=                           the file mode mask
  SystemCallFilter=                the allowed system calls (systemd-analyze
                                   syscall-filter names the groups); any
                                   other one kills the service
  SystemCallArchitectures=native   native calls only
  RestrictAddressFamilies=         socket() for the listed families only
  MemoryDenyWriteExecute=yes       no memory both writable and executable
Directives that are taken as they are here are named in HOST_ALIKE; any
other directive of the [Service] section makes the run fail, so that a
unit never gets a restriction that no test has run the service under.
EXTRA_SYSCALL names calls allowed beside the unit's (a sanitizer's leak
check stops the threads with ptrace, which no service needs).

The command's environment is the one systemd gives a service, plus the
sanitizers' options. The runner ends with the service's exit code.
"""
import json
import os
import shlex
import subprocess
import sys

SANDBOXED = {
    "CapabilityBoundingSet", "AmbientCapabilities", "NoNewPrivileges", "ProtectSystem", "ProtectHome",
    "PrivateTmp", "PrivateDevices", "ProtectKernelTunables", "ProtectHostname", "LogsDirectory", "UMask",
    "SystemCallFilter", "SystemCallArchitectures", "RestrictAddressFamilies", "MemoryDenyWriteExecute",
}
# The same here as on the host of a test: no mounts, modules, kernel logs,
# clock changes, realtime scheduling, namespaces or set-id bits are used by
# the service (and without capabilities most of them cannot be); address
# filters and device policies need systemd's cgroups.
HOST_ALIKE = {
    "Type", "ExecStart", "TimeoutStartSec", "TimeoutStopSec", "User", "PrivateMounts", "DevicePolicy",
    "ProtectKernelModules", "ProtectKernelLogs", "ProtectControlGroups", "ProtectClock", "ProtectProc",
    "IPAddressAllow", "IPAddressDeny", "RestrictNamespaces", "RestrictRealtime", "RestrictSUIDSGID",
    "LockPersonality", "KeyringMode",
}
FAMILIES = {"AF_UNIX": 1, "AF_INET": 2, "AF_INET6": 10, "AF_NETLINK": 16}


def fail(text):
    sys.stderr.write("unit_sandbox: " + text + "\n")
    sys.exit(125)


def service_section(path):
    entries = []
    section = None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line or line[0] in "#;":
                continue
            if line.startswith("["):
                section = line.strip("[]")
            elif section == "Service":
                key, _, value = line.partition("=")
                entries.append((key.strip(), value.strip()))
    return entries


def syscall_group(name, seen=None):
    """The system calls of a group of systemd-analyze syscall-filter."""
    seen = seen if seen is not None else set()
    if name in seen:
        return set()
    seen.add(name)
    listing = subprocess.run(["systemd-analyze", "syscall-filter", name], capture_output=True, text=True,
                             check=True).stdout
    calls = set()
    for line in listing.splitlines()[1:]:
        word = line.strip()
        if not word or word.startswith("#"):
            continue
        calls |= syscall_group(word, seen) if word.startswith("@") else {word}
    return calls


def syscall_names(words):
    calls = set()
    for word in words:
        calls |= syscall_group(word) if word.startswith("@") else {word}
    return calls


def plan(unit, logs, extra):
    """The bubblewrap arguments and the filter of the unit."""
    bwrap = ["/usr/bin/bwrap", "--die-with-parent", "--new-session", "--unshare-ipc", "--unshare-cgroup"]
    mounts = []
    spec = {"allow": [], "families": None, "wx": False, "umask": None}
    allowed = None
    command = None
    inside = []
    for key, value in service_section(unit):
        if key not in SANDBOXED and key not in HOST_ALIKE:
            fail("no sandbox for " + key + "=" + value)
        if key == "ExecStart":
            command = [word.replace("%%", "%").replace("$$", "$") for word in shlex.split(value)]
        elif key == "User" and value not in ("root", "0"):
            fail("runs as root only, not as " + value)
        elif key == "CapabilityBoundingSet":
            if value:
                fail("only the empty bounding set is known")
            # As systemd does it: root's program gets no capability from
            # an exec once the bounding set is empty.
            inside = ["/usr/bin/setpriv", "--bounding-set=-all", "--inh-caps=-all", "--ambient-caps=-all"]
        elif key == "ProtectSystem" and value == "strict":
            mounts = ["--ro-bind", "/", "/", "--proc", "/proc", "--ro-bind", "/sys", "/sys"] + mounts
        elif key == "ProtectSystem":
            fail("only ProtectSystem=strict is known")
        elif key == "ProtectHome" and value == "yes":
            mounts += ["--tmpfs", "/home", "--tmpfs", "/root", "--tmpfs", "/run/user"]
        elif key == "PrivateTmp" and value == "yes":
            mounts += ["--tmpfs", "/tmp", "--tmpfs", "/var/tmp"]
        elif key == "PrivateDevices" and value == "yes":
            mounts += ["--dev", "/dev"]
        elif key == "ProtectHostname" and value == "yes":
            bwrap += ["--unshare-uts"]
        elif key == "LogsDirectory":
            mounts += ["--tmpfs", "/var/log", "--bind", logs, "/var/log/" + value]
        elif key == "UMask":
            spec["umask"] = int(value, 8)
        elif key == "SystemCallFilter":
            if value.startswith("~"):
                if allowed is None:
                    fail("a deny list without an allow list")
                allowed -= syscall_names(value[1:].split())
            else:
                allowed = (allowed or set()) | syscall_names(value.split())
        elif key == "RestrictAddressFamilies":
            spec["families"] = [FAMILIES[name] for name in value.split()]
        elif key == "MemoryDenyWriteExecute" and value == "yes":
            spec["wx"] = True
        elif key in ("NoNewPrivileges", "AmbientCapabilities", "ProtectKernelTunables", "SystemCallArchitectures"):
            pass  # bwrap and the filter always give these
    if command is None:
        fail("no ExecStart")
    if allowed is not None:
        spec["allow"] = sorted(allowed | set(extra))
    return bwrap + mounts + ["--chdir", "/"] + inside, spec, command


def apply_and_exec(spec, command):
    """Inside the sandbox: the file mode mask and the filter, then the service."""
    import seccomp
    if spec["umask"] is not None:
        os.umask(spec["umask"])
    if spec["allow"]:
        rules = seccomp.SyscallFilter(defaction=seccomp.KILL_PROCESS)
        for name in spec["allow"]:
            # These get rules on their arguments below.
            if name == "socket" and spec["families"] is not None:
                continue
            if name in ("mmap", "mprotect", "pkey_mprotect") and spec["wx"]:
                continue
            try:
                rules.add_rule(seccomp.ALLOW, name)
            except (RuntimeError, ValueError):
                pass  # not a call of this architecture
        if "socket" in spec["allow"] and spec["families"] is not None:
            for family in spec["families"]:
                rules.add_rule(seccomp.ALLOW, "socket", seccomp.Arg(0, seccomp.EQ, family))
        if spec["wx"]:
            write, execute = 0x2, 0x4
            if "mmap" in spec["allow"]:
                rules.add_rule(seccomp.ALLOW, "mmap", seccomp.Arg(2, seccomp.MASKED_EQ, write, 0))
                rules.add_rule(seccomp.ALLOW, "mmap", seccomp.Arg(2, seccomp.MASKED_EQ, execute, 0))
            for name in ("mprotect", "pkey_mprotect"):
                if name in spec["allow"]:
                    rules.add_rule(seccomp.ALLOW, name, seccomp.Arg(2, seccomp.MASKED_EQ, execute, 0))
        rules.load()
    os.execv(command[0], command)


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "--inside":
        apply_and_exec(json.loads(sys.argv[2]), sys.argv[4:])
    if len(sys.argv) not in (3, 4):
        sys.stderr.write(__doc__)
        sys.exit(2)
    extra = sys.argv[3].split(",") if len(sys.argv) == 4 and sys.argv[3] else []
    bwrap, spec, command = plan(sys.argv[1], os.path.abspath(sys.argv[2]), extra)
    environment = {k: v for k, v in os.environ.items()
                   if k in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")}
    environment.update(PATH="/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", LANG="C.UTF-8")
    # The part inside runs from this file's text: the sandbox's private
    # /tmp hides a checkout that lies there.
    with open(os.path.abspath(__file__)) as source:
        inside = ["/usr/bin/python3", "-c", source.read()]
    os.execve(bwrap[0], bwrap + inside + ["--inside", json.dumps(spec), "--"] + command, environment)


if __name__ == "__main__":
    main()
