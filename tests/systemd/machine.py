"""A real systemd as PID 1 of private namespaces, and proof that it left nothing behind.

Machine(folder).boot() brings systemd up inside its own cgroup subtree, PID, mount, UTS,
IPC, cgroup and network namespaces (init.sh makes the mounts); systemctl() and
journalctl() reach it through nsenter; shutdown() ends the whole namespace and removes
the cgroup subtree. HostState() is what the host looked like, for comparing before and
after.

The run survives its driver: unshare is told to SIGKILL the namespace's PID 1 when it
dies itself (--kill-child), and dies when the driver dies (parent-death signal), so even
a SIGKILL of the driver ends every process. Only the two empty cgroup folders can then
remain, with the run's folder; the next run removes them (reclaim_stale()).
"""

import ctypes
import fcntl
import glob
import hashlib
import os
import pty
import re
import shutil
import signal
import subprocess
import threading
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
CGROUP_V1 = "/sys/fs/cgroup/systemd"   # name=systemd, where systemd tracks processes
CGROUP_V2 = "/sys/fs/cgroup/unified"
PREFIX = "tallowmere-systemd-"          # of the run's folder, cgroups and mount sources
SYSTEMD = "/lib/systemd/systemd"
TOOLS = ["unshare", "nsenter", "setpriv", "mknod", "mount", "systemd-sysusers"]

# Units masked inside: each would touch the host's files or state, or is pointless here.
MASKED_UNITS = """
systemd-tmpfiles-setup.service systemd-tmpfiles-setup-dev.service
systemd-tmpfiles-clean.service systemd-tmpfiles-clean.timer systemd-sysusers.service
systemd-sysctl.service systemd-modules-load.service systemd-binfmt.service
proc-sys-fs-binfmt_misc.automount proc-sys-fs-binfmt_misc.mount systemd-random-seed.service
systemd-update-utmp.service systemd-update-utmp-runlevel.service systemd-timesyncd.service
systemd-pstore.service systemd-firstboot.service systemd-repart.service
systemd-machine-id-commit.service systemd-hwdb-update.service
systemd-journal-catalog-update.service ldconfig.service systemd-update-done.service
systemd-networkd.service systemd-networkd.socket systemd-networkd-wait-online.service
systemd-pcrphase.service systemd-pcrphase-sysinit.service systemd-pcrphase-initrd.service
kmod-static-nodes.service getty.target getty@.service serial-getty@.service
getty-static.service console-getty.service container-getty@.service autovt@.service
timers.target sys-kernel-debug.mount sys-kernel-tracing.mount sys-kernel-config.mount
sys-fs-fuse-connections.mount dev-hugepages.mount dev-mqueue.mount
systemd-journald-audit.socket systemd-logind.service systemd-remount-fs.service
systemd-udevd.service systemd-udev-trigger.service systemd-udev-settle.service
systemd-udevd-control.socket systemd-udevd-kernel.socket swap.target
systemd-ask-password-wall.path systemd-ask-password-console.path
""".split()
UNIT_FOLDERS = ["/lib/systemd/system", "/usr/lib/systemd/system", "/etc/systemd/system",
                "/usr/local/lib/systemd/system"]
GENERATOR_FOLDERS = ["/lib/systemd/system-generators", "/usr/lib/systemd/system-generators",
                     "/etc/systemd/system-generators",
                     "/usr/local/lib/systemd/system-generators"]


class CannotHost(Exception):
    """The machine cannot host a systemd of our own; the text says why."""


