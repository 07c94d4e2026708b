#!/usr/bin/env python3
"""Runs the end-to-end scenarios of scenarios.json on Linux: the real tallowmere-service
with the sample server, its reports caught by notify-listener through NOTIFY_SOCKET, its
controls sent as signals (SIGTERM/SIGINT stop, SIGUSR1 interrogate, SIGHUP 6).

usage: run_linux.py --build DIR [--scenario NAME]... [--keep] [--list] [--table FILE]
                    [--valgrind]

Every run has a folder and a socket name of its own, so runs can go in parallel. Bounds
are generous and stretched by TALLOWMERE_TIMEOUT_MULTIPLIER; nothing waits on a bare
sleep. Exit status 0 when every scenario passed.

--valgrind runs the program under valgrind's memcheck (its log kept beside the
scenario's files and checked for no error and no definite leak); the scenario's bounds
are stretched for it. A server that cannot be started is seen only through the timeout
there (109): valgrind runs glibc's posix_spawn as a plain fork, which cannot hand a
failed exec back to the caller.
"""

import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scenarios as table  # noqa: E402

SYSTEM = "linux"
MULTIPLIER = float(os.environ.get("TALLOWMERE_TIMEOUT_MULTIPLIER", "1") or "1")
STATES = {"1": "STOPPED", "2": "START_PENDING", "3": "STOP_PENDING", "4": "RUNNING"}
SIGNALS = {"stop": signal.SIGTERM, "interrogate": signal.SIGUSR1, 6: signal.SIGHUP}


class Failure(Exception):
    pass


# memcheck: an error changes the exit status to 99, which no scenario expects; what a
# leak or an error was is in the log, checked below.
VALGRIND = ["valgrind", "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
            "--errors-for-leak-kinds=definite", "--track-fds=no", "--child-silent-after-fork=yes"]
VALGRIND_LOG = "valgrind.log"
NOBODY = 65534  # the user a root run of a read-only scenario runs the service as
SKIPPED = 77  # exit status when every chosen scenario was skipped
VALGRIND_SLOWDOWN = 10  # how much longer every bound is under valgrind


def wait_until(condition, seconds):
    return table.wait_until(condition, seconds * MULTIPLIER, 0.02)


class Listener:
    """notify-listener on an abstract socket of its own; collects the reports."""

    def __init__(self, program, name):
        self.name = name
        self.lines = []
        self.lock = threading.Lock()
        self.process = subprocess.Popen([program, name], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        ready = self.process.stderr.readline().decode("latin-1")
        if "listening on" not in ready:
            raise Failure("notify-listener did not start: %r" % ready)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.process.stdout:
            with self.lock:
                self.lines.append(raw.decode("latin-1").rstrip("\n"))

    def reports(self):
        with self.lock:
            return [parse_report(line) for line in self.lines]

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)  # prints what is queued, then ends
        try:
            self.process.wait(timeout=10 * MULTIPLIER)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.reader.join(timeout=10)


def parse_report(line):
    fields = {}
    for assignment in line.split(" | "):
        key, _, value = assignment.partition("=")
        fields[key] = value
    status = fields.get("X_SERVICE_STATUS", "").split(" ")
    return {"line": line, "fields": fields, "status": status,
            "state": STATES.get(status[1], "?") if len(status) == 7 else "?"}


def expected_assignments(state, code, check_point, accepted, after_stop_pending):
    if state == "START_PENDING":
        return {"X_SERVICE_STATUS": "48 2 %d %d 0 %d 1000" % (accepted, code, check_point),
                "STATUS": "Starting (check point %d)" % check_point,
                "EXTEND_TIMEOUT_USEC": "1000000"}
    if state == "STOP_PENDING":
        return {"X_SERVICE_STATUS": "48 3 %d %d 0 %d 1000" % (accepted, code, check_point),
                "STOPPING": "1", "STATUS": "Stopping (check point %d)" % check_point,
                "EXTEND_TIMEOUT_USEC": "1000000"}
    if state == "RUNNING":
        return {"X_SERVICE_STATUS": "48 4 %d %d 0 0 1000" % (accepted, code),
                "READY": "1", "STATUS": "Running"}
    want = {"X_SERVICE_STATUS": "48 1 %d %d 0 0 0" % (accepted, code)}
    if not after_stop_pending:  # systemd has been told STOPPING=1 already otherwise
        want["STOPPING"] = "1"
    want["STATUS"] = "Stopped (exit code %d)" % code
    return want


