"""quillbank.aztec: fast, exact Aztec Code (ISO/IEC 24778) symbols.

    >>> import quillbank.aztec as aztec
    >>> symbol = aztec.make("Hello, world")
    >>> symbol.size, symbol.layers, symbol.compact
    (19, 2, True)
    >>> symbol.save("hello.svg")            # or .png
    >>> print(symbol)                        # Unicode half blocks

make() writes a shortest data bit stream (encode_optimal);
quillbank.aztec.encoder is the search encoder (the Encoder type), which
make(optimal=False) uses instead.  Importing this package loads nothing
else: the symbol writer is loaded on first use of its names.
"""

from typing import TYPE_CHECKING, Any, List

__version__ = "0.1.0"  # the one place: pyproject.toml reads it

__all__ = [
    "make",
    "make_sequence",
    "read",
    "Decoded",
    "make_many",
    "save_many",
    "render_many",
    "save_sequence",
    "rune",
    "Segment",
    "encode_optimal",
    "AztecSymbol",
    "AztecError",
    "DataOverflowError",
    "InvalidOptionError",
    "BatchError",
    "__version__",
]

_LAZY = {
    "make": "builder",
    "make_many": "batch",
    "save_many": "batch",
    "render_many": "batch",
    "save_sequence": "batch",
    "BatchError": "batch",
    "make_sequence": "builder",
    "read": "reading",
    "Decoded": "reading",
    "Segment": "segments",
    "encode_optimal": "optimal",
    "rune": "builder",
    "AztecSymbol": "symbol",
    "AztecError": "errors",
    "DataOverflowError": "errors",
    "InvalidOptionError": "errors",
}

if TYPE_CHECKING:  # pragma: no cover
    from .batch import BatchError, make_many, render_many, save_many, save_sequence
    from .errors import AztecError, DataOverflowError, InvalidOptionError
    from .optimal import encode_optimal
    from .builder import make, make_sequence, rune
    from .reading import Decoded, read
    from .segments import Segment
    from .symbol import AztecSymbol


def __getattr__(name: str) -> Any:
    # Loading on demand keeps `import quillbank.aztec.encoder` from pulling
    # in the symbol writer's extension and the writers.
    module_name = _LAZY.get(name)
    if module_name is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(f".{module_name}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> List[str]:
    return sorted(set(globals()) | set(__all__))
