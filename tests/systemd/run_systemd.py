#!/usr/bin/env python3
"""Runs the scenarios of scenarios.json under a real systemd, judged by what systemd says.

usage: run_systemd.py --build DIR [--unit FILE] [--sysusers FILE] [--scenario NAME]...
                      [--keep] [--list]

One systemd is brought up as PID 1 of private namespaces for the whole table
(machine.py, init.sh); the shipped packaging/tallowmere@.service is installed there with
its program and settings folder pointed at the run's folder, and its account created by
the shipped sysusers file in the namespace's own copy of the user database. Each scenario
is one instance, tallowmere@NAME.service, driven with systemctl and judged with
systemctl show, journalctl and the unit's cgroup. At the end the driver proves that the
host holds no process, cgroup folder, mount or file of the run, and fails otherwise;
also when interrupted (SIGINT, SIGTERM, SIGHUP) or when a scenario fails.

--unit and --sysusers take the unit template and the sysusers file from elsewhere than
packaging/, e.g. from an unpacked Debian package (tests/package/check_artifacts.py).

Exit status 0 when every scenario run passed and nothing was left behind; 1 otherwise, also when the
machine cannot host systemd (the reason is printed).

A scenario: name, about; settings (the [Tallowmere] keys over the defaults
below); command (the command file's first line; null: no command file) or script (a
shell script run as the server, /bin/sh FILE); dropin (a drop-in for this instance);
steps, in order:
  {"start"|"stop"|"restart": "wait"|"no-block"|"fails", "returns_within": [MIN, MAX]}
      systemctl ACTION; "wait" must succeed and "fails" fail, within MIN..MAX seconds
  {"expect": {PROPERTY: REGEX}}           systemctl show matches now (whole values)
  {"wait": {PROPERTY: REGEX}, "within": S}  matches within S seconds
  {"watch": {PROPERTY: REGEX}, "until": {...}, "within": S, "seen": {...},
   "seen_after": T, "cgroup_empty": true}
      every sample before "until" matches "watch"; "seen" matched at least once; a
      sample T seconds after the step began still matched "watch" (not "until"); the
      cgroup is empty at the first sample that matches "until"
  {"kill": SIGNAL, "whom": "main"|"all"}  systemctl kill
  {"log_level": LEVEL}                    systemctl log-level
  {"server": "alive"|"gone", "within": S} the pid in server.pid runs in the unit's
                                          cgroup / has ended
  {"main_runs_as": USER}                  the main process's user
  {"cgroup": "empty"}                     the unit's last cgroup holds no process
  {"log_holds": TEXT, "owner": USER}      the log file holds TEXT, owned by USER
  {"file": NAME, "is": TEXT | null}       a file of the scenario's folder, or none
  {"journal": REGEX, "count": N}          N lines of the unit's journal match
  {"wait_journal": REGEX, "within": S}    one such line appears within S seconds
  {"client": [ARG...], "as": USER, "exit_code": N, "stdout_match": REGEX,
   "stderr_has": TEXT}                    tallowmere-console inside the machine, as root
                                          or as USER (uid and gid, no other groups)
  {"stat": PATH, "is": "MODE USER:GROUP" | null}  a path inside the machine, or none
Placeholders as in tests/e2e/scenarios.py: {dir}, {server}, {record}.
"""

import grp
import json
import os
import pwd
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import machine  # noqa: E402
import scenarios as table  # noqa: E402

TABLE = os.path.join(HERE, "scenarios.json")
TEMPLATE = os.path.join(ROOT, "packaging", "tallowmere@.service")
SYSUSERS = os.path.join(ROOT, "packaging", "tallowmere.sysusers.conf")
# What the driver rewrites in the template; it fails when the template lost either.
TEMPLATE_PROGRAM = "/usr/bin/tallowmere-service"
TEMPLATE_SETTINGS = "/etc/tallowmere/"
ACCOUNT = "tallowmere"
MULTIPLIER = float(os.environ.get("TALLOWMERE_TIMEOUT_MULTIPLIER", "1") or "1")
POLL = 0.1
SETTINGS = {
    "LogFileName": "/var/log/tallowmere/{name}.log",
    "CommandFile": "{dir}/server.cmd",
    "LaunchFolder": "{dir}",
    "ServerStartupTimeoutInSeconds": "30",
}


