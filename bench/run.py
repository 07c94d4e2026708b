#!/usr/bin/env python3
"""The benchmarks of tallowmere-service around the real program (run by scripts/bench).

Every figure comes with a reference measured in the same run, interleaved with the
wrapper's own runs, so that a ratio holds on a noisy machine even when the absolute
times do not. All times are taken on the monotonic clock by the helpers in bench/: the
probe (program start, status reports, SIGTERM, a log file that is complete) and the
bench server (its first instruction, the moment it writes its hint, the moment the
quit command arrives on its standard input).
"""

import argparse
import os
import random
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

MIB = 1024 * 1024
FLOOD_LINE = 64  # the flood's lines are 64 bytes, one line feed each


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="build folder with the programs")
    parser.add_argument("--quick", action="store_true", help="fewer repetitions, short windows")
    parser.add_argument("--tmp", default=None, help="folder for the logs (default: $TMPDIR or /tmp)")
    parser.add_argument("--only", default="1,2,3,4,5,6,7,8,9,10,micro", help="figures to run, e.g. 1,4")
    parser.add_argument("--flood-mib", type=int, default=256)
    parser.add_argument("--rounds", type=int, default=None, help="copying rounds (default 5, quick 2)")
    parser.add_argument("--stops", type=int, default=None, help="service runs (default 200, quick 40)")
    parser.add_argument("--window", type=float, default=None, help="footprint window, s (default 10, quick 3)")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--alt-wrapper", default=None,
                        help="a second build of the program, run side by side in figures 1, 3 "
                             "and 5 (before/after)")
    return parser.parse_args()


# --- Statistics --------------------------------------------------------------------

def percentile(values, p):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    k = (len(ordered) - 1) * p / 100.0
    low = int(k)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (k - low)


def spread(values, unit="", scale=1.0, digits=2):
    """median [min .. max] (n=N), the form every figure is printed in"""
    if not values:
        return "no data"
    v = [x * scale for x in values]
    f = "%%.%df" % digits
    return ("median " + f + "%s  [" + f + " .. " + f + "]  (n=%d)") % (
        statistics.median(v), unit, min(v), max(v), len(v))


def show(label, text):
    print("   %-44s %s" % (label, text))


# --- Running the helpers -----------------------------------------------------------

class Bench:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.wrapper = self.tool("tallowmere-service")
        self.server = self.tool("tm-bench-server")
        self.probe = self.tool("tm-bench-probe")
        self.minimal = self.tool("tm-bench-minimal-copy")
        self.relay = self.tool("tm-bench-relay")
        base = args.tmp or os.environ.get("TMPDIR") or "/tmp"
        self.work = tempfile.mkdtemp(prefix="tm-bench.", dir=base)
        self.trial = 0

    def tool(self, name):
        path = os.path.join(self.build, name)
        if not os.access(path, os.X_OK):
            sys.exit("bench: %s is missing; build the release preset first" % path)
        return path

    def path(self, name):
        return os.path.join(self.work, name)

    def fresh(self, *names):
        for name in names:
            try:
                os.unlink(self.path(name))
            except FileNotFoundError:
                pass

    def run_probe(self, options, program):
        result = subprocess.run([self.probe] + options + ["--"] + program,
                                capture_output=True, text=True, timeout=300)
        if result.returncode != 0:
            sys.exit("bench: probe failed: %s" % result.stderr.strip())
        events = {"report": []}
        for line in result.stdout.splitlines():
            word, _, rest = line.partition(" ")
            if word == "report":
                stamp, _, text = rest.partition(" ")
                events["report"].append((int(stamp), parse_report(text)))
            elif word in ("spawn", "done", "sigterm"):
                events[word] = int(rest)
            elif word == "exit":
                stamp, status = rest.split()
                events["exit"] = int(stamp)
                events["status"] = int(status)
            elif word in ("window", "rusage"):
                events[word] = dict(kv.split("=") for kv in rest.split())
                events[word] = {k: int(v) for k, v in events[word].items()}
            elif word == "timeout":
                events["timeout"] = True
        return events

    def stamps(self, name):
        found = {}
        try:
            with open(self.path(name)) as f:
                for line in f:
                    word, value = line.split()
                    found.setdefault(word, int(value))
        except FileNotFoundError:
            pass
        return found

    def service(self, server_args, options, wrapper=None, settings=""):
        """Runs the wrapper once with the bench server and the given probe options;
        `settings` adds lines to the settings file."""
        self.trial += 1
        stamps = "stamps.%d" % self.trial
        self.fresh(stamps, "service.log")
        command = [self.server, "--stamps", self.path(stamps)] + server_args
        with open(self.path("server.cmd"), "w") as f:
            f.write(" ".join(quote(a) for a in command) + "\n")
        with open(self.path("service.ini"), "w") as f:
            f.write("[Tallowmere]\nUseLog=1\nAppendToExistingLog=0\n"
                    "LogFileName=%s\nCommandFile=%s\nLaunchFolder=%s\n"
                    "ServerStartupTimeoutInSeconds=60\n%s"
                    % (self.path("service.log"), self.path("server.cmd"), self.work, settings))
        events = self.run_probe(["--notify", self.path("notify.sock")] + options,
                                [wrapper or self.wrapper, "-" + self.path("service.ini")])
        events.update(self.stamps(stamps))
        self.fresh(stamps)
        return events

    def relayed(self, server_args, options):
        """Runs the least wrapper (the reference) once with the bench server."""
        self.trial += 1
        stamps = "stamps.%d" % self.trial
        self.fresh(stamps)
        events = self.run_probe(["--notify", self.path("notify.sock")] + options,
                                [self.relay, self.server, "--stamps", self.path(stamps)] + server_args)
        events.update(self.stamps(stamps))
        self.fresh(stamps)
        return events

    def piped(self, consumer, log, flood):
        """server | consumer, the references of the copying figure"""
        self.trial += 1
        stamps = "stamps.%d" % self.trial
        self.fresh(stamps, log)
        script = "exec %s --stamps %s --flood %d </dev/null | %s" % (
            quote(self.server), quote(self.path(stamps)), flood, consumer)
        tail = "STARTED\\n" if consumer.startswith("cat") else "STARTED\\r\\n"
        events = self.run_probe(["--watch", self.path(log), "--tail", tail, "--min-size", str(flood)],
                                ["/bin/sh", "-c", script])
        events.update(self.stamps(stamps))
        self.fresh(stamps, log)
        return events


