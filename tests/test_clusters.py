"""Symbols past one machine: a real Dask cluster of worker processes and
Spark in local mode make the same pictures, byte for byte, as render_many
does here.  Each test skips, saying what is missing, where its engine is
not installed (tools/check_spark.sh installs PySpark and runs its test)."""

import os
import re
import shutil
import subprocess
import sys

import pytest

import quillbank.aztec as aztec


def _messages(count):
    return [f"M1DOE/JOHN E{n:06d} LHRJFKBA {n % 997:04d} 123Y001A{n:04d} 100" for n in range(count)]


def _java_version():
    """The major version of the java on PATH, 0 without one."""
    java = shutil.which("java")
    if java is None:
        return 0
    shown = subprocess.run([java, "-version"], capture_output=True, text=True, timeout=60).stderr
    found = re.search(r'version "(\d+)(?:\.(\d+))?', shown)
    if not found:
        return 0
    major = int(found.group(1))
    return int(found.group(2) or 0) if major == 1 else major  # "1.8" is Java 8


def test_a_dask_cluster_writes_every_file_from_its_workers(tmp_path):
    distributed = pytest.importorskip("distributed", reason="dask.distributed is not installed")
    bag = pytest.importorskip("dask.bag")
    messages = _messages(20_000)
    folder = str(tmp_path)

    def write_partition(items):
        # On a worker: one call for the partition, files written there.
        items = list(items)
        pictures = aztec.render_many([message for _, message in items], threads=1)
        for (index, _), picture in zip(items, pictures):
            with open(os.path.join(folder, f"{index:05d}.png"), "wb") as stream:
                stream.write(picture)
        return [len(items)]

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=40) as cluster, distributed.Client(cluster):
        counts = bag.from_sequence(list(enumerate(messages)), npartitions=8).map_partitions(write_partition).compute()
        workers = len(cluster.scheduler_info["workers"])
    assert sum(counts) == len(messages) and workers == 2
    for index, picture in enumerate(aztec.render_many(messages)):
        with open(os.path.join(folder, f"{index:05d}.png"), "rb") as stream:
            assert stream.read() == picture, index


def test_a_spark_pandas_udf_gives_a_column_of_every_png(tmp_path, monkeypatch):
    pytest.importorskip("pyspark", reason="PySpark is not installed: tools/check_spark.sh installs it and runs this")
    pandas = pytest.importorskip("pandas")
    parquet = pytest.importorskip("pyarrow.parquet")
    if _java_version() < 17:
        pytest.skip("Spark needs a Java runtime of 17 or newer on PATH (apt-get install default-jre-headless)")
    from pyspark.sql import SparkSession
    from pyspark.sql.functions import pandas_udf

    # Spark's Python workers run this interpreter, which has the package.
    monkeypatch.setenv("PYSPARK_PYTHON", sys.executable)
    monkeypatch.setenv("PYSPARK_DRIVER_PYTHON", sys.executable)
    messages = _messages(5_000) + [""]  # the last one fails: a null in its place

    spark = (SparkSession.builder.master("local[2]").appName("quillbank-aztec-test")
             .config("spark.ui.enabled", "false").config("spark.sql.shuffle.partitions", "2").getOrCreate())
    try:
        @pandas_udf("binary")
        def png(column: pandas.Series) -> pandas.Series:
            return aztec.render_many(column, threads=1, errors="return", as_arrow=True).to_pandas()

        frame = spark.createDataFrame(list(enumerate(messages)), "id long, message string").repartition(4)
        frame.withColumn("png", png("message")).select("id", "png").write.parquet(str(tmp_path / "pngs"))
    finally:
        spark.stop()
    table = parquet.read_table(str(tmp_path / "pngs")).to_pydict()
    written = dict(zip(table["id"], table["png"]))
    expected = aztec.render_many(messages, errors="return")
    assert len(written) == len(messages)
    for index, picture in enumerate(expected):
        assert written[index] == (None if isinstance(picture, Exception) else picture), index
