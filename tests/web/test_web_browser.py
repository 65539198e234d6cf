"""The terminals in a real browser (Debian's chromium through chromium-driver):
a fleet of three terminals whose hosts write to them, watched, operated and
viewed from the program's own page, and the page coming back by itself after
the program restarts."""

import shutil

import pytest

pytest.importorskip("selenium")
if not shutil.which("chromedriver") or not shutil.which("chromium"):
    pytest.skip("chromium and chromium-driver are not installed", allow_module_level=True)

from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

from webtools import Host, chromium, config, ec, make_fleet, start, wait_for  # noqa: E402


def line(driver, terminal, n):
    return driver.find_element(By.CSS_SELECTOR, f'[data-terminal="{terminal}"] [data-line="{n}"]').text


@pytest.fixture
def shop(tmp_path):
    hosts = [Host() for _ in range(3)]
    names = make_fleet(tmp_path / "shop", hosts)
    token_file = tmp_path / "tokens.json"
    process = start(tmp_path / "shop", extra=["--web-tokens", str(token_file)])
    for host in hosts:
        host.accept()
    driver = chromium(str(tmp_path / "profile"))
    yield tmp_path, process, hosts, names, driver, token_file
    driver.quit()
    process.stop()
    for host in hosts:
        host.close()


def test_the_fleet_page_follows_every_write_and_a_click_reaches_the_host(shop):
    tmp_path, process, hosts, names, driver, _ = shop
    for host, name in zip(hosts, names):
        host.show(f"HELLO {name}")
    driver.get(process.ready["web"]["operate"])
    wait_for(lambda: len(driver.find_elements(By.CSS_SELECTOR, "[data-terminal]")) == 3, what="three tiles")
    for name in names:
        wait_for(lambda: line(driver, name, 1).startswith(f"HELLO {name}"), what=f"{name}'s first write")
    assert driver.find_element(By.ID, "count").text == "3 terminals"
    # Later writes appear without a reload.
    for round_ in range(3):
        for host, name in zip(hosts, names):
            host.show(f"ROUND {round_} {name}")
        for name in names:
            wait_for(lambda: line(driver, name, 1).startswith(f"ROUND {round_} {name}"), what=f"round {round_}")
    # The filter finds by name and by what the display shows.
    search = driver.find_element(By.CSS_SELECTOR, "input[type=search]")
    search.send_keys("ROUND 2 t002")
    wait_for(lambda: [e.get_attribute("data-terminal") for e in driver.find_elements(By.CSS_SELECTOR, "[data-terminal]")]
             == ["t002"], what="the filter")
    search.clear()
    search.send_keys("disconnected")
    wait_for(lambda: driver.find_elements(By.CSS_SELECTOR, "[data-terminal]") == [], what="no tile disconnected")

    # A terminal added while the program runs comes; removed, it goes.
    control = ec.connect(process.ready["control"])
    try:
        control.fleet_add(config(1), name="late")  # calls a port where nobody listens: disconnected
        wait_for(lambda: [e.get_attribute("data-terminal") for e in
                          driver.find_elements(By.CSS_SELECTOR, "[data-terminal]")] == ["late"], what="late listed")
        search.clear()
        search.send_keys(" ")
        wait_for(lambda: driver.find_element(By.ID, "count").text == "4 terminals", what="four terminals")
        control.fleet_remove("late")
        wait_for(lambda: driver.find_element(By.ID, "count").text == "3 terminals", what="three again")
        assert not driver.find_elements(By.CSS_SELECTOR, '[data-terminal="late"]')
    finally:
        control.close()

    # One terminal's page: its display, and a click on a key goes to its host only.
    driver.get(process.ready["web"]["operate"] + "&terminal=t002")
    wait_for(lambda: driver.find_element(By.CSS_SELECTOR, '#display [data-line="1"]').text.startswith("ROUND 2 t002"),
             what="the terminal page's display")
    assert len(driver.find_elements(By.CSS_SELECTOR, "#keyboard [data-key]")) == 42
    wait_for(lambda: driver.find_element(By.CSS_SELECTOR, '[data-key="7"]').is_enabled(), what="keys enabled")
    driver.find_element(By.CSS_SELECTOR, '[data-key="7"]').click()
    hosts[1].read_until(b"7")
    ActionChains(driver).send_keys("4").perform()  # the PC keyboard types too
    hosts[1].read_until(b"4")
    assert hosts[0].quiet_for(0.2) == b"" and hosts[2].quiet_for(0.2) == b""
    hosts[1].show("ANSWERED")
    wait_for(lambda: driver.find_element(By.CSS_SELECTOR, '#display [data-line="1"]').text.startswith("ANSWERED"),
             what="the host's answer")
    # Busy ticked in the page is the terminal's Busy.
    driver.find_element(By.ID, "busy").click()
    wait_for(lambda: driver.execute_async_script(
        "const done = arguments[0]; window.ethernetConsole.request('state', {terminal: 't002'})"
        ".then(s => done(s.busy))"), what="Busy set")


