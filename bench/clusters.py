"""Benchmark: PNG pictures of many messages on one machine and through Dask
and Spark clusters in local mode, with zint's PNG in the same run.

    python -P bench/clusters.py            # every engine installed
    python -P bench/clusters.py --quick    # fewer messages, for a smoke run

Every message is new at every call (boarding passes with a running number):
the encoder learns per thread, and a message repeated again and again would
flatter it.  Rates are symbols a second, the best of the rounds.

- render_many: the PNG files made in the core's threads (every core, and
  one thread), beside make_many followed by png() on each symbol, and
  zint's PNG (one thread: it has no batch call).
- Dask: a LocalCluster of 2 worker processes, 1 thread each, rendering a
  bag partition by partition, for several partition sizes: the time per
  partition over what the messages cost alone is the engine's overhead.
- Spark: local[2], a pandas UDF returning the binary PNG column, counted,
  for the same partition sizes (skipped without PySpark and Java).
"""

import argparse
import os
import shutil
import sys
import time

import quillbank.aztec as aztec

_RUN = [0]


def fresh_messages(count):
    """Boarding passes not seen before in this process."""
    _RUN[0] += 1
    run = _RUN[0]
    return [f"M1DOE/JOHN E{run:03d}{n:06d} LHRJFKBA {n % 997:04d} 123Y001A{n % 9999:04d} 100" for n in range(count)]


def best_rate(count, call, rounds):
    """Symbols a second of call(messages), the best of `rounds` on fresh messages."""
    best = float("inf")
    for _ in range(rounds):
        messages = fresh_messages(count)
        start = time.perf_counter()
        call(messages)
        best = min(best, time.perf_counter() - start)
    return count / best


def zint_png_call():
    try:
        import zint
    except ImportError:
        return None
    symbol = zint.Symbol()
    symbol.symbology = zint.Symbology.AZTEC
    symbol.option_1 = 2
    symbol.output_options = zint.OutputOptions.BARCODE_MEMORY_FILE
    symbol.outfile = "memory.png"
    symbol.scale = 2  # 4 pixels a module
    symbol.whitespace_width = symbol.whitespace_height = 2

    def pngs(messages):
        for message in messages:
            symbol.clear()
            symbol.option_1 = 2
            symbol.encode(message.encode())
            symbol.print()
            bytes(symbol.memfile)
    return pngs


def one_machine(count, rounds):
    print(f"One machine, {count:,} fresh boarding passes, PNG at 4 pixels a module (symbols/s):")
    rows = [
        ("render_many, every core", lambda m: aztec.render_many(m)),
        ("render_many, 1 thread", lambda m: aztec.render_many(m, threads=1)),
        ("make_many + png(), every core", lambda m: [s.png() for s in aztec.make_many(m)]),
        ("make_many + png(), 1 thread", lambda m: [s.png() for s in aztec.make_many(m, threads=1)]),
    ]
    zint_call = zint_png_call()
    if zint_call is not None:
        rows.append(("zint PNG, 1 thread", zint_call))
    rates = {name: best_rate(count, call, rounds) for name, call in rows}
    for name, rate in rates.items():
        print(f"  {name:32} {rate:12,.0f}")
    if zint_call is not None:
        print(f"  render_many on 1 thread / zint: {rates['render_many, 1 thread'] / rates['zint PNG, 1 thread']:.2f}x")
    return rates["render_many, 1 thread"]


def _render_partition(part):
    # On a worker: one count back, as a job that writes its files there
    # would send (an item per message back through the bag costs Dask
    # about 30 us each, more than the symbol).
    return [len(aztec.render_many(list(part), threads=1))]


def dask_partitions(count, sizes, alone_rate):
    try:
        import dask.bag as bag
        import distributed
    except ImportError:
        print("Dask: not installed, skipped")
        return
    print(f"Dask LocalCluster, 2 worker processes x 1 thread, {count:,} messages:")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=40) as cluster, distributed.Client(cluster):
        for size in sizes:
            messages = fresh_messages(count)
            partitions = max(1, count // size)
            start = time.perf_counter()
            bag.from_sequence(messages, npartitions=partitions).map_partitions(_render_partition).compute()
            _report(size, partitions, count, time.perf_counter() - start, alone_rate)


def spark_partitions(count, sizes, alone_rate):
    try:
        import pandas
        from pyspark.sql import SparkSession
        from pyspark.sql.functions import pandas_udf
    except ImportError:
        print("Spark: PySpark not installed, skipped")
        return
    if shutil.which("java") is None:
        print("Spark: no Java runtime, skipped")
        return
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    spark = (SparkSession.builder.master("local[2]").config("spark.ui.enabled", "false")
             .config("spark.ui.showConsoleProgress", "false").getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")

    @pandas_udf("binary")
    def png(column: pandas.Series) -> pandas.Series:
        return aztec.render_many(column, threads=1, as_arrow=True).to_pandas()

    print(f"Spark local[2], pandas UDF, {count:,} messages:")
    try:
        for size in sizes:
            partitions = max(1, count // size)
            frame = spark.createDataFrame([(m,) for m in fresh_messages(count)], "message string")
            frame = frame.repartition(partitions).cache()
            frame.count()
            start = time.perf_counter()
            frame.select(png("message").alias("png")).where("png is not null").count()
            _report(size, partitions, count, time.perf_counter() - start, alone_rate)
    finally:
        spark.stop()


def _report(size, partitions, count, seconds, alone_rate):
    # Two workers: the messages alone would take count / (2 x one thread's rate).
    overhead = (seconds - count / (2 * alone_rate)) / partitions
    print(f"  {size:>7,} messages a partition: {count / seconds:10,.0f} symbols/s, "
          f"{overhead * 1000:7.1f} ms a partition over the messages' own work")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer messages and rounds")
    options = parser.parse_args()
    count = 20_000 if options.quick else 100_000
    rounds = 2 if options.quick else 5
    sizes = [1_000, 5_000, 20_000] if options.quick else [1_000, 5_000, 25_000, 50_000]
    alone = one_machine(count, rounds)
    dask_partitions(count, sizes, alone)
    spark_partitions(count, sizes, alone)


if __name__ == "__main__":
    main()
