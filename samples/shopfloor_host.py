#!/usr/bin/env python3
"""A tiny shop-floor host application for the data-collection terminal.

It is written as an example for host programmers: small, standard library
only, and commented where the terminal asks for care. It waits for the
terminal to connect (the terminal's Client role, "Conexao=1" in its
"Config.ini"), then:

  - clears the display and shows a menu on its two lines,
  - reads keys and echoes each one on the display,
  - 1: asks for a barcode (or a code typed on the keys) and shows it,
  - 2: asks the scale for a weight (ENQ out of the serial interface),
  - 3: prints a ticket on the printer interface,
  - 4: queries the terminal's status (Zorvane only; VT100 has no replies),
  - 5: lights the next LED pattern,
  - 0: says goodbye and closes the connection,

and shows every change of the digital inputs. It speaks either protocol:

    python3 shopfloor_host.py --port 5001 --protocol zorvane
    python3 shopfloor_host.py --port 5001 --protocol vt100

What it does is also written to standard output, one line per event, so that
a test (or you) can follow the session. The byte-level reference is
docs/host-guide.md.
"""

import argparse
import socket
import sys
import threading
import time

STX, ETX, ENQ, LF, CR, ESC = b"\x02", b"\x03", b"\x05", b"\x0a", b"\x0d", b"\x1b"
WIDTH = 40  # characters per display line

MENU = ("1 Codigo  2 Peso  3 Ticket  4 Status",
        "5 LEDs  0 Fim")
TICKET_TITLE = "SHOPFLOOR DEMO"

# The next build of the application (--variant): one menu text and one
# ticket line changed, as a host team's new release would change them.
VARIANT_MENU = ("1 Codigo  2 Peso  3 Ticket  4 Status",
                "5 LEDs  0 Sair")
VARIANT_TICKET_TITLE = "SHOPFLOOR DEMO 2.0"


def log(*words):
    print(*words, flush=True)


class Zorvane:
    """The maker's framed protocol: STX, a command letter, operands, ETX."""

    name = "zorvane"
    has_status = True

    def clear(self):
        return STX + b"L" + ETX

    def show(self, row, text):
        # "C" takes a one-digit row and a two-digit column, counted from 0.
        return STX + b"C" + b"%d00" % (row - 1) + ETX + STX + b"D" + text + ETX

    def leds(self, mask):
        return STX + b"G" + bytes([mask]) + ETX

    def serial_byte(self, b):
        return STX + b"S" + b + ETX

    def print_byte(self, b):
        return STX + b"P" + b + ETX

    def status_query(self):
        # "T" consumes the two bytes after its letter: the spare ETX keeps it
        # from swallowing the STX of a command sent right after it.
        return STX + b"T" + ETX + ETX


class Vt100:
    """The VT100 subset: plain text and a few escape sequences. No replies."""

    name = "vt100"
    has_status = False

    def clear(self):
        return ESC + b"[J"

    def show(self, row, text):
        # Row and column counted from 1; the column must have two digits.
        return ESC + b"[%02d;01H" % row + text

    def _to(self, destination, data):
        # Choose where printer-controller mode sends bytes, switch it on,
        # send, switch it off again so that text goes to the display.
        return ESC + b"[?25" + destination + ESC + b"[5i" + data + ESC + b"[4i"

    def leds(self, mask):
        # Each byte is a mask; the digits "0".."?" are the masks 0..15.
        return self._to(b"c", bytes([0x30 + mask]))

    def serial_byte(self, b):
        return self._to(b"h", b)

    def print_text(self, text):
        return self._to(b"l", text)


