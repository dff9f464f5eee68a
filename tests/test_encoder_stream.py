"""The data bit stream that Encoder.encode produces: codes, latches and
shifts, pairs, binary runs, ECI designators and the packing into bytes."""

import random

import pytest

from quillbank.aztec.encoder import Encoder
from reference_search import encode_bits as reference_bits
from stream_decoder import decode_bits


def bits(text):
    """'00010 11100' -> [False, False, False, True, False, True, ...]"""
    return [c == "1" for c in text if c in "01"]


def stream(data, eci=None):
    return Encoder().encode(data, eci=eci, asBits=True)


class TestSingleCharacters:
    @pytest.mark.parametrize(
        "data, expected",
        [
            (b"A", "00010"),                   # Upper holds it: no branching
            (b" ", "00001"),                   # space stays in Upper
            (b"Z", "11011"),
            (b"a", "11100 00010"),             # L/L, no shift into Lower
            (b"z", "11100 11011"),
            (b"0", "11110 0010"),              # D/L, 4-bit digit
            (b"9", "11110 1011"),
            (b",", "11110 1100"),              # Digit latch beats P/S (9 bits < 10)
            (b"!", "00000 00110"),             # P/S beats M/L P/L
            (b"}", "00000 11110"),
            (b"\r", "00000 00001"),            # P/S ties M/L and comes first
            (b"@", "11101 10100"),             # M/L
            (b"\x7f", "11101 11011"),
            (b"\x01", "11101 00010"),
            (b"\x1b", "11101 01111"),
        ],
    )
    def test_character_from_a_fresh_root(self, data, expected):
        assert stream(data) == bits(expected)

    def test_two_upper_letters_are_two_codes(self):
        assert Encoder().encode(b"AB") == b"\x08\x03"

    def test_lower_state_shifts_for_one_capital(self):
        # a, then U/S B: the shift (10 bits) beats D/L U/L (14 bits).
        assert stream(b"aB") == bits("11100 00010 11100 00011")
        assert len(stream(b"aB")) == 20

    def test_digit_state_keeps_digits_across_a_shifted_letter(self):
        # 1, U/S A, 2: latch and shift tie after the A, the Digit state
        # then takes the 2 in place.
        assert stream(b"1A2") == bits("11110 0011 1111 00010 0100")

    def test_capitals_after_lower_are_shifted_one_by_one(self):
        # After each capital the shift child (10 bits) is cheaper than the
        # latch child (14 bits), so the latch is pruned at once, even where
        # latching for the whole run would have paid off.
        got = stream(b"abCDE")
        assert got == bits("11100 00010 00011" + " 11100 00100 11100 00101 11100 00110")

    def test_digits_then_letters(self):
        got = stream(b"12345ABC")
        assert got == bits("11110 0011 0100 0101 0110 0111 1110 00010 00011 00100")

    def test_mixed_run(self):
        got = stream(b"@@@")
        assert got == bits("11101 10100 10100 10100")

    def test_example_from_the_top(self):
        assert Encoder().encode("Ab").hex() == "e860"


class TestPairs:
    @pytest.mark.parametrize("pair, code", [(b"\r\n", 2), (b". ", 3), (b", ", 4), (b": ", 5)])
    def test_pair_from_upper_is_one_shifted_code(self, pair, code):
        assert stream(pair) == bits("00000") + bits(format(code, "05b"))

    def test_pair_is_taken_even_where_two_digit_codes_are_cheaper(self):
        # ". " in Digit as two 4-bit codes would be 8 bits; the pair costs 9.
        assert stream(b"1. ") == bits("11110 0011 0000 00011")

    def test_pairs_are_found_greedily_from_the_left(self):
        # CR CR LF: the first CR alone, then the pair.
        assert stream(b"\r\r\n") == bits("00000 00001 00000 00010")

    def test_last_byte_never_pairs(self):
        # A then a full stop at the end: one character, by Digit latch.
        assert stream(b"A.") == bits("00010 11110 1101")

    @pytest.mark.parametrize("data", [b".,", b":;", b". ,", b",.", b"\n\r"])
    def test_near_pairs_are_single_characters(self, data):
        assert decode_bits(stream(data)) == (data, None)
        assert stream(data) == reference_bits(data)[0]

    def test_punct_state_appends_pairs_in_place(self):
        # @ latches to Mixed, ! is then reached by latch or shift at equal cost;
        # the pairs after it stay in Punct.
        got = stream(b"@!. . . ")
        assert decode_bits(got) == (b"@!. . . ", None)
        assert len(got) == 10 + 10 + 15


