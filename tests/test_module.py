"""qulo._tea as the interpreter meets it: start-up, namespace, encrypt_len and
the seven capsules of the cipher's entry points."""

import builtins
import ctypes
import importlib
import random
import subprocess
import sys
import tempfile
import textwrap
import types
import warnings

import pytest

import capsules
import oracle
import qulo._tea as tea_module
from helpers import traceback_names
from qulo._tea import TEA, encrypt_len

INT64_MIN = -2**63
INT64_MAX = 2**63 - 1
MODULE_NAME = "qulo._tea"
ONE_INTERPRETER = ("Interpreter change detected - this module can only be loaded into one "
                   "interpreter per process.")

KEYS = [
    bytes(16),
    bytes.fromhex("00112233445566778899aabbccddeeff"),
    bytes(range(0xF0, 0x100)),
]
_rng = random.Random(20240611)
SUMTABLES = {
    "standard": oracle.standard_sumtable(),
    "random": bytes(_rng.getrandbits(8) for _ in range(64)),
    "one value": (0x01020304).to_bytes(4, "little") * 16,
}
LENGTHS = list(range(71)) + [1000, 4096 + 3]


def run_child(code, *flags, args=()):
    """Run code in a fresh interpreter that sees the installed package only."""
    return subprocess.run(
        [sys.executable, "-I", *flags, "-c", textwrap.dedent(code), *args],
        capture_output=True, text=True, cwd=tempfile.gettempdir(),
        timeout=300)


# ---- encrypt_len ------------------------------------------------------------------


@pytest.mark.parametrize("src, expected", [
    (0, 16), (1, 16), (6, 16), (7, 24), (14, 24), (15, 32), (22, 32), (23, 40), (100, 112),
    (-1, 16), (-7, 16), (-8, 16), (-9, 8), (-16, 8), (-17, 0), (-18, 0), (-100, -80),
    (INT64_MIN, INT64_MIN + 24), (INT64_MIN + 1, INT64_MIN + 24),
    (2**63 - 18, 2**63 - 8), (2**63 - 19, 2**63 - 8), (2**63 - 25, 2**63 - 8),
    (2**63 - 26, 2**63 - 16),
])
def test_encrypt_len_follows_the_truncating_length_rule(src, expected):
    result = encrypt_len(src)
    assert result == expected and type(result) is int


def test_encrypt_len_agrees_with_the_model_over_a_span_of_small_values():
    for n in range(-300, 300):
        assert encrypt_len(n) == oracle.encrypt_len(n), n


@pytest.mark.parametrize("src", [2**63 - k for k in range(1, 18)] + [
    2**63, 2**64, 2**200, INT64_MIN - 1, -2**200, 1e19, -1e19,
])
def test_encrypt_len_raises_overflow_outside_the_representable_results(src):
    with pytest.raises(OverflowError):
        encrypt_len(src)


class IntSub(int):
    def __int__(self):  # never consulted: an int subclass is taken by value
        return 100


class ViaInt:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class IntAndIndex(ViaInt):
    def __index__(self):
        return 100


class IndexOnly:
    def __index__(self):
        return 7


class RaisingInt:
    def __int__(self):
        raise KeyError("from __int__")


@pytest.mark.parametrize("src, expected", [
    (True, 16), (False, 16), (IntSub(7), 24),
    (7.9, 24), (7.0, 24), (-8.5, 16),  # truncated toward zero: -8, not -9
    (ViaInt(7), 24), (IntAndIndex(7), 24),
])
def test_encrypt_len_converts_ints_by_value_and_others_through_int(src, expected):
    assert encrypt_len(src) == expected


@pytest.mark.parametrize("src", ["7", b"7", None, [], IndexOnly(), object()])
def test_encrypt_len_refuses_objects_without_int(src):
    with pytest.raises(TypeError) as info:
        encrypt_len(src)
    assert str(info.value) == "an integer is required"


@pytest.mark.parametrize("result, type_name", [(7.5, "float"), ("7", "str"), (None, "NoneType")])
def test_encrypt_len_refuses_int_returning_a_non_int(result, type_name):
    with pytest.raises(TypeError) as info:
        encrypt_len(ViaInt(result))
    assert str(info.value) == f"__int__ returned non-int (type {type_name})"


DEPRECATED_INT = ("__int__ returned non-int (type bool).  The ability to return an instance of "
                  "a strict subclass of int is deprecated, and may be removed in a future "
                  "version of Python.")


