"""The models' site in a real browser: it loads from disk without console errors, the diagram has a node
per model, clicking a node scrolls to that model, and markup in the project's texts shows as text."""

from __future__ import annotations

import pytest
from browser import chromium
from site_helpers import MARKUP, example_with_markup

pytestmark = pytest.mark.slow

TITLES = ["Author", "Book", "Loan", "Member", "Publisher", "RareBook"]


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    from korvan_models.tools.site import write_site

    index, _warnings = write_site(example_with_markup(tmp_path_factory.mktemp("project")),
                                  tmp_path_factory.mktemp("site"))
    driver = chromium()
    try:
        driver.get(index.as_uri())
        yield driver
    finally:
        driver.quit()


def test_the_page_loads_without_console_errors(browser):
    assert browser.execute_script("return document.readyState") == "complete"
    assert browser.title == "library: models"  # the description's script did not run
    errors = [entry for entry in browser.get_log("browser") if entry["level"] in ("SEVERE", "ERROR")]
    assert errors == []
    stylesheet = browser.execute_script("return getComputedStyle(document.body).fontFamily")
    assert "system-ui" in stylesheet  # the assets load from disk too


@pytest.mark.parametrize("title", ["RareBook", "Publisher", "Author"])
def test_clicking_a_node_scrolls_to_its_model(browser, title):
    from selenium.webdriver.common.by import By

    nodes = browser.find_elements(By.CSS_SELECTOR, "#diagram svg g.node")
    assert sorted(node.get_attribute("id") for node in nodes) == [f"node-{t}" for t in TITLES]
    browser.execute_script("window.scrollTo(0, 0)")
    browser.find_element(By.CSS_SELECTOR, f"#node-{title} a").click()
    browser.implicitly_wait(0)
    top = browser.execute_script(
        "return document.getElementById(arguments[0]).getBoundingClientRect().top", f"model-{title}")
    assert abs(top) < 2
    assert browser.execute_script("return location.hash") == f"#model-{title}"
    assert browser.execute_script("return window.scrollY") > 0


def test_markup_in_a_description_shows_as_text(browser):
    from selenium.webdriver.common.by import By

    description = browser.find_element(By.CSS_SELECTOR, "#model-Author .description")
    assert description.text == MARKUP.replace("  ", " ")
    assert description.find_elements(By.CSS_SELECTOR, "*") == []
    assert browser.find_elements(By.CSS_SELECTOR, "main script, main img, main b") == []
