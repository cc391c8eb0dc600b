"""A throw-away Wine prefix whose COM ports the tests plug devices into.

Every name COM1 to COM256 stands for a path of its own under the stage, ports/COMn, so
that no test can reach the machine's own /dev/ttyS*, ttyUSB* or ttyACM* nodes. Wine's
mount manager takes COM1 to COM255 from the mapping in HKLM\\Software\\Wine\\Ports and
gives the machine's first serial device the one name left, COM256; each session puts that
name's link back into the stage before any test program runs. What stands at ports/COMn
decides what a Windows program finds there:

- a unix socket file, the resting state: opening the port fails with ERROR_NO_SUCH_DEVICE,
  so the port is absent (a missing path would not do: Wine then opens its own device
  object for the mapped name, and the port would look present);
- a symbolic link to a pseudo-terminal: a serial port, with the device at the master end;
- a directory: opening fails with ERROR_ACCESS_DENIED, as a port held by another program;
- a regular file: the port opens, but it has no line settings.

The mapping is read by the wine server when it starts, so it is written once, when the
stage is made.
"""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

FIRST_PORT = 1
LAST_PORT = 256
# The mount manager ignores a mapping of COM256.
LAST_MAPPED_PORT = 255
# Where it looks for the machine's own serial ports, numbered from 0.
MACHINE_PORTS = ("/dev/ttyS%u", "/dev/ttyUSB%u", "/dev/ttyACM%u")

# Ample for the first boot of a prefix on a slow machine; later starts take a second.
BOOT_TIMEOUT_S = 150
SERVER_TIMEOUT_S = 30


class StageError(Exception):
    pass


def port_number(name):
    if not name.startswith("COM") or not name[3:].isdigit():
        raise StageError(f"not a COM port name: {name}")
    number = int(name[3:])
    if not FIRST_PORT <= number <= LAST_PORT:
        raise StageError(f"no such COM port: {name}")
    return number