class Failure(Exception):
    pass


class Interrupted(Exception):
    pass


def wait_until(condition, seconds):
    return table.wait_until(condition, seconds * MULTIPLIER, POLL)


class Run:
    """The run's folder, its systemd, and the account's ids in the namespace."""

    def __init__(self, build, folder):
        self.build = build
        self.folder = folder
        self.machine = machine.Machine(folder)
        self.uid = None

    def prepare(self):
        os.chmod(self.folder, 0o755)   # the service account reaches its files through it
        for sub in ("bin", "etc", "s", "root/etc"):
            os.makedirs(os.path.join(self.folder, sub))
        # Copies: a clone under /root would be out of the account's reach.
        for program in ("tallowmere-service", "sample-server", "tallowmere-console"):
            source = os.path.join(self.build, program)
            if not os.access(source, os.X_OK):
                raise Failure("%s is missing: build first" % source)
            shutil.copy(source, os.path.join(self.folder, "bin", program))
        # The shipped sysusers file creates the account in a copy of the user database,
        # which the namespace mounts over its /etc/passwd and /etc/group.
        for name in ("passwd", "group"):
            shutil.copy("/etc/" + name, os.path.join(self.folder, "root/etc", name))
        result = subprocess.run(["systemd-sysusers", "--root=" + self.folder + "/root", SYSUSERS],
                                stdin=subprocess.DEVNULL, capture_output=True, text=True)
        if result.returncode != 0:
            raise Failure("systemd-sysusers: %s" % result.stderr.strip())
        with open(os.path.join(self.folder, "root/etc/passwd")) as f:
            for line in f:
                fields = line.split(":")
                if fields[0] == ACCOUNT:
                    self.uid, self.gid = int(fields[2]), int(fields[3])
        if self.uid is None:
            raise Failure("%s created no %s account" % (SYSUSERS, ACCOUNT))

    def install_template(self):
        with open(TEMPLATE) as f:
            text = f.read()
        for old in (TEMPLATE_PROGRAM, TEMPLATE_SETTINGS):
            if old not in text:
                raise Failure("%s no longer names %s: update the driver" % (TEMPLATE, old))
        text = text.replace(TEMPLATE_PROGRAM, self.folder + "/bin/tallowmere-service")
        text = text.replace(TEMPLATE_SETTINGS, self.folder + "/etc/")
        with open(self.machine.path("/run/systemd/system/tallowmere@.service"), "w") as f:
            f.write(text)
        self.machine.systemctl("daemon-reload")
        # systemd ignores a key it does not know, with no more than a warning. The man page
        # that Documentation= names comes with the package, not with this machine.
        verify = self.machine.run(["systemd-analyze", "verify", "--man=no",
                                   "tallowmere@verify.service"], check=False)
        if verify.returncode != 0 or (verify.stdout + verify.stderr).strip():
            raise Failure("systemd-analyze verify: " + (verify.stdout + verify.stderr).strip())

    def user_name(self, uid):
        if uid == self.uid:
            return ACCOUNT
        try:
            return pwd.getpwuid(uid).pw_name
        except KeyError:
            return str(uid)

    def group_name(self, gid):
        if gid == self.gid:
            return ACCOUNT
        try:
            return grp.getgrgid(gid).gr_name
        except KeyError:
            return str(gid)


