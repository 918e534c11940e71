"""The plots of the benchmarks, each from the JSON its benchmark writes.

    python bench/plot.py bench/out/python.json [PNG ...]
    python bench/plot.py --batch bench/out/batch_core.json [PNG ...]

The first is the throughput plot: MB/s of plaintext against message size,
log axes. The second, of bench/batch_bench.cpp's results: each batch
kernel's share of its ceiling by shape, encryption beside decryption, with
the ratio of mixed to equal lengths over the mixed shapes; its title names
the CPU of the machine it is drawn on (run it where the benchmark ran).
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def _size_label(n: int) -> str:
    if n >= 1 << 20:
        return f"{n >> 20} MiB"
    if n >= 1 << 10:
        return f"{n >> 10} KiB"
    return f"{n} B"


def _save(fig, paths: list[Path]) -> None:
    fig.tight_layout()
    for path in paths:
        path = Path(path)
        path.parent.mkdir(parents=True, exist_ok=True)
        fig.savefig(path)
    plt.close(fig)


def throughput(results: dict, paths: list[Path]) -> None:
    sweep = results["sweep"]
    sizes = [r["size"] for r in sweep]
    fig, ax = plt.subplots(figsize=(7.5, 4.8), dpi=120)
    ax.plot(sizes, [r["core_mbs"] for r in sweep], "o-", color="#444444",
            label="core called directly from C (qulo_encrypt_qq)")
    ax.plot(sizes, [r["method_mbs"] for r in sweep], "s-", color="#1f77b4",
            label="qulo: TEA.encrypt_qq from Python")
    batch = results.get("batch_sweep")
    if batch:
        ax.plot([r["size"] for r in batch], [r["batch_mbs"] for r in batch], "D-",
                color="#2ca02c", label="qulo: encrypt_many from Python (many messages per call)")
    model = [r for r in results.get("oracle", ())
             if r["operation"] == "encrypt_qq" and r["size"] > 0]
    if model:
        ax.plot([r["size"] for r in model], [r["size"] / r["python_ns"] * 1e3 for r in model],
                "^-", color="#d62728", label="straightforward pure-Python implementation")
    ax.set_xscale("log", base=2)
    ax.set_yscale("log")
    ax.set_xticks(sizes, [_size_label(n) for n in sizes], rotation=30)
    ax.set_xlabel("message size")
    ax.set_ylabel("throughput, MB/s of plaintext")
    m = results.get("machine", {})
    ax.set_title(f"qulo encryption throughput\n{m.get('Model name', '')}, "
                 f"CPython {m.get('python', '')}", fontsize=10)
    ax.grid(True, which="major", alpha=0.4)
    ax.grid(True, which="minor", alpha=0.15)
    ax.legend(fontsize=8, loc="center right")
    _save(fig, paths)


def _cpu() -> str:
    """The model name, family and model of this machine's CPU (Linux)."""
    fields: dict[str, str] = {}
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            key, _, value = line.partition(":")
            fields.setdefault(key.strip(), value.strip())
    except OSError:
        return ""
    family = f", family {fields['cpu family']}, model {fields['model']}" if "model" in fields else ""
    return fields.get("model name", "") + family


# The goals a kernel's share is held to, by (kernel, messages, bytes).
_GOALS = {("avx512", 1024, 1024): 0.80, ("avx512", 10000, 64): 0.65,
          ("avx2", 1024, 1024): 0.80}
_KERNEL_COLORS = {"avx512": "#1f77b4", "avx2": "#2ca02c", "neon": "#9467bd",
                  "scalar": "#7f7f7f"}


def batch_shares(results: dict, paths: list[Path], machine: str = "") -> None:
    rows = [r for r in results["results"]
            if r["entry"] == "named" and "share_of_ceiling" in r]
    shapes = list(dict.fromkeys((r["messages"], r["bytes"], r["mixed"]) for r in rows))
    kernels = list(dict.fromkeys(r["kernel"] for r in rows))
    width = 0.8 / len(kernels)
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.6), dpi=110, sharey=True)
    for ax, direction in zip(axes, ("encrypt", "decrypt")):
        for k, kernel in enumerate(kernels):
            at = {(r["messages"], r["bytes"], r["mixed"]): r for r in rows
                  if r["kernel"] == kernel and r["direction"] == direction}
            xs = [i + (k - (len(kernels) - 1) / 2) * width for i in range(len(shapes))]
            ax.bar(xs, [at[s]["share_of_ceiling"] if s in at else 0 for s in shapes], width,
                   color=_KERNEL_COLORS.get(kernel, "#bcbd22"), label=kernel)
            for x, shape in zip(xs, shapes):
                r = at.get(shape)
                if r and "mixed_to_equal" in r:
                    ax.text(x, r["share_of_ceiling"] + 0.01, f"{r['mixed_to_equal']:.2f}",
                            ha="center", va="bottom", fontsize=6, rotation=90)
                goal = _GOALS.get((kernel, shape[0], shape[1])) if not shape[2] else None
                if goal:
                    ax.plot([x - width / 2, x + width / 2], [goal, goal], color="black", lw=1.5)
        ax.set_xticks(range(len(shapes)),
                      [f"{m:,} x {_size_label(n)}" + (" mixed" if mixed else "")
                       for m, n, mixed in shapes], rotation=35, ha="right", fontsize=8)
        ax.set_title(f"{direction}ion", fontsize=10)
        ax.set_ylim(0, 1.15)
        ax.grid(True, axis="y", alpha=0.4)
    axes[0].set_ylabel("share of the kernel's ceiling (blocks)")
    axes[0].legend(fontsize=8, loc="upper left", ncol=len(kernels))
    fig.suptitle("qulo batch kernels against the bare transform of their width\n"
                 f"{machine}; black: goal, over a mixed shape: its ratio to equal lengths",
                 fontsize=9)
    _save(fig, paths)


if __name__ == "__main__":
    args = sys.argv[1:]
    batch = args[:1] == ["--batch"]
    args = args[1:] if batch else args
    data = json.loads(Path(args[0]).read_text())
    out = [Path(p) for p in args[1:]] or [Path(args[0]).with_suffix(".png")]
    if batch:
        batch_shares(data, out, _cpu())
    else:
        throughput(data, out)
