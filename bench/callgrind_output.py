"""Instructions per call of the output side, counted by callgrind.

    python bench/callgrind_output.py [--before PYTHON] [--json FILE] [--keep DIR]

Counts, for the qulo installed in the running interpreter (and, with
--before, for the one installed in another interpreter, say the venv of a
second checkout, so that two builds are set side by side):

1. the core alone: qulo_encrypt_qq and qulo_decrypt_qq at 16 B, 64 B and
   1 KiB, called in a C loop of the test-only extension (bench/floor.c);
2. TEA.encrypt_qq(16 B) from Python, called through vectorcall in a C loop;
3. decrypt_many on a pyarrow binary column and on a binary_view column of
   10,000 ciphertexts of 64 B plaintexts, and encrypt_many on the binary
   column of those plaintexts: collected only inside the batch module's
   _decrypt_arrow / _encrypt_arrow, with the share of the lane kernel
   (run_lanes, inclusive) taken from callgrind_annotate.

Instruction counts do not drift with the load of a shared machine. Each
measured loop ends in a dump of its own (bench/callgrind.py does the same),
so one valgrind run yields every count of its kind, free of start-up; a
warm-up that runs inside a collected function gets a dump of its own too,
which is dropped.

The installed extension modules are stripped, and callgrind needs their
symbols to toggle on a function and to name the kernel. The child imports
the package through a folder of links in which each installed module is
replaced by its twin in the checkout's build tree (<venv>/../build, or
QULO_BENCH_SYMBOLS): the unstripped file with the same build ID, so the
same code. The batch kernel is pinned (QULO_BATCH_KERNEL, avx2 by default:
valgrind's CPU has no AVX-512) and the child checks qulo.batch_kernel().
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve()
KEY = bytes.fromhex("0123456789abcdeffedcba9876543210")
CORE_SIZES = (16, 64, 1024)
CALLS = 2000  # per one-message loop
BATCH_CALLS = 5  # per batch loop: each call is 10,000 messages
COUNT = 10_000
SIZE = 64
ONE_TOGGLES = ("qulo_bench_measured_calls", "qulo_bench_core_calls")
BATCH_TOGGLES = ("*decrypt_arrow*", "*encrypt_arrow*")
KERNEL_FUNCTION = "run_lanes<"
ONE_ROWS = [f"core {op}({n} B)" for n in CORE_SIZES for op in ("encrypt_qq", "decrypt_qq")]
ONE_ROWS.append("TEA.encrypt_qq(16 B)")
BATCH_ROWS = ["decrypt_many(binary)", "decrypt_many(binary_view)", "encrypt_many(binary)"]


# ---- in the child interpreter ------------------------------------------------


def _elf_facts(path: Path) -> tuple[str | None, bool]:
    """The GNU build ID of an ELF file and whether it has a symbol table."""
    done = subprocess.run(["readelf", "-n", "-S", "-W", str(path)], capture_output=True,
                          text=True)
    found = re.search(r"Build ID: ([0-9a-f]+)", done.stdout)
    return (found.group(1) if found else None), " .symtab " in done.stdout


def _prepare(folder: Path) -> None:
    """Natively, under the interpreter to be measured: builds the floor
    extension and the folder of links; prints where they are (JSON)."""
    os.environ["QULO_BENCH_BUILD_DIR"] = str(folder / "floor")
    sys.path.insert(0, str(HERE.parent))
    import extension

    import qulo

    floor = extension.build()
    package = Path(qulo.__file__).resolve().parent
    search = Path(os.environ.get("QULO_BENCH_SYMBOLS") or Path(sys.prefix).parent / "build")
    twins: dict[str, Path] = {}
    for candidate in search.rglob("*.so") if search.is_dir() else ():
        build_id, symbols = _elf_facts(candidate)
        if build_id and symbols:
            twins.setdefault(build_id, candidate.resolve())
    shadow = folder / "shadow" / "qulo"
    shadow.mkdir(parents=True)
    replaced = {}
    for entry in package.iterdir():
        if entry.name == "__pycache__":
            continue
        target = entry
        if entry.suffix == ".so":
            build_id, symbols = _elf_facts(entry)
            if not symbols:
                if build_id not in twins:
                    raise SystemExit(f"{entry} is stripped and {search} holds no build of it "
                                     "with symbols (set QULO_BENCH_SYMBOLS)")
                target = twins[build_id]
                replaced[entry.name] = str(target)
        (shadow / entry.name).symlink_to(target)
    print(json.dumps({"floor": str(floor.__file__), "path": str(shadow.parent),
                      "modules": replaced, "python": sys.executable}))


def _floor(path: str):
    sys.path.insert(0, str(HERE.parent))
    import extension

    return extension.import_built(path)


def _check_import(folder: str) -> dict:
    import qulo

    if not Path(qulo.__file__).is_relative_to(folder):
        raise SystemExit(f"qulo imported from {qulo.__file__}, not from {folder}")
    return {"kernel": qulo.batch_kernel(), "version": getattr(qulo, "__version__", "?")}


def _child_one(floor_path: str, folder: str) -> None:
    """Under callgrind, collecting inside the floor's two C loops."""
    import qulo

    facts = _check_import(folder)
    ext = _floor(floor_path)
    tea = qulo.TEA(KEY)
    for n in CORE_SIZES:
        text = bytes(range(256)) * (n // 256) + bytes(range(n % 256))
        ct = tea.encrypt_qq(text)
        cap = qulo.encrypt_len(n)
        for op, name, src in ((0, "encrypt_qq", text), (1, "decrypt_qq", ct)):
            out = bytearray(cap)
            # Warm, inside the collected loop too: its own dump is dropped.
            ext.core_loop(op, KEY, None, src, out, 50, f"warm core {name}({n} B)")
            ext.core_loop(op, KEY, None, src, out, CALLS, f"core {name}({n} B)")
            if bytes(out[: len(ct) if op == 0 else n]) != (ct if op == 0 else text):
                raise SystemExit(f"core {name}({n} B) gave a wrong result")
    text = bytes(range(16))
    args = (tea, text)
    for _ in range(50):
        qulo.TEA.encrypt_qq(*args)
    ext.call_n(qulo.TEA.encrypt_qq, args, CALLS, "TEA.encrypt_qq(16 B)")
    print(json.dumps(facts))


def _child_batch(floor_path: str, folder: str) -> None:
    """Under callgrind, collecting inside _decrypt_arrow and _encrypt_arrow."""
    import pyarrow as pa

    import qulo

    facts = _check_import(folder)
    ext = _floor(floor_path)
    tea = qulo.TEA(KEY)
    rng = random.Random(64)
    texts = [rng.randbytes(SIZE) for _ in range(COUNT)]
    plain = pa.array(texts, type=pa.binary())
    cts = qulo.encrypt_many(tea, plain)
    views = pa.array(cts.to_pylist(), type=pa.binary_view())
    cases: list[tuple[str, Callable[..., Any], Any, list[bytes]]] = [
        ("decrypt_many(binary)", qulo.decrypt_many, cts, texts),
        ("decrypt_many(binary_view)", qulo.decrypt_many, views, texts),
        ("encrypt_many(binary)", qulo.encrypt_many, plain, cts.to_pylist()),
    ]
    for label, fn, column, expected in cases:
        got = fn(tea, column)
        if got.type != column.type or got.to_pylist() != expected:
            raise SystemExit(f"{label} gave a wrong result")
        ext.call_n(fn, (tea, column), 1, f"warm {label}")  # its dump is dropped
        ext.call_n(fn, (tea, column), BATCH_CALLS, label)
    print(json.dumps(facts))


# ---- in the parent ----------------------------------------------------------


def _dumps(folder: Path) -> dict[str, Path]:
    found = {}
    for path in folder.iterdir():
        text = path.read_text(errors="replace")
        label = re.search(r"^desc: Trigger: Client Request: (.*)$", text, re.M)
        if label:
            found[label.group(1).strip()] = path
    return found


def _total(path: Path) -> int:
    found = re.search(r"^(?:summary|totals): (\d+)", path.read_text(errors="replace"), re.M)
    if found is None:
        raise RuntimeError(f"{path} holds no total")
    return int(found.group(1))


def _inclusive(path: Path) -> list[tuple[int, str]]:
    """(inclusive Ir, function) of every function of one dump."""
    done = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100",
                           str(path)], capture_output=True, text=True, check=True)
    rows = []
    for line in done.stdout.splitlines():
        found = re.match(r"^\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(\S.*)$", line)
        if found and ":" in found.group(2) and "PROGRAM TOTALS" not in line:
            rows.append((int(found.group(1).replace(",", "")), found.group(2)))
    return rows


