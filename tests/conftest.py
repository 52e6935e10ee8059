"""Shared test configuration.

The modules under test are imported as the host imports them
(``ombrel.gateway.ws``, ...). ``host/`` (on ``sys.path`` through the pytest
configuration) holds the stand-in host: the host application's own modules
(``ombrel.gateway.server``, ``ombrel.config``, ...) that our modules reach at
run time.
"""

import pytest

from ombrel.skills.system_chromium import browsers_layout


@pytest.fixture(scope="session")
def browsers_folder(tmp_path_factory):
    """A PLAYWRIGHT_BROWSERS_PATH folder laid out over Debian's Chromium
    (nothing is downloaded), or None without Playwright or Chromium."""
    return browsers_layout(tmp_path_factory.mktemp("ms-playwright"))


@pytest.fixture(scope="session")
def browsers_path(browsers_folder):
    """The same folder; the test is skipped without it."""
    if browsers_folder is None:
        pytest.skip("needs Playwright and Debian's chromium (apt-get install chromium)")
    return browsers_folder
