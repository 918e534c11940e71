"""encrypt_many and decrypt_many against the one-message methods, on every
batch kernel this CPU runs, from Python iterables and from Arrow arrays."""

from __future__ import annotations

import array
import os
import random
import subprocess
import sys
import threading

import pytest

import qulo
from qulo import _batch

KERNELS = ("scalar", "avx2", "avx512")
SUMS = random.Random(11).randbytes(64)

# (encrypt method, decrypt method, keyword arguments of the batch calls)
VARIANTS = {
    "qq": ("encrypt_qq", "decrypt_qq", {}),
    "table": ("encrypt", "decrypt", {"sumtable": SUMS}),
    "native": ("encrypt_native_endian", "decrypt_native_endian",
               {"sumtable": SUMS, "native_endian": True}),
}


def one_by_one(tea, method, messages, kwargs):
    call = getattr(tea, method)
    if "sumtable" in kwargs:
        return [call(m, kwargs["sumtable"]) for m in messages]
    return [call(m) for m in messages]


@pytest.fixture(params=KERNELS)
def kernel(request):
    if request.param not in _batch._kernels():
        pytest.skip(f"this CPU cannot run the {request.param} kernel")
    _batch._select_kernel(request.param)
    yield request.param
    _batch._select_kernel(None)


def mixed_messages(seed=1, count=150):
    # More messages than any kernel has lanes, long ones among short ones.
    rng = random.Random(seed)
    lengths = list(range(41)) + [255, 256, 1000, 1024, 4099, 20000]
    lengths += [rng.randrange(300) for _ in range(count - len(lengths))]
    return [rng.randbytes(n) for n in lengths]


# ---- the kernels against one message per call ------------------------------------


@pytest.mark.parametrize("variant", VARIANTS)
def test_every_kernel_matches_the_methods_over_mixed_lengths(kernel, tea, key, variant):
    enc, dec, kwargs = VARIANTS[variant]
    messages = mixed_messages()
    assert qulo.batch_kernel() == kernel
    ciphertexts = qulo.encrypt_many(tea, messages, **kwargs)
    assert ciphertexts == one_by_one(tea, enc, messages, kwargs)
    # The key as bytes builds the same key words as the TEA object.
    assert qulo.decrypt_many(key, ciphertexts, **kwargs) == messages


@pytest.mark.parametrize("variant", VARIANTS)
def test_every_kernel_refuses_exactly_what_the_methods_refuse(kernel, tea, variant):
    _, dec, kwargs = VARIANTS[variant]
    # Random 16-byte texts: about one in eight claims more fill than it holds.
    rng = random.Random(3)
    texts = [rng.randbytes(16) for _ in range(200)] + [b"", bytes(8), bytes(17), bytes(23)]
    expected = []
    for t in texts:
        try:
            expected.append(one_by_one(tea, dec, [t], kwargs)[0])
        except ValueError:
            expected.append(None)
    assert qulo.decrypt_many(tea, texts, errors="null", **kwargs) == expected
    assert 10 < expected.count(None) < 100
    first = expected.index(None)
    with pytest.raises(ValueError, match=rf"^message {first} cannot be decrypted"):
        qulo.decrypt_many(tea, texts, **kwargs)


# ---- arguments -----------------------------------------------------------------------


