#!/usr/bin/env python3
"""Runs the Windows executables' tests under Wine, with their COM ports plugged into
pseudo-terminals on this side: a scripted device for the serial channel's tests, bare
terminals for the port list, lpcsim for whole updates by sparwick-cli.exe.

  run.py setup STAGE            make the Wine prefix and its port mapping
  run.py cleanup STAGE          end its wine server and remove it
  run.py gtest STAGE EXE [plugs]
  run.py update STAGE --cli EXE --lpcsim PATH --port COMn --part ID --image FILE
                [--fault RULE]... [--expect-failure MESSAGE [--then-update]]
  run.py list-ports STAGE --cli EXE --lpcsim PATH --port COMn
  run.py line STAGE --cli EXE --lpcsim PATH --port COMn --failing COMm --image FILE

Every run ends by its deadline; whatever it started is ended on every way out.
"""

import argparse
import json
import os
import re
import select
import signal
import struct
import subprocess
import sys
import tempfile
import time
from contextlib import ExitStack
from pathlib import Path

from scripted_device import ScriptedDevice, Terminal
from wine_stage import Stage, StageError

SUCCESS = "Software successfully upgraded!"

# The device's flash as lpcsim dumps it, by part.
FLASH_SIZES = {196389: 512000, 196387: 262144}
ERASED = 0xFF

# lpcsim is up within a second; the shipped image at 19200 baud takes about 15 s natively.
LPCSIM_START_S = 10
LPCSIM_END_S = 10
UPDATE_S = 150
LIST_S = 60


def fail(message):
    print(f"FAILED: {message}", file=sys.stderr)
    return 1


def show(label, data):
    text = data.decode(errors="replace") if isinstance(data, bytes) else data
    if text.strip():
        print(f"--- {label}\n{text.rstrip()}")


def patched(image):
    """The image as the device must hold it: vector word 5 makes the first eight words add
    up to 0 modulo 2^32, the boot loader's mark of valid user code."""
    image = bytearray(image)
    if len(image) >= 32:
        words = list(struct.unpack_from("<8I", image))
        words[5] = 0
        struct.pack_into("<I", image, 20, (-sum(words)) & 0xFFFFFFFF)
    return bytes(image)


# gtest: one Windows test program, its devices plugged in.

def run_gtest(stage, args):
    with ExitStack() as stack:
        stage.open_session()
        stack.callback(stage.close_session)
        device = None
        if args.scripted:
            data_port, control_port = args.scripted.split(",")
            device = ScriptedDevice()
            device.start()
            stack.callback(device.stop)
            plug(stack, stage, data_port, lambda p: stage.plug(p, device.data.path))
            plug(stack, stage, control_port, lambda p: stage.plug(p, device.control.path))
        for port in args.pty:
            terminal = Terminal()
            stack.callback(terminal.close)
            plug(stack, stage, port, lambda p, t=terminal: stage.plug(p, t.path))
        for port in args.directory:
            plug(stack, stage, port, stage.plug_directory)
        for port in args.file:
            plug(stack, stage, port, stage.plug_file)

        result = stage.run(["wine", args.exe], args.timeout)
        show(Path(args.exe).name, result.stdout + result.stderr)
        if device and device.error:
            return fail(f"the scripted device broke down: {device.error!r}")
        if result.returncode != 0:
            return fail(f"{Path(args.exe).name} exited with {result.returncode}")
        return 0


def plug(stack, stage, port, how):
    how(port)
    stack.callback(stage.unplug, port)


# update and list-ports: sparwick-cli.exe against lpcsim.