class Scenario:
    def __init__(self, run, scenario):
        self.run = run
        self.m = run.machine
        self.s = scenario
        self.name = scenario["name"]
        self.unit = "tallowmere@%s.service" % self.name
        self.dir = os.path.join(run.folder, "s", self.name)
        server = os.path.join(run.folder, "bin", "sample-server")
        self.ctx = table.Context(self.dir, "/", server, "/no-such-program", "", table.quote)
        self.control_group = None

    # --- Setting up ---------------------------------------------------------------

    def prepare(self):
        os.makedirs(self.dir)
        settings = dict(SETTINGS)
        settings.update(self.s.get("settings") or {})
        text = "[Tallowmere]\r\n" + "".join(
            "%s=%s\r\n" % (k, self.expand(v)) for k, v in settings.items() if v is not None)
        table.write_bytes(os.path.join(self.run.folder, "etc", self.name + ".ini"), text)
        if "script" in self.s:
            table.write_bytes(self.path("server.sh"), self.expand(self.s["script"]))
            command = "/bin/sh " + self.path("server.sh")
        else:
            command = self.s.get("command")
        if command is not None:
            table.write_bytes(self.path("server.cmd"), self.expand(command) + "\r\n")
        for name in os.listdir(self.dir) + [""]:
            os.chown(self.path(name) if name else self.dir, self.run.uid, self.run.gid)
        if self.s.get("dropin"):
            folder = self.m.path("/run/systemd/system/%s.d" % self.unit)
            os.makedirs(folder)
            with open(folder + "/test.conf", "w") as f:
                f.write(self.s["dropin"])
            self.m.systemctl("daemon-reload")

    def expand(self, text):
        return self.ctx.expand(text.replace("{name}", self.name))

    def path(self, name):
        return os.path.join(self.dir, name)

    # --- What systemd says --------------------------------------------------------

    def show(self, names):
        out = self.m.systemctl("show", self.unit, *["-p" + n for n in names]).stdout
        values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
        if values.get("ControlGroup"):
            self.control_group = values["ControlGroup"]
        return values

    def mismatches(self, want, values):
        return ["%s=%r (expected %s)" % (k, values.get(k), v) for k, v in want.items()
                if not re.fullmatch(v, values.get(k, ""))]

    def journal(self):
        return self.m.journalctl("-u", self.unit, "-o", "cat").splitlines()

    def journal_count(self, pattern):
        return sum(bool(re.search(pattern, line)) for line in self.journal())

    def members(self):
        """{pid inside: (host pid, uid)} of the unit's cgroup."""
        found = {}
        self.show(["ControlGroup"])   # kept from the last time the unit had one
        if not self.control_group:
            return found
        for pid in self.m.cgroup_pids(self.control_group):
            try:
                with open("/proc/%d/status" % pid) as f:
                    status = dict(line.split(":", 1) for line in f if ":" in line)
            except OSError:
                continue
            inner = int(status["NSpid"].split()[-1])
            found[inner] = (pid, int(status["Uid"].split()[0]))
        return found

    def server_pid(self):
        text = table.read_bytes(self.path(table.PID_FILE))
        return int(text) if text and text.strip() else None

    # --- Steps --------------------------------------------------------------------

    def step(self, step):
        for action in ("start", "stop", "restart"):
            if action in step:
                return self.job(action, step[action], step.get("returns_within"))
        if "expect" in step:
            problems = self.mismatches(step["expect"], self.show(list(step["expect"])))
            if problems:
                raise Failure("systemctl show: " + ", ".join(problems))
        elif "wait" in step:
            want = step["wait"]
            if not wait_until(lambda: not self.mismatches(want, self.show(list(want))),
                              step["within"]):
                raise Failure("not within %s s: %s" % (step["within"], ", ".join(
                    self.mismatches(want, self.show(list(want))))))
        elif "watch" in step:
            self.watch(step)
        elif "kill" in step:
            self.m.systemctl("kill", "--kill-whom=" + step["whom"], "-s", step["kill"], self.unit)
        elif "log_level" in step:
            self.m.systemctl("log-level", step["log_level"])
        elif "server" in step:
            self.check_server(step["server"], step.get("within", 10))
        elif "main_runs_as" in step:
            main = int(self.show(["MainPID", "ControlGroup"])["MainPID"])
            member = self.members().get(main)
            if member is None:
                raise Failure("MainPID %d is not in the unit's cgroup" % main)
            if self.run.user_name(member[1]) != step["main_runs_as"]:
                raise Failure("the main process runs as %s" % self.run.user_name(member[1]))
        elif "cgroup" in step:
            left = self.members()
            if left:
                raise Failure("the unit's cgroup still holds %s" % sorted(left))
        elif "log_holds" in step:
            log = self.m.path(self.expand(SETTINGS["LogFileName"]))
            text = table.read_bytes(log) or b""
            if table.to_bytes(step["log_holds"]) not in text:
                raise Failure("the log lacks %r: %r" % (step["log_holds"], text[-2000:]))
            owner = self.run.user_name(os.stat(log).st_uid)
            if owner != step["owner"]:
                raise Failure("the log belongs to %s" % owner)
        elif "file" in step:
            got = table.read_bytes(self.path(step["file"]))
            want = None if step["is"] is None else table.to_bytes(step["is"])
            if got != want:
                raise Failure("%s holds %r, expected %r" % (step["file"], got, want))
        elif "journal" in step:
            count = self.journal_count(step["journal"])
            if count != step["count"]:
                raise Failure("%d journal line(s) match %r, expected %d"
                              % (count, step["journal"], step["count"]))
        elif "wait_journal" in step:
            if not wait_until(lambda: self.journal_count(step["wait_journal"]) > 0,
                              step["within"]):
                raise Failure("no journal line matches %r" % step["wait_journal"])
        elif "client" in step:
            command = [self.run.folder + "/bin/tallowmere-console"] + [
                self.expand(a) for a in step["client"]]
            if step.get("as"):
                account = pwd.getpwnam(step["as"])
                command = ["setpriv", "--reuid=%d" % account.pw_uid,
                           "--regid=%d" % account.pw_gid, "--clear-groups", "--"] + command
            result = self.m.run(command, check=False)
            where = "client %s" % " ".join(step["client"])
            if result.returncode != step.get("exit_code", 0):
                raise Failure("%s: exit code %d (%s)" % (where, result.returncode,
                                                         result.stderr.strip()))
            if "stdout_match" in step and not re.search(step["stdout_match"], result.stdout):
                raise Failure("%s printed %r" % (where, result.stdout))
            if step.get("stderr_has", "") not in result.stderr:
                raise Failure("%s said %r" % (where, result.stderr))
        elif "stat" in step:
            path = self.m.path(self.expand(step["stat"]))
            got = None
            if os.path.lexists(path):
                state = os.lstat(path)
                got = "%04o %s:%s" % (state.st_mode & 0o7777, self.run.user_name(state.st_uid),
                                      self.run.group_name(state.st_gid))
            if got != step["is"]:
                raise Failure("%s is %r, expected %r" % (step["stat"], got, step["is"]))
        else:
            raise Failure("unknown step %r" % (step,))

    def job(self, action, mode, bounds):
        args = [action, self.unit] + (["--no-block"] if mode == "no-block" else [])
        self.show(["ControlGroup"])
        start = time.monotonic()
        result = self.m.systemctl(*args, timeout=120 * MULTIPLIER, check=False)
        took = time.monotonic() - start
        if (result.returncode == 0) != (mode != "fails"):
            raise Failure("systemctl %s: status %d: %s" % (
                action, result.returncode, (result.stderr + result.stdout).strip()))
        if bounds and not bounds[0] <= took <= bounds[1] * MULTIPLIER:
            raise Failure("systemctl %s returned after %.2f s, expected %s..%s s"
                          % (action, took, bounds[0], bounds[1]))

    def watch(self, step):
        names = sorted(set(step["watch"]) | set(step["until"]) | set(step.get("seen", {}))
                       | {"ControlGroup"})
        start = time.monotonic()
        seen = late = False
        while True:
            values = self.show(names)
            if not self.mismatches(step["until"], values):
                if step.get("cgroup_empty") and self.members():
                    raise Failure("%s, but the cgroup still holds %s"
                                  % (step["until"], sorted(self.members())))
                break
            problems = self.mismatches(step["watch"], values)
            if problems:
                raise Failure("before %s: %s" % (step["until"], ", ".join(problems)))
            seen = seen or not self.mismatches(step.get("seen", {}), values)
            late = late or time.monotonic() - start >= step.get("seen_after", 0)
            if time.monotonic() - start > step["within"] * MULTIPLIER:
                raise Failure("not %s within %s s" % (step["until"], step["within"]))
            time.sleep(POLL)
        if not seen:
            raise Failure("never saw %s" % step["seen"])
        if not late:
            raise Failure("%s after %.2f s, before %s s" % (
                step["until"], time.monotonic() - start, step["seen_after"]))

    def check_server(self, want, within):
        pid = self.server_pid()
        if pid is None:
            raise Failure("the server wrote no %s" % table.PID_FILE)
        if want == "alive":
            if pid not in self.members():
                raise Failure("the server (pid %d) is not in the unit's cgroup %s: %s"
                              % (pid, self.control_group, sorted(self.members())))
        elif not wait_until(lambda: pid not in self.members(), within):
            raise Failure("the server (pid %d) is still running" % pid)

    # --- The whole scenario -------------------------------------------------------

    def execute(self):
        problems = []
        try:
            self.prepare()
            for number, step in enumerate(self.s["steps"], 1):
                try:
                    self.step(step)
                except Failure as failure:
                    raise Failure("step %d %s: %s" % (number, json.dumps(step), failure))
        except (Failure, RuntimeError, subprocess.TimeoutExpired) as failure:
            problems.append(str(failure))
            problems.append("journal:\n    " + "\n    ".join(self.journal()[-40:]))
        # The next scenario starts from a quiet systemd (an interruption skips this: the
        # whole namespace goes).
        self.m.systemctl("log-level", "info", check=False)
        self.m.systemctl("stop", self.unit, check=False, timeout=120)
        self.m.systemctl("reset-failed", self.unit, check=False)
        return problems


