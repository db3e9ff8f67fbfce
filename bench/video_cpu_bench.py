#!/usr/bin/python3
"""CPU of the whole client showing a remote screen, against a media player
showing the same picture under the same X server.

Starts an X server of its own (Xvfb, 1920x1080x24), makes a 1080p60 High
stream (ffmpeg's testsrc2, 8 Mb/s, through tools/demo-server/make-demo-stream.sh)
and the demo server that streams it at 60 fps, then alternates, round after
round:

  client  the quarrydesk-client program signed in to the demo server (its
          window shows the stream under the desk page), measured once it
          streams and has settled;
  player  ffplay -f h264 -framerate 60 on the same file in a 1920x1080
          window (no audio, looping; it drops the pictures it is too late
          for, which its status line counts);
  idle    the client on the sign-in page (no stream).

Each sample is the CPU time of the whole process tree (the client with its
Qt WebEngine processes; ffplay) over a fixed wall time, in CPU-seconds per
second; the X server's CPU in the same time is printed beside it (it is in
neither tree). Printed: every sample, the medians, the ratio client/player of
each round and its median, the client's decoded frames per second (its own
statistics, relayed by the demo server), the load average before and after.

While streaming, the client writes the times of every frame from its
hand-over to the canvas (presentFrame) to the end of the paint that shows
it (QDK_PRESENT_LOG): printed are the median and the 99th percentile of
"present to painted" (the paint's end, before the window is composed) and
"present to swapped" (the composed window on screen), and how many frames
were never shown. The pictures each program showed per second give the
CPU per shown picture, client over player, beside the plain ratio.

Once per round the bench also times a bare loop that sleeps 1 ms at a time
(poll with a 1 ms timeout, as the canvas's repaint timer wakes the client):
the floor that such a timer costs on this machine, for the idle figure.

Usage (after a build into build/):
  bench/video_cpu_bench.py [--rounds N] [--seconds S] [--settle S]
      [--client PATH] [--other-client PATH] [--server PATH] [--breakdown]
      [--perf-record FILE] [--perf-stat] [--keep DIR]

--other-client PATH measures a second client program (e.g. a build from
before a change) in the same rounds, each against the same ffplay sample.

--perf-record FILE records the client's tree with `perf record -g` during
the first client sample (perf report -i FILE --no-children shows where the
time goes); --perf-stat counts the instructions of every sample's tree
(`perf stat -e instructions`), less noisy than CPU time on a shared machine.
"""
import argparse
import json
import os
import re
import resource
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TICK = os.sysconf("SC_CLK_TCK")
SCREEN = "1920x1080x24"
START_TIMEOUT = 90


def log(text):
    print(text, flush=True)


def process_table():
    """{pid: (ppid, cpu ticks)} of every process now."""
    table = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rfind(")") + 2:].split()
        # After the command: state ppid ... utime (14th field) stime (15th).
        table[int(name)] = (int(fields[1]), int(fields[11]) + int(fields[12]))
    return table


def tree_ticks(root):
    """{pid: cpu ticks} of root and all its descendants."""
    table = process_table()
    children = {}
    for pid, (ppid, _) in table.items():
        children.setdefault(ppid, []).append(pid)
    found, todo = {}, [root]
    while todo:
        pid = todo.pop()
        if pid in table and pid not in found:
            found[pid] = table[pid][1]
            todo.extend(children.get(pid, []))
    return found


def thread_ticks(pids):
    """{(pid, process name, thread name): cpu ticks} of the threads of pids."""
    found = {}
    for pid in pids:
        try:
            tids = os.listdir("/proc/%d/task" % pid)
            with open("/proc/%d/comm" % pid) as f:
                process = f.read().strip()
        except OSError:
            continue
        for tid in tids:
            try:
                with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                    stat = f.read()
            except OSError:
                continue
            name = stat[stat.find("(") + 1:stat.rfind(")")]
            fields = stat[stat.rfind(")") + 2:].split()
            key = (pid, process, re.sub(r"\d+$", "#", name))
            found[key] = found.get(key, 0) + int(fields[11]) + int(fields[12])
    return found


def print_breakdown(before, after, wall):
    """CPU-s/s per process and thread name (numbered threads summed), largest first."""
    rows = {}
    for key, ticks in after.items():
        rows[key] = rows.get(key, 0) + ticks - before.get(key, 0)
    for (pid, process, thread), ticks in sorted(rows.items(), key=lambda row: -row[1]):
        if ticks > 0:
            log("    %-20s %-8d %-24s %.3f" % (process, pid, thread, ticks / TICK / wall))


