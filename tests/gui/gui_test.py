#!/usr/bin/env python3
"""The dialog program driven as a user drives it: sparwick.exe under Wine on a headless X
display, the simulated device behind a COM port of the Wine stage that tests/wine makes,
keys sent with xdotool, and what the dialogs show read back with guiprobe.exe.

  gui_test.py [options] SCENARIO        update, no-port, failure-retry, about-cancel or verify

Every wait has a deadline; whatever a scenario started (X server, window manager, wine
server and its programs, the simulated device) is ended when it ends, however it ends.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import time
from contextlib import ExitStack
from pathlib import Path

# The Wine stage and the simulated device as the Windows tests run them.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "wine"))
from run import ERASED, FLASH_SIZES, LPCSIM_END_S, Lpcsim, patched  # noqa: E402
from wine_stage import Stage, StageError  # noqa: E402

MAIN_TITLE = "Brumetor Sparwick v3.2.0"
PROGRESS_TITLE = "Flash Upgrade Progress"
ABOUT_TITLE = "About Norvane Brumetor Sparwick"
# Message boxes carry the program's name, as the framework titles them.
MESSAGE_TITLE = "sparwick"

SUCCESS = "Software successfully upgraded!"
FATAL = "Fatal Error. Contract Norvane for assistance."
SECTOR_FAILURE = "Software upgrade failed. Could not execute sector command."
VERIFY_FAILURE = "Software upgrade failed. Flash verify failed."
# The bit that the device flips in its second copy: 2048 bytes into block 1.
FIRST_DIFFERENCE = "First difference at offset 6144 (0x01800)"
VERIFYING = "Verifying the flash. Please wait..."

UPDATE_BUTTON = 1000
PORT_BOX = 1001
SPEED_BOX = 1002
PROGRESS_BAR = 1004
PROGRESS_MESSAGE = 1005
ABOUT_NOTICE = 1006
CANCEL_BUTTON = 2
MESSAGE_TEXT = 65535  # the static text of a message box

DEVICE_PORT = "COM1"
TAB_STOPS = 4  # the two boxes and the two buttons

# Deadlines, in seconds. An update at the low speed takes some fifteen seconds.
START_S = 60
SHORT_S = 10
UPDATE_S = 150
PART = 196389


class Failure(Exception):
    pass


STARTED = time.monotonic()


def note(text):
    """A line of the scenario's story, for the test's output when it fails."""
    print(f"{time.monotonic() - STARTED:8.2f} {text}", flush=True)


def check(condition, what):
    if not condition:
        raise Failure(what)


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"not within {timeout} s: {what}")
        time.sleep(0.1)


class GuiStage(Stage):
    """The Wine stage of the Windows tests, with the scenario's X display."""

    display = None

    def env(self):
        env = super().env()
        if self.display:
            env["DISPLAY"] = self.display
        return env


class Processes:
    """Background programs of one scenario, each in a session of its own, ended in the
    reverse order of their start."""

    def __init__(self, logs):
        self.logs = logs
        self.started = []

    def start(self, name, args, env=None, stdout=None):
        log = open(self.logs / f"{name}.log", "ab")
        process = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL,
                                   stdout=stdout or log, stderr=log, start_new_session=True)
        log.close()
        self.started.append((name, process))
        return process

    def stop(self, process, sig=signal.SIGTERM, timeout=SHORT_S):
        if process.poll() is None:
            try:
                os.killpg(process.pid, sig)
                process.wait(timeout)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
            except ProcessLookupError:
                pass

    def stop_all(self):
        for _, process in reversed(self.started):
            self.stop(process)