def why_not_hostable():
    """None when this machine can run the table, else the exact reason."""
    if os.geteuid() != 0:
        return "needs root (euid %d): namespaces, cgroups and mounts" % os.geteuid()
    if not os.access(SYSTEMD, os.X_OK):
        return "%s is missing: install the systemd package" % SYSTEMD
    for tool in TOOLS:
        if not shutil.which(tool):
            return "the %s command is missing (util-linux, mount or systemd package)" % tool
    for path, kind in ((CGROUP_V1, "cgroup name=systemd"), (CGROUP_V2, "cgroup2")):
        if not os.path.exists(os.path.join(path, "cgroup.procs")):
            return ("no %s hierarchy at %s: the driver needs the hybrid cgroup layout "
                    "(v1 name=systemd plus cgroup2 at %s)" % (kind, path, CGROUP_V2))
        if not os.access(path, os.W_OK):
            return "cannot create cgroups under %s" % path
    probe = subprocess.run(["unshare", "--fork", "--pid", "--mount", "--cgroup", "--net",
                            "--uts", "--ipc", "true"],
                           stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if probe.returncode != 0:
        return "unshare cannot make private namespaces: %s" % probe.stderr.strip()
    return None


def masks():
    """Every unit and generator name to mask inside, one a line."""
    names = set(MASKED_UNITS)
    for folder in UNIT_FOLDERS:
        names.update(os.path.basename(p) for p in glob.glob(folder + "/*.timer"))
    # What the image enables: the links in /etc's .wants and .requires folders.
    for link in glob.glob("/etc/systemd/system/*.wants/*") + \
            glob.glob("/etc/systemd/system/*.requires/*"):
        names.add(os.path.basename(link))
    for folder in GENERATOR_FOLDERS:
        names.update(os.path.basename(p) for p in glob.glob(folder + "/*"))
    names.discard("multi-user.target")
    return "".join(n + "\n" for n in sorted(names))


def set_parent_death_signal():
    """preexec_fn: this child gets SIGKILL when the driver dies, however it dies."""
    libc = ctypes.CDLL(None, use_errno=True)
    PR_SET_PDEATHSIG = 1
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def claim(folder):
    """Marks the run's folder as in use for as long as this process lives."""
    fd = os.open(os.path.join(folder, "lock"), os.O_CREAT | os.O_RDWR, 0o600)
    fcntl.flock(fd, fcntl.LOCK_EX)
    return fd


def reclaim_stale():
    """Removes what runs that were killed (SIGKILL leaves no time to clean up) left: their
    folder and their two cgroup folders, once no process holds them. A folder whose lock
    is held belongs to a run still going. Returns what was done, as texts."""
    done = []
    for folder in sorted(glob.glob("/tmp/" + PREFIX + "*")):
        try:
            fd = os.open(os.path.join(folder, "lock"), os.O_RDWR)
        except OSError:
            continue    # no lock yet: a run that is just starting, or not a run's folder
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(fd)
            continue
        os.close(fd)
        shutil.rmtree(folder, ignore_errors=True)
        done.append("removed %s" % folder)
    for cgroup in glob.glob(os.path.join(CGROUP_V1, PREFIX + "*")) + \
            glob.glob(os.path.join(CGROUP_V2, PREFIX + "*")):
        if not os.path.exists("/tmp/" + os.path.basename(cgroup)):
            problem = remove_cgroup_tree(cgroup, seconds=0)
            done.append(problem or "removed %s" % cgroup)
    return done


def remove_cgroup_tree(top, seconds=20):
    """Waits until no process is left under top, then removes it bottom-up. Returns what
    could not be removed, or None."""
    def members():
        found = []
        for folder, _, _ in os.walk(top):
            try:
                with open(os.path.join(folder, "cgroup.procs")) as f:
                    found += f.read().split()
            except OSError:
                pass
        return found
    deadline = time.monotonic() + seconds
    while members() and time.monotonic() < deadline:
        time.sleep(0.05)
    if members():
        return "%s still holds processes %s" % (top, " ".join(members()))
    for folder, _, _ in os.walk(top, topdown=False):
        try:
            os.rmdir(folder)
        except FileNotFoundError:
            pass
        except OSError as error:
            return "cannot remove %s: %s" % (folder, error)
    return None


class Machine:
    def __init__(self, folder):
        self.folder = folder
        self.tag = os.path.basename(folder)       # starts with PREFIX
        self.cgroups = [os.path.join(CGROUP_V1, self.tag), os.path.join(CGROUP_V2, self.tag)]
        self.unshare = None
        self.pid = None         # systemd, as the host sees it
        self.console_path = os.path.join(folder, "console.log")
        self._relay = None
        self._master = self._slave = None
        self._stop_relay = threading.Event()

    # --- Up -------------------------------------------------------------------------

    def boot(self, bound=60):
        for cgroup in self.cgroups:
            os.mkdir(cgroup)
        self._start_console()
        mask_file = os.path.join(self.folder, "masks")
        with open(mask_file, "w") as f:
            f.write(masks())
        # The shell joins the subtree first, so unshare and all below start in it.
        script = ('echo $$ >%s/cgroup.procs && echo $$ >%s/cgroup.procs && exec "$@"'
                  % tuple(self.cgroups))
        command = ["sh", "-c", script, "sh", "unshare", "--fork", "--kill-child=SIGKILL",
                   "--pid", "--mount", "--mount-proc", "--uts", "--ipc", "--cgroup",
                   "--net", "--propagation", "private",
                   "/bin/sh", os.path.join(HERE, "init.sh"), self.folder, self.tag,
                   os.ttyname(self._slave), mask_file]
        with open(os.path.join(self.folder, "init.log"), "wb") as log:
            self.unshare = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT,
                                            preexec_fn=set_parent_death_signal)
        deadline = time.monotonic() + bound
        while self.pid is None and time.monotonic() < deadline:
            if self.unshare.poll() is not None:
                raise CannotHost("the namespace ended at once (status %s): %s"
                                 % (self.unshare.returncode, self.init_output()))
            self.pid = self._namespace_init()
            time.sleep(0.02)
        state = ""
        while time.monotonic() < deadline:
            if self.unshare.poll() is not None:
                raise CannotHost("systemd ended during boot (status %s): %s\n%s"
                                 % (self.unshare.returncode, self.init_output(),
                                    self.console_tail()))
            state = self.systemctl("is-system-running", check=False).stdout.strip()
            if state in ("running", "degraded"):
                return state
            time.sleep(0.2)
        raise CannotHost("systemd did not finish booting within %d s (last state %r)\n%s\n%s"
                         % (bound, state, self.init_output(), self.console_tail()))

    @staticmethod
    def _children(pid):
        try:
            with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
                return [int(child) for child in f.read().split()]
        except OSError:
            return []

    def _namespace_init(self):
        """The host pid of unshare's child (PID 1 inside), once it runs systemd."""
        for child in self._children(self.unshare.pid):
            try:
                with open("/proc/%s/comm" % child) as f:
                    if f.read().strip() == "systemd":
                        return int(child)
            except OSError:
                pass
        return None

    def _start_console(self):
        self._master, self._slave = pty.openpty()
        tty.setraw(self._slave)
        out = open(self.console_path, "ab")

        def relay():
            import select
            with out:
                while not self._stop_relay.is_set():
                    ready, _, _ = select.select([self._master], [], [], 0.2)
                    if ready:
                        try:
                            out.write(os.read(self._master, 65536))
                            out.flush()
                        except OSError:
                            return
        self._relay = threading.Thread(target=relay, daemon=True)
        self._relay.start()

    def init_output(self):
        try:
            with open(os.path.join(self.folder, "init.log"), "rb") as f:
                return f.read().decode("utf-8", "replace").strip()
        except OSError:
            return ""

    def console_tail(self, lines=30):
        try:
            with open(self.console_path, "rb") as f:
                text = f.read().decode("utf-8", "replace")
        except OSError:
            return ""
        return "console:\n" + "\n".join(text.splitlines()[-lines:])

    # --- Talking to it --------------------------------------------------------------

    def run(self, args, timeout=60, check=True):
        result = subprocess.run(["nsenter", "-t", str(self.pid), "-a"] + args,
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=timeout)
        if check and result.returncode != 0:
            raise RuntimeError("%s: status %d: %s" % (" ".join(args), result.returncode,
                                                      (result.stderr + result.stdout).strip()))
        return result

    def systemctl(self, *args, timeout=60, check=True):
        return self.run(["systemctl", "--no-pager"] + list(args), timeout, check)

    def journalctl(self, *args, timeout=30):
        return self.run(["journalctl", "--no-pager"] + list(args), timeout).stdout

    def path(self, inside):
        """A path of the namespace's own file system, as the host opens it."""
        return "/proc/%d/root%s" % (self.pid, inside)

    def cgroup_pids(self, control_group):
        """Host pids of the processes in a unit's cgroup (systemd's name=systemd tree
        and the cgroup2 tree both: a process counts if either holds it)."""
        pids = set()
        for top in self.cgroups:
            for folder, _, _ in os.walk(top + control_group):
                try:
                    with open(os.path.join(folder, "cgroup.procs")) as f:
                        pids.update(int(p) for p in f.read().split())
                except OSError:
                    pass
        return pids

    # --- Down -----------------------------------------------------------------------

    def shutdown(self):
        """Ends every process of the namespace and removes the cgroup subtree. Returns
        what could not be cleaned up (empty when all went)."""
        problems = []
        if self.unshare is not None:
            # SIGKILL to the namespace's PID 1 ends every process inside. unshare must
            # outlive it to reap it: killed first, it would leave a zombie to the host.
            for pid in self._children(self.unshare.pid):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            try:
                self.unshare.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.unshare.kill()
                self.unshare.wait()
                problems.append("unshare (pid %d) did not end by itself" % self.unshare.pid)
        self._stop_relay.set()
        if self._relay:
            self._relay.join(5)
        for fd in (self._master, self._slave):
            if fd is not None:
                os.close(fd)
        self._master = self._slave = None
        for cgroup in self.cgroups:
            if os.path.isdir(cgroup):
                problem = remove_cgroup_tree(cgroup)
                if problem:
                    problems.append(problem)
        return problems