def test_any_iterable_of_buffers_is_taken(tea):
    texts = [b"abc", bytearray(b"defg"), memoryview(b"xhijk")[1:], array.array("B", b"lm")]
    want = [tea.encrypt_qq(bytes(t)) for t in texts]
    assert qulo.encrypt_many(tea, texts) == want
    assert qulo.encrypt_many(tea, tuple(texts)) == want
    assert qulo.encrypt_many(tea, (t for t in texts)) == want
    assert qulo.encrypt_many(tea, []) == [] and qulo.decrypt_many(tea, []) == []


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda t: qulo.encrypt_many(t, b"abc"), TypeError, "not one bytes"),
        (lambda t: qulo.encrypt_many(t, 42), TypeError, "iterable of byte buffers"),
        (lambda t: qulo.encrypt_many(t, [b"a", "b"]), TypeError, "message 1 is not a byte buffer"),
        (lambda t: qulo.encrypt_many(bytes(15), [b"a"]), ValueError, "key must be 16 bytes, got 15"),
        (lambda t: qulo.encrypt_many(16, [b"a"]), TypeError, "key must be a TEA object"),
        (lambda t: qulo.encrypt_many(t, [b"a"], sumtable=bytes(63)), ValueError, "64 bytes, got 63"),
        (lambda t: qulo.encrypt_many(t, [b"a"], native_endian=True), ValueError, "needs a sum table"),
        (lambda t: qulo.decrypt_many(t, [], errors="ignore"), ValueError, "'raise' or 'null'"),
        (lambda t: qulo.encrypt_many(t, [b"a"], SUMS), TypeError, "positional"),
    ],
    ids=["lone-bytes", "not-iterable", "not-a-buffer", "short-key", "int-key", "short-table",
         "native-without-table", "bad-errors", "table-by-position"],
)
def test_argument_errors_say_what_is_wrong(tea, call, error, message):
    with pytest.raises(error, match=message):
        call(tea)


def test_decryption_errors_name_the_reason(tea):
    good = tea.encrypt_qq(b"fine")
    for text, reason in [(bytes(8), "8 bytes, fewer than 16"), (bytes(20), "not a multiple of 8")]:
        with pytest.raises(ValueError, match=f"message 1 cannot be decrypted: .*{reason}"):
            qulo.decrypt_many(tea, [good, text, good])


def test_decryption_takes_any_buffer_and_cuts_each_result_to_its_plaintext(tea):
    plain = [b"", b"x" * 6, b"y" * 7, b"z" * 64, bytes(range(200))]
    texts = [tea.encrypt_qq(p) for p in plain]
    mixed = [texts[0], bytearray(texts[1]), memoryview(texts[2]), array.array("B", texts[3]),
             texts[4]]
    got = qulo.decrypt_many(tea, mixed)
    assert got == plain and all(type(g) is bytes for g in got)


def test_calls_on_several_threads_at_once_each_get_their_own_results(tea):
    # The calls overlap while the lock is released, each with arrays of its
    # own; batches of different sizes, so that reused storage would show.
    rng = random.Random(4)
    batches = [[rng.randbytes(rng.randrange(100)) for _ in range(n)] for n in (5, 300, 2000, 70)]
    wants = [[tea.encrypt_qq(m) for m in b] for b in batches]
    failures = []

    def work(k):
        for _ in range(20):
            b = batches[k]
            out = qulo.encrypt_many(tea, b)
            if out != wants[k] or qulo.decrypt_many(tea, out) != b:
                failures.append(k)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(batches))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_the_interpreter_lock_is_released_during_the_batch(tea):
    # With a switch interval far beyond the call, the other thread can only
    # run inside the call if the lock is released there.
    messages = [bytes(64 * 1024)] * 256
    go = threading.Event()
    state = {"in_call": False}
    seen = []
    worker = threading.Thread(target=lambda: (go.wait(), seen.append(state["in_call"])))
    old = sys.getswitchinterval()
    worker.start()
    try:
        sys.setswitchinterval(100.0)
        state["in_call"] = True
        go.set()
        qulo.encrypt_many(tea, messages)
        state["in_call"] = False
    finally:
        sys.setswitchinterval(old)
        worker.join()
    assert seen == [True]


# ---- the kernel choice ---------------------------------------------------------------


def run_python(code, **env):
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env={**os.environ, **env}, timeout=120)
    return done.returncode, done.stdout.strip(), done.stderr


def test_without_the_variable_the_fastest_kernel_runs():
    env = {k: v for k, v in os.environ.items() if k != "QULO_BATCH_KERNEL"}
    done = subprocess.run([sys.executable, "-c", "import qulo; print(qulo.batch_kernel())"],
                          capture_output=True, text=True, env=env, timeout=120)
    assert done.stdout.strip() == _batch._kernels()[0]


@pytest.mark.parametrize("name", KERNELS)
def test_the_variable_forces_a_kernel_the_cpu_runs(name):
    if name not in _batch._kernels():
        pytest.skip(f"this CPU cannot run the {name} kernel")
    code = "import qulo; t = qulo.TEA(bytes(16)); " \
           "assert qulo.encrypt_many(t, [b'x']) == [t.encrypt_qq(b'x')]; print(qulo.batch_kernel())"
    assert run_python(code, QULO_BATCH_KERNEL=name)[:2] == (0, name)


