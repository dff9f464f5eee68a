"""Pictures of symbols, one module per family of formats.

Every writer takes the modules as bytes (one per module, row by row, 1 =
dark) and the side length, so it does not depend on the symbol object.
"""

from .colors import parse_color
from .files import kind_of, write_document
from .options import DEFAULT_BORDER, DEFAULT_SCALE
from .raster import png
from .svg import svg
from .text import terminal

__all__ = ["svg", "png", "terminal", "parse_color", "kind_of", "write_document", "DEFAULT_SCALE", "DEFAULT_BORDER"]