def check_reports(patterns, reports, problems, accepted=1):
    """Every report matched field by field against the patterns, in order, none left."""
    def check_point_of(report):
        return int(report["status"][5]) if len(report["status"]) == 7 else None

    def mismatch(pattern, report, check_point):
        code = pattern.get("exit_code", 0)
        after_stop_pending = any(r["state"] == "STOP_PENDING"
                                 for r in reports[:reports.index(report)])
        want = expected_assignments(pattern["state"], 0 if code == "any" else code,
                                    check_point, accepted, after_stop_pending)
        got = dict(report["fields"])
        if code == "any" and len(report["status"]) == 7:
            got["X_SERVICE_STATUS"] = " ".join(report["status"][:3] + ["0"] +
                                               report["status"][4:])
            if "STATUS" in got and pattern["state"] == "STOPPED":
                got["STATUS"] = want["STATUS"]
        if got == want:
            return None
        return "got %s, want %s" % (report["line"],
                                    " | ".join("%s=%s" % kv for kv in want.items()))

    table.check_reports(patterns, reports, problems, check_point_of, mismatch)


def process_alive(pid):
    """Alive and still the sample server (not a zombie, not a reused id)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            command = f.read()
    except (OSError, IndexError):
        return False
    return state != "Z" and b"sample-server" in command


def stat_fields(pid):
    """State and parent of a process, or None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return fields[0], int(fields[1])
    except (OSError, IndexError, ValueError):
        return None


def children_of(parent, zombies_only=False):
    found = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            fields = stat_fields(int(name))
            if fields and fields[1] == parent and (fields[0] == "Z" or not zombies_only):
                found.append(int(name))
    return sorted(found)


def zombies_of(parent):
    return children_of(parent, zombies_only=True)


def read_pid(ctx, name=table.PID_FILE):
    try:
        with open(ctx.host_path(name)) as f:
            return int(f.read().strip())
    except (OSError, ValueError):
        return None


