"""aztec.read against zxing-cpp's reader on one picture (see conftest)."""

import zxingcpp

import quillbank.aztec as aztec

# Pictures compared so far, for the test that checks the hook runs.
compared = []


def zxing_reading(read_barcodes, image):
    """(modifier, data, [(position, ECI)], reader_init) of the one Aztec
    symbol zxing-cpp finds, or None."""
    found = read_barcodes(image, formats=zxingcpp.BarcodeFormat.Aztec, text_mode=zxingcpp.TextMode.HexECI)
    if len(found) != 1:
        return None
    raw = bytes.fromhex(found[0].text.replace(" ", ""))
    assert raw[:2] == b"]z", raw[:3]
    data, ecis, i = bytearray(), [], 3
    if chr(raw[2]) not in "3459AB":  # ECI modifiers: only then are designators shown and backslashes doubled
        data, i = bytearray(raw[3:]), len(raw)
    while i < len(raw):
        if raw[i:i + 1] == b"\\" and raw[i + 1:i + 2] != b"\\":
            ecis.append((len(data), int(raw[i + 1:i + 7])))
            i += 7
            continue
        data.append(raw[i])
        i += 2 if raw[i:i + 2] == b"\\\\" else 1
    extra = found[0].extra or {}
    return chr(raw[2]), bytes(data), ecis, bool(extra.get("ReaderInit", False))


def pgm(image):
    return b"P5\n%d %d\n255\n" % (image.shape[1], image.shape[0]) + image.astype("uint8").tobytes()


def assert_agrees(read_barcodes, image):
    theirs = zxing_reading(read_barcodes, image)
    if theirs is None:
        return
    modifier, data, ecis, reader_init = theirs
    ours = aztec.read(pgm(image))
    compared.append(ours)
    if modifier == "C":
        assert ours.rune == int(data), (ours, theirs)
        return
    assert ours.data == data, (ours, theirs)
    # zxing-cpp shows the default character set (ECI 3) first when a later
    # designator changes it.
    ours_ecis = list(ours.ecis)
    assert ecis in (ours_ecis, [(0, 3)] + ours_ecis), (ours, theirs)
    # Modifiers: 0 plain, 1 GS1, 3 ECI, 4 GS1 and ECI; 6 to B the same
    # six in a structured-append sequence.
    assert ours.gs1 == (modifier in "147A"), (ours, theirs)
    assert (ours.sequence is not None) == (modifier in "6789AB"), (ours, theirs)
    assert ours.reader_init == reader_init, (ours, theirs)
