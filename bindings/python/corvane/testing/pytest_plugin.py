"""pytest fixtures over corvane.testing, loaded with `pytest -p corvane.testing.pytest_plugin`
(or `pytest_plugins = ["corvane.testing.pytest_plugin"]` in a conftest.py):

- corvane_pair: a virtual null-modem pair (corvane.testing.virtual_pair()), closed after
  the test.
- corvane_replay: a factory, corvane_replay(path, strict=False, speed=1.0), that starts a
  replay of a capture file; every replay it started is closed after the test.
"""
import contextlib

import pytest

from corvane import testing


@pytest.fixture
def corvane_pair():
    with testing.virtual_pair() as pair:
        yield pair


@pytest.fixture
def corvane_replay():
    with contextlib.ExitStack() as started:
        def start(path, strict=False, speed=1.0):
            return started.enter_context(testing.replay(path, strict=strict, speed=speed))

        yield start
