"""Colours of a picture: every CSS colour name, the hex notations and tuples.

A colour is parsed into an (r, g, b, a) tuple of integers 0 to 255, or None
for a transparent light colour.  Parsing is strict: a hex colour is ``#``
followed by exactly 3, 4, 6 or 8 ASCII hex digits and nothing else.

The two colours of a picture must differ enough for a scanner to tell them
apart: their contrast ratio (the WCAG formula, over white paper where they
are transparent) is at least :data:`MIN_CONTRAST`.
"""

from __future__ import annotations

import numbers
from typing import Optional, Tuple, Union

from ..arguments import check_int
from ..errors import InvalidOptionError

RGBA = Tuple[int, int, int, int]
Color = Union[str, Tuple[int, int, int], Tuple[int, int, int, Union[int, float]], None]

BLACK: RGBA = (0, 0, 0, 255)
WHITE: RGBA = (255, 255, 255, 255)

#: The least contrast ratio of the dark and the light colour, (L1 + 0.05) /
#: (L2 + 0.05) of their relative luminances: 1 for equal colours, 21 for
#: black on white.  Below it scanners cannot tell the modules apart; 4.5
#: or more reads well.
MIN_CONTRAST = 2.0

_HEX_DIGITS = frozenset("0123456789abcdefABCDEF")

# The CSS Color Module's named colours (the 147 names, grey and gray both).
_CSS_NAMES = """
aliceblue f0f8ff antiquewhite faebd7 aqua 00ffff aquamarine 7fffd4 azure f0ffff
beige f5f5dc bisque ffe4c4 black 000000 blanchedalmond ffebcd blue 0000ff
blueviolet 8a2be2 brown a52a2a burlywood deb887 cadetblue 5f9ea0 chartreuse 7fff00
chocolate d2691e coral ff7f50 cornflowerblue 6495ed cornsilk fff8dc crimson dc143c
cyan 00ffff darkblue 00008b darkcyan 008b8b darkgoldenrod b8860b darkgray a9a9a9
darkgreen 006400 darkgrey a9a9a9 darkkhaki bdb76b darkmagenta 8b008b
darkolivegreen 556b2f darkorange ff8c00 darkorchid 9932cc darkred 8b0000
darksalmon e9967a darkseagreen 8fbc8f darkslateblue 483d8b darkslategray 2f4f4f
darkslategrey 2f4f4f darkturquoise 00ced1 darkviolet 9400d3 deeppink ff1493
deepskyblue 00bfff dimgray 696969 dimgrey 696969 dodgerblue 1e90ff
firebrick b22222 floralwhite fffaf0 forestgreen 228b22 fuchsia ff00ff
gainsboro dcdcdc ghostwhite f8f8ff gold ffd700 goldenrod daa520 gray 808080
green 008000 greenyellow adff2f grey 808080 honeydew f0fff0 hotpink ff69b4
indianred cd5c5c indigo 4b0082 ivory fffff0 khaki f0e68c lavender e6e6fa
lavenderblush fff0f5 lawngreen 7cfc00 lemonchiffon fffacd lightblue add8e6
lightcoral f08080 lightcyan e0ffff lightgoldenrodyellow fafad2 lightgray d3d3d3
lightgreen 90ee90 lightgrey d3d3d3 lightpink ffb6c1 lightsalmon ffa07a
lightseagreen 20b2aa lightskyblue 87cefa lightslategray 778899 lightslategrey 778899
lightsteelblue b0c4de lightyellow ffffe0 lime 00ff00 limegreen 32cd32 linen faf0e6
magenta ff00ff maroon 800000 mediumaquamarine 66cdaa mediumblue 0000cd
mediumorchid ba55d3 mediumpurple 9370db mediumseagreen 3cb371 mediumslateblue 7b68ee
mediumspringgreen 00fa9a mediumturquoise 48d1cc mediumvioletred c71585
midnightblue 191970 mintcream f5fffa mistyrose ffe4e1 moccasin ffe4b5
navajowhite ffdead navy 000080 oldlace fdf5e6 olive 808000 olivedrab 6b8e23
orange ffa500 orangered ff4500 orchid da70d6 palegoldenrod eee8aa palegreen 98fb98
paleturquoise afeeee palevioletred db7093 papayawhip ffefd5 peachpuff ffdab9
peru cd853f pink ffc0cb plum dda0dd powderblue b0e0e6 purple 800080
rebeccapurple 663399 red ff0000 rosybrown bc8f8f royalblue 4169e1 saddlebrown 8b4513
salmon fa8072 sandybrown f4a460 seagreen 2e8b57 seashell fff5ee sienna a0522d
silver c0c0c0 skyblue 87ceeb slateblue 6a5acd slategray 708090 slategrey 708090
snow fffafa springgreen 00ff7f steelblue 4682b4 tan d2b48c teal 008080
thistle d8bfd8 tomato ff6347 turquoise 40e0d0 violet ee82ee wheat f5deb3
white ffffff whitesmoke f5f5f5 yellow ffff00 yellowgreen 9acd32
""".split()
NAMED_COLORS = {name: (*bytes.fromhex(value), 255) for name, value in zip(_CSS_NAMES[0::2], _CSS_NAMES[1::2])}

