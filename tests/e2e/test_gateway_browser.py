"""The gateway's pages in a real browser (headless Chromium through
Selenium) over the real server under Wine: what a person sees, read from
the rendered page. Screenshots of both pages go to $DEVICERPC_SCREENSHOTS
when it names a folder (docs/images holds the published ones)."""
import os

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

MARKUP = "<b>Bold</b> & <i>Co</i>"
# samples/office.printer as the pages show it.
OVERVIEW_BINS = [["1", "A4", "80"], ["2", "A4", "35"], ["3", "A5", "0 (empty)"]]
PAGE_BINS = [
    ["1", "Upper (1)", "A4 (9)", "2100 × 2970 (210.0 × 297.0 mm)", "80"],
    ["2", "Lower (2)", "A4 (9)", "2100 × 2970 (210.0 × 297.0 mm)", "35"],
    ["3", "Manual (4)", "A5 (11)", "1480 × 2100 (148.0 × 210.0 mm)", "0 (empty)"],
]
COUNTERS = [["Monochrome pages", "15,230"], ["Colour pages", "8,412"], ["Black", "17,090"],
            ["Cyan", "6,120"], ["Magenta", "5,981"], ["Yellow", "6,304"], ["I/O counter", "23,642"]]


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    """Headless Chromium: as root it needs --no-sandbox, and on a closed
    network none of its background connections."""
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1100,820",
                     "--no-first-run", "--disable-background-networking", "--disable-sync",
                     "--disable-component-update",
                     "--user-data-dir=%s" % tmp_path_factory.mktemp("chromium")):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    yield driver
    driver.quit()


def screenshot(browser, name, tmp_path):
    """Saves the window as NAME.png in $DEVICERPC_SCREENSHOTS (or tmp_path)."""
    folder = os.environ.get("DEVICERPC_SCREENSHOTS") or str(tmp_path)
    assert browser.save_screenshot(os.path.join(folder, name + ".png"))


def rows(element, selector="tbody tr"):
    """The cells' texts of each table row under `element`."""
    return [[cell.text for cell in row.find_elements(By.CSS_SELECTOR, "th, td")]
            for row in element.find_elements(By.CSS_SELECTOR, selector)]


def test_the_overview_shows_every_printer(site, browser, tmp_path):
    browser.get(site.gateway.url + "/")
    cards = {card.find_element(By.TAG_NAME, "h2").text: card
             for card in browser.find_elements(By.CSS_SELECTOR, "section.printer")}
    assert sorted(cards) == sorted(["OFFICE", "Missing Printer", MARKUP])
    office = cards["OFFICE"]
    assert "Answering" in office.text and "on local (127.0.0.1)" in office.text
    assert rows(office) == OVERVIEW_BINS
    assert [a.text for a in office.find_elements(By.CSS_SELECTOR, ".alert")] == ["Bin 3 empty"]
    meters = office.find_elements(By.TAG_NAME, "meter")
    assert [m.get_attribute("value") for m in meters] == ["80", "35", "0"]
    assert meters[2].get_attribute("aria-label") == "OFFICE bin 3 paper level 0"
    for name in ("Missing Printer", MARKUP):
        card = cards[name]
        assert "Not answering" in card.text and "language monitor does not know" in card.text
        assert [a.text for a in card.find_elements(By.CSS_SELECTOR, ".alert")] == ["Not answering"]
    # The markup in a printer's name is text: no element came of it.
    assert cards[MARKUP].find_elements(By.CSS_SELECTOR, "b, i") == []
    assert "1 of 3 answering" in browser.find_element(By.CSS_SELECTOR, "p.summary").text
    screenshot(browser, "gateway-overview", tmp_path)


def test_a_printer_page_shows_its_records(site, browser, tmp_path):
    browser.get(site.gateway.url + "/")
    browser.find_element(By.LINK_TEXT, "OFFICE").click()
    assert browser.current_url == site.gateway.url + "/printers/local/OFFICE"
    assert browser.find_element(By.TAG_NAME, "h1").text == "OFFICE"
    facts = rows(browser, "table.facts tr")
    assert facts == [["Duplex unit", "1 (installed)"], ["Cassettes", "3"],
                     ["Firmware", "0x00020105"]]
    assert rows(browser.find_element(By.CSS_SELECTOR, "table.bins")) == PAGE_BINS
    assert rows(browser, "table.counters tr") == COUNTERS
    calibration, service = [p.text for p in browser.find_elements(By.CSS_SELECTOR, "pre.hex")]
    assert calibration.splitlines()[0] == " ".join("%02x" % b for b in range(0x10, 0x20))
    assert service == "01 00 02 00 03 00 04 00 05 00 06 00 07 00 08 00\n09 00"
    assert "Collected " in browser.find_element(By.CSS_SELECTOR, "p.time").text
    assert "assumptions about how the printer reports" in browser.page_source
    browser.set_window_size(1100, 1460)  # the whole page
    screenshot(browser, "gateway-printer", tmp_path)
