"""The command-line tool against the cipher core, in one run.

Encrypts (and decrypts) a file held in the page cache with `qulo ... -o`,
in a child process, and the same bytes in memory with the one-message
method `TEA.encrypt_qq_into` into an output that is already touched, which
is the core's rate with no I/O and no page faults. Rounds alternate between
the two so that a noisy neighbour hurts both alike. Reports the ratio of the
rates (1.0: the tool costs nothing beyond the cipher) and the tool's peak
RSS above a bare interpreter that imports qulo.cli.

    python bench/bench_cli.py [--size-mib 1024] [--rounds 3] [--folder DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import qulo

KEY = bytes.fromhex("00112233445566778899aabbccddeeff")


def child(argv: list[str]) -> tuple[float, int]:
    """Wall seconds and peak RSS (KiB) of one child process."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{argv} failed: {proc.stderr.read().decode()}")
    return seconds, usage.ru_maxrss


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--folder", default=None, help="where the files go (default: TMPDIR)")
    parser.add_argument("--json", default=None, help="also write the figures here")
    args = parser.parse_args()

    size = args.size_mib << 20
    tea = qulo.TEA(KEY)
    with tempfile.TemporaryDirectory(dir=args.folder) as folder_name:
        folder = Path(folder_name)
        key_file = folder / "key"
        key_file.write_bytes(KEY)
        plain_path, sealed_path, out_path = folder / "plain", folder / "sealed", folder / "out"
        plain = os.urandom(size)
        plain_path.write_bytes(plain)
        sealed = tea.encrypt_qq(plain)
        sealed_path.write_bytes(sealed)
        out = bytearray(len(sealed))  # touched once, reused: no page faults in the timing

        tool = [sys.executable, "-m", "qulo"]
        base_rss = child([sys.executable, "-c", "import qulo.cli"])[1]
        rows = {"encrypt": {"core": [], "tool": [], "rss": []},
                "decrypt": {"core": [], "tool": [], "rss": []}}
        for _ in range(args.rounds):
            for command, source, method in (("encrypt", plain, tea.encrypt_qq_into),
                                            ("decrypt", sealed, tea.decrypt_qq_into)):
                row = rows[command]
                start = time.perf_counter()
                method(source, out)
                row["core"].append(time.perf_counter() - start)
                path = plain_path if command == "encrypt" else sealed_path
                seconds, rss = child([*tool, command, "--key-file", str(key_file), "-q",
                                      str(path), "-o", str(out_path)])
                row["tool"].append(seconds)
                row["rss"].append(rss)
                out_path.unlink()

    mib = size / (1 << 20)
    report = {"size_mib": mib, "rounds": args.rounds, "interpreter_rss_kib": base_rss}
    print(f"{mib:.0f} MiB in the page cache, {args.rounds} alternating rounds, medians:")
    print(f"{'':8} {'core MiB/s':>11} {'tool MiB/s':>11} {'tool/core':>10} {'RSS over interpreter':>22}")
    for command, row in rows.items():
        core = statistics.median(row["core"])
        tool_s = statistics.median(row["tool"])
        extra = (max(row["rss"]) - base_rss) / 1024
        ratio = core / tool_s
        print(f"{command:8} {mib / core:11.1f} {mib / tool_s:11.1f} {ratio:10.3f} {extra:19.1f} MiB")
        report[command] = {"core_s": row["core"], "tool_s": row["tool"], "ratio": ratio,
                           "peak_rss_over_interpreter_mib": extra}
    if args.json:
        Path(args.json).write_text(json.dumps(report, indent=2))


if __name__ == "__main__":
    main()
