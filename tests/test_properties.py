"""Properties over arbitrary keys, sum tables, texts and capacities.

- Decryption inverts encryption in all three operation pairs, and the
  ciphertext is the oracle's, of the length rule's length.
- An _into call with any capacity either succeeds with the documented
  output, or refuses and leaves `out` exactly as it was.
- Any refused call leaves every argument, and the object's key, unchanged.

max_examples stays moderate so the suite stays quick; raise it for a longer
hunt with QULO_PROPERTY_EXAMPLES=2000.
"""

import array
import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import oracle
from qulo import TEA, encrypt_len

EXAMPLES = int(os.environ.get("QULO_PROPERTY_EXAMPLES", "60"))
SETTINGS = settings(max_examples=EXAMPLES, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])

# (encryption, decryption, takes a sum table, host-order blocks)
PAIRS = [
    ("encrypt_qq", "decrypt_qq", False, False),
    ("encrypt", "decrypt", True, False),
    ("encrypt_native_endian", "decrypt_native_endian", True, True),
]
PAIR_IDS = [p[0] for p in PAIRS]

keys = st.binary(min_size=16, max_size=16)
tables = st.binary(min_size=64, max_size=64)
texts = st.binary(max_size=200)


def table_args(takes_table, table):
    return (table,) if takes_table else ()


def oracle_table(takes_table, table):
    return table if takes_table else None


@pytest.mark.parametrize("enc, dec, takes_table, native", PAIRS, ids=PAIR_IDS)
@SETTINGS
@given(key=keys, table=tables, text=texts)
def test_decryption_inverts_encryption(enc, dec, takes_table, native, key, table, text):
    tea = TEA(key)
    sums = table_args(takes_table, table)
    cipher = getattr(tea, enc)(text, *sums)
    assert len(cipher) == encrypt_len(len(text))
    assert cipher == oracle.encrypt(key, text, oracle_table(takes_table, table), native)
    assert getattr(tea, dec)(cipher, *sums) == text
    in_place = bytearray(cipher)
    assert getattr(tea, dec + "_into")(in_place, *sums, in_place) == len(text)
    assert in_place[:len(text)] == text


@pytest.mark.parametrize("enc, dec, takes_table, native", PAIRS, ids=PAIR_IDS)
@SETTINGS
@given(key=keys, table=tables, text=texts, data=st.data())
def test_encrypt_into_any_capacity(enc, dec, takes_table, native, key, table, text, data):
    need = encrypt_len(len(text))
    capacity = data.draw(st.integers(0, need + 24), label="capacity")
    before = data.draw(st.binary(min_size=capacity, max_size=capacity), label="out")
    out = bytearray(before)
    call = getattr(TEA(key), enc + "_into")
    sums = table_args(takes_table, table)
    if capacity < need:
        with pytest.raises(ValueError, match="^output buffer is too small$"):
            call(text, *sums, out)
        assert out == before
    else:
        assert call(text, *sums, out) == need
        assert out[:need] == oracle.encrypt(key, text, oracle_table(takes_table, table), native)
        assert out[need:] == bytes(capacity - need)


@pytest.mark.parametrize("enc, dec, takes_table, native", PAIRS, ids=PAIR_IDS)
@SETTINGS
@given(key=keys, table=tables, data=st.data())
def test_decrypt_into_any_text_and_capacity(enc, dec, takes_table, native, key, table, data):
    # Ciphertexts of every shape: real ones and arbitrary bytes, whole
    # blocks or not, with the 16-byte case well represented.
    text = data.draw(st.one_of(
        st.binary(max_size=80),
        st.integers(2, 10).flatmap(lambda m: st.binary(min_size=8 * m, max_size=8 * m)),
        st.binary(min_size=16, max_size=16),
        texts.map(lambda t: oracle.encrypt(key, t, oracle_table(takes_table, table), native)),
    ), label="text")
    n = len(text)
    capacity = data.draw(st.integers(0, n + 24), label="capacity")
    before = data.draw(st.binary(min_size=capacity, max_size=capacity), label="out")
    out = bytearray(before)
    call = getattr(TEA(key), dec + "_into")
    sums = table_args(takes_table, table)
    expected = oracle.decrypt_leftovers(key, text, oracle_table(takes_table, table), native)
    if capacity < n:
        with pytest.raises(ValueError, match="^output buffer is too small$"):
            call(text, *sums, out)
        assert out == before
    elif expected is None:
        with pytest.raises(ValueError, match="^encrypt wrong$"):
            call(text, *sums, out)
        assert out == before
    else:
        plain = oracle.decrypt(key, text, oracle_table(takes_table, table), native)
        assert call(text, *sums, out) == len(plain)
        assert out[:n] == expected
        assert out[n:] == before[n:]