@pytest.mark.parametrize("name", ["sse9", *(k for k in KERNELS if k not in _batch._kernels())])
def test_a_kernel_that_cannot_run_is_refused_at_first_use(name):
    # The package still imports; the batch functions say why they cannot run.
    code = "import qulo\nt = qulo.TEA(bytes(16)); t.encrypt_qq(b'still fine')\n" \
           "for f in (qulo.batch_kernel, lambda: qulo.encrypt_many(t, [b'x'])):\n" \
           "    try: f()\n    except RuntimeError as e: print(e)\n"
    code_rc, out, err = run_python(code, QULO_BATCH_KERNEL=name)
    assert code_rc == 0, err
    lines = out.splitlines()
    assert len(lines) == 2 and lines[0] == lines[1]
    assert lines[0].startswith(f"QULO_BATCH_KERNEL={name} names")
    assert "this CPU runs: " + ", ".join(_batch._kernels()) in lines[0]


def test_selecting_an_unknown_kernel_is_refused_and_changes_nothing():
    before = qulo.batch_kernel()
    with pytest.raises(ValueError, match="cannot run a kernel named 'sse9'"):
        _batch._select_kernel("sse9")
    assert qulo.batch_kernel() == before


def test_importing_qulo_does_not_import_pyarrow():
    assert run_python("import sys, qulo; qulo.encrypt_many(bytes(16), [b'a']); "
                      "print('pyarrow' in sys.modules)")[1] == "False"


# ---- Arrow arrays ----------------------------------------------------------------------

pa = pytest.importorskip("pyarrow")


def arrow_messages(kind, seed=5):
    rng = random.Random(seed)
    values = [None if i % 7 == 3 else rng.randbytes(rng.randrange(70)) for i in range(130)]
    return values, pa.array(values, kind)


def expected(tea, method, values, kwargs):
    return [None if v is None else one_by_one(tea, method, [v], kwargs)[0] for v in values]


@pytest.mark.parametrize("kind", [pa.binary(), pa.large_binary()], ids=str)
@pytest.mark.parametrize("variant", VARIANTS)
def test_arrow_arrays_give_the_same_type_and_the_method_results(kernel, tea, kind, variant):
    enc, dec, kwargs = VARIANTS[variant]
    values, arr = arrow_messages(kind)
    for part, vals in [(arr, values), (arr[5:97], values[5:97])]:  # slices start mid-buffer
        out = qulo.encrypt_many(tea, part, **kwargs)
        assert out.type == kind and isinstance(out, pa.Array)
        assert out.null_count == vals.count(None)
        assert out.to_pylist() == expected(tea, enc, vals, kwargs)
        back = qulo.decrypt_many(tea, out, **kwargs)
        assert back.type == kind and back.to_pylist() == vals


def test_chunked_arrays_keep_their_chunks(tea):
    values, arr = arrow_messages(pa.large_binary())
    chunked = pa.chunked_array([arr[:40], arr[40:40], arr[40:]])
    out = qulo.encrypt_many(tea, chunked)
    assert isinstance(out, pa.ChunkedArray) and out.type == pa.large_binary()
    assert [len(c) for c in out.chunks] == [40, 0, 90]
    assert out.to_pylist() == expected(tea, "encrypt_qq", values, {})
    assert qulo.decrypt_many(tea, out).to_pylist() == values
    assert len(qulo.encrypt_many(tea, pa.chunked_array([], pa.binary()))) == 0


def test_arrow_decryption_errors_name_the_index_in_the_whole_array(tea):
    good = tea.encrypt_qq(b"ok")
    chunked = pa.chunked_array([pa.array([good, None, good]), pa.array([good, b"bad", None])])
    with pytest.raises(ValueError, match=r"^message 4 cannot be decrypted: 3 bytes"):
        qulo.decrypt_many(tea, chunked)
    out = qulo.decrypt_many(tea, chunked, errors="null")
    assert out.to_pylist() == [b"ok", None, b"ok", b"ok", None, None]
    assert [c.null_count for c in out.chunks] == [1, 2]


