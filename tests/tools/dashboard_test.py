#!/usr/bin/python3
"""The log service's dashboard in a real browser (headless Chromium through
Selenium): after uploads of known outcomes, the page shows their counts,
its filters change them, a run's records open as a table (hostile text
shown as text), no request leaves the service's origin, and without the
secret the page is refused.

Usage: dashboard_test.py LOGSERVICE WORK_DIR sqlite|postgresql:CONNINFO
(run by Debian's python3, which has selenium)
"""
import datetime
import json
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from urllib.parse import urlsplit

from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
import logclient  # noqa: E402
from dashboard_picture import browser  # noqa: E402
from logclient import body_of, check, record, typical_log  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
HOSTILE = "<img src=x onerror=\"window.pwned=1\">C:\\Users\\Eve\\x"
KNOWN = [  # release, outcome, records
    ("Veltra_R1", "gave_up", typical_log()),
    ("Veltra_R1", "gave_up", typical_log("Ann")),
    ("Veltra_R1", "gave_up", typical_log("Joe")),
    ("Veltra_R1", "closed", [record(0, "Opening connection: host"), record(1, HOSTILE)]),
    ("Veltra_R1", "withdrawn", [record(0, "This version of Veltra can no longer be downloaded.\r\n"
                                          "Please download the latest version")]),
    ("Veltra_R2", "save_failure", [record(0, "Unable to write to C:/x", 112, "", "merge", 86)]),
    ("Veltra_R2", "setup", [record(0, "Failed to run setup. Setup executable is missing.",
                                   -32762, "DL_MANAGER_EXECUTABLE_MISSING", "downloadmanager")]),
]


def table(driver, table_id):
    return [[cell.text for cell in row.find_elements(By.TAG_NAME, "td")]
            for row in driver.find_elements(By.CSS_SELECTOR, f"#{table_id} tbody tr")]


