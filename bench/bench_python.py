"""qulo's Python benchmark: every figure a ratio measured within one run.

    python bench/bench_python.py [--quick] [--no-callgrind] [--no-oracle]

1. The cipher methods against the core called directly from C (1 KiB,
   64 KiB, 1 MiB): method time / core time.
2. Per-call cost of the qq methods for 0-, 16- and 64-byte messages against
   a floor (a trivial extension method with the same buffer request, one
   release of the interpreter lock, a new 16-byte bytes object):
   (method time - core time) / floor time.
3. Two threads sharing one TEA object against one thread, 64 KiB messages.
4. The pure-Python model (tests/oracle.py) against qulo at every size.
5. Instructions per call under callgrind (bench/callgrind.py).

Variants that are compared are interleaved in shuffled order, round after
round; a figure is the best round (least disturbed by other work on the
machine), with the median given beside it. Results go to stdout and to
bench/out/python.json and python.md, the throughput plot to
bench/out/throughput.png; --update-docs also replaces the plot the docs show
(docs/throughput.png).
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import threading
import time
import timeit
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import extension  # noqa: E402  (bench/extension.py)

import qulo  # noqa: E402

ROOT = extension.ROOT
KIB = 1024
MIB = 1024 * 1024
LARGE_SIZES = (KIB, 64 * KIB, MIB)
SMALL_SIZES = (0, 16, 64)
SWEEP_SIZES = (16, 64, 256, KIB, 4 * KIB, 16 * KIB, 64 * KIB, 256 * KIB, MIB)
ORACLE_SIZES = (0, 16, 64, 256, KIB, 4 * KIB, 16 * KIB, 64 * KIB, MIB)
KEY = bytes.fromhex("0123456789abcdeffedcba9876543210")

# Entry points in the order of floor.core_loop's op argument.
OPS = ("encrypt_qq", "decrypt_qq", "encrypt", "decrypt",
       "encrypt_native_endian", "decrypt_native_endian")

TARGET_CORE_RATIO = 1.05     # method / core, 64 KiB and above
TARGET_CALL_RATIO = 1.25     # (method - core) / floor
TARGET_THREADS = 1.85        # two threads / one
TARGET_ORACLE = 100.0        # pure Python / qulo


# ---- timing ---------------------------------------------------------------


@dataclass
class Variant:
    """Something timed: run(k) makes k calls and returns the nanoseconds."""

    name: str
    run: Callable[[int], float]
    unit: int = 1           # k is rounded to a multiple of this
    calls: int = 0          # calls per batch, set by calibration
    samples: list[float] = field(default_factory=list)  # ns per call

    @property
    def best(self) -> float:
        return min(self.samples)

    @property
    def median(self) -> float:
        return statistics.median(self.samples)


# The clock of every timed batch but the threads' wall-clock runs: the
# thread's CPU time by default, which leaves out the time that other work on
# a shared machine takes the processor away.
CLOCK = time.thread_time_ns


def python_variant(name: str, stmt: str, names: dict[str, object], unroll: int) -> Variant:
    """Time `stmt` from Python bytecode, as a caller writes it.

    The names become locals of the timing function; the statement is
    repeated `unroll` times per loop turn so that the loop itself costs
    next to nothing per call.
    """
    setup = "; ".join(f"{n} = __bench_{n}" for n in names) or "pass"
    timer = timeit.Timer(
        "\n".join([stmt] * unroll),
        setup,
        timer=CLOCK,
        globals={f"__bench_{n}": v for n, v in names.items()},
    )
    return Variant(name, lambda k: timer.timeit(k // unroll), unroll)


def core_variant(name: str, ext, op: str, src: bytes, out_len: int,
                 sumtable: bytes | None) -> Variant:
    """The entry point alone, called k times in C with the lock released."""
    out = bytearray(out_len)
    code = OPS.index(op)
    return Variant(name, lambda k: ext.core_loop(code, KEY, sumtable, src, out, k)[0])


def measure(variants: list[Variant], rounds: int, batch_ns: float, seed: int = 6) -> None:
    """Calibrate each variant to about batch_ns a batch, then run `rounds`
    rounds, each variant once per round in a shuffled order."""
    for v in variants:
        k = v.unit
        while True:
            ns = v.run(k)
            if ns >= batch_ns / 8 or k >= 1 << 24:
                break
            k *= 4
        v.calls = max(v.unit, round(batch_ns * k / max(ns, 1) / v.unit) * v.unit)
        v.samples.clear()
    order = list(variants)
    shuffle = random.Random(seed).shuffle
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(rounds):
            shuffle(order)
            for v in order:
                v.samples.append(v.run(v.calls) / v.calls)
    finally:
        if gc_was_enabled:
            gc.enable()


def paired_median(a: Variant, b: Variant) -> float:
    """Median over rounds of a/b, each round's pair measured side by side."""
    return statistics.median(x / y for x, y in zip(a.samples, b.samples))


