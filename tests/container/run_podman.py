#!/usr/bin/env python3
"""The static Linux build as a container's entry point, under a real Podman.

Usage: run_podman.py --build DIR [--program PATH] [--tools DIR] [--scenario NAME]...
                     [--list] [--measure-stops N]

DIR holds the statically linked tallowmere-service and sample-server (the package-static
preset); --program puts another tallowmere-service into the image (the release tarball's);
--tools names the folder of notify-listener, which runs on the host (default: DIR).
The image is the shipped example, packaging/container/Containerfile, built on a base made
here from nothing (busybox-static and a few links, imported as a tarball): no registry is
reached. Podman runs with what was measured to work on this machine: runc (crun refuses
the hybrid cgroup layout), the vfs driver, cgroupfs, no network, lowered limits, and a
storage root and run root of this run's own, so that the host's own container storage is
never touched.

Each row starts a container from the image with its own settings and command file
(mounted over the image's), drives it with podman (stop, healthcheck run, wait) and checks
the container's exit code, its log and what the server recorded in a folder mounted at
/records. At the end, also when interrupted, everything this run made goes again (its
containers, images, storage, mounts and the cgroup folders that Podman made), and the run
checks that nothing of it is left.

--measure-stops N runs N containers instead and prints how long the quit command takes to
reach the server: from SIGTERM to the container's PID 1 (what podman stop sends), and from
the start of a podman stop command (podman's own start-up included).
"""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
PACKAGING = os.path.join(ROOT, "packaging", "container")
BASE_IMAGE = "localhost/tallowmere-test-base"
IMAGE = "localhost/tallowmere-test-game"
HINT = "Server STARTED"  # the shipped game.ini's StartHint
# The same for the sample server's command line, where the log's copy of that line must not
# hold the hint itself (the health check looks for it in the log).
HINT_OPTION = "--hint-text Server\\x20STARTED"
LOG = "/srv/game/tallowmere.log"  # and its LogFileName
RUN_LIMITS = ["--network", "none", "--ulimit", "nofile=1024:1024", "--ulimit", "nproc=1024:1024"]

# command: the sample server's options (the hint text and the records are added);
# settings: keys that replace the shipped game.ini's; stop: podman stop -t N (None: the
# container ends by itself); stop_within: (at least, at most) seconds that the stop takes;
# exit_code: the container's; server_end: what the server wrote in its exit file (None:
# ended from outside); log: texts the log must hold; steps before the stop:
# ("file", NAME) waits for /records/NAME, ("no_zombies",) checks PID 1's children,
# ("health", CODE) runs the health check, ("touch", NAME) creates /records/NAME,
# ("log", TEXT) waits for TEXT in the log, ("ready", BOOL) that the notify listener (notify:
# a socket of the host's as NOTIFY_SOCKET) has, or has not, heard READY=1.
ROWS = [
    dict(name="podman_stop_waits_for_a_server_that_saves",
         about="podman stop -t 20 of a server that needs 3 s to save: the quit command "
               "arrives, the server saves and ends by itself, the container exits 0 well "
               "inside the 20 s",
         settings={"ServerStopTimeoutInSeconds": "10"},
         command="--hint 0 --mark /records/up --quit-delay 3000 --saved \"Saved\\n\"",
         steps=[("file", "up")], stop=20, stop_within=(3.0, 10.0), exit_code=0,
         server_end="quit", log=["stopped.", "Saved", "Server ended with exit code 0"]),
    dict(name="podman_stop_of_a_server_that_ignores_quit_ends_its_tree_first",
         about="podman stop -t 5 of a server that ignores the quit command and has a child, "
               "with ServerStopTimeoutInSeconds=2: the program ends the whole tree and "
               "exits 0 before Podman's SIGKILL is due",
         settings={"ServerStopTimeoutInSeconds": "2"},
         command="--spawn-child /records/child.pid --hint 0 --mark /records/up "
                 "--quit nothing-quits-me --at-eof ignore",
         steps=[("file", "up"), ("file", "child.pid")], stop=5, stop_within=(2.0, 4.5),
         exit_code=0, server_end=None,
         log=["stopped.", "Server ended: no exit within the stop timeout"]),
    dict(name="a_daemonizing_helper_leaves_no_zombie",
         about="a server whose helper daemonizes (a session of its own) and which orphans "
               "100 processes that end at once: no zombie while it runs, exit 0 at the stop",
         settings={"ServerStopTimeoutInSeconds": "10"},
         command="--spawn-session /records/child.pid --orphans 100:0 --hint 0 "
                 "--mark /records/up",
         steps=[("file", "up"), ("file", "child.pid"), ("no_zombies",)], stop=10,
         stop_within=(0.0, 5.0), exit_code=0, server_end="quit",
         log=["stopped.", "Server ended with exit code 0"]),
    dict(name="a_crash_after_the_start_is_the_containers_exit_code",
         about="a server that crashes after its start: the container's exit code is the "
               "server's (139, SIGSEGV)",
         settings={},
         command="--hint 0 --sleep 1000 --crash",
         steps=[], stop=None, exit_code=139, server_end=None,
         log=["Server ended with exit code 139"]),
    dict(name="a_notify_socket_passed_in_sees_the_hint_as_readiness",
         about="NOTIFY_SOCKET set to a socket of the host's, mounted into the container (what "
               "podman run --sdnotify=container does under systemd): start pending while the "
               "server loads, READY=1 at its hint, the stop's reports after",
         settings={"ServerStopTimeoutInSeconds": "10"},
         command="--mark /records/loading --wait-for /records/go --hint 0 --mark /records/up",
         notify=True,
         steps=[("file", "loading"), ("ready", False), ("touch", "go"), ("file", "up"),
                ("ready", True)],
         stop=10, stop_within=(0.0, 5.0), exit_code=0, server_end="quit",
         log=["stopped.", "Server ended with exit code 0"]),
    dict(name="healthy_only_after_the_hint",
         about="the image's health check fails while the server loads and passes once it "
               "has printed its hint",
         settings={"ServerStopTimeoutInSeconds": "10"},
         command="--print \"Loading\\n\" --mark /records/loading --wait-for /records/go --hint 0",
         steps=[("file", "loading"), ("health", 1), ("touch", "go"), ("log", HINT),
                ("health", 0)],
         stop=10, stop_within=(0.0, 5.0), exit_code=0, server_end="quit",
         log=["stopped.", "Server ended with exit code 0"]),
]