def refused_sixteen_byte_text(tea):
    # A 16-byte text whose header claims a fill of 7: it takes its place in
    # the output until its first block is decrypted, then is refused.
    rng = random.Random(9)
    while True:
        text = rng.randbytes(16)
        try:
            tea.decrypt_qq(text)
        except ValueError:
            return text


@pytest.mark.parametrize("kind", [pa.binary(), pa.large_binary()], ids=str)
def test_arrow_plaintexts_close_up_behind_refused_texts(tea, kind):
    # Every plaintext moves down over the room of the texts before it,
    # refused ones included; the offsets must follow.
    rng = random.Random(8)
    bad = refused_sixteen_byte_text(tea)
    plain = [rng.randbytes(rng.randrange(60)) for _ in range(40)]
    texts = [tea.encrypt_qq(p) for p in plain]
    want = list(plain)
    for i in (0, 7, 8, 25, 39):
        texts[i], want[i] = bad, None
    texts[12], want[12] = b"short", None
    out = qulo.decrypt_many(tea, pa.array(texts, kind), errors="null")
    assert out.type == kind and out.to_pylist() == want and out.null_count == 6
    out.validate(full=True)


def test_arrow_plaintexts_close_up_across_windows_and_chunks(tea):
    # Enough text for the batch to run in several windows, with refusals
    # and a chunk boundary that does not fall on a window boundary.
    rng = random.Random(12)
    bad = refused_sixteen_byte_text(tea)
    plain = [rng.randbytes(rng.randrange(200)) for _ in range(6000)]
    texts = qulo.encrypt_many(tea, plain)
    want = list(plain)
    for i in rng.sample(range(len(texts)), 60):
        texts[i], want[i] = bad, None
    arr = pa.array(texts, pa.large_binary())
    chunked = pa.chunked_array([arr[:1777], arr[1777:1777], arr[1777:]])
    out = qulo.decrypt_many(tea, chunked, errors="null")
    assert out.to_pylist() == want and [len(c) for c in out.chunks] == [1777, 0, 4223]
    for c in out.chunks:
        c.validate(full=True)


@pytest.mark.parametrize("values", [[], [None, None], [b""] * 3], ids=["empty", "nulls", "empties"])
def test_arrow_edge_arrays(tea, values):
    arr = pa.array(values, pa.binary())
    out = qulo.encrypt_many(tea, arr)
    assert out.to_pylist() == expected(tea, "encrypt_qq", values, {})
    assert qulo.decrypt_many(tea, out).to_pylist() == values


def test_arrow_arrays_of_other_types_are_refused(tea):
    with pytest.raises(TypeError, match="binary or large_binary is needed, not string"):
        qulo.encrypt_many(tea, pa.array(["text"]))


@pytest.mark.parametrize(
    "chunk, message",
    [
        ((2, 0, None, array.array("i", [0, 4, 400]), b"abcdefgh", 4), "past the data buffer"),
        ((2, 0, None, array.array("i", [0, 6, 3]), b"abcdefgh", 4), "offsets decrease"),
        ((3, 0, None, array.array("i", [0, 1, 2]), b"abcdefgh", 4), "offsets buffer is shorter"),
        ((2, 1, None, array.array("q", [0, 1, 2]), b"abcdefgh", 8), "offsets buffer is shorter"),
        ((9, 0, b"\xff", array.array("i", range(10)), b"abcdefghij", 4), "validity bitmap"),
        ((1, 0, None, array.array("i", [-1, 2]), b"abcdefgh", 4), "offset is negative"),
    ],
    ids=["past-data", "decreasing", "short-offsets", "short-large-offsets", "short-bitmap",
         "negative"],
)
def test_malformed_arrow_buffers_are_refused_not_read(tea, chunk, message):
    # pyarrow validates what it builds, so the buffers go straight to the
    # module's own entry, as qulo.batch hands them over.
    for call in (lambda: _batch._encrypt_arrow(tea, [chunk], None, False),
                 lambda: _batch._decrypt_arrow(tea, [chunk], None, False, False)):
        with pytest.raises(ValueError, match=f"malformed Arrow array \\(chunk 0\\): .*{message}"):
            call()
