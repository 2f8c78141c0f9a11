#!/usr/bin/python3
# Headless Chromium for the live page's tests, driven through chromedriver: one
# JSON command a line on standard input ({"op": "get", "url": ...}, {"op":
# "eval", "js": ...}, {"op": "alert"}, {"op": "cdp", "cmd": ..., "params": {...}}
# for the DevTools protocol), one JSON answer a line on standard output.
import json
import shutil
import sys
import tempfile

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException
from selenium.webdriver.chrome.service import Service


def answer(**fields):
    sys.stdout.write(json.dumps(fields) + "\n")
    sys.stdout.flush()


def main():
    profile = tempfile.mkdtemp(prefix="ondrel-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1920,1080", "--user-data-dir=" + profile):
        options.add_argument(arg)
    try:
        driver = webdriver.Chrome(options=options, service=Service("/usr/bin/chromedriver"))
    except Exception as e:  # said to the test, which fails with it
        answer(ok=False, error="cannot start Chromium: %s" % e)
        shutil.rmtree(profile, ignore_errors=True)
        return 1
    answer(ok=True, result="ready")
    try:
        for line in sys.stdin:
            command = json.loads(line)
            try:
                if command["op"] == "get":
                    driver.get(command["url"])
                    answer(ok=True, result=None)
                elif command["op"] == "eval":
                    answer(ok=True, result=driver.execute_script(command["js"]))
                elif command["op"] == "alert":
                    try:
                        alert = driver.switch_to.alert
                        text = alert.text
                        alert.accept()
                        answer(ok=True, result=text)
                    except NoAlertPresentException:
                        answer(ok=True, result=None)
                elif command["op"] == "cdp":
                    answer(ok=True, result=driver.execute_cdp_cmd(command["cmd"],
                                                                  command.get("params", {})))
                else:
                    answer(ok=False, error="unknown op %r" % command["op"])
            except Exception as e:
                answer(ok=False, error=str(e))
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