def digest(path):
    try:
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()
    except OSError as error:
        return "unreadable: %s" % error.strerror


class HostState:
    """What a run could leave behind, as seen from the host."""

    WATCHED_FILES = ["/etc/passwd", "/etc/group", "/etc/shadow", "/etc/gshadow"]
    WATCHED_FOLDERS = ["/etc", "/etc/systemd/system", "/var/tmp", "/var/lib", "/var/lib/systemd",
                       "/var/log", "/var/cache", "/var/spool"]

    def __init__(self):
        self.pid_namespaces = self._pid_namespaces()
        self.cgroups = self._cgroup_folders()
        self.mounts = self._mount_points()
        self.files = {p: digest(p) for p in self.WATCHED_FILES}
        self.folders = {d: self._listing(d) for d in self.WATCHED_FOLDERS}

    @staticmethod
    def _listing(folder):
        try:
            return sorted(os.listdir(folder))
        except OSError:
            return []

    @staticmethod
    def _cgroup_folders():
        """Every cgroup folder a systemd could have made: its unit names, or the run's."""
        found = set()
        for top in glob.glob("/sys/fs/cgroup/*"):
            for folder, subfolders, _ in os.walk(top):
                name = os.path.basename(folder)
                if PREFIX in folder or re.search(r"\.(slice|scope|service|mount|socket)$", name):
                    found.add(folder)
        return found

    @staticmethod
    def _pid_namespaces():
        found = set()
        for ns in glob.glob("/proc/[0-9]*/ns/pid"):
            try:
                found.add(os.readlink(ns))
            except OSError:
                pass
        return found

    @staticmethod
    def _mount_points():
        with open("/proc/self/mountinfo") as f:
            return sorted(line.split()[4] for line in f)

    def left_behind(self, before, tag):
        """What this (later) state holds that before did not, as problem texts."""
        problems = []
        for ns in sorted(self.pid_namespaces - before.pid_namespaces):
            problems.append("a PID namespace is left: %s" % ns)
        for pid_dir in glob.glob("/proc/[0-9]*"):
            try:
                with open(pid_dir + "/cgroup") as f:
                    in_cgroup = tag in f.read()
                with open(pid_dir + "/cmdline", "rb") as f:
                    names_run = tag.encode() in f.read()
            except OSError:
                continue
            if in_cgroup or names_run:
                problems.append("process %s is left (%s)" % (
                    os.path.basename(pid_dir), "in the run's cgroup" if in_cgroup
                    else "its command line names the run's folder"))
        for folder in sorted(self.cgroups - before.cgroups):
            problems.append("cgroup folder left: %s" % folder)
        if self.mounts != before.mounts:
            problems.append("the host's mounts changed: %s" % sorted(
                set(self.mounts) ^ set(before.mounts)))
        for mountinfo in glob.glob("/proc/[0-9]*/mountinfo"):
            try:
                with open(mountinfo) as f:
                    if re.search(r"\s%s\s" % re.escape(tag), f.read()):
                        problems.append("a mount of %s is left (%s)" % (tag, mountinfo))
            except OSError:
                pass
        for path, value in self.files.items():
            if value != before.files.get(path):
                problems.append("%s changed" % path)
        for folder, names in self.folders.items():
            if names != before.folders.get(folder):
                problems.append("%s changed: %s" % (folder, sorted(
                    set(names) ^ set(before.folders.get(folder, [])))))
        return problems
