"""Python benchmark of columns where people hold them: every figure a ratio within one run.

    python bench/bench_columns.py [--rounds N] [--rows N] [--json FILE]

1 M rows of (id int64, payload of 64 random bytes) by default:

1. ``qulo.encrypt_columns`` on a pyarrow Table against ``qulo.encrypt_many``
   on its payload column (target: the table within 5 %, ratio >= 0.95), and
   the same for decryption.
2. The DuckDB SQL function (``qulo.duckdb.register``) in
   ``SELECT id, qq_encrypt(payload) FROM 'file.parquet'`` against
   ``encrypt_many`` on the same column read by pyarrow (``pq.read_table``
   and the call); and the same query without the function, so that the
   function's own share shows.
3. The polars expression ``pl.col("payload").qulo.encrypt(tea)`` in an eager
   and in a lazy frame against ``encrypt_many`` on the Series.
4. A Parquet round trip of the file (read, encrypt the column, write) and
   the cipher's share of it; with Dask installed, the same round trip one
   task per row group on a LocalCluster of two worker processes against a
   loop in this process, and the cluster's start-up.
5. The command, ``qulo encrypt --columns payload`` (and ``qulo decrypt``,
   verifying), each run a process of its own on files in /dev/shm, against
   a process that copies the file row group by row group with pyarrow
   alone (no cipher), and against ``encrypt_many`` (``decrypt_many``) on
   the column: what the command adds to the copy, as a share of the
   cipher's own time, for each direction and for both together (target
   <= 1: the command adds at most the cipher). Writing ciphertexts costs
   pyarrow more than writing plaintexts, so one direction alone is no fair
   measure; together the reads and writes of both kinds balance. And the
   command against a process doing the same with ``encrypt_columns`` and a
   ParquetWriter.

The variants compared are interleaved round after round; a figure is the
best round (the least disturbed by other work on the machine). As in
bench_batch.py, the cyclic garbage collector is off while a call is timed.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pyarrow as pa
import pyarrow.parquet as pq

import qulo
from bench_batch import best_of

KEY = bytes.fromhex("0123456789abcdeffedcba9876543210")
SIZE = 64
GROUPS = 8  # row groups of the Parquet file, one Dask task each
TARGET_TABLE = 0.95
TARGET_TOOL = 1.0


def make_table(rows: int) -> pa.Table:
    data = random.Random(5).randbytes(rows * SIZE)
    payload = pa.Array.from_buffers(pa.binary(), rows, [None, pa.array(
        range(0, (rows + 1) * SIZE, SIZE), pa.int32()).buffers()[1], pa.py_buffer(data)])
    return pa.table({"id": pa.array(range(rows), pa.int64()), "payload": payload})


def table_vs_column(tea, table, rounds):
    sealed = qulo.encrypt_columns(tea, table, "payload")
    column, sealed_column = table.column("payload"), sealed.column("payload")
    best = best_of({
        "encrypt_many": lambda: qulo.encrypt_many(tea, column),
        "encrypt_columns": lambda: qulo.encrypt_columns(tea, table, "payload"),
        "decrypt_many": lambda: qulo.decrypt_many(tea, sealed_column),
        "decrypt_columns": lambda: qulo.decrypt_columns(tea, sealed, "payload"),
    }, rounds)
    return best, {d: best[f"{d}_many"] / best[f"{d}_columns"] for d in ("encrypt", "decrypt")}


def duckdb_vs_pyarrow(tea, path, rounds):
    import duckdb

    import qulo.duckdb

    con = duckdb.connect()
    qulo.duckdb.register(con, tea)
    # The same kind of function doing nothing: DuckDB's own cost of a Python
    # function over Arrow batches (its vectors to Arrow and back).
    con.create_function("as_is", lambda values: values, ["BLOB"], "BLOB", type="arrow",
                        null_handling="special")
    query = f"SELECT id, {{}} AS payload FROM '{path}'"

    def run(expression):
        sql = query.format(expression)

        def fetch():  # the whole result as one table (to_arrow_table from DuckDB 2.0 on)
            result = con.sql(sql)
            return (getattr(result, "to_arrow_table", None) or result.fetch_arrow_table)()
        return fetch

    column = pq.read_table(path).column("payload")
    best = best_of({
        "duckdb qq_encrypt": run("qq_encrypt(payload)"),
        "duckdb as_is": run("as_is(payload)"),
        "duckdb no function": run("payload"),
        "pyarrow read + encrypt_many": lambda: qulo.encrypt_many(
            tea, pq.read_table(path).column("payload")),
        "pyarrow read": lambda: pq.read_table(path),
        "encrypt_many (read column)": lambda: qulo.encrypt_many(tea, column),
    }, rounds)
    cipher = best["encrypt_many (read column)"]
    return best, {
        "query / (pyarrow read + encrypt_many)":
            best["duckdb qq_encrypt"] / best["pyarrow read + encrypt_many"],
        "function in the query / encrypt_many":
            (best["duckdb qq_encrypt"] - best["duckdb no function"]) / cipher,
        "a function doing nothing in the query / encrypt_many":
            (best["duckdb as_is"] - best["duckdb no function"]) / cipher,
    }


def polars_vs_series(tea, table, rounds):
    import polars as pl

    import qulo.polars  # noqa: F401 - the namespace

    frame = pl.from_arrow(table)
    series = frame.get_column("payload")
    expression = pl.col("payload").qulo.encrypt(tea)
    best = best_of({
        "encrypt_many Series": lambda: qulo.encrypt_many(tea, series),
        "eager expression": lambda: frame.with_columns(expression),
        "lazy expression": lambda: frame.lazy().with_columns(expression).collect(),
        "encrypt_columns DataFrame": lambda: qulo.encrypt_columns(tea, frame, "payload"),
    }, rounds)
    base = best["encrypt_many Series"]
    return best, {name: base / seconds for name, seconds in best.items()
                  if name != "encrypt_many Series"}


def seal_row_group(source, group, target, key):
    table = pq.ParquetFile(source).read_row_group(group)
    pq.write_table(qulo.encrypt_columns(key, table, "payload"), target)


def round_trip(tea, path, folder, rounds):
    """One process, the whole file: read, encrypt, write; and the cipher alone."""
    column = pq.read_table(path).column("payload")
    target = os.path.join(folder, "sealed.parquet")
    best = best_of({
        "read + encrypt + write": lambda: pq.write_table(
            qulo.encrypt_columns(tea, pq.read_table(path), "payload"), target),
        "encrypt_many (round trip's column)": lambda: qulo.encrypt_many(tea, column),
    }, rounds)
    return best, best["encrypt_many (round trip's column)"] / best["read + encrypt + write"]


def dask_vs_loop(path, folder, rounds):
    from dask.distributed import Client, LocalCluster

    start = time.perf_counter()
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                           dashboard_address=None, silence_logs=logging.CRITICAL)
    client = Client(cluster)
    started = time.perf_counter() - start
    targets = [os.path.join(folder, f"part-{g}.parquet") for g in range(GROUPS)]

    def on_cluster():
        client.gather([client.submit(seal_row_group, path, g, t, KEY, pure=False)
                       for g, t in enumerate(targets)])

    def in_process():
        for g, t in enumerate(targets):
            seal_row_group(path, g, t, KEY)

    try:
        on_cluster()  # the workers import qulo and pyarrow once
        best = best_of({"one task per row group, 2 workers": on_cluster,
                        "loop in this process": in_process}, rounds)
    finally:
        client.close()
        cluster.close()
    best["cluster start-up"] = started
    return best, best["loop in this process"] / best["one task per row group, 2 workers"]


# pyarrow alone, as the command reads and writes: row group by row group.
_COPY = """\
import sys
import pyarrow.parquet as pq
source = pq.ParquetFile(sys.argv[1])
with pq.ParquetWriter(sys.argv[2], source.schema_arrow) as writer:
    for group in range(source.num_row_groups):
        writer.write_table(source.read_row_group(group))
