"""Headless Chromium, driven by selenium, for the tests and benchmarks of report pages.

The browser is Debian's ``chromium`` with its ``chromedriver`` (``./dev.sh test`` installs
both when they are missing and it may); ``ZENTRIX_CHROMIUM`` and ``ZENTRIX_CHROMEDRIVER``
name others. It resolves no host name but the loopback's and sends nothing of its own
(no updates, no metrics), so pages are seen exactly as they are on disk.
"""

from __future__ import annotations

import os
import shutil
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

OFFLINE_FLAGS = (
    "--headless=new",
    "--no-sandbox",  # tests run as root in containers
    "--disable-gpu",
    "--disable-dev-shm-usage",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-default-apps",
    "--disable-sync",
    "--metrics-recording-only",
    "--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE localhost",
)


def chromium_paths() -> tuple[str, str] | None:
    """The browser and its driver, when both are installed."""
    browser = os.environ.get("ZENTRIX_CHROMIUM") or shutil.which("chromium")
    driver = os.environ.get("ZENTRIX_CHROMEDRIVER") or shutil.which("chromedriver")
    return (browser, driver) if browser and driver else None


def missing() -> str | None:
    """Why no browser can run here (None when one can)."""
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "selenium is not installed (the 'test' extra)"
    if chromium_paths() is None:
        return "no chromium and chromedriver (apt-get install chromium chromium-driver)"
    return None


@contextmanager
def headless_chromium(width: int = 1280, height: int = 1000) -> Iterator[Any]:
    """A selenium WebDriver of a fresh headless Chromium, quit on exit."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    paths = chromium_paths()
    if paths is None:
        raise RuntimeError(missing())
    browser, driver_path = paths
    options = webdriver.ChromeOptions()
    options.binary_location = browser
    for flag in (*OFFLINE_FLAGS, f"--window-size={width},{height}"):
        options.add_argument(flag)
    # The browser is no code of ours: keep the sanitizer build's preloaded runtimes out of it.
    environment = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    driver = webdriver.Chrome(service=Service(driver_path, env=environment), options=options)
    try:
        yield driver
    finally:
        driver.quit()
