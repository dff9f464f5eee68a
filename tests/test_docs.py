"""The user guide: its examples run, its pictures are there, and the API
reference matches the docstrings of the installed package."""

import contextlib
import io
import linecache
import os
import re
import runpy
import shutil
import subprocess
import sys

import pytest

REPO_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCS_DIR = os.path.join(REPO_DIR, "docs")
# The guide's task pages, whose pictures are committed beside them.
GUIDE_PAGES = ["index.md", "making-symbols.md", "size-and-error-correction.md", "character-sets.md",
               "formats-and-printing.md", "reading.md"]
# Every page whose examples a reader may type: the README and the whole
# guide, but the API reference, whose blocks are signatures, and the pages
# whose examples a test of their own runs: the recipes (test_recipes.py
# also reads back what they write) and the C++ library's build and
# example (test_cpp_library.py, against an installed copy).
EXAMPLE_PAGES = ["../README.md"] + sorted(name for name in os.listdir(DOCS_DIR) if name.endswith(".md") and
                                          name not in ("api.md", "recipes.md", "cpp.md"))

# Packages the examples show that the package itself does not need.
OPTIONAL_MODULES = {"numpy", "PIL", "zxingcpp", "pandas", "pyarrow", "dask", "distributed", "pyspark"}

_BLOCK = re.compile(r"^```(python|sh)\n(.*?)^```$", re.MULTILINE | re.DOTALL)
_PICTURE = re.compile(r"!\[[^\]]*\]\((pictures/[^)]+)\)")
# Shell examples that set up a machine (a virtual environment, packages
# from an index) are what CI itself runs; the others run here.
_SETS_UP = re.compile(r"\bpip install\b|-m venv\b")


def _read(page):
    with open(os.path.join(DOCS_DIR, page), encoding="utf-8") as stream:
        return stream.read()


@pytest.mark.parametrize("page", EXAMPLE_PAGES)
def test_every_example_of_a_page_runs_in_order(page, tmp_path, monkeypatch):
    run_examples(page, tmp_path, monkeypatch)


def run_examples(page, folder, monkeypatch):
    """Runs the examples of a page in order in ``folder``; returns the names
    its Python examples made.  A page's examples build on each other, as a
    reader types them into one session and one shell: Python and shell
    blocks run in the order they stand, in one folder, so each may use what
    the ones before it wrote.  Every input an example needs is defined in
    the page."""
    blocks = _BLOCK.findall(_read(page))
    assert blocks, f"{page} has no example"
    monkeypatch.chdir(folder)
    namespace = {"__name__": "__guide__"}
    for number, (language, block) in enumerate(blocks, 1):
        name = f"{os.path.normpath(os.path.join('docs', page))}, example {number}"
        if language == "python":
            _run_python(name, block, namespace)
        elif not _SETS_UP.search(block):
            _run_shell(name, block, folder)
    return namespace


def _run_python(name, block, namespace):
    linecache.cache[name] = (len(block), None, block.splitlines(True), name)  # source in tracebacks
    with contextlib.redirect_stdout(io.StringIO()):
        try:
            exec(compile(block, name, "exec"), namespace)
        except ModuleNotFoundError as error:
            if (error.name or "").split(".")[0] not in OPTIONAL_MODULES:
                raise
            pytest.skip(f"{name} needs {error.name}")


def _run_shell(name, block, folder):
    # The installed command first on PATH: the one this interpreter runs.
    scripts = os.path.dirname(sys.executable)
    env = dict(os.environ, PATH=scripts + os.pathsep + os.environ.get("PATH", ""), NO_COLOR="1")
    if shutil.which("bash") is None:
        pytest.skip(f"{name} needs bash")
    ran = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", block], cwd=folder, env=env,
                         stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    assert ran.returncode == 0, f"{name} failed ({ran.returncode}):\n{block}\n{ran.stderr.decode(errors='replace')}"


def test_the_pictures_the_guide_shows_are_committed_and_used():
    shown = {name for page in GUIDE_PAGES for name in _PICTURE.findall(_read(page))}
    committed = {f"pictures/{name}" for name in os.listdir(os.path.join(DOCS_DIR, "pictures"))}
    assert shown <= committed, f"pictures shown but missing: {sorted(shown - committed)}"
    assert committed <= shown, f"pictures no page shows: {sorted(committed - shown)}"


def test_the_api_reference_is_current():
    tool = runpy.run_path(os.path.join(REPO_DIR, "tools", "api_reference.py"))
    assert _read("api.md") == tool["render"](), "docs/api.md is stale: run python tools/api_reference.py"