# ---- inputs ---------------------------------------------------------------


class Inputs:
    """Messages, ciphertexts and output buffers, made once per size."""

    def __init__(self) -> None:
        self.tea = qulo.TEA(KEY)
        self.sumtable = oracle().standard_sumtable()
        self._rng = random.Random(1)
        self._plain: dict[int, bytes] = {}

    def plain(self, n: int) -> bytes:
        if n not in self._plain:
            self._plain[n] = self._rng.randbytes(n)
        return self._plain[n]

    def source(self, op: str, n: int) -> bytes:
        """What the operation reads for an n-byte message."""
        if op.startswith("encrypt"):
            return self.plain(n)
        enc = getattr(self.tea, op.replace("decrypt", "encrypt"))
        return enc(self.plain(n)) if op.endswith("qq") else enc(self.plain(n), self.sumtable)

    def out_len(self, op: str, n: int) -> int:
        return qulo.encrypt_len(n)  # the ciphertext length either way

    def table(self, op: str) -> bytes | None:
        return None if op.endswith("qq") else self.sumtable


_oracle = None


def oracle():
    global _oracle
    if _oracle is None:
        _oracle = extension.load_by_path("qulo_bench_oracle", ROOT / "tests" / "oracle.py")
    return _oracle


def method_variant(inp: Inputs, op: str, into: bool, n: int, unroll: int) -> Variant:
    name = op + ("_into" if into else "")
    names: dict[str, object] = {"t": inp.tea, "a": inp.source(op, n)}
    args = ["a"]
    if inp.table(op) is not None:
        names["s"] = inp.sumtable
        args.append("s")
    if into:
        names["o"] = bytearray(inp.out_len(op, n))
        args.append("o")
    return python_variant(name, f"t.{name}({', '.join(args)})", names, unroll)


# ---- the sections ---------------------------------------------------------


def bench_core_ratio(ext, inp: Inputs, rounds: int, ops: tuple[str, ...]) -> list[dict]:
    rows = []
    for n in LARGE_SIZES:
        cores = {op: core_variant("core " + op, ext, op, inp.source(op, n), inp.out_len(op, n),
                                  inp.table(op)) for op in ops}
        methods = [(op, into, method_variant(inp, op, into, n, 1))
                   for op in ops for into in (False, True)]
        measure(list(cores.values()) + [m for _, _, m in methods], rounds, 25e6)
        for op, into, m in methods:
            c = cores[op]
            rows.append({
                "method": m.name, "size": n,
                "method_ns": m.best, "core_ns": c.best,
                "ratio": m.best / c.best, "ratio_median": paired_median(m, c),
                "target": TARGET_CORE_RATIO if n >= 64 * KIB else None,
            })
        print(f"  methods vs core: {n} bytes done", file=sys.stderr)
    return rows


def bench_per_call(ext, inp: Inputs, rounds: int) -> tuple[list[dict], dict]:
    arg = inp.plain(16)
    floor_obj = ext.Floor()
    floor_m = python_variant("floor method", "f.floor(a)", {"f": floor_obj, "a": arg}, 20)
    floor_f = python_variant("floor function", "floor(a)", {"floor": ext.floor, "a": arg}, 20)
    variants = [floor_m, floor_f]
    cells = []
    # The floor doing encrypt_qq's cipher work: what is left between it and
    # the method is the binding's own cost, free of how the core's timing
    # in a loop of its own differs from its timing inside a call.
    with_core = {n: python_variant(f"floor with core {n}", "f.floor_core(a)",
                                   {"f": floor_obj, "a": inp.plain(n)}, 20)
                 for n in SMALL_SIZES}
    variants += with_core.values()
    for n in SMALL_SIZES:
        for op in ("encrypt_qq", "decrypt_qq"):
            core = core_variant(f"core {op} {n}", ext, op, inp.source(op, n),
                                inp.out_len(op, n), None)
            variants.append(core)
            for into in (False, True):
                m = method_variant(inp, op, into, n, 20)
                variants.append(m)
                cells.append((n, op, m, core))
    measure(variants, rounds, 4e6)
    rows = []
    for n, op, m, core in cells:
        over = m.best - core.best
        same_work = with_core[n] if m.name == "encrypt_qq" else None
        rows.append({
            "method": m.name, "size": n,
            "method_ns": m.best, "core_ns": core.best, "overhead_ns": over,
            "ratio": over / floor_m.best,
            "ratio_floor_function": over / floor_f.best,
            "ratio_median": (m.median - core.median) / floor_m.median,
            "target": TARGET_CALL_RATIO,
            "floor_with_core_ns": same_work.best if same_work else None,
            "above_floor_with_core": ((m.best - same_work.best) / floor_m.best
                                      if same_work else None),
        })
    floors = {"method_ns": floor_m.best, "function_ns": floor_f.best,
              "method_median_ns": floor_m.median, "function_median_ns": floor_f.median}
    return rows, floors