def on_signal(number, _frame):
    raise Interrupted("interrupted by signal %d" % number)


def main():
    global TEMPLATE, SYSUSERS  # pylint: disable=global-statement
    parser = table.driver_arguments(__doc__, "build folder with the programs",
                                    "keep the run's folder", "print the scenarios")
    parser.add_argument("--unit", help="the unit template (default: %s)" % TEMPLATE)
    parser.add_argument("--sysusers", help="the sysusers file (default: %s)" % SYSUSERS)
    args = parser.parse_args()
    TEMPLATE = os.path.abspath(args.unit or TEMPLATE)
    SYSUSERS = os.path.abspath(args.sysusers or SYSUSERS)

    with open(TABLE, encoding="utf-8") as f:
        chosen = json.load(f)["scenarios"]
    chosen = table.pick(chosen, args)
    if chosen is None:
        return 0 if args.list else 2

    reason = machine.why_not_hostable()
    if reason:
        print("systemd scenarios cannot run on this machine: " + reason)
        return 1
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)

    failed = ran = passed = 0
    leftovers = []
    began = time.monotonic()
    for done in machine.reclaim_stale():
        print("left by a killed run: " + done)
    before = machine.HostState()
    folder = tempfile.mkdtemp(prefix=machine.PREFIX, dir="/tmp")
    lock = machine.claim(folder)
    canary = os.path.join(folder, "canary")
    table.write_bytes(canary, "left by the driver before systemd came up\n")
    run = Run(os.path.abspath(args.build), folder)
    try:
        run.prepare()
        state = run.machine.boot(60 * MULTIPLIER)
        print("systemd up in %.1f s (%s)" % (time.monotonic() - began, state))
        run.install_template()
        for scenario in chosen:
            start = time.monotonic()
            ran += 1
            try:
                problems = Scenario(run, scenario).execute()
            except Interrupted:
                print("INTERRUPTED %s" % scenario["name"])
                raise
            passed += not problems
            failed += bool(problems)
            table.print_outcome(scenario, problems, time.monotonic() - start)
    except (Interrupted, machine.CannotHost, Failure, RuntimeError, OSError,
            subprocess.TimeoutExpired) as error:
        print("systemd scenarios stopped: %s" % error)
        failed += 1
    finally:
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)   # the cleanup itself must finish
        leftovers += run.machine.shutdown()
        if table.read_bytes(canary) is None:
            leftovers.append("the run's folder in /tmp was emptied from inside")
        if args.keep:
            print("folder kept: %s" % folder)
        else:
            shutil.rmtree(folder, ignore_errors=True)
        os.close(lock)
        leftovers += machine.HostState().left_behind(before, os.path.basename(folder))
    for problem in leftovers:
        print("LEFT BEHIND: " + problem)
    print("%d of %d scenario(s) passed, %.1f s in all" % (passed, ran, time.monotonic() - began))
    return 1 if failed or leftovers else 0


if __name__ == "__main__":
    sys.exit(main())