def read_log(path):
    """The log file's bytes; None when there is no regular file at the path (a device
    such as /dev/full, which would read forever, or a folder)."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return None
    except OSError:
        return None
    return table.read_bytes(path)


def run(scenario, build, keep, valgrind=False):
    name = scenario["name"]
    program = os.path.join(build, "tallowmere-service")
    folder = tempfile.mkdtemp(prefix="tallowmere-e2e-%s-" % name)
    ini = folder + "/" + table.SETTINGS_FILE
    ctx = table.Context(folder, "/", os.path.join(build, "sample-server"),
                        "/tallowmere-no-such-folder/no-such-program",
                        program + " -" + ini, table.quote)
    s = table.prepare(scenario, SYSTEM, ctx)
    expect = s["expect"]
    global MULTIPLIER
    base_multiplier = MULTIPLIER
    if valgrind:
        MULTIPLIER = base_multiplier * VALGRIND_SLOWDOWN
    for file_name in s.get("read_only", []):
        os.chmod(ctx.host_path(file_name), 0o444)
    # File modes do not stop root: such a scenario runs the service as nobody instead.
    as_nobody = bool(s.get("read_only")) and os.geteuid() == 0
    if as_nobody:
        os.chown(folder, NOBODY, NOBODY)

    problems = []
    clients = []  # console clients left running until the service has ended
    listener = None
    service = None
    fifo = None
    if s.get("command_fifo"):
        # Held open for writing and never written: the service's read of the first line
        # waits until the descriptor is closed at the end.
        os.mkfifo(ctx.host_path(table.COMMAND_FILE))
        fifo = os.open(ctx.host_path(table.COMMAND_FILE), os.O_RDWR | os.O_NONBLOCK)
    log_path = ctx.settings.get("LogFileName", folder + "/Tallowmere.log")
    if not os.path.isabs(log_path):
        log_path = os.path.join(folder, log_path)
    if s.get("settings_fifo"):
        os.remove(ini)
        os.mkfifo(ini)
    # What an admin's folder may hold at the console's path before the start.
    if s.get("folder_mode"):
        os.chmod(folder, int(s["folder_mode"], 8))
    held_sockets = []
    for kind in ("stale_socket", "listening_socket"):
        if s.get(kind):
            held = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            held.bind(ctx.host_path(s[kind]))
            if kind == "listening_socket":
                held.listen(1)
                held_sockets.append(held)
            else:
                held.close()  # bound once, nothing listens now
    if s.get("log_fifo"):
        os.mkfifo(log_path)  # nobody ever opens it for reading
    ignored = [getattr(signal, "SIG" + name) for name in s.get("parent_ignores", [])]
    pid1 = bool(s.get("pid1"))

    def as_parent_left_it():
        for number in ignored:
            signal.signal(number, signal.SIG_IGN)
    env = dict(os.environ)
    try:
        if s.get("notify_socket"):
            env["NOTIFY_SOCKET"] = ctx.expand(s["notify_socket"])
        else:
            socket_name = ("@tallowmere-e2e-%d-%s" % (os.getpid(), name[:60])
                           if not s.get("listener_socket") else
                           ctx.expand(s["listener_socket"]))
            listener = Listener(os.path.join(build, "notify-listener"), socket_name)
            env["NOTIFY_SOCKET"] = listener.name
        command = [program, "-" + ini]
        if valgrind:
            command = VALGRIND + ["--log-file=" + ctx.host_path(VALGRIND_LOG)] + command
        if pid1:
            # PID 1 of a PID namespace (and /proc) of its own, as in a container.
            command = ["unshare", "--pid", "--fork", "--kill-child", "--mount-proc", "--"] + command
        if as_nobody:
            command = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY,
                       "--clear-groups", "--"] + command
        with open(ctx.host_path("service.stdout"), "wb") as out, \
                open(ctx.host_path("service.stderr"), "wb") as err:
            service = subprocess.Popen(command, cwd=folder, env=env,
                                       stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                       preexec_fn=as_parent_left_it if ignored else None)

        def reports():
            return listener.reports() if listener else []

        # The program's own process: under unshare, unshare's one child.
        target = service.pid
        if pid1:
            if not wait_until(lambda: children_of(service.pid), 30):
                raise Failure("unshare started nothing")
            target = children_of(service.pid)[0]

        for step in s.get("steps", []):
            if "wait_report" in step:
                want = step.get("count", 1)
                state = step["wait_report"]
                if not wait_until(lambda: sum(r["state"] == state for r in reports()) >= want
                                  or service.poll() is not None, 30):
                    raise Failure("no %d %s report(s) within the bound" % (want, state))
                if sum(r["state"] == state for r in reports()) < want:
                    raise Failure("the service ended (status %s) before %d %s report(s)"
                                  % (service.returncode, want, state))
            elif "wait_log" in step:
                text = table.to_bytes(ctx.expand(step["wait_log"]))
                times = step.get("count", 1)
                # The log file, or the debugger output when the log is off.
                if not wait_until(lambda: (read_log(log_path) or b"").count(text) >= times or
                                  (table.read_bytes(ctx.host_path("service.stderr")) or b"")
                                  .count(text) >= times or service.poll() is not None, 30):
                    raise Failure("the log never held %r %d time(s)" % (text, times))
            elif "control" in step:
                control = step["control"]
                sig = SIGNALS.get(control)
                if isinstance(control, int) and 128 <= control <= 255:
                    sig = signal.SIGRTMIN + control - 128  # the user-defined codes
                if control == "stop" and step.get("linux_signal"):
                    sig = getattr(signal, "SIG" + step["linux_signal"])
                if sig is None:
                    raise Failure("control %r has no signal on Linux" % (control,))
                for _ in range(step.get("times", 1)):
                    if service.poll() is None:
                        os.kill(target, sig)
            elif "remove" in step:
                os.remove(ctx.host_path(step["remove"]))
            elif "make_folder" in step:
                os.mkdir(ctx.host_path(step["make_folder"]))
            elif "wait_file" in step:
                if not wait_until(lambda: os.path.exists(ctx.host_path(step["wait_file"])), 30):
                    raise Failure("%s never appeared" % step["wait_file"])
            elif "wait_server_end" in step:
                pid = None
                if wait_until(lambda: read_pid(ctx) is not None, 30):
                    pid = read_pid(ctx)
                if pid is None or not wait_until(lambda: not process_alive(pid), 30):
                    raise Failure("the server did not end")
            elif "no_zombies" in step:
                if not wait_until(lambda: not zombies_of(target), 10):
                    raise Failure("%d zombie(s) of the program after 10 s"
                                  % len(zombies_of(target)))
            elif "remove_notify_socket" in step:
                os.remove(listener.name)
            elif "console_mode" in step:
                # The socket: its mode, and owned by the program's account and group.
                state = os.lstat(ctx.settings["ConsolePath"])
                if not stat.S_ISSOCK(state.st_mode):
                    raise Failure("%s is no socket" % ctx.settings["ConsolePath"])
                got = "%04o" % stat.S_IMODE(state.st_mode)
                if got != step["console_mode"] or (state.st_uid, state.st_gid) != (
                        os.geteuid(), os.getegid()):
                    raise Failure("the console's mode %s owner %d:%d, expected %s %d:%d" % (
                        got, state.st_uid, state.st_gid, step["console_mode"], os.geteuid(),
                        os.getegid()))
            elif "client" in step:
                program = [os.path.join(build, "tallowmere-console")]
                if step.get("as_nobody"):
                    program = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY,
                               "--clear-groups", "--"] + program
                client = table.Client(step, ctx, program, dict(os.environ))
                client_problems = client.feed(lambda want: want in (read_log(log_path) or b""),
                                              0.02)
                if step.get("background"):
                    clients.append(client)
                else:
                    client_problems += client.finish()
                if client_problems:
                    raise Failure("; ".join(client_problems))
            else:
                raise Failure("unknown step %r" % (step,))

        timeout = int(ctx.settings.get("ServerStartupTimeoutInSeconds", "300"))
        try:
            service.wait(timeout=(timeout + 30) * MULTIPLIER)
        except subprocess.TimeoutExpired:
            raise Failure("tallowmere-service did not end")
        for client in clients:
            problems.extend(client.finish())
        for name in expect.get("gone_at_end", []):
            pid = read_pid(ctx, name)
            if pid is None:
                problems.append("no process id in %s" % name)
            elif process_alive(pid):
                problems.append("%s (%s) outlived the service" % (pid, name))

        # Every datagram was sent before the process ended; give the listener time to
        # print them, then let it drain the rest.
        if listener:
            patterns = expect.get("reports", [])
            if patterns and patterns[-1]["state"] == "STOPPED":
                wait_until(lambda: any(r["state"] == "STOPPED" for r in reports()), 10)
            listener.stop()

        end = expect.get("server_end")
        if end == "killed":
            pid = read_pid(ctx)
            if pid is None or not wait_until(lambda: not process_alive(pid), 20):
                problems.append("the server was not ended")
            if table.read_bytes(ctx.host_path(table.EXIT_FILE)) is not None:
                problems.append("the server ended by itself: %r"
                                % table.read_bytes(ctx.host_path(table.EXIT_FILE)))
        elif end:
            exit_file = ctx.host_path(table.EXIT_FILE)
            if not wait_until(lambda: table.read_bytes(exit_file) is not None, 20):
                problems.append("the server did not end (no %s)" % table.EXIT_FILE)
            else:
                got = table.read_bytes(ctx.host_path(table.EXIT_FILE)).decode("latin-1").strip()
                if got != end:
                    problems.append("the server ended by %r, expected %r" % (got, end))

        # What the scenario promises.
        want_code = expect["exit_code"]
        want_status = want_code if 0 <= want_code <= 255 else 1
        if service.returncode != want_status:
            problems.append("exit status %s, expected %s" % (service.returncode, want_status))
        if listener:
            check_reports(expect.get("reports", []), reports(), problems,
                          table.controls_accepted(ctx.settings))

        stderr = table.read_bytes(ctx.host_path("service.stderr")) or b""
        table.check_log_and_output(expect, ctx, read_log(log_path), log_path, stderr,
                                   "standard error", problems,
                                   lambda number: read_log("%s.%d" % (log_path, number)))
        stdout = table.read_bytes(ctx.host_path("service.stdout")) or b""
        if stdout:
            problems.append("the service wrote to standard output: %r" % stdout)

        table.check_server_files(expect, ctx, lambda name: table.read_bytes(ctx.host_path(name)),
                                 problems)

        # Nothing else on disk: what the driver and the sample server wrote, the
        # scenario's own files, and the log where one is expected.
        known = {table.SETTINGS_FILE, table.COMMAND_FILE, table.STDIN_FILE, table.EXIT_FILE,
                 table.PID_FILE, "service.stdout", "service.stderr", VALGRIND_LOG}
        known |= set(s.get("files") or {}) | set(expect.get("files") or {})
        known |= set(expect.get("gone_at_end") or [])
        known |= set(s.get("folders") or [])
        known |= {step["make_folder"] for step in s.get("steps", []) if "make_folder" in step}
        known |= {s[kind] for kind in ("stale_socket", "listening_socket") if s.get(kind)}
        if ctx.settings.get("ConsolePath", "").startswith(folder + "/"):
            known.add(os.path.relpath(ctx.settings["ConsolePath"], folder))
        if s.get("listener_socket"):
            known.add(os.path.relpath(ctx.expand(s["listener_socket"]), folder))
        if expect.get("log", []) is not None or s.get("log_fifo"):
            known.add(os.path.relpath(log_path, folder))
        if "rotated" in expect:
            known |= {os.path.relpath(log_path, folder) + ".%d" % n
                      for n in range(1, expect["rotated"]["kept"] + 2)}
        for extra in sorted(set(os.listdir(folder)) - known):
            problems.append("unexpected file in the folder: %s" % extra)

        for file_name, text in (expect.get("files") or {}).items():
            got = table.read_bytes(ctx.host_path(file_name))
            if got != table.to_bytes(ctx.expand(text)):
                problems.append("%s holds %r, expected %r" % (file_name, got, ctx.expand(text)))
        if valgrind:
            check_valgrind(table.read_bytes(ctx.host_path(VALGRIND_LOG)), problems)
    except Failure as failure:
        problems.append(str(failure))
    finally:
        for held in held_sockets:
            held.close()
        for client in clients:
            if client.process.poll() is None:
                client.process.kill()
                client.process.wait()
        if service and service.poll() is None:
            service.kill()
            service.wait()
        if listener:
            listener.stop()
        # Under pid1 the files hold the namespace's numbers, which name other processes
        # here; the namespace's end ends its processes anyway.
        for name in [] if pid1 else [table.PID_FILE] + list(expect.get("gone_at_end", [])):
            pid = read_pid(ctx, name)
            if pid and process_alive(pid):
                os.kill(pid, signal.SIGKILL)
        if fifo is not None:
            os.close(fifo)
        if problems and listener:
            problems.append("reports received:\n  " +
                            "\n  ".join(r["line"] for r in listener.reports()))
        if problems:
            log = read_log(log_path)
            problems.append("log: %r" % log)
        MULTIPLIER = base_multiplier
        if keep:
            print("folder kept: %s" % folder)
        else:
            shutil.rmtree(folder, ignore_errors=True)
    return problems


def check_valgrind(text, problems):
    """memcheck's summary: no error, nothing definitely lost."""
    text = (text or b"").decode("latin-1")
    if "ERROR SUMMARY: 0 errors" not in text:
        problems.append("valgrind found errors:\n" + text[-3000:])
    lost = re.search(r"definitely lost: ([\d,]+) bytes", text)
    if lost and lost.group(1) != "0":
        problems.append("valgrind: definitely lost %s bytes:\n%s" % (lost.group(1), text[-3000:]))


