#!/usr/bin/python3
"""Looks at the system observer's page in headless Chromium for fleet_page_test.cpp:
  fleet_page_check.py URL LOOK_FIRST ALL CHANGING
LOOK_FIRST and ALL are comma-separated machine names. Prints "waiting for a new sample of
CHANGING" once the first view is checked, then a line "FAIL reason" for each fault, or "PASS"."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import browser  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

ROW_NAMES = "return [...document.querySelectorAll('#fleet tbody tr')].map((row) => row.dataset.machine)"
# Column 2 holds the free physical memory: its figure and its sparkline.
FREE_PHYSICAL = "return document.querySelector(`tr[data-machine='${arguments[0]}'] td:nth-child(3) .figure span`).textContent"
INKED = """const canvas = document.querySelector(`tr[data-machine='${arguments[0]}'] td:nth-child(3) canvas`);
           const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
           return pixels.some((value, i) => i % 4 === 3 && value > 0)"""


def main():
    url, look_first, everyone, changing = sys.argv[1], set(sys.argv[2].split(",")), set(sys.argv[3].split(",")), sys.argv[4]
    faults = []
    with browser.chromium() as driver:
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