class Failure(Exception):
    pass


class Podman:
    """podman with this run's own storage and the settings that work on this machine."""

    def __init__(self, base):
        self.base = base
        self.flags = ["--root", os.path.join(base, "root"),
                      "--runroot", os.path.join(base, "runroot"),
                      "--storage-driver", "vfs", "--runtime", "runc",
                      "--cgroup-manager", "cgroupfs", "--events-backend", "none"]

    def run(self, *args, check=True, timeout=120):
        done = subprocess.run(["podman"] + self.flags + list(args), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, timeout=timeout)
        if check and done.returncode != 0:
            raise Failure("podman %s: status %d: %s" % (" ".join(args[:2]), done.returncode,
                                                        done.stderr.strip()[-500:]))
        return done


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return condition()


# --- What this run leaves behind ----------------------------------------------------------

def cgroup_folders():
    """Podman's parent cgroup folders in every hierarchy (cgroupfs manager)."""
    found = set()
    top = "/sys/fs/cgroup"
    for name in os.listdir(top):
        for candidate in (os.path.join(top, name, "libpod_parent"),
                          os.path.join(top, "libpod_parent")):
            if os.path.isdir(candidate):
                found.add(candidate)
    return found


def mounts_under(base):
    with open("/proc/self/mountinfo") as f:
        points = [line.split()[4] for line in f]
    return [p for p in points if p == base or p.startswith(base + "/")]


def processes_mentioning(base):
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit() or int(name) == os.getpid():
            continue
        try:
            with open("/proc/%s/cmdline" % name, "rb") as f:
                if base.encode() in f.read():
                    found.append(int(name))
        except OSError:
            pass
    return found


