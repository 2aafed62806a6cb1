#!/usr/bin/env python3
"""End-to-end tests of the built launcher, natively and under wine.

    e2e.py run --target native|windows --build-root DIR --windows-dirs DIR32 DIR64
               [--windows-demo-dirs DIR32 DIR64] CASE
    e2e.py run --target native --valgrind --build-root DIR CASE
    e2e.py soak --target native|windows --build-root DIR --windows-dirs DIR32 DIR64 CYCLES
    e2e.py setup-wine --build-root DIR --windows-dirs DIR32 DIR64 [--prefixes N]
    e2e.py cleanup-wine --build-root DIR [--prefixes N]
"""

import argparse
import errno
import fcntl
import http.client
import os
import re
import shutil
import socket
import subprocess
import sys
import termios
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (MAIN_PAGE, Desktop, Installation, Target, can_run_32bit,  # noqa: E402
                     wine32_installed, wine_environment)

CASES = {}
DESKTOP_CASES = set()  # run under wine on a virtual display, in the desktop prefix
DIRECTORY_NAMES = {}  # a case's own part of its installation directory's name

STARTING = "starting kernel...\n"
QUITTING = "deleting quit tag...\n"
ABNORMAL = "kernel relaunched (cause:abnormal quit)\n"
UPDATING = "update file tag found, force updating...\n"
UPDATED = "kernel relaunched!\n"
ROLLED_BACK = "kernel relaunched (cause:update rolled back)\n"
RESTARTED = "kernel relaunched (cause:restart tag found)\n"
KEEPS_FAILING = "new kernel keeps failing, rolling back...\n"
IN_USE = "file in use, trying again...\n"
FORCE_QUIT = "sig timeout, force quit!\n"
NOT_INTO_PLACE = "rollback file cannot be moved into place, rollback skipped.\n"
NOT_STARTED = "kernel not started, trying again in 5 s...\n"


class Skip(Exception):
    """The case cannot run on this host; ctest shows it as skipped."""


SKIPPED = 77


def alive(pid):
    """Whether the process runs (a zombie does not)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def case(fn=None, directory=None, desktop=False):
    def register(fn):
        name = fn.__name__.replace("_", "-")
        CASES[name] = fn
        DIRECTORY_NAMES[name] = directory or name
        if desktop:
            DESKTOP_CASES.add(name)
        return fn
    return register(fn) if fn else register


def expect(actual, expected, what):
    if actual != expected:
        raise AssertionError(f"{what}: expected {expected!r}, got {actual!r}")


def expect_output(run, expected_lines):
    """The launcher's output, byte for byte natively; line for line under
    wine, whose runtime ends each line with CRLF."""
    if run.windows:
        expect(run.output(), expected_lines, "output lines")
    else:
        expect(run.raw_output(), "".join(expected_lines), "output")


# ---- Launch settings and the first launch ----

@case
def settings(target, inst):
    shapes = [
        (["-debug"], "kernel.bin -debug", ["kernel.bin", "-debug"]),
        (["two words"], "kernel.bin two words", ["kernel.bin", "two", "words"]),
        (["-debug", "x"], "kernel.bin", ["kernel.bin"]),
        ([""], "kernel.bin ", ["kernel.bin"]),
        (["*"], "kernel.bin *", ["kernel.bin", "*"]),  # no wildcard expansion
    ]
    for arguments, command_line, argv in shapes:
        if inst.exists("kernel.log"):
            os.remove(inst.path("kernel.log"))
        inst.scenario("create quit.do; exit 0")
        run = inst.start(*arguments)
        expect(run.wait(30), 0, f"exit code for {arguments}")
        expect_output(run, [STARTING, QUITTING])
        start = inst.kernel_starts()[0]
        expect(start["argv"], argv, f"kernel arguments for {arguments}")
        if target.windows:
            expect(start["cmdline"], command_line, f"kernel command line for {arguments}")
    expect(inst.opened(), [MAIN_PAGE] * len(shapes), "main pages opened")


@case
def missing_kernel(target, inst):
    os.remove(inst.path("kernel.bin"))
    run = inst.start("-debug")
    expect(run.wait(30), 255, "exit code")
    expect_output(run, [STARTING, "CreateProcess failed (2)\n"])
    expect(inst.opened(), [], "main pages opened")
    expect("] notice: 无法启动NX8内核, 请重新安装NX8.\n" in record_of(target, inst), True,
           "the notice on record, in UTF-8")
    if not target.windows:
        expect("警告: 无法启动NX8内核, 请重新安装NX8.\n" in run.stderr.decode(), True, "notice")


@case
def argument_too_long(target, inst):
    run = inst.start("a" * 249)
    expect(run.wait(30), 255, "exit code")
    expect_output(run, ["argument too long (max 248 bytes)\n"])
    expect(inst.kernel_starts(), [], "kernel starts")


# ---- Tags and the supervision cycle ----

@case
def quit_tag(target, inst):
    inst.scenario("create quit.do; exit 0")
    run = inst.start()
    expect(run.wait(30), 0, "exit code")
    expect_output(run, [STARTING, QUITTING])
    expect(len(inst.kernel_starts()), 1, "kernel starts")
    expect(inst.exists("quit.do"), False, "quit tag left")
    # The quit comes at the first pass after the kernel ended. Timed from the
    # launcher's first line, so that wine's own start-up under load is not counted.
    elapsed = time.time() - run.lines[0][0]
    if elapsed > 20:
        raise AssertionError(f"quit took {elapsed:.1f} s after the first line")


@case
def restart_then_quit(target, inst):
    inst.scenario("create restart.do; exit 0", "create quit.do; exit 0")
    run = inst.start()
    expect(run.wait(60), 0, "exit code")
    expect_output(run, [STARTING, "kernel relaunched (cause:restart tag found)\n", QUITTING])
    expect(len(inst.kernel_starts()), 2, "kernel starts")
    expect(inst.exists("restart.do"), False, "restart tag left")


@case
def abnormal_then_quit(target, inst):
    inst.scenario("exit 3", "create quit.do; exit 0")
    run = inst.start()
    expect(run.wait(60), 0, "exit code")
    expect_output(run, [STARTING, ABNORMAL, QUITTING])
    expect(len(inst.kernel_starts()), 2, "kernel starts")


@case
def update(target, inst):
    original = inst.read("kernel.bin")
    inst.scenario("place-update v2; create update.do; exit 0", "sleep 500; create quit.do; exit 0")
    run = inst.start()
    expect(run.wait(60), 0, "exit code")
    expect_output(run, [STARTING, UPDATING, UPDATED, QUITTING])
    expect([start["marker"] for start in inst.kernel_starts()], ["", "v2"], "kernel markers")
    expect(inst.read("update/ROLLBACK.BIN") == original, True, "old kernel kept for a rollback")
    expect(inst.read("kernel.bin").endswith(b"KERNEL-MARKER:v2\n"), True, "new kernel in place")
    expect(inst.exists("update/_UPDATE.NEW"), False, "new file left")
    expect(inst.exists("update/ON_TRIAL"), False, "trial mark left after the new kernel passed")


@case
def successive_updates(target, inst):
    """A read-only kernel, as an installer leaves it. v2 asks for v3 while on
    trial, so v1 stays kept; v3 passes its trial by a restart, so the next
    update replaces the read-only kept kernel with it."""
    os.chmod(inst.path("kernel.bin"), 0o555)
    inst.scenario("place-update v2; create update.do; exit 0",
                  "delete update.do; place-update v3; create update.do; exit 0",
                  "delete update.do; create restart.do; exit 0",
                  "place-update v4; create update.do; exit 0",
                  "delete update.do; sleep 500; create quit.do; exit 0")
    run = inst.start()
    expect(run.wait(60), 0, "exit code")
    expect_output(run, [STARTING] + [UPDATING, UPDATED] * 2 + [RESTARTED] + [UPDATING, UPDATED]
                  + [QUITTING])
    expect([start["marker"] for start in inst.kernel_starts()], ["", "v2", "v3", "v3", "v4"],
           "kernel markers")
    for name, marker in (("update/FAILED.BIN", "v2"), ("update/ROLLBACK.BIN", "v3"),
                         ("kernel.bin", "v4")):
        expect(inst.read(name).endswith(f"KERNEL-MARKER:{marker}\n".encode()), True, name)


def record_of(target, inst):
    """The record, UTF-8: on Windows after its byte order mark, for Notepad."""
    record = inst.read("launcher.log")
    expect(record.startswith(b"\xef\xbb\xbf"), target.windows, "a byte order mark")
    return record.decode("utf-8-sig")


def not_a_program_error(target):
    """ERROR_BAD_EXE_FORMAT on Windows, EACCES (not executable) natively."""
    return 193 if target.windows else 13


@case
def launcher_killed_during_trial(target, inst):
    """The launcher ends during the trial of a new kernel that deletes
    "update.do" and keeps failing: the next one takes the trial up, by its mark."""
    original = inst.read("kernel.bin")
    failing = "delete update.do; exit 1"
    inst.scenario("place-update v2; create update.do; exit 0", failing, "delete update.do; run",
                  failing, failing, failing, "sleep 500; create quit.do; exit 0")
    first = inst.start()
    first.wait_for_line(ABNORMAL.rstrip("\n"), 60)
    inst.wait_for_kernel_starts(3, 30)
    first.stop()
    inst.kill_kernels()
    expect_output(first, [STARTING, UPDATING, UPDATED, ABNORMAL])
    expect(inst.exists("update/ON_TRIAL"), True, "the trial's mark, after the launcher died")
    run = inst.start()
    expect(run.wait(90), 0, "exit code")
    expect_output(run, [STARTING, "update not confirmed, new kernel on trial.\n", ABNORMAL,
                        ABNORMAL, KEEPS_FAILING, ROLLED_BACK, QUITTING])
    expect([start["marker"] for start in inst.kernel_starts()],
           ["", "v2", "v2", "v2", "v2", "v2", ""], "kernel markers")
    expect(inst.read("kernel.bin") == original, True, "previous kernel back in place")
    expect(inst.exists("update/ON_TRIAL"), False, "the trial's mark, after the rollback")


def hold(target, inst, name, timeout=30, viewer=False):
    """Holds a file as a scanner does, as soon as no program runs from it:
    under wine with no sharing (a viewer: all but deleting), natively open
    for writing. Gives what lets it go."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if target.windows:
            holder = inst.start_program(target.tool("file_holder.exe"),
                                        name.replace("/", "\\"), "held",
                                        *(["viewer"] if viewer else []))
            while holder.process.poll() is None and not inst.exists("held"):
                time.sleep(0.05)
            if inst.exists("held"):
                return holder.stop
        else:
            try:
                held = open(inst.path(name), "ab")
                open(inst.path("held"), "w").close()
                return held.close
            except OSError as error:
                if error.errno != errno.ETXTBSY:
                    raise
        time.sleep(0.05)
    raise AssertionError(f"{name} could not be held within {timeout} s")