class Terminal:
    """One connected terminal: sends commands, and turns the byte stream it
    sends back into events. The terminal sends keys, replies and readings as
    they happen, in pieces of any size, so everything is read into a buffer
    and taken apart from there; a read is never assumed to be one key."""

    def __init__(self, sock, protocol):
        self.sock = sock
        self.protocol = protocol
        self.buffer = b""
        self.pending = []  # events that arrived while we waited for something else

    def send(self, data):
        # One sendall per command group: the terminal interprets each delivery
        # on its own, and a command cut in two would be lost.
        self.sock.sendall(data)

    def show(self, row, text):
        self.send(self.protocol.show(row, text.encode("cp1252")[:WIDTH].ljust(WIDTH)))

    def _take_event(self):
        """The first complete event in the buffer, or None."""
        buf = self.buffer
        if not buf:
            return None
        if buf[:1] == b"@":
            # Input report: "@" and a state byte "0".."?" (bits 0..3 = inputs).
            if len(buf) < 2:
                return None
            self.buffer = buf[2:]
            return ("inputs", buf[1] - 0x30)
        if buf[:2] == STX + ESC:
            # Zorvane reply or status frame: STX ESC byte letter ETX.
            if len(buf) < 5:
                return None
            self.buffer = buf[5:]
            return ("reply", chr(buf[3]), buf[2])
        if buf[:1] == STX:
            # A scale reading: the demo's readings are framed STX ... ETX.
            end = buf.find(ETX)
            if end < 0:
                return None
            self.buffer = buf[end + 1:]
            return ("reading", buf[1:end])
        if buf[:2] == ESC + b"O" and len(buf) >= 3:
            # A function key (point, then a digit, while function keys are on).
            self.buffer = buf[3:]
            return ("key", buf[:3])
        self.buffer = buf[1:]
        return ("key", buf[:1])

    def event(self, timeout=None):
        """The next event; None after `timeout` seconds or when the terminal left."""
        if self.pending:
            return self.pending.pop(0)
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            found = self._take_event()
            if found:
                return found
            remaining = None if deadline is None else deadline - time.monotonic()
            if remaining is not None and remaining <= 0:
                return None
            self.sock.settimeout(remaining)
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                return None
            if not data:
                raise ConnectionError("the terminal closed the connection")
            self.buffer += data

    def wait_for(self, kind, timeout, letter=None):
        """Waits for one kind of event; keys and input reports that arrive
        meanwhile (the operator does not wait for us) are kept for later."""
        deadline = time.monotonic() + timeout
        while True:
            found = self.event(max(0.0, deadline - time.monotonic()))
            if found is None:
                return None
            if found[0] == kind and (letter is None or found[1] == letter):
                return found
            self.pending.append(found)


