"""The user guide: its examples run, its pictures are there, and the API
reference matches the docstrings of the installed package."""

import contextlib
import io
import linecache
import os
import re
import runpy

import pytest

REPO_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCS_DIR = os.path.join(REPO_DIR, "docs")
# The guide's task pages whose examples are ours to keep running (the
# command line, standard features, scaling and internals pages have their own).
GUIDE_PAGES = ["index.md", "making-symbols.md", "size-and-error-correction.md", "character-sets.md",
               "formats-and-printing.md", "reading.md"]

# Packages the examples show that the package itself does not need.
OPTIONAL_MODULES = {"numpy", "PIL", "zxingcpp"}

_PYTHON_BLOCK = re.compile(r"^```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)
_PICTURE = re.compile(r"!\[[^\]]*\]\((pictures/[^)]+)\)")


def _read(page):
    with open(os.path.join(DOCS_DIR, page), encoding="utf-8") as stream:
        return stream.read()


@pytest.mark.parametrize("page", GUIDE_PAGES)
def test_every_python_example_of_a_page_runs_in_order(page, tmp_path, monkeypatch):
    # A page's examples build on each other, as a reader types them into
    # one session; they write their files into a fresh folder.
    blocks = _PYTHON_BLOCK.findall(_read(page))
    assert blocks, f"{page} has no Python example"
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__guide__"}
    for number, block in enumerate(blocks, 1):
        name = f"docs/{page}, example {number}"
        linecache.cache[name] = (len(block), None, block.splitlines(True), name)  # source in tracebacks
        with contextlib.redirect_stdout(io.StringIO()):
            try:
                exec(compile(block, name, "exec"), namespace)
            except ModuleNotFoundError as error:
                if (error.name or "").split(".")[0] not in OPTIONAL_MODULES:
                    raise
                pytest.skip(f"{name} needs {error.name}")


def test_the_pictures_the_guide_shows_are_committed_and_used():
    shown = {name for page in GUIDE_PAGES for name in _PICTURE.findall(_read(page))}
    committed = {f"pictures/{name}" for name in os.listdir(os.path.join(DOCS_DIR, "pictures"))}
    assert shown <= committed, f"pictures shown but missing: {sorted(shown - committed)}"
    assert committed <= shown, f"pictures no page shows: {sorted(committed - shown)}"


def test_the_api_reference_is_current():
    tool = runpy.run_path(os.path.join(REPO_DIR, "tools", "api_reference.py"))
    assert _read("api.md") == tool["render"](), "docs/api.md is stale: run python tools/api_reference.py"
