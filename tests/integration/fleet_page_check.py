#!/usr/bin/python3
"""Looks at the system observer's page in headless Chromium for fleet_page_test.cpp:
  fleet_page_check.py URL LOOK_FIRST ALL CHANGING AXE_CORE
LOOK_FIRST and ALL are comma-separated machine names; AXE_CORE is axe-core's axe.min.js. Prints
"waiting for a new sample of CHANGING" once the first view is checked, then a line "FAIL reason"
for each fault, or "PASS". With QN_SCREENSHOTS=DIR it leaves the page and a machine's view there,
light and dark, as axe-core saw them."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import browser  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

ROW_NAMES = "return [...document.querySelectorAll('#fleet tbody tr')].map((row) => row.dataset.machine)"
# Column 2 holds the free physical memory: its figure and its sparkline.
FREE_PHYSICAL = "return document.querySelector(`tr[data-machine='${arguments[0]}'] td:nth-child(3) .figure span`).textContent"
INKED = """const canvas = document.querySelector(`tr[data-machine='${arguments[0]}'] td:nth-child(3) canvas`);
           const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
           return pixels.some((value, i) => i % 4 === 3 && value > 0)"""
WIDEST = "return Math.max(...[...document.querySelectorAll('#fleet th, #fleet td')].map((cell) => cell.getBoundingClientRect().right))"
SORTED_BY = "return [...document.querySelectorAll('th[aria-sort]')].map((th) => `${th.dataset.sort} ${th.getAttribute('aria-sort')}`)"
FOCUSED_ROW = "return document.activeElement.dataset.machine || null"
MACHINE_VIEW = "const dialog = document.querySelector('#machine'); return dialog.open ? dialog.querySelector('h2').textContent : null"
SERIOUS = """const done = arguments[arguments.length - 1];
             axe.run(document).then((result) => done(result.violations.filter((v) => ['serious', 'critical'].includes(v.impact))
                 .map((v) => `${v.id} (${v.impact}) at ${v.nodes.map((node) => node.target.join(' ')).join(', ')}`)))"""


class Page:
    """The browser on the page, with the faults found so far."""

    def __init__(self, driver, url):
        self.driver, self.url, self.faults = driver, url, []

    def until(self, what, condition):
        try:
            WebDriverWait(self.driver, browser.PATIENCE_SEC).until(lambda d: condition())
        except Exception:  # a wait that ran out: what was looked for, and what was there
            self.faults.append(f"{what}: the page shows {self.rows()} at {self.driver.current_url}")

    def rows(self):
        return self.driver.execute_script(ROW_NAMES)

    def click(self, selector):
        self.driver.find_element(By.CSS_SELECTOR, selector).click()

    def keys(self, *keys):
        ActionChains(self.driver).send_keys(*keys).perform()

    def pages(self, sort_header, expected):
        """Clicks a header, then sees `expected` a page at a time, moving on with Next."""
        self.click(f"th[data-sort='{sort_header}'] button")
        for number, page in enumerate(expected):
            if number > 0:
                self.click("#next")
            self.until(f"page {number + 1} after a click on {sort_header} is not {page}", lambda: self.rows() == page)


def check_address_and_keyboard(page, everyone):
    driver = page.driver
    driver.get(page.url + "?only=alert&sort=cpu&order=desc&offset=x")
    driver.execute_script("window.notReloaded = true")
    page.until("?only=alert shows more", lambda: page.rows() == ["alerted"])
    if driver.execute_script(SORTED_BY) != ["cpu descending"] or not driver.find_element(By.CSS_SELECTOR, "input[value=alert]").is_selected():
        page.faults.append(f"the address's view shows {driver.execute_script(SORTED_BY)} and another filter")
    page.click("input[name=only][value='']")
    page.until("All shows every machine", lambda: len(page.rows()) == len(everyone))
    driver.back()
    page.until("Back goes elsewhere", lambda: page.rows() == ["alerted"] and "only=alert" in driver.current_url)
    if not driver.execute_script("return window.notReloaded === true"):
        page.faults.append("Back loaded the page again")

    driver.get(page.url + "?limit=4")
    by_name = sorted(everyone)
    page.until("four rows", lambda: len(page.rows()) == 4)
    page.pages("name", [by_name[:4], by_name[4:]])
    page.pages("name", [by_name[::-1][:4], by_name[::-1][4:]])

    page.keys("/")
    if driver.execute_script("return document.activeElement.id") != "name":
        page.faults.append("/ does not focus the name filter")
    reached = set()
    for _ in range(len(page.rows()) + 10):  # the pager's and the headers' buttons come first
        page.keys(Keys.TAB)
        reached.add(driver.execute_script(FOCUSED_ROW))
        if set(page.rows()) <= reached:
            break
    if not set(page.rows()) <= reached:
        page.faults.append(f"Tab reaches {reached}, not every row of {page.rows()}")
    machine = driver.execute_script(FOCUSED_ROW)
    page.keys(Keys.ENTER)
    page.until(f"Enter opens no view of {machine}", lambda: driver.execute_script(MACHINE_VIEW) == machine and "machine=" in driver.current_url)
    page.keys(Keys.ESCAPE)
    page.until(f"Escape leaves the view of {machine} open or the focus elsewhere",
               lambda: driver.execute_script(MACHINE_VIEW) is None and driver.execute_script(FOCUSED_ROW) == machine)


def check_accessibility(page, axe_core, long_name):
    driver = page.driver
    driver.get(page.url)
    browser.rendered(driver, 1)
    driver.execute_script(open(axe_core, encoding="utf-8").read())
    shots = os.environ.get("QN_SCREENSHOTS")
    for scheme in ("light", "dark"):
        driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": [{"name": "prefers-color-scheme", "value": scheme}]})
        browser.rendered(driver, 1)
        for view in ("page", "machine"):
            if view == "machine":
                driver.execute_script("document.querySelector(`tr[data-machine='${arguments[0]}']`).click()", long_name)
                page.until("no machine's view", lambda: driver.execute_script("return !!document.querySelector('#machine .events li')"))
            page.faults += [f"axe-core in {scheme} on the {view}: {violation}" for violation in driver.execute_async_script(SERIOUS)]
            if shots:
                driver.save_screenshot(os.path.join(shots, f"fleet-{view}-{scheme}.png"))
        page.keys(Keys.ESCAPE)


def main():
    url, look_first, everyone, changing, axe_core = sys.argv[1], set(sys.argv[2].split(",")), sys.argv[3].split(","), sys.argv[4], sys.argv[5]
    long_name = max(everyone, key=len)
    with browser.chromium(1280, 900) as driver:
        page = Page(driver, url)
        faults = page.faults
        driver.get(url)
        WebDriverWait(driver, browser.PATIENCE_SEC).until(lambda d: set(everyone) <= set(d.execute_script(ROW_NAMES)))
        names = driver.execute_script(ROW_NAMES)
        if set(names) != set(everyone):
            faults.append(f"the page shows {names}, not {sorted(everyone)}")
        if set(names[:len(look_first)]) != look_first:
            faults.append(f"the page starts with {names[:len(look_first)]}, not {sorted(look_first)}")
        if driver.execute_script(WIDEST) > driver.execute_script("return document.documentElement.clientWidth"):
            faults.append(f"with a name of {len(long_name)} characters the table ends at {driver.execute_script(WIDEST)} px, past the window")
        if driver.execute_script("return document.querySelector(`tr[data-machine='${arguments[0]}'] .name`).title", long_name) != long_name:
            faults.append("a long name has no title")
        WebDriverWait(driver, browser.PATIENCE_SEC).until(lambda d: d.execute_script(INKED, changing), "no sparkline drawn")
        driver.execute_script("window.notReloaded = true")
        before = driver.execute_script(FREE_PHYSICAL, changing)
        print(f"waiting for a new sample of {changing}", flush=True)
        WebDriverWait(driver, browser.PATIENCE_SEC).until(lambda d: d.execute_script(FREE_PHYSICAL, changing) != before,
                                                          f"the free physical memory of {changing} stayed {before}")
        if not driver.execute_script("return window.notReloaded === true"):
            faults.append("the page was loaded again")
        check_address_and_keyboard(page, everyone)
        check_accessibility(page, axe_core, long_name)
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
