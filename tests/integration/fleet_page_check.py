#!/usr/bin/python3
"""Looks at the system observer's page in headless Chromium for fleet_page_test.cpp:
  fleet_page_check.py URL LOOK_FIRST ALL CHANGING AXE_CORE
LOOK_FIRST and ALL are comma-separated machine names; AXE_CORE is axe-core's axe.min.js. Prints
"waiting for a new sample of CHANGING" once the first view is checked, then a line "FAIL reason"
for each fault, or "PASS"."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import browser  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

ROW_NAMES = "return [...document.querySelectorAll('#fleet tbody tr')].map((row) => row.dataset.machine)"
# Column 2 holds the free physical memory: its figure and its sparkline.
FREE_PHYSICAL = "return document.querySelector(`tr[data-machine='${arguments[0]}'] td:nth-child(3) .figure span`).textContent"
INKED = """const canvas = document.querySelector(`tr[data-machine='${arguments[0]}'] td:nth-child(3) canvas`);
           const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
           return pixels.some((value, i) => i % 4 === 3 && value > 0)"""
ROW = "return document.querySelector(`tr[data-machine='${arguments[0]}']`)"
PAST_THE_WINDOW = "return [...document.querySelectorAll('#fleet td')].some((cell) => cell.getBoundingClientRect().right > innerWidth)"
SORTED_BY = "return [...document.querySelectorAll('[aria-sort]')].map((th) => `${th.dataset.sort} ${th.getAttribute('aria-sort')}`).join()"
MACHINE_VIEW = "const dialog = document.querySelector('#machine'); return dialog.open ? dialog.querySelector('h2').textContent : null"
SERIOUS = """axe.run(document).then((result) => arguments[0](result.violations.filter((v) => ['serious', 'critical'].includes(v.impact))
             .map((v) => `${v.id} (${v.impact}) at ${v.nodes.map((node) => node.target.join(' ')).join(', ')}`)))"""


def check_views(driver, url, everyone, axe_core, faults):
    """The view from an address and Back, sorting across pages, the keyboard, and axe-core."""
    run, long_name = driver.execute_script, max(everyone, key=len)

    def until(what, condition):  # a wait that runs out is a fault, with what the page shows
        try:
            WebDriverWait(driver, browser.PATIENCE_SEC).until(lambda d: condition())
        except Exception:
            faults.append(f"{what}: the page shows {run(ROW_NAMES)} at {driver.current_url}")

    if run(PAST_THE_WINDOW) or run(ROW + ".querySelector('.name').title", long_name) != long_name:
        faults.append(f"a name of {len(long_name)} characters pushes a column past 1280 pixels or has no title")
    driver.get(url + "?only=alert&sort=cpu&order=desc&offset=x")  # what an address gets wrong is ignored
    run("window.notReloaded = true")
    until("?only=alert&sort=cpu&order=desc", lambda: run(ROW_NAMES) == ["alerted"] and run(SORTED_BY) == "cpu descending")
    run("document.querySelector(`input[name=only][value='']`).click()")
    until("All", lambda: len(run(ROW_NAMES)) == len(everyone))
    driver.back()
    until("Back", lambda: run(ROW_NAMES) == ["alerted"] and "only=alert" in driver.current_url and run("return window.notReloaded"))
    driver.get(url + "?limit=4")  # a header sorts across two pages; a second click turns the order round
    for by_name in (sorted(everyone), sorted(everyone, reverse=True)):
        for page, selector in ((by_name[:4], "th[data-sort=name] button"), (by_name[4:], "#next")):
            run("document.querySelector(arguments[0]).click()", selector)
            until(f"{page} after a click on {selector}", lambda: run(ROW_NAMES) == page)
    ActionChains(driver).send_keys("/").perform()
    if run("return document.activeElement.id !== 'name' || [...document.querySelectorAll('#fleet tbody tr')].some((row) => row.tabIndex !== 0)"):
        faults.append("/ does not go to the name filter, or a row is out of the Tab order")
    run(ROW + ".focus()", machine := run(ROW_NAMES)[-1])
    ActionChains(driver).send_keys(Keys.ENTER).perform()
    until(f"Enter on {machine}", lambda: run(MACHINE_VIEW) == machine and "machine=" in driver.current_url)
    ActionChains(driver).send_keys(Keys.ESCAPE).perform()
    until(f"Escape on {machine}", lambda: run(MACHINE_VIEW) is None and run("return document.activeElement.dataset.machine") == machine)
    driver.get(url)
    browser.rendered(driver, len(everyone))
    run(open(axe_core, encoding="utf-8").read())
    for scheme in ("light", "dark"):
        driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": [{"name": "prefers-color-scheme", "value": scheme}]})
        browser.rendered(driver, len(everyone))
        faults += [f"axe-core in {scheme} on the page: {violation}" for violation in driver.execute_async_script(SERIOUS)]
        run(ROW + ".click()", long_name)
        until("no machine's view", lambda: run("return !!document.querySelector('#machine .events li')"))
        faults += [f"axe-core in {scheme} on a machine's view: {violation}" for violation in driver.execute_async_script(SERIOUS)]
        ActionChains(driver).send_keys(Keys.ESCAPE).perform()


def main():
    url, look_first, everyone, changing, axe_core = sys.argv[1], set(sys.argv[2].split(",")), set(sys.argv[3].split(",")), sys.argv[4], sys.argv[5]
    faults = []
    with browser.chromium(1280, 900) as driver:
        driver.get(url)
        WebDriverWait(driver, browser.PATIENCE_SEC).until(lambda d: everyone <= set(d.execute_script(ROW_NAMES)))
        names = driver.execute_script(ROW_NAMES)
        if set(names) != everyone:
            faults.append(f"the page shows {names}, not {sorted(everyone)}")
        if set(names[:len(look_first)]) != look_first:
            faults.append(f"the page starts with {names[:len(look_first)]}, not {sorted(look_first)}")
        WebDriverWait(driver, browser.PATIENCE_SEC).until(lambda d: d.execute_script(INKED, changing), "no sparkline drawn")
        driver.execute_script("window.notReloaded = true")
        before = driver.execute_script(FREE_PHYSICAL, changing)
        print(f"waiting for a new sample of {changing}", flush=True)
        WebDriverWait(driver, browser.PATIENCE_SEC).until(lambda d: d.execute_script(FREE_PHYSICAL, changing) != before,
                                                          f"the free physical memory of {changing} stayed {before}")
        if not driver.execute_script("return window.notReloaded === true"):
            faults.append("the page was loaded again")
        check_views(driver, url, everyone, axe_core, faults)
        faults += [f"the console says {entry['message']}" for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]
    for fault in faults:
        print("FAIL", fault, flush=True)
    if not faults:
        print("PASS", flush=True)


if __name__ == "__main__":
    try:
        main()
    except Exception as failure:  # a wait that ran out, a browser that did not start
        print("FAIL", type(failure).__name__, str(failure).splitlines()[0] if str(failure) else "", flush=True)
