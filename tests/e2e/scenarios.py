"""The end-to-end scenario table (scenarios.json) and what both drivers need from it.

A scenario:
  name, about      identifier (also the CTest name) and the promise it checks
  systems          ["linux"], ["windows"] or both (the default)
  settings         keys of the [Tallowmere] section over the defaults below; null drops a key
  command          first line of the command file; null: no command file; "": an empty file
  files            {name: text} written into the scenario's folder before the start
  folders          names of folders created there
  settings_text    the settings file's whole text instead of the generated one (the
                   program then runs on its built-in defaults unless the text says more)
  read_only        names of the folder's files made read-only (mode 0444) before the start
                   (Linux: run as root, whom modes do not stop, the driver starts the
                   service as nobody, uid 65534, through setpriv)
  command_fifo     (Linux) the command file is a named pipe that the driver holds open
                   and never writes: the service waits in its read of the first line
  settings_fifo    (Linux) the settings file is a named pipe that nobody writes
  log_fifo         (Linux) the log's path is a named pipe that nobody reads
  parent_ignores   (Linux) signal names ("CHLD", "TERM") that the service is started
                   with ignored, as some shells and supervisors leave them
  pid1             (Linux) the program runs as PID 1 of a PID namespace of its own, as
                   in a container (unshare); pid files then hold that namespace's numbers
  notify_socket    (Linux) NOTIFY_SOCKET to use instead of the listener's socket
  listener_socket  (Linux) a path socket for the listener instead of an abstract name
  folder_mode      (Linux) the scenario folder's mode, in octal, before the start
  stale_socket     (Linux) a name in the folder where a socket is bound and closed again
  listening_socket (Linux) the same, and listened on by the driver until the end
  steps            done in order once the service runs:
                     {"wait_report": STATE, "count": N}  N reports in STATE have arrived (default 1)
                     {"wait_log": TEXT, "count": N}      the log (or the debugger output) holds
                                                         TEXT, N times (default 1)
                     {"control": "stop" | "interrogate" | CODE}   a control request
                       ("linux_signal": "INT" picks another stop signal on Linux;
                       "times": N sends it N times in a row, as fast as they go;
                       "refused": true, after the stopped report: the Windows manager
                       must turn the first one away as not active, 1062)
                     {"remove": NAME}                    delete a file of the folder
                     {"make_folder": NAME}               create a folder in the folder
                     {"wait_file": NAME}                 a file of the folder exists
                     {"wait_server_end": true}           the server's process has ended
                     {"no_zombies": true}                (Linux) within 10 s the program has
                                                         no child that has ended unreaped
                     {"client": [ARG, ...]}              runs tallowmere-console with these
                                                         arguments ({console}: ConsolePath,
                                                         {settings}: the settings file) and
                                                         checks "exit_code", "stdout" (exact),
                                                         "stdout_match" (a regular expression),
                                                         "stdout_has" and "stderr_has" (texts
                                                         it holds); "input" is its standard
                                                         input, written once its output holds
                                                         "until_output" and closed once the
                                                         log holds "hold_until_log";
                                                         "as_nobody": (Linux) uid and gid
                                                         65534; "background": true leaves it
                                                         running to the end of the run
                     {"console_mode": "0660"}            (Linux) ConsolePath is a socket with
                                                         this mode, owned by the program's
                                                         user and group
                     {"remove_notify_socket": true}      (Linux) unlink the listener's
                                                         socket file: it stays bound, but
                                                         no datagram can reach it
  expect:
    reports        the reports in order: {"state", "count" ("N", "N+"), "exit_code"};
                   check points, wait hints and the other fields follow from the state
                   ("check_points": "repeat": a start-pending report may repeat the
                   check point before it, as an interrogation's answer does)
    exit_code      the stopped report's Win32ExitCode as the system shows it (Linux: the
                   process's exit status)
    stdin          bytes the server received on its standard input (placeholders expanded)
    server_end     how the server ended: quit, eof, exit (its own --exit) or killed (no
                   word of its own: ended from outside, or crashed)
    gone_at_end    pid files of the folder (the sample server's --pid-file and
                   --spawn-child) whose processes must be gone by the time the service
                   has ended
    rotated        {"kept": K}: the log was rotated; its kept files NAME.K ... NAME.1 and
                   NAME, oldest first, must be the end of what "log" describes (literal
                   items only), each older one ending at a line's end, and no NAME.(K+1)
    log            the log file, whole: items in order, each a text, {"repeat": TEXT,
                   "min": N}, {"optional": TEXT}, {"one_of": [[items], [items]...]},
                   {"mixed": [TEXT, ...], "min": N} (N or more of those texts in any order:
                   what two threads log side by side)
                   (where two threads' messages may come in either order),
                   {"flood": N} (the first N bytes of the sample server's flood
                   pattern, complete and in order) or {"first": N, "of": TEXT} (TEXT
                   cut after N characters); line feeds are stored as CR LF; null: no
                   log file may exist (a device or a folder at the log's path is none)
    debug_output   the same for the debugger output (Linux: standard error), line feeds
                   unchanged; default: nothing at all
    files          {name: text} that must be in the scenario's folder at the end

Any value may be {"linux": X, "windows": Y} where the systems differ.

Placeholders in texts: {dir} the scenario's folder, {sep} the path separator, {server}
the sample server (quoted when needed), {missing_program} a program path that does not
exist, {record} the sample server's options that record its standard input, its end and
its process id into the folder, {startup} the four start-up lines and "Command line",
{command_line} the service's own command line as logged, {server_command} the command
file's first line, {fillN} N characters of the letters a to z over and over (settings
values too), {noiseN} N bytes of fixed pseudo-random noise, every byte value among them.
"""