class Output:
    """Keeps the lines a child writes (stdout and stderr together)."""

    def __init__(self, process):
        self.lines = []
        self.times = []
        self.thread = threading.Thread(target=self._read, args=(process,), daemon=True)
        self.thread.start()

    def _read(self, process):
        for line in process.stdout:
            self.times.append(time.monotonic())
            self.lines.append(line)

    def text(self):
        return "".join(self.lines)


def start(args, env=None):
    """A child in a process group of its own, its output kept."""
    process = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, errors="replace", start_new_session=True)
    return process, Output(process)


def stop(process, grace=30):
    """SIGTERM, then SIGKILL to its process group when it does not end."""
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(grace)
        except subprocess.TimeoutExpired:
            pass
    try:
        os.killpg(process.pid, signal.SIGKILL)  # the group this bench made for it
    except OSError:
        pass
    process.wait()


def wait_for(predicate, what, timeout=START_TIMEOUT, process=None):
    deadline = time.monotonic() + timeout
    while not predicate():
        if process is not None and process.poll() is not None:
            raise RuntimeError("%s: the program ended with %s first" % (what, process.returncode))
        if time.monotonic() > deadline:
            raise RuntimeError("no %s within %d s" % (what, timeout))
        time.sleep(0.2)


class Sample:
    def __init__(self, cpu, wall, instructions=None):
        self.cpu = cpu
        self.wall = wall
        self.instructions = instructions
        self.fps = None
        self.x_server = None
        self.latency = None

    @property
    def rate(self):
        return self.cpu / self.wall


