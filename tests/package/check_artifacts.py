#!/usr/bin/env python3
"""Checks what scripts/package wrote to dist/: unpacks both artifacts into a temporary
folder and proves they hold what they promise. Nothing is installed on the machine.

usage: check_artifacts.py [--dist DIR] [--windows-tools DIR] [--linux-tools DIR] [--keep]

The Windows zip: the files INSTALL.txt names, a statically linked .exe whose version
resource (read under Wine through GetFileVersionInfo) names the project's version, the
example settings explaining every key of README's settings table, and the .exe run from
the unpacked folder as a service under Wine's service manager (tests/wine/run_wine.py,
scenario normal_start_and_stop; sample-server.exe and svcctl.exe come from
--windows-tools, by default build/package-windows, where they are built when missing).

The Debian package: lintian reports no error; its fields and files; and the unpacked
program with the unpacked unit template and sysusers file, under a real systemd
(tests/systemd/run_systemd.py, scenario start_returns_at_hint: a start and a stop;
sample-server comes from --linux-tools, by default build/package-linux).

The static Linux tarball: its files, a program that is statically linked (no interpreter,
no shared library), and that program as the entry point of the example image under a real
Podman, on a base made from nothing (tests/container/run_podman.py, row
podman_stop_waits_for_a_server_that_saves; sample-server comes from --static-tools, by
default build/package-static).

Exit status 0 when everything holds.
"""

import argparse
import gzip
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import zipfile

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
README = os.path.join(ROOT, "README.md")
WINE_SCENARIO = "normal_start_and_stop"
WINE_CONSOLE_SCENARIO = "console_send_and_status"
SYSTEMD_SCENARIO = "start_returns_at_hint"
SYSTEMD_CONSOLE_SCENARIO = "console_through_the_instance_socket"
# What a statically linked .exe may import: Windows's own DLLs, none of mingw's.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll", "user32.dll", "ws2_32.dll"}
DEB_FILES = {
    "usr/bin/tallowmere-service": 0o755,
    "usr/bin/tallowmere-console": 0o755,
    "usr/share/man/man1/tallowmere-console.1.gz": 0o644,
    "lib/systemd/system/tallowmere@.service": 0o644,
    "usr/lib/sysusers.d/tallowmere.conf": 0o644,
    "usr/share/doc/tallowmere-service/README.md": 0o644,
    "usr/share/doc/tallowmere-service/copyright": 0o644,
    "usr/share/doc/tallowmere-service/changelog.gz": 0o644,
    "usr/share/doc/tallowmere-service/examples/tallowmere.ini": 0o644,
    "usr/share/man/man8/tallowmere-service.8.gz": 0o644,
}
ZIP_FILES = ["INSTALL.txt", "README.md", "Tallowmere.ini", "tallowmere-console.exe",
             "tallowmere-service.exe"]
TAR_FILES = {"tallowmere-service": 0o755, "tallowmere-console": 0o755, "README.md": 0o644, "container/Containerfile": 0o644,
             "container/game.ini": 0o644, "container/pod.yaml": 0o644}
PODMAN_ROW = "podman_stop_waits_for_a_server_that_saves"


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        found = re.search(r"^project\(tallowmere_service VERSION (\d+\.\d+\.\d+)", f.read(), re.M)
    if not found:
        raise SystemExit("no project version in CMakeLists.txt")
    return found.group(1)


def settings_keys():
    """The keys of README's settings table."""
    with open(README, encoding="utf-8") as f:
        keys = re.findall(r"^\| `(\w+)` \|", f.read(), re.M)
    if len(keys) < 10:
        raise SystemExit("README's settings table has %d keys" % len(keys))
    return keys


def run(args, log, **kwargs):
    """Runs a command with its output in a file; (status, output)."""
    with open(log, "wb") as out:
        code = subprocess.run(args, stdin=subprocess.DEVNULL, stdout=out,
                              stderr=subprocess.STDOUT, check=False, **kwargs).returncode
    with open(log, encoding="utf-8", errors="replace") as f:
        return code, f.read()


def run_driver(driver, args, work, what, problems):
    """Runs one of the test drivers (tests/DRIVER) on an unpacked artifact and shows what
    it printed; a failure is one problem, `what` saying which."""
    code, out = run([sys.executable, os.path.join(ROOT, "tests", *driver)] + args,
                    os.path.join(work, driver[-1] + ".txt"))
    print("  " + "\n  ".join(out.strip().splitlines()))
    if code != 0:
        problems.append("%s: status %d" % (what, code))


def check_example(text, where, problems):
    """Every key of the table in the example, each explained by a comment above it."""
    lines = text.replace("\r\n", "\n").split("\n")
    if "[Tallowmere]" not in lines:
        problems.append("%s: no [Tallowmere] section" % where)
    for key in settings_keys():
        at = [i for i, line in enumerate(lines) if re.match(r";?%s=" % key, line)]
        if len(at) != 1:
            problems.append("%s: %s appears %d times as a setting" % (where, key, len(at)))
        elif at[0] == 0 or not lines[at[0] - 1].startswith("; ") or \
                "Default:" not in " ".join(lines[max(0, at[0] - 12):at[0]]):
            problems.append("%s: %s has no comment with its default above it" % (where, key))


