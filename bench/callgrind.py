"""Instructions per call of small qulo calls, counted by callgrind.

    python bench/callgrind.py FLOOR_EXTENSION   (or through bench_python.py)

A child interpreter runs under valgrind with collection off except inside
two C functions of the test-only extension: the loop that calls a Python
callable n times through vectorcall, and the loop that calls a core entry
point n times. Each measured loop ends with a dump labelled after it, so one
run yields every count, free of start-up and of the code between loops.
Instruction counts do not drift with the load of a shared machine, so a
change that adds work to the call path shows here first.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path

CALLS = 2000
SIZES = (0, 16, 64)
KEY = bytes.fromhex("0123456789abcdeffedcba9876543210")
TOGGLED = ("qulo_bench_measured_calls", "qulo_bench_core_calls")


def _child(floor_path: str) -> None:
    """Runs under callgrind: each labelled loop is one dump."""
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import extension

    import qulo

    ext = extension.import_built(floor_path)
    tea = qulo.TEA(KEY)
    calls: list[tuple[str, Callable[..., object], tuple]] = [
        ("floor method", type(ext.Floor()).floor, (ext.Floor(), bytes(16))),
        ("floor function", ext.floor, (bytes(16),)),
        ("TEA(key)", qulo.TEA, (KEY,)),
        ("encrypt_len(64)", qulo.encrypt_len, (64,)),
    ]
    cores: list[tuple[str, int, bytes, int]] = []
    for n in SIZES:
        text = bytes(range(n))
        ct = tea.encrypt_qq(text)
        cap = qulo.encrypt_len(n)
        calls += [
            (f"encrypt_qq({n})", qulo.TEA.encrypt_qq, (tea, text)),
            (f"encrypt_qq_into({n})", qulo.TEA.encrypt_qq_into, (tea, text, bytearray(cap))),
            (f"decrypt_qq({n})", qulo.TEA.decrypt_qq, (tea, ct)),
            (f"decrypt_qq_into({n})", qulo.TEA.decrypt_qq_into, (tea, ct, bytearray(cap))),
        ]
        cores += [(f"core encrypt_qq({n})", 0, text, cap), (f"core decrypt_qq({n})", 1, ct, cap)]
    for label, fn, args in calls:
        for _ in range(50):  # warm: free lists, caches of the interpreter
            fn(*args)
        ext.call_n(fn, args, CALLS, label)
    for label, op, src, cap in cores:
        out = bytearray(cap)
        ext.core_loop(op, KEY, None, src, out, 50)
        ext.core_loop(op, KEY, None, src, out, CALLS, label)


def _read_dumps(folder: Path) -> dict[str, int]:
    counts: dict[str, int] = {}
    for path in folder.iterdir():
        text = path.read_text(errors="replace")
        label = re.search(r"^desc: Trigger: Client Request: (.*)$", text, re.M)
        total = re.search(r"^(?:summary|totals): (\d+)", text, re.M)
        if label and total:
            counts[label.group(1).strip()] = int(total.group(1))
    return counts


def measure(floor_path: Path) -> dict | None:
    """Instructions per call, or None when valgrind is not there."""
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        print("  valgrind not found: no instruction counts", file=sys.stderr)
        return None
    with tempfile.TemporaryDirectory(prefix="qulo-callgrind-") as tmp:
        folder = Path(tmp)
        cmd = [valgrind, "--tool=callgrind", "--collect-atstart=no",
               *(f"--toggle-collect={f}" for f in TOGGLED),
               f"--callgrind-out-file={folder / 'cg.out'}",
               sys.executable, str(Path(__file__).resolve()), "--child", str(floor_path)]
        env = dict(os.environ, PYTHONHASHSEED="0")
        done = subprocess.run(cmd, capture_output=True, text=True, env=env)
        if done.returncode != 0:
            raise RuntimeError(f"callgrind run failed:\n{done.stderr[-3000:]}")
        counts = _read_dumps(folder)
    per_call = {label: total / CALLS for label, total in counts.items()}
    floor_ir = per_call["floor method"]
    rows = []
    for label in ("floor method", "floor function", "TEA(key)", "encrypt_len(64)"):
        rows.append({"call": label, "ir": per_call[label]})
    for n in SIZES:
        for name in ("encrypt_qq", "encrypt_qq_into", "decrypt_qq", "decrypt_qq_into"):
            ir = per_call[f"{name}({n})"]
            core = per_call[f"core {name.removesuffix('_into')}({n})"]
            rows.append({"call": f"{name}({n} B)", "ir": ir, "core_ir": core,
                         "overhead_ir": ir - core, "ratio": (ir - core) / floor_ir})
    for n in SIZES:
        for name in ("encrypt_qq", "decrypt_qq"):
            rows.append({"call": f"core {name}({n} B)", "ir": per_call[f"core {name}({n})"]})
    version = subprocess.run([valgrind, "--version"], capture_output=True, text=True).stdout
    return {"calls_per_loop": CALLS, "rows": rows, "valgrind": version.strip()}


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        _child(sys.argv[2])
    else:
        result = measure(Path(sys.argv[1]))
        print(json.dumps(result, indent=2))