class Lpcsim:
    def __init__(self, stage, path, port, part, faults, workdir, pins=None):
        self.log = workdir / f"lpcsim-{port}.log"
        self.errors = workdir / f"lpcsim-{port}.err"
        self.flash = workdir / f"flash-{port}.bin"
        stage.clear(port)
        command = [path, "--link", str(stage.port_path(port)), "--part", str(part),
                   "--flash-out", str(self.flash), "--exit-after-go", "--log", str(self.log)]
        for rule in faults:
            command += ["--fault", rule]
        if pins:
            command += ["--pins", pins]
        with open(self.errors, "wb") as errors:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                            stdout=subprocess.PIPE, stderr=errors,
                                            start_new_session=True)
        ready = self._line(LPCSIM_START_S)
        if not ready.startswith("ready "):
            self.stop()
            raise StageError(f"lpcsim did not start: {ready or self.errors.read_text().strip()}")
        # With its pins, the library that gives the COM port's pty its modem lines.
        self.preload = self._line(LPCSIM_START_S).removeprefix("preload ") if pins else None

    def _line(self, timeout):
        """The first line lpcsim prints, or what came of it by the deadline."""
        fd = self.process.stdout.fileno()
        line = b""
        deadline = time.monotonic() + timeout
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                break
            byte = os.read(fd, 1)
            if not byte:
                break
            line += byte
        return line.decode(errors="replace").strip()

    def power_cycle(self):
        """Puts the device back into upgrade mode, as the user does after a failure, and
        waits until it says so."""
        cycles = self.log_text().count("power cycle")
        self.process.send_signal(signal.SIGUSR1)
        deadline = time.monotonic() + LPCSIM_START_S
        while self.log_text().count("power cycle") == cycles:
            if time.monotonic() > deadline:
                raise StageError("lpcsim did not power-cycle")
            time.sleep(0.05)

    def wait(self, timeout):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            if self.wait(LPCSIM_END_S) is None:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        self.process.stdout.close()

    def log_text(self):
        return self.log.read_text(errors="replace") if self.log.exists() else ""


def cli(stage, exe, arguments, timeout, extra_env=None):
    result = stage.run(["wine", exe] + arguments, timeout, extra_env)
    show("stdout", result.stdout)
    show("stderr", result.stderr)
    return result


def lines(data):
    return [line.rstrip("\r") for line in data.decode(errors="replace").split("\n")]


def flash_problem(device, image, part):
    """Why the device's flash is not image followed by erased bytes, or None."""
    flash = device.flash.read_bytes()
    expected = image + bytes([ERASED]) * (FLASH_SIZES[part] - len(image))
    if len(flash) != len(expected):
        return f"the flash dump holds {len(flash)} bytes, the part {len(expected)}"
    if flash != expected:
        first = next(i for i, (a, b) in enumerate(zip(flash, expected)) if a != b)
        return (f"flash differs at offset {first}: "
                f"{flash[first]:#04x} instead of {expected[first]:#04x}")
    return None


def successful_update(stage, args, device):
    if args.reset:
        # Wine's serial layer drives DTR and RTS with TIOCMGET and TIOCMSET on the COM
        # port's tty, which the preloaded bridge passes to lpcsim's pins.
        result = cli(stage, args.cli, ["--port", args.port, "--reset", args.reset, "--fast",
                                       "--baud", "230400"], UPDATE_S,
                     {"LD_PRELOAD": device.preload})
    else:
        # The options given, or the low speed.
        line = args.option if args.option else ["--speed", "low"]
        result = cli(stage, args.cli, ["--port", args.port] + line, UPDATE_S)
    if result.returncode != 0:
        return f"the update exited with {result.returncode}"
    if SUCCESS not in lines(result.stdout):
        return f'no "{SUCCESS}" on standard output'
    if device.wait(LPCSIM_END_S) is None:
        return "the device did not end after the go command or the reset"
    if args.reset:
        log = device.log_text()
        steps = ["pins: RESET low, P0.14 low", "pins: RESET high, P0.14 low",
                 "pins: RESET high, P0.14 high", "pins: RESET low, P0.14 high",
                 "the part runs its firmware"]
        at = 0
        for step in steps:
            at = log.find(step, at)
            if at < 0:
                return f'no "{step}" in the device\'s log, in its place'
    return flash_problem(device, patched(Path(args.image).read_bytes()), args.part)


def failed_update(stage, args, device):
    result = cli(stage, args.cli, ["--port", args.port, "--speed", "low"], UPDATE_S)
    if result.returncode != 1:
        return f"the failed update exited with {result.returncode}, not 1"
    if args.expect_failure not in lines(result.stderr):
        return f'no "{args.expect_failure}" on standard error'
    if SUCCESS in lines(result.stdout):
        return "a failed update reported success"
    if "fault " not in device.log_text():
        return "the device never injected the fault"
    return None