class TestBinaryRuns:
    def test_one_high_byte(self):
        assert stream(b"\xe9") == bits("11111 00001 11101001")

    @pytest.mark.parametrize("length, header_bits", [(1, 10), (31, 10), (32, 21), (2078, 21)])
    def test_header_length_forms(self, length, header_bits):
        data = bytes([0x80 + i % 128 for i in range(length)])
        got = stream(data)
        assert len(got) == header_bits + 8 * length
        assert got[:5] == bits("11111")
        if header_bits == 10:
            assert got[5:10] == bits(format(length, "05b"))
        else:
            assert got[5:10] == bits("00000")
            assert got[10:21] == bits(format(length - 31, "011b"))
        assert decode_bits(got) == (data, None)

    def test_a_run_longer_than_one_header_is_cut(self):
        data = b"\xff" * 2079
        got = stream(data)
        assert len(got) == (21 + 8 * 2078) + (10 + 8)
        assert decode_bits(got) == (data, None)

    def test_two_byte_utf8_character_is_one_run(self):
        assert stream("é") == bits("11111 00010 11000011 10101001")

    def test_run_stops_at_a_text_byte(self):
        got = stream(b"\xffA\xff")
        assert got == bits("11111 00001 11111111 00010 11111 00001 11111111")

    def test_run_stops_before_a_pair(self):
        got = stream(b"\xff. ")
        assert got == bits("11111 00001 11111111 00000 00011")

    def test_from_digit_latches_to_upper_first(self):
        # 1 in Digit, then U/L (4 bits) and the run; the decoder is in Upper after.
        assert stream(b"1\xe9A") == bits("11110 0011 1110 11111 00001 11101001 00010")

    @pytest.mark.parametrize("byte", [0] + list(range(14, 27)))
    def test_bytes_no_mode_holds_travel_in_binary_shift(self, byte):
        data = bytes([byte])
        assert stream(data) == bits("11111 00001") + bits(format(byte, "08b"))

    def test_a_stretch_of_unencodable_bytes_is_one_run(self):
        data = b"\x00\x0e\x1a\x00\x10"
        got = stream(data)
        assert len(got) == 10 + 8 * 5
        assert decode_bits(got) == (data, None)

    def test_high_run_stops_at_an_unencodable_low_byte(self):
        got = stream(b"\xc3\x10")
        assert len(got) == (10 + 8) + (10 + 8)
        assert decode_bits(got) == (b"\xc3\x10", None)


class TestEciDesignator:
    @pytest.mark.parametrize(
        "eci, flag",
        [
            (0, "00000 001 0010"),
            (3, "00000 001 0101"),
            (26, "00000 010 0100 1000"),
            (999999, "00000 110" + " 1011" * 6),
            (1000000, "00000 001 0010"),
            (4294967295, "00000 110 1011 1000 1001 0100 1011 0111"),
        ],
    )
    def test_designator_alone(self, eci, flag):
        assert stream(b"", eci=eci) == bits("00000") + bits(flag)

    def test_designator_packs_into_three_bytes(self):
        assert Encoder().encode("", eci=26) == b"\x00H\x02"

    def test_designator_precedes_the_first_character(self):
        got = stream(b"a", eci=3)
        assert got == bits("00000 00000 001 0101") + bits("11100 00010")
        assert decode_bits(got) == (b"a", 3)

    def test_designator_does_not_change_the_choice_of_encoding(self):
        rng = random.Random(7)
        for _ in range(200):
            data = bytes(rng.choice(b"aA1.,: \r\n@\xe9") for _ in range(rng.randrange(30)))
            assert stream(data, eci=123)[25:] == stream(data)


class TestPacking:
    def test_least_significant_bit_first(self):
        # 00010 00011: bit 3 of byte 0, then bits 8 and 9 -> 0x08 0x03.
        assert Encoder().encode(b"AB") == bytes([0x08, 0x03])

    def test_whole_bytes_have_no_extra_byte(self):
        assert len(stream(b"AAAAAAAA")) == 40
        assert len(Encoder().encode(b"AAAAAAAA")) == 5

    def test_packed_form_matches_the_bits(self):
        rng = random.Random(3)
        encoder = Encoder()
        for _ in range(300):
            data = bytes(rng.randrange(256) for _ in range(rng.randrange(50)))
            as_bits = encoder.encode(data, asBits=True)
            packed = encoder.encode(data)
            assert len(packed) == (len(as_bits) + 7) // 8
            expected = bytearray(len(packed))
            for k, bit in enumerate(as_bits):
                if bit:
                    expected[k // 8] |= 1 << (k % 8)
            assert packed == bytes(expected)

    def test_empty_message(self):
        assert Encoder().encode(b"") == b""
        assert Encoder().encode(b"", asBits=True) == []


class TestSearchChoices:
    def test_merging_ties_gives_the_same_stream_as_keeping_every_tie(self):
        # The unmerged model keeps every candidate tied for the fewest bits.
        rng = random.Random(11)
        alphabet = b"aAbZ09,.!@ \r\n:\xe9\x00\x10"
        encoder = Encoder()
        widest = 0
        for _ in range(1500):
            data = bytes(rng.choice(alphabet) for _ in range(rng.randrange(16)))
            eci = rng.choice([None, 0, 26])
            expected, width = reference_bits(data, eci)
            widest = max(widest, width)
            assert encoder.encode(data, eci=eci, asBits=True) == expected, (data, eci)
        assert widest > 5  # the sample did produce ties worth merging

    def test_long_tie_heavy_message_encodes(self):
        rng = random.Random(5)
        pieces = [b"a", b"B", b"7", b",", b".", b"!", b"@", b" ", b"\r", b". ", b"\r\n", "é".encode()]
        data = b"".join(rng.choice(pieces) for _ in range(40000))
        assert decode_bits(stream(data)) == (data, None)

    def test_message_longer_than_65535_bytes_is_consumed_to_the_end(self):
        data = (b"Tickets 4 you. " * 5000)[:70001] + b"END"
        assert decode_bits(stream(data)) == (data, None)

    def test_very_deep_tree_is_freed(self):
        # Every character branches, so the tree is as deep as the message.
        encoder = Encoder()
        data = b"aA" * 150000
        assert decode_bits(encoder.encode(data, asBits=True)) == (data, None)
        encoder.reset()
        assert encoder.encode(b"A") == b"\x08"
