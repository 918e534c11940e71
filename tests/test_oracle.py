"""Sanity checks of the pure-Python model that other tests take answers from."""

import pytest

import oracle

KEY = bytes(range(16))
TABLE = oracle.sumtable_bytes(tuple((0x1234567 * r + 0x89ABCDEF) & oracle.MASK32
                                    for r in range(16)))


def test_block_transform_with_32_cycles_gives_the_published_tea_vector():
    sums32 = tuple(r * oracle.DELTA & oracle.MASK32 for r in range(1, 33))
    assert oracle.encrypt_block((0, 0, 0, 0), sums32, 0) == 0x41EA3A0A94BAA940


def test_standard_sums_run_from_delta_to_sixteen_deltas():
    sums = oracle.standard_sums()
    assert (sums[0], sums[-1]) == (0x9E3779B9, 0xE3779B90)
    assert oracle.standard_sumtable()[:4] == bytes.fromhex("b979379e")


@pytest.mark.parametrize("n, padded_hex", [
    (0, "fe" + "00" * 15),
    (6, "f8" + "0000" + "41" * 6 + "00" * 7),
    (7, "ff" + "00" * 9 + "41" * 7 + "00" * 7),
])
def test_padding_layout_of_the_worked_lengths(n, padded_hex):
    assert oracle.pad(b"A" * n).hex() == padded_hex


@pytest.mark.parametrize("n, expected", [
    (0, 16), (6, 16), (7, 24), (14, 24), (15, 32), (22, 32),
    (-1, 16), (-8, 16), (-9, 8), (-17, 0), (-100, -80),
    (-2**63, -2**63 + 24), (2**63 - 18, 2**63 - 8),
])
def test_length_rule(n, expected):
    assert oracle.encrypt_len(n) == expected
    if 0 <= n < 100:
        assert len(oracle.pad(bytes(n))) == expected


@pytest.mark.parametrize("table, native", [(None, False), (TABLE, False), (TABLE, True)])
def test_round_trip(table, native):
    for n in range(40):
        text = bytes((7 * i + n) & 0xFF for i in range(n))
        data = oracle.encrypt(KEY, text, table, native)
        assert len(data) == oracle.encrypt_len(n)
        assert oracle.decrypt(KEY, data, table, native) == text


def test_host_order_is_big_endian_on_reversed_blocks():
    for block in (bytes(range(8)), bytes.fromhex("fe00000000000000")):
        k, sums = oracle.key_words(KEY), oracle.table_sums(TABLE)
        native = oracle.encrypt_block(k, sums, oracle.read_block(block, native=True))
        big = oracle.encrypt_block(k, sums, oracle.read_block(block[::-1], native=False))
        assert oracle.write_block(native, native=True) == oracle.write_block(big, False)[::-1]


def test_table_of_standard_sums_matches_the_standard_sums_only_in_host_order():
    text = b"sixteen cycles"
    qq = oracle.encrypt(KEY, text)
    assert oracle.encrypt(KEY, text, oracle.standard_sumtable()) == qq
    big_endian_table = oracle.sumtable_bytes(oracle.standard_sums(), "big")
    assert oracle.encrypt(KEY, text, big_endian_table) != qq


@pytest.mark.parametrize("data", [b"", bytes(8), bytes(15), bytes(17)])
def test_decrypt_refuses_bad_lengths(data):
    assert oracle.decrypt(KEY, data) is None


def test_decrypt_refuses_a_16_byte_ciphertext_with_fill_count_7():
    # The first block of any 7-byte plaintext's ciphertext decrypts to 0xFF...
    first_block = oracle.encrypt(KEY, b"7 bytes")[:8]
    assert oracle.decrypt(KEY, first_block + bytes(8)) is None
    assert oracle.decrypt(KEY, first_block + bytes(16)) is not None