def loaded(driver, count):
    WebDriverWait(driver, 30).until(
        lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-loaded") == str(count))


def network(driver, method):
    """The browser's network events of one kind since the last call."""
    events = [json.loads(entry["message"])["message"] for entry in driver.get_log("performance")]
    return [e for e in events if e.get("method") == method]


def counts(rows):
    out = {}
    for release, _, outcome, runs in rows:
        out[(release, outcome)] = out.get((release, outcome), 0) + int(runs)
    return out


def main():
    binary, work, database = sys.argv[1], Path(sys.argv[2]), sys.argv[3]
    shutil.rmtree(work, ignore_errors=True)
    if database == "sqlite":
        database = f"sqlite:{work / 'logs.db'}"
    else:
        logclient.sql(database, "DROP TABLE IF EXISTS uploads, records")
    service = logclient.Service(binary, database, work).start()
    profile = tempfile.mkdtemp(prefix="dashboard-profile-", dir=work)
    driver = None
    try:
        for release, _, records in KNOWN:
            headers = dict(logclient.PROGRAM_HEADERS, Release=f"{release} 9.5.0.0")
            assert service.upload(body_of(records), headers)[0] == 200
        driver = browser(profile)
        origin = f"http://127.0.0.1:{service.port}"
        driver.get(origin + "/dashboard")
        statuses = [m["params"]["response"]["status"] for m in network(driver, "Network.responseReceived")
                    if m["params"]["response"]["url"] == origin + "/dashboard"]
        check(statuses == [401] and not driver.find_elements(By.ID, "filters"),
              f"the page without the secret is refused ({statuses})")

        driver.execute_cdp_cmd("Network.enable", {})
        driver.execute_cdp_cmd("Network.setExtraHTTPHeaders",
                               {"headers": {"Authorization": "Bearer " + service.secret}})
        driver.get(origin + "/dashboard")
        loaded(driver, 1)
        seen = network(driver, "Network.requestWillBeSent")
        expected = {}
        for release, outcome, _ in KNOWN:
            expected[(release, outcome)] = expected.get((release, outcome), 0) + 1
        check(counts(table(driver, "outcome-table")) == expected,
              f"the outcome table shows the uploads' counts ({table(driver, 'outcome-table')})")
        bars = {}
        for bar in driver.find_elements(By.CSS_SELECTOR, "#outcome-chart rect"):
            outcome = bar.get_attribute("data-outcome")
            bars[outcome] = bars.get(outcome, 0) + int(bar.get_attribute("data-runs"))
        check(bars == {"gave_up": 3, "closed": 1, "withdrawn": 1, "save_failure": 1, "setup": 1},
              f"the chart's bars carry the same counts ({bars})")
        errors = table(driver, "error-table")
        check(errors[0][:4] == ["12002", "ERROR_INTERNET_TIMEOUT", "60", "3"] and
              "SeCrEt" not in json.dumps(errors),
              f"the most frequent error first, with its count and runs ({errors[0]})")

        Select(driver.find_element(By.ID, "release")).select_by_value("Veltra_R2")
        driver.find_element(By.CSS_SELECTOR, "#filters button").click()
        loaded(driver, 2)
        check(counts(table(driver, "outcome-table")) ==
              {("Veltra_R2", "save_failure"): 1, ("Veltra_R2", "setup"): 1} and
              [row[0] for row in table(driver, "error-table")] in (["112", "-32762"], ["-32762", "112"]),
              "the release filter narrows the outcomes and the errors")
        tomorrow = (datetime.datetime.utcnow() + datetime.timedelta(days=1)).strftime("%m%d%Y")
        Select(driver.find_element(By.ID, "release")).select_by_value("")
        driver.find_element(By.ID, "from").send_keys(tomorrow)
        driver.find_element(By.CSS_SELECTOR, "#filters button").click()
        loaded(driver, 3)
        check(table(driver, "outcome-table") == [] and table(driver, "run-table") == [],
              "a date filter after every upload shows none")
        driver.find_element(By.ID, "from").clear()
        driver.execute_script("document.getElementById('from').value = ''")
        driver.find_element(By.CSS_SELECTOR, "#filters button").click()
        loaded(driver, 4)

        closed = [row for row in driver.find_elements(By.CSS_SELECTOR, "#run-table tbody tr")
                  if row.find_elements(By.TAG_NAME, "td")[4].text == "closed"]
        closed[0].click()
        WebDriverWait(driver, 30).until(lambda d: len(table(d, "run-records")) == 2)
        rows = table(driver, "run-records")
        check(rows[1][0] == HOSTILE.replace("Eve", "<user>") and
              driver.execute_script("return window.pwned") is None,
              "a run's records open as a table; its hostile text shown as text, name scrubbed")
        check(driver.find_element(By.ID, "run-csv").get_attribute("href").startswith(
              origin + "/api/runs/"), "the run's CSV export is offered")

        # The main job's picture of the page, made by a browser of its own.
        shot = work / "dashboard.png"
        made = subprocess.run([sys.executable, str(ROOT / "scripts" / "dashboard_picture.py"),
                               origin, str(work / "secret"), str(shot)],
                              capture_output=True, text=True, timeout=120)
        header = shot.read_bytes()[:24] if shot.exists() else b""
        check(made.returncode == 0 and header[:8] == b"\x89PNG\r\n\x1a\n" and
              int.from_bytes(header[16:20], "big") >= 1000 and service.secret not in made.stderr,
              f"the main job's picture of the loaded dashboard ({made.stderr.strip()[-300:]})")

        # data: addresses are the browser's own (the date field's icon).
        urls = [m["params"]["request"]["url"]
                for m in seen + network(driver, "Network.requestWillBeSent")]
        foreign = [url for url in urls if not url.startswith("data:") and
                   urlsplit(url).netloc != urlsplit(origin).netloc]
        check(len(urls) > 4 and not foreign,
              f"no request left the service's origin ({len(urls)} requests; {foreign})")
    finally:
        if driver:
            driver.quit()
        service.stop()


if __name__ == "__main__":
    main()
