"""The examples of the manual run as written.

Every fenced block whose info string is exactly `python`, in README.md and in
docs/*.md, runs top to bottom within its file, in one namespace per file,
in a fresh temporary working folder, against the installed package. A
failure names the file and the line of the block (tracebacks carry the
Markdown file's own line numbers).

Every ```c block is a file of docs/examples/, named on its first line and
quoted whole; the test compiles that file as an extension module against
the installed headers and uses it.
"""

from __future__ import annotations

import os
import re
import shlex
import shutil
import sysconfig
import traceback
from dataclasses import dataclass
from pathlib import Path

import pytest

import qulo

pytestmark = pytest.mark.source_tree

ROOT = Path(__file__).resolve().parent.parent
DOCS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
EXAMPLES = ROOT / "docs" / "examples"

FENCE = re.compile(r"^(?P<indent> *)(?P<fence>`{3,}|~{3,})(?P<info>.*)$")
C_NAME = re.compile(r"^/\* (docs/examples/[\w.-]+\.c)\b")
# Blocks below this comment need optional modules (an extra); where one is
# missing, the rest of the file is skipped.
NEEDS = re.compile(r"^<!-- examples below need: ([\w. ]+) -->$", re.M)


@dataclass
class Block:
    info: str
    line: int  # line number of the block's first code line, from 1
    code: str


def blocks(path: Path) -> list[Block]:
    """The fenced code blocks of a Markdown file, in order."""
    found: list[Block] = []
    lines = path.read_text(encoding="utf-8").splitlines()
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        fence, indent = m["fence"], len(m["indent"])
        body: list[str] = []
        j = i + 1
        while j < len(lines):
            close = FENCE.match(lines[j])
            if close and close["fence"][0] == fence[0] and len(close["fence"]) >= len(fence) \
                    and not close["info"].strip():
                break
            body.append(lines[j][indent:] if lines[j][:indent].isspace() else lines[j])
            j += 1
        if j == len(lines):
            raise AssertionError(f"{path.name}:{i + 1}: code block is never closed")
        found.append(Block(m["info"].strip(), i + 2, "\n".join(body) + "\n"))
        i = j + 1
    return found


def _doc_id(path: Path) -> str:
    return str(path.relative_to(ROOT))


def test_the_fence_reader_keeps_info_lines_and_nesting(tmp_path):
    sample = tmp_path / "x.md"
    sample.write_text("text\n```python\na = 1\n```\n\n````text\n```python\nno\n```\n````\n"
                      "   ```python\n   b = a\n   ```\n```py\nnot run\n```\n")
    assert [(b.info, b.line, b.code) for b in blocks(sample)] == [
        ("python", 3, "a = 1\n"),
        ("text", 7, "```python\nno\n```\n"),
        ("python", 12, "b = a\n"),
        ("py", 15, "not run\n"),
    ]


@pytest.mark.parametrize("doc", DOCS, ids=_doc_id)
def test_python_examples_run_in_order(doc, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    text = doc.read_text(encoding="utf-8")
    needs = [(text.count("\n", 0, m.start()) + 1, m[1].split()) for m in NEEDS.finditer(text)]
    namespace: dict = {"__name__": "__doc_example__"}
    for block in blocks(doc):
        if block.info != "python":
            continue
        for line, modules in needs:
            if line < block.line:
                for module in modules:
                    pytest.importorskip(module, reason=f"{_doc_id(doc)}:{line} on needs {module}")
        # Padding with newlines makes tracebacks show the Markdown line numbers.
        source = "\n" * (block.line - 1) + block.code
        failure = None
        try:
            exec(compile(source, str(doc), "exec"), namespace)
        except Exception as exc:
            # The traceback from the block's own frame on, in the file's lines.
            exc = exc.with_traceback(exc.__traceback__.tb_next)
            failure = "".join(traceback.format_exception(exc))
        if failure is not None:
            pytest.fail(f"{_doc_id(doc)}:{block.line}: the example block starting here failed\n"
                        f"{failure}", pytrace=False)


# ---- C -------------------------------------------------------------------------


def _c_blocks():
    for doc in DOCS:
        for block in blocks(doc):
            if block.info == "c":
                yield doc, block


def test_every_c_block_is_an_example_file_quoted_whole():
    seen = set()
    for doc, block in _c_blocks():
        m = C_NAME.match(block.code)
        assert m, f"{_doc_id(doc)}:{block.line}: a C block must be a file of docs/examples/, " \
                  "named on its first line"
        path = ROOT / m[1]
        assert path.is_file(), f"{_doc_id(doc)}:{block.line}: {m[1]} does not exist"
        assert block.code == path.read_text(), \
            f"{_doc_id(doc)}:{block.line}: differs from {m[1]}; quote the file whole"
        seen.add(path)
    assert seen == set(EXAMPLES.glob("*.c")), "an example file that no document shows"


def _compiler_found():
    words = shlex.split(os.environ.get("CC") or sysconfig.get_config_var("CC") or "")
    return bool(words) and shutil.which(words[0]) is not None


@pytest.fixture(scope="module")
def capi_example(tmp_path_factory):
    if not _compiler_found():
        pytest.skip("no C compiler")
    from extbuild import build_extension

    return build_extension(EXAMPLES / "capi_example.c", tmp_path_factory.mktemp("example"),
                           include_dirs=[qulo.get_include()], extra_args=["-Wall", "-Werror"])


KEY = bytes.fromhex("00112233445566778899aabbccddeeff")


@pytest.mark.parametrize("size", [0, 1, 6, 7, 8, 100, 4096])
def test_c_example_encrypts_and_decrypts_in_place_like_the_type(capi_example, size):
    text = bytes(range(256)) * (size // 256) + bytes(range(size % 256))
    tea = qulo.TEA(KEY)
    ciphertext = capi_example.encrypt_qq(KEY, text)
    assert ciphertext == tea.encrypt_qq(text)
    buf = bytearray(ciphertext)
    n = capi_example.decrypt_qq_in_place(KEY, buf)
    assert buf[:n] == text


def test_c_example_passes_refusals_on_as_exceptions(capi_example):
    with pytest.raises(ValueError, match="16 bytes"):
        capi_example.encrypt_qq(KEY[:15], b"x")
    with pytest.raises(ValueError, match="not a ciphertext"):
        capi_example.decrypt_qq_in_place(KEY, bytearray(17))
    with pytest.raises(TypeError):
        capi_example.decrypt_qq_in_place(KEY, bytes(16))


def test_c_example_calls_the_type_through_its_method_table(capi_example):
    tea = qulo.TEA(KEY)
    text = b"through the method table"
    assert capi_example.encrypt_with(tea, text) == tea.encrypt_qq(text)
    with pytest.raises(TypeError):
        capi_example.encrypt_with(object(), text)
