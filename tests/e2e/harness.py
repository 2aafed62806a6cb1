"""Runs the built launcher for real, natively or under wine, in a fresh
installation directory with the test kernel as "kernel.bin"."""

import errno
import json
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time

MAIN_PAGE = "http://127.0.0.1:9080/drav?t=main"
WINE32_LOADER = "/usr/lib/wine/wine"


class Target:
    """Where the launcher comes from and how it is run."""

    def __init__(self, name, build_root, windows_dirs, valgrind=False,
                 windows_demo_dirs=(None, None), desktop=False):
        self.name = name
        self.build_root = build_root = os.path.abspath(build_root)
        if name == "native":
            self.label = "native"
            self.launcher = os.path.join(build_root, "launcher")
            self.kernel = os.path.join(build_root, "tests", "test_kernel")
            self.demo_kernel = os.path.join(build_root, "demo", "demo_kernel")
            self.zlib = None  # an empty file will do
            self.command = []
            self.env = {}
            if valgrind:
                # memcheck replaces malloc, which only a dynamic build lets it.
                dynamic = os.path.join(build_root, "launcher_dynamic")
                if os.path.exists(dynamic):
                    self.launcher = dynamic
                self.command = ["valgrind", "-q", "--error-exitcode=99", "--leak-check=full",
                                "--errors-for-leak-kinds=definite,indirect",
                                "--child-silent-after-fork=yes", "--trace-children=no"]
            return
        # The shipped executable is 32-bit. A host whose kernel cannot run
        # 32-bit code (no IA-32 emulation) runs its 64-bit twin in a 64-bit
        # wine instead, even where an emulator runs 32-bit programs: many
        # times slower, it serves only the smoke test of the shipped
        # executable, the target "windows32".
        windows32, windows64 = (os.path.abspath(d) if d else d for d in windows_dirs)
        demo32, demo64 = (os.path.abspath(d) if d else "" for d in windows_demo_dirs)
        self.emulator = i386_emulator()
        if name == "windows32" or (self.emulator is None and can_run_32bit()):
            build, demo, loader, arch = windows32, demo32, shutil.which("wine") or "wine", "i686"
            how = f", through emulation ({self.emulator})" if self.emulator else ""
            self.label = f"windows (the 32-bit executable{how})"
        else:
            build, demo, loader, arch = windows64, demo64, "/usr/lib/wine/wine64", "x86_64"
            why = ("32-bit wine is not installed" if not wine32_installed()
                   else "32-bit code runs only through emulation here" if self.emulator
                   else "this host cannot run 32-bit code")
            self.label = f"windows (the 64-bit twin: {why})"
        self.name = "windows"
        self.arch = arch
        self.launcher = os.path.join(build, "launcher.exe")
        self.kernel = os.path.join(build, "tests", "test_kernel.exe")
        self.demo_kernel = os.path.join(demo, "demo", "demo_kernel.exe")
        # wine's own user32 loads zlib1.dll, the application's directory
        # first: it has to be a real one.
        self.zlib = f"/usr/{arch}-w64-mingw32/lib/zlib1.dll"
        self.command = [loader]
        # The harness's own wine commands (wineboot, taskkill): 64-bit where
        # 32-bit programs would run emulated.
        self.helper = ["/usr/lib/wine/wine64"] if self.emulator else self.command
        self.env = wine_environment(build_root, desktop, own_prefix=name == "windows32")
        self.env["WINELOADER"] = loader

    @property
    def windows(self):
        return self.name == "windows"

    def tool(self, name):
        """A program of the tests, built beside the test kernel."""
        return os.path.join(os.path.dirname(self.kernel), name)

    def check_built(self):
        for path in (self.launcher, self.kernel):
            if not os.path.exists(path):
                raise AssertionError(f"{path} is missing: build its preset first")


def i386_emulator():
    """The binfmt_misc entry through which 32-bit x86 programs run, if one is
    enabled (the magic of an ELF file of class 32 for machine 3): it takes
    them over, whatever the kernel could do itself."""
    root = "/proc/sys/fs/binfmt_misc"
    try:
        names = sorted(os.listdir(root))
    except OSError:
        return None
    for name in names:
        try:
            with open(os.path.join(root, name)) as entry:
                lines = entry.read().splitlines()
        except OSError:
            continue
        magic = next((line.split()[1] for line in lines if line.startswith("magic ")), "")
        if "enabled" in lines and magic.startswith("7f454c4601") and magic[36:40] == "0300":
            return name
    return None


def wine32_installed():
    """Whether 32-bit wine is there: a registry that cannot serve it leaves
    only the 64-bit one."""
    return os.path.exists(WINE32_LOADER)