def hold_until(target, inst, run, name, line, timeout):
    """Holds a file until the launcher writes this line, then lets it go."""
    release = hold(target, inst, name)
    run.wait_for_line(line.rstrip("\n"), timeout)
    release()


@case
def record_held_by_a_viewer(target, inst):
    """A viewer follows the full record (Windows): it cannot become
    launcher.log.1, so it starts over, and the run's lines are kept."""
    with open(inst.path("launcher.log"), "wb") as record:
        record.write(b"x" * (256 * 1024 - 10))
    inst.scenario("create restart.do; exit 0", "sleep 500; create quit.do; exit 0")
    hold(target, inst, "launcher.log", viewer=True)  # until the case ends
    run = inst.start()
    expect(run.wait(60), 0, "exit code")
    expect_output(run, [STARTING, RESTARTED, QUITTING])
    lines = record_of(target, inst).splitlines()  # starting, 2 kernels, relaunched, quitting
    expect((len(lines), lines[0].endswith(STARTING.strip()), inst.exists("launcher.log.1")),
           (7, True, False), "the record: the run's lines only")


@case
def process_limit(target, inst):
    """At the user's process limit, launcher and kernel (natively): an ended
    kernel's slot is free for the next, after a restart or an abnormal quit."""
    if os.getuid() != 0:
        raise Skip("running as another user, with a limit of its own, needs root")
    inst.scenario("create restart.do; exit 0", "exit 1", "sleep 500; create quit.do; exit 0")
    inst.user = (65534, 2)  # nobody, who has no other process
    run = inst.start()
    expect(run.wait(60), 0, "exit code")
    expect_output(run, [STARTING, RESTARTED, ABNORMAL, QUITTING])


@case
def proven_kernel_held_past_the_minute(target, inst):
    """Held past the minute as it is relaunched, a proven kernel is never
    rolled back nor reported: tried again until it is let go."""
    shutil.copy2(target.kernel, inst.path("update", "ROLLBACK.BIN"))
    inst.scenario("create ending; exit 1", "sleep 500; create quit.do; exit 0")
    run = inst.start()
    inst.wait_for_file("ending", 30)
    hold_until(target, inst, run, "kernel.bin", NOT_STARTED, 150)
    expect(run.wait(60), 0, "exit code")
    held = 32 if target.windows else errno.ETXTBSY
    expect_output(run, [STARTING, IN_USE, f"CreateProcess failed ({held})\n", NOT_STARTED, ABNORMAL,
                        QUITTING])
    expect(len(inst.kernel_starts()), 2, "kernel starts")
    expect(inst.exists("update/ROLLBACK.BIN"), True, "the kept kernel, still kept")


@case
def start_keeps_failing(target, inst):
    """The kernel file held for good, as by a scanner that never lets go: the
    start is tried again for two minutes, then the user is told to try
    later, and the proven kernel stays where it is."""
    shutil.copy2(target.kernel, inst.path("update", "ROLLBACK.BIN"))
    original = inst.read("kernel.bin")
    release = hold(target, inst, "kernel.bin")
    try:
        run = inst.start()
        expect(run.wait(240), 255, "exit code")
    finally:
        release()
    held = f"CreateProcess failed ({32 if target.windows else errno.ETXTBSY})\n"
    expect_output(run, [STARTING, IN_USE, held, NOT_STARTED, IN_USE, held])
    # Timed from the launcher's first line, the bound not cut short.
    told = run.lines[-1][0] - run.lines[0][0]
    if told < 115:
        raise AssertionError(f"the user was told after {told:.1f} s, before the two minutes")
    expect(inst.kernel_starts(), [], "kernel starts")
    expect(inst.read("kernel.bin") == original, True, "the proven kernel in place")
    expect(sorted(os.listdir(inst.path("update"))), ["ROLLBACK.BIN"], "update directory")
    if not target.windows:
        expect("警告: 暂时无法启动NX8内核, 请稍后重试.\n" in run.stderr.decode(), True, "notice")


