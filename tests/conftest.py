"""Shared by every test: this folder on the import path (rnsnet, rnsfaults, radiolab,
helpers, fakes), and `net`, an isolated Reticulum on loopback for the module using it."""

import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

from rnsnet import Network  # noqa: E402


@pytest.fixture(scope="module")
def net():
    with Network() as network:
        yield network
