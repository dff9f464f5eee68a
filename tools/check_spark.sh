#!/usr/bin/env bash
# Runs the Spark test (tests/test_clusters.py) with what it needs: PySpark
# in the active virtual environment (pandas below 3, which PySpark supports)
# and a Java runtime of 17 or newer on PATH.  Kept out of the README's test
# command because PySpark is a large download that only this test uses;
# CI runs it after the suite.
#
#   . .venv/bin/activate && bash tools/check_spark.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

fail() {
  echo "tools/check_spark.sh: $*" >&2
  exit 2
}

[[ -n "${VIRTUAL_ENV:-}" ]] || fail "activate the virtual environment the package is installed in first"
command -v java > /dev/null || fail "Spark needs a Java runtime (17 or newer): apt-get install default-jre-headless"
python -m pip install -q "pyspark>=3.5" "pandas<3" pyarrow
# The tests read the installed package, like the rest of the suite: the
# Spark job of tests/test_clusters.py, and the examples of docs/scaling.md,
# whose Spark example the suite skips without PySpark.
python -m pytest -q -rs "tests/test_clusters.py::test_a_spark_pandas_udf_gives_a_column_of_every_png" \
  "tests/test_docs.py::test_every_example_of_a_page_runs_in_order[scaling.md]"
