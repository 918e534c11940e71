"""The examples of the manual run as people run them.

The fenced blocks whose info string is exactly `python`, in README.md and in
docs/*.md, are saved as one script per file, in a fresh temporary folder,
and run there with `python script.py` in a process of their own, against
the installed package: as `__main__`, so worker processes that import the
script see it as users' do. They must succeed and leave the folder as they
found it. A failure names the file and the line of the block (the script
keeps the Markdown file's own line numbers, and tracebacks name the file).

Every ```c block is a file of docs/examples/, named on its first line and
quoted whole; the test compiles that file as an extension module against
the installed headers and uses it.
"""

from __future__ import annotations

import importlib.util
import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
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
# Needed modules whose examples carry a mark, to be left out with it.
MARKS = {"dask.distributed": pytest.mark.dask}


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
    return str(path.relative_to(ROOT)) if path.is_relative_to(ROOT) else path.name


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


def _needs(doc: Path) -> list[tuple[int, list[str]]]:
    """(line, modules) of each "examples below need" comment."""
    text = doc.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start()) + 1, m[1].split()) for m in NEEDS.finditer(text)]


def _importable(module: str) -> bool:
    try:
        return importlib.util.find_spec(module) is not None
    except ModuleNotFoundError:  # a parent package is missing
        return False


def _as_one_script(runnable: list[Block]) -> str:
    """The blocks, each at its own line of the Markdown file."""
    lines: list[str] = []
    for block in runnable:
        lines += [""] * (block.line - 1 - len(lines))
        lines += block.code.splitlines()
    return "\n".join(lines) + "\n"


def _failure(doc: Path, runnable: list[Block], script: Path, done) -> str:
    output = done.stdout + done.stderr
    # The outermost frame in the script is the line of the block that was running.
    frames = re.findall(rf'File "{re.escape(str(script))}", line (\d+)', output)
    where = _doc_id(doc)
    if frames:
        where += f":{max(b.line for b in runnable if b.line <= int(frames[0]))}: " \
                 "the example block starting here failed"
    else:
        where += ": the examples failed"
    output = output.replace(str(script), _doc_id(doc)).replace(script.name, _doc_id(doc))
    return f"{where} (exit {done.returncode})\n{output}"


def _doc_param(doc: Path):
    # Outside a checkout (the wheel's test run) there is no README to read;
    # the test is left out there.
    needed = {m for _, modules in _needs(doc) for m in modules} if doc.is_file() else set()
    return pytest.param(doc, id=_doc_id(doc), marks=[MARKS[m] for m in sorted(needed & set(MARKS))])


def run_examples(doc: Path, folder: Path) -> tuple[str | None, tuple[int, str] | None]:
    """Runs the file's examples as one script in `folder`, up to the first
    block whose needs are missing: (the failure's report or None, the line
    and module of the first missing need or None)."""
    runnable: list[Block] = []
    missing = None
    for block in blocks(doc):
        if block.info != "python":
            continue
        missing = next(((line, m) for line, modules in _needs(doc) if line < block.line
                        for m in modules if not _importable(m)), None)
        if missing:
            break
        runnable.append(block)
    if not runnable:
        return None, missing
    script = folder / f"example_{doc.stem.lower()}.py"
    script.write_text(_as_one_script(runnable), encoding="utf-8")
    done = subprocess.run([sys.executable, script.name], cwd=folder,
                          capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        return _failure(doc, runnable, script, done), missing
    left = sorted(p.name for p in folder.iterdir() if p != script)
    if left:
        return f"{_doc_id(doc)}: the examples left {left} behind", missing
    return None, missing


@pytest.mark.parametrize("doc", [_doc_param(d) for d in DOCS])
def test_python_examples_run_as_one_script(doc, tmp_path):
    failure, missing = run_examples(doc, tmp_path)
    if failure:
        pytest.fail(failure, pytrace=False)
    if missing:
        pytest.skip(f"{_doc_id(doc)}:{missing[0]} on needs {missing[1]}")


def test_a_failure_is_reported_at_its_block_and_line_in_the_markdown_file(tmp_path):
    sample = tmp_path / "x.md"
    sample.write_text("# x\n```python\nimport sys\nassert __name__ == '__main__'\n```\n\ntext\n\n"
                      "```python\nvalue = 1\nraise ValueError('from the second block')\n```\n")
    (tmp_path / "work").mkdir()
    failure, missing = run_examples(sample, tmp_path / "work")
    assert missing is None
    assert failure.startswith("x.md:10: the example block starting here failed (exit 1)\n")
    assert 'File "x.md", line 11, in <module>' in failure
    assert "ValueError: from the second block" in failure


@pytest.mark.parametrize("writes, left", [("", None), ("open('out.txt', 'w').close()", "['out.txt']")])
def test_examples_before_a_missing_need_run_and_must_leave_nothing_behind(tmp_path, writes, left):
    sample = tmp_path / "x.md"
    sample.write_text(f"```python\n{writes}\n```\n\n<!-- examples below need: qulo_has_no_such -->\n"
                      "```python\nimport qulo_has_no_such\n```\n")
    (tmp_path / "work").mkdir()
    failure, missing = run_examples(sample, tmp_path / "work")
    assert missing == (5, "qulo_has_no_such")
    assert failure == (None if left is None else f"x.md: the examples left {left} behind")


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