class ShopFloor:
    """The application: a menu, and one handler per menu key."""

    def __init__(self, terminal, variant=False, delay=0.0):
        self.t = terminal
        self.p = terminal.protocol
        self.menu_lines = VARIANT_MENU if variant else MENU
        self.ticket_title = VARIANT_TICKET_TITLE if variant else TICKET_TITLE
        self.delay = delay  # seconds before answering a key
        self.code = ""
        self.weight = ""
        self.led_step = 0

    def menu(self):
        self.t.send(self.p.clear())
        self.t.show(1, self.menu_lines[0])
        self.t.show(2, self.menu_lines[1])

    def run(self):
        self.menu()
        while True:
            event = self.t.event()
            if event[0] == "inputs":
                on = [str(i) for i in range(4) if event[1] & (1 << i)]
                log("inputs", " ".join(on) or "none")
                self.t.show(2, "Entradas ligadas: " + (" ".join(on) or "nenhuma"))
                continue
            if event[0] != "key":
                continue  # a late reply or reading: nobody is waiting for it
            key = event[1].decode("cp1252")
            log("key", repr(key))
            if self.delay:
                time.sleep(self.delay)  # a slow host: the terminal must wait, not guess
            self.t.show(2, "Tecla: " + key.strip())  # echo: the terminal does not
            action = {"1": self.read_code, "2": self.weigh, "3": self.ticket,
                      "4": self.status, "5": self.leds}.get(key)
            if key == "0":
                self.t.send(self.p.clear())
                self.t.show(1, "Ate logo!")
                log("bye")
                return
            if action:
                action()

    def read_code(self):
        """Collects a barcode, or a code typed on the keys, up to Enter (CR)."""
        self.t.show(1, "Passe o codigo e tecle Enter:")
        self.t.show(2, "")
        code = ""
        while True:
            event = self.t.event()
            if event[0] != "key":
                continue
            key = event[1]
            if key == CR:
                break
            if key == LF:
                continue  # a reader set to "CR + LF" sends both
            code += key.decode("cp1252")
            self.t.show(2, code)
        self.code = code
        log("code", code)
        self.t.show(1, "Codigo: " + code)
        self.t.show(2, self.menu_lines[1])

    def weigh(self):
        """ENQ out of the serial interface: the scale answers with a reading."""
        self.t.show(1, "Pesando...")
        self.t.send(self.p.serial_byte(ENQ))
        if self.p.has_status:
            # Zorvane answers the "S" frame before the byte leaves.
            reply = self.t.wait_for("reply", 3, letter="S")
            if reply is None or reply[2] != 0x01:
                log("weight", "serial interface busy")
                self.t.show(1, "Interface serial ocupada (CTS)")
                return
        reading = self.t.wait_for("reading", 3)
        if reading is None:
            # The operator has not switched the scale on ("Balanca" box).
            log("weight", "no answer")
            self.t.show(1, "A balanca nao respondeu")
            return
        # The demo scale sends STX, fields separated by byte 14, ETX.
        self.weight = reading[1].replace(b"\x14", b" ").decode("cp1252").strip()
        log("weight", self.weight)
        self.t.show(1, "Peso: " + self.weight)

    def ticket(self):
        lines = [self.ticket_title, "Codigo: " + (self.code or "-"),
                 "Peso:   " + (self.weight or "-"), "-" * 20]
        text = "".join(line + "\r\n" for line in lines).encode("cp1252")
        if self.p.has_status:
            # One "P" frame per byte; each is answered ready or busy.
            for i in range(len(text)):
                self.t.send(self.p.print_byte(text[i:i + 1]))
                reply = self.t.wait_for("reply", 3, letter="P")
                if reply is None or reply[2] != 0x01:
                    log("ticket", "printer busy")
                    self.t.show(1, "Impressora ocupada")
                    return
        else:
            self.t.send(self.p.print_text(text))
        log("ticket", "printed", len(lines), "lines")
        self.t.show(1, "Ticket impresso")

    def status(self):
        if not self.p.has_status:
            log("status", "not available in vt100")
            self.t.show(1, "Status: so no protocolo Zorvane")
            return
        self.t.send(self.p.status_query())
        reply = self.t.wait_for("reply", 3, letter="T")
        if reply is None:
            log("status", "no answer")
            return
        s = reply[2]
        printer = "ocupada" if s & 0x20 else "livre"
        serial = "bloqueada" if s & 0x08 else "livre"
        log("status", "printer", "busy" if s & 0x20 else "ready",
            "serial", "blocked" if s & 0x08 else "ready")
        self.t.show(1, "Impressora %s, serial %s" % (printer, serial))

    def leds(self):
        patterns = [0b0001, 0b0010, 0b0100, 0b1000, 0b1111, 0b0000]
        mask = patterns[self.led_step % len(patterns)]
        self.led_step += 1
        self.t.send(self.p.leds(mask))
        lit = [str(i) for i in range(4) if mask & (1 << i)]
        log("leds", " ".join(lit) or "none")
        self.t.show(1, "LEDs acesos: " + (" ".join(lit) or "nenhum"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--address", default="127.0.0.1", help="address to listen on")
    parser.add_argument("--port", type=int, default=5001,
                        help="TCP port; 0 picks a free one (printed at start)")
    parser.add_argument("--protocol", choices=["zorvane", "vt100"], default="zorvane")
    parser.add_argument("--once", action="store_true",
                        help="end after the first session instead of waiting for the next")
    parser.add_argument("--variant", action="store_true",
                        help="the next release: one menu text and the ticket's title changed")
    parser.add_argument("--delay", type=int, default=0, metavar="MS",
                        help="wait MS milliseconds before answering each key (a slow host)")
    args = parser.parse_args()
    protocol = Zorvane() if args.protocol == "zorvane" else Vt100()

    server = socket.create_server((args.address, args.port))
    log("listening on %s:%d (%s)" % (args.address, server.getsockname()[1], protocol.name))
    while True:
        # In the Client role the terminal retries every half second until we
        # listen, and comes back a second after a lost connection.
        sock, peer = server.accept()
        log("terminal connected from %s:%d" % peer)
        if args.once:
            serve(sock, protocol, args)
            return 0
        # Many terminals at once (a shop floor, a load test): each its own session.
        threading.Thread(target=serve, args=(sock, protocol, args), daemon=True).start()


def serve(sock, protocol, args):
    try:
        with sock:
            ShopFloor(Terminal(sock, protocol), variant=args.variant, delay=args.delay / 1000.0).run()
    except OSError as error:
        log("connection lost:", error)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(0)