def process_ticks(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0
    return int(fields[11]) + int(fields[12])


def measure(root, seconds, perf_stat=False, perf_record=None, breakdown=False, x_server=None):
    """CPU-seconds of the tree of root over `seconds` of wall time (and of
    the X server beside it)."""
    x_before = process_ticks(x_server) if x_server else 0
    before = tree_ticks(root)
    threads_before = thread_ticks(before) if breakdown else None
    pids = ",".join(str(p) for p in sorted(before))
    counter = None
    if perf_record:
        counter = subprocess.Popen(["perf", "record", "-g", "-q", "-o", perf_record, "-p", pids, "--",
                                    "sleep", str(seconds)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                   text=True)
    elif perf_stat:
        counter = subprocess.Popen(["perf", "stat", "-x", ",", "-e", "instructions", "-p", pids, "--", "sleep",
                                    str(seconds)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    t0 = time.monotonic()
    if counter is not None:
        _, perf_err = counter.communicate()
    else:
        time.sleep(seconds)
    t1 = time.monotonic()
    wall = t1 - t0
    after = tree_ticks(root)
    x_after = process_ticks(x_server) if x_server else 0
    ticks = sum(t - before.get(pid, 0) for pid, t in after.items())
    if breakdown:
        print_breakdown(threads_before, thread_ticks(after), wall)
    instructions = None
    if counter is not None and not perf_record:
        match = re.search(r"^(\d+),[^,]*,instructions", perf_err, re.M)
        instructions = int(match.group(1)) if match else None
    sample = Sample(ticks / TICK, wall, instructions)
    sample.window = (t0, t1)
    if x_server:
        sample.x_server = (x_after - x_before) / TICK / wall
    return sample


def timer_floor(seconds):
    """CPU-s/s of this thread sleeping 1 ms at a time for `seconds`."""
    poller = select.poll()
    start = resource.getrusage(resource.RUSAGE_THREAD)
    t0 = time.monotonic()
    wakeups = 0
    while time.monotonic() - t0 < seconds:
        poller.poll(1)
        wakeups += 1
    wall = time.monotonic() - t0
    end = resource.getrusage(resource.RUSAGE_THREAD)
    cpu = end.ru_utime - start.ru_utime + end.ru_stime - start.ru_stime
    return cpu / wall, wakeups / wall


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


class Latency:
    """Present-to-paint times (ms) of the frames shown in a time window,
    from the client's QDK_PRESENT_LOG."""

    def __init__(self, path, window):
        self.painted, self.swapped, self.never_shown = [], [], 0
        self.paint, self.compose = [], []
        try:
            with open(path) as f:
                lines = f.readlines()
        except OSError:
            lines = []
        start, end = (w * 1e9 for w in window)
        for line in lines:
            fields = line.split()
            if len(fields) != 6:
                continue
            handed, paint_start, painted, swapped = (int(v) for v in fields[:4])
            if start <= swapped <= end:
                self.painted.append((painted - handed) / 1e6)
                self.swapped.append((swapped - handed) / 1e6)
                self.paint.append((painted - paint_start) / 1e6)
                self.compose.append((swapped - painted) / 1e6)
                self.never_shown += int(fields[5])

    def __bool__(self):
        return bool(self.painted)

    def text(self):
        return "present to painted p50/p99 %.1f/%.1f ms, to swapped %.1f/%.1f ms, %d shown, %d never shown; " \
            "paint p50 %.1f ms, compose and swap p50 %.1f ms" % (
                percentile(self.painted, 0.5), percentile(self.painted, 0.99), percentile(self.swapped, 0.5),
                percentile(self.swapped, 0.99), len(self.painted), self.never_shown, percentile(self.paint, 0.5),
                percentile(self.compose, 0.5))


class Bench:
    def __init__(self, options):
        self.options = options
        self.work = options.keep or tempfile.mkdtemp(prefix="qdk-video-bench-")
        os.makedirs(self.work, exist_ok=True)
        self.xvfb = None
        self.server = None
        self.display = None

    def __enter__(self):
        return self

    def __exit__(self, *_):
        for process in (self.server, self.xvfb):
            if process is not None:
                stop(process[0], 10)
        if not self.options.keep:
            shutil.rmtree(self.work, ignore_errors=True)

    def start_display(self):
        read, write = os.pipe()
        self.xvfb = (subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", SCREEN, "-nolisten", "tcp", "-noreset"],
                                      pass_fds=(write,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL, start_new_session=True), None)
        os.close(write)
        with os.fdopen(read) as f:
            number = f.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number

    def make_stream(self):
        self.stream = os.path.join(self.work, "1080p60-high.h264")
        if not os.path.exists(self.stream):
            subprocess.run([os.path.join(ROOT, "tools/demo-server/make-demo-stream.sh"), self.stream, "1920x1080",
                            str(self.options.stream_seconds), "60", "120", "high", "8M"], check=True)

    def start_server(self):
        process, output = start([self.options.server, "--port=0", "--fps=60", "--stat-interval=1000", "--verbose",
                                 "--stream=" + self.stream])
        self.server = (process, output)
        wait_for(lambda: re.search(r"^demo-server listening on (\S+)$", output.text(), re.M), "demo server",
                 process=process)
        self.url = re.search(r"^demo-server listening on (\S+)$", output.text(), re.M).group(1)

    def environment(self, home):
        runtime = os.path.join(home, "runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env = dict(os.environ, HOME=home, XDG_RUNTIME_DIR=runtime, SHELL="/bin/sh", DISPLAY=self.display,
                   QTWEBENGINE_DISABLE_SANDBOX="1")
        if self.options.chromium_flags:
            env["QTWEBENGINE_CHROMIUM_FLAGS"] = self.options.chromium_flags
        return env

    def client_fps(self, since):
        """Frames per second that the client decoded, from its statistics
        (relayed by the demo server) since line `since` of the server's
        output; None without two of them."""
        output = self.server[1]
        points = []
        for when, line in list(zip(output.times, output.lines))[since:]:
            match = re.search(r"statistics (\{.*\})", line)
            try:
                message = json.loads(match.group(1)) if match else {}
            except ValueError:
                continue
            if "CSFno" in message:
                points.append((when, int(message["CSFno"])))
        if len(points) < 2 or points[-1][0] <= points[0][0]:
            return None
        return (points[-1][1] - points[0][1]) / (points[-1][0] - points[0][0])

    def client_sample(self, index, streaming, program):
        home = os.path.join(self.work, "home-%d-%s" % (index, "stream" if streaming else "idle"))
        shutil.rmtree(home, ignore_errors=True)
        os.makedirs(home)
        args = [program]
        if streaming:
            args += ["--user=demo", "--password=demo"]
        args.append(self.url + ("/" if not self.url.endswith("/") else ""))
        mark = len(self.server[1].text())
        env = self.environment(home)
        present_log = os.path.join(home, "present-times.log")
        if streaming:
            env["QDK_PRESENT_LOG"] = present_log
        process, output = start(args, env)
        try:
            if streaming:
                wait_for(lambda: re.search(r": streaming .* at 60 fps", self.server[1].text()[mark:]),
                         "stream to the client", process=process)
            else:
                wait_for(lambda: re.search(r"GET /signin\.html", self.server[1].text()[mark:]), "sign-in page",
                         process=process)
            time.sleep(self.options.settle)
            frames_mark = len(self.server[1].lines)
            perf_record = self.options.perf_record if streaming and index == 0 and program == self.options.client else None
            sample = measure(process.pid, self.options.seconds, self.options.perf_stat, perf_record,
                             self.options.breakdown and index == 0, self.xvfb[0].pid)
            if streaming:
                sample.fps = self.client_fps(frames_mark)
                sample.latency = Latency(present_log, sample.window)
                sample.shown_fps = len(sample.latency.painted) / sample.wall
            if process.poll() is not None:
                raise RuntimeError("the client ended during the sample:\n" + output.text()[-3000:])
            if self.options.breakdown and index == 0:
                log("  (%s client %.3f CPU-s/s)" % ("streaming" if streaming else "idle", sample.rate))
            return sample
        finally:
            stop(process)

    @staticmethod
    def player_fps(output, mark, window):
        """Pictures per second that ffplay showed in the window: it plays the
        stream in real time (60 fps) and drops the pictures it is too late
        for; its status lines count them (fd=)."""
        points = []
        for when, line in list(zip(output.times, output.lines))[mark:]:
            match = re.search(r" fd=\s*(\d+) ", line)
            if match and window[0] <= when <= window[1]:
                points.append((when, int(match.group(1))))
        if len(points) < 2 or points[-1][0] <= points[0][0]:
            return None
        return 60 - (points[-1][1] - points[0][1]) / (points[-1][0] - points[0][0])

    def player_sample(self, index):
        env = dict(os.environ, DISPLAY=self.display)
        process, output = start(["ffplay", "-hide_banner", "-loglevel", "error", "-f", "h264", "-framerate", "60",
                                 "-an", "-sn", "-stats", "-loop", "0", "-x", "1920", "-y", "1080", "-left", "0", "-top", "0",
                                 "-noborder", "-i", self.stream], env)
        try:
            time.sleep(self.options.settle)
            if process.poll() is not None:
                raise RuntimeError("ffplay ended: " + output.text()[-2000:])
            mark = len(output.lines)
            sample = measure(process.pid, self.options.seconds, self.options.perf_stat,
                             breakdown=self.options.breakdown and index == 0, x_server=self.xvfb[0].pid)
            sample.shown_fps = self.player_fps(output, mark, sample.window)
            return sample
        finally:
            stop(process, 10)


class Results:
    """The samples of one client program, each against the player's sample
    of the same round."""

    def __init__(self):
        self.clients, self.idles, self.ratios, self.per_frame = [], [], [], []
        self.line = ""

    def add(self, client, player, idle, perf_stat):
        self.clients.append(client)
        self.ratios.append(client.rate / player.rate)
        line = "%.3f CPU-s/s (%s decoded, %s shown, X server %.3f)  ratio to ffplay %.2f" % (
            client.rate, fps_text(client.fps), fps_text(client.shown_fps), client.x_server, self.ratios[-1])
        if client.shown_fps and player.shown_fps:
            self.per_frame.append((client.cpu / (client.shown_fps * client.wall)) /
                                  (player.cpu / (player.shown_fps * player.wall)))
            line += " (per shown picture %.2f)" % self.per_frame[-1]
        if perf_stat and client.instructions and player.instructions:
            line += "  instructions/s %.3g, ffplay %.3g" % (client.instructions / client.wall,
                                                            player.instructions / player.wall)
        if idle is not None:
            self.idles.append(idle)
            line += "  idle %.4f" % idle.rate
            if perf_stat and idle.instructions:
                line += " (%.3g instructions/s)" % (idle.instructions / idle.wall)
        if client.latency:
            line += "\n    " + client.latency.text()
        else:
            line += "\n    no present-to-paint times: the client wrote no shown frame to QDK_PRESENT_LOG"
        self.line = line

    def round_text(self, name):
        return "  %s %s" % (name, self.line)

    def summary_texts(self, name):
        texts = ["%s: %.3f CPU-s/s, ratio to ffplay %.2f, per shown picture %s, %s shown%s" % (
            name, median([c.rate for c in self.clients]), median(self.ratios),
            "%.2f" % median(self.per_frame) if self.per_frame else "?",
            fps_text(median([c.shown_fps for c in self.clients])),
            ", idle %.4f CPU-s/s" % median([i.rate for i in self.idles]) if self.idles else "")]
        painted = [v for c in self.clients if c.latency for v in c.latency.painted]
        swapped = [v for c in self.clients if c.latency for v in c.latency.swapped]
        if painted:
            texts.append("%s: present to painted p50 %.1f ms, p99 %.1f ms; to swapped p50 %.1f ms, p99 %.1f ms "
                         "(%d frames; one frame at 60 fps: 16.7 ms)" % (
                             name, percentile(painted, 0.5), percentile(painted, 0.99), percentile(swapped, 0.5),
                             percentile(swapped, 0.99), len(painted)))
        return texts


def fps_text(fps):
    return "%.1f fps" % fps if fps else "? fps"


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=10, help="wall seconds of one sample")
    parser.add_argument("--settle", type=float, default=5, help="seconds between start and sample")
    parser.add_argument("--stream-seconds", type=int, default=10, help="length of the looping stream")
    parser.add_argument("--client", default=os.path.join(ROOT, "build/src/client/app/quarrydesk-client"))
    parser.add_argument("--other-client", metavar="PATH",
                        help="a second client program (e.g. an earlier build), measured in the same rounds")
    parser.add_argument("--server", default=os.path.join(ROOT, "build/tools/demo-server/demo-server"))
    parser.add_argument("--chromium-flags", default="", help="QTWEBENGINE_CHROMIUM_FLAGS for the client")
    parser.add_argument("--no-idle", action="store_true", help="skip the idle samples")
    parser.add_argument("--perf-record", metavar="FILE")
    parser.add_argument("--perf-stat", action="store_true")
    parser.add_argument("--breakdown", action="store_true",
                        help="CPU per process and thread in the first samples")
    parser.add_argument("--keep", metavar="DIR", help="work folder to keep (stream, client homes)")
    options = parser.parse_args()

    programs = [("client", options.client)]
    if options.other_client:
        programs.append(("other", options.other_client))
    results = {name: Results() for name, _ in programs}
    players, floors = [], []
    load_before = os.getloadavg()
    with Bench(options) as bench:
        bench.start_display()
        bench.make_stream()
        bench.start_server()
        log("display %s, server %s, %d rounds of %.0f s samples" % (bench.display, bench.url, options.rounds,
                                                                       options.seconds))
        for name, path in programs:
            log("%s: %s" % (name, path))
        for index in range(options.rounds):
            streams = [(name, bench.client_sample(index, True, path)) for name, path in programs]
            player = bench.player_sample(index)
            players.append(player)
            idles = [] if options.no_idle else [(name, bench.client_sample(index, False, path))
                                                for name, path in programs]
            line = "round %d: ffplay %.3f CPU-s/s (%s shown, X server %.3f)" % (
                index + 1, player.rate, fps_text(player.shown_fps), player.x_server)
            if idles:
                floor, wakeups = timer_floor(min(options.seconds, 5))
                floors.append(floor)
                line += "  1 ms timer floor %.4f (%.0f wakeups/s)" % (floor, wakeups)
            log(line)
            for name, client in streams:
                results[name].add(client, player, dict(idles).get(name), options.perf_stat)
                log(results[name].round_text(name))
    load_after = os.getloadavg()
    log("")
    log("medians over %d rounds: ffplay %.3f CPU-s/s, %s shown" % (
        options.rounds, median([p.rate for p in players]), fps_text(median([p.shown_fps for p in players]))))
    if options.perf_stat:
        pi = median([p.instructions / p.wall if p.instructions else None for p in players])
        if pi:
            log("instructions per second: ffplay %.4g" % pi)
    for name, _ in programs:
        for text in results[name].summary_texts(name):
            log(text)
    if floors:
        log("1 ms timer floor (a bare poll loop): %.4f CPU-s/s" % median(floors))
    log("load average before %.1f %.1f %.1f, after %.1f %.1f %.1f" % (load_before + load_after))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (RuntimeError, subprocess.CalledProcessError) as error:
        print("video_cpu_bench: %s" % error, file=sys.stderr)
        sys.exit(1)
