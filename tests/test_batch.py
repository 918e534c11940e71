"""encrypt_many and decrypt_many against the one-message methods, on every
batch kernel this CPU runs, from Python iterables (the Arrow arrays are in
test_batch_arrow.py, so that this file runs without pyarrow, under
valgrind too)."""

from __future__ import annotations

import array
import os
import platform
import random
import subprocess
import sys
import threading

import pytest

import qulo
from qulo import _batch

# Every kernel of this build; those this CPU cannot run are skipped.
KERNELS = _batch._known_kernels()
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


@pytest.mark.no_valgrind(reason="200 MB of messages")
def test_short_plaintexts_past_the_scratch_limit_come_out_whole(tea):
    # Short ciphertexts are decrypted in a block of at most 64 MiB and copied
    # out; those past it take the long way, in one call with the others.
    plain = bytes(range(250)) * 2  # 500 bytes: a ciphertext of 512
    texts = qulo.encrypt_many(tea, [plain] * 140_000)
    texts[1] = bytes(8)  # refused: None with errors="null", wherever it is
    texts[-1] = tea.encrypt_qq(b"last")
    got = qulo.decrypt_many(tea, texts, errors="null")
    assert got[1] is None and got[-1] == b"last"
    assert got[2:-1] == [plain] * (len(texts) - 3) and got[0] == plain


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


@pytest.mark.no_valgrind(reason="memcheck runs one thread at a time")
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


def smallest_thread_stack():
    # The floor differs between versions (32 KiB in 3.13, 52 KiB in 3.14) and
    # C libraries, so ask for whole pages until one is accepted.
    page = os.sysconf("SC_PAGESIZE")
    for size in range(32 * 1024, 1024 * 1024, page):
        try:
            threading.stack_size(threading.stack_size(size))
        except ValueError:
            continue
        return size
    pytest.fail("no thread stack under 1 MiB is accepted")


def instrumented():
    # The sanitizer run preloads ASan's runtime into the interpreter.
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def test_every_kernel_runs_on_a_thread_with_the_smallest_stack_python_allows(kernel, tea):
    # A kernel keeps its lanes' state on the stack, on a page of its own
    # (the native tests hold each kernel to 16 KiB of it). Instrumented, every
    # frame carries red zones (the AVX-512 kernel's grows from 13 to 18 KiB,
    # the interpreter's own frames likewise), so that build gets 64 KiB more.
    messages = mixed_messages(seed=5, count=80)
    got = []
    old = threading.stack_size(smallest_thread_stack() + (64 << 10 if instrumented() else 0))
    try:
        worker = threading.Thread(
            target=lambda: got.append(qulo.decrypt_many(tea, qulo.encrypt_many(tea, messages))))
        worker.start()
        worker.join()
    finally:
        threading.stack_size(old)
    assert got == [messages]


# ---- the kernel choice ---------------------------------------------------------------


def run_python(code, **env):
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env={**os.environ, **env}, timeout=120)
    return done.returncode, done.stdout.strip(), done.stderr


@pytest.mark.no_valgrind(reason="a native child's CPU against memcheck's, which lacks AVX-512")
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


@pytest.mark.no_valgrind(reason="a native child's CPU against memcheck's, which lacks AVX-512")
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


# The vector kernels of the architecture the module was built for, the
# portable one last; only the x86-64 ones wait for a CPU feature check.
ARCHITECTURE_KERNELS = {"x86_64": ("avx512", "avx2", "scalar"), "aarch64": ("neon", "scalar")}


def test_the_build_has_the_kernels_of_its_architecture():
    assert KERNELS == ARCHITECTURE_KERNELS.get(platform.machine(), ("scalar",))
    assert set(KERNELS) - {"avx512", "avx2"} <= set(_batch._kernels())


def test_selecting_an_unknown_kernel_is_refused_and_changes_nothing():
    before = qulo.batch_kernel()
    with pytest.raises(ValueError, match="cannot run a kernel named 'sse9'"):
        _batch._select_kernel("sse9")
    assert qulo.batch_kernel() == before


def test_importing_qulo_does_not_import_pyarrow():
    assert run_python("import sys, qulo; qulo.encrypt_many(bytes(16), [b'a']); "
                      "print('pyarrow' in sys.modules)")[1] == "False"


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