# --- The Windows zip --------------------------------------------------------------------

def tools(folder, preset, targets, problems):
    """The folder with the test tools; builds them in a preset's folder when missing."""
    if all(os.path.exists(os.path.join(folder, t)) for t in targets):
        return folder
    if folder == os.path.join(ROOT, "build", preset):
        code, out = run(["cmake", "--build", "--preset", preset, "--target"] +
                        [t.replace(".exe", "") for t in targets],
                        os.path.join(folder, "tools-build.txt"), cwd=ROOT)
        if code == 0:
            return folder
        problems.append("building %s: %s" % (targets, out[-2000:]))
    else:
        problems.append("%s lacks one of %s: build it first" % (folder, targets))
    return None


def check_zip(path, version, work, problems, tool_folder):
    name = "tallowmere-service-%s-windows-x64" % version
    with zipfile.ZipFile(path) as archive:
        files = sorted(n for n in archive.namelist() if not n.endswith("/"))
        archive.extractall(work)
    want = sorted("%s/%s" % (name, f) for f in ZIP_FILES)
    if files != want:
        problems.append("zip holds %s, expected %s" % (files, want))
        return
    folder = os.path.join(work, name)
    with open(os.path.join(folder, "Tallowmere.ini"), "rb") as f:
        example = f.read()
    if b"\n" in example.replace(b"\r\n", b""):
        problems.append("zip: Tallowmere.ini has line ends other than CR LF")
    check_example(example.decode("ascii"), "zip Tallowmere.ini", problems)
    with open(os.path.join(folder, "INSTALL.txt"), "rb") as f:
        install = f.read().decode("ascii")
    for needed in ("tallowmere-service %s " % version, "sc create ", "binPath= ", "\\\"",
                   "sc failure ", "sc start ", "sc query ", "sc stop ", "sc delete "):
        if needed not in install:
            problems.append("INSTALL.txt lacks %r" % needed)
    for program in ("tallowmere-service.exe", "tallowmere-console.exe"):
        code, dump = run(["x86_64-w64-mingw32-objdump", "-p", os.path.join(folder, program)],
                         os.path.join(work, "objdump.txt"))
        dlls = {d.lower() for d in re.findall(r"DLL Name: (\S+)", dump)}
        if code != 0 or not dlls or dlls - SYSTEM_DLLS:
            problems.append("%s imports %s (status %d): not only Windows's own DLLs"
                            % (program, sorted(dlls), code))
    # The service scenario and the version resource, from the unpacked folder.
    tool_folder = tools(tool_folder, "package-windows", ["sample-server.exe", "svcctl.exe"],
                        problems)
    if tool_folder is None:
        return
    for tool in ("sample-server.exe", "svcctl.exe"):
        shutil.copy(os.path.join(tool_folder, tool), folder)
    run_driver(("wine", "run_wine.py"), ["--build", folder, "--scenario", WINE_SCENARIO,
                                          "--scenario", WINE_CONSOLE_SCENARIO,
                                          "--version", version],
               work, "the zip's .exe under Wine", problems)


# --- The Debian package -----------------------------------------------------------------