METHODS = [name for enc, dec, _, _ in PAIRS for name in (enc, enc + "_into", dec, dec + "_into")]


def argument(draw_kind, data, label):
    """An argument of any kind the methods may meet, valid or not."""
    kind = data.draw(st.sampled_from(draw_kind), label=label + " kind")
    if kind == "bytearray":
        return bytearray(data.draw(st.binary(max_size=90), label=label))
    if kind == "bytes":
        return data.draw(st.binary(max_size=90), label=label)
    if kind == "none":
        return None
    if kind == "signed":
        return array.array("b", data.draw(st.binary(max_size=20), label=label))
    if kind == "words":
        return array.array("I", data.draw(st.lists(st.integers(0, 2**32 - 1), max_size=20),
                                          label=label))
    return data.draw(st.integers(-3, 3), label=label)


@pytest.mark.parametrize("name", METHODS)
@SETTINGS
@given(key=keys, data=st.data())
def test_refused_calls_leave_every_argument_unchanged(name, key, data):
    tea = TEA(key)
    enc_or_dec = name.removesuffix("_into")
    takes_table = enc_or_dec not in ("encrypt_qq", "decrypt_qq")
    kinds = ["bytearray", "bytearray", "bytes", "none", "signed", "words", "int"]
    args = [argument(kinds, data, "text")]
    if takes_table:
        size = data.draw(st.sampled_from([0, 63, 64, 64, 65]), label="table size")
        args.append(data.draw(st.sampled_from([
            bytearray(size), bytes(size), array.array("B", bytes(size)), None,
            array.array("I", bytes(size - size % 4))]), label="sumtable"))
    if name.endswith("_into"):
        args.append(argument(["bytearray", "bytearray", "bytes", "none", "int"], data, "out"))
    snapshot = [bytes(a) if isinstance(a, (bytearray, array.array)) else a for a in args]
    try:
        getattr(tea, name)(*args)
    except (ValueError, TypeError, BufferError, AssertionError):
        after = [bytes(a) if isinstance(a, (bytearray, array.array)) else a for a in args]
        assert after == snapshot
    else:
        # Only an accepted call may write, and only into out.
        inputs = args[:-1] if name.endswith("_into") else args
        assert [bytes(a) if isinstance(a, (bytearray, array.array)) else a
                for a in inputs] == snapshot[:len(inputs)]
    assert tea.key == key
    for a in args:
        if isinstance(a, bytearray):
            a.append(0)  # no export is left behind


@SETTINGS
@given(key=keys, value=st.one_of(st.binary(max_size=40), st.none(), st.integers(),
                                 st.binary(max_size=40).map(bytearray),
                                 st.binary(max_size=40).map(lambda b: array.array("b", b))))
def test_refused_key_assignment_keeps_the_key(key, value):
    tea = TEA(key)
    snapshot = bytes(value) if isinstance(value, (bytearray, array.array)) else value
    try:
        tea.key = value
    except (ValueError, TypeError, AssertionError):
        assert tea.key == key
        assert (bytes(value) if isinstance(value, (bytearray, array.array)) else value) == snapshot
    else:
        assert len(value) == 16 and tea.key == bytes(value)
