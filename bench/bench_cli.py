"""The command-line tool against the cipher core, in one run.

Encrypts (and decrypts) a file held in the page cache with `qulo ... -o`,
in a child process, and the same bytes in memory with the one-message
method `TEA.encrypt_qq_into` into an output that is already touched, which
is the core's rate with no I/O and no page faults. Rounds alternate between
the two so that a noisy neighbour hurts both alike. Reports the ratio of the
rates, best of the rounds and median (1.0: the tool costs nothing beyond the
cipher), and the tool's peak RSS against a bare interpreter that imports
qulo.cli.

    python bench/bench_cli.py [--size-mib 1024] [--rounds 3] [--folder DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import qulo

KEY = bytes.fromhex("00112233445566778899aabbccddeeff")


# Runs the tool (or, with no arguments, only imports it) and writes the
# process's own high-water mark; rusage would also count the memory that
# this process held when it forked the child.
_RUN_AND_REPORT = (
    "import os, sys\n"
    "from qulo.cli import main\n"
    "status = main(sys.argv[1:]) if len(sys.argv) > 1 else 0\n"
    "hwm = [l for l in open('/proc/self/status') if l.startswith('VmHWM:')][0].split()[1]\n"
    "open(os.environ['QULO_BENCH_HWM'], 'w').write(hwm)\n"
    "sys.exit(status)\n"
)


def child(args: list[str], report: Path) -> tuple[float, float, int]:
    """Wall seconds, CPU seconds and peak RSS (KiB) of the tool run with `args`."""
    env = {**os.environ, "QULO_BENCH_HWM": str(report)}
    start = time.perf_counter()
    proc = subprocess.Popen([sys.executable, "-c", _RUN_AND_REPORT, *args], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"qulo {args} failed: {proc.stderr.read().decode()}")
    return seconds, usage.ru_utime + usage.ru_stime, int(report.read_text())


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--folder", default="/dev/shm" if os.path.isdir("/dev/shm") else None,
                        help="where the files go (default: /dev/shm, a memory file system, so "
                        "that both files stay in the page cache and no disk write-back or "
                        "sync of the output enters the timing; else TMPDIR)")
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

        report_path = folder / "hwm"
        base_rss = child([], report_path)[2]
        rows: dict[str, dict[str, list[float]]] = {
            c: {k: [] for k in ("alloc", "into", "into_cpu", "tool", "tool_cpu", "rss")}
            for c in ("encrypt", "decrypt")}
        for _ in range(args.rounds):
            for command, source, alloc, into in (
                    ("encrypt", plain, tea.encrypt_qq, tea.encrypt_qq_into),
                    ("decrypt", sealed, tea.decrypt_qq, tea.decrypt_qq_into)):
                row = rows[command]
                start = time.perf_counter()
                result = alloc(source)
                row["alloc"].append(time.perf_counter() - start)
                del result
                start, cpu = time.perf_counter(), cpu_seconds()
                into(source, out)
                row["into"].append(time.perf_counter() - start)
                row["into_cpu"].append(cpu_seconds() - cpu)
                path = plain_path if command == "encrypt" else sealed_path
                seconds, cpu_used, rss = child([command, "--key-file", str(key_file), "-q",
                                                str(path), "-o", str(out_path)], report_path)
                row["tool"].append(seconds)
                row["tool_cpu"].append(cpu_used)
                row["rss"].append(rss)
                out_path.unlink()

    mib = size / (1 << 20)
    report: dict[str, object] = {"size_mib": mib, "rounds": args.rounds,
                                 "interpreter_rss_kib": base_rss, "load": os.getloadavg()}
    print(f"{mib:.0f} MiB in the page cache, {args.rounds} alternating rounds, "
          f"load average {os.getloadavg()[0]:.1f}; interpreter alone {base_rss / 1024:.1f} MiB")
    print("tool/core: rates of the tool and of the one-message method (best of the rounds, as")
    print("noise only ever adds), against the allocating method, against the method writing")
    print("into a touched buffer, and the same by CPU seconds (least disturbed by neighbours)")
    print(f"{'':8} {'tool MiB/s':>10} {'/alloc':>7} {'/into':>7} {'/into CPU':>10} {'peak RSS':>9}")
    for command, row in rows.items():
        tool_s = min(row["tool"])
        ratios = {"alloc": min(row["alloc"]) / tool_s, "into": min(row["into"]) / tool_s,
                  "into_cpu": min(row["into_cpu"]) / min(row["tool_cpu"])}
        peak = max(row["rss"]) / 1024
        extra = peak - base_rss / 1024
        print(f"{command:8} {mib / tool_s:10.1f} {ratios['alloc']:7.3f} {ratios['into']:7.3f} "
              f"{ratios['into_cpu']:10.3f} {peak:6.1f} MiB (+{extra:.1f} over the interpreter)")
        report[command] = {**row, "ratios": ratios, "peak_rss_mib": peak,
                           "over_interpreter_mib": extra}
    if args.json:
        Path(args.json).write_text(json.dumps(report, indent=2))


if __name__ == "__main__":
    main()