def can_run_32bit():
    try:
        subprocess.run([WINE32_LOADER, "--version"], capture_output=True, timeout=30)
        return True
    except OSError as error:
        if error.errno in (errno.ENOEXEC, errno.ENOENT):
            return False
        raise


def pool_prefix(index):
    """The name of a prefix of the pool: "wineprefix", then its copies."""
    return "wineprefix" if index == 0 else f"wineprefix-{index}"


def given_prefix():
    """The prefix of the pool that ctest gave this case, as its resource
    group "wineprefix" ("id:N,slots:1"); the first one where none is given,
    as for a case run by hand."""
    for group in range(int(os.environ.get("CTEST_RESOURCE_GROUP_COUNT", "0"))):
        if os.environ.get(f"CTEST_RESOURCE_GROUP_{group}") == "wineprefix":
            slot = os.environ[f"CTEST_RESOURCE_GROUP_{group}_WINEPREFIX"]
            return int(slot.split(",")[0].split(":")[1])
    return 0


def wine_environment(build_root, desktop=False, own_prefix=False, index=None):
    """Cases on a desktop have a prefix of their own: wine ties a prefix's
    desktop process to the display it first saw. So has the shipped 32-bit
    executable where it runs through emulation. Every other case runs in a
    prefix of the pool, each with a wineserver, and so named mutexes, of its
    own: cases in different prefixes run side by side."""
    prefix = ("wineprefix-desktop" if desktop else "wineprefix-32bit" if own_prefix
              else pool_prefix(given_prefix() if index is None else index))
    return {
        "WINEPREFIX": os.path.join(build_root, prefix),
        "WINEDEBUG": "-all",
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
        "WINEARCH": "win64",
        "DISPLAY": "",
    }


class Desktop:
    """A virtual display of the case's own, with wine's processes of the
    desktop prefix ended when it closes."""

    def __init__(self, target):
        self.target = target
        read, write = os.pipe()
        # -displayfd: the server takes the first free display and names it.
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(write)
        with os.fdopen(read) as named:
            number = named.readline().strip()
        if not number:
            raise AssertionError("Xvfb did not start")
        target.env["DISPLAY"] = ":" + number

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.target.env["DISPLAY"], "-window", "root",
                        "-trim", "+repage", path], check=True, timeout=60)

    def close(self):
        # A desktop keeps a process running in the prefix: end them all.
        env = dict(os.environ, **self.target.env)
        subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=env, capture_output=True)
        self.server.terminate()
        self.server.wait(10)


class Run:
    """A launcher process whose output lines are read as they come."""

    def __init__(self, argv, cwd, env, windows, user=None):
        self.windows = windows
        as_user = {}
        if user:  # (user id, most processes): prlimit sets the limit, then runs it
            uid, processes = user
            argv = ["prlimit", f"--nproc={processes}", "--"] + argv
            as_user = dict(user=uid, group=uid, extra_groups=[])
        self.process = subprocess.Popen(
            argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, start_new_session=True, **as_user)
        self.lines = []  # (wall-clock time it was read, line as read)
        self.stderr = b""
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self._error_reader = threading.Thread(target=self._read_errors, daemon=True)
        self._error_reader.start()

    def _read(self):
        for raw in self.process.stdout:
            line = raw.decode("utf-8", "replace")
            self.lines.append((time.time(), line))

    def _read_errors(self):
        self.stderr = self.process.stderr.read()

    def wait(self, timeout):
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"still running after {timeout} s; output: {self.output()!r}")
        self._reader.join(10)
        self._error_reader.join(10)
        return code

    def wait_for_lines(self, prefix, count, timeout):
        """The first count lines that begin with prefix, as (time read, line)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = [(at, line.rstrip("\r\n")) for at, line in list(self.lines)
                     if line.startswith(prefix)]
            if len(found) >= count:
                return found[:count]
            if self.process.poll() is not None and not self._reader.is_alive():
                break
            time.sleep(0.05)
        raise AssertionError(f"fewer than {count} lines {prefix!r} within {timeout} s; "
                             f"output: {self.output()!r}")

    def wait_for_line(self, text, timeout):
        """Gives the wall-clock time the line was read at."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for at, line in self.lines:
                if line.rstrip("\r\n") == text:
                    return at
            if self.process.poll() is not None and not self._reader.is_alive():
                break
            time.sleep(0.05)
        raise AssertionError(f"no line {text!r} within {timeout} s; output: {self.output()!r}")

    def output(self):
        """The output as lines, each ending in "\\n" (CRLF read as one)."""
        return [line.rstrip("\r\n") + "\n" for _, line in self.lines]

    def raw_output(self):
        return "".join(line for _, line in self.lines)

    def stop(self):
        if self.process.poll() is None:
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.process.wait(10)


