"""The throughput plot: MB/s of plaintext against message size, log axes.

    python bench/plot.py bench/out/python.json [PNG ...]
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
    fig.tight_layout()
    for path in paths:
        path = Path(path)
        path.parent.mkdir(parents=True, exist_ok=True)
        fig.savefig(path)
    plt.close(fig)


if __name__ == "__main__":
    data = json.loads(Path(sys.argv[1]).read_text())
    throughput(data, [Path(p) for p in sys.argv[2:]] or [Path(sys.argv[1]).with_suffix(".png")])