class Display:
    """A headless X server with a small window manager, so that windows get their title
    bars and frames as a user sees them."""

    def __init__(self, processes):
        self.processes = processes
        self.name = None

    def start(self):
        read_end, write_end = os.pipe()
        # -displayfd picks a free display and writes its number once the server is up.
        server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
             "-nolisten", "tcp"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=open(self.processes.logs / "xvfb.log", "ab"), pass_fds=(write_end,),
            start_new_session=True)
        self.processes.started.append(("xvfb", server))
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + SHORT_S
        os.set_blocking(read_end, False)
        while not number.endswith(b"\n"):
            if time.monotonic() > deadline or server.poll() is not None:
                raise Failure("the X server did not start")
            try:
                chunk = os.read(read_end, 16)
            except BlockingIOError:
                chunk = None
            if chunk == b"":
                raise Failure("the X server did not say its display")
            if chunk:
                number += chunk
            else:
                time.sleep(0.05)
        os.close(read_end)
        self.name = ":" + number.decode().strip()
        env = dict(os.environ, DISPLAY=self.name)
        config = Path(__file__).resolve().parent / "openbox-rc.xml"
        self.processes.start("openbox", ["openbox", "--sm-disable", "--config-file",
                                         str(config)], env=env)
        wait_until(lambda: self.xprop_root("_NET_SUPPORTING_WM_CHECK"), SHORT_S,
                   "the window manager runs")

    def env(self):
        return dict(os.environ, DISPLAY=self.name)

    def xprop_root(self, atom):
        result = subprocess.run(["xprop", "-root", atom], env=self.env(), capture_output=True,
                                text=True, timeout=SHORT_S)
        return result.returncode == 0 and "window id" in result.stdout

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *map(str, args)], env=self.env(),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=SHORT_S).returncode == 0

    def keys(self, window, *keys):
        for key in keys:
            note(f"key {key} to {window.title}")
            self.focus(window)
            check(self.xdotool("key", "--window", window.xid, key),
                  f"the key {key} reaches {window.title}")
            time.sleep(0.2)

    def focus(self, window):
        """The X focus, as a click on the window gives it: Wine takes the window with the
        X focus as the active one and hands it the keys."""
        if self.focused() == window.xid:
            return
        # A window that Wine has only just made may not be on the X server yet.
        wait_until(lambda: self.xdotool("windowfocus", "--sync", window.xid), SHORT_S,
                   f"{window.title} takes the focus")

    def focused(self):
        result = subprocess.run(["xdotool", "getwindowfocus"], env=self.env(),
                                capture_output=True, text=True, timeout=SHORT_S)
        return int(result.stdout) if result.returncode == 0 and result.stdout.strip() else None

    def closing_key(self, window, key):
        """A key that ends the window: it may be gone before the key is released, which
        xdotool reports as an error."""
        note(f"key {key} to {window.title}")
        self.focus(window)
        self.xdotool("key", "--window", window.xid, key)


    def screenshot(self, window, path):
        """The window with its frame, as it is on the screen now."""
        extents = subprocess.run(["xprop", "-id", str(window.xid), "_NET_FRAME_EXTENTS"],
                                 env=self.env(), capture_output=True, text=True,
                                 timeout=SHORT_S).stdout
        left = right = top = bottom = 0
        if "=" in extents:
            left, right, top, bottom = (int(v) for v in extents.split("=")[1].split(","))
        info = subprocess.run(["xwininfo", "-id", str(window.xid)], env=self.env(),
                              capture_output=True, text=True, timeout=SHORT_S).stdout
        geometry = {}
        for line in info.splitlines():
            key, _, value = line.strip().partition(":")
            geometry[key] = value.strip()
        x = int(geometry["Absolute upper-left X"]) - left
        y = int(geometry["Absolute upper-left Y"]) - top
        width = int(geometry["Width"]) + left + right
        height = int(geometry["Height"]) + top + bottom
        path.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["import", "-window", "root", "-crop", f"{width}x{height}+{x}+{y}",
                        "+repage", str(path)], env=self.env(), check=True, timeout=SHORT_S)


class Window:
    def __init__(self, title, fields):
        self.title = title
        self.xid = int(fields["xid"])
        self.enabled = fields["enabled"] == "1"
        self.topmost = fields["topmost"] == "1"