def check_deb(path, version, work, problems, tool_folder):
    code, out = run(["lintian", "--fail-on", "error", "--pedantic", "--display-info", path],
                    os.path.join(work, "lintian.txt"))
    findings = [line for line in out.splitlines() if re.match(r"[EWIPX]: ", line)]
    print("  lintian: " + ("; ".join(findings) if findings else "no finding"))
    if code != 0 or any(line.startswith("E: ") for line in findings):
        problems.append("lintian: status %d: %s" % (code, out.strip()[-2000:]))
    fields = {}
    for field in ("Package", "Version", "Architecture", "Depends"):
        _c, value = run(["dpkg-deb", "-f", path, field], os.path.join(work, "field.txt"))
        fields[field] = value.strip()
    want = {"Package": "tallowmere-service", "Version": version, "Architecture": "amd64"}
    problems += ["the package's %s is %r, expected %r" % (k, fields[k], v)
                 for k, v in want.items() if fields[k] != v]
    if "libc6" not in fields["Depends"]:
        problems.append("the package's Depends names no libc6: %r" % fields["Depends"])
    root = os.path.join(work, "deb")
    code, out = run(["dpkg-deb", "-x", path, root], os.path.join(work, "extract.txt"))
    if code != 0:
        problems.append("dpkg-deb -x: %s" % out)
        return
    for name, mode in DEB_FILES.items():
        full = os.path.join(root, name)
        if not os.path.isfile(full):
            problems.append("the package lacks /%s" % name)
        elif os.stat(full).st_mode & 0o7777 != mode:
            problems.append("/%s has mode %o" % (name, os.stat(full).st_mode & 0o7777))
    if problems:
        return
    with open(os.path.join(root, "usr/share/doc/tallowmere-service/examples/tallowmere.ini"),
              encoding="ascii") as f:
        check_example(f.read(), "deb examples/tallowmere.ini", problems)
    with gzip.open(os.path.join(root, "usr/share/doc/tallowmere-service/changelog.gz"),
                   "rt") as f:
        if not f.readline().startswith("tallowmere-service (%s)" % version):
            problems.append("the changelog's first entry is not %s" % version)
    unit = os.path.join(root, "lib/systemd/system/tallowmere@.service")
    with open(unit) as f:
        exec_start = re.search(r"^ExecStart=(\S+)", f.read(), re.M)
    program = exec_start.group(1) if exec_start else None
    if program is None or not os.access(root + program, os.X_OK):
        problems.append("the unit's ExecStart runs %r, which the package does not hold" % program)
        return
    # The package's program and unit under a real systemd; the sample server as the game.
    folder = os.path.join(work, "programs")
    os.makedirs(folder)
    shutil.copy(root + program, os.path.join(folder, "tallowmere-service"))
    shutil.copy(os.path.join(root, "usr/bin/tallowmere-console"), folder)
    tool_folder = tools(tool_folder, "package-linux", ["sample-server"], problems)
    if tool_folder is None:
        return
    shutil.copy(os.path.join(tool_folder, "sample-server"), folder)
    run_driver(("systemd", "run_systemd.py"),
               ["--build", folder, "--unit", unit,
                "--sysusers", os.path.join(root, "usr/lib/sysusers.d/tallowmere.conf"),
                "--scenario", SYSTEMD_SCENARIO, "--scenario", SYSTEMD_CONSOLE_SCENARIO],
               work, "the package's program and unit under systemd", problems)


def check_tar(path, version, work, problems, tool_folder):
    top = "tallowmere-service-%s-linux-x64" % version
    with tarfile.open(path) as tar:
        members = {m.name: m for m in tar.getmembers()}
        for name, mode in TAR_FILES.items():
            member = members.get(top + "/" + name)
            if member is None or not member.isfile():
                problems.append("the tarball lacks %s/%s" % (top, name))
            elif member.mode != mode or member.uid != 0:
                problems.append("%s has mode %o, owner %d" % (name, member.mode, member.uid))
        if problems:
            return
        tar.extractall(work)
    program = os.path.join(work, top, "tallowmere-service")
    for name in ("tallowmere-service", "tallowmere-console"):
        _c, headers = run(["readelf", "--program-headers", "--dynamic",
                           os.path.join(work, top, name)], os.path.join(work, "readelf.txt"))
        if "INTERP" in headers or "(NEEDED)" in headers:
            problems.append("the tarball's %s is not linked statically" % name)
    if problems:
        return
    tool_folder = tools(tool_folder, "package-static", ["sample-server"], problems)
    if tool_folder is None:
        return
    run_driver(("container", "run_podman.py"), ["--build", tool_folder, "--program", program,
                                                 "--scenario", PODMAN_ROW],
               work, "the tarball's program in a container under Podman", problems)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dist", default=os.path.join(ROOT, "dist"))
    parser.add_argument("--windows-tools", default=os.path.join(ROOT, "build", "package-windows"),
                        help="folder with sample-server.exe and svcctl.exe")
    parser.add_argument("--linux-tools", default=os.path.join(ROOT, "build", "package-linux"),
                        help="folder with sample-server")
    parser.add_argument("--static-tools", default=os.path.join(ROOT, "build", "package-static"),
                        help="folder with a statically linked sample-server")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = parser.parse_args()
    version = project_version()
    artifacts = {
        "zip": os.path.join(args.dist, "tallowmere-service-%s-windows-x64.zip" % version),
        "deb": os.path.join(args.dist, "tallowmere-service_%s_amd64.deb" % version),
        "tar": os.path.join(args.dist, "tallowmere-service-%s-linux-x64.tar.gz" % version),
    }
    work = tempfile.mkdtemp(prefix="tallowmere-artifacts-")
    failed = []
    try:
        for kind, check, tool_folder in (("zip", check_zip, os.path.abspath(args.windows_tools)),
                                         ("deb", check_deb, os.path.abspath(args.linux_tools)),
                                         ("tar", check_tar, os.path.abspath(args.static_tools))):
            start = time.monotonic()
            problems = []
            folder = os.path.join(work, kind)
            os.makedirs(folder)
            if not os.path.isfile(artifacts[kind]):
                problems.append("%s is missing: run scripts/package" % artifacts[kind])
            else:
                print("%s:" % os.path.basename(artifacts[kind]))
                check(artifacts[kind], version, folder, problems, tool_folder)
            took = time.monotonic() - start
            if problems:
                failed.append(kind)
                print("FAIL %s (%.1f s)\n  %s" % (kind, took, "\n  ".join(problems)))
            else:
                print("PASS %s (%.1f s)" % (kind, took))
    finally:
        if args.keep:
            print("folder kept: %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
