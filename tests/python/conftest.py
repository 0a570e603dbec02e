"""Shared fixtures for the Python tests of Zarvex."""
import pytest

import Zarvex


@pytest.fixture
def index_of():
    """Factory for an Index holding the given objects, added one at a time."""

    def make(*objs):
        index = Zarvex.Index()
        for obj in objs:
            index.add_object(obj)
        return index

    return make