@case
def started_from_another_directory(target, inst):
    """As from a Run key, a scheduled task or a shortcut with an empty "Start
    in": the installation beside the executable is the one that runs, also
    where the directory started from holds a zlib1.dll of its own, as
    Windows' system directory does, whatever characters the installation's
    name holds (under wine Chinese ones, which its ANSI code page, 1252, has
    not; natively bytes that are no UTF-8), and a swap cut short there
    recovers as in place."""
    odd_name = "安装32" if target.windows else os.fsdecode(b"\xb0\xb2\xd7\xb032")
    rolling_back = [STARTING, "CreateProcess failed (2)\n",
                    "new kernel failed to start, rolling back...\n", QUITTING]
    rows = (  # started in, with a zlib1.dll of its own, installation's name, swap cut short
        ("elsewhere", False, None, False),
        ("system", True, None, False),
        ("system", True, odd_name, False),
        ("system", True, odd_name, True),
    )
    inst.scenario(*["create quit.do; exit 0"] * len(rows))
    for name, own_zlib, installation, cut_short in rows:
        if installation and not inst.dir.endswith(installation):
            renamed = f"{inst.dir}-{installation}"
            os.rename(inst.dir, renamed)
            inst.dir = renamed
        if cut_short:
            shutil.move(inst.path("kernel.bin"), inst.path("update", "ROLLBACK.BIN"))
            open(inst.path("update", "ON_TRIAL"), "wb").close()
        directory = inst.path(name)
        os.makedirs(directory, exist_ok=True)
        if own_zlib:
            shutil.copy2(inst.path("zlib1.dll"), directory)
        run = inst.start("-debug", cwd=directory)
        row = f"started in {name}, installation {installation!r}, cut short {cut_short}"
        expect(run.wait(60), 0, f"exit code, {row}")
        expect_output(run, rolling_back if cut_short else [STARTING, QUITTING])
        expect(os.listdir(directory), ["zlib1.dll"] if own_zlib else [],
               f"files in the directory started from, {row}")
        expect(os.listdir(inst.path("update")), [], f"update directory, {row}")
    expect(len(inst.kernel_starts()), len(rows), "kernel starts in the installation")


@case
def staged_file_held(target, inst):
    """A scanner holds the new kernel file for a moment as the swap runs: its
    move is refused until it is let go."""
    inst.scenario("place-update v2; create update.do; wait-for held; exit 0",
                  "sleep 500; create quit.do; exit 0")
    run = inst.start()
    inst.wait_for_file("update.do", 30)
    hold_until(target, inst, run, "update/_UPDATE.NEW", IN_USE, 60)
    expect(run.wait(60), 0, "exit code")
    expect_output(run, [STARTING, UPDATING, IN_USE, UPDATED, QUITTING])
    expect([start["marker"] for start in inst.kernel_starts()], ["", "v2"], "kernel markers")


@case
def kept_kernel_held_through_a_rollback(target, inst):
    """The kept kernel is held for longer than the launcher waits as the third
    failed try rolls back: the trial and its mark stay, and the next failed
    try, the file let go, rolls back."""
    original = inst.read("kernel.bin")
    failing = "delete update.do; exit 1"
    inst.scenario("place-update v2; create update.do; exit 0",
                  "delete update.do; wait-for held; exit 1", failing, failing, failing,
                  "sleep 500; create quit.do; exit 0")
    run = inst.start()
    run.wait_for_line(UPDATED.rstrip("\n"), 60)
    release = hold(target, inst, "update/ROLLBACK.BIN")
    run.wait_for_line(NOT_INTO_PLACE.rstrip("\n"), 180)
    expect(inst.exists("update/ON_TRIAL"), True, "the trial's mark, the rollback skipped")
    release()
    expect(run.wait(90), 0, "exit code")
    expect_output(run, [STARTING, UPDATING, UPDATED, ABNORMAL, ABNORMAL, KEEPS_FAILING, IN_USE,
                        NOT_INTO_PLACE, ABNORMAL, KEEPS_FAILING, ROLLED_BACK, QUITTING])
    expect([start["marker"] for start in inst.kernel_starts()], ["", "v2", "v2", "v2", "v2", ""],
           "kernel markers")
    expect(inst.read("kernel.bin") == original, True, "previous kernel back in place")
    expect(inst.exists("update/ON_TRIAL"), False, "the trial's mark, after the rollback")


@case
def trial_mark_cannot_be_written(target, inst):
    """A directory where the trial's mark goes: no new kernel without it."""
    original = inst.read("kernel.bin")
    os.mkdir(inst.path("update", "ON_TRIAL"))
    inst.scenario("place-update v2; create update.do; exit 0", "sleep 500; create quit.do; exit 0")
    run = inst.start()
    expect(run.wait(60), 0, "exit code")
    expect_output(run, [STARTING, UPDATING, "trial mark cannot be written, update skipped.\n",
                        UPDATED, QUITTING])
    expect([start["marker"] for start in inst.kernel_starts()], ["", ""], "kernel markers")
    expect(inst.read("kernel.bin") == original, True, "the proven kernel in place")
    expect(inst.exists("update.do"), False, "update tag left")


def roll_back_unstartable_update(target, inst, place="place-text"):
    """An update to a file that is no program: rolled back, and the previous
    kernel runs until it quits."""
    original = inst.read("kernel.bin")
    inst.scenario(f"{place}; create update.do; exit 0", "sleep 500; create quit.do; exit 0")
    run = inst.start()
    expect(run.wait(60), 0, "exit code")
    expect_output(run, [STARTING, UPDATING, f"CreateProcess failed ({not_a_program_error(target)})\n",
                        "new kernel failed to start, rolling back...\n", ROLLED_BACK, QUITTING])
    expect(inst.read("kernel.bin") == original, True, "previous kernel back in place")


@case
def update_rolled_back(target, inst):
    roll_back_unstartable_update(target, inst)
    expect(len(inst.kernel_starts()), 2, "kernel starts")
    expect(inst.read("update/FAILED.BIN"), b"not a program\n", "the file that failed, kept")
    expect(inst.exists("update/ROLLBACK.BIN"), False, "rollback copy left")
    expect(inst.exists("update.do"), False, "update tag left")


@case
def stuck_failed_copy(target, inst):
    """An old failed copy that cannot be deleted (a directory that is not
    empty) does not keep the previous kernel from coming back, nor does a
    failed kernel that is read-only: it is deleted all the same."""
    os.makedirs(inst.path("update", "FAILED.BIN", "keep"))
    roll_back_unstartable_update(target, inst, "place-text read-only")
    expect(os.path.isdir(inst.path("update", "FAILED.BIN", "keep")), True, "the old copy kept")


