"""The event loop is entered once. A terminal's waits are timed steps of its
own operations, so nothing in src/ runs a nested event loop or blocks the
thread, but for the window's modal dialogs and the few bounded calls listed
here with the reason they may stay."""

import os
import re

SOURCE = os.path.join(os.path.dirname(__file__), "..", "..", "src")

# What nests the event loop or stops the one thread.
NESTING = re.compile(r"\bQEventLoop\b|processEvents\s*\(|\bexec\s*\(|\bwaitFor[A-Z]\w*\s*\(|"
                     r"\b(?:u|m)?sleep\s*\(|QThread::\w*sleep")

# (file, text of the line) that may stay, and why.
ALLOWED = {
    ("main.cpp", "const int status = QCoreApplication::exec();"): "the one event loop of a headless run",
    ("main.cpp", "QCoreApplication::exec();"): "the one event loop of a replay",
    ("main.cpp", "const int status = QApplication::exec();"): "the one event loop of the window",
    ("ui/message_prompts.cpp", "box.exec();"): "a message box is modal",
    ("ui/emulator_app.cpp", "m_frmSerial->exec();"): "the serial settings dialog is modal",
    ("ui/output_log_view.cpp", "menu.exec(event->globalPos());"): "a context menu is modal",
    ("control/control_listener.cpp", "const bool live = probe.waitForConnected(200);"):
        "before listening: is a socket left behind still served",
    ("shell/serial_bridge.cpp", "if (m_port.bytesToWrite() > 0 && !m_port.waitForBytesWritten(kWriteWaitMs))"):
        "a real COM port's write, bounded, so its failure is reported with the byte",
}

# The dispatcher of large fleets is the event loop's own machinery.
DISPATCHER = ("fleet/epoll_dispatcher.h", "fleet/epoll_dispatcher.cpp")


def code_lines():
    for folder, _, files in os.walk(SOURCE):
        for name in files:
            if not name.endswith((".cpp", ".h")):
                continue
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, SOURCE).replace(os.sep, "/")
            if relative in DISPATCHER:
                continue
            with open(path, encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    code = line.split("//", 1)[0].strip()
                    if NESTING.search(code):
                        yield relative, number, code


def test_nothing_outside_the_modal_dialogs_nests_the_event_loop():
    found = [(relative, number, code) for relative, number, code in code_lines()
             if (relative, code) not in ALLOWED]
    assert found == [], "a wait must be a timed step of the terminal's operations: " + repr(found)


def test_every_allowance_is_still_needed():
    seen = {(relative, code) for relative, _, code in code_lines()}
    assert sorted(set(ALLOWED) - seen) == []
