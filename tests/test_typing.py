"""The package's type information against the built module.

mypy's stubtest compares src/qulo/_tea.pyi (and the inline types of the Python
files) with what the installed module really holds. The module's functions
report no signature to stubtest, so their parameters are checked here
against the signature lines of their docstrings; and mypy itself must
accept ordinary use and reject the misuse the stub is there to catch.
"""

from __future__ import annotations

import ast
import importlib.util
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy")

import qulo  # noqa: E402
import qulo._tea as tea_module  # noqa: E402

HERE = Path(__file__).resolve().parent
ALLOWLIST = HERE / "stubtest_allowlist.txt"
STUB = Path(tea_module.__file__).with_name("_tea.pyi")


def run_mypy_tool(args, cwd):
    # Run in a scratch folder, so that mypy finds no configuration or cache
    # of the checkout and reads the installed package (the compiled module
    # next to its stub).
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_stub_and_marker_are_installed_with_the_package():
    package = Path(qulo.__file__).parent
    assert STUB.is_file()
    assert (package / "py.typed").is_file()


# Submodules that import a library of their own on import, and that
# library: where it is not installed (a wheel's test run) they cannot load.
OPTIONAL = {"qulo.duckdb": "duckdb", "qulo.polars": "polars", "qulo._parquet": "pyarrow"}


def test_stubtest_finds_no_difference_between_stubs_and_runtime(tmp_path):
    # The optional libraries need not be there: where one is missing, the
    # submodule that imports it is left out, and mypy takes its imports as
    # untyped.
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\nignore_missing_imports = True\n")
    allowlist = tmp_path / "allowlist.txt"
    missing = [rf"{module}(\..*)?" for module, library in OPTIONAL.items()
               if importlib.util.find_spec(library) is None]
    allowlist.write_text(ALLOWLIST.read_text() + "".join(f"{m}\n" for m in missing))
    done = run_mypy_tool(
        ["mypy.stubtest", "qulo", "--allowlist", str(allowlist),
         "--mypy-config-file", str(config), "--concise"],
        tmp_path,
    )
    assert done.returncode == 0, done.stdout + done.stderr


def _stub_methods():
    tree = ast.parse(STUB.read_text())
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "TEA"]
    functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    methods = {
        n.name: n
        for n in cls.body
        if isinstance(n, ast.FunctionDef) and not n.name.startswith("_") and n.name != "key"
    }
    return methods, functions


DOC_SIGNATURE = re.compile(r"^(?:TEA\.)?(\w+)\((.*)\) -> (\w+)$")


def _doc_parameters(doc):
    name, params, result = DOC_SIGNATURE.match(doc).groups()
    return name, [p.split()[-1] for p in params.split(", ")], result


def test_stub_methods_match_the_runtime_signature_lines():
    methods, _ = _stub_methods()
    runtime = {
        name for name, value in vars(tea_module.TEA).items()
        if type(value).__name__ == "function" and not name.startswith("_")
    }
    assert set(methods) == runtime and len(runtime) == 12
    for name, node in methods.items():
        doc_name, params, result = _doc_parameters(getattr(tea_module.TEA, name).__doc__)
        assert doc_name == name
        assert [a.arg for a in node.args.args] == params, name
        assert not node.args.kwonlyargs and not node.args.posonlyargs and not node.args.vararg
        expected = {"bytes": "bytes", "int64_t": "int"}[result]
        assert ast.unparse(node.returns) == expected, name
        for arg in node.args.args[1:]:
            assert ast.unparse(arg.annotation) == "Buffer | None", (name, arg.arg)


def test_stub_encrypt_len_matches_the_runtime_signature_line():
    _, functions = _stub_methods()
    node = functions["encrypt_len"]
    _, params, result = _doc_parameters(tea_module.encrypt_len.__doc__)
    assert [a.arg for a in node.args.args] == params == ["src"]
    assert result == "int64_t" and ast.unparse(node.returns) == "int"