def clean_up(podman, cgroups_before):
    """Removes everything of this run, then says what could not be removed."""
    base = podman.base
    for args in (("rm", "--all", "--force", "--time", "0"), ("rmi", "--all", "--force")):
        try:
            podman.run(*args, check=False, timeout=60)
        except (OSError, subprocess.TimeoutExpired):
            pass
    for pid in processes_mentioning(base):  # a conmon that outlived its container
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    for point in reversed(mounts_under(base)):
        subprocess.run(["umount", "-l", point], stderr=subprocess.DEVNULL)
    shutil.rmtree(base, ignore_errors=True)
    for folder in cgroup_folders() - cgroups_before:
        for path, _, _ in sorted(os.walk(folder), key=lambda item: -item[0].count("/")):
            try:
                os.rmdir(path)
            except OSError:
                pass
    left = []
    if os.path.exists(base):
        left.append("the folder %s" % base)
    left += ["a mount at %s" % p for p in mounts_under(base)]
    left += ["the cgroup folder %s" % p for p in sorted(cgroup_folders() - cgroups_before)]
    left += ["process %d" % p for p in processes_mentioning(base)]
    return left


# --- The image ----------------------------------------------------------------------------

def import_base(podman, base):
    """A base image from nothing: busybox-static as /bin/sh and the few commands in use."""
    archive = os.path.join(base, "base.tar")
    with tarfile.open(archive, "w") as tar:
        def folder(name):
            info = tarfile.TarInfo(name)
            info.type = tarfile.DIRTYPE
            info.mode = 0o1777 if name == "tmp" else 0o755
            tar.addfile(info)
        for name in ("bin", "etc", "tmp", "srv", "records"):
            folder(name)
        tar.add("/bin/busybox", "bin/busybox")
        for tool in ("sh", "grep", "cat", "ps"):
            link = tarfile.TarInfo("bin/" + tool)
            link.type = tarfile.SYMTYPE
            link.linkname = "busybox"
            tar.addfile(link)
    podman.run("import", archive, BASE_IMAGE)


def build_image(podman, base, build, program):
    context = os.path.join(base, "context")
    os.makedirs(os.path.join(context, "server"))
    shutil.copy(os.path.join(PACKAGING, "Containerfile"), context)
    shutil.copy(os.path.join(PACKAGING, "game.ini"), context)
    shutil.copy(program, os.path.join(context, "tallowmere-service"))
    shutil.copy(os.path.join(build, "sample-server"), os.path.join(context, "server"))
    with open(os.path.join(context, "server", "server.cmd"), "w") as f:
        f.write("/srv/game/sample-server %s --hint 0\n" % HINT_OPTION)
    podman.run("build", "--format", "docker", "--network", "none", "--build-arg",
               "BASE=" + BASE_IMAGE, "--tag", IMAGE, context, timeout=300)


def settings_for(row_settings):
    """The shipped game.ini with the row's keys in place of its own."""
    lines = []
    left = dict(row_settings)
    with open(os.path.join(PACKAGING, "game.ini")) as f:
        for line in f.read().splitlines():
            key = line.split("=", 1)[0].strip()
            if "=" in line and not line.lstrip().startswith(";") and key in left:
                line = "%s=%s" % (key, left.pop(key))
            lines.append(line)
    lines += ["%s=%s" % item for item in left.items()]
    return "\r\n".join(lines) + "\r\n"


def start(podman, name, folder, row, listener=None):
    with open(os.path.join(folder, "game.ini"), "w", newline="") as f:
        f.write(settings_for(row.get("settings", {})))
    with open(os.path.join(folder, "server.cmd"), "w") as f:
        f.write("/srv/game/sample-server %s %s --exit-file /records/exit.txt "
                "--quit-time-file /records/quit.ns --max-life 120\n" % (HINT_OPTION, row["command"]))
    os.chmod(folder, 0o777)
    notify = ["--env", "NOTIFY_SOCKET=/records/notify.sock"] if listener else []
    podman.run("run", "--detach", "--name", name, *RUN_LIMITS, *notify,
               "--health-interval", "disable",
               "--volume", "%s:/records" % folder,
               "--volume", "%s/game.ini:/etc/tallowmere/game.ini:ro" % folder,
               "--volume", "%s/server.cmd:/srv/game/server.cmd:ro" % folder, IMAGE)
    pid = int(podman.run("inspect", name, "--format", "{{.State.Pid}}").stdout.strip() or 0)
    if pid <= 0:
        raise Failure("the container has no process")
    return pid


def log_of(podman, name, folder):
    copy = os.path.join(folder, "copied.log")
    podman.run("cp", "%s:%s" % (name, LOG), copy, check=False)
    try:
        with open(copy, "rb") as f:
            return f.read().decode("latin-1")
    except OSError:
        return ""


