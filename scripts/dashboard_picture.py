#!/usr/bin/python3
"""A picture of the log service's dashboard, as a maker sees it, taken by
headless Chromium through Selenium (both Debian's, hence Debian's python3):
the page is opened with the dashboard's secret sent as a Bearer token (it
never appears on a command line), left to load its figures, and saved as a
PNG. The main job saves one with the run's screenshots.

Usage: dashboard_picture.py ORIGIN SECRET_FILE OUT.png
  ORIGIN  the service itself, e.g. http://127.0.10.106:9080 (loopback)
Exit status 1, with the reason, when the page did not load its figures.
"""
import sys
import tempfile
from pathlib import Path

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.support.ui import WebDriverWait


def browser(profile):
    """Headless Chromium of Debian's packages, with a profile of its own."""
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--no-first-run", "--disable-sync",
                 "--window-size=1280,1400", f"--user-data-dir={profile}"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
    service = webdriver.ChromeService(executable_path="/usr/bin/chromedriver") \
        if hasattr(webdriver, "ChromeService") else webdriver.chrome.service.Service(
            executable_path="/usr/bin/chromedriver")
    return webdriver.Chrome(service=service, options=options)


def picture(origin, secret, out):
    with tempfile.TemporaryDirectory(prefix="dashboard-picture-") as profile:
        driver = browser(profile)
        try:
            driver.execute_cdp_cmd("Network.enable", {})
            driver.execute_cdp_cmd("Network.setExtraHTTPHeaders",
                                   {"headers": {"Authorization": "Bearer " + secret}})
            driver.get(origin.rstrip("/") + "/dashboard")
            # The page marks its body once its figures are in.
            WebDriverWait(driver, 30).until(
                lambda d: d.execute_script("return document.body.dataset.loaded"))
            Path(out).parent.mkdir(parents=True, exist_ok=True)
            if not driver.save_screenshot(str(out)):
                raise RuntimeError(f"could not write {out}")
        finally:
            driver.quit()


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    origin, secret_file, out = sys.argv[1:]
    secret = Path(secret_file).read_text().strip()
    try:
        picture(origin, secret, out)
    except TimeoutException:
        print(f"dashboard_picture: {origin}/dashboard did not load its figures in 30 s",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