def test_encrypt_len_warns_when_int_returns_an_int_subclass_and_takes_its_value():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert encrypt_len(ViaInt(True)) == 16
    assert [(w.category, str(w.message)) for w in caught] == [(DeprecationWarning, DEPRECATED_INT)]


def test_encrypt_len_fails_when_the_deprecation_warning_is_an_error():
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning) as info:
            encrypt_len(ViaInt(True))
    assert str(info.value) == DEPRECATED_INT


def test_encrypt_len_passes_the_exception_of_int_through():
    with pytest.raises(KeyError) as info:
        encrypt_len(RaisingInt())
    assert info.value.args == ("from __int__",)


class KeywordName(str):
    pass


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {"src": 7}, 24),
    ((), {KeywordName("src"): 7}, 24),
    ((), {"".join(["s", "rc"]): 7}, 24),  # equal but not the interned object
])
def test_encrypt_len_takes_src_by_keyword(args, kwargs, expected):
    assert encrypt_len(*args, **kwargs) == expected


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "encrypt_len() takes exactly 1 positional argument (0 given)"),
    ((1, 2), {}, "encrypt_len() takes exactly 1 positional argument (2 given)"),
    ((1, 2, 3), {}, "encrypt_len() takes exactly 1 positional argument (3 given)"),
    ((1, 2), {"src": 3}, "encrypt_len() takes exactly 1 positional argument (2 given)"),
    ((1,), {"src": 1}, "encrypt_len() got multiple values for keyword argument 'src'"),
    ((1,), {KeywordName("src"): 1},
     "encrypt_len() got multiple values for keyword argument 'src'"),
    ((), {"n": 1}, "encrypt_len() got an unexpected keyword argument 'n'"),
    ((1,), {"n": 1}, "encrypt_len() got an unexpected keyword argument 'n'"),
    ((), {"src": 1, "n": 1}, "encrypt_len() got an unexpected keyword argument 'n'"),
    ((), {"Src": 1}, "encrypt_len() got an unexpected keyword argument 'Src'"),
])
def test_encrypt_len_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        encrypt_len(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("args, kwargs, error", [
    (("7",), {}, TypeError),
    ((), {}, TypeError),
    ((), {"n": 1}, TypeError),
    ((2**63,), {}, OverflowError),
    ((INT64_MAX,), {}, OverflowError),
    ((RaisingInt(),), {}, KeyError),
])
def test_encrypt_len_failures_carry_one_traceback_entry_of_its_full_name(args, kwargs, error):
    with pytest.raises(error) as info:
        encrypt_len(*args, **kwargs)
    assert traceback_names(info.value).count("qulo._tea.encrypt_len") == 1


def test_encrypt_len_function_attributes():
    assert (encrypt_len.__name__, encrypt_len.__qualname__, encrypt_len.__module__,
            encrypt_len.__doc__) == ("encrypt_len", "encrypt_len", MODULE_NAME,
                                     "encrypt_len(int64_t src) -> int64_t")


# ---- namespace ---------------------------------------------------------------------


def test_public_names_are_the_type_the_function_and_the_seven_capsules():
    public = {name for name in vars(tea_module) if not name.startswith("_")}
    assert public == {"TEA", "encrypt_len", *capsules.ENTRY_POINTS}


def test_star_import_takes_every_public_name():
    namespace = {}
    exec("from qulo._tea import *", namespace)
    namespace.pop("__builtins__")
    assert not hasattr(tea_module, "__all__")
    assert set(namespace) == {"TEA", "encrypt_len", *capsules.ENTRY_POINTS}
    assert namespace["TEA"] is TEA


def test_dunder_entries_of_the_namespace():
    spec = tea_module.__spec__
    assert tea_module.__doc__ is None
    assert tea_module.__test__ == {} and type(tea_module.__test__) is dict
    assert tea_module.__builtins__ is builtins
    assert tea_module.__name__ == MODULE_NAME
    assert tea_module.__file__ == spec.origin
    assert tea_module.__loader__ is spec.loader
    assert tea_module.__package__ == "qulo"
    assert not hasattr(tea_module, "__path__")
    assert TEA.__module__ == MODULE_NAME and TEA.__qualname__ == "TEA"


@pytest.mark.parametrize("attribute", capsules.ENTRY_POINTS)
def test_capsule_names_and_pointers(attribute):
    capsule = getattr(tea_module, attribute)
    name = b"qulo." + attribute.encode()
    assert type(capsule) is types.CapsuleType
    assert capsules.capsule_name(capsule) == name
    assert capsules.capsule_is_valid(capsule, name)
    assert capsules.capsule_pointer(capsule, name)
    assert capsules.capsule_context(capsule) is None
    assert capsules.capsule_destructor(capsule) is None


@pytest.mark.parametrize("attribute", capsules.ENTRY_POINTS)
@pytest.mark.parametrize("wrong", [
    lambda a: None, lambda a: b"", lambda a: b"qulo", lambda a: b"qulo.",
    lambda a: b"qulo._tea." + a, lambda a: a, lambda a: b"QULO." + a,
    lambda a: b"qulo." + a + b"_", lambda a: (b"qulo." + a)[:-1], lambda a: b"qulo " + a,
], ids=["null", "empty", "package", "package dot", "module path", "bare", "upper case",
        "suffix", "truncated", "space"])
def test_capsules_refuse_any_other_name(attribute, wrong):
    capsule = getattr(tea_module, attribute)
    name = wrong(attribute.encode())
    assert not capsules.capsule_is_valid(capsule, name)
    with pytest.raises(ValueError):
        capsules.capsule_pointer(capsule, name)


def test_each_capsule_refuses_the_names_of_the_others():
    for attribute in capsules.ENTRY_POINTS:
        for other in capsules.ENTRY_POINTS:
            valid = capsules.capsule_is_valid(getattr(tea_module, attribute),
                                              b"qulo." + other.encode())
            assert valid == (attribute == other)


def test_capsule_pointers_are_seven_distinct_functions():
    pointers = {capsules.capsule_pointer(getattr(tea_module, a), b"qulo." + a.encode())
                for a in capsules.ENTRY_POINTS}
    assert len(pointers) == 7


# ---- the entry points through the capsules ---------------------------------------------


@pytest.fixture(scope="module")
def core():
    return capsules.Core(tea_module)


def test_capsule_encrypt_len_matches_the_module_function(core):
    values = [INT64_MIN, INT64_MIN + 1, 2**63 - 18, 2**63 - 19, INT64_MAX - 100, -2**40 - 3, 2**40 + 5]
    values += list(range(-40, 80))
    for n in values:
        assert core.encrypt_len(n) == encrypt_len(n) == oracle.encrypt_len(n), n


@pytest.mark.parametrize("key", KEYS, ids=["zero", "counting", "high"])
def test_capsule_qq_entry_points_against_the_model(core, key):
    for n in LENGTHS:
        text = bytes(random.Random(n).getrandbits(8) for _ in range(n))
        expected = oracle.encrypt(key, text)
        out = bytearray(len(expected))
        assert core.call("qulo_encrypt_qq", key, text, out) == len(expected) == encrypt_len(n)
        assert out == expected, n
        back = bytearray(len(out))
        assert core.call("qulo_decrypt_qq", key, out, back) == n
        assert back[:n] == text


@pytest.mark.parametrize("native", [False, True], ids=["big_endian", "native_endian"])
@pytest.mark.parametrize("table", SUMTABLES, ids=list(SUMTABLES))
@pytest.mark.parametrize("key", KEYS, ids=["zero", "counting", "high"])
def test_capsule_table_entry_points_against_the_model(core, key, table, native):
    sums = SUMTABLES[table]
    suffix = "_native_endian" if native else ""
    for n in LENGTHS:
        text = bytes(random.Random(n).getrandbits(8) for _ in range(n))
        expected = oracle.encrypt(key, text, sums, native)
        out = bytearray(len(expected))
        assert core.call("qulo_encrypt" + suffix, key, text, out, sums) == len(expected)
        assert out == expected, n
        back = bytearray(len(out))
        assert core.call("qulo_decrypt" + suffix, key, out, back, sums) == n
        assert back == oracle.decrypt_leftovers(key, expected, sums, native)


@pytest.mark.parametrize("entry, sums, native", [
    ("qulo_decrypt_qq", None, False),
    ("qulo_decrypt", SUMTABLES["random"], False),
    ("qulo_decrypt_native_endian", SUMTABLES["random"], True),
])
def test_capsule_decryption_of_arbitrary_ciphertexts(core, entry, sums, native):
    rng = random.Random(7)
    for size in range(16, 200, 8):
        data = bytes(rng.getrandbits(8) for _ in range(size))
        leftovers = oracle.decrypt_leftovers(KEYS[1], data, sums, native)
        tail = bytes(rng.getrandbits(8) for _ in range(9))
        out = bytearray(size) + tail
        before = bytes(out)
        result = core.call(entry, KEYS[1], data, out, sums)
        if leftovers is None:  # a 16-byte text whose header gives fill count 7
            assert result == -1 and out == before
        else:
            plain = oracle.decrypt(KEYS[1], data, sums, native)
            assert result == len(plain)
            assert out == leftovers + tail  # bytes after the text untouched
        # In place gives the same.
        inplace = bytearray(data)
        assert core.call(entry, KEYS[1], inplace, inplace, sums) == result
        assert inplace == (data if leftovers is None else leftovers)


def test_capsule_standard_sums_in_host_order_equal_the_qq_entry_points(core):
    for n in (0, 5, 17, 64):
        text = bytes(range(n))
        qq, table = bytearray(encrypt_len(n)), bytearray(encrypt_len(n))
        core.call("qulo_encrypt_qq", KEYS[1], text, qq)
        core.call("qulo_encrypt", KEYS[1], text, table, SUMTABLES["standard"])
        assert qq == table


ENCRYPTIONS = [("qulo_encrypt_qq", None, False), ("qulo_encrypt", SUMTABLES["random"], False),
               ("qulo_encrypt_native_endian", SUMTABLES["random"], True)]
DECRYPTIONS = [("qulo_decrypt_qq", None, False), ("qulo_decrypt", SUMTABLES["random"], False),
               ("qulo_decrypt_native_endian", SUMTABLES["random"], True)]


@pytest.mark.parametrize("entry, sums, native", ENCRYPTIONS)
@pytest.mark.parametrize("n", [0, 6, 7, 20])
def test_capsule_encryption_capacity(core, entry, sums, native, n):
    text = bytes(range(1, n + 1))
    size = encrypt_len(n)
    short = bytearray(b"\xa5" * (size - 1))
    assert core.call(entry, KEYS[1], text, short, sums) == -1
    assert short == b"\xa5" * (size - 1)
    long = bytearray(b"\xa5" * (size + 13))
    assert core.call(entry, KEYS[1], text, long, sums) == size
    assert long == oracle.encrypt(KEYS[1], text, sums, native) + bytes(13)


@pytest.mark.parametrize("entry, sums, native", ENCRYPTIONS)
def test_capsule_encryption_of_a_null_source_of_length_zero(core, entry, sums, native):
    out = bytearray(b"\x5a" * 16)
    assert core.call(entry, KEYS[1], None, out, sums) == 16
    assert out == oracle.encrypt(KEYS[1], b"", sums, native)


@pytest.mark.parametrize("entry, sums, native", ENCRYPTIONS)
@pytest.mark.parametrize("n, offset", [(5, 0), (5, 3), (5, 8), (5, 11), (30, 0), (30, 6),
                                       (30, 9), (30, 10), (30, 17)])
def test_capsule_encryption_of_a_source_inside_the_output(core, entry, sums, native, n, offset):
    text = bytes(range(0x40, 0x40 + n))
    size = encrypt_len(n)
    out = bytearray(b"\x77" * max(size, offset + n))
    out[offset:offset + n] = text
    source = memoryview(out)[offset:offset + n]
    assert core.call(entry, KEYS[1], source, out, sums) == size
    source.release()
    assert out[:size] == oracle.encrypt(KEYS[1], text, sums, native)
    assert not any(out[size:])


@pytest.mark.parametrize("entry, sums, native", DECRYPTIONS)
@pytest.mark.parametrize("size, capacity", [(0, 0), (0, 32), (8, 32), (15, 32), (17, 32),
                                            (23, 32), (16, 15), (24, 23)])
def test_capsule_decryption_refusals_write_nothing(core, entry, sums, native, size, capacity):
    data = oracle.encrypt(KEYS[1], bytes(range(20)), sums, native)[:size].ljust(size, b"\x01")
    out = bytearray(b"\xc3" * capacity)
    assert core.call(entry, KEYS[1], data, out, sums) == -1
    assert out == b"\xc3" * capacity


@pytest.mark.parametrize("entry, sums, native", DECRYPTIONS)
def test_capsule_decryption_with_fill_count_seven_writes_nothing(core, entry, sums, native):
    data = fill_seven_ciphertext(KEYS[1], sums, native)
    out = bytearray(b"\xc3" * 20)
    assert core.call(entry, KEYS[1], data, out, sums) == -1
    assert out == b"\xc3" * 20
    inplace = bytearray(data)
    assert core.call(entry, KEYS[1], inplace, inplace, sums) == -1
    assert inplace == data


def fill_seven_ciphertext(key, sums, native):
    """A 16-byte ciphertext whose decrypted header byte has low bits 7."""
    rng = random.Random(1)
    while True:
        data = bytes(rng.getrandbits(8) for _ in range(16))
        if oracle.decrypt(key, data, sums, native) is None:
            return data


# ---- start-up ------------------------------------------------------------------------


def test_reimport_after_removal_from_sys_modules_gives_the_same_module():
    import qulo

    before = dict(vars(tea_module))
    saved = sys.modules.pop(MODULE_NAME)
    try:
        again = importlib.import_module(MODULE_NAME)
    finally:
        sys.modules[MODULE_NAME] = saved
        qulo._tea = saved
    assert again is tea_module
    assert again.TEA is TEA
    for name in capsules.ENTRY_POINTS:
        assert getattr(again, name) is before[name]
    assert dict(vars(again)) == before


def test_module_is_registered_under_its_full_name():
    assert sys.modules[MODULE_NAME] is tea_module


def test_execute_step_on_a_second_module_object_is_refused():
    lib = ctypes.PyDLL(tea_module.__file__)
    lib.PyInit__tea.restype = ctypes.c_void_p
    definition = lib.PyInit__tea()
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
    exec_def.restype = ctypes.c_int
    stranger = types.ModuleType(MODULE_NAME)
    with pytest.raises(RuntimeError) as info:
        exec_def(stranger, definition)
    assert str(info.value) == ("Module '_tea' has already been imported. "
                               "Re-initialisation is not supported.")
    assert "TEA" not in vars(stranger)
    assert exec_def(tea_module, definition) == 0  # the started module: nothing to do
    assert tea_module.TEA is TEA and encrypt_len(7) == 24


# PyModuleDef as <moduleobject.h> lays it out, PyModuleDef_Base first.
class ModuleDefSlot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


class ModuleDef(ctypes.Structure):
    _fields_ = [
        ("ob_base", ctypes.c_char * object.__basicsize__), ("m_init", ctypes.c_void_p),
        ("m_index", ctypes.c_ssize_t), ("m_copy", ctypes.c_void_p),
        ("m_name", ctypes.c_char_p), ("m_doc", ctypes.c_char_p), ("m_size", ctypes.c_ssize_t),
        ("m_methods", ctypes.c_void_p), ("m_slots", ctypes.POINTER(ModuleDefSlot)),
        ("m_traverse", ctypes.c_void_p), ("m_clear", ctypes.c_void_p), ("m_free", ctypes.c_void_p),
    ]


# Py_mod_create and Py_mod_exec: 1 and 2, renumbered 84 and 85 in 3.15's
# headers (which keep the old numbers as compatible values).
CREATE_THEN_EXEC = [[1, 2], [84, 85]]


def test_module_record_has_the_create_and_execute_steps_only():
    lib = ctypes.PyDLL(tea_module.__file__)
    lib.PyInit__tea.restype = ctypes.POINTER(ModuleDef)
    record = lib.PyInit__tea().contents
    slots = []
    while (slot := record.m_slots[len(slots)].slot) != 0:
        slots.append(slot)
    assert slots in CREATE_THEN_EXEC
    assert (record.m_name, record.m_doc, record.m_size, record.m_methods) == (b"_tea", None, 0, None)
    assert (record.m_traverse, record.m_clear, record.m_free) == (None, None, None)


START_UP_WITHOUT_MEMORY = """
    import _imp, _testcapi, importlib.util, sys
    path, at = sys.argv[1], int(sys.argv[2])
    spec = importlib.util.spec_from_file_location("qulo._tea", path)
    _testcapi.set_nomemory(at, at + 1)  # the allocation numbered `at` fails, no other
    try:
        _imp.exec_dynamic(_imp.create_dynamic(spec))
        failure = None
    except Exception as e:
        failure = e
    finally:
        _testcapi.remove_mem_hooks()
    if failure is None:
        sys.exit(0)
    names, tb = [], failure.__traceback__
    while tb is not None:
        names, tb = names + [tb.tb_frame.f_code.co_name], tb.tb_next
    print(type(failure).__name__, "init qulo._tea" in names, failure, sep="|")
    again = _imp.create_dynamic(spec)
    _imp.exec_dynamic(again)
    tea = again.TEA(bytes(16))
    assert tea.decrypt_qq(tea.encrypt_qq(b"retried")) == b"retried"
    sys.exit(3)
"""


def test_each_failed_allocation_of_start_up_raises_and_a_retry_imports():
    pytest.importorskip("_testcapi")
    failures = []
    for at in range(2000):
        result = run_child(START_UP_WITHOUT_MEMORY, args=(tea_module.__file__, str(at)))
        if result.returncode == 0:
            break
        # A signal (a negative code) or any other exit is a crash or a failed retry.
        assert result.returncode == 3, (at, result.returncode, result.stdout, result.stderr)
        failures.append(result.stdout.rstrip("\n").split("|", 2))
    else:
        pytest.fail("start-up never imported")
    for kind, _, message in failures:
        # A SystemError is ours, for a type the interpreter failed to make silently.
        assert kind == "MemoryError" or (kind == "SystemError" and message.startswith(
            "creating the type qulo._tea.")), (kind, message)
    # Failures of the steps after the constants carry the entry, earlier ones do not.
    assert {entry for _, entry, _ in failures} == {"True", "False"}


def test_loaded_under_another_name_it_also_registers_its_full_name():
    result = run_child("""
        import glob, importlib.util, sys
        folder = importlib.util.find_spec("qulo").submodule_search_locations[0]
        path, = glob.glob(folder + "/_tea.*.so")
        # The export is found by the last part of the name, so only the package differs.
        spec = importlib.util.spec_from_file_location("elsewhere._tea", path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        assert module.__name__ == "elsewhere._tea", module.__name__
        assert sys.modules["qulo._tea"] is module
        assert "elsewhere._tea" not in sys.modules
        assert module.__file__ == path and module.__package__ == "elsewhere"
        assert not hasattr(module, "__path__")
        import qulo
        assert qulo.TEA is module.TEA
        print(module.encrypt_len(7))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["24"]


SUBINTERPRETER = """
    import _interpreters, sys
    {first}
    iid = _interpreters.create({config!r})
    try:
        failure = _interpreters.exec(iid, "import {module}")
    finally:
        _interpreters.destroy(iid)
    print(failure.type.__name__ if failure else "imported")
    print(failure.msg if failure else "")
    import qulo._tea as t
    key = bytes(range(16))
    print(t.encrypt_len(7), t.TEA(key).decrypt_qq(t.TEA(key).encrypt_qq(b"still works")))
"""


# The other modules take TEA objects as keys: one stance for all three.
@pytest.mark.parametrize("module", ["qulo._tea", "qulo._stream", "qulo._batch"])
@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_a_second_interpreter_cannot_import_the_module(config, module):
    result = run_child(SUBINTERPRETER.format(first="import qulo._tea", config=config,
                                             module=module))
    assert result.returncode == 0, result.stderr
    kind, message, rest = result.stdout.splitlines()
    assert kind == "ImportError"
    if config == "legacy":
        # A shared-GIL interpreter lets the import reach the create step.
        assert message == ONE_INTERPRETER
    assert rest == "24 b'still works'"


def test_the_first_interpreter_to_import_keeps_the_module():
    code = """
        import _interpreters
        iid = _interpreters.create("legacy")
        try:
            failure = _interpreters.exec(iid, "import qulo._tea")
        finally:
            _interpreters.destroy(iid)
        assert failure is None, failure
        try:
            import qulo._tea
        except ImportError as e:
            print(e)
        else:
            print("imported")
    """
    result = run_child(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == ONE_INTERPRETER


def test_optimise_option_turns_the_sum_table_assertion_off_for_the_process():
    code = """
        import qulo._tea as t
        assert not __debug__
        key = bytes(range(16))
        tea = t.TEA(key)
        table = bytes(range(64))
        for name in ("encrypt", "decrypt", "encrypt_native_endian", "decrypt_native_endian"):
            text = b"\\x00" * 24
            for short in (table[:63], b"", None):
                try:
                    getattr(tea, name)(text, short)
                except ValueError as e:
                    assert str(e) == "sum table must be 64 bytes len", e
                else:
                    raise SystemExit(name + " accepted a short table")
            assert getattr(tea, name)(text, table + b"\\xff") == getattr(tea, name)(text, table)
            into = getattr(tea, name + "_into")
            out, longer = bytearray(64), bytearray(64)
            try:
                into(text, table[:63], out)
            except ValueError as e:
                assert str(e) == "sum table must be 64 bytes len", e
            else:
                raise SystemExit(name + "_into accepted a short table")
            assert out == bytearray(64)
            assert into(text, table, out) == into(text, table + b"\\x01" * 9, longer)
            assert out == longer
        print("ok")
    """
    result = run_child(code, "-O")
    assert result.returncode == 0, result.stderr + result.stdout
    assert result.stdout.strip() == "ok"