@case
def crash_looping_update(target, inst):
    """A new kernel that ends at once every time gives way, at its third
    quick end, to the one it replaced."""
    original = inst.read("kernel.bin")
    failing = "delete update.do; exit 1"
    inst.scenario("place-update v2; create update.do; exit 0", failing, failing, failing,
                  "sleep 500; create quit.do; exit 0")
    run = inst.start()
    expect(run.wait(120), 0, "exit code")
    expect_output(run, [STARTING, UPDATING, UPDATED, ABNORMAL, ABNORMAL, KEEPS_FAILING,
                        ROLLED_BACK, QUITTING])
    expect([start["marker"] for start in inst.kernel_starts()], ["", "v2", "v2", "v2", ""],
           "kernel markers")
    expect(inst.read("kernel.bin") == original, True, "previous kernel back in place")
    expect(inst.read("update/FAILED.BIN").endswith(b"KERNEL-MARKER:v2\n"), True,
           "the failing kernel kept")


@case
def kept_kernel_at_startup(target, inst):
    """A swap cut short (no "kernel.bin", both kernels in "update"), and a
    "kernel.bin" that is no program: the kept kernel starts."""
    original = inst.read("kernel.bin")
    staged = original.rstrip(b"\n") + b"\nKERNEL-MARKER:v2\n"
    shapes = [
        ("kernel.bin missing", None, 2, staged),
        ("kernel.bin not a program", b"not a program\n", not_a_program_error(target), None),
    ]
    if not target.windows:  # a link counts as there, as Windows sees one
        shapes.insert(1, ("kernel.bin a link to nothing", "link", 2, None))
    for what, kernel, error, new_file in shapes:
        os.remove(inst.path("kernel.bin"))
        if kernel == "link":
            os.symlink("nowhere", inst.path("kernel.bin"))
        elif kernel is not None:
            with open(inst.path("kernel.bin"), "wb") as file:
                file.write(kernel)
        shutil.copy2(target.kernel, inst.path("update", "ROLLBACK.BIN"))
        if new_file is not None:
            with open(inst.path("update", "_UPDATE.NEW"), "wb") as file:
                file.write(new_file)
        inst.scenario("sleep 500; create quit.do; exit 0")
        if inst.exists("kernel.log"):
            os.remove(inst.path("kernel.log"))
        run = inst.start()
        expect(run.wait(60), 0, f"exit code, {what}")
        expect_output(run, [STARTING, f"CreateProcess failed ({error})\n",
                            "kernel failed to start, rolling back...\n", QUITTING])
        expect(len(inst.kernel_starts()), 1, f"kernel starts, {what}")
        expect(inst.read("kernel.bin") == original, True, f"previous kernel in place, {what}")
        expect(inst.exists("update/ROLLBACK.BIN"), False, f"rollback copy left, {what}")
    expect(inst.read("update/_UPDATE.NEW"), staged, "staged new kernel left for the kernel")
    expect(inst.read("update/FAILED.BIN"), b"not a program\n", "the file that failed, kept")


@case
def kernel_on_path(target, inst):
    """Without "kernel.bin" in the installation, one on the search path is
    never started: the launch fails."""
    os.makedirs(inst.path("elsewhere"))
    shutil.move(inst.path("kernel.bin"), inst.path("elsewhere", "kernel.bin"))
    inst.extra_path = inst.path("elsewhere")
    inst.scenario("create quit.do; exit 0")
    run = inst.start("-debug")
    expect(run.wait(30), 255, "exit code")
    expect_output(run, [STARTING, "CreateProcess failed (2)\n"])
    expect(inst.kernel_starts(), [], "kernel starts")


@case
def force_quit(target, inst):
    inst.scenario("create restart.do; run", "create quit.do; exit 0")
    run = inst.start()
    inst.wait_for_file("restart.do", 30)
    tagged = os.stat(inst.path("restart.do")).st_mtime_ns // 10**9
    forced = run.wait_for_line("sig timeout, force quit!", 60)
    expect(run.wait(60), 0, "exit code")
    expect_output(run, [STARTING, "sig timeout, force quit!\n",
                        "kernel relaunched (cause:restart tag found)\n", QUITTING])
    # The first pass whose clock, in whole seconds, reads 31 s after the
    # tag: passes are about 6 s apart, and a busy machine reads the line late.
    age = forced - tagged
    if not 31 <= age <= 42:
        raise AssertionError(f"force quit {age:.1f} s after the tag")


@case
def relaunch_fails(target, inst):
    inst.scenario("sleep 1500; exit 0")
    run = inst.start()
    inst.wait_for_kernel_starts(1, 30)
    os.remove(inst.path("kernel.bin"))
    expect(run.wait(60), 255, "exit code")
    expect_output(run, [STARTING, "CreateProcess failed (2)\n"])


# ---- Faults ----

@case
def crash(target, inst):
    """A kernel crashes twice (SIGSEGV natively, an access violation under
    wine), then asks for an update that is rolled back, then quits: the
    output is as ever, and the record beside it holds each line, each
    kernel's start and end, with the time and the launcher's process id."""
    inst.scenario("crash", "crash", "place-text; create update.do; exit 0",
                  "sleep 500; create quit.do; exit 0")
    began = time.time()
    run = inst.start()
    expect(run.wait(90), 0, "exit code")
    ended = time.time()
    not_started = f"CreateProcess failed ({not_a_program_error(target)})\n"
    rolling_back = "new kernel failed to start, rolling back...\n"
    expect_output(run, [STARTING, ABNORMAL, ABNORMAL, UPDATING, not_started, rolling_back,
                        ROLLED_BACK, QUITTING])

    lines = [re.fullmatch(r"(\S+ \S+) \[(\d+)\] (.*)", line)
             for line in record_of(target, inst).split("\n")[:-1]]
    expect(all(lines) and len({line[2] for line in lines}) == 1, True,
           "each line with its time and the launcher's process id")
    stamps = [line[1] for line in lines]
    stamp = lambda at: time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(at))  # noqa: E731
    expect(stamps == sorted(stamps) and stamp(began) <= stamps[0] and stamps[-1] <= stamp(ended),
           True, f"local times of the run, in order: {stamps}")
    k = [f"kernel {start['pid']}" for start in inst.kernel_starts()]
    crashed = ("exit code 0xC0000005 (access violation)" if target.windows
               else "signal 11 (SIGSEGV)")
    quit = "exit code 0x00000000" if target.windows else "exit status 0"
    expect([line[3].replace(", core dumped", "") for line in lines],
           [line.rstrip("\n") for line in (
               STARTING, f"{k[0]} started", f"{k[0]} ended: {crashed}",
               f"{k[1]} started", ABNORMAL, f"{k[1]} ended: {crashed}",
               f"{k[2]} started", ABNORMAL, f"{k[2]} ended: {quit}", UPDATING, not_started,
               rolling_back, f"{k[3]} started", ROLLED_BACK, f"{k[3]} ended: {quit}", QUITTING)],
           "the record")


@case
def killed_from_outside(target, inst):
    inst.scenario("run", "create quit.do; exit 0")
    run = inst.start()
    inst.wait_for_kernel_starts(1, 30)
    inst.kill_kernels()
    expect(run.wait(60), 0, "exit code")
    expect_output(run, [STARTING, ABNORMAL, QUITTING])