USE = textwrap.dedent(
    """
    from array import array
    import qulo
    from qulo import TEA, encrypt_len

    t = TEA(bytes(16))
    t = TEA(key=bytearray(16))
    t.key = memoryview(bytes(16))
    k: bytes = t.key
    c: bytes = t.encrypt_qq(b"abc")
    p: bytes = t.decrypt(c, sumtable=array("I", range(16)))
    out = bytearray(encrypt_len(3))
    n: int = t.encrypt_qq_into(text=None, out=out)
    m: int = encrypt_len(7.9)
    capsule = qulo.qulo_encrypt_qq
    folder: str = qulo.get_include()
    e = qulo.Encryptor(t, 3, sumtable=bytes(64), native_endian=True)
    head: bytes = e.update(b"ab") + e.update(memoryview(b"c"))
    w: int = e.update_into(b"", bytearray(16))
    tail: bytes = e.finalize()
    d = qulo.Decryptor(bytes(16))
    plain: bytes = d.update(head + tail) + d.finalize()
    version: str = qulo.__version__
    frame: dict[str, list[bytes]] = {"v": [b""]}
    same: dict[str, list[bytes]] = qulo.encrypt_columns(t, frame, "v", sumtable=bytes(64))
    back = qulo.decrypt_columns(b"k" * 16, same, ["v"], errors="null", verify=True, as_text=True)
    """
)

MISUSE = {
    "subclass": "class Mine(qulo.TEA): pass",
    "text_as_str": "qulo.TEA(bytes(16)).encrypt_qq('abc')",
    "key_as_int": "qulo.TEA(16)",
    "bytes_result_as_int": "n: int = qulo.TEA(bytes(16)).encrypt_qq(b'')",
    "int_result_as_bytes": "b: bytes = qulo.TEA(bytes(16)).encrypt_qq_into(b'', bytearray(16))",
    "unknown_keyword": "qulo.TEA(bytes(16)).encrypt_qq(data=b'')",
    "missing_sumtable": "qulo.TEA(bytes(16)).encrypt(b'')",
    "length_from_str": "qulo.encrypt_len('7')",
    "stream_subclass": "class Mine(qulo.Decryptor): pass",
    "stream_length_missing": "qulo.Encryptor(bytes(16))",
    "stream_length_str": "qulo.Encryptor(bytes(16), '3')",
    "stream_sumtable_positional": "qulo.Decryptor(bytes(16), bytes(64))",
    "stream_key_str": "qulo.Decryptor('key')",
    "stream_data_str": "qulo.Decryptor(bytes(16)).update('abc')",
    "stream_update_into_result_as_bytes": "b: bytes = qulo.Decryptor(bytes(16)).update_into(b'', bytearray(16))",
    "columns_errors_unknown": "qulo.decrypt_columns(bytes(16), [], 'v', errors='ignore')",
    "columns_name_int": "qulo.encrypt_columns(bytes(16), [], 3)",
    "columns_key_str": "qulo.encrypt_columns('key', [], 'v')",
}

# A polars frame comes back as its own kind, the others as Any (pyarrow's
# kinds come back as themselves, other producers' as an ArrowStream).
POLARS_USE = textwrap.dedent(
    """
    import duckdb
    import polars as pl
    import qulo

    frame: pl.DataFrame = qulo.encrypt_columns(bytes(16), pl.DataFrame(), "v")
    plan: pl.LazyFrame = qulo.decrypt_columns(bytes(16), pl.LazyFrame(), "v", as_text=True)
    stream: qulo.ArrowStream = qulo.encrypt_columns(bytes(16), duckdb.sql("SELECT 1"), "v")
    """
)
POLARS_MISUSE = {
    "columns_plan_as_frame": "import polars as pl\n"
                             "f: pl.DataFrame = qulo.encrypt_columns(bytes(16), pl.LazyFrame(), 'v')",
    "columns_frame_as_plan": "import polars as pl\n"
                             "f: pl.LazyFrame = qulo.decrypt_columns(bytes(16), pl.DataFrame(), 'v')",
}


def _mypy(tmp_path, sources):
    for name, code in sources.items():
        (tmp_path / f"{name}.py").write_text(code)
    return run_mypy_tool(
        ["mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / ".cache"),
         *(f"{name}.py" for name in sources)],
        tmp_path,
    )


def test_mypy_accepts_ordinary_use_and_rejects_each_misuse(tmp_path):
    sources = {"use": USE}
    misuse = dict(MISUSE)
    if all(importlib.util.find_spec(m) is not None for m in ("polars", "duckdb")):
        sources["use_polars"] = POLARS_USE
        misuse.update(POLARS_MISUSE)
    sources.update({f"misuse_{k}": "import qulo\n" + v + "\n" for k, v in misuse.items()})
    done = _mypy(tmp_path, sources)
    report = done.stdout
    assert "use.py:" not in report.replace("misuse_", "x"), report
    assert "use_polars.py:" not in report, report
    for name in misuse:
        assert f"misuse_{name}.py:" in report, (name, report)
