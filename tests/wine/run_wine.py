#!/usr/bin/env python3
"""Runs the end-to-end scenarios against the Windows build under Wine's service manager.

usage: run_wine.py --build DIR [--scenario NAME]... [--keep] [--list] [--version X.Y.Z]
       run_wine.py --build DIR --stop-rate N

The scenarios are the shared table (../e2e/scenarios.json, the systems "windows" view)
and the Windows-only ones in scenarios_windows.json, in the same format. Each run of
this script makes one private Wine prefix of its own, with a wineserver of its own, and
always ends that server and removes the prefix, also when a scenario fails or the script
is interrupted. Services are installed and driven as an admin would: sc create, sc start,
sc query, sc stop; svcctl (tools/svcctl) sends what Wine's sc lacks (control codes,
interrogate) and waits for a process to end.

What the service reports is read from Wine's own trace, not polled: the prefix's first
process runs with WINEDEBUG=+service,+debugstr,+pid, its standard error in a file, and the
service manager and every service inherit both. Each SetServiceStatus call of the
service's process is one trace line with the seven fields, so every report is seen, an
interrogation's repeated one included; OutputDebugStringA lines come the same way.

--stop-rate N starts and stops one service N times and counts how often the stop request
itself (ControlService, as sc stop makes it) failed, and with which code, while sc query
still showed the service stopped.

--version X.Y.Z first reads tallowmere-service.exe's version resource through
GetFileVersionInfo (svcctl version) and fails unless it names that version and the
product, as Explorer's file properties would show them.

Bounds are generous and stretched by TALLOWMERE_TIMEOUT_MULTIPLIER. Exit status 0 when
every scenario passed.
"""

import codecs
import copy
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import scenarios as table  # noqa: E402

SYSTEM = "windows"
WINDOWS_TABLE = os.path.join(HERE, "scenarios_windows.json")
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64"
TRACE_CHANNELS = "-all,+service,+debugstr,+pid"
MULTIPLIER = float(os.environ.get("TALLOWMERE_TIMEOUT_MULTIPLIER", "1") or "1")
STATES = {1: "STOPPED", 2: "START_PENDING", 3: "STOP_PENDING", 4: "RUNNING"}
STATE_NUMBERS = {name: number for number, name in STATES.items()}


class Failure(Exception):
    pass


class Interrupted(Exception):
    pass


def wait_until(condition, seconds):
    return table.wait_until(condition, seconds * MULTIPLIER, 0.05)


# --- The prefix -----------------------------------------------------------------------

