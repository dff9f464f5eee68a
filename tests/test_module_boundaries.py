"""The installed package's modules use only each other's public names: a
name that starts with an underscore is free to change inside its module."""

import ast
import os

import quillbank.aztec as aztec

PACKAGE = "quillbank.aztec"
# The compiled modules are private as a whole; their names are their API.
PRIVATE_MODULES = {"_symbol", "_optimal", "_aztec", "_test_hooks"}


def _private(name):
    return name.startswith("_") and not name.startswith("__") and name not in PRIVATE_MODULES


def _package_of(path, root):
    """The dotted package a module file belongs to."""
    folder = os.path.relpath(os.path.dirname(path), root)
    return PACKAGE if folder == "." else PACKAGE + "." + folder.replace(os.sep, ".")


def _absolute(node, package):
    """The module an ImportFrom names, made absolute."""
    if not node.level:
        return node.module or ""
    base = package.split(".")
    base = base[:len(base) - node.level + 1]
    return ".".join(base + ([node.module] if node.module else []))


def private_uses(source, package):
    """Each ``from .x import _name``, and each ``x._name`` where ``x`` is a
    module of the package, in one module's source."""
    found, modules = [], set()
    tree = ast.parse(source)
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom):
            origin = _absolute(node, package)
            if not origin.startswith(PACKAGE):
                continue
            for alias in node.names:
                if _private(alias.name):
                    found.append(f"line {node.lineno}: from {origin} import {alias.name}")
                modules.add(alias.asname or alias.name)  # perhaps a module: x._name is checked below
        elif isinstance(node, ast.Import):
            for alias in node.names:
                if alias.name.startswith(PACKAGE):
                    modules.add(alias.asname or alias.name.split(".")[0])
    for node in ast.walk(tree):
        if isinstance(node, ast.Attribute) and _private(node.attr):
            base = node.value
            while isinstance(base, ast.Attribute):  # quillbank.aztec.x._name
                base = base.value
            if isinstance(base, ast.Name) and base.id in modules:
                found.append(f"line {node.lineno}: {ast.unparse(node)}")
    return found


def test_no_module_uses_another_modules_private_names():
    root = os.path.dirname(aztec.__file__)
    sources = {}
    for folder, _, names in os.walk(root):
        for name in names:
            if name.endswith(".py"):
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8") as file:
                    sources[path] = file.read()
    assert {"builder.py", "batch.py", "cli.py", "zpl.py"} <= {os.path.basename(path) for path in sources}
    found = [f"{os.path.relpath(path, root)} {use}" for path, source in sorted(sources.items())
             for use in private_uses(source, _package_of(path, root))]
    assert found == []
    # The check sees each form it refuses, and lets the others be.
    planted = ("from ..builder import _helper, make\nfrom .. import batch, _symbol, cli\n"
               "import quillbank.aztec.shapes as shapes\nimport sys\n"
               "batch._SLICE, cli.main, shapes._x, _symbol.make, sys._getframe, batch.__doc__\n")
    assert [use.split(": ")[1] for use in private_uses(planted, PACKAGE + ".writers")] == [
        f"from {PACKAGE}.builder import _helper", "batch._SLICE", "shapes._x"]