def per_call_in_processes(processes: int, rounds: int) -> tuple[list[dict], dict]:
    """bench_per_call in fresh interpreters, one after another.

    A figure of a few hundred nanoseconds moves by far more between
    processes (where objects and code land in memory, the hash seed) than
    between the rounds of one process, so each cell is the median over
    processes of that process's best-round figure, with the range beside it.
    """
    runs = []
    for i in range(processes):
        out = subprocess.run(
            [sys.executable, str(Path(__file__).resolve()), "--per-call-worker", str(rounds)],
            check=True, capture_output=True, text=True).stdout
        runs.append(json.loads(out))
        print(f"  per-call cost: process {i + 1} of {processes} done", file=sys.stderr)
    rows = []
    for cells in zip(*(run["rows"] for run in runs)):
        row = dict(cells[0])
        for key, value in row.items():
            if isinstance(value, float) and key != "target":
                row[key] = statistics.median(c[key] for c in cells)
        ratios = [c["ratio"] for c in cells]
        row["ratio_range"] = (min(ratios), max(ratios))
        rows.append(row)
    floors = {key: statistics.median(run["floors"][key] for run in runs)
              for key in runs[0]["floors"]}
    floors["processes"] = processes
    return rows, floors


def run_threads(make_work: Callable[[], Callable[[], None]], nthreads: int) -> int:
    """Wall-clock nanoseconds for nthreads workers, each running its work once."""
    barrier = threading.Barrier(nthreads + 1)
    works = [make_work() for _ in range(nthreads)]

    def worker(work: Callable[[], None]) -> None:
        barrier.wait()
        work()

    threads = [threading.Thread(target=worker, args=(w,)) for w in works]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter_ns()
    for t in threads:
        t.join()
    return time.perf_counter_ns() - start


def bench_threads(ext, inp: Inputs, rounds: int) -> list[dict]:
    n = 64 * KIB
    text = inp.plain(n)
    tea = inp.tea  # one object shared by all threads
    cap = qulo.encrypt_len(n)
    per_core = ext.core_loop(0, KEY, None, text, bytearray(cap), 20)[0] / 20
    calls = max(20, int(60e6 / per_core))  # about 60 ms a thread

    def method_work() -> Callable[[], None]:
        enc = tea.encrypt_qq

        def work() -> None:
            for _ in range(calls):
                enc(text)
        return work

    def into_work() -> Callable[[], None]:
        enc = tea.encrypt_qq_into
        out = bytearray(cap)

        def work() -> None:
            for _ in range(calls):
                enc(text, out)
        return work

    def core_work() -> Callable[[], None]:
        out = bytearray(cap)
        return lambda: ext.core_loop(0, KEY, None, text, out, calls)

    kinds = [("encrypt_qq", method_work), ("encrypt_qq_into", into_work),
             ("core encrypt_qq (C loop)", core_work)]
    samples: dict[tuple[str, int], list[float]] = {(k, t): [] for k, _ in kinds for t in (1, 2)}
    order = [(k, make, t) for k, make in kinds for t in (1, 2)]
    shuffle = random.Random(7).shuffle
    for _ in range(rounds):
        shuffle(order)
        for k, make, t in order:
            ns = run_threads(make, t)
            samples[(k, t)].append(t * calls * n / ns * 1e3)  # MB/s
    rows = []
    base = kinds[-1][0]
    machine_scaling = max(samples[(base, 2)]) / max(samples[(base, 1)])
    for k, _ in kinds:
        one, two = samples[(k, 1)], samples[(k, 2)]
        rows.append({
            "vs_c_loop": max(two) / max(one) / machine_scaling,
            "variant": k, "size": n, "calls_per_thread": calls,
            "one_thread_mbs": max(one), "two_threads_mbs": max(two),
            "ratio": max(two) / max(one),
            "ratio_median": statistics.median(b / a for a, b in zip(one, two)),
            "target": TARGET_THREADS if not k.startswith("core") else None,
        })
    return rows