class Stage:
    def __init__(self, root):
        self.root = Path(root).resolve()
        self.prefix = self.root / "prefix"
        self.ports = self.root / "ports"
        self.server = None

    def env(self):
        env = dict(os.environ)
        env.update(
            WINEPREFIX=str(self.prefix),
            WINEDEBUG="-all",
            # No Mono or Gecko: nothing here needs them, and their installers would ask.
            WINEDLLOVERRIDES="mscoree,mshtml=",
        )
        # The tests' programs are console programs; no window may open anywhere.
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        return env

    # The stage's life.

    def create(self):
        self.remove()
        self.ports.mkdir(parents=True)
        for number in range(FIRST_PORT, LAST_PORT + 1):
            self._rest(number)
        self._call(["wineboot", "-i"], BOOT_TIMEOUT_S)
        self._call(["wineserver", "-w"], BOOT_TIMEOUT_S)
        regfile = self.root / "ports.reg"
        lines = ["REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]"]
        for number in range(FIRST_PORT, LAST_MAPPED_PORT + 1):
            lines.append(f'"COM{number}"="{self.port_path(number)}"')
        regfile.write_text("\r\n".join(lines) + "\r\n")
        self._call(["wine", "regedit", "/S", str(regfile)], SERVER_TIMEOUT_S)
        # The mount manager reads the mapping when the next server starts.
        self._call(["wineserver", "-k"], SERVER_TIMEOUT_S, check=False)
        self._call(["wineserver", "-w"], SERVER_TIMEOUT_S)
        self.open_session()
        self.close_session()

    def remove(self):
        if self.prefix.exists():
            self._call(["wineserver", "-k"], SERVER_TIMEOUT_S, check=False)
        shutil.rmtree(self.root, ignore_errors=True)

    def check(self):
        if not (self.prefix / "system.reg").exists():
            raise StageError(f"no Wine stage at {self.root}: the setup test makes it")

    # A session: one wine server, in the foreground and owned by the test, so that it
    # outlives no test, and what it prints (it lists its objects when a terminal it holds
    # hangs up) goes to a log instead of the test's output.

    def open_session(self):
        started = time.time()
        log = open(self.root / "wineserver.log", "ab")
        self.server = subprocess.Popen(["wineserver", "-f", "-p"], env=self.env(),
                                       stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                       start_new_session=True)
        log.close()
        try:
            # The first program starts the mount manager, which makes every COM link anew.
            self._call(["wine", "cmd", "/c", "exit"], SERVER_TIMEOUT_S)
            self._confine_ports(started)
        except BaseException:
            self.close_session()
            raise

    def close_session(self):
        if not self.server:
            return
        self._call(["wineserver", "-k"], SERVER_TIMEOUT_S, check=False)
        try:
            self.server.wait(SERVER_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            os.killpg(self.server.pid, signal.SIGKILL)
            self.server.wait()
        self.server = None

    def _confine_ports(self, started):
        dosdevices = self.prefix / "dosdevices"
        # The links the mount manager makes last: the highest mapped name, then the names
        # of the machine's own ports, found as Wine finds them (by name; nothing is opened).
        made_last = [dosdevices / f"com{LAST_MAPPED_PORT}"]
        if any(os.path.exists(pattern % 0) for pattern in MACHINE_PORTS):
            made_last.append(dosdevices / f"com{LAST_PORT}")
        deadline = time.monotonic() + SERVER_TIMEOUT_S
        while not all(link.is_symlink() and link.lstat().st_ctime >= started - 1
                      for link in made_last):
            if time.monotonic() > deadline:
                raise StageError("the mount manager did not make the COM links")
            time.sleep(0.05)
        for number in range(FIRST_PORT, LAST_PORT + 1):
            link = dosdevices / f"com{number}"
            if link.is_symlink() and Path(os.readlink(link)).parent != self.ports:
                link.unlink()
                link.symlink_to(self.port_path(number))

    # What stands at a port.

    def port_path(self, port):
        number = port if isinstance(port, int) else port_number(port)
        return self.ports / f"COM{number}"

    def plug(self, port, target):
        """Makes port a link to target (a pseudo-terminal's slave, or a device's link)."""
        self._replace(port, lambda path: path.symlink_to(target))

    def plug_directory(self, port):
        self._replace(port, lambda path: path.mkdir())

    def plug_file(self, port):
        self._replace(port, lambda path: path.write_bytes(b"not a serial port\n"))

    def clear(self, port):
        """Leaves nothing at port's path, for a program that makes its own link there."""
        self._remove(self.port_path(port))

    def unplug(self, port):
        path = self.port_path(port)
        self._remove(path)
        self._rest(port)

    def _replace(self, port, make):
        path = self.port_path(port)
        self._remove(path)
        make(path)

    def _rest(self, port):
        # Bound relative to the directory: a socket's path is limited to 107 bytes.
        path = self.port_path(port)
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        cwd = os.getcwd()
        try:
            os.chdir(path.parent)
            sock.bind(path.name)
        finally:
            os.chdir(cwd)
            sock.close()

    @staticmethod
    def _remove(path):
        if path.is_dir() and not path.is_symlink():
            path.rmdir()
        elif path.exists() or path.is_symlink():
            path.unlink()

    # Running programs.

    def run(self, args, timeout, extra_env=None):
        """Runs args under the stage's environment and returns what it printed. On the
        deadline the program and every Windows process it left behind are ended, and the
        run counts as failed.

        Its output goes through files, not pipes: the helper processes that a Windows
        program starts (services, device drivers) inherit its output and live as long as
        the wine server, so a pipe would not see its end when the program ends."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            env = self.env()
            env.update(extra_env or {})
            process = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL,
                                       stdout=out, stderr=err, start_new_session=True)
            try:
                process.wait(timeout)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
                self._call(["wineserver", "-k"], SERVER_TIMEOUT_S, check=False)
                raise StageError(f"{' '.join(map(str, args[:2]))} did not end within "
                                 f"{timeout} s") from None
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(args, process.returncode, out.read(), err.read())

    def _call(self, args, timeout, check=True):
        started = time.monotonic()
        result = self.run(args, timeout)
        if check and result.returncode != 0:
            raise StageError(f"{' '.join(args)} failed after {time.monotonic() - started:.0f} s: "
                             f"{result.stderr.decode(errors='replace').strip()}")
        return result
