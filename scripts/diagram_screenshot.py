"""Writes docs/diagram.png: the example project's diagram as a headless chromium shows it.

Run after set-up, with chromium, chromium-driver and graphviz installed:
    .venv/bin/python scripts/diagram_screenshot.py
"""

from __future__ import annotations

import os
import shutil
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]


def main() -> int:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By

    from korvan_models.tools.site import write_site

    with tempfile.TemporaryDirectory() as folder:
        index, _warnings = write_site(REPO / "examples" / "library", Path(folder))
        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which("chromium") or ""
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1000,800",
                         "--force-device-scale-factor=1.5"):
            options.add_argument(argument)
        # The browser's profile and its own temporary folders go with the site's folder.
        options.add_argument(f"--user-data-dir={Path(folder) / 'browser'}")
        service = Service(executable_path=shutil.which("chromedriver"), env={**os.environ, "TMPDIR": folder})
        driver = webdriver.Chrome(options=options, service=service)
        try:
            driver.get(index.as_uri())
            driver.find_element(By.CSS_SELECTOR, "#diagram .diagram").screenshot(str(REPO / "docs" / "diagram.png"))
        finally:
            driver.quit()
    print(REPO / "docs" / "diagram.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