def main():
    parser = table.driver_arguments(__doc__, "build folder with the programs",
                                    "keep each scenario's folder", "print the Linux scenarios")
    parser.add_argument("--table", default=table.TABLE, help="another scenario table")
    parser.add_argument("--valgrind", action="store_true",
                        help="run the program under valgrind's memcheck")
    args = parser.parse_args()

    chosen = [s for s in table.load(args.table) if table.applies(s, SYSTEM)]
    chosen = table.pick(chosen, args)
    if chosen is None:
        return 0 if args.list else 2

    failed = skipped = 0
    for scenario in chosen:
        start = time.monotonic()
        if "read_only" in scenario and os.geteuid() == 0 and not shutil.which("setpriv"):
            # File modes do not stop root, and there is no way to run as another user.
            print("SKIP %s: run as root, whom a read-only file does not stop" % scenario["name"])
            skipped += 1
            continue
        problems = run(scenario, os.path.abspath(args.build), args.keep, args.valgrind)
        failed += bool(problems)
        table.print_outcome(scenario, problems, time.monotonic() - start)
    print("%d of %d scenario(s) passed" % (len(chosen) - failed - skipped, len(chosen)))
    if failed:
        return 1
    # Every chosen scenario skipped: CTest shows the test as skipped (SKIP_RETURN_CODE).
    return SKIPPED if skipped and skipped == len(chosen) else 0


if __name__ == "__main__":
    sys.exit(main())
