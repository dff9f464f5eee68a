"""Writes docs/api.md, the API reference, from the installed package's docstrings.

    python tools/api_reference.py           # writes docs/api.md
    python tools/api_reference.py --check   # exit 1 if docs/api.md is not current

The reference lists every public name of ``quillbank.aztec.__all__`` (its
signature and docstring) and the public methods and properties of
``AztecSymbol``.  tests/test_docs.py regenerates it and compares, so a changed
docstring or signature without a regenerated file fails the suite.
"""

from __future__ import annotations

import argparse
import inspect
import os
import re
import sys
from typing import Any, Callable, List, Optional

import quillbank.aztec as aztec

REPO_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
API_PATH = os.path.join(REPO_DIR, "docs", "api.md")

HEADER = """# API reference

Generated from the docstrings of the installed package by
`tools/api_reference.py`; edit the docstrings, not this file, and run
`python tools/api_reference.py` after changing them. The user guide starts
at [the index](index.md).
"""

# Sphinx cross-reference roles in docstrings (:func:`make`) become code spans.
_ROLE = re.compile(r":(?:func|meth|class|mod|data|attr|exc):`~?([^`]+)`")
# Field lists (:param name: ...) become list items.
_FIELD = re.compile(r"^:(param (\w+)|return|raises (\w+)):", re.MULTILINE)
# "size: int  #: modules on a side" in a class body.
_ATTRIBUTE = re.compile(r"^    (\w+): (.+?)  #: (.+)$", re.MULTILINE)


class _Shown(str):
    """An annotation shown as written (``Optional[int]``, not ``'Optional[int]'``)."""

    def __repr__(self) -> str:
        return str(self)


def _annotation(annotation: Any) -> Any:
    if annotation is inspect.Parameter.empty:
        return annotation
    return _Shown(annotation if isinstance(annotation, str) else inspect.formatannotation(annotation))


def signature(function: Callable[..., Any], name: str) -> str:
    """``name(parameters) -> return``, annotations as the source writes them,
    the same on every Python version."""
    found = inspect.signature(function)
    parameters = [p.replace(annotation=_annotation(p.annotation)) for p in found.parameters.values()
                  if p.name != "self"]
    shown = found.replace(parameters=parameters, return_annotation=_annotation(found.return_annotation))
    return f"{name}{shown}"


def docstring(thing: Any) -> str:
    text = inspect.getdoc(thing) or "(no docstring)"
    text = _FIELD.sub(_field_item, text)
    return _ROLE.sub(lambda match: f"`{match.group(1)}`", text)


def _field_item(match: "re.Match[str]") -> str:
    parameter, exception = match.group(2), match.group(3)
    if parameter:
        return f"- `{parameter}`:"
    return f"- raises `{exception}`:" if exception else "- returns:"


def _function_section(level: str, name: str, function: Callable[..., Any]) -> List[str]:
    return [f"{level} `{name}`", "", "```python", signature(function, name), "```", "", docstring(function), ""]


def _class_section(name: str, cls: type) -> List[str]:
    lines = [f"## `{name}`", ""]
    if issubclass(cls, BaseException):
        bases = ", ".join(f"`{base.__name__}`" for base in cls.__bases__)
        lines += [f"An exception; subclass of {bases}.", ""]
    lines += [docstring(cls), ""]
    if cls is aztec.AztecSymbol:
        lines += _symbol_members(cls)
    return lines


def _symbol_members(cls: type) -> List[str]:
    lines = ["### Attributes", ""]
    for attribute, annotation, comment in _ATTRIBUTE.findall(inspect.getsource(cls)):
        lines.append(f"- `{attribute}` (`{annotation}`): {comment}")
    members = [(name, value) for name, value in vars(cls).items() if not name.startswith("_")]
    properties = [(name, value) for name, value in members if isinstance(value, property)]
    for name, value in properties:
        returned = _annotation(inspect.signature(value.fget).return_annotation)
        lines.append(f"- `{name}` (`{returned}`, read-only): {docstring(value)}")
    lines.append("")
    for name, value in members:
        if inspect.isfunction(value):
            lines += _function_section("###", f"AztecSymbol.{name}", value)
    return lines


def _writers_section() -> List[str]:
    """The picture writers behind AztecSymbol.save, one per kind: the
    options each kind takes."""
    from quillbank.aztec import writers

    lines = ["## Picture writers: `quillbank.aztec.writers`", "",
             "`AztecSymbol.save(target, kind, **options)` passes `options` to the writer of the kind; "
             "each writer takes the modules (`symbol.modules`) and the side (`symbol.size`).", ""]
    for kind, writer in sorted(writers.WRITERS.items()):
        lines += _function_section("###", f"writers.{writer.__name__}", writer)
    return lines


def render() -> str:
    """The whole reference as Markdown."""
    lines = [HEADER]
    names = [name for name in aztec.__all__ if name != "__version__"]
    functions = [name for name in names if not inspect.isclass(getattr(aztec, name))]
    classes = [name for name in names if inspect.isclass(getattr(aztec, name))]
    lines += ["Import the package as `import quillbank.aztec as aztec`. Its public names are "
              + ", ".join(f"`{name}`" for name in aztec.__all__) + "; `__version__` is the version string.", ""]
    lines += ["## Functions", ""]
    for name in functions:
        lines += _function_section("###", name, getattr(aztec, name))
    for name in classes:
        lines += _class_section(name, getattr(aztec, name))
    lines += _writers_section()
    return "\n".join(lines).rstrip("\n") + "\n"


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Writes docs/api.md from the installed package's docstrings.")
    parser.add_argument("--check", action="store_true", help="only say whether docs/api.md is current")
    options = parser.parse_args(argv)
    text = render()
    if options.check:
        with open(API_PATH, encoding="utf-8") as stream:
            current = stream.read() == text
        print("docs/api.md is current" if current else "docs/api.md is stale: run python tools/api_reference.py")
        return 0 if current else 1
    with open(API_PATH, "w", encoding="utf-8", newline="\n") as stream:
        stream.write(text)
    print(f"wrote {API_PATH}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