def _valgrind(python: str, prepared: dict, kind: str, toggles: tuple[str, ...], out: Path,
              kernel: str) -> dict:
    out.mkdir(parents=True)
    cmd = ["valgrind", "--tool=callgrind", "--collect-atstart=no",
           *(f"--toggle-collect={f}" for f in toggles),
           f"--callgrind-out-file={out / 'cg.out'}",
           python, str(HERE), f"--child-{kind}", prepared["floor"], prepared["path"]]
    env = dict(os.environ, PYTHONHASHSEED="0", QULO_BATCH_KERNEL=kernel,
               PYTHONPATH=prepared["path"], PYTHONDONTWRITEBYTECODE="1")
    done = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        raise RuntimeError(f"callgrind run ({kind}) failed:\n{done.stderr[-3000:]}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def measure(python: str, folder: Path, kernel: str) -> dict:
    """Every count for the qulo of one interpreter."""
    done = subprocess.run([python, str(HERE), "--prepare", str(folder)], capture_output=True,
                          text=True)
    if done.returncode != 0:
        raise RuntimeError(f"preparing {python} failed:\n{done.stderr[-3000:]}")
    prepared = json.loads(done.stdout.strip().splitlines()[-1])
    facts = _valgrind(python, prepared, "one", ONE_TOGGLES, folder / "one", kernel)
    facts_batch = _valgrind(python, prepared, "batch", BATCH_TOGGLES, folder / "batch", kernel)
    if facts["kernel"] != kernel or facts_batch["kernel"] != kernel:
        raise RuntimeError(f"batch kernel {facts_batch['kernel']!r}, not {kernel!r}")
    rows: dict[str, dict] = {}
    for label, path in _dumps(folder / "one").items():
        if not label.startswith("warm "):
            rows[label] = {"ir": _total(path) / CALLS}
    for label, path in _dumps(folder / "batch").items():
        if label.startswith("warm "):
            continue
        # A function can be listed once per source file it was inlined
        # from: count each name once.
        lanes_by_name: dict[str, int] = {}
        for ir, name in _inclusive(path):
            if KERNEL_FUNCTION in name:
                function = name.split(":", 1)[1]
                lanes_by_name[function] = max(lanes_by_name.get(function, 0), ir)
        lanes = sum(lanes_by_name.values())
        rows[label] = {"ir": _total(path) / BATCH_CALLS, "kernel_ir": lanes / BATCH_CALLS}
    return {"python": python, "qulo": facts["version"], "kernel": kernel,
            "modules": prepared["modules"], "rows": rows}


def _n(x: float) -> str:
    return f"{x:,.0f}"


def table(after: dict, before: dict | None) -> str:
    lines = []
    if before is None:
        lines += ["| call | instructions per call | kernel share |", "|---|---:|---:|"]
        for label in ONE_ROWS + BATCH_ROWS:
            row = after["rows"][label]
            share = f"{row['kernel_ir'] / row['ir']:.1%}" if "kernel_ir" in row else ""
            lines.append(f"| `{label}` | {_n(row['ir'])} | {share} |")
        return "\n".join(lines)
    lines += ["| call | before | after | after / before |", "|---|---:|---:|---:|"]
    for label in ONE_ROWS + BATCH_ROWS:
        b, a = before["rows"][label]["ir"], after["rows"][label]["ir"]
        lines.append(f"| `{label}` | {_n(b)} | {_n(a)} | {a / b:.3f} |")
    lines += ["", "| call | kernel before | rest before | kernel after | rest after "
              "| rest after / before |", "|---|---:|---:|---:|---:|---:|"]
    for label in BATCH_ROWS:
        b, a = before["rows"][label], after["rows"][label]
        rb, ra = b["ir"] - b["kernel_ir"], a["ir"] - a["kernel_ir"]
        lines.append(f"| `{label}` | {_n(b['kernel_ir'])} ({b['kernel_ir'] / b['ir']:.0%}) "
                     f"| {_n(rb)} | {_n(a['kernel_ir'])} ({a['kernel_ir'] / a['ir']:.0%}) "
                     f"| {_n(ra)} | {ra / rb:.3f} |")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--before", metavar="PYTHON",
                   help="also count the qulo of this interpreter and compare")
    p.add_argument("--kernel", default="avx2", help="batch kernel to pin (default avx2)")
    p.add_argument("--json", type=Path, help="write the counts here")
    p.add_argument("--keep", type=Path, help="keep the callgrind dumps in this new folder")
    args = p.parse_args(argv)
    for tool in ("valgrind", "callgrind_annotate", "readelf"):
        if shutil.which(tool) is None:
            print(f"{tool} not found: no instruction counts", file=sys.stderr)
            return 1
    with tempfile.TemporaryDirectory(prefix="qulo-callgrind-output-") as tmp:
        root = Path(tmp)
        before = measure(args.before, root / "before", args.kernel) if args.before else None
        after = measure(sys.executable, root / "after", args.kernel)
        if args.keep:
            shutil.copytree(root, args.keep, symlinks=True)
    print(f"qulo {after['qulo']}, batch kernel {args.kernel}; {CALLS} calls per one-message "
          f"loop, {BATCH_CALLS} per batch loop of {COUNT:,} messages of {SIZE} B")
    if before:
        print(f"before: {before['python']}\nafter:  {after['python']}")
    print()
    print(table(after, before))
    if args.json:
        args.json.write_text(json.dumps({"before": before, "after": after}, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--prepare":
        _prepare(Path(sys.argv[2]))
    elif len(sys.argv) == 4 and sys.argv[1] == "--child-one":
        _child_one(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 4 and sys.argv[1] == "--child-batch":
        _child_batch(sys.argv[2], sys.argv[3])
    else:
        sys.exit(main())