_SHAPES = "a CSS colour name, '#rgb', '#rgba', '#rrggbb', '#rrggbbaa', an (r, g, b) or (r, g, b, alpha) tuple, or None"


def parse_color(color: Color, name: str = "color") -> Optional[RGBA]:
    """(r, g, b, a) with each 0 to 255 for a colour; None for None or
    ``"transparent"``.  ``name`` names the option in errors."""
    if color is None:
        return None
    if isinstance(color, str):
        return _parse_text(color, name)
    if isinstance(color, tuple):
        return _parse_tuple(color, name)
    raise TypeError(f"{name} is {_SHAPES}, not {type(color).__name__}")


def _parse_text(text: str, name: str) -> Optional[RGBA]:
    key = text.strip().lower()
    if key == "transparent":
        return None
    if key in NAMED_COLORS:
        return NAMED_COLORS[key]
    digits = text[1:] if text.startswith("#") else ""
    if len(digits) in (3, 4, 6, 8) and all(digit in _HEX_DIGITS for digit in digits):
        if len(digits) <= 4:
            digits = "".join(digit * 2 for digit in digits)
        values = tuple(bytes.fromhex(digits))
        return values + (255,) if len(values) == 3 else values  # type: ignore[return-value]
    raise InvalidOptionError(f"{name} {text!r} is not a colour: use {_SHAPES}")


def _parse_tuple(color: Tuple[object, ...], name: str) -> RGBA:
    if len(color) not in (3, 4):
        raise InvalidOptionError(f"{name} {color!r} is not a colour: a tuple has 3 or 4 items")
    channels = [_channel(value, name) for value in color[:3]]
    alpha = _alpha(color[3], name) if len(color) == 4 else 255
    return (channels[0], channels[1], channels[2], alpha)


def _channel(value: object, name: str) -> int:
    return check_int(f"a channel of {name}", value, 0, 255, f"{name}'s channels are 0 to 255")


def _alpha(value: object, name: str) -> int:
    """An alpha of 0 to 255, or a float 0.0 to 1.0 as CSS writes it."""
    if isinstance(value, float) or (isinstance(value, numbers.Real) and not isinstance(value, numbers.Integral)):
        share = float(value)
        if not 0.0 <= share <= 1.0:  # also refuses nan
            raise InvalidOptionError(f"{name}'s alpha as a fraction is 0.0 to 1.0, not {value!r}")
        return round(share * 255)
    return _channel(value, name)


def hex_color(rgba: RGBA) -> str:
    """'#rrggbb' of a colour, its alpha left out."""
    return "#%02x%02x%02x" % rgba[:3]


def dark_and_light(dark: Color, light: Color,
                   names: Tuple[str, str] = ("dark", "light")) -> Tuple[RGBA, Optional[RGBA]]:
    """Both colours of a picture, parsed; the dark one cannot be transparent,
    and the two must contrast (MIN_CONTRAST).  ``names`` name the options in
    errors."""
    dark_rgba = parse_color(dark, names[0])
    light_rgba = parse_color(light, names[1])
    if dark_rgba is None or dark_rgba[3] == 0:
        raise InvalidOptionError(f"the dark colour cannot be transparent ({names[0]})")
    ratio = contrast(dark_rgba, light_rgba)
    if ratio < MIN_CONTRAST:
        raise InvalidOptionError(
            f"{names[0]} {dark!r} and {names[1]} {light!r} are too alike for a scanner to tell apart: their "
            f"contrast ratio is {ratio:.2f}:1, at least {MIN_CONTRAST:g}:1 is needed (4.5:1 reads well); "
            f"choose a darker {names[0]} or a lighter {names[1]}")
    return dark_rgba, light_rgba


def contrast(dark: RGBA, light: Optional[RGBA]) -> float:
    """The contrast ratio of the colours as printed: the light one over white
    paper (None is the paper itself), the dark one over the light one."""
    paper = _over(light, WHITE) if light is not None else WHITE
    ink = _over(dark, paper)
    darker, lighter = sorted((_luminance(ink), _luminance(paper)))
    return (lighter + 0.05) / (darker + 0.05)


def _over(color: RGBA, under: Tuple[float, ...]) -> Tuple[float, float, float]:
    """The colour seen where ``color`` covers ``under`` (alpha blending)."""
    alpha = color[3] / 255
    return (color[0] * alpha + under[0] * (1 - alpha), color[1] * alpha + under[1] * (1 - alpha),
            color[2] * alpha + under[2] * (1 - alpha))


def _luminance(rgb: Tuple[float, ...]) -> float:
    """The relative luminance of an sRGB colour of channels 0 to 255."""
    def linear(channel: float) -> float:
        value = channel / 255
        return value / 12.92 if value <= 0.04045 else ((value + 0.055) / 1.055) ** 2.4

    return 0.2126 * linear(rgb[0]) + 0.7152 * linear(rgb[1]) + 0.0722 * linear(rgb[2])


def opaque_or_clear(kind: str, dark: RGBA, light: Optional[RGBA]) -> None:
    """Refuses partial transparency in a format that has none (a light colour
    of None, or alpha 0, leaves the background out instead)."""
    for name, color in (("dark", dark), ("light", light)):
        if color is not None and color[3] != 255 and not (name == "light" and color[3] == 0):
            raise InvalidOptionError(f"{kind} pictures have no partial transparency: {name} has alpha {color[3]}")
