"""Fixtures of the end-to-end suite: the run's one Wine session (a headless
prefix and its server, started on first use, stopped at the end) handed to
every LauncherTestCase as self.s, and where the builds are.

    /usr/bin/python3 -m pytest tests/e2e [--windows-build DIR] [--host-build DIR] [--prefix DIR] [--keep]

Skipped tests fail the run unless --allow-skips is given."""
import os
from collections.abc import Iterator

import pytest

from lmr.e2e import apps
from lmr.e2e.session import LauncherTestCase, Session


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("lumaro")
    group.addoption("--windows-build", help="the windows preset's build folder (default build/windows)")
    group.addoption("--host-build", help="the host-release preset's build folder (default build/host-release)")
    group.addoption("--prefix", help="reuse this Wine prefix instead of a fresh one")
    group.addoption("--keep", action="store_true", help="keep the run's temporary folder")
    group.addoption("--allow-skips", action="store_true", help="skipped tests do not fail the run")


def pytest_configure(config: pytest.Config) -> None:
    # Read by lmr.build.Kit, here and in the commands the tests start.
    for option, variable in (("windows_build", "LUMARO_WINDOWS_BUILD"), ("host_build", "LUMARO_HOST_BUILD")):
        value = config.getoption(option, None)
        if value:
            os.environ[variable] = os.path.abspath(value)


@pytest.fixture(scope="session")
def wine_session(request: pytest.FixtureRequest) -> Iterator[Session]:
    s = Session(prefix=request.config.getoption("prefix", None), keep=request.config.getoption("keep", False))
    try:
        yield s.start()
    finally:
        apps.stop_plain_prefix()
        if s.keep:
            print(f"\nkept: {s.root}")
        s.close()


@pytest.fixture(scope="class", autouse=True)
def _attach_session(request: pytest.FixtureRequest) -> None:
    if request.cls is not None and issubclass(request.cls, LauncherTestCase):
        request.cls.s = request.getfixturevalue("wine_session")


def pytest_sessionfinish(session: pytest.Session, exitstatus: int) -> None:
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    skipped = reporter.stats.get("skipped") if reporter else None
    if exitstatus == 0 and skipped and not session.config.getoption("allow_skips", False):
        print(f"\n{len(skipped)} skipped tests count as failure (pass --allow-skips to accept)")
        session.exitstatus = 1