def run_update(stage, args):
    with tempfile.TemporaryDirectory(dir=stage.root) as workdir, ExitStack() as stack:
        stage.open_session()
        stack.callback(stage.close_session)
        stack.callback(stage.unplug, args.port)
        device = Lpcsim(stage, args.lpcsim, args.port, args.part, args.fault, Path(workdir),
                        args.reset)
        stack.callback(device.stop)
        problem = None
        if args.expect_failure:
            problem = failed_update(stage, args, device)
            if not problem and args.then_update:
                # Back in upgrade mode, the same device takes the next update on the same
                # port: the failed one gave the port back.
                device.power_cycle()
        if not problem and (not args.expect_failure or args.then_update):
            problem = successful_update(stage, args, device)
        if problem:
            show("lpcsim log (last lines)", "\n".join(device.log_text().splitlines()[-15:]))
            return fail(problem)
        return 0


def run_list_ports(stage, args):
    with tempfile.TemporaryDirectory(dir=stage.root) as workdir, ExitStack() as stack:
        stage.open_session()
        stack.callback(stage.close_session)
        stack.callback(stage.unplug, args.port)
        device = Lpcsim(stage, args.lpcsim, args.port, 196389, [], Path(workdir))
        stack.callback(device.stop)
        result = cli(stage, args.cli, ["--list-ports"], LIST_S)
        if result.returncode != 0:
            return fail(f"--list-ports exited with {result.returncode}")
        names = [line.split()[0] for line in lines(result.stdout) if line.strip()]
        if names != [args.port]:
            return fail(f"--list-ports listed {names}; only {args.port} is plugged in")
        if not re.search(r"\\\\\.\\" + args.port + r"\s*$", lines(result.stdout)[0]):
            return fail(f"--list-ports does not name the device \\\\.\\{args.port}")
        return 0


# line: two boards at once through the supervisor and its workers, one refusing the unlock.

LINE_PART = 196389
UNLOCK_FAILURE = "Software upgrade failed. Could not unlock device."


def run_line(stage, args):
    with tempfile.TemporaryDirectory(dir=stage.root) as workdir, ExitStack() as stack:
        stage.open_session()
        stack.callback(stage.close_session)
        devices = {}
        for port, faults in ((args.port, []), (args.failing, ["unlock=status:15"])):
            stack.callback(stage.unplug, port)
            devices[port] = Lpcsim(stage, args.lpcsim, port, LINE_PART, faults, Path(workdir))
            stack.callback(devices[port].stop)
        record = Path(workdir) / "boards.jsonl"
        result = cli(stage, args.cli, ["--port", args.port, "--port", args.failing,
                                       "--speed", "low", "--log", "Z:" + str(record)], UPDATE_S)
        out = lines(result.stdout)
        problem = None
        if result.returncode != 1:
            problem = f"the run exited with {result.returncode}, not 1"
        elif not any(re.match(rf"{args.port} +passed .*{re.escape(SUCCESS)}$", l) for l in out):
            problem = f"the summary does not show {args.port} passed"
        elif not any(re.match(rf"{args.failing} +failed .*{re.escape(UNLOCK_FAILURE)}$", l)
                     for l in out):
            problem = f"the summary does not show {args.failing} failed"
        elif f"{args.failing}: {UNLOCK_FAILURE}" not in lines(result.stderr):
            problem = "the failure is not on standard error with its port"
        elif devices[args.port].wait(LPCSIM_END_S) is None:
            problem = "the passing device did not end after the go command"
        else:
            problem = flash_problem(devices[args.port], patched(Path(args.image).read_bytes()),
                                    LINE_PART)
        if not problem:
            devices[args.failing].stop()
            problem = flash_problem(devices[args.failing], b"", LINE_PART)
        if not problem:
            results = [json.loads(l)["result"] for l in record.read_text().splitlines()]
            if sorted(results) != ["failed", "passed"]:
                problem = f"the record holds {results}"
        if not problem:
            problem = interrupted_line(stage, args, Path(workdir), stack)
        if problem:
            for port, device in devices.items():
                show(f"lpcsim log of {port} (last lines)",
                     "\n".join(device.log_text().splitlines()[-15:]))
            return fail(problem)
        return 0