class Installation:
    """A temporary installation directory: launcher, kernel, prerequisite,
    update directory, and a recording xdg-open first on PATH."""

    def __init__(self, target, name):
        target.check_built()
        self.target = target
        root = os.path.join(target.build_root, "e2e")
        os.makedirs(root, exist_ok=True)
        self.dir = tempfile.mkdtemp(prefix=f"{target.name}-{name}-", dir=root)
        self.launcher_name = os.path.basename(target.launcher)
        shutil.copy2(target.launcher, self.path(self.launcher_name))
        shutil.copy2(target.kernel, self.path("kernel.bin"))
        if target.zlib:
            shutil.copy2(target.zlib, self.path("zlib1.dll"))
        else:
            open(self.path("zlib1.dll"), "wb").close()
        os.mkdir(self.path("update"))
        os.mkdir(self.path("bin"))
        recorder = self.path("bin", "xdg-open")
        with open(recorder, "w") as script:
            script.write(f'#!/bin/sh\necho "$@" >> "{self.path("opened.txt")}"\n')
        os.chmod(recorder, 0o755)
        # Where native runs keep their named mutexes, apart from other tests;
        # None leaves the launcher to its own choice.
        self.runtime_dir = self.dir
        # A directory added to the search path (PATH, and WINEPATH under wine).
        self.extra_path = None
        self.user = None  # (user id, most processes): run as that user, who owns it
        self.runs = []

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def exists(self, name):
        return os.path.lexists(self.path(name))

    def scenario(self, *lines):
        """What the kernel does at its 1st, 2nd... start."""
        with open(self.path("kernel-scenario.txt"), "w") as scenario:
            scenario.write("\n".join(lines) + "\n")

    def environment(self):
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        env["PATH"] = self.path("bin") + ":" + env.get("PATH", "/usr/bin:/bin")
        env.pop("XDG_RUNTIME_DIR", None)
        if self.runtime_dir:
            env["XDG_RUNTIME_DIR"] = self.runtime_dir
        env.update(self.target.env)
        if self.extra_path:
            env["PATH"] = self.extra_path + ":" + env["PATH"]
            env["WINEPATH"] = "Z:" + self.extra_path.replace("/", "\\")
        return env

    def start(self, *arguments, cwd=None):
        """The launcher, in the installation, or started from the directory
        cwd by its full path."""
        if cwd:
            program = self.path(self.launcher_name)
        else:
            program = self.launcher_name if self.target.windows else "./" + self.launcher_name
        argv = self.target.command + [program] + list(arguments)
        if self.user:
            subprocess.run(["chown", "-R", f"{self.user[0]}:{self.user[0]}", self.dir], check=True)
        run = Run(argv, cwd or self.dir, self.environment(), self.target.windows, self.user)
        self.runs.append(run)
        return run

    def start_kernel_alone(self):
        """The kernel started by hand, as a leftover from an earlier run."""
        return self.start_program("./kernel.bin" if not self.target.windows else "kernel.bin")

    def start_program(self, *argv):
        """Any program, in the installation, as the launcher is run."""
        run = Run(self.target.command + list(argv), self.dir, self.environment(),
                  self.target.windows)
        self.runs.append(run)
        return run

    def kernel_starts(self):
        if not self.exists("kernel.log"):
            return []
        with open(self.path("kernel.log"), encoding="utf-8", errors="surrogateescape") as log:
            return [json.loads(line) for line in log if line.strip()]

    def wait_for_kernel_starts(self, count, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if len(self.kernel_starts()) >= count:
                return self.kernel_starts()
            time.sleep(0.05)
        raise AssertionError(f"fewer than {count} kernel starts within {timeout} s")

    def wait_for_file(self, name, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.exists(name):
                return
            time.sleep(0.02)
        raise AssertionError(f"{name} did not appear within {timeout} s")

    def opened(self):
        if not self.exists("opened.txt"):
            return []
        with open(self.path("opened.txt")) as opened:
            return opened.read().splitlines()

    def read(self, name):
        with open(self.path(name), "rb") as file:
            return file.read()

    def close(self, keep=False):
        for run in self.runs:
            run.stop()
        self.kill_kernels()
        if not keep:
            shutil.rmtree(self.dir, ignore_errors=True)

    def kill_kernels(self):
        """Kills every kernel that has started here, from outside."""
        if self.target.windows:
            self._kill_windows_kernels()
            return
        for start in self.kernel_starts():
            try:
                os.kill(start["pid"], signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass

    def _kill_windows_kernels(self):
        pids = [str(start["pid"]) for start in self.kernel_starts()]
        if pids:
            argv = self.target.helper + ["taskkill", "/f"]
            for pid in pids:
                argv += ["/pid", pid]
            try:
                subprocess.run(argv, cwd=self.dir, env=self.environment(),
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=60)
            except subprocess.TimeoutExpired:
                print(f"taskkill of kernels {pids} did not finish in 60 s")