class Probe:
    """guiprobe.exe, run beside the dialog program under the same wine server."""

    def __init__(self, stage, exe):
        self.stage = stage
        self.exe = exe

    def call(self, *args, timeout=SHORT_S + 30):
        result = self.stage.run(["wine", self.exe, *map(str, args)], timeout)
        return result.returncode, result.stdout.decode(errors="replace")

    def wait(self, title, timeout):
        status, _ = self.call("wait", title, int(timeout * 1000), timeout=timeout + 30)
        check(status == 0, f'no window "{title}" within {timeout} s')
        return self.window(title)

    def gone(self, title, timeout):
        status, _ = self.call("gone", title, int(timeout * 1000), timeout=timeout + 30)
        check(status == 0, f'window "{title}" still there after {timeout} s')

    def exists(self, title):
        return self.call("wait", title, 0)[0] == 0

    def window(self, title):
        status, out = self.call("window", title)
        check(status == 0, f'no window "{title}"')
        return Window(title, dict(line.split("=", 1) for line in out.splitlines() if "=" in line))

    def combo(self, title, control, required=True):
        """The selected index and the items; with required False, None while the probe
        cannot read the box (Wine may be busy with the key that changes it)."""
        status, out = self.call("combo", title, control)
        if status != 0 and not required:
            return None
        check(status == 0, f"no combo box {control} in {title}")
        selected, items = None, []
        for line in out.splitlines():
            key, _, value = line.partition("=")
            if key == "selected":
                selected = int(value)
            elif key == "item":
                items.append(value)
        return selected, items

    def controls(self, title):
        status, out = self.call("controls", title)
        check(status == 0, f'no window "{title}"')
        found = []
        for line in out.splitlines():
            if line.startswith("control="):
                ident, kind, text = (line[len("control="):].split("\t") + ["", ""])[:3]
                found.append((int(ident), kind, text))
        return found

    def focus(self, title):
        status, out = self.call("focus", title)
        check(status == 0, f'no window "{title}"')
        value = out.strip().split("=")[1]
        return None if value == "none" else int(value)

    def progress(self, title):
        status, out = self.call("progress", title, PROGRESS_BAR)
        check(status == 0, "no progress bar")
        return int(out.strip().split("=")[1])


