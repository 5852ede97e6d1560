"""The models' site in a real headless chromium: it loads from disk without console errors, the diagram
has a node per model, clicking a node scrolls to that model, and markup in the project's texts shows as text."""

from __future__ import annotations

import pytest
from site_helpers import MARKUP, example_with_markup, require

pytestmark = pytest.mark.slow


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    chromium, driver, _dot = require("chromium", "chromedriver", "dot")
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.chrome.service import Service

    from korvan_models.tools.site import write_site

    index, _warnings = write_site(example_with_markup(tmp_path_factory.mktemp("p")), tmp_path_factory.mktemp("site"))
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1280,900"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    session = webdriver.Chrome(options=options, service=Service(executable_path=driver))
    try:
        session.get(index.as_uri())
        yield session
    finally:
        session.quit()


def test_the_page_loads_without_console_errors(browser):
    assert browser.execute_script("return document.readyState") == "complete"
    assert [entry for entry in browser.get_log("browser") if entry["level"] in ("SEVERE", "ERROR")] == []
    assert "system-ui" in browser.execute_script("return getComputedStyle(document.body).fontFamily")  # assets load


@pytest.mark.parametrize("title", ["RareBook", "Publisher", "Author"])
def test_clicking_a_node_scrolls_to_its_model(browser, title):
    from selenium.webdriver.common.by import By

    nodes = browser.find_elements(By.CSS_SELECTOR, "#diagram svg g.node")
    assert sorted(node.get_attribute("id") for node in nodes) == [
        f"node-{t}" for t in ("Author", "Book", "Loan", "Member", "Publisher", "RareBook")]
    browser.execute_script("window.scrollTo(0, 0)")
    browser.find_element(By.CSS_SELECTOR, f"#node-{title} a").click()
    top = browser.execute_script("return document.getElementById(arguments[0]).getBoundingClientRect().top",
                                 f"model-{title}")
    assert abs(top) < 2 and browser.execute_script("return [location.hash, scrollY > 0]") == [f"#model-{title}", True]


def test_markup_in_a_description_shows_as_text(browser):
    from selenium.webdriver.common.by import By

    description = browser.find_element(By.CSS_SELECTOR, "#model-Author .description")
    assert description.text == MARKUP and description.find_elements(By.CSS_SELECTOR, "*") == []
    assert browser.title == "library: models"  # the description's script did not run
    assert browser.find_elements(By.CSS_SELECTOR, "main script, main img, main b") == []
