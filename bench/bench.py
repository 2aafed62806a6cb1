#!/usr/bin/env python3
"""Measures the native launcher beside two supervisors a Linux user would
otherwise pick, runit's runsv and supervisord, each supervising the same
sleeping kernel (bench/sleeping_kernel.c). Prints a table and saves it, with the date
and the machine, in bench/RESULTS.md. Asserts nothing.

    bench/run        (builds what is needed, then runs this)
"""

import datetime
import hashlib
import json
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "native")
LAUNCHER = os.path.join(BUILD, "launcher")
KERNEL = os.path.join(BUILD, "bench", "sleeping_kernel")
TEST_KERNEL = os.path.join(BUILD, "tests", "test_kernel")
EXEC_STAMP = os.path.join(BUILD, "bench", "exec_stamp")
WINDOWS_EXE = os.path.join(ROOT, "build", "windows", "launcher.exe")
RUNSV = shutil.which("runsv") or "/usr/bin/runsv"
SUPERVISORD = shutil.which("supervisord") or "/usr/bin/supervisord"

QUIET_SECONDS = 60
LATENCY_RUNS = 20


# ---- The three supervisors, each in a directory of its own ----

class Supervised:
    """One supervisor and its kernel in a fresh directory."""

    def __init__(self, name, scenario=None):
        self.name = name
        self.dir = tempfile.mkdtemp(prefix=f"bench-{name}-")
        self.kernel = KERNEL
        if scenario:  # the test kernel, for what it has to do
            self.kernel = TEST_KERNEL
            with open(os.path.join(self.dir, "kernel-scenario.txt"), "w") as file:
                file.write(scenario + "\n")
        self.argv = []
        getattr(self, "_prepare_" + name)()
        self.process = None

    def _prepare_launcher(self):
        shutil.copy2(LAUNCHER, os.path.join(self.dir, "launcher"))
        shutil.copy2(self.kernel, os.path.join(self.dir, "kernel.bin"))
        open(os.path.join(self.dir, "zlib1.dll"), "wb").close()
        self.argv = [os.path.join(self.dir, "launcher")]

    def _prepare_runsv(self):
        # The service's run file is the kernel itself: no shell in between.
        shutil.copy2(self.kernel, os.path.join(self.dir, "run"))
        self.argv = [RUNSV, self.dir]

    def _prepare_calibration(self):
        # Not a supervisor: the sleeping kernel itself, woken as often as the
        # launcher is (twice in each pass of six seconds).
        self.argv = [self.kernel, "3000"]

    def _prepare_supervisord(self):
        shutil.copy2(self.kernel, os.path.join(self.dir, "kernel.bin"))
        config = os.path.join(self.dir, "supervisord.conf")
        with open(config, "w") as file:
            file.write(f"""[supervisord]
nodaemon=true
logfile={self.dir}/supervisord.log
pidfile={self.dir}/supervisord.pid
childlogdir={self.dir}

[program:kernel]
command={self.dir}/kernel.bin
directory={self.dir}
autostart=true
autorestart=true
startsecs=0
""")
        self.argv = [SUPERVISORD, "-n", "-c", config]

    def start(self, stamp=None):
        # As on a server without a desktop: no browser opener on PATH (the
        # launcher would start one just after the kernel, competing for the
        # CPU with the kernel's start). Every program here is given by path.
        env = {"PATH": self.dir, "XDG_RUNTIME_DIR": self.dir, "HOME": self.dir}
        argv = [EXEC_STAMP, stamp] + self.argv if stamp else self.argv
        self.process = subprocess.Popen(argv, cwd=self.dir, env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        start_new_session=True)
        return self

    def kernel_starts(self):
        path = os.path.join(self.dir, "kernel.log")
        if not os.path.exists(path):
            return []
        with open(path) as log:
            return [json.loads(line) for line in log if line.strip()]

    def wait_for_kernel(self, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            starts = self.kernel_starts()
            if starts:
                return starts[0]
            if self.process.poll() is not None:
                raise RuntimeError(f"{self.name} ended with {self.process.returncode}")
            time.sleep(0.002)
        raise RuntimeError(f"{self.name}: the kernel did not start")

    def stop(self):
        if self.process and self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        for start in self.kernel_starts():
            try:
                os.kill(start["pid"], signal.SIGKILL)
            except ProcessLookupError:
                pass
        shutil.rmtree(self.dir, ignore_errors=True)


# ---- What is read of a running supervisor ----

def read_proc(pid, name):
    with open(f"/proc/{pid}/{name}") as file:
        return file.read()


def memory_kib(pid):
    status = read_proc(pid, "status")
    rss = int(next(line.split()[1] for line in status.splitlines() if line.startswith("VmRSS")))
    try:
        rollup = read_proc(pid, "smaps_rollup")
        pss = int(next(line.split()[1] for line in rollup.splitlines() if line.startswith("Pss:")))
    except (OSError, StopIteration):
        pss = None
    return rss, pss


def cpu_ns(pid):
    return int(read_proc(pid, "schedstat").split()[0])


def switches(pid):
    status = read_proc(pid, "status")
    return sum(int(line.split()[1]) for line in status.splitlines()
               if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")))


def quiet_supervision(names):
    """Memory, and CPU time and wake-ups over QUIET_SECONDS, of each
    supervisor while its kernel sleeps."""
    runs = [Supervised(name).start() for name in names]
    try:
        for run in runs:
            run.wait_for_kernel()
        time.sleep(3)  # settled
        before = {run.name: (cpu_ns(run.process.pid), switches(run.process.pid)) for run in runs}
        time.sleep(QUIET_SECONDS)
        results = {}
        for run in runs:
            pid = run.process.pid
            cpu0, switches0 = before[run.name]
            rss, pss = memory_kib(pid)
            results[run.name] = {
                "rss": rss, "pss": pss,
                "cpu_us": (cpu_ns(pid) - cpu0) / 1000 * 60 / QUIET_SECONDS,
                "wakeups": (switches(pid) - switches0) * 60 / QUIET_SECONDS,
            }
        return results
    finally:
        for run in runs:
            run.stop()


def startup_latency_ms(name):
    """Median time from the supervisor's exec to the kernel's start."""
    samples = []
    for _ in range(LATENCY_RUNS):
        run = Supervised(name)
        stamp = os.path.join(run.dir, "exec.stamp")
        try:
            run.start(stamp)
            began = run.wait_for_kernel()["mono_ns"]
            with open(stamp) as file:
                samples.append((began - int(file.read())) / 1e6)
        finally:
            run.stop()
    return statistics.median(samples)


def watch_timings():
    """The launcher alone: a kernel leaves a restart tag and keeps running.
    Gives the length of a watch pass and how long after the tag's time the
    force quit came."""
    run = Supervised("launcher", "create restart.do; run")
    started = time.time()
    run.start()
    try:
        tag = os.path.join(run.dir, "restart.do")
        deadline = time.monotonic() + 30
        while not os.path.exists(tag) and time.monotonic() < deadline:
            time.sleep(0.01)
        tagged = os.stat(tag).st_mtime_ns // 10**9
        for raw in run.process.stdout:
            if raw.startswith(b"sig timeout"):
                forced = time.time()
                break
        passes = round((forced - started) / 6.0)
        return {"pass_ms": (forced - started) / passes * 1000, "force_quit_s": forced - tagged}
    finally:
        run.stop()


# ---- The table ----

def ratio(launcher, peer):
    return f"{launcher / peer:.3f}" if launcher is not None and peer else "n/a"


def number(value, digits=0):
    return "n/a" if value is None else f"{value:,.{digits}f}"


def table(quiet, latency, timings):
    peers = ["runsv", "supervisord"]
    rows = [
        ("RSS (KiB)", "rss", 0),
        ("PSS (KiB)", "pss", 0),
        ("CPU per minute of quiet supervision (µs)", "cpu_us", 0),
        ("wake-ups per minute", "wakeups", 1),
    ]
    lines = ["| measure | launcher | runsv | supervisord | launcher/runsv | launcher/supervisord |",
             "|---|---:|---:|---:|---:|---:|"]
    for title, key, digits in rows:
        values = [quiet[name][key] for name in ["launcher"] + peers]
        lines.append(f"| {title} | " + " | ".join(number(v, digits) for v in values) + " | "
                     + " | ".join(ratio(values[0], v) for v in values[1:]) + " |")
    values = [latency[name] for name in ["launcher"] + peers]
    lines.append(f"| start-up latency, exec to kernel, median of {LATENCY_RUNS} (ms) | "
                 + " | ".join(number(v, 3) for v in values) + " | "
                 + " | ".join(ratio(values[0], v) for v in values[1:]) + " |")
    size, digest = None, "n/a"
    if os.path.exists(WINDOWS_EXE):
        with open(WINDOWS_EXE, "rb") as exe:
            content = exe.read()
        size, digest = len(content), hashlib.sha256(content).hexdigest()
    lines += [
        "",
        "| launcher alone | measured | target |",
        "|---|---:|---:|",
        f"| Windows executable, stripped (bytes) | {number(size)} | ≤ 65,536 |",
        f"| its SHA-256 (the same for every build of this commit) | `{digest}` | |",
        f"| watch pass (ms) | {number(timings['pass_ms'], 1)} | about 6,000 |",
        f"| force quit after the tag's time (s) | {number(timings['force_quit_s'], 2)} | 31 to 37 |",
        f"| CPU per minute of quiet supervision (µs) | {number(quiet['launcher']['cpu_us'])} "
        "| ≤ 1,000 |",
        f"| the same for a C program that only sleeps, woken as often "
        f"({number(quiet['calibration']['wakeups'], 1)} times a minute) "
        f"| {number(quiet['calibration']['cpu_us'])} | (this machine's floor) |",
        f"| start-up latency (ms) | {number(latency['launcher'], 3)} | ≤ 5 |",
    ]
    return "\n".join(lines)


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as info:
            cpu = next(line.split(":", 1)[1].strip() for line in info
                       if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{platform.node()}, {cpu}, {os.cpu_count()} CPUs, Linux {platform.release()}"


def versions():
    runit = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "runit"], capture_output=True,
                           text=True).stdout or "?"
    supervisor = subprocess.run([SUPERVISORD, "--version"], capture_output=True,
                                text=True).stdout.strip() or "?"
    return f"runit {runit}, supervisord {supervisor}"


def main():
    for path in (LAUNCHER, KERNEL, TEST_KERNEL, EXEC_STAMP, RUNSV, SUPERVISORD):
        if not os.path.exists(path):
            sys.exit(f"{path} is missing: run bench/run")
    print(f"quiet supervision for {QUIET_SECONDS} s, the watch timings meanwhile...")
    timings = {}
    worker = threading.Thread(target=lambda: timings.update(watch_timings()))
    worker.start()
    quiet = quiet_supervision(["launcher", "runsv", "supervisord", "calibration"])
    worker.join()
    print(f"start-up latency, {LATENCY_RUNS} runs each...")
    latency = {name: startup_latency_ms(name) for name in ["launcher", "runsv", "supervisord"]}

    result = table(quiet, latency, timings)
    print(result)
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    with open(os.path.join(ROOT, "bench", "RESULTS.md"), "w") as file:
        file.write(f"# Benchmark results\n\n{stamp}; {machine()}; {versions()}.\n"
                   f"Printed by `bench/run`; each supervisor watches the same sleeping kernel "
                   f"(`bench/sleeping_kernel.c`), with no browser opener on PATH.\n\n"
                   f"{result}\n")


if __name__ == "__main__":
    main()