class Scenario:
    def __init__(self, options):
        self.options = options
        self.workdir = Path(options.work) / options.scenario
        shutil.rmtree(self.workdir, ignore_errors=True)
        self.workdir.mkdir(parents=True)
        self.processes = Processes(self.workdir)
        self.display = Display(self.processes)
        self.stage = GuiStage(options.stage)
        self.probe = Probe(self.stage, options.probe)
        self.program = None
        self.devices = []

    # The pieces every scenario has.

    def __enter__(self):
        self.stage.check()
        # Whatever an earlier run left plugged in (it may have been killed) is taken out.
        self.rest_all_ports()
        self.display.start()
        self.stage.display = self.display.name
        self.stage.open_session()
        return self

    def __exit__(self, *exc):
        with ExitStack() as stack:
            stack.callback(self.rest_all_ports)
            stack.callback(self.processes.stop_all)
            for device in self.devices:
                stack.callback(device.stop)
            stack.callback(self.stage.close_session)
        return False

    def rest_all_ports(self):
        for number in range(1, 257):
            self.stage.unplug(number)

    def start_program(self, *arguments):
        self.program = self.processes.start("sparwick",
                                            ["wine", self.options.exe, *arguments],
                                            env=self.stage.env())
        return self.probe.wait(MAIN_TITLE, START_S)

    def program_ends(self):
        try:
            self.program.wait(SHORT_S)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not end") from None
        check(self.program.returncode == 0, f"the program ended with {self.program.returncode}")

    def screenshot(self, title, name):
        if self.options.screenshots:
            self.display.screenshot(self.probe.window(title), Path(self.options.screenshots) / name)

    # What a user does.

    # The keyboard, as a user without a mouse works the dialog: Tab to the control, then
    # the arrow keys in a list or the space bar on a button.

    def tab_to(self, control):
        main = self.probe.window(MAIN_TITLE)
        for _ in range(TAB_STOPS + 1):
            if self.probe.focus(MAIN_TITLE) == control:
                return main
            self.display.keys(main, "Tab")
        raise Failure(f"Tab does not reach control {control}")

    def choose_low_speed(self):
        self.display.keys(self.tab_to(SPEED_BOX), "Down")
        wait_until(lambda: (self.probe.combo(MAIN_TITLE, SPEED_BOX, required=False) or (None,))[0]
                   == 1, SHORT_S, '"Low" is chosen')

    def press(self, button):
        self.display.keys(self.tab_to(button), "space")

    def message(self, timeout):
        """The message box that ends an update: its text, once it is up."""
        self.probe.wait(MESSAGE_TITLE, timeout)
        texts = [text for ident, _, text in self.probe.controls(MESSAGE_TITLE)
                 if ident == MESSAGE_TEXT]
        check(len(texts) == 1, "the message box has one text")
        note(f"message: {texts[0]}")
        return texts[0]

    def dismiss_message(self):
        # The space bar on the OK button: the box goes on the key's release. A key that
        # ends a window when pressed (Return, Escape) is released into no window, and Wine
        # then takes its next press for a repeat.
        self.close_with_key(MESSAGE_TITLE, "space")

    def close_with_key(self, title, key):
        # Wine hands a key to the window with the keyboard focus, whichever X window it was
        # sent to: sent too early, it would reach the window behind.
        wait_until(lambda: self.probe.focus(title) is not None, SHORT_S,
                   f'"{title}" has the keyboard focus')
        self.display.closing_key(self.probe.window(title), key)
        self.probe.gone(title, SHORT_S)

    def expect_message(self, text, timeout):
        shown = self.message(timeout)
        check(shown == text, f'message "{shown}", expected "{text}"')
        # The box is modal for the main dialog even when the progress dialog owns it.
        check(not self.probe.window(MAIN_TITLE).enabled, "the main dialog is disabled under it")

    def expect_idle(self):
        self.probe.gone(PROGRESS_TITLE, SHORT_S)
        wait_until(lambda: self.probe.window(MAIN_TITLE).enabled, SHORT_S,
                   "the main dialog is enabled again")

    def update_succeeds(self):
        progress = self.probe.wait(PROGRESS_TITLE, SHORT_S)
        check(progress.topmost, "the progress dialog stays on top")
        self.expect_message(SUCCESS, UPDATE_S)
        # The last report is that of the last block's start: never 100.
        position = self.probe.progress(PROGRESS_TITLE)
        check(0 < position < 100, f"the progress bar at {position} when the update ends")
        self.dismiss_message()
        self.expect_idle()

    def device(self, faults=()):
        """lpcsim behind the device's port; it ends once it has started the new firmware."""
        device = Lpcsim(self.stage, self.options.lpcsim, DEVICE_PORT, PART, list(faults),
                        self.workdir)
        self.devices.append(device)
        return device

    def flash_is_the_image(self, device):
        check(device.wait(LPCSIM_END_S) is not None, "the device ends after the go command")
        flash = device.flash.read_bytes()
        image = patched(Path(self.options.image).read_bytes())
        expected = image + bytes([ERASED]) * (FLASH_SIZES[PART] - len(image))
        check(len(flash) == len(expected), f"a flash of {len(flash)} bytes")
        if flash != expected:
            first = next(i for i, (a, b) in enumerate(zip(flash, expected)) if a != b)
            raise Failure(f"the device's flash differs from the image at offset {first}")

    # The scenarios.

    def update(self):
        """The port and speed boxes as they start, an update at the low speed, the flash."""
        device = self.device()
        # Two more ports, one of them held by another program: the box sorts by text.
        self.stage.plug_file("COM2")
        self.stage.plug_directory("COM10")
        main = self.start_program()
        check(self.probe.combo(MAIN_TITLE, PORT_BOX) == (0, ["COM1", "COM10", "COM2"]),
              f"port box {self.probe.combo(MAIN_TITLE, PORT_BOX)}")
        check(self.probe.combo(MAIN_TITLE, SPEED_BOX) == (0, ["High", "Low"]),
              f"speed box {self.probe.combo(MAIN_TITLE, SPEED_BOX)}")
        check(not main.topmost, "the main dialog is not always on top")
        self.screenshot(MAIN_TITLE, "main-dialog.png")
        self.choose_low_speed()
        self.press(UPDATE_BUTTON)
        self.probe.wait(PROGRESS_TITLE, SHORT_S)
        # The program answers between two blocks: the bar moves while the update runs.
        first = self.probe.progress(PROGRESS_TITLE)
        wait_until(lambda: self.probe.progress(PROGRESS_TITLE) > max(first, 30), UPDATE_S,
                   "the progress bar moves on")
        check(not self.probe.exists(MESSAGE_TITLE), "the update is still under way")
        self.screenshot(PROGRESS_TITLE, "progress-dialog.png")
        self.update_succeeds()
        self.press(CANCEL_BUTTON)
        self.program_ends()
        self.flash_is_the_image(device)

    def no_port(self):
        """No COM port at all: the update ends before any port is opened, as often as the
        user presses the button, and the dialog stays usable."""
        self.start_program()
        check(self.probe.combo(MAIN_TITLE, PORT_BOX) == (-1, []), "the port box is empty")
        for _ in range(2):
            self.press(UPDATE_BUTTON)
            self.expect_message(FATAL, SHORT_S)
            # The progress dialog was shown, and goes only once the message has been read.
            check(self.probe.exists(PROGRESS_TITLE), "the progress dialog is still up")
            self.dismiss_message()
            self.expect_idle()
        self.close_with_key(MAIN_TITLE, "Escape")
        self.program_ends()

    def failure_retry(self):
        """A device failure shows its own message; once the device has been restarted, a
        second press runs a whole new update that succeeds."""
        device = self.device(faults=["erase=status:9"])
        self.start_program()
        self.choose_low_speed()
        self.press(UPDATE_BUTTON)
        self.expect_message(SECTOR_FAILURE, UPDATE_S)
        self.dismiss_message()
        self.expect_idle()
        device.power_cycle()
        self.press(UPDATE_BUTTON)
        self.update_succeeds()
        self.press(CANCEL_BUTTON)
        self.program_ends()
        self.flash_is_the_image(device)

    def open_about(self, main):
        self.display.keys(main, "alt+space", "Up", "Return")
        self.probe.wait(ABOUT_TITLE, SHORT_S)

    def about_cancel(self):
        """The system menu's last item opens the About box; Cancel ends the program."""
        main = self.start_program()
        self.open_about(main)
        texts = [text for _, kind, text in self.probe.controls(ABOUT_TITLE) if kind == "Static"]
        check("Norvane Brumetor Sparwick v3.2.0" in texts, f"About box texts {texts}")
        check(any(text.startswith("Copyright") for text in texts), f"About box texts {texts}")
        check(not self.probe.window(MAIN_TITLE).enabled, "the About box is modal")
        self.screenshot(ABOUT_TITLE, "about-box.png")
        self.close_with_key(ABOUT_TITLE, "space")
        check(self.probe.window(MAIN_TITLE).enabled, "the main dialog is enabled again")
        self.press(CANCEL_BUTTON)
        self.probe.gone(MAIN_TITLE, SHORT_S)
        self.program_ends()

    def verify(self):
        """/fast and /verify on the command line: the update reads the flash back as a
        second phase of the progress dialog, and a copy that went wrong ends in the box
        that names the first difference, with the firmware not started. The About box
        says what the updates do."""
        device = self.device(faults=["copy#2=corrupt"])
        main = self.start_program("/fast", "/verify")
        self.press(UPDATE_BUTTON)
        shown = self.message(UPDATE_S)
        check(shown.startswith(VERIFY_FAILURE) and FIRST_DIFFERENCE in shown,
              f'message "{shown}"')
        # The progress dialog stays up under the box, as the read-back left it.
        texts = {ident: text for ident, _, text in self.probe.controls(PROGRESS_TITLE)}
        check(texts.get(PROGRESS_MESSAGE) == VERIFYING, f"progress dialog texts {texts}")
        self.dismiss_message()
        self.expect_idle()
        check(device.wait(0) is None, "the device was not started")
        self.open_about(main)
        notice = {ident: text for ident, _, text in self.probe.controls(ABOUT_TITLE)}
        check(notice.get(ABOUT_NOTICE) == "Fast, verified updates", f"About box texts {notice}")
        self.close_with_key(ABOUT_TITLE, "space")
        self.press(CANCEL_BUTTON)
        self.program_ends()


