"""A real headless chromium driven by Selenium, or a skip when there is none (a failure when
KORVAN_REQUIRE_BROWSER is set, as in CI's browser step)."""

from __future__ import annotations

import os
import shutil

import pytest

REQUIRED = os.environ.get("KORVAN_REQUIRE_BROWSER", "") not in ("", "0")


def missing(reason: str):
    if REQUIRED:
        pytest.fail(f"{reason}, and KORVAN_REQUIRE_BROWSER is set")
    pytest.skip(reason)


def require_dot() -> None:
    if not shutil.which("dot"):
        missing("Graphviz's dot is not installed")


def chromium():
    """A headless chromium session with its console log kept; quit by the caller."""
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        missing("selenium is not installed")
    binary = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver")
    if not binary or not driver:
        missing("chromium and chromium-driver are not installed")
    require_dot()
    options = webdriver.ChromeOptions()
    options.binary_location = binary
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1280,900", "--allow-file-access-from-files"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(options=options, service=Service(executable_path=driver))
