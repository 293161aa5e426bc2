#!/usr/bin/python3
"""Headless Chromium as the project drives it (Debian's chromium, chromium-driver and
python3-selenium): for the page's test, its bench and the README's screenshot.

  browser.py screenshot URL FILE [--dark] [--size WIDTHxHEIGHT] [--rows N] [--open-first]
  browser.py first-render URL [--rows N]

Waits until the page shows at least ROWS machines (1 by default) with their sparklines drawn."""
import argparse
import contextlib
import shutil
import sys
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"
# Nothing but the page: no updates, sync, QUIC or first-run work in the background.
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"]
# Each wait, the page's load among them: the page test's four after its 60 s of setup stay
# within ctest's 300 s.
PATIENCE_SEC = 30


@contextlib.contextmanager
def chromium(width=1400, height=900, dark=False):
    """A fresh headless Chromium with a profile of its own, its console kept."""
    profile = tempfile.mkdtemp(prefix="qn-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in FLAGS + [f"--user-data-dir={profile}", f"--window-size={width},{height}"]:
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    try:
        scheme = "dark" if dark else "light"
        driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": [{"name": "prefers-color-scheme", "value": scheme}]})
        driver.set_page_load_timeout(PATIENCE_SEC)
        driver.set_script_timeout(PATIENCE_SEC)
        yield driver
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


def rendered(driver, rows):
    """Waits until the fleet shows `rows` machines or more, each sparkline drawn."""
    WebDriverWait(driver, PATIENCE_SEC).until(lambda d: d.execute_script(
        "const shown = document.querySelectorAll('#fleet tbody tr');"
        "return shown.length >= arguments[0] && [...shown].every((row) => row.querySelector('.spark canvas'));", rows))


def main():
    parser = argparse.ArgumentParser(description="Headless Chromium on the system observer's page")
    parser.add_argument("command", choices=["screenshot", "first-render"])
    parser.add_argument("url")
    parser.add_argument("file", nargs="?", help="where the screenshot goes")
    parser.add_argument("--rows", type=int, default=1, help="machines the page must show first")
    parser.add_argument("--dark", action="store_true")
    parser.add_argument("--size", default="1400x900")
    parser.add_argument("--open-first", action="store_true", help="open the first machine's own view")
    arguments = parser.parse_args()
    width, height = (int(n) for n in arguments.size.split("x"))
    with chromium(width, height, arguments.dark) as driver:
        driver.get(arguments.url)
        rendered(driver, arguments.rows)
        if arguments.command == "first-render":
            # The page marks its first drawn view; navigation starts at 0.
            print("%.1f" % driver.execute_script("return performance.getEntriesByName('first-render')[0].startTime"))
        else:
            if arguments.open_first:
                driver.execute_script("document.querySelector('#fleet tbody tr').click()")
                WebDriverWait(driver, PATIENCE_SEC).until(lambda d: d.execute_script(
                    "return document.querySelectorAll('#machine .charts canvas').length > 0 && !!document.querySelector('#machine .events li')"))
            driver.save_screenshot(arguments.file)
    return 0


if __name__ == "__main__":
    sys.exit(main())
