"""Fixtures that the test files share: a work folder per test file, and
specimen_set's specimens in it."""

import pytest

from specimens import Specimens


@pytest.fixture(scope="module")
def work(request, tmp_path_factory):
    return str(tmp_path_factory.mktemp(request.module.__name__))


@pytest.fixture(scope="module")
def specimens(work):
    return Specimens(work)
