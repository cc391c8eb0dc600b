"""The device end of the serial channel's tests under Wine: a pseudo-terminal whose master
answers as the test asks it to, told what to do over a second pseudo-terminal, the control
line. The Windows test program opens both as COM ports; the data line carries only what a
device would see.

Control commands, one line each, answered by one line:

  send HEX [PAUSE_MS HEX]...  write the bytes to the data line, pausing between the
                              pieces; answered "ok" at once, the pieces follow
  receive COUNT WITHIN_MS     what arrived on the data line, up to COUNT bytes, waiting at
                              most WITHIN_MS for them: "got HEX"
  queued COUNT WITHIN_MS      waits at most WITHIN_MS until the host's end of the data line
                              holds COUNT bytes it has not read: "queued N", N as it was
                              at the end
  line                        the data line's settings as the host left them:
                              "line baud=N bits=N parity=none|even|odd stop=1|2
                              ixon=0|1 ixoff=0|1 crtscts=0|1"
"""

import fcntl
import os
import select
import struct
import termios
import threading
import time
import tty

BAUD_RATES = {getattr(termios, f"B{rate}"): rate
              for rate in (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400,
                           921600)}
DATA_BITS = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}


class Terminal:
    """A pseudo-terminal in raw mode; the slave stays open here as well, so that the host
    closing and reopening its end never hangs the line up."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)

    def close(self):
        os.close(self.master)
        os.close(self.slave)


class ScriptedDevice:
    def __init__(self):
        self.data = Terminal()
        self.control = Terminal()
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.error = None

    def start(self):
        self.thread.start()

    def stop(self):
        self.stopping.set()
        self.thread.join(5)
        self.data.close()
        self.control.close()

    def _serve(self):
        pending = b""
        try:
            while not self.stopping.is_set():
                ready, _, _ = select.select([self.control.master], [], [], 0.1)
                if not ready:
                    continue
                pending += os.read(self.control.master, 4096)
                while b"\n" in pending:
                    line, pending = pending.split(b"\n", 1)
                    reply = self._answer(line.decode("ascii").strip())
                    os.write(self.control.master, reply.encode("ascii") + b"\n")
        except Exception as error:  # reported by the driver after the run
            self.error = error

    def _answer(self, command):
        words = command.split()
        if not words:
            return "error empty command"
        if words[0] == "send" and len(words) % 2 == 0:
            pieces = [bytes.fromhex(words[1])]
            pauses = []
            for pause, piece in zip(words[2::2], words[3::2]):
                pauses.append(int(pause) / 1000)
                pieces.append(bytes.fromhex(piece))
            os.write(self.data.master, pieces[0])
            if pauses:
                threading.Thread(target=self._send_later, args=(pauses, pieces[1:]),
                                 daemon=True).start()
            return "ok"
        if words[0] == "receive" and len(words) == 3:
            return "got " + self._receive(int(words[1]), int(words[2]) / 1000).hex()
        if words[0] == "queued" and len(words) == 3:
            return f"queued {self._queued(int(words[1]), int(words[2]) / 1000)}"
        if words[0] == "line" and len(words) == 1:
            return self._line()
        return "error unknown command " + command

    def _send_later(self, pauses, pieces):
        for pause, piece in zip(pauses, pieces):
            time.sleep(pause)
            os.write(self.data.master, piece)

    def _receive(self, count, within):
        deadline = time.monotonic() + within
        got = b""
        while len(got) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.data.master], [], [], left)
            if ready:
                got += os.read(self.data.master, count - len(got))
        return got

    def _queued(self, count, within):
        """The bytes sent to the host and not read by it yet: they wait in the input queue of
        the terminal's slave end, which the host shares with the slave held here."""
        deadline = time.monotonic() + within
        while True:
            queued = struct.unpack("i", fcntl.ioctl(self.data.slave, termios.FIONREAD,
                                                     struct.pack("i", 0)))[0]
            if queued >= count or time.monotonic() >= deadline:
                return queued
            time.sleep(0.001)

    def _line(self):
        iflag, _, cflag, _, _, ospeed, _ = termios.tcgetattr(self.data.slave)
        parity = "none"
        if cflag & termios.PARENB:
            parity = "odd" if cflag & termios.PARODD else "even"
        return (f"line baud={BAUD_RATES.get(ospeed, 0)} bits={DATA_BITS[cflag & termios.CSIZE]} "
                f"parity={parity} stop={2 if cflag & termios.CSTOPB else 1} "
                f"ixon={int(bool(iflag & termios.IXON))} ixoff={int(bool(iflag & termios.IXOFF))} "
                f"crtscts={int(bool(cflag & termios.CRTSCTS))}")