def quote(text):
    return '"%s"' % text if any(c in text for c in " \t'") else text


def parse_report(text):
    """The fields of one notify datagram; 'state' and 'checkpoint' from X_SERVICE_STATUS"""
    fields = {}
    for item in text.split("|"):
        key, _, value = item.partition("=")
        fields[key] = value
    status = fields.get("X_SERVICE_STATUS", "").split()
    if len(status) == 7:
        fields["state"] = int(status[1])
        fields["checkpoint"] = int(status[5])
    return fields


def check(events, what):
    if events.get("timeout"):
        sys.exit("bench: %s did not finish in time" % what)


# --- The figures -------------------------------------------------------------------

def figure_copying(bench, rounds, flood):
    print("\n1. Copying the server's output before its hint: %d MiB, %d rounds" % (flood // MIB, rounds))
    print("   (from the server's first instruction to the whole flood in the log, polled every 0.5 ms)")
    converted = flood + flood // FLOOD_LINE  # each line feed stored as CR LF
    alt = bench.args.alt_wrapper
    who_all = ["cat", "minimal", "wrapper"] + (["alt"] if alt else [])
    times = {who: [] for who in who_all}
    ratios = {who: [] for who in ("wrapper", "alt")}
    ratio_cat = []
    for r in range(rounds):
        order = who_all[r % len(who_all):] + who_all[:r % len(who_all)]  # who runs first changes
        this = {}
        for who in order:
            if who in ("wrapper", "alt"):
                e = bench.service(["--flood", str(flood)],
                                  ["--watch", bench.path("service.log"), "--tail", "STARTED\\r\\n",
                                   "--min-size", str(converted), "--stop-when-done"],
                                  wrapper=os.path.abspath(alt) if who == "alt" else None)
                bench.fresh("service.log")
            elif who == "minimal":
                e = bench.piped("%s %s" % (quote(bench.minimal), quote(bench.path("minimal.log"))),
                                "minimal.log", flood)
            else:
                e = bench.piped("cat > %s" % quote(bench.path("cat.log")), "cat.log", flood)
            check(e, who)
            if "done" not in e or "start" not in e:
                sys.exit("bench: %s did not copy the whole flood" % who)
            this[who] = (e["done"] - e["start"]) / 1e9
            times[who].append(this[who])
        for who in ratios:
            if who in this:
                ratios[who].append(this[who] / this["minimal"])
        ratio_cat.append(this["wrapper"] / this["cat"])
    labels = {"wrapper": "tallowmere-service", "alt": "tallowmere-service, other build",
              "minimal": "minimal loop (read, open, write CR LF, close)", "cat": "cat through a pipe into a file"}
    for who in ["wrapper", "alt", "minimal", "cat"]:
        if not times.get(who):
            continue
        med = statistics.median(times[who])
        show(labels[who], spread(times[who], " s", digits=3) + "  %.0f MiB/s" % (flood / MIB / med))
    for who in ("wrapper", "alt"):
        if ratios[who]:
            verdict = "ok" if statistics.median(ratios[who]) <= 1.10 else "OFF TARGET"
            show("ratio %s / minimal loop (target <= 1.10)" % ("wrapper" if who == "wrapper" else "other build"),
                 spread(ratios[who], digits=3) + "  " + verdict)
    show("ratio wrapper / cat", spread(ratio_cat, digits=2))


def figure_after_hint(bench, rounds, flood):
    """The output after the hint: copied with LogOutputAfterStart=1 (with and without a
    rotation every MiB) against the minimal loop, and drained with 0 against a pipe into
    /dev/null."""
    print("\n1b. The server's output after its hint: %d MiB, %d rounds" % (flood // MIB, rounds))
    print("   (copied: from the server's first instruction to DONE at the log's end;"
          " drained: the server's own time to write the flood)")
    kinds = ["logged", "rotated", "minimal", "drained", "devnull"]
    times = {k: [] for k in kinds}
    ratios = {"logged": [], "rotated": [], "drained": []}
    copy = ["--watch", bench.path("service.log"), "--tail", "DONE\\r\\n", "--min-size", "0",
            "--stop-when-done"]
    for r in range(rounds):
        this = {}
        for kind in kinds[r % len(kinds):] + kinds[:r % len(kinds)]:
            if kind in ("logged", "rotated"):
                settings = "LogOutputAfterStart=1\n"
                if kind == "rotated":
                    settings += "LogFileMaxSizeInKilobytes=1024\nLogFilesKept=2\n"
                e = bench.service(["--flood-after", str(flood)], copy, settings=settings)
                if "done" not in e or "start" not in e:
                    sys.exit("bench: %s did not copy the whole flood" % kind)
                this[kind] = (e["done"] - e["start"]) / 1e9
                bench.fresh("service.log", "service.log.1", "service.log.2")
            elif kind == "minimal":
                e = bench.piped("%s %s" % (quote(bench.minimal), quote(bench.path("minimal.log"))),
                                "minimal.log", flood)
                this[kind] = (e["done"] - e["start"]) / 1e9
            elif kind == "drained":
                e = bench.service(["--flood-after", str(flood), "--end-after", "0"], [])
                if "flooded" not in e or "hint" not in e:
                    sys.exit("bench: the drained flood was not written")
                this[kind] = (e["flooded"] - e["hint"]) / 1e9
            else:
                stamps = bench.path("devnull.stamps")
                bench.fresh("devnull.stamps")
                subprocess.run(["/bin/sh", "-c", "exec %s --stamps %s --flood-after %d --end-after 0"
                                " </dev/null | cat >/dev/null" % (quote(bench.server), quote(stamps), flood)],
                               check=True, timeout=300)
                e = bench.stamps("devnull.stamps")
                this[kind] = (e["flooded"] - e["hint"]) / 1e9
            check(e, kind)
            times[kind].append(this[kind])
        for kind in ("logged", "rotated"):
            ratios[kind].append(this[kind] / this["minimal"])
        ratios["drained"].append(this["drained"] / this["devnull"])
    labels = {"logged": "LogOutputAfterStart=1", "rotated": "  the same, rotated every 1 MiB",
              "minimal": "minimal loop (read, open, write CR LF, close)",
              "drained": "LogOutputAfterStart=0 (drained)", "devnull": "a pipe into cat >/dev/null"}
    for kind in kinds:
        med = statistics.median(times[kind])
        show(labels[kind], spread(times[kind], " s", digits=3) + "  %.0f MiB/s" % (flood / MIB / med))
    for kind, target in (("logged", 1.10), ("rotated", 1.10)):
        verdict = "ok" if statistics.median(ratios[kind]) <= target else "OFF TARGET"
        show("ratio %s / minimal loop (target <= 1.10)" % kind, spread(ratios[kind], digits=3) + "  " + verdict)
    show("ratio drained / pipe into /dev/null", spread(ratios["drained"], digits=3))


def figure_service_runs(bench, runs, rng):
    """Start-up, hint to running and stop latency: one service run gives all three."""
    print("\n2-4. %d service runs: start, hint after a random 0-500 ms, running, SIGTERM" % runs)
    first_report, first_instruction, ref_report, ref_instruction = [], [], [], []
    hint_running, passes, stops, ref_stops, alt_hint_running = [], [], [], [], []
    first_states, failures = {}, 0
    for i in range(runs):
        delay = rng.randrange(0, 500)
        e = bench.service(["--hint-delay", str(delay)], ["--stop-on-running", "--settle-ms", "20"])
        check(e, "a service run")
        reports = e["report"]
        if not reports or e.get("status") != 0 or "quit" not in e:
            failures += 1
            continue
        first_states[reports[0][1].get("state")] = first_states.get(reports[0][1].get("state"), 0) + 1
        first_report.append((reports[0][0] - e["spawn"]) / 1e6)
        first_instruction.append((e["start"] - e["spawn"]) / 1e6)
        running = [t for t, f in reports if f.get("state") == 4]
        if running and "hint" in e:
            hint_running.append((running[0] - e["hint"]) / 1e6)
        wait = [t for t, f in reports if f.get("state") in (2, 4)]
        passes += [(b - a) / 1e6 for a, b in zip(wait, wait[1:])]
        stops.append((e["quit"] - e["sigterm"]) / 1e6)
        if bench.args.alt_wrapper:
            a = bench.service(["--hint-delay", str(delay)], ["--stop-on-running", "--settle-ms", "20"],
                              wrapper=bench.args.alt_wrapper)
            alt_running = [t for t, f in a["report"] if f.get("state") == 4]
            if alt_running and "hint" in a:
                alt_hint_running.append((alt_running[0] - a["hint"]) / 1e6)
        if i % 4 == 0:  # the references, interleaved
            r = bench.run_probe(["--notify", bench.path("notify.sock")],
                                [bench.server, "--stamps", bench.path("ref.stamps"), "--hello", "--exit-now"])
            r.update(bench.stamps("ref.stamps"))
            bench.fresh("ref.stamps")
            if r["report"] and "start" in r:
                ref_report.append((r["report"][0][0] - r["spawn"]) / 1e6)
                ref_instruction.append((r["start"] - r["spawn"]) / 1e6)
            r = bench.relayed(["--hint-delay", "0"], ["--stop-on-running", "--settle-ms", "20"])
            if "quit" in r and "sigterm" in r:
                ref_stops.append((r["quit"] - r["sigterm"]) / 1e6)
    if failures:
        print("   !! %d runs did not end with exit status 0 and the quit command delivered" % failures)

    print("\n2. Start-up overhead (from the program's start, ms)")
    show("to the first status report", spread(first_report, " ms", digits=3))
    show("  reference: a program that reports at once", spread(ref_report, " ms", digits=3))
    show("  overhead (median difference)", "%.3f ms" % (statistics.median(first_report) - statistics.median(ref_report)))
    show("to the server's first instruction", spread(first_instruction, " ms", digits=3))
    show("  reference: the server started directly", spread(ref_instruction, " ms", digits=3))
    show("  overhead (median difference)", "%.3f ms" % (statistics.median(first_instruction) - statistics.median(ref_instruction)))
    show("state of the first report", ", ".join("%s: %d" % ({2: "start pending", 4: "running"}.get(k, k), v)
                                               for k, v in sorted(first_states.items(), key=str)))

    print("\n3. Hint to running report (target p99 under 5 ms)")
    show("hint written -> running report", spread(hint_running, " ms", digits=1)
         + "  p99 %.1f ms" % percentile(hint_running, 99))
    if alt_hint_running:
        show("  the other build (--alt-wrapper)", spread(alt_hint_running, " ms", digits=1)
             + "  p99 %.1f ms" % percentile(alt_hint_running, 99))
    late = [x for x in hint_running if x > 510]
    show("runs over 510 ms", "%d of %d" % (len(late), len(hint_running)))
    show("time between reports of the wait", spread(passes, " ms", digits=2)
         + "  p99 %.2f ms" % percentile(passes, 99))
    long_passes = [x for x in passes if x > 510]
    show("passes over 510 ms", "%d of %d" % (len(long_passes), len(passes)))

    print("\n4. Stop latency: SIGTERM to the quit command on the server's standard input")
    show("tallowmere-service", spread(stops, " ms", digits=3) + "  p99 %.3f ms" % percentile(stops, 99))
    show("  reference: least wrapper (sigwait, write)", spread(ref_stops, " ms", digits=3)
         + "  p99 %.3f ms" % percentile(ref_stops, 99))


def figure_footprint(bench, window, rate):
    print("\n5. Footprint over %.0f s, from 0.2 s after the running report" % window)
    ms = str(int(window * 1000))
    rows = []
    for label, runner, extra in (
            ("wrapper, server idle", bench.service, []),
            ("least wrapper, server idle", bench.relayed, []),
            ("wrapper, server prints %d KiB/s" % (rate // 1024), bench.service, ["--after-rate", str(rate)]),
            ("wrapper logging it (LogOutputAfterStart=1)", bench.service, ["--after-rate", str(rate)]),
            ("wrapper logging, server idle", bench.service, []),
            ("least wrapper, server prints %d KiB/s" % (rate // 1024), bench.relayed, ["--after-rate", str(rate)]),
            ("other build, server idle", bench.service if bench.args.alt_wrapper else None, [])):
        if runner is None:
            continue
        options = ["--window-ms", ms, "--settle-ms", "200", "--stop-on-running"]
        if label.startswith("other build"):
            e = runner(["--hint-delay", "0"] + extra, options, wrapper=bench.args.alt_wrapper)
        elif label.startswith("wrapper logging"):
            e = runner(["--hint-delay", "0"] + extra, options, settings="LogOutputAfterStart=1\n")
        else:
            e = runner(["--hint-delay", "0"] + extra, options)
        check(e, label)
        w, u = e.get("window"), e.get("rusage")
        if not w:
            print("   !! %s: no window measured" % label)
            continue
        rows.append((label, w, u))
    print("   %-40s %7s %9s %9s %10s %9s %9s" % ("", "threads", "RSS KiB", "peak KiB", "CPU ms", "wake-ups", "preempt"))
    for label, w, u in rows:
        print("   %-40s %7d %9d %9d %10.3f %9d %9d" % (label, w["threads"], w["rss_kb"], max(w["hwm_kb"], u["maxrss_kb"]),
                                                  w["cpu_ns"] / 1e6, w["voluntary"], w["involuntary"]))
    print("   (wake-ups: voluntary context switches of all threads in the window; preempt: involuntary ones)")


def figure_server_end(bench, runs):
    """The server ends by itself once it runs: how soon the stopped report follows."""
    print("\n6. Server end to stopped report (%d runs; target p99 under 5 ms)" % runs)
    latencies, codes = [], {}
    for _ in range(runs):
        e = bench.service(["--hint-delay", "0", "--end-after", "50"], [])
        check(e, "a run whose server ends")
        stopped = [t for t, f in e["report"] if f.get("state") == 1]
        if stopped and "end" in e:
            latencies.append((stopped[0] - e["end"]) / 1e6)
        codes[e.get("status")] = codes.get(e.get("status"), 0) + 1
    show("server's last instruction -> stopped report", spread(latencies, " ms", digits=3)
         + "  p99 %.3f ms" % percentile(latencies, 99))
    show("exit status of the program", ", ".join("%s: %d" % kv for kv in sorted(codes.items(), key=str)))


def figure_pid1_orphans(bench, seconds, rate):
    """The program as PID 1 of a PID namespace (a container) with a server that orphans
    `rate` processes a second: how many zombies wait to be reaped, and what reaping costs."""
    total = int(seconds * rate)
    print("\n7. As PID 1, a server that orphans %d short-lived processes a second for %d s "
          "(target: 0 zombies after each reap pass, a handful at most in between)"
          % (rate, seconds))
    if shutil.which("unshare") is None:
        print("   unshare missing (util-linux): not measured")
        return
    sample_server = bench.tool("sample-server")
    bench.fresh("orphans.ini", "orphans.cmd", "orphans.log", "orphans.done", "orphans.up")
    with open(bench.path("orphans.ini"), "w") as f:
        f.write("[Tallowmere]\nCommandFile=%s\nLogFileName=%s\nServerStopTimeoutInSeconds=10\n"
                % (bench.path("orphans.cmd"), bench.path("orphans.log")))
    with open(bench.path("orphans.cmd"), "w") as f:
        f.write("%s --hint 0 --mark %s --orphans %d:%d --mark %s --max-life %d\n"
                % (sample_server, bench.path("orphans.up"), total, rate,
                   bench.path("orphans.done"), seconds + 60))
    outer = subprocess.Popen(["unshare", "--pid", "--fork", "--kill-child", "--mount-proc", "--",
                              bench.wrapper, "-" + bench.path("orphans.ini")],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    samples = []
    inner = None
    try:
        deadline = time.monotonic() + 30
        while inner is None and time.monotonic() < deadline:
            inner = next(iter(children(outer.pid)), None)
            time.sleep(0.01)
        while not os.path.exists(bench.path("orphans.up")) and time.monotonic() < deadline:
            time.sleep(0.01)
        before = cpu_ticks(inner)
        deadline = time.monotonic() + seconds + 30
        while not os.path.exists(bench.path("orphans.done")) and time.monotonic() < deadline:
            samples.append(len(children(inner, zombies=True)))
            time.sleep(0.002)
        time.sleep(0.1)
        after_zombies = len(children(inner, zombies=True))
        used = cpu_ticks(inner) - before
    finally:
        if inner:
            os.kill(inner, signal.SIGTERM)
        try:
            outer.wait(timeout=30)
        except subprocess.TimeoutExpired:
            outer.kill()
            outer.wait()
    if not samples:
        print("   !! no samples")
        return
    tick = os.sysconf("SC_CLK_TCK")
    show("zombies of the program, sampled every 2 ms (%d samples)" % len(samples),
         "median %d, p99 %d, max %d; 0 in %.1f%% of the samples"
         % (statistics.median(samples), percentile(samples, 99), max(samples),
            100.0 * samples.count(0) / len(samples)))
    show("zombies 0.1 s after the last orphan", "%d" % after_zombies)
    show("CPU of the program per reaped orphan", "%.1f us (%d orphans, %.2f s of CPU)"
         % (used / tick / total * 1e6, total, used / tick))


def children(parent, zombies=False):
    found = []
    for name in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % name) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if int(fields[1]) == parent and (fields[0] == "Z" or not zombies):
            found.append(int(name))
    return found


def cpu_ticks(pid):
    """utime + stime of a process (and of its threads), in clock ticks."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def figure_container_stop(bench, stops):
    """podman stop to the quit command, with the static build in a container (the driver of
    tests/container does the Podman part)."""
    print("\n8. Container stop to the quit command on the server's input (target p99 under 5 ms)")
    static = os.path.join(os.path.dirname(bench.build), "package-static")
    driver = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "container",
                          "run_podman.py")
    if shutil.which("podman") is None or not os.access(os.path.join(static, "tallowmere-service"), os.X_OK):
        print("   podman or %s/tallowmere-service missing: not measured" % static)
        return
    result = subprocess.run([sys.executable, driver, "--build", static, "--measure-stops", str(stops)],
                            capture_output=True, text=True, timeout=1800)
    for line in result.stdout.splitlines():
        if line.startswith("stop -> quit"):
            show(line.split(":", 1)[0], line.split(":", 1)[1].strip())
    if result.returncode != 0:
        print("   !! the container driver failed: " + (result.stdout + result.stderr).strip()[-500:])


def figure_command_latency(bench, runs):
    """A control code's command, from the signal to its bytes on the server's input."""
    print("\n9. Control code (SIGRTMIN) to its command on the server's input, %d runs "
          "(target p99 under 2 ms)" % runs)
    latencies = []
    for i in range(runs):
        stamps = bench.path("command.stamps")
        bench.fresh("command.stamps", "command.log")
        with open(bench.path("command.cmd"), "w") as f:
            f.write("%s --stamps %s\n" % (quote(bench.server), quote(stamps)))
        with open(bench.path("command.ini"), "w") as f:
            # The bench server stamps the read that completes "quit": the command is one.
            f.write("[Tallowmere]\nCommandFile=%s\nLogFileName=%s\nStartHint=Server STARTED\n"
                    "Control128=quit\n" % (bench.path("command.cmd"), bench.path("command.log")))
        service = subprocess.Popen([bench.wrapper, "-" + bench.path("command.ini")],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline and "hint" not in read_stamps(stamps):
                time.sleep(0.005)
            time.sleep(0.05)  # the program has seen the hint and waits for nothing
            sent = time.monotonic_ns()
            os.kill(service.pid, signal.SIGRTMIN)
            while time.monotonic() < deadline and "quit" not in read_stamps(stamps):
                time.sleep(0.001)
            got = read_stamps(stamps).get("quit")
            if got is not None:
                latencies.append((got - sent) / 1e6)
            service.wait(timeout=30)
        finally:
            if service.poll() is None:
                service.kill()
                service.wait()
    show("signal -> command read by the server", spread(latencies, " ms", digits=3)
         + "  p99 %.3f ms" % percentile(latencies, 99))


class AttachedClient:
    """A console client of the bench: it connects once the console exists, asks to attach,
    then reads what comes (`reads`) or never reads at all."""

    def __init__(self, path, reads):
        self.path = path
        self.reads = reads
        self.done = threading.Event()
        self.attached = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        deadline = time.monotonic() + 30
        while not os.path.exists(self.path) and time.monotonic() < deadline:
            time.sleep(0.001)
        client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            client.connect(self.path)
            client.sendall(b"attach\n")
            self.attached.set()
            while not self.done.is_set():
                if self.reads:
                    client.settimeout(0.5)
                    try:
                        if not client.recv(65536):
                            break
                    except socket.timeout:
                        pass
                else:
                    self.done.wait(0.5)
        except OSError:
            pass
        finally:
            client.close()

    def stop(self):
        self.done.set()
        self.thread.join(5)


def figure_console(bench, rounds, flood, window, runs):
    """The console: a command's latency from the client's request, a flood with a client
    that never reads, idle with an attached client."""
    console = bench.path("console.sock")
    settings = "ConsolePath=%s\n" % console
    print("\n10. The console")

    # A command from the client's request (one write on the socket) to its bytes read by the
    # server, side by side with the same command on a control code.
    latencies = {"console": [], "signal": []}
    for i in range(runs):
        kind = ("console", "signal")[i % 2]
        stamps = bench.path("command.stamps")
        bench.fresh("command.stamps", "command.log", "console.sock")
        with open(bench.path("command.cmd"), "w") as f:
            f.write("%s --stamps %s\n" % (quote(bench.server), quote(stamps)))
        with open(bench.path("command.ini"), "w") as f:
            f.write("[Tallowmere]\nCommandFile=%s\nLogFileName=%s\nStartHint=Server STARTED\n"
                    "Control128=quit\n%s" % (bench.path("command.cmd"), bench.path("command.log"),
                                            settings))
        service = subprocess.Popen([bench.wrapper, "-" + bench.path("command.ini")],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        client = None
        try:
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline and "hint" not in read_stamps(stamps):
                time.sleep(0.005)
            if kind == "console":
                client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                client.connect(console)
            time.sleep(0.05)  # the program has seen the hint and waits for nothing
            sent = time.monotonic_ns()
            if client:
                client.sendall(b"send quit\n")
            else:
                os.kill(service.pid, signal.SIGRTMIN)
            while time.monotonic() < deadline and "quit" not in read_stamps(stamps):
                time.sleep(0.0005)
            got = read_stamps(stamps).get("quit")
            if got is not None:
                latencies[kind].append((got - sent) / 1e6)
            service.wait(timeout=30)
        finally:
            if client:
                client.close()
            if service.poll() is None:
                service.kill()
                service.wait()
    for kind, label in (("console", "console request -> command read by the server"),
                        ("signal", "control code (SIGRTMIN) -> the same")):
        values = latencies[kind]
        show(label, spread(values, " ms", digits=3) + "  p99 %.3f ms" % percentile(values, 99)
             + ("  ok" if kind == "signal" or percentile(values, 99) < 2 else "  OFF TARGET")
             if values else "no run")

    # The output after the hint, logged, with and without an attached client that never
    # reads: the reader drops the client's share and waits for nobody.
    copy = ["--watch", bench.path("service.log"), "--tail", "DONE\r\n", "--min-size", "0",
            "--stop-when-done"]
    times = {"alone": [], "attached": []}
    ratios = []
    for r in range(rounds):
        this = {}
        for kind in (("alone", "attached") if r % 2 == 0 else ("attached", "alone")):
            bench.fresh("console.sock")
            client = AttachedClient(console, reads=False) if kind == "attached" else None
            e = bench.service(["--hint-delay", "300", "--flood-after", str(flood)], copy,
                              settings="LogOutputAfterStart=1\n" + settings)
            if client:
                attached = client.attached.is_set()
                client.stop()
                if not attached:
                    sys.exit("bench: the client never attached")
            if "done" not in e or "start" not in e:
                sys.exit("bench: %s did not copy the whole flood" % kind)
            this[kind] = (e["done"] - e["start"]) / 1e9
            times[kind].append(this[kind])
            bench.fresh("service.log")
        ratios.append(this["attached"] / this["alone"])
    show("flood of %d MiB logged, no client" % (flood // MIB), spread(times["alone"], " s", digits=3))
    show("  the same, a client attached that never reads", spread(times["attached"], " s", digits=3))
    verdict = "ok" if statistics.median(ratios) <= 1.05 else "OFF TARGET"
    show("ratio attached / no client (target <= 1.05)", spread(ratios, digits=3) + "  " + verdict)

    # Idle: the console open and one attached client that reads, the server printing nothing.
    ms = str(int(window * 1000))
    options = ["--window-ms", ms, "--settle-ms", "200", "--stop-on-running"]
    rows = []
    for label, attach in (("console open, no client", False), ("console open, one attached idle client", True)):
        bench.fresh("console.sock")
        client = AttachedClient(console, reads=True) if attach else None
        e = bench.service(["--hint-delay", "300"], options, settings=settings)
        if client:
            attached = client.attached.is_set()
            client.stop()
            if not attached:
                sys.exit("bench: the client never attached")
        w = e.get("window")
        if w:
            rows.append((label, w))
    for label, w in rows:
        show(label, "%d threads, %d KiB, CPU %.3f ms, %d wake-ups" % (
            w["threads"], w["rss_kb"], w["cpu_ns"] / 1e6, w["voluntary"]))


def read_stamps(path):
    found = {}
    try:
        with open(path) as f:
            for line in f:
                word, _, value = line.partition(" ")
                if value.strip().isdigit():
                    found[word] = int(value)
    except OSError:
        pass
    return found


def figure_micro(bench):
    path = os.path.join(bench.build, "tm-bench-micro")
    print("\nMicro-benchmarks (Google Benchmark)")
    if not os.access(path, os.X_OK):
        print("   tm-bench-micro not built (libbenchmark-dev missing?)")
        return
    result = subprocess.run([path, "--benchmark_min_time=0.2", "--benchmark_color=false"],
                            capture_output=True, text=True, cwd=bench.work)
    for line in result.stdout.splitlines():
        print("   " + line)
    if result.returncode != 0:
        print("   !! tm-bench-micro failed: " + result.stderr.strip())


def machine(bench):
    model = ""
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except FileNotFoundError:
        pass
    fs = subprocess.run(["stat", "-f", "-c", "%T", bench.work], capture_output=True, text=True).stdout.strip()
    return "%d processors (%s), kernel %s, logs on %s (%s)" % (
        os.cpu_count(), model, os.uname().release, bench.work, fs)


def main():
    args = parse_args()
    quick = args.quick
    rounds = args.rounds or (2 if quick else 5)
    runs = args.stops or (40 if quick else 200)
    window = args.window or (3.0 if quick else 10.0)
    only = set(args.only.split(","))
    bench = Bench(args)
    rng = random.Random(args.seed)
    try:
        print("tallowmere-service benchmarks%s" % (" (quick)" if quick else ""))
        print("machine: " + machine(bench))
        if "1" in only:
            figure_copying(bench, rounds, args.flood_mib * MIB)
            figure_after_hint(bench, rounds, args.flood_mib * MIB)
        if only & {"2", "3", "4"}:
            figure_service_runs(bench, runs, rng)
        if "5" in only:
            figure_footprint(bench, window, 1024 * 1024)
        if "6" in only:
            figure_server_end(bench, 40 if quick else 200)
        if "7" in only:
            figure_pid1_orphans(bench, 3 if quick else 10, 1000)
        if "8" in only:
            figure_container_stop(bench, 20 if quick else 100)
        if "9" in only:
            figure_command_latency(bench, 40 if quick else 200)
        if "10" in only:
            figure_console(bench, rounds, args.flood_mib * MIB, window, 40 if quick else 200)
        if "micro" in only:
            figure_micro(bench)
    finally:
        shutil.rmtree(bench.work, ignore_errors=True)


if __name__ == "__main__":
    main()