"""

# The same with the library's call on each row group, as a script would.
_LIBRARY = """\
import sys
import pyarrow.parquet as pq
import qulo
command, key, source, target = sys.argv[1:]
tea = qulo.TEA(open(key, "rb").read())
options = {"verify": True} if command == "decrypt" else {}
change = getattr(qulo, command + "_columns")
source = pq.ParquetFile(source)
writer = None
for group in range(source.num_row_groups):
    table = change(tea, source.read_row_group(group), "payload", **options)
    writer = writer or pq.ParquetWriter(target, table.schema)
    writer.write_table(table)
writer.close()
"""


def tool_vs_copy(tea, path, rounds):
    """The command in a process of its own against a process copying the
    file with pyarrow, and the cipher on the column in this one."""
    folder = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        key = os.path.join(folder, "key")
        Path(key).write_bytes(KEY)
        plain, sealed, out = (os.path.join(folder, n) for n in ("plain", "sealed", "out"))
        shutil.copyfile(path, plain)

        def child(*args):
            return lambda: subprocess.run([sys.executable, *args], check=True)

        def tool(command, source):
            return child("-m", "qulo", command, "--key-file", key, "-q", "--columns", "payload",
                         source, "-o", out)

        tool("encrypt", plain)()
        os.replace(out, sealed)
        column = pq.read_table(plain).column("payload")
        sealed_column = pq.read_table(sealed).column("payload")
        best = best_of({
            "qulo encrypt --columns (process)": tool("encrypt", plain),
            "qulo decrypt --columns (process)": tool("decrypt", sealed),
            "pyarrow copy of the plain file (process)": child("-c", _COPY, plain, out),
            "pyarrow copy of the sealed file (process)": child("-c", _COPY, sealed, out),
            "script: encrypt_columns per row group (process)": child(
                "-c", _LIBRARY, "encrypt", key, plain, out),
            "script: decrypt_columns per row group (process)": child(
                "-c", _LIBRARY, "decrypt", key, sealed, out),
            "encrypt_many (the file's column)": lambda: qulo.encrypt_many(tea, column),
            "decrypt_many verify=True (the column)": lambda: qulo.decrypt_many(
                tea, sealed_column, verify=True),
        }, rounds)
    finally:
        shutil.rmtree(folder)
    tool = {d: best[f"qulo {d} --columns (process)"] for d in ("encrypt", "decrypt")}
    copy = {"encrypt": best["pyarrow copy of the plain file (process)"],
            "decrypt": best["pyarrow copy of the sealed file (process)"]}
    cipher = {"encrypt": best["encrypt_many (the file's column)"],
              "decrypt": best["decrypt_many verify=True (the column)"]}
    added = {d: (tool[d] - copy[d]) / cipher[d] for d in tool}
    added["both"] = (sum(tool.values()) - sum(copy.values())) / sum(cipher.values())
    against_script = {d: tool[d] / best[f"script: {d}_columns per row group (process)"]
                      for d in tool}
    return best, {"added_over_cipher": added, "tool_over_script": against_script}


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--rounds", type=int, default=10)
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--json", type=Path)
    args = p.parse_args(argv)

    tea = qulo.TEA(KEY)
    table = make_table(args.rows)
    results: dict = {"kernel": qulo.batch_kernel(), "rows": args.rows, "bytes": SIZE}
    seconds, results["table_vs_column"] = table_vs_column(tea, table, args.rounds)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "plain.parquet")
        pq.write_table(table, path, row_group_size=-(-args.rows // GROUPS))
        try:
            more, results["duckdb"] = duckdb_vs_pyarrow(tea, path, args.rounds)
            seconds.update(more)
        except ImportError:
            pass
        try:
            more, results["polars"] = polars_vs_series(tea, table, args.rounds)
            seconds.update(more)
        except ImportError:
            pass
        more, results["cipher_share_of_round_trip"] = round_trip(tea, path, folder, args.rounds)
        seconds.update(more)
        more, results["tool"] = tool_vs_copy(tea, path, args.rounds)
        seconds.update(more)
        try:
            more, results["dask_vs_loop"] = dask_vs_loop(path, folder, max(3, args.rounds // 2))
            seconds.update(more)
        except ImportError:
            pass
    results["seconds"] = seconds

    print(f"kernel {results['kernel']}; {args.rows} rows of (id int64, {SIZE} B payload); "
          f"best of {args.rounds} rounds")
    for name, s in seconds.items():
        print(f"  {name:40s} {s * 1e3:9.1f} ms")
    ratios = results["table_vs_column"]
    ok = all(v >= TARGET_TABLE for v in ratios.values())
    print("  encrypt_many / encrypt_columns (Table): " + ", ".join(
        f"{k} {v:.3f}" for k, v in ratios.items()) +
        f"  (target >= {TARGET_TABLE}: {'met' if ok else 'MISSED'})")
    for group in ("duckdb", "polars"):
        for name, value in results.get(group, {}).items():
            print(f"  {group}: {name}: {value:.3f}")
    share = results["cipher_share_of_round_trip"]
    print(f"  the cipher's share of a Parquet round trip: {share:.2f}")
    added = results["tool"]["added_over_cipher"]
    print("  (qulo --columns - pyarrow copy) / the cipher: " + ", ".join(
        f"{k} {v:.2f}" for k, v in added.items()) +
        f"  (target for both <= {TARGET_TOOL}: {'met' if added['both'] <= TARGET_TOOL else 'MISSED'})")
    print("  qulo --columns / the same script with *_columns: " + ", ".join(
        f"{k} {v:.3f}" for k, v in results["tool"]["tool_over_script"].items()))
    if "dask_vs_loop" in results:
        print(f"  Dask, 2 workers, against a loop in one process: {results['dask_vs_loop']:.2f}x "
              f"(cluster start-up {seconds['cluster start-up']:.1f} s, not counted)")
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(results, indent=2) + "\n")
        print(f"wrote {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
