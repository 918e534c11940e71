import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# Test the installed package, not the source folder of the same name that
# `python -m pytest` would put first on the path (it has no compiled module).
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != ROOT]
if HERE not in sys.path:
    sys.path.insert(0, HERE)

KEY = bytes.fromhex("00112233445566778899aabbccddeeff")


@pytest.fixture
def key():
    return KEY


@pytest.fixture
def tea():
    import qulo

    return qulo.TEA(KEY)