import argparse
import json
import os
import re
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TABLE = os.path.join(HERE, "scenarios.json")

DEFAULT_SETTINGS = {  # what the driver writes unless a scenario says otherwise
    "UseLog": "1",
    "AppendToExistingLog": "0",
    "ServerStartupTimeoutInSeconds": "30",
    "LogFileName": "{dir}{sep}service.log",
    "CommandFile": "{dir}{sep}server.cmd",
}
BUILT_IN = {  # the program's own defaults for keys that the file lacks
    "LogFileName": "Tallowmere.log",
    "CommandFile": "quorinsv.bat",
    "LaunchFolder": "",
}
STDIN_FILE = "server-stdin.bin"
EXIT_FILE = "server-exit.txt"
PID_FILE = "server.pid"
COMMAND_FILE = "server.cmd"
SETTINGS_FILE = "Tallowmere.ini"


def fill(length):
    """length characters of the letters a to z over and over."""
    return ("abcdefghijklmnopqrstuvwxyz" * (length // 26 + 1))[:length]


def noise(length):
    """length bytes (as latin-1 text) of a fixed linear congruential sequence."""
    out = []
    x = 12345
    for _ in range(length):
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append(chr((x >> 16) & 0xFF))
    return "".join(out)


def flood(length):
    """The sample server's flood pattern's first length bytes: 64-byte lines."""
    lines = []
    for line in range(length // 64 + 1):
        lines.append("flood %08d " % line + "".join(
            chr(ord("a") + (line + k) % 26) for k in range(48)) + "\n")
    return "".join(lines)[:length]


def generated(name):
    """The value of a {fillN} or {noiseN} placeholder, or None."""
    m = re.fullmatch(r"(fill|noise)(\d+)", name)
    if not m:
        return None
    return (fill if m.group(1) == "fill" else noise)(int(m.group(2)))


def expand_basic(text, ctx):
    """{dir}, {sep}, {fillN} and {noiseN}: what settings values may hold."""
    def value(m):
        name = m.group(1)
        known = {"dir": ctx.folder, "sep": ctx.sep}.get(name)
        if known is None:
            known = generated(name)
        return m.group(0) if known is None else known
    return re.sub(r"\{(\w+)\}", value, text)


def load(path=TABLE):
    with open(path, encoding="utf-8") as f:
        return json.load(f)["scenarios"]


def find(name, path=TABLE):
    for scenario in load(path):
        if scenario["name"] == name:
            return scenario
    raise KeyError(name)


def applies(scenario, system):
    return system in scenario.get("systems", ["linux", "windows"])


def for_system(value, system):
    """Resolves every {"linux": .., "windows": ..} inside value."""
    if isinstance(value, dict):
        if set(value) <= {"linux", "windows"} and value:
            return for_system(value.get(system), system)
        return {k: for_system(v, system) for k, v in value.items()}
    if isinstance(value, list):
        return [for_system(v, system) for v in value]
    return value


class Context:
    """What the placeholders stand for in one run of one scenario."""

    def __init__(self, folder, sep, server, missing_program, command_line, quote,
                 host_folder=None):
        self.folder = folder            # the scenario's folder, as the service names it
        self.host_folder = host_folder or folder  # the same, as the driver opens it
        self.sep = sep                  # "/" or "\\"
        self.server = server            # the sample server's program
        self.missing_program = missing_program
        self.command_line = command_line  # the service process's command line, as logged
        self.quote = quote              # makes a path one item of a command line
        self.settings = {}
        self.server_command = ""

    def path(self, name):
        return self.folder + self.sep + name

    def host_path(self, name):
        """A file of the folder as the driver opens it (Wine: the Unix path of Z:...)."""
        return os.path.join(self.host_folder, name)

    def expand(self, text):
        record = " ".join([
            "--stdin-file", self.quote(self.path(STDIN_FILE)),
            "--exit-file", self.quote(self.path(EXIT_FILE)),
            "--pid-file", self.quote(self.path(PID_FILE))])
        values = {
            "dir": self.folder, "sep": self.sep, "server": self.quote(self.server),
            "missing_program": self.missing_program, "record": record,
            "server_command": self.server_command, "startup": self.startup(),
            "command_line": self.command_line, "settings": self.path(SETTINGS_FILE),
            "console": self.settings.get("ConsolePath", ""),
        }
        def value(m):
            known = values.get(m.group(1))
            if known is None:
                known = generated(m.group(1))
            return m.group(0) if known is None else known
        return re.sub(r"\{(\w+)\}", value, text) if "{" in text else text

    def startup(self):
        def value(key):
            return self.settings.get(key, BUILT_IN[key])
        return ("Using INI file: " + self.path(SETTINGS_FILE) + "\n" +
                "Writing to log file " + value("LogFileName") + "\n" +
                "Launching file " + value("CommandFile") + "\n" +
                "Home folder " + value("LaunchFolder") + "\n" +
                "Command line " + self.command_line + "\n")


def prepare(scenario, system, ctx):
    """Resolves the scenario for the system, fills ctx.settings and ctx.server_command,
    and writes the settings file, the command file and the scenario's files and folders
    into ctx.host_folder. Returns the resolved scenario."""
    s = for_system(scenario, system)
    settings = dict(DEFAULT_SETTINGS)
    for key, val in (s.get("settings") or {}).items():
        if val is None:
            settings.pop(key, None)
        else:
            settings[key] = val
    ctx.settings = {}
    if s.get("settings_text") is None:
        for key, val in settings.items():
            ctx.settings[key] = expand_basic(val, ctx)
    command = s.get("command")
    ctx.server_command = ctx.expand(command) if command else ""

    for name in s.get("folders", []):
        os.makedirs(ctx.host_path(name), exist_ok=True)
    for name, text in (s.get("files") or {}).items():
        write_bytes(ctx.host_path(name), ctx.expand(text))
    ini = "[Tallowmere]\r\n" + "".join(k + "=" + v + "\r\n" for k, v in ctx.settings.items())
    if s.get("settings_text") is not None:
        ini = expand_basic(s["settings_text"], ctx)
    write_bytes(ctx.host_path(SETTINGS_FILE), ini)
    if command is not None:
        write_bytes(ctx.host_path(COMMAND_FILE), ctx.server_command + ("\r\n" if command else ""))
    return s


def write_bytes(path, text):
    with open(path, "wb") as f:
        f.write(text.encode("latin-1"))


def to_bytes(text):
    return text.encode("latin-1")


def text_pattern(items, ctx, crlf):
    """A regular expression (bytes) that matches exactly the text the items describe."""
    def literal(text):
        text = ctx.expand(text)
        if crlf:
            text = text.replace("\n", "\r\n")
        return re.escape(to_bytes(text))
    parts = []
    for item in items:
        if isinstance(item, str):
            parts.append(literal(item))
        elif "repeat" in item:
            parts.append(b"(?:" + literal(item["repeat"]) + b")" +
                         b"{%d,}" % item.get("min", 0))
        elif "optional" in item:
            parts.append(b"(?:" + literal(item["optional"]) + b")?")
        elif "mixed" in item:
            parts.append(b"(?:" + b"|".join(literal(text) for text in item["mixed"]) + b")" +
                         b"{%d,}" % item.get("min", 0))
        elif "one_of" in item:
            parts.append(b"(?:" + b"|".join(text_pattern(choice, ctx, crlf).pattern
                                            for choice in item["one_of"]) + b")")
        elif "flood" in item:
            parts.append(literal(flood(item["flood"])))
        elif "first" in item:
            parts.append(literal(ctx.expand(item["of"])[:item["first"]]))
        else:
            raise ValueError("unknown log item %r" % (item,))
    return re.compile(b"".join(parts), re.DOTALL)


def describe_text(items, ctx, crlf):
    """The expected text, readable, for a failure message."""
    out = []
    for item in items:
        if isinstance(item, str):
            out.append(ctx.expand(item))
        elif "repeat" in item:
            out.append("(%s){%d,}" % (ctx.expand(item["repeat"]), item.get("min", 0)))
        elif "one_of" in item:
            out.append("(%s)" % "|".join(describe_text(choice, ctx, False)
                                         for choice in item["one_of"]))
        elif "flood" in item:
            out.append(flood(item["flood"]))
        elif "first" in item:
            out.append(ctx.expand(item["of"])[:item["first"]])
        elif "mixed" in item:
            out.append("(%s){%d,}" % ("|".join(ctx.expand(t) for t in item["mixed"]),
                                      item.get("min", 0)))
        else:
            out.append("(%s)?" % ctx.expand(item["optional"]))
    text = "".join(out)
    return text.replace("\n", "\r\n") if crlf else text


def count_range(count):
    """(low, high) for a report count: 1, "3", "2+", "0+", "1-10"; high None is unbounded."""
    text = str(count if count is not None else 1)
    if text.endswith("+"):
        return int(text[:-1]), None
    if "-" in text:
        low, high = text.split("-", 1)
        return int(low), int(high)
    return int(text), int(text)


# --- What both drivers do with the table's expectations ---------------------------------

class Client:
    """A run of the console client for a "client" step: its output is read as it comes."""

    def __init__(self, step, ctx, program, env):
        self.step = step
        self.ctx = ctx
        args = program + [ctx.expand(a) for a in step["client"]]
        self.process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=env)
        self.out = bytearray()
        self.err = bytearray()
        self.readers = [threading.Thread(target=self._drain, args=(self.process.stdout, self.out)),
                        threading.Thread(target=self._drain, args=(self.process.stderr, self.err))]
        for reader in self.readers:
            reader.daemon = True
            reader.start()

    @staticmethod
    def _drain(stream, into):
        for chunk in iter(lambda: stream.read1(65536), b""):
            into.extend(chunk)

    def feed(self, log_holds, poll):
        """Writes the step's input, when its output allows, and closes the input when the
        log allows. A list of problems."""
        step, ctx = self.step, self.ctx
        if "until_output" in step:
            want = to_bytes(ctx.expand(step["until_output"]))
            if not wait_until(lambda: want in self.out or self.process.poll() is not None,
                              30, poll):
                return ["the client's output never held %r: %r" % (want, bytes(self.out))]
        try:
            if "input" in step:
                self.process.stdin.write(to_bytes(ctx.expand(step["input"])))
                self.process.stdin.flush()
            if "hold_until_log" in step:
                want = to_bytes(ctx.expand(step["hold_until_log"]))
                if not wait_until(lambda: log_holds(want), 30, poll):
                    return ["the log never held %r while the client ran" % want]
            if not step.get("background"):
                self.process.stdin.close()
        except OSError:
            pass  # a client that has ended already: its status tells
        return []

    def finish(self, timeout=60):
        """Waits for the client's end and checks it. A list of problems."""
        step, ctx = self.step, self.ctx
        try:
            self.process.stdin.close()
        except OSError:
            pass
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return ["the client %s did not end within %d s" % (step["client"], timeout)]
        for reader in self.readers:
            reader.join(10)
        out, err = bytes(self.out), bytes(self.err)
        problems = []
        where = "client %s" % " ".join(step["client"])
        if "exit_code" in step and code != step["exit_code"]:
            problems.append("%s: exit code %s, expected %s" % (where, code, step["exit_code"]))
        if "stdout" in step and out != to_bytes(ctx.expand(step["stdout"])):
            problems.append("%s: printed %r" % (where, out))
        if "stdout_match" in step and not re.search(to_bytes(ctx.expand(step["stdout_match"])),
                                                     out):
            problems.append("%s: printed %r, not matching %r" % (where, out, step["stdout_match"]))
        for text in step.get("stdout_has", []):
            if to_bytes(ctx.expand(text)) not in out:
                problems.append("%s: printed %r, without %r" % (where, out, text))
        if "stderr_has" in step and to_bytes(ctx.expand(step["stderr_has"])) not in err:
            problems.append("%s: said %r on standard error, without %r"
                            % (where, err, step["stderr_has"]))
        if code != 0 and not err.strip() and not out.strip():
            problems.append("%s: exit code %s without a word on standard error" % (where, code))
        if err.count(b"\n") > 1:
            problems.append("%s: more than one line on standard error: %r" % (where, err))
        return problems


def wait_until(condition, seconds, poll):
    """True once condition() holds; checks every poll seconds for at most seconds."""
    deadline = time.monotonic() + seconds
    while True:
        if condition():
            return True
        if time.monotonic() >= deadline:
            return condition()
        time.sleep(poll)


def quote(path):
    return '"' + path + '"' if (" " in path or "\t" in path) else path


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def difference(expected, got):
    """Where two texts part, with some context on both sides."""
    at = next((i for i, (a, b) in enumerate(zip(expected, got)) if a != b),
              min(len(expected), len(got)))
    start = max(0, at - 60)
    return "from byte %d:\n      expected ...%r\n      got      ...%r" % (
        at, expected[start:at + 160], got[start:at + 160])


def check_rotated(expect, ctx, log, read_kept, problems):
    """The log and its kept files NAME.K ... NAME.1 (read_kept(N) gives NAME.N's bytes, or
    None): exactly K of them, each older one ending at a line's end, and all of them,
    oldest first, the end of the whole log the row describes, from a line's start."""
    kept = expect["rotated"]["kept"]
    files = [read_kept(number) for number in range(kept, 0, -1)] + [log]
    if any(f is None for f in files):
        problems.append("kept files missing: %s" % [kept - i for i, f in enumerate(files)
                                                       if f is None and i < kept])
        return
    if read_kept(kept + 1) is not None:
        problems.append("more than %d kept files" % kept)
    for number, text in zip(range(kept, 0, -1), files):
        if not text.endswith(b"\r\n"):
            problems.append("kept file %d ends inside a line: %r" % (number, text[-40:]))
    whole = to_bytes(describe_text(expect["log"], ctx, crlf=True))
    joined = b"".join(files)
    start = len(whole) - len(joined)
    if start < 0 or not whole.endswith(joined) or (start > 0 and whole[start - 1:start] != b"\n"):
        problems.append("the kept files are not the end of the log: " +
                        difference(whole[max(start, 0):], joined))


def check_log_and_output(expect, ctx, log, log_path, output, output_name, problems,
                         read_kept=None):
    """The log file (absent when the row's log is null) and the debugger output, as the
    row expects them; `output_name` says where that output went on this system. With
    "rotated", the log and its kept files (read_kept) hold the end of the described log."""
    if "rotated" in expect and log is not None:
        check_rotated(expect, ctx, log, read_kept, problems)
    elif expect.get("log", []) is None:
        if log is not None:
            problems.append("a log file was created: %s" % log_path)
    elif log is None:
        problems.append("no log file at %s" % log_path)
    elif not text_pattern(expect["log"], ctx, crlf=True).fullmatch(log):
        problems.append("log differs: " + difference(
            to_bytes(describe_text(expect["log"], ctx, crlf=True)), log))
    want_debug = expect.get("debug_output", [])
    if not text_pattern(want_debug, ctx, crlf=False).fullmatch(output):
        problems.append("%s differs: %s" % (output_name, difference(
            to_bytes(describe_text(want_debug, ctx, crlf=False)), output)))


def check_server_files(expect, ctx, read, problems):
    """What the server received on its standard input (nothing, when no server should
    have run) and the files the row names; `read` gives a scenario file's bytes or None."""
    received = read(STDIN_FILE)
    if "stdin" in expect:
        want = to_bytes(ctx.expand(expect["stdin"]))
        if received != want:
            problems.append("the server received %r on standard input, expected %r"
                            % (received, want))
    elif received is not None:
        problems.append("a server ran, but none should have")
    for file_name, text in (expect.get("files") or {}).items():
        got = read(file_name)
        if got != to_bytes(ctx.expand(text)):
            problems.append("%s holds %r, expected %r" % (file_name, got, ctx.expand(text)))


PENDING_STATES = ("START_PENDING", "STOP_PENDING")


def controls_accepted(settings):
    """What every report carries: stop, and shutdown and preshutdown too when the service
    waits for its server."""
    try:
        waits = int(settings.get("ServerStopTimeoutInSeconds") or 0) > 0
    except ValueError:
        waits = False
    return 0x105 if waits else 1


def check_reports(patterns, reports, problems, check_point_of, mismatch):
    """Every report matched against the patterns, in order, none left. A report is a
    dict with "state" and "line"; check_point_of(report) gives its check point (None when
    unreadable), mismatch(pattern, report, check_point) what is wrong with it (None when
    nothing)."""
    position = 0
    check_points = {}  # each pending state counts its own check points from 0
    for pattern in patterns:
        low, high = count_range(pattern.get("count"))
        taken = 0
        state = pattern["state"]
        while (position < len(reports) and (high is None or taken < high)
               and reports[position]["state"] == state):
            report = reports[position]
            check_point = check_points.get(state, 0)
            if (pattern.get("check_points") == "repeat" and state in PENDING_STATES
                    and check_point > 0 and check_point_of(report) == check_point - 1):
                check_point -= 1  # an interrogation's report repeats the check point
            problem = mismatch(pattern, report, check_point)
            if problem is not None:
                problems.append("report %d: %s" % (position + 1, problem))
            if state in PENDING_STATES:
                check_points[state] = check_point + 1
            position += 1
            taken += 1
        if taken < low:
            problems.append("expected at least %d %s report(s) at report %d, found %d" % (
                low, pattern["state"], position + 1, taken))
    for index in range(position, len(reports)):
        problems.append("unexpected report %d: %s" % (index + 1, reports[index]["line"]))


def driver_arguments(doc, build_help, keep_help, list_help):
    """The options every driver has: its build, the scenarios to run, keeping what a run
    leaves, and listing the table."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--build", required=True, help=build_help)
    parser.add_argument("--scenario", action="append", help="run only these (repeatable)")
    parser.add_argument("--keep", action="store_true", help=keep_help)
    parser.add_argument("--list", action="store_true", help=list_help)
    return parser


def pick(scenarios, args):
    """The scenarios to run: those that --scenario names, all when it names none. None when
    there is nothing to run: --list printed every name, or an unknown name was printed; the
    driver then ends with `0 if args.list else 2`."""
    if args.list:
        print("\n".join(s["name"] for s in scenarios))
        return None
    names = args.scenario
    if not names:
        return scenarios
    unknown = set(names) - {s["name"] for s in scenarios}
    if unknown:
        print("unknown scenario(s): %s" % ", ".join(sorted(unknown)))
        return None
    return [s for s in scenarios if s["name"] in names]


def print_outcome(scenario, problems, took):
    if problems:
        print("FAIL %s (%.1f s): %s" % (scenario["name"], took, scenario.get("about", "")))
        for problem in problems:
            print("  - " + problem)
    else:
        print("PASS %s (%.1f s)" % (scenario["name"], took))
    sys.stdout.flush()