def interrupted_line(stage, args, workdir, stack):
    """Ctrl-C (SIGINT, which Wine turns into a console control event) in the middle of two
    updates: both workers end, both boards are left incomplete, and the run says so."""
    devices = []
    for port in (args.port, args.failing):
        devices.append(Lpcsim(stage, args.lpcsim, port, LINE_PART, [], workdir))
        stack.callback(devices[-1].stop)
    out_path = workdir / "interrupted.out"
    with open(out_path, "wb") as out, tempfile.TemporaryFile() as err:
        process = subprocess.Popen(["wine", args.cli, "--port", args.port, "--port",
                                    args.failing, "--speed", "low"], env=stage.env(),
                                   stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                   start_new_session=True)
        try:
            deadline = time.monotonic() + UPDATE_S
            while not all(f"{port}: progress 5%".encode() in out_path.read_bytes()
                          for port in (args.port, args.failing)):
                if time.monotonic() > deadline or process.poll() is not None:
                    return "the two updates did not get under way"
                time.sleep(0.05)
            process.send_signal(signal.SIGINT)
            status = process.wait(LPCSIM_END_S)
        except subprocess.TimeoutExpired:
            return "the interrupted run did not end"
        finally:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        err.seek(0)
        show("stderr of the interrupted run", err.read())
    out = lines(out_path.read_bytes())
    show("stdout of the interrupted run", "\n".join(out[-4:]))
    if status != 130:
        return f"the interrupted run exited with {status}, not 130"
    if f"Left incomplete: {args.port}, {args.failing}" not in out:
        return "the summary does not name both boards as left incomplete"
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    for name in ("setup", "cleanup"):
        commands.add_parser(name).add_argument("stage")

    gtest = commands.add_parser("gtest")
    gtest.add_argument("stage")
    gtest.add_argument("exe")
    gtest.add_argument("--scripted", metavar="DATA,CONTROL",
                       help="a scripted device on DATA, told what to do over CONTROL")
    gtest.add_argument("--pty", action="append", default=[], metavar="COMn")
    gtest.add_argument("--directory", action="append", default=[], metavar="COMn")
    gtest.add_argument("--file", action="append", default=[], metavar="COMn")
    gtest.add_argument("--timeout", type=float, default=120)

    for name in ("update", "list-ports", "line"):
        update = commands.add_parser(name)
        update.add_argument("stage")
        update.add_argument("--cli", required=True)
        update.add_argument("--lpcsim", required=True)
        update.add_argument("--port", required=True)
        if name == "line":
            update.add_argument("--failing", required=True, metavar="COMn")
            update.add_argument("--image", required=True)
        if name == "update":
            update.add_argument("--part", type=int, choices=sorted(FLASH_SIZES), required=True)
            update.add_argument("--image", required=True)
            update.add_argument("--fault", action="append", default=[])
            update.add_argument("--option", action="append", default=[],
                                help="an option of the successful update instead of --speed low")
            update.add_argument("--expect-failure", metavar="MESSAGE")
            update.add_argument("--reset", metavar="WIRING",
                                help="the device's pins driven through the bridge, and the "
                                     "update resetting it hands-free")
            update.add_argument("--then-update", action="store_true",
                                help="after the failure, power-cycle the device and update it")

    args = parser.parse_args()
    # Ended from outside (a CTest time-out), the run still ends what it started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    stage = Stage(args.stage)
    try:
        if args.command == "setup":
            started = time.monotonic()
            stage.create()
            print(f"Wine stage ready in {time.monotonic() - started:.0f} s: {stage.root}")
            return 0
        if args.command == "cleanup":
            stage.remove()
            return 0
        stage.check()
        if args.command in ("update", "list-ports", "line") and \
                not os.access(args.lpcsim, os.X_OK):
            return fail(f"no lpcsim at {args.lpcsim}: build the default preset first")
        if args.command == "gtest":
            return run_gtest(stage, args)
        if args.command == "update":
            return run_update(stage, args)
        if args.command == "line":
            return run_line(stage, args)
        return run_list_ports(stage, args)
    except StageError as error:
        return fail(str(error))


if __name__ == "__main__":
    sys.exit(main())
