"""Load test of the sample host (shopfloor_host.py) with Locust: each Locust
user is an operator at a terminal of its own, going through the host's menu.

    python3 samples/shopfloor_host.py --port 5001 &
    locust -f samples/locustfile.py --headless -u 200 -r 20 -t 60s --csv out --html report.html

Each transaction is timed by the emulator, from the first byte its keys send
to the host until the display shows the host's answer.
"""

import random

from locust import between, task

from ethernet_control.locust import TerminalUser


class Operator(TerminalUser):
    host = "127.0.0.1:5001"  # the sample host's default; --host overrides it
    protocol = "zorvane"
    wait_time = between(0.5, 1.5)
    timeout = 10.0

    def on_start(self):
        # The host draws its menu as soon as the terminal connects; nothing is
        # sent, so the time runs from the start of the wait.
        with self.transaction("menu shown", until={"display": r"1 Codigo"}, timeout=self.timeout):
            pass

    @task
    def round_of_the_menu(self):
        # Each step waits for a first line the step before did not leave there.
        with self.transaction("menu 1: ask for a code", until={"display": r"^Passe o codigo"}, timeout=self.timeout):
            self.terminal.key("1")
        code = "%06d" % random.randrange(1000000)
        with self.transaction("code typed", until={"display": rf"^Codigo: {code} "}, timeout=self.timeout):
            self.terminal.type(code + "\r")
        with self.transaction("menu 4: status", until={"display": r"^Impressora "}, timeout=self.timeout):
            self.terminal.key("4")
        with self.transaction("menu 5: LEDs", until={"display": r"^LEDs acesos"}, timeout=self.timeout):
            self.terminal.key("5")