def bench_oracle(inp: Inputs, sizes: tuple[int, ...], budget_ns: float) -> list[dict]:
    orc = oracle()
    rows = []
    for n in sizes:
        text = inp.plain(n)
        ct = inp.tea.encrypt_qq(text)
        assert orc.encrypt(KEY, text) == ct, "the model and qulo disagree"
        for op, fn, arg, model in (
            ("encrypt_qq", inp.tea.encrypt_qq, text, lambda: orc.encrypt(KEY, text)),
            ("decrypt_qq", inp.tea.decrypt_qq, ct, lambda: orc.decrypt(KEY, ct)),
        ):
            q = python_variant(op, "f(a)", {"f": fn, "a": arg}, 1)
            measure([q], 9, 2e6)
            # The model is slow: as many runs as fit the budget, at least one.
            times: list[int] = []
            spent = 0
            while not times or (spent < budget_ns and len(times) < 5):
                t0 = CLOCK()
                model()
                times.append(CLOCK() - t0)
                spent += times[-1]
            rows.append({
                "operation": op, "size": n, "python_ns": min(times), "qulo_ns": q.best,
                "ratio": min(times) / q.best, "target": TARGET_ORACLE,
            })
    print("  pure-Python model done", file=sys.stderr)
    return rows


def bench_sweep(ext, inp: Inputs, rounds: int) -> list[dict]:
    variants = []
    pairs = []
    for n in SWEEP_SIZES:
        m = method_variant(inp, "encrypt_qq", False, n, 10 if n <= 4 * KIB else 1)
        c = core_variant(f"core {n}", ext, "encrypt_qq", inp.plain(n),
                         qulo.encrypt_len(n), None)
        variants += [m, c]
        pairs.append((n, m, c))
    measure(variants, rounds, 8e6)
    return [{"size": n, "method_ns": m.best, "core_ns": c.best,
             "method_mbs": n / m.best * 1e3, "core_mbs": n / c.best * 1e3}
            for n, m, c in pairs]


# ---- report ---------------------------------------------------------------


def mark(value: float, target: float | None, higher_is_better: bool = False) -> str:
    if target is None:
        return ""
    ok = value >= target if higher_is_better else value <= target
    return "ok" if ok else "MISSED"


def size_label(n: int) -> str:
    if n >= MIB:
        return f"{n // MIB} MiB"
    if n >= KIB:
        return f"{n // KIB} KiB"
    return f"{n} B"


