import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
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
