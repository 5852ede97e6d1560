"""The models' site in a real headless chromium: it loads from disk without console errors, each model's
section says what the project says, the diagram has a node per model and an edge per reference and
extension, clicking a node scrolls to that model, and markup in the project's texts shows as text."""

from __future__ import annotations

import os

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
    # The browser's profile and its own temporary folders go in the test's folder, not in /tmp.
    scratch = tmp_path_factory.mktemp("browser")
    options.add_argument(f"--user-data-dir={scratch / 'profile'}")
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    service = Service(executable_path=driver, env={**os.environ, "TMPDIR": str(scratch)})
    session = webdriver.Chrome(options=options, service=service)
    try:
        session.get(index.as_uri())
        yield session
    finally:
        session.quit()


def test_the_page_loads_without_console_errors(browser):
    assert browser.execute_script("return document.readyState") == "complete"
    assert [entry for entry in browser.get_log("browser") if entry["level"] in ("SEVERE", "ERROR")] == []
    assert "system-ui" in browser.execute_script("return getComputedStyle(document.body).fontFamily")  # assets load


# title, parent, children, properties of its own, fixture records, models it refers to
MODELS = [
    ("Author", None, ["-"], 6, 2, {"Publisher", "Book"}),
    ("Book", None, ["RareBook"], 13, 2, {"Author", "Publisher"}),
    ("Loan", None, ["-"], 6, 1, {"Book", "Member"}),
    ("Member", None, ["-"], 6, 2, {"Loan"}),
    ("Publisher", None, ["-"], 5, 3, set()),
    ("RareBook", "Book", ["-"], 2, 0, set()),
]


def texts(browser, selector: str) -> list[str]:
    return browser.execute_script("return [...document.querySelectorAll(arguments[0])].map(e => e.textContent)",
                                  selector)


@pytest.mark.parametrize("title, parent, children, properties, records, refers", MODELS, ids=[m[0] for m in MODELS])
def test_each_model_has_its_section(browser, title, parent, children, properties, records, refers):
    section = f"#model-{title}"
    assert len(texts(browser, f"{section} table.properties tbody tr")) == properties
    assert len(texts(browser, f"{section} table.records tbody tr")) == records
    relations = dict(zip(texts(browser, f"{section} dt"), texts(browser, f"{section} dd")))
    assert relations["Extends"] == (parent or "the framework's base model")
    assert relations.get("Extended by", "-").split(", ") == children
    links = set(browser.execute_script(
        "return [...document.querySelectorAll(arguments[0])].map(a => a.getAttribute('href'))", f"{section} a"))
    assert {f"#model-{m}" for m in refers | ({parent} if parent else set())} <= links


def test_the_diagram_has_a_node_per_model_and_an_edge_per_relation(browser):
    nodes = texts(browser, "#diagram svg g.node title")
    assert sorted(nodes) == [m[0] for m in MODELS]
    edges = texts(browser, "#diagram svg g.edge")
    assert len(edges) == sum(1 for m in MODELS if m[1]) + sum(len(m[5]) for m in MODELS)


@pytest.mark.parametrize("title", ["RareBook", "Publisher", "Author"])
def test_clicking_a_node_scrolls_to_its_model(browser, title):
    from selenium.webdriver.common.by import By

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