def test_the_view_link_shows_and_a_key_forced_in_the_page_never_reaches_the_host(shop):
    tmp_path, process, hosts, names, driver, _ = shop
    hosts[0].show("VIEW ONLY")
    driver.get(process.ready["web"]["view"] + "&terminal=t001")
    wait_for(lambda: driver.find_element(By.CSS_SELECTOR, '#display [data-line="1"]').text.startswith("VIEW ONLY"),
             what="the display in the viewer")
    wait_for(lambda: driver.find_element(By.ID, "access").text == "view only", what="view only")
    key = driver.find_element(By.CSS_SELECTOR, '[data-key="7"]')
    assert not key.is_enabled()
    # Forced: enabled again and clicked from script; the program refuses it.
    driver.execute_script("arguments[0].disabled = false; arguments[0].click();", key)
    wait_for(lambda: "forbidden" in driver.find_element(By.ID, "term-error").text, what="the refusal shown")
    refused = driver.execute_async_script(
        "const done = arguments[0]; window.ethernetConsole.request('key', {terminal: 't001', key: '8'})"
        ".then(() => done('sent'), e => done(e.code))")
    assert refused == "forbidden"
    assert hosts[0].quiet_for(0.5) == b""


def test_the_page_comes_back_by_itself_when_the_program_restarts_on_the_same_port(shop):
    tmp_path, process, hosts, names, driver, token_file = shop
    driver.get(process.ready["web"]["operate"])
    wait_for(lambda: driver.find_element(By.ID, "link").text == "live", what="live")
    port = process.ready["web"]["operate"].split(":")[2].split("/")[0]
    process.stop()
    wait_for(lambda: "lost" in driver.find_element(By.ID, "banner").text, what="the page saying the link is lost")
    assert driver.find_element(By.ID, "link").text == "offline"
    again = start(tmp_path / "shop", web=f"127.0.0.1:{port}", extra=["--web-tokens", str(token_file)])
    try:
        for host in hosts:
            host.conn.close()
            host.accept()
        wait_for(lambda: driver.find_element(By.ID, "link").text == "live", timeout=30, what="live again")
        hosts[2].show("BACK AGAIN")
        wait_for(lambda: line(driver, "t003", 1).startswith("BACK AGAIN"), what="a write after the restart")
    finally:
        again.stop()


def test_a_program_that_starts_with_no_terminal_shows_the_first_one_added(tmp_path):
    (tmp_path / "shop").mkdir()
    process = start(tmp_path / "shop")
    driver = chromium(str(tmp_path / "profile"))
    try:
        driver.get(process.ready["web"]["view"])
        wait_for(lambda: driver.find_element(By.ID, "count").text == "0 terminals", what="no terminal")
        control = ec.connect(process.ready["control"])
        control.fleet_add(config(1), name="first")
        control.close()
        wait_for(lambda: driver.find_elements(By.CSS_SELECTOR, '[data-terminal="first"]'), what="the first tile")
        assert driver.find_element(By.ID, "count").text == "1 terminal"
    finally:
        driver.quit()
        process.stop()
