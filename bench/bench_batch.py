"""Python benchmark of the batch functions: every figure a ratio within one run.

    python bench/bench_batch.py [--rounds N] [--json FILE]

1. 10,000 messages of 64 B: ``qulo.encrypt_many`` on a list against a loop
   of ``tea.encrypt_qq`` (target >= 6x), and the same for decryption; and
   the same two ratios for 1,000 messages of 1 KiB, where the fresh pages of
   the output objects show.
2. The Arrow path (a pyarrow ``binary`` array in, the same type out)
   against the list path at 64 B (target >= 1.3x), when pyarrow is there;
   and 200,000 messages of 64 B as pyarrow ``binary``, ``binary_view`` and a
   polars Series against the list, in one run.
3. Throughput of ``encrypt_many`` by message size, for the throughput plot
   (bench/plot.py draws it when the results carry a "batch_sweep").

The variants compared are interleaved round after round; a figure is the
best round (the least disturbed by other work on the machine). As timeit
does, the cyclic garbage collector is off while a call is timed: a
collection would fall on whichever variant happened to be running.
"""

from __future__ import annotations

import argparse
import gc
import json
import random
import sys
import time
from pathlib import Path

import qulo

KEY = bytes.fromhex("0123456789abcdeffedcba9876543210")
COUNT = 10_000
SIZE = 64
LARGE_COUNT = 1_000
LARGE_SIZE = 1024
SWEEP_SIZES = (16, 64, 256, 1024, 4096, 16384, 65536)
TARGET_LIST = 6.0
TARGET_ARROW = 1.3


def best_of(variants: dict[str, callable], rounds: int) -> dict[str, float]:
    """Seconds per call of each variant: best round, variants interleaved."""
    best = {name: float("inf") for name in variants}
    order = list(variants)
    shuffle = random.Random(3).shuffle
    collecting = gc.isenabled()
    try:
        for _ in range(rounds):
            shuffle(order)
            for name in order:
                gc.disable()
                start = time.perf_counter()
                variants[name]()
                seconds = time.perf_counter() - start
                if collecting:
                    gc.enable()
                best[name] = min(best[name], seconds)
    finally:
        if collecting:
            gc.enable()
    return best


COLUMN_COUNT = 200_000


def columns_vs_list(tea, rounds):
    """The Arrow columns against the list path, 200,000 messages of 64 B in
    each, measured in one run: pyarrow binary and binary_view arrays and a
    polars Series, as far as those libraries are installed. Gives the speed
    ratio (list time / column time) per column and direction."""
    rng = random.Random(2)
    plain = [rng.randbytes(SIZE) for _ in range(COLUMN_COUNT)]
    cipher = qulo.encrypt_many(tea, plain)
    columns = {}
    try:
        import pyarrow as pa
        columns["pyarrow binary"] = (pa.array(plain, pa.binary()), pa.array(cipher, pa.binary()))
        columns["pyarrow binary_view"] = (pa.array(plain, pa.binary_view()),
                                          pa.array(cipher, pa.binary_view()))
    except ImportError:
        pass
    try:
        import polars as pl
        columns["polars"] = (pl.Series("p", plain), pl.Series("c", cipher))
    except ImportError:
        pass
    variants = {"encrypt list": lambda: qulo.encrypt_many(tea, plain),
                "decrypt list": lambda: qulo.decrypt_many(tea, cipher)}
    for name, (p_col, c_col) in columns.items():
        variants[f"encrypt {name}"] = lambda p_col=p_col: qulo.encrypt_many(tea, p_col)
        variants[f"decrypt {name}"] = lambda c_col=c_col: qulo.decrypt_many(tea, c_col)
    best = best_of(variants, rounds)
    return {name: {d: best[f"{d} list"] / best[f"{d} {name}"] for d in ("encrypt", "decrypt")}
            for name in columns}