def zombies_of(parent):
    found = []
    for name in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % name) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if fields[0] == "Z" and int(fields[1]) == parent:
                found.append(int(name))
        except (OSError, IndexError, ValueError):
            pass
    return found


class Listener:
    """notify-listener on a socket in the row's folder; the lines it printed."""

    def __init__(self, program, path):
        self.output = open(path + ".txt", "w+")
        self.process = subprocess.Popen([program, path], stdout=self.output,
                                        stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        if "listening on" not in self.process.stderr.readline().decode("latin-1"):
            raise Failure("notify-listener did not start")

    def lines(self):
        self.output.seek(0)
        return self.output.read().splitlines()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=10)
        self.output.close()


def run_row(podman, base, row, tools):
    folder = tempfile.mkdtemp(prefix=row["name"][:40] + "-", dir=base)
    name = "tm-" + row["name"].replace("_", "-")[:50]
    problems = []
    listener = None
    try:
        if row.get("notify"):
            os.chmod(folder, 0o777)
            listener = Listener(os.path.join(tools, "notify-listener"),
                                os.path.join(folder, "notify.sock"))
        pid = start(podman, name, folder, row, listener)
        for step in row["steps"]:
            if step[0] == "file":
                if not wait_until(lambda: os.path.exists(os.path.join(folder, step[1])), 30):
                    raise Failure("/records/%s never appeared" % step[1])
            elif step[0] == "touch":
                open(os.path.join(folder, step[1]), "w").close()
            elif step[0] == "log":
                if not wait_until(lambda: step[1] in log_of(podman, name, folder), 30):
                    raise Failure("the log never held %r" % step[1])
            elif step[0] == "no_zombies":
                if not wait_until(lambda: not zombies_of(pid), 10):
                    raise Failure("%d zombie(s) of PID 1 after 10 s" % len(zombies_of(pid)))
            elif step[0] == "ready":
                ready = lambda: any("READY=1" in line for line in listener.lines())
                if step[1] and not wait_until(ready, 10):
                    raise Failure("no READY=1 at the hint: %s" % listener.lines())
                if not step[1] and ready():
                    raise Failure("READY=1 before the hint: %s" % listener.lines())
                if not step[1] and not any("STATUS=Starting" in l for l in listener.lines()):
                    if not wait_until(lambda: any("STATUS=Starting" in l for l in listener.lines()), 5):
                        raise Failure("no start-pending report: %s" % listener.lines())
            elif step[0] == "health":
                got = podman.run("healthcheck", "run", name, check=False).returncode
                if got != step[1]:
                    raise Failure("the health check gave %d, expected %d" % (got, step[1]))
        began = time.monotonic()
        if row["stop"] is not None:
            podman.run("stop", "--time", str(row["stop"]), name, timeout=row["stop"] + 60)
        else:
            podman.run("wait", name, timeout=60)
        took = time.monotonic() - began
        code = int(podman.run("inspect", name, "--format", "{{.State.ExitCode}}").stdout.strip())
        if code != row["exit_code"]:
            problems.append("the container's exit code is %d, expected %d" % (code, row["exit_code"]))
        if "stop_within" in row:
            low, high = row["stop_within"]
            if not low <= took <= high:
                problems.append("the stop took %.1f s, expected %.1f to %.1f s" % (took, low, high))
        try:
            with open(os.path.join(folder, "exit.txt")) as f:
                end = f.read().strip()
        except OSError:
            end = None
        if end != row["server_end"]:
            problems.append("the server ended by %r, expected %r" % (end, row["server_end"]))
        log = log_of(podman, name, folder)
        for text in row["log"]:
            if text not in log:
                problems.append("the log does not hold %r" % text)
        if listener:
            wait_until(lambda: any("STATUS=Stopped" in l for l in listener.lines()), 5)
            if not any("STATUS=Stopped (exit code 0)" in l for l in listener.lines()):
                problems.append("no stopped report: %s" % listener.lines())
        if problems:
            problems.append("log: %r" % log[-1500:])
    except (Failure, subprocess.TimeoutExpired) as failure:
        problems.append(str(failure))
    finally:
        podman.run("rm", "--force", "--time", "0", name, check=False)
        if listener:
            listener.stop()
    return problems