SCENARIOS = {
    "update": Scenario.update,
    "no-port": Scenario.no_port,
    "failure-retry": Scenario.failure_retry,
    "about-cancel": Scenario.about_cancel,
    "verify": Scenario.verify,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stage", required=True, help="the Wine stage's folder")
    parser.add_argument("--work", required=True, help="where a scenario keeps its logs")
    parser.add_argument("--exe", required=True, help="sparwick.exe")
    parser.add_argument("--probe", required=True, help="guiprobe.exe")
    parser.add_argument("--lpcsim", required=True, help="the simulated device's program (Linux)")
    parser.add_argument("--image", required=True, help="the firmware image the program carries")
    parser.add_argument("--screenshots", help="where to save pictures of the dialogs")
    parser.add_argument("scenario", choices=SCENARIOS)
    options = parser.parse_args()
    # Ended from outside (a CTest time-out), the scenario still ends what it started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    try:
        if not os.access(options.lpcsim, os.X_OK):
            raise Failure(f"no lpcsim at {options.lpcsim}: build the default preset first")
        with Scenario(options) as scenario:
            SCENARIOS[options.scenario](scenario)
    except (Failure, StageError, subprocess.SubprocessError, OSError) as error:
        print(f"FAIL {options.scenario}: {error}", file=sys.stderr)
        return 1
    print(f"ok {options.scenario}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
