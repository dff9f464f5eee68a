from typing import List, Literal, Optional, Sequence, SupportsIndex, Tuple, Union, overload

from typing_extensions import Buffer

# Text (encoded as UTF-8) or any buffer of bytes.
_Data = Union[str, Buffer]
# An ECI number, or None or False for no designator.
_Eci = Union[SupportsIndex, Literal[False], None]

@overload
def encode(data: _Data, eci: _Eci = ..., asBits: Literal[False] = ...) -> bytes: ...
@overload
def encode(data: _Data, eci: _Eci, asBits: Literal[True]) -> List[bool]: ...
@overload
def encode(data: _Data, eci: _Eci = ..., *, asBits: Literal[True]) -> List[bool]: ...
@overload
def encode(data: _Data, eci: _Eci = ..., asBits: object = ...) -> Union[bytes, List[bool]]: ...
def encode_stream(data: _Data, eci: _Eci = ...) -> Tuple[bytes, int]: ...

# (position, None) is FNC1; (position, n) the ECI designator of n, 0 to 999999.
_Flag = Tuple[int, Optional[int]]

def encode_segments(
    data: _Data, flags: Sequence[_Flag] = ..., structured_append: bool = ...
) -> Tuple[bytes, int]: ...