@case
def undeletable_tags(target, inst):
    """Non-empty directories, long stale, that no removal takes: there before
    the kernel started, they never force quit it; the quit tag decides."""
    for tag in ("restart.do", "update.do", "quit.do"):
        os.mkdir(inst.path(tag))
        open(inst.path(tag, "keep"), "w").close()
        os.utime(inst.path(tag), (time.time() - 100, time.time() - 100))
    inst.scenario("sleep 8000; exit 0")
    run = inst.start()
    expect(run.wait(60), 0, "exit code")
    expect_output(run, [STARTING, "remove restart tag failed.\n", "remove update tag failed.\n",
                        "remove quit tag failed.\n", QUITTING, "remove quit tag failed.\n"])


@case
def read_only_stale_tag(target, inst):
    """A long-stale read-only restart tag is deleted at start-up all the same."""
    open(inst.path("restart.do"), "w").close()
    os.chmod(inst.path("restart.do"), 0o444)
    os.utime(inst.path("restart.do"), (time.time() - 3600, time.time() - 3600))
    inst.scenario("sleep 7000; create quit.do; exit 0")
    run = inst.start()
    expect(run.wait(60), 0, "exit code")
    expect_output(run, [STARTING, QUITTING])
    expect(inst.exists("restart.do"), False, "restart tag left")


@case
def empty_directory_tag(target, inst):
    # No removal takes a directory, empty or not, as on Windows.
    os.mkdir(inst.path("restart.do"))
    inst.scenario("create quit.do; exit 0")
    run = inst.start()
    expect(run.wait(30), 0, "exit code")
    expect_output(run, [STARTING, "remove restart tag failed.\n", QUITTING])
    expect(os.path.isdir(inst.path("restart.do")), True, "the directory kept")