def table(headers: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(headers) + " |",
             "|" + "|".join("---:" if i else "---" for i in range(len(headers))) + "|"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


def machine() -> dict:
    info = {"python": sys.version.split()[0], "platform": platform.platform(),
            "cpus": os.cpu_count()}
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            key, _, value = line.partition(":")
            if key.strip() in ("Model name", "CPU(s)", "Core(s) per socket", "Socket(s)",
                               "Thread(s) per core", "Hypervisor vendor", "CPU max MHz"):
                info[key.strip()] = value.strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    return info


def render(results: dict) -> str:
    parts = ["## Python benchmark", ""]
    m = results["machine"]
    parts.append(f"Machine: {m.get('Model name', platform.processor())}, "
                 f"{m.get('CPU(s)', m['cpus'])} CPUs"
                 + (f" ({m['Hypervisor vendor']} guest)" if "Hypervisor vendor" in m else "")
                 + f"; CPython {m['python']}.")
    parts.append(f"Batches timed by {results['clock']}, variants interleaved; each figure is "
                 f"the best of {results['rounds']} rounds, the median of the per-round ratios "
                 "in brackets.")
    if "core_ratio" in results:
        parts += ["", "### Methods against the core called directly (method / core, "
                  f"target <= {TARGET_CORE_RATIO} at 64 KiB and above)", ""]
        rows = []
        by_method: dict[str, dict[int, dict]] = {}
        for r in results["core_ratio"]:
            by_method.setdefault(r["method"], {})[r["size"]] = r
        for name, cells in by_method.items():
            row = [f"`{name}`"]
            for n in LARGE_SIZES:
                c = cells[n]
                row.append(f"{c['ratio']:.3f} ({c['ratio_median']:.3f}) {mark(c['ratio'], c['target'])}")
            rows.append(row)
        parts.append(table(["method"] + [size_label(n) for n in LARGE_SIZES], rows))
        core_ns = {r["size"]: r["core_ns"] for r in results["core_ratio"]
                   if r["method"] == "encrypt_qq"}
        parts.append("")
        parts.append("Core `qulo_encrypt_qq` alone: " + ", ".join(
            f"{size_label(n)} {ns / n:.2f} ns/B" for n, ns in core_ns.items()) + ".")
    if "per_call" in results:
        f = results["floors"]
        parts += ["", "### Per-call cost against the floor ((method - core) / floor, "
                  f"target <= {TARGET_CALL_RATIO})", "",
                  f"Floor (trivial extension method, one buffer, lock released once, new "
                  f"16-byte bytes): {f['method_ns']:.1f} ns as `obj.floor(b)`, "
                  f"{f['function_ns']:.1f} ns as a module function. Each figure is the "
                  f"median over {f['processes']} fresh processes of the best of "
                  f"{2 * results['rounds']} rounds in each; the range over the processes "
                  "in brackets.", ""]
        rows = [[f"`{r['method']}`", size_label(r["size"]), f"{r['method_ns']:.1f}",
                 f"{r['core_ns']:.1f}", f"{r['overhead_ns']:.1f}",
                 f"{r['ratio']:.2f} ({r['ratio_range'][0]:.2f}–{r['ratio_range'][1]:.2f}) "
                 f"{mark(r['ratio'], r['target'])}"]
                for r in results["per_call"]]
        parts.append(table(["method", "message", "method ns", "core ns", "overhead ns",
                            "overhead / floor"], rows))
        same = [r for r in results["per_call"] if r.get("above_floor_with_core") is not None]
        if same:
            parts += ["", "The floor doing the cipher work of `encrypt_qq` inside it (the least "
                      "any binding of it can cost), and what the method costs beyond that, "
                      "in floors:", ""]
            parts.append(table(
                ["message", "floor with core ns", "`encrypt_qq` ns", "(method - it) / floor"],
                [[size_label(r["size"]), f"{r['floor_with_core_ns']:.1f}",
                  f"{r['method_ns']:.1f}", f"{r['above_floor_with_core']:+.2f}"] for r in same]))
    if "threads" in results:
        parts += ["", "### Two threads sharing one TEA object against one, 64 KiB messages "
                  f"(target >= {TARGET_THREADS})", ""]
        rows = [[r["variant"] if r["variant"].startswith("core") else f"`{r['variant']}`",
                 f"{r['one_thread_mbs']:.1f}", f"{r['two_threads_mbs']:.1f}",
                 f"{r['ratio']:.3f} ({r['ratio_median']:.3f}) "
                 f"{mark(r['ratio'], r['target'], True)}", f"{r['vs_c_loop']:.3f}"]
                for r in results["threads"]]
        parts.append(table(["variant", "1 thread MB/s", "2 threads MB/s", "ratio",
                            "ratio / C loop's"], rows))
        parts.append("")
        parts.append("Throughput by wall clock. The C loop row calls the core from two threads "
                     "with no Python at all: it is the scaling the machine itself gives during "
                     "the run; below 1.85 there, other work held a processor.")
    if "oracle" in results:
        parts += ["", "### Pure-Python model against qulo (model time / qulo time, "
                  f"target >= {TARGET_ORACLE:g})", ""]
        rows = [[f"`{r['operation']}`", size_label(r["size"]), f"{r['python_ns'] / 1e3:.1f}",
                 f"{r['qulo_ns'] / 1e3:.3f}",
                 f"{r['ratio']:.0f} {mark(r['ratio'], r['target'], True)}"]
                for r in results["oracle"]]
        parts.append(table(["operation", "message", "pure Python µs", "qulo µs", "speed-up"],
                           rows))
    if "sweep" in results:
        parts += ["", "### Throughput of `encrypt_qq` (MB/s of plaintext)", ""]
        rows = [[size_label(r["size"]), f"{r['method_mbs']:.1f}", f"{r['core_mbs']:.1f}",
                 f"{r['method_ns'] / r['core_ns']:.3f}"] for r in results["sweep"]]
        parts.append(table(["message", "method", "core", "method / core"], rows))
    cg = results.get("callgrind")
    if cg:
        parts += ["", "### Instructions per call (callgrind)", "",
                  "Counted inside a C loop that calls the function through vectorcall, so the "
                  "interpreter's own bytecode is not included; the core's count is its entry "
                  "point alone.", ""]
        rows = [[f"`{r['call']}`", f"{r['ir']:.0f}",
                 "" if r.get("core_ir") is None else f"{r['core_ir']:.0f}",
                 "" if r.get("overhead_ir") is None else f"{r['overhead_ir']:.0f}",
                 "" if r.get("ratio") is None else f"{r['ratio']:.2f}"]
                for r in cg["rows"]]
        parts.append(table(["call", "instructions", "core", "overhead", "overhead / floor"],
                           rows))
    return "\n".join(parts) + "\n"


# ---- main ---------------------------------------------------------------


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--quick", action="store_true", help="fewer rounds, no 1 MiB pure-Python run")
    p.add_argument("--rounds", type=int, help="rounds of interleaved timing (default 15)")
    p.add_argument("--no-callgrind", action="store_true")
    p.add_argument("--no-oracle", action="store_true")
    p.add_argument("--no-threads", action="store_true")
    p.add_argument("--all-methods", action="store_true",
                   help="all twelve methods against the core, not only the four qq ones")
    p.add_argument("--out", type=Path, default=ROOT / "bench" / "out")
    p.add_argument("--plot", type=Path, action="append",
                   help="where to write the plot (default: the --out folder)")
    p.add_argument("--update-docs", action="store_true",
                   help="also replace docs/throughput.png, the plot the docs show")
    p.add_argument("--wall-clock", action="store_true",
                   help="time batches by wall clock instead of the thread's CPU time")
    p.add_argument("--per-call-worker", type=int, metavar="ROUNDS", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    rounds = args.rounds or (5 if args.quick else 15)
    if args.per_call_worker:
        # One process of the per-call section: JSON on stdout.
        rows, floors = bench_per_call(extension.build(), Inputs(), args.per_call_worker)
        print(json.dumps({"rows": rows, "floors": floors}))
        return 0

    global CLOCK
    ext = extension.build()
    if args.wall_clock:
        CLOCK = time.perf_counter_ns
    ext.set_clock(not args.wall_clock)
    inp = Inputs()
    results: dict = {"machine": machine(), "rounds": rounds, "qulo": qulo.__file__,
                     "clock": "wall" if args.wall_clock else "thread CPU time"}
    print(f"qulo from {qulo.__file__}; {rounds} rounds", file=sys.stderr)

    ops = OPS if args.all_methods else ("encrypt_qq", "decrypt_qq")
    results["core_ratio"] = bench_core_ratio(ext, inp, rounds, ops)
    results["per_call"], results["floors"] = per_call_in_processes(
        3 if args.quick else 7, 2 * rounds)
    print("  per-call cost done", file=sys.stderr)
    if not args.no_threads:
        results["threads"] = bench_threads(ext, inp, rounds)
        print("  threads done", file=sys.stderr)
    results["sweep"] = bench_sweep(ext, inp, max(5, rounds // 2))
    import bench_batch  # the batch line of the throughput plot

    results["batch_sweep"] = bench_batch.batch_sweep(max(3, rounds // 3))
    if not args.no_oracle:
        sizes = tuple(n for n in ORACLE_SIZES if not (args.quick and n > 64 * KIB))
        results["oracle"] = bench_oracle(inp, sizes, 0.5e9 if not args.quick else 0.1e9)
    if not args.no_callgrind:
        import callgrind

        results["callgrind"] = callgrind.measure(Path(str(ext.__file__)))
        print("  instruction counts done", file=sys.stderr)

    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "python.json").write_text(json.dumps(results, indent=2) + "\n")
    text = render(results)
    (args.out / "python.md").write_text(text)
    import plot

    plots = args.plot or [args.out / "throughput.png"]
    if args.update_docs:
        plots.append(ROOT / "docs" / "throughput.png")
    plot.throughput(results, plots)
    print(text)
    print(f"written: {args.out / 'python.json'}, {args.out / 'python.md'}, "
          + ", ".join(str(x) for x in plots))
    return 0


if __name__ == "__main__":
    sys.exit(main())