class Prefix:
    """A private Wine prefix with its own wineserver and a trace of every service."""

    def __init__(self, base, keep):
        self.root = tempfile.mkdtemp(prefix="wine-e2e-", dir=base)
        self.path = os.path.join(self.root, "prefix")
        self.trace = os.path.join(self.root, "trace.log")
        self.keep = keep
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all")
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.counter = 0

    def create(self):
        os.makedirs(self.path)
        subprocess.run([WINESERVER, "-p"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        env = dict(self.env, WINEDEBUG=TRACE_CHANNELS, WINEDLLOVERRIDES="mscoree,mshtml=")
        # The first program creates the prefix and starts services.exe, which inherits
        # this standard error (a file: an inherited pipe would never close) and WINEDEBUG.
        with open(self.trace, "ab") as trace, open(self.file("boot.out"), "wb") as out:
            code = subprocess.run([WINE, "cmd", "/c", "exit", "0"], env=env,
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=trace,
                                  timeout=300, check=False).returncode
        if code != 0:
            raise Failure("the prefix could not be created (status %d)" % code)

    def file(self, name):
        return os.path.join(self.root, name)

    def wine(self, args, timeout=60, env=None):
        """Runs a Windows program; (status, what it printed). Output goes through a file."""
        self.counter += 1
        out_path = self.file("out-%d.txt" % self.counter)
        with open(out_path, "wb") as out:
            try:
                code = subprocess.run([WINE] + args, env=env or self.env,
                                      stdin=subprocess.DEVNULL, stdout=out,
                                      stderr=subprocess.STDOUT,
                                      timeout=timeout * MULTIPLIER, check=False).returncode
            except subprocess.TimeoutExpired:
                code = None
        text = (table.read_bytes(out_path) or b"").decode("latin-1")
        os.remove(out_path)
        return code, text

    def account(self):
        """The prefix's user as "DOMAIN\\name", asked of Wine once."""
        if getattr(self, "_account", None) is None:
            _, text = self.wine(["cmd", "/c", "echo", "%USERDOMAIN%\\%USERNAME%"])
            self._account = text.strip()
        return self._account

    def host(self, windows_path):
        """The Linux path of a path on drive C: or Z:; one that exists nowhere for a device."""
        if windows_path.upper() in ("NUL", "CON"):
            return "/nonexistent/" + windows_path  # a device: no file to read there
        drive, rest = windows_path[:2].upper(), windows_path[2:].replace("\\", "/")
        if drive == "C:":
            return os.path.join(self.path, "drive_c") + rest
        if drive == "Z:":
            return rest
        raise ValueError("no Linux path for %r" % windows_path)

    @staticmethod
    def windows(host_path):
        """The Windows path (drive Z:) of a Linux path."""
        return "Z:" + os.path.abspath(host_path).replace("/", "\\")

    def close(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False,
                       timeout=60)
        # wineserver -k returns once the server has been told; wait until it is gone.
        subprocess.run([WINESERVER, "-w"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False,
                       timeout=60)
        if self.keep:
            print("prefix kept: %s" % self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)


# --- Wine's trace ---------------------------------------------------------------------

LINE = re.compile(r"^(?:[\d.]+:)?([0-9a-f]{4}):([0-9a-f]{4}):(\w+):(\w+):(\S+) ?(.*)$")


class Trace:
    """The lines of one service process in the prefix's trace."""

    def __init__(self, prefix, service_name, start_offset):
        self.prefix = prefix
        self.service_name = service_name
        self.offset = start_offset
        self.pid = None

    def lines(self):
        data = (table.read_bytes(self.prefix.trace) or b"")[self.offset:]
        out = []
        for raw in data.decode("latin-1").splitlines():
            m = LINE.match(raw)
            if m:
                out.append(m.groups())
        return out

    def find_pid(self):
        if self.pid is None:
            wanted = 'L"%s"' % self.service_name
            for pid, _tid, _kind, _channel, function, rest in self.lines():
                # The dispatcher opens its own service for SERVICE_SET_STATUS (0x8000).
                if function == "OpenServiceW" and wanted in rest and rest.endswith("0x8000"):
                    self.pid = pid
                    break
        return self.pid

    def reports(self):
        if self.find_pid() is None:
            return []
        out = []
        for pid, _tid, _kind, _channel, function, rest in self.lines():
            if pid != self.pid or function != "SetServiceStatus":
                continue
            fields = rest.split()
            if len(fields) != 8:
                continue
            status = [int(v, 16) if v.startswith("0x") else int(v) for v in fields[1:]]
            out.append({"line": " ".join(fields[1:]), "status": status,
                        "state": STATES.get(status[1], "?")})
        return out

    def debug_output(self):
        if self.find_pid() is None:
            return b""
        out = []
        for pid, _tid, _kind, channel, function, rest in self.lines():
            if pid == self.pid and channel == "debugstr" and function == "OutputDebugStringA":
                out.append(unescape_debugstr(rest))
        return b"".join(out)

    def controls(self):
        return [rest for pid, _t, _k, _c, function, rest in self.lines()
                if pid == self.pid and function == "service_handle_control"]


def unescape_debugstr(text):
    """The bytes of a text as Wine's debugstr shows it: in quotation marks, C escapes."""
    text = text.strip()
    cut = text.endswith("...")
    if cut:
        text = text[:-3]
    if text.startswith('"') and text.endswith('"'):
        text = text[1:-1]
    data = codecs.escape_decode(text.encode("latin-1"))[0]
    return data + (b"..." if cut else b"")


# --- One scenario ---------------------------------------------------------------------

class WineContext(table.Context):
    """The shared placeholders, with a settings file that may live elsewhere."""

    settings_path = None
    account = ""  # the prefix's user, as the service names a console client

    def expand(self, text):
        return table.Context.expand(self, text.replace("{account}", self.account))

    def startup(self):
        text = table.Context.startup(self)
        if self.settings_path is not None:
            text = text.replace(self.path(table.SETTINGS_FILE), self.settings_path, 1)
        return text


def expected_status(state, code, check_point, accepted):
    """Type, state, controls accepted, exit code, 0, check point, wait hint."""
    if state in table.PENDING_STATES:
        return [0x30, STATE_NUMBERS[state], accepted, code, 0, check_point, 1000]
    if state == "RUNNING":
        return [0x30, 4, accepted, code, 0, 0, 1000]
    return [0x30, 1, accepted, code, 0, 0, 0]


def check_reports(patterns, reports, problems, accepted=1):
    """Every report matched field by field against the patterns, in order, none left."""
    def mismatch(pattern, report, check_point):
        code = pattern.get("exit_code", 0)
        want = expected_status(pattern["state"], report["status"][3] if code == "any"
                               else code, check_point, accepted)
        return None if report["status"] == want else "got %s, want %s" % (report["status"],
                                                                         want)

    table.check_reports(patterns, reports, problems, lambda report: report["status"][5],
                        mismatch)


def sc_query(prefix, name):
    """The state and exit code that `sc query` shows, as numbers (None when unreadable)."""
    _code, text = prefix.wine(["sc", "query", name])
    state = re.search(r"STATE\s*:\s*(\d+)", text)
    exit_code = re.search(r"WIN32_EXIT_CODE\s*:\s*(\d+)", text)
    return (int(state.group(1)) if state else None,
            int(exit_code.group(1)) if exit_code else None, text)


def svcctl(prefix, build, args, timeout=60):
    code, text = prefix.wine([os.path.join(build, "svcctl.exe")] + args, timeout=timeout)
    fields = {}
    for line in text.splitlines():
        for item in line.split()[1:]:
            key, _, value = item.partition("=")
            fields.setdefault(line.split()[0], {})[key] = value
    return code, text, fields


def wait_for_process(prefix, build, pid, seconds):
    """The process's exit code once it has ended; None when it did not end in time."""
    code, text, fields = svcctl(prefix, build, ["waitpid", str(pid), str(int(seconds * 1000 *
                                                                             MULTIPLIER))],
                                timeout=seconds + 30)
    process = fields.get("process", {})
    if code != 0 or "exit" not in process:
        return None
    return process["exit"]


def send_control(prefix, build, name, control):
    if control == "stop":
        # As an admin would; its own status is not what the suite judges (see --stop-rate).
        return prefix.wine(["sc", "stop", name])
    if control == "interrogate":
        code, text, _ = svcctl(prefix, build, ["interrogate", name])
    else:
        code, text, _ = svcctl(prefix, build, ["control", name, str(control)])
    if code != 0:
        raise Failure("control %s failed: %s" % (control, text.strip()))
    return code, text


CONTROL_CODES = {"stop": 1, "interrogate": 4}


def send_burst(prefix, build, name, control, times, refused=False):
    """The control `times` times in a row from one process, as fast as they go. With
    `refused` the manager must turn the first one away: the service is no longer active
    (ERROR_SERVICE_NOT_ACTIVE)."""
    code, text, _ = svcctl(prefix, build, ["burst", name, str(CONTROL_CODES.get(control, control)),
                                           str(times)])
    first = text.strip().splitlines()[0] if text.strip() else ""
    if refused and "error=1062" not in first:
        raise Failure("the first control of the burst was not refused as not active: %s" % first)
    if not refused and code != 0:
        raise Failure("the first control of the burst failed: %s" % first)


def run(scenario, index, prefix, build):
    name = "tm-e2e-%d" % index
    s_raw = copy.deepcopy(scenario)
    folders = s_raw.pop("folders", [])
    folder = "C:\\e2e\\" + s_raw.get("folder", scenario["name"])
    exe = Prefix.windows(os.path.join(build, "tallowmere-service.exe"))
    ini = folder + "\\" + table.SETTINGS_FILE
    arguments = s_raw.get("service_arguments", "settings")
    if arguments == "settings":
        command_line = table.quote(exe) + " -" + ini
    elif arguments == "quoted_settings":
        command_line = table.quote(exe) + ' -"' + ini + '"'
    elif arguments == "none":
        command_line = table.quote(exe)
    else:
        raise Failure("unknown service_arguments %r" % arguments)
    ctx = WineContext(folder, "\\", Prefix.windows(os.path.join(build, "sample-server.exe")),
                      "C:\\tallowmere-no-such-folder\\no-such-program.exe", command_line,
                      table.quote)
    ctx.account = prefix.account()
    os.makedirs(prefix.host(folder), exist_ok=True)
    for sub in folders:
        os.makedirs(prefix.host(ctx.path(sub)), exist_ok=True)
    s = table.prepare(s_raw, SYSTEM, ctx)
    for read_only in s.get("read_only", []):
        os.chmod(prefix.host(ctx.path(read_only)), 0o444)
    if arguments == "none":
        # Without an argument the service reads Tallowmere.ini in its current folder,
        # C:\windows\system32 under Wine 8, as on Windows (measured).
        ctx.settings_path = "C:\\windows\\system32\\" + table.SETTINGS_FILE
        shutil.copyfile(prefix.host(ini), prefix.host(ctx.settings_path))
    expect = s["expect"]
    problems = []
    log_path = ctx.settings.get("LogFileName", "C:\\windows\\Tallowmere.log")
    trace = Trace(prefix, name, len(table.read_bytes(prefix.trace) or b""))
    pid = None
    try:
        if s.get("console"):
            return run_from_console(s, ctx, prefix, build, exe, log_path, problems)

        code, text = prefix.wine(["sc", "create", name, "binPath=", command_line])
        if code != 0:
            raise Failure("sc create failed: %s" % text.strip())
        # sc start's own status is not judged: it fails when the service has already
        # stopped by the time it asks, which is right for the failing starts.
        code, text = prefix.wine(["sc", "start", name])
        if not wait_until(lambda: trace.find_pid() is not None, 30):
            raise Failure("the service process never opened its service (sc start: %s %s)"
                          % (code, text.strip()))
        pid = int(trace.find_pid(), 16)

        for step in s.get("steps", []):
            if "wait_report" in step:
                want = step.get("count", 1)
                state = step["wait_report"]
                if not wait_until(lambda: sum(r["state"] == state for r in trace.reports())
                                  >= want, 30):
                    raise Failure("no %d %s report(s) within the bound" % (want, state))
            elif "wait_log" in step:
                text = table.to_bytes(ctx.expand(step["wait_log"]))
                times = step.get("count", 1)
                if not wait_until(lambda: (table.read_bytes(prefix.host(log_path)) or b"").count(text)
                                  >= times or trace.debug_output().count(text) >= times, 30):
                    raise Failure("the log never held %r %d time(s)" % (text, times))
            elif "control" in step:
                if step.get("times", 1) > 1:
                    send_burst(prefix, build, name, step["control"], step["times"],
                               step.get("refused", False))
                else:
                    send_control(prefix, build, name, step["control"])
            elif "remove" in step:
                os.remove(prefix.host(ctx.path(step["remove"])))
            elif "make_folder" in step:
                os.mkdir(prefix.host(ctx.path(step["make_folder"])))
            elif "wait_file" in step:
                if not wait_until(lambda: os.path.exists(prefix.host(ctx.path(step["wait_file"]))),
                                  30):
                    raise Failure("%s never appeared" % step["wait_file"])
            elif "wait_server_end" in step:
                if not wait_until(lambda: read_server_pid(ctx, prefix) is not None, 30):
                    raise Failure("the server never wrote its process id")
                if wait_for_process(prefix, build, read_server_pid(ctx, prefix), 30) is None:
                    raise Failure("the server did not end")
            elif "client" in step:
                # The client runs under Wine too, as an admin's would.
                client = table.Client(step, ctx, [WINE, os.path.join(build, "tallowmere-console.exe")],
                                      prefix.env)
                client_problems = client.feed(
                    lambda want: want in (table.read_bytes(prefix.host(log_path)) or b""), 0.05)
                client_problems += client.finish(60 * MULTIPLIER)
                if client_problems:
                    raise Failure("; ".join(client_problems))
            else:
                raise Failure("unknown step %r" % (step,))

        timeout = int(ctx.settings.get("ServerStartupTimeoutInSeconds", "300"))
        if not wait_until(lambda: any(r["state"] == "STOPPED" for r in trace.reports()),
                          timeout + 30):
            raise Failure("the service never reported stopped")
        status = wait_for_process(prefix, build, pid, 30)
        if status is None:
            problems.append("the service's process did not end after its stopped report")
        elif status != "gone" and int(status) != expect["exit_code"]:
            problems.append("process exit status %s, expected %s" % (status, expect["exit_code"]))

        state, exit_code, text = sc_query(prefix, name)
        if state != 1 or exit_code != expect["exit_code"]:
            problems.append("sc query after the end shows state %s exit code %s, expected 1 "
                            "and %s:\n%s" % (state, exit_code, expect["exit_code"], text))
        check_reports(expect.get("reports", []), trace.reports(), problems,
                      table.controls_accepted(ctx.settings))
        check_server(expect, ctx, prefix, build, problems)
        check_texts(expect, ctx, prefix, log_path, trace.debug_output(), problems)
    except Failure as failure:
        problems.append(str(failure))
    finally:
        if pid is not None and problems:
            prefix.wine(["taskkill", "/f", "/pid", str(pid)])
        kill_server(ctx, prefix)
        prefix.wine(["sc", "delete", name])
        if ctx.settings_path:
            try:
                os.remove(prefix.host(ctx.settings_path))
            except OSError:
                pass
        if problems:
            problems.append("reports seen:\n  " +
                            "\n  ".join(r["line"] for r in trace.reports()))
            problems.append("controls delivered: %s" % trace.controls())
            problems.append("log: %r" % table.read_bytes(prefix.host(log_path)))
    return problems


def run_from_console(s, ctx, prefix, build, exe, log_path, problems):
    """The program started by hand: the dispatcher fails and says so on the debugger
    output only. Its own trace: WINEDEBUG=+debugstr on this one process."""
    expect = s["expect"]
    trace_path = prefix.file("console-trace.log")
    env = dict(prefix.env, WINEDEBUG="-all,+debugstr")
    with open(trace_path, "wb") as trace, open(prefix.file("console.out"), "wb") as out:
        code = subprocess.run([WINE, os.path.join(build, "tallowmere-service.exe")],
                              env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=trace,
                              timeout=60 * MULTIPLIER, check=False).returncode
    debug = b""
    for raw in (table.read_bytes(trace_path) or b"").decode("latin-1").splitlines():
        m = re.search(r":debugstr:OutputDebugStringA (.*)$", raw)
        if m:
            debug += unescape_debugstr(m.group(1))
    want_code = expect["exit_code"] & 0xFF
    if code != want_code:
        problems.append("exit status %s, expected %s" % (code, want_code))
    stdout = table.read_bytes(prefix.file("console.out")) or b""
    if stdout:
        problems.append("the program wrote to standard output: %r" % stdout)
    check_texts(expect, ctx, prefix, log_path, debug, problems)
    return problems


def check_server(expect, ctx, prefix, build, problems):
    for name in expect.get("gone_at_end", []):
        pid = read_server_pid(ctx, prefix, name)
        if pid is None:
            problems.append("no process id in %s" % name)
        elif wait_for_process(prefix, build, pid, 0.2) is None:
            problems.append("%s (%s) outlived the service" % (pid, name))
            prefix.wine(["taskkill", "/f", "/pid", str(pid)])
    end = expect.get("server_end")
    exit_file = prefix.host(ctx.path(table.EXIT_FILE))
    if end == "killed":
        pid = read_server_pid(ctx, prefix)
        if pid is None or wait_for_process(prefix, build, pid, 20) is None:
            problems.append("the server was not ended")
        if table.read_bytes(exit_file) is not None:
            problems.append("the server ended by itself: %r" % table.read_bytes(exit_file))
    elif end:
        if not wait_until(lambda: table.read_bytes(exit_file) is not None, 20):
            problems.append("the server did not end (no %s)" % table.EXIT_FILE)
        else:
            got = table.read_bytes(exit_file).decode("latin-1").strip()
            if got != end:
                problems.append("the server ended by %r, expected %r" % (got, end))
    table.check_server_files(expect, ctx,
                             lambda name: table.read_bytes(prefix.host(ctx.path(name))), problems)


def check_texts(expect, ctx, prefix, log_path, debug, problems):
    table.check_log_and_output(
        expect, ctx, table.read_bytes(prefix.host(log_path)), log_path, debug,
        "debugger output", problems,
        lambda number: table.read_bytes(prefix.host("%s.%d" % (log_path, number))))


def read_server_pid(ctx, prefix, name=table.PID_FILE):
    try:
        return int((table.read_bytes(prefix.host(ctx.path(name))) or b"").strip())
    except ValueError:
        return None


def kill_server(ctx, prefix):
    """A server that a failed scenario left behind must not outlive it."""
    pid = read_server_pid(ctx, prefix)
    if pid is not None and table.read_bytes(prefix.host(ctx.path(table.EXIT_FILE))) is None:
        prefix.wine(["taskkill", "/f", "/pid", str(pid)])


# --- The stop-rate measurement ----------------------------------------------------------

def stop_rate(prefix, build, count):
    """Starts and stops one service `count` times; tallies the stop requests' results."""
    folder = "C:\\e2e\\stop-rate"
    host = prefix.host(folder)
    os.makedirs(host, exist_ok=True)
    server = Prefix.windows(os.path.join(build, "sample-server.exe"))
    with open(os.path.join(host, "server.cmd"), "wb") as f:
        f.write((table.quote(server) + " --hint 0\r\n").encode("latin-1"))
    with open(os.path.join(host, table.SETTINGS_FILE), "wb") as f:
        f.write(("[Tallowmere]\r\nAppendToExistingLog=0\r\nLogFileName=%s\\service.log\r\n"
                 "CommandFile=%s\\server.cmd\r\n" % (folder, folder)).encode("latin-1"))
    exe = Prefix.windows(os.path.join(build, "tallowmere-service.exe"))
    name = "tm-stop-rate"
    prefix.wine(["sc", "create", name, "binPath=", table.quote(exe) + " -" + folder + "\\" +
                 table.SETTINGS_FILE])
    outcomes = {}
    not_stopped = 0
    try:
        for _ in range(count):
            code, text = prefix.wine(["sc", "start", name])
            _c, _t, fields = svcctl(prefix, build, ["wait", name, "4", "30000"])
            pid = fields.get("status", {}).get("pid")
            # The call that sc stop makes; Wine's sc prints no code when it fails.
            _c, text, fields = svcctl(prefix, build, ["stop", name])
            error = fields.get("result", {}).get("error", "none")
            key = "ok" if error == "0" else "error %s" % error
            outcomes[key] = outcomes.get(key, 0) + 1
            if pid:
                wait_for_process(prefix, build, int(pid), 30)
            state, _exit, _text = sc_query(prefix, name)
            if state != 1:
                not_stopped += 1
    finally:
        prefix.wine(["sc", "delete", name])
    print("stops: %d; stop request results: %s; not shown stopped afterwards: %d"
          % (count, ", ".join("%s %d" % kv for kv in sorted(outcomes.items())), not_stopped))
    return 0 if not_stopped == 0 else 1


# --- Main -----------------------------------------------------------------------------

def load_scenarios():
    chosen = [s for s in table.load() if table.applies(s, SYSTEM)]
    if os.path.exists(WINDOWS_TABLE):
        chosen += [s for s in table.load(WINDOWS_TABLE) if table.applies(s, SYSTEM)]
    return chosen


def check_version(prefix, build, version):
    """Problems with the version resource of the build's tallowmere-service.exe."""
    exe = Prefix.windows(os.path.join(build, "tallowmere-service.exe"))
    code, text, fields = svcctl(prefix, build, ["version", exe])
    strings = dict(line[len("string "):].split("=", 1) for line in text.splitlines()
                   if line.startswith("string ") and "=" in line)
    numbers = version + ".0"
    want = {"ProductName": "tallowmere-service", "FileVersion": version,
            "ProductVersion": version, "OriginalFilename": "tallowmere-service.exe"}
    problems = ["%s is %r, expected %r" % (k, strings.get(k), v) for k, v in want.items()
                if strings.get(k) != v]
    if not strings.get("FileDescription"):
        problems.append("no FileDescription")
    got = fields.get("version", {})
    if code != 0 or got.get("file") != numbers or got.get("product") != numbers:
        problems.append("fixed version %r, expected file=product=%s" % (got, numbers))
    return problems, text


def main():
    parser = table.driver_arguments(__doc__, "the Windows build folder",
                                    "keep the prefix and its trace", "print the Windows scenarios")
    parser.add_argument("--version", metavar="X.Y.Z",
                        help="first check the version resource of tallowmere-service.exe")
    parser.add_argument("--stop-rate", type=int, metavar="N",
                        help="measure how often sc stop fails in N stops")
    args = parser.parse_args()
    build = os.path.abspath(args.build)

    chosen = load_scenarios()
    chosen = table.pick(chosen, args)
    if chosen is None:
        return 0 if args.list else 2
    for program in ("tallowmere-service.exe", "sample-server.exe", "svcctl.exe",
                    "tallowmere-console.exe"):
        if not os.path.exists(os.path.join(build, program)):
            print("missing %s in %s" % (program, build))
            return 2

    def interrupted(signum, _frame):
        raise Interrupted("signal %d" % signum)
    signal.signal(signal.SIGTERM, interrupted)
    signal.signal(signal.SIGINT, interrupted)
    signal.signal(signal.SIGHUP, interrupted)

    # The prefix's drive files are written through Linux paths.
    prefix = Prefix(build, args.keep)
    original_write = table.write_bytes
    table.write_bytes = lambda path, text: original_write(prefix.host(path), text)
    passed = failed = 0
    try:
        start = time.monotonic()
        prefix.create()
        print("prefix ready (%.1f s)" % (time.monotonic() - start))
        sys.stdout.flush()
        if args.stop_rate:
            return stop_rate(prefix, build, args.stop_rate)
        if args.version:
            problems, text = check_version(prefix, build, args.version)
            print("version resource: %s" % " | ".join(text.strip().splitlines()))
            if problems:
                print("FAILED version resource: " + "; ".join(problems))
                failed += 1
            else:
                passed += 1
        for index, scenario in enumerate(chosen):
            start = time.monotonic()
            problems = run(scenario, index, prefix, build)
            failed += bool(problems)
            passed += not problems
            table.print_outcome(scenario, problems, time.monotonic() - start)
    except (Failure, Interrupted) as stop:
        print("stopped: %s" % stop)
        failed += 1
    finally:
        table.write_bytes = original_write
        prefix.close()
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
