"""One refusal, one exception: every surface beyond qulo._tea raises
qulo.DecryptionError for a ciphertext the core refuses, with its status, its
reason and, in a batch, the element's index."""

from __future__ import annotations

import pickle

import pytest

import qulo
from test_attacks import refused_texts

OTHER = qulo.TEA(bytes(range(1, 17)))


def texts(tea):
    return {
        "short": (b"x" * 15, -2, False),
        "blocks": (b"x" * 20, -3, False),
        "fill": (refused_texts(tea, 1)[0], -4, False),
        "check": (OTHER.encrypt_qq(b"another key's"), -5, True),
    }


def through_list(tea, text, verify):
    qulo.decrypt_many(tea, [tea.encrypt_qq(b"fine"), text], verify=verify)


def through_arrow(tea, text, verify):
    pa = pytest.importorskip("pyarrow")
    qulo.decrypt_many(tea, pa.chunked_array([[tea.encrypt_qq(b"ok")], [None, text]]),
                      verify=verify)


def through_decryptor(tea, text, verify):
    d = qulo.Decryptor(tea, verify=verify)
    d.update(text)
    d.finalize()


SURFACES = {"list": (through_list, 1), "arrow": (through_arrow, 2),
            "Decryptor": (through_decryptor, None)}


@pytest.mark.parametrize("reason", ["short", "blocks", "fill", "check"])
@pytest.mark.parametrize("surface", SURFACES)
def test_each_refusal_is_a_decryption_error_with_its_status(tea, surface, reason):
    call, index = SURFACES[surface]
    text, status, verify = texts(tea)[reason]
    with pytest.raises(qulo.DecryptionError) as caught:
        call(tea, text, verify)
    e = caught.value
    assert isinstance(e, ValueError)
    assert (e.reason, e.status, e.index) == (reason, status, index)
    if index is not None:
        assert str(e).startswith(f"message {index} cannot be decrypted: ")
    copy = pickle.loads(pickle.dumps(e))
    assert (type(copy), str(copy), copy.reason, copy.status, copy.index) == \
        (qulo.DecryptionError, str(e), e.reason, e.status, e.index)


def test_a_misused_stream_is_no_decryption_error(tea):
    e = qulo.Encryptor(tea, 3)
    with pytest.raises(ValueError, match="data runs past the announced length") as caught:
        e.update(b"four")
    assert type(caught.value) is ValueError


@pytest.mark.parametrize("n", [0, 15, 20, 16, 24, 2 ** 40])
def test_check_length_refuses_a_length_as_finalize_refuses_its_ciphertext(tea, n):
    if n >= 16 and n % 8 == 0:
        assert qulo.Decryptor.check_length(n) is None
        return
    with pytest.raises(qulo.DecryptionError) as asked:
        qulo.Decryptor.check_length(n)
    with pytest.raises(qulo.DecryptionError) as finished:
        through_decryptor(tea, b"x" * n, False)
    a, f = asked.value, finished.value
    assert (a.reason, a.status, a.index) == (f.reason, f.status, f.index)
    # Nothing was given, so nothing is to be discarded.
    assert str(a) == str(f).replace(" given", "").replace("; discard what update() returned", "")