def measure_stops(podman, base, count):
    """Milliseconds from the stop to the quit command on the server's input."""
    row = dict(settings={"ServerStopTimeoutInSeconds": "10"}, command="--hint 0 --mark /records/up")
    by_signal, by_command = [], []
    for i in range(count):
        folder = tempfile.mkdtemp(prefix="measure-", dir=base)
        name = "tm-measure-%d" % i
        try:
            pid = start(podman, name, folder, row)
            if not wait_until(lambda: os.path.exists(os.path.join(folder, "up")), 30):
                raise Failure("the server never started")
            time.sleep(0.2)  # the program has seen the hint and waits for nothing
            began = time.monotonic_ns()
            if i % 2 == 0:
                os.kill(pid, signal.SIGTERM)
            else:
                podman.run("stop", "--time", "20", name)
            quit_file = os.path.join(folder, "quit.ns")
            if not wait_until(lambda: os.path.exists(quit_file) and os.path.getsize(quit_file) > 0, 20):
                raise Failure("no quit command arrived")
            with open(quit_file) as f:
                arrived = int(f.read().split()[0])
            (by_signal if i % 2 == 0 else by_command).append((arrived - began) / 1e6)
            podman.run("wait", name, timeout=60)
        finally:
            podman.run("rm", "--force", "--time", "0", name, check=False)
    return by_signal, by_command


def percentile(values, p):
    ordered = sorted(values)
    k = (len(ordered) - 1) * p / 100.0
    low = int(k)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (k - low)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="folder of the static programs")
    parser.add_argument("--program", help="the tallowmere-service to put into the image")
    parser.add_argument("--tools", help="folder with notify-listener (default: --build)")
    parser.add_argument("--scenario", action="append", default=[], help="run only this row")
    parser.add_argument("--list", action="store_true", help="print the rows' names")
    parser.add_argument("--measure-stops", type=int, default=0, metavar="N")
    args = parser.parse_args()
    if args.list:
        for row in ROWS:
            print(row["name"])
        return 0
    rows = [r for r in ROWS if not args.scenario or r["name"] in args.scenario]
    if not rows and not args.measure_stops:
        print("no such row: %s" % ", ".join(args.scenario))
        return 2
    if shutil.which("podman") is None or shutil.which("runc") is None:
        print("run_podman: podman and runc are needed (scripts/check installs them)")
        return 1
    build = os.path.abspath(args.build)
    tools = os.path.abspath(args.tools or build)
    program = os.path.abspath(args.program or os.path.join(build, "tallowmere-service"))

    # An interruption ends the run through the clean-up below.
    def interrupted(number, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, interrupted)
    cgroups_before = cgroup_folders()
    podman = Podman(tempfile.mkdtemp(prefix="tallowmere-podman-"))
    failed = []
    status = 0
    try:
        import_base(podman, podman.base)
        build_image(podman, podman.base, build, program)
        if args.measure_stops:
            by_signal, by_command = measure_stops(podman, podman.base, args.measure_stops)
            for label, values in (("SIGTERM to PID 1", by_signal),
                                  ("podman stop, its own start-up included", by_command)):
                print("stop -> quit command, %s: median %.2f ms, p99 %.2f ms, max %.2f ms (n=%d)"
                      % (label, statistics.median(values), percentile(values, 99),
                         max(values), len(values)))
        for row in rows if not args.measure_stops else []:
            began = time.monotonic()
            problems = run_row(podman, podman.base, row, tools)
            took = time.monotonic() - began
            if problems:
                failed.append(row["name"])
                print("FAIL %s (%.1f s): %s" % (row["name"], took, row["about"]))
                for problem in problems:
                    print("  - " + problem)
            else:
                print("PASS %s (%.1f s)" % (row["name"], took))
            sys.stdout.flush()
    except (Failure, subprocess.TimeoutExpired) as failure:
        print("run_podman: %s" % failure)
        status = 1
    except KeyboardInterrupt:
        print("run_podman: interrupted")
        status = 1
    finally:
        left = clean_up(podman, cgroups_before)
    if left:
        print("run_podman: left behind: %s" % "; ".join(left))
        status = 1
    if not args.measure_stops:
        print("%d of %d row(s) passed" % (len(rows) - len(failed), len(rows)))
    return 1 if failed or status else 0


if __name__ == "__main__":
    sys.exit(main())
