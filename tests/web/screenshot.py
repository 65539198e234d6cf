"""Takes docs/browser-console.png: a fleet of three terminals whose hosts
have written to them, on the fleet page in headless chromium.

    ETHERNET_BINARY=build/src/ethernet /usr/bin/python3 tests/web/screenshot.py docs/browser-console.png
"""

import pathlib
import sys
import tempfile

from selenium.webdriver.common.by import By

from webtools import Host, chromium, make_fleet, start, wait_for

SCREENS = {
    "t001": ("PESAGEM  LOTE 4471", "PESO: 12,450 kg   OK"),
    "t002": ("OPERADOR: 0173", "LEIA O CODIGO DE BARRAS"),
    "t003": ("APONTAMENTO DE PARADA", "MOTIVO? 1-SETUP 2-FALTA"),
}


def main(out):
    tmp = pathlib.Path(tempfile.mkdtemp())
    hosts = [Host() for _ in SCREENS]
    make_fleet(tmp / "shop", hosts)
    process = start(tmp / "shop")
    driver = None
    try:
        for host, (first, second) in zip(hosts, SCREENS.values()):
            host.accept()
            # The first line filled to its 40 columns: the text goes on on the second.
            host.show(first.ljust(40) + second)
        driver = chromium(str(tmp / "profile"), 1100, 420)
        driver.get(process.ready["web"]["operate"])
        wait_for(lambda: driver.find_element(By.CSS_SELECTOR, '[data-terminal="t003"] [data-line="2"]').text
                 .startswith("MOTIVO"), what="the three screens")
        driver.save_screenshot(out)
    finally:
        if driver is not None:
            driver.quit()
        process.stop()
        for host in hosts:
            host.close()


if __name__ == "__main__":
    main(sys.argv[1])