def batch_sweep(rounds: int) -> list[dict]:
    """Throughput of encrypt_many by message size (about 1 MiB of messages
    per size), for the throughput plot."""
    tea = qulo.TEA(KEY)
    rng = random.Random(2)
    calls = {}
    totals = {}
    for n in SWEEP_SIZES:
        msgs = [rng.randbytes(n) for _ in range(max(64, (1 << 20) // n))]
        totals[n] = len(msgs) * n
        calls[n] = lambda msgs=msgs: qulo.encrypt_many(tea, msgs)
    timed = best_of(calls, rounds)
    return [{"size": n, "batch_mbs": totals[n] / timed[n] / 1e6} for n in SWEEP_SIZES]


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--rounds", type=int, default=60)
    p.add_argument("--json", type=Path)
    args = p.parse_args(argv)

    tea = qulo.TEA(KEY)
    rng = random.Random(1)
    plain = [rng.randbytes(SIZE) for _ in range(COUNT)]
    cipher = qulo.encrypt_many(tea, plain)
    assert cipher == [tea.encrypt_qq(m) for m in plain]
    enc, dec = tea.encrypt_qq, tea.decrypt_qq
    large_plain = [rng.randbytes(LARGE_SIZE) for _ in range(LARGE_COUNT)]
    large_cipher = qulo.encrypt_many(tea, large_plain)

    variants = {
        "loop encrypt_qq": lambda: [enc(m) for m in plain],
        "encrypt_many list": lambda: qulo.encrypt_many(tea, plain),
        "loop decrypt_qq": lambda: [dec(c) for c in cipher],
        "decrypt_many list": lambda: qulo.decrypt_many(tea, cipher),
        "1 KiB loop encrypt_qq": lambda: [enc(m) for m in large_plain],
        "1 KiB encrypt_many list": lambda: qulo.encrypt_many(tea, large_plain),
        "1 KiB loop decrypt_qq": lambda: [dec(c) for c in large_cipher],
        "1 KiB decrypt_many list": lambda: qulo.decrypt_many(tea, large_cipher),
    }
    try:
        import pyarrow as pa
    except ImportError:
        pa = None
    if pa is not None:
        plain_arrow = pa.array(plain, pa.binary())
        cipher_arrow = pa.array(cipher, pa.binary())
        variants["encrypt_many arrow"] = lambda: qulo.encrypt_many(tea, plain_arrow)
        variants["decrypt_many arrow"] = lambda: qulo.decrypt_many(tea, cipher_arrow)
    best = best_of(variants, args.rounds)

    results = {
        "kernel": qulo.batch_kernel(),
        "messages": COUNT,
        "bytes": SIZE,
        "seconds": best,
        "list_vs_loop": {
            "encrypt": best["loop encrypt_qq"] / best["encrypt_many list"],
            "decrypt": best["loop decrypt_qq"] / best["decrypt_many list"],
        },
        "list_vs_loop_1kib": {
            "messages": LARGE_COUNT,
            "encrypt": best["1 KiB loop encrypt_qq"] / best["1 KiB encrypt_many list"],
            "decrypt": best["1 KiB loop decrypt_qq"] / best["1 KiB decrypt_many list"],
        },
    }
    if pa is not None:
        results["arrow_vs_list"] = {
            "encrypt": best["encrypt_many list"] / best["encrypt_many arrow"],
            "decrypt": best["decrypt_many list"] / best["decrypt_many arrow"],
        }

    results["batch_sweep"] = batch_sweep(max(3, args.rounds // 3))
    results["columns_vs_list"] = columns_vs_list(tea, max(3, args.rounds // 3))

    print(f"kernel {results['kernel']}; {COUNT} messages of {SIZE} B; best of {args.rounds} rounds")
    for name, seconds in best.items():
        count = LARGE_COUNT if name.startswith("1 KiB") else COUNT
        print(f"  {name:26s} {seconds * 1e9 / count:8.1f} ns per message")
    for label, ratios, target in [("list / loop", results["list_vs_loop"], TARGET_LIST),
                                  ("arrow / list", results.get("arrow_vs_list"), TARGET_ARROW)]:
        if ratios:
            marks = ", ".join(f"{k} {v:.2f}x" for k, v in ratios.items())
            ok = all(v >= target for v in ratios.values())
            print(f"  {label:14s} {marks}  (target >= {target}x: {'met' if ok else 'MISSED'})")
    for name, ratios in results["columns_vs_list"].items():
        marks = ", ".join(f"{k} {v:.2f}x" for k, v in ratios.items())
        ok = all(v >= TARGET_ARROW for v in ratios.values())
        print(f"  {name + ' / list':22s} {marks}  ({COLUMN_COUNT} x {SIZE} B; target >= "
              f"{TARGET_ARROW}x: {'met' if ok else 'MISSED'})")
    large = results["list_vs_loop_1kib"]
    print(f"  list / loop at {LARGE_COUNT} x 1 KiB: encrypt {large['encrypt']:.2f}x, "
          f"decrypt {large['decrypt']:.2f}x")
    print("  encrypt_many by size: " + ", ".join(
        f"{r['size']} B {r['batch_mbs']:.0f} MB/s" for r in results["batch_sweep"]))
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(results, indent=2) + "\n")
        print(f"wrote {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