@case
def terminal_closed(target, inst):
    """Started without -debug from a terminal that is then closed: the
    launcher and its kernel live on, as on Windows when the console window
    that started the launcher is closed."""
    inst.scenario("run")
    master, terminal = os.openpty()
    launcher = subprocess.Popen(
        ["./" + inst.launcher_name], cwd=inst.dir, env=inst.environment(), stdin=terminal,
        stdout=terminal, stderr=terminal, start_new_session=True,
        preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
    try:
        os.close(terminal)
        kernel = inst.wait_for_kernel_starts(1, 30)[0]
        os.close(master)  # the terminal hangs up
        time.sleep(2)
        expect(launcher.poll(), None, "launcher's exit status")
        expect(alive(kernel["pid"]), True, "kernel running")
    finally:
        launcher.kill()
        launcher.wait(10)


@case(directory="安装 目录 ü")
def non_ascii_directory(target, inst):
    inst.scenario("create restart.do; exit 0", "create quit.do; exit 0")
    run = inst.start("-debug")
    expect(run.wait(60), 0, "exit code")
    expect_output(run, [STARTING, "kernel relaunched (cause:restart tag found)\n", QUITTING])
    expect(len(inst.kernel_starts()), 2, "kernel starts")


@case
def shell_metacharacters(target, inst):
    argument = "a;b && c | d $(touch made1) `touch made2` %PATH% > made3"
    inst.scenario("create quit.do; exit 0")
    run = inst.start(argument)
    expect(run.wait(30), 0, "exit code")
    start = inst.kernel_starts()[0]
    expect(start["argv"], ["kernel.bin"] + argument.split(" "), "kernel arguments")
    if target.windows:
        expect(start["cmdline"], "kernel.bin " + argument, "kernel command line")
    expect([name for name in os.listdir(inst.dir) if name.startswith("made")], [], "files made")


# ---- Start-up guards ----

@case
def no_prerequisite(target, inst):
    os.remove(inst.path("zlib1.dll"))
    run = inst.start("-debug")
    expect(run.wait(30), 255, "exit code")
    expect(run.raw_output(), "", "output")
    expect(inst.kernel_starts(), [], "kernel starts")
    expect(inst.opened(), [], "main pages opened")


@case
def prerequisite_directory(target, inst):
    os.remove(inst.path("zlib1.dll"))
    os.mkdir(inst.path("zlib1.dll"))
    inst.scenario("create quit.do; exit 0")
    run = inst.start()
    expect(run.wait(30), 0, "exit code")
    expect_output(run, [STARTING, QUITTING])


@case
def second_launcher(target, inst):
    # The tag stays for as long as the kernel runs, 15 s: time for the second
    # launcher to give way, on a busy machine too.
    inst.scenario("create quit.do; sleep 15000; exit 0")
    first = inst.start()
    inst.wait_for_file("quit.do", 30)
    second = inst.start()
    expect(second.wait(30), 255, "second launcher's exit code")
    expect_output(second, [STARTING])
    expect(inst.exists("quit.do"), True, "the first kernel's quit tag")
    expect(first.wait(60), 0, "first launcher's exit code")
    expect_output(first, [STARTING, QUITTING])
    expect(inst.opened(), [MAIN_PAGE, MAIN_PAGE], "main pages opened")
    if not target.windows:
        expect("警告: 程序已运行\n" in second.stderr.decode(), True, "notice")


@case
def leftover_kernel(target, inst):
    inst.scenario("hold-mutex; create holding; run", "sleep 1000; create quit.do; exit 0")
    leftover = inst.start_kernel_alone()
    inst.wait_for_file("holding", 30)
    run = inst.start()
    expect(run.wait(60), 0, "exit code")
    expect(leftover.process.poll() is not None, True, "leftover kernel ended")
    expect(len(inst.kernel_starts()), 2, "kernel starts")
    lines = run.output()
    expect([line for line in lines if line in (STARTING, QUITTING)], [STARTING, QUITTING],
           "log lines")
    if not target.windows:
        expect_output(run, [STARTING, QUITTING])
        expect("警告: 内核尚未退出，将杀死并重新加载内核\n" in run.stderr.decode(), True,
               "notice")


@case
def planted_locks(target, inst):
    """Another user planted lock files under the launcher's names in /tmp:
    the private lock directory makes them harmless."""
    if os.getuid() != 0:
        raise Skip("planting another user's files needs root")
    planted = [f"/tmp/{name}-{os.getuid()}.lock" for name in ("PDRAV", "KERNELBIN")]
    inst.runtime_dir = None
    try:
        for path in planted:
            with open(path, "w"):
                pass
            os.chmod(path, 0o600)
            os.chown(path, 65534, 65534)  # nobody's
        inst.scenario("run")
        first = inst.start()
        kernel = inst.wait_for_kernel_starts(1, 30)[0]
        second = inst.start()
        expect(second.wait(30), 255, "second launcher's exit code")
        expect("警告: 程序已运行\n" in second.stderr.decode(), True, "notice")
        expect(first.process.poll(), None, "first launcher's exit status")
        expect(alive(kernel["pid"]), True, "first kernel running")
        expect(len(inst.kernel_starts()), 1, "kernel starts")
    finally:
        for path in planted:
            if os.path.lexists(path):
                os.remove(path)


# ---- The shipped 32-bit executable where only an emulator runs it ----

@case
def smoke(target, inst):
    """One start, one quit (the target windows32). Emulation slows the
    kernel's end, so a force quit may come before the quit."""
    inst.scenario("create quit.do; exit 0")
    run = inst.start("-debug")
    expect(run.wait(600), 0, "exit code")
    if run.output() != [STARTING, FORCE_QUIT, QUITTING]:
        expect(run.output(), [STARTING, QUITTING], "output lines")
    expect(inst.kernel_starts()[0]["cmdline"], "kernel.bin -debug", "kernel command line")


def no_smoke_test(target):
    """Why the shipped 32-bit executable needs no smoke test of its own here,
    or cannot have one."""
    if not wine32_installed():
        return ("32-bit wine is not installed: the 32-bit executable was checked statically "
                "only (windows.executable)")
    if target.emulator:
        return None
    if can_run_32bit():
        return "this host runs 32-bit code itself: every Windows case runs the 32-bit executable"
    return ("this host can neither run nor emulate 32-bit code: the 32-bit executable was "
            "checked statically only (windows.executable)")


# ---- On a desktop, as a user meets the launcher (Windows) ----

NOTICE_ANSWERED_AFTER = 5000  # ms the user looks at a notice before OK


def seen_notice(user, text, nth=1):
    """The user's nth notice: its title, text and that every character has a
    glyph; gives the time it was seen."""
    at, line = user.wait_for_lines("shown\t", nth, 90)[-1]
    expect(line.split("\t")[1:], ["警告", text, "0"], f"notice {nth}: title, text, glyphs missing")
    return at


def answered(user, nth=1):
    """The time the user was about to press OK on the nth notice."""
    return user.wait_for_lines("answering", nth, 90)[-1][0]


def start_user(target, inst, notices, wait=NOTICE_ANSWERED_AFTER):
    return inst.start_program(target.tool("notice_user.exe"), str(notices), str(wait))


@case(desktop=True)
def desktop_no_prerequisite(target, inst):
    os.remove(inst.path("zlib1.dll"))
    user = start_user(target, inst, 1)
    run = inst.start("-debug")
    shown = seen_notice(user, "无法加载zlib1.dll,请重新安装客户端软件")
    target.desktop.screenshot(os.path.join(target.build_root, "notice-on-desktop.png"))
    time.sleep(max(0.0, shown + 2.5 - time.time()))
    expect(run.process.poll(), None, "launcher's exit status while the notice waits")
    expect([line for _, line in user.lines if line.startswith("answering")], [],
           "answered before the check")
    pressed = answered(user)
    expect(run.wait(30), 255, "exit code")
    if time.time() - pressed > 10:
        raise AssertionError(f"ended {time.time() - pressed:.1f} s after OK")
    expect(run.raw_output(), "", "output")
    expect(user.wait(30), 0, "user's exit code")


@case(desktop=True)
def desktop_kernel_cannot_start(target, inst):
    os.remove(inst.path("kernel.bin"))
    user = start_user(target, inst, 1, 4000)
    run = inst.start("-debug")
    seen_notice(user, "无法启动NX8内核, 请重新安装NX8.")
    pressed = answered(user)
    logged = run.wait_for_line("CreateProcess failed (2)", 30)
    # Read from two pipes, each late on a busy machine: leeway, well short of
    # the 4 s the user looks at the notice.
    if logged < pressed - 1.5:
        raise AssertionError(f"the line came {pressed - logged:.1f} s before OK")
    expect(run.wait(30), 255, "exit code")
    expect_output(run, [STARTING, "CreateProcess failed (2)\n"])


def wait_for_opened(inst, count, timeout=30):
    deadline = time.monotonic() + timeout
    while len(inst.opened()) < count and time.monotonic() < deadline:
        time.sleep(0.1)
    return inst.opened()


@case(desktop=True)
def desktop_second_launcher(target, inst):
    inst.scenario("sleep 15000; create quit.do; exit 0")
    first = inst.start()
    inst.wait_for_kernel_starts(1, 30)
    wait_for_opened(inst, 1)
    user = start_user(target, inst, 1, 2000)
    second = inst.start()
    seen_notice(user, "程序已运行")
    expect(inst.opened(), [MAIN_PAGE], "main pages opened while the notice waits")
    expect(second.wait(30), 255, "second launcher's exit code")
    expect(wait_for_opened(inst, 2), [MAIN_PAGE, MAIN_PAGE], "main pages opened")
    expect(first.wait(60), 0, "first launcher's exit code")
    expect_output(first, [STARTING, QUITTING])
    expect(len(inst.kernel_starts()), 1, "kernel starts: the first kernel lived on")


@case(desktop=True)
def desktop_stubborn_leftover(target, inst):
    """The name "KERNELBIN" held by a kernel under another file name, which
    "taskkill /im kernel.bin" does not end: the notice after every OK."""
    shutil.copy2(target.kernel, inst.path("holder.exe"))
    inst.scenario("hold-mutex; create holding; run", "sleep 1000; create quit.do; exit 0")
    holder = inst.start_program("holder.exe")
    inst.wait_for_file("holding", 30)
    user = start_user(target, inst, 3)
    run = inst.start()
    for nth in (1, 2, 3):
        seen_notice(user, "内核尚未退出，将杀死并重新加载内核", nth)
        expect(holder.process.poll(), None, f"holder's exit status at notice {nth}")
    inst.kill_kernels()  # before the third OK
    expect(user.wait(60), 0, "user's exit code")
    expect(run.wait(60), 0, "exit code")
    expect_output(run, [STARTING, QUITTING])
    expect(len(inst.kernel_starts()), 2, "kernel starts")


# The system's own: wine runs a cmd.exe of the working directory first.
SYSTEM_CMD = r"C:\windows\system32\cmd.exe"
COMMAND_ENDED = "command did not finish in 60 s, ended.\n"


def install_recorder(target, inst):
    shutil.copy2(target.tool("interpreter_recorder.exe"), inst.path("interpreter_recorder.exe"))
    return "Z:" + inst.path("interpreter_recorder.exe").replace("/", "\\")


def with_comspec(inst, interpreter):
    """COMSPEC, or none where "", set by cmd: wine sets it from its registry."""
    return inst.start_program(SYSTEM_CMD, "/c", f"set COMSPEC={interpreter}&& {inst.launcher_name}")


def interpreter_log(inst):
    with open(inst.path("interpreter.log"), encoding="utf-8", errors="replace") as log:
        return log.read().splitlines()


@case
def interpreter_recorder(target, inst):
    """The interpreter named by COMSPEC runs each command with /d /c; without
    COMSPEC the system's own does, never a cmd.exe of the installation."""
    recorder = install_recorder(target, inst)
    inst.scenario("place-update v2; create update.do; exit 0", "sleep 500; create quit.do; exit 0")
    run = with_comspec(inst, recorder)
    expect(run.wait(60), 0, "exit code")
    expect_output(run, [STARTING, UPDATING, UPDATED, QUITTING])
    expect(interpreter_log(inst),
           [f'"{recorder}" /d /c move kernel.bin update\\ROLLBACK.BIN',
            f'"{recorder}" /d /c move update\\_UPDATE.NEW kernel.bin'],
           "the interpreter's command lines")
    expect(inst.read("kernel.bin").endswith(b"KERNEL-MARKER:v2\n"), True, "new kernel in place")

    shutil.copy2(inst.path("interpreter_recorder.exe"), inst.path("cmd.exe"))
    os.remove(inst.path("kernel.log"))
    inst.scenario("place-update v3; create update.do; exit 0", "sleep 500; create quit.do; exit 0")
    run = with_comspec(inst, "")
    expect(run.wait(60), 0, "exit code without COMSPEC")
    expect_output(run, [STARTING, UPDATING, UPDATED, QUITTING])
    expect(len(interpreter_log(inst)), 2, "command lines of the installation's cmd.exe")
    expect(inst.read("kernel.bin").endswith(b"KERNEL-MARKER:v3\n"), True, "v3 in place")


@case
def hanging_interpreter(target, inst):
    """An interpreter that never returns is ended after a minute, not run again."""
    recorder = install_recorder(target, inst)
    open(inst.path("interpreter-hangs"), "w").close()
    inst.scenario("place-update v2; create update.do; exit 0", "sleep 500; create quit.do; exit 0")
    run = with_comspec(inst, recorder)
    ended = run.wait_for_line(COMMAND_ENDED.rstrip("\n"), 120)
    expect(ended - run.lines[0][0] > 59, True, "ended after a minute")
    expect(run.wait(60), 0, "exit code")
    expect_output(run, [STARTING, UPDATING, COMMAND_ENDED,
                        "kernel file cannot be moved aside, update skipped.\n", UPDATED, QUITTING])
    expect(len(interpreter_log(inst)), 1, "runs of the interpreter")


# ---- The demo kernel ----

def demo_kernel(target):
    if not os.path.exists(target.demo_kernel):
        raise AssertionError(f"{target.demo_kernel} is missing: build its preset first")
    return target.demo_kernel


def page_field(browser, selector, timeout):
    """Opens the main page, again and again while the kernel is away, until
    it shows the field; gives its text."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            browser.open(MAIN_PAGE)
            text = browser.text(selector)
            if text is not None:
                return text
        except AssertionError:
            pass  # the page is not served yet
        time.sleep(0.5)
    raise AssertionError(f"the main page showed no {selector} within {timeout} s")


@case
def demo_in_browser(target, inst):
    from browser import Browser
    shutil.copy2(demo_kernel(target), inst.path("kernel.bin"))
    run = inst.start("-debug")
    with Browser(inst.path("chromium-profile")) as browser:
        first_pid = page_field(browser, "#pid", 30)
        expect(browser.text("#version"), "1", "first version")
        expect(browser.text("#argument"), "-debug", "the kernel's argument")
        expect(browser.text("#system").startswith("Windows"), target.windows, "built for")

        browser.click("#restart")
        run.wait_for_line("kernel relaunched (cause:restart tag found)", 30)
        restarted_pid = page_field(browser, "#pid", 30)
        expect(restarted_pid != first_pid, True, f"a new process, not {first_pid}")

        browser.click("#update")
        run.wait_for_line("kernel relaunched!", 30)
        expect(page_field(browser, "#version", 30), "2", "version after the update")
        expect(browser.text("#updated"), "Updated from version 1.", "update note")
        expect(inst.exists("update.do"), False, "update tag left by the new kernel")
        screenshot = "demo-main-page" + ("-windows" if target.windows else "") + ".png"
        browser.screenshot(os.path.join(target.build_root, screenshot))

        browser.click("#quit")
        expect(run.wait(30), 0, "exit code")
    lines = [line for line in run.output() if not line.startswith("demo kernel ")]
    expect(lines, [STARTING, "kernel relaunched (cause:restart tag found)\n", UPDATING, UPDATED,
                   QUITTING], "launcher's lines")
    expect(inst.opened(), [MAIN_PAGE], "main pages opened")


def http_status(method, path, headers, form=None):
    connection = http.client.HTTPConnection("127.0.0.1", 9080, timeout=10)
    try:
        body = urllib.parse.urlencode(form) if form is not None else None
        if body is not None:
            headers = dict(headers, **{"Content-Type": "application/x-www-form-urlencoded"})
        connection.request(method, path, body, headers)
        response = connection.getresponse()
        return response.status, response.read().decode("utf-8", "replace")
    finally:
        connection.close()


@case
def demo_forged_requests(target, inst):
    """What another site can have the browser send: refused, and no tag."""
    kernel = subprocess.Popen([demo_kernel(target)], cwd=inst.dir, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                status, page = http_status("GET", "/drav?t=main", {"Host": "127.0.0.1:9080"})
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise AssertionError("the demo kernel did not serve its page")
                time.sleep(0.1)
        token = re.search(r'name="token" value="([0-9a-f]{32})"', page).group(1)
        own = {"Host": "127.0.0.1:9080"}
        forged = [
            ("page under another host name", "GET", "/drav?t=main",
             {"Host": "attacker.example:9080"}, None),
            ("button under another host name", "POST", "/drav/quit",
             {"Host": "attacker.example:9080"}, {"token": token}),
            ("foreign Origin", "POST", "/drav/quit",
             dict(own, Origin="http://attacker.example"), {"token": token}),
            ("cross-site Sec-Fetch-Site", "POST", "/drav/restart",
             dict(own, **{"Sec-Fetch-Site": "cross-site"}), {"token": token}),
            ("missing token", "POST", "/drav/update", own, {}),
            ("wrong token", "POST", "/drav/quit", own, {"token": "0" * 32}),
        ]
        for what, method, path, headers, form in forged:
            expect(http_status(method, path, headers, form)[0], 403, what)
        expect([tag for tag in ("quit.do", "restart.do", "update.do") if inst.exists(tag)], [],
               "tags left by forged requests")
        expect(kernel.poll(), None, "kernel's exit status")

        # The page's own button, as a browser sends it.
        button = dict(own, Origin="http://127.0.0.1:9080", **{"Sec-Fetch-Site": "same-origin"})
        expect(http_status("POST", "/drav/quit", button, {"token": token})[0], 200, "own button")
        expect(kernel.wait(30), 0, "exit code")
        expect(inst.exists("quit.do"), True, "quit tag")
    finally:
        if kernel.poll() is None:
            kernel.kill()
            kernel.wait(10)


@case
def demo_busy_port(target, inst):
    with socket.socket() as taken:
        taken.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        taken.bind(("127.0.0.1", 9080))
        taken.listen()
        result = subprocess.run([demo_kernel(target)], cwd=inst.dir, capture_output=True,
                                timeout=30)
    expect(result.returncode, 1, "exit code")
    expect(result.stderr.decode(),
           "demo kernel: cannot listen on 127.0.0.1:9080 (is the port in use?)\n", "message")


# ---- Wine prefix ----

WINESERVER = "/usr/lib/wine/wineserver"

# What the notices' fonts are replaced by in the desktop prefix: a CJK font,
# so that their Chinese text is legible.
DIALOG_FONTS = ("SimSun", "Tahoma")
CJK_FONT = "WenQuanYi Micro Hei"


def quietly(env):
    """A set-up command's options: the prefix's environment, no input or output."""
    return dict(env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL)


def patience(target):
    """How long wineboot may take: a prefix's 32-bit half is many times
    slower where an emulator runs it."""
    return 900 if target.emulator else 300


def setup_desktop_wine(build_root, windows_dirs):
    """Creates the desktop cases' prefix, with a CJK font for dialogs. Each
    case ends its own wineserver, with its display."""
    env = dict(os.environ, **wine_environment(build_root, desktop=True))
    target = Target("windows", build_root, windows_dirs, desktop=True)
    run = dict(quietly(env), timeout=patience(target))
    subprocess.run(target.helper + ["wineboot", "--init"], **run)
    for font in DIALOG_FONTS:
        subprocess.run(target.helper + ["reg", "add", r"HKCU\Software\Wine\Fonts\Replacements",
                                         "/v", font, "/d", CJK_FONT, "/f"], check=True, **run)
    # The server writes the registry out as it ends.
    subprocess.run([WINESERVER, "-w"], **run)
    print(f"desktop wine prefix ready for {target.label}")


def setup_wine(build_root, windows_dirs, name="windows", prefixes=1):
    """Creates the run's prefix (or the 32-bit smoke test's) and keeps one
    wineserver for every test, so that stopping a test's processes never
    stops the server. Then the rest of the pool: copies of it, each with a
    server of its own."""
    target = Target(name, build_root, windows_dirs)
    env = dict(os.environ, **target.env)
    quiet = quietly(env)
    boot = target.helper + ["wineboot", "--init"]
    timeout = patience(target)
    cleanup_wine(build_root, own_prefix=name == "windows32", prefixes=prefixes)
    # A new prefix is created first, by a server of its own that writes it
    # out as it ends. Created otherwise, it made every later program wait
    # 10 s for its desktop at its first window.
    # On a host without 32-bit support wineboot reports the failure of its
    # 32-bit half; the prefix is usable all the same.
    if not os.path.isdir(env["WINEPREFIX"]):
        subprocess.run(boot, timeout=timeout, **quiet)
        subprocess.run([WINESERVER, "-w"], timeout=timeout, **quiet)
    subprocess.Popen([WINESERVER, "-p", "-f"], start_new_session=True, **quiet)
    # The services wineboot starts stay with the server: none of them may keep
    # a test's output open.
    subprocess.run(boot, timeout=timeout, **quiet)
    if not os.path.isdir(os.path.join(env["WINEPREFIX"], "drive_c", "windows", "system32")):
        raise AssertionError("wineboot did not create the prefix")
    for index in range(1, prefixes):
        copy_env = dict(env, **wine_environment(build_root, index=index))
        copy_prefix(env["WINEPREFIX"], copy_env["WINEPREFIX"])
        subprocess.Popen([WINESERVER, "-p", "-f"], start_new_session=True, **quietly(copy_env))
        # The copy's stamp is the prefix's: its first program starts the
        # services, and updates nothing.
        subprocess.run(target.helper + ["cmd", "/c", "exit"], timeout=timeout,
                       **quietly(copy_env))
    print(f"wine prefix ready for {target.label}" +
          (f", and {prefixes - 1} copies of it" if prefixes > 1 else ""))


def copy_prefix(prefix, copy):
    """A copy made in a moment: its files are links to the prefix's, which
    wine only reads once the prefix is up to date; its registry, which the
    server replaces as it writes it, is copied. The server's own mark is
    not."""
    shutil.rmtree(copy, ignore_errors=True)
    os.mkdir(copy)
    for entry in os.scandir(prefix):
        target = os.path.join(copy, entry.name)
        if entry.is_dir(follow_symlinks=False):
            shutil.copytree(entry.path, target, symlinks=True, copy_function=os.link)
        elif entry.name != "wineserver":
            shutil.copy2(entry.path, target)


def cleanup_wine(build_root, desktop=False, own_prefix=False, prefixes=1):
    for index in range(prefixes):
        env = dict(os.environ, **wine_environment(build_root, desktop, own_prefix, index))
        subprocess.run([WINESERVER, "-k"], env=env, capture_output=True)


def soak(target, cycles):
    """The platform layer's soak test, on the target's own platform."""
    program = os.path.join(os.path.dirname(target.kernel), "soak" + (".exe" if target.windows
                                                                      else ""))
    env = dict(os.environ)
    env.update(target.env)
    env["XDG_RUNTIME_DIR"] = os.path.dirname(program)
    result = subprocess.run(target.command + [program, str(cycles)], cwd=os.path.dirname(program),
                            env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=1200)
    print(result.stdout.decode("utf-8", "replace"), end="")
    if result.returncode != 0:
        raise AssertionError(f"soak failed ({result.returncode}): {result.stderr!r}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("command", choices=["run", "soak", "setup-wine", "cleanup-wine", "list"])
    parser.add_argument("case", nargs="?", help="the case to run, or the soak's cycles")
    parser.add_argument("--target", choices=["native", "windows", "windows32"],
                        help="windows32: the shipped 32-bit executable, in a prefix of its own")
    parser.add_argument("--build-root")
    parser.add_argument("--windows-dirs", nargs=2, default=(None, None))
    parser.add_argument("--windows-demo-dirs", nargs=2, default=(None, None))
    parser.add_argument("--valgrind", action="store_true",
                        help="run the native launcher under valgrind's memcheck")
    parser.add_argument("--keep", action="store_true", help="keep the installation")
    parser.add_argument("--desktop", action="store_true",
                        help="with setup-wine and cleanup-wine: the desktop cases' prefix")
    parser.add_argument("--prefixes", type=int, default=1,
                        help="with setup-wine and cleanup-wine: the prefixes of the pool")
    args = parser.parse_intermixed_args()
    if args.build_root:  # wine takes only an absolute WINEPREFIX
        args.build_root = os.path.abspath(args.build_root)

    if args.command == "list":
        print("\n".join(CASES))
        return 0
    if args.command == "setup-wine":
        if args.desktop:
            setup_desktop_wine(args.build_root, args.windows_dirs)
        else:
            setup_wine(args.build_root, args.windows_dirs, prefixes=args.prefixes)
        return 0
    if args.command == "cleanup-wine":
        cleanup_wine(args.build_root, args.desktop, prefixes=args.prefixes)
        return 0

    desktop = args.case in DESKTOP_CASES
    target = Target(args.target, args.build_root, args.windows_dirs, args.valgrind,
                    args.windows_demo_dirs, desktop)
    if args.command == "soak":
        soak(target, int(args.case))
        return 0
    smoke_32bit = args.target == "windows32"
    if smoke_32bit:
        reason = no_smoke_test(target)
        if reason:
            print(f"{args.case} skipped: {reason}")
            return SKIPPED
    target.desktop = Desktop(target) if desktop else None
    inst = Installation(target, DIRECTORY_NAMES[args.case])
    passed = False
    try:
        if smoke_32bit:
            setup_wine(args.build_root, args.windows_dirs, args.target)
        CASES[args.case](target, inst)
        passed = True
    except Skip as reason:
        passed = True
        print(f"{args.case} skipped on {target.label}: {reason}")
        return SKIPPED
    finally:
        inst.close(keep=args.keep or not passed)
        if target.desktop:
            target.desktop.close()
        if smoke_32bit:
            cleanup_wine(args.build_root, own_prefix=True)
        if not passed:
            print(f"installation kept at {inst.dir}")
            for run in inst.runs:
                print(f"output: {run.raw_output()!r}\nerrors: {run.stderr!r}")
    print(f"{args.case} passed on {target.label}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
