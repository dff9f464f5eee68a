"""GS1 content checked with biip, and the structured-append header."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

from quillbank.aztec import gs1
from quillbank.aztec.errors import InvalidOptionError
from quillbank.aztec.sequence import header, last_true


class TestGS1:
    def test_both_forms_give_the_element_string_and_fnc1_positions(self):
        human = gs1.parse("(01)09501101530003(10)ABC123(17)250101(21)X7(30)12")
        element = gs1.parse("010950110153000310ABC123\x1d1725010121X7\x1d3012")
        assert human == element
        # FNC1 first and after the variable-length (10) and (21), not after
        # the fixed-length (01) and (17), nor after the last value.
        assert human.element_string == b"010950110153000310ABC1231725010121X73012"
        assert human.fnc1_positions == (0, 24, 36)
        assert human.human_readable == "(01)09501101530003(10)ABC123(17)250101(21)X7(30)12"
        assert gs1.parse(b"(00)106141411234567897").fnc1_positions == (0,)
        assert gs1.parse("(10)A-B/C(21)x").element_string == b"10A-B/C21x"

    @pytest.mark.parametrize("content, names", [
        ("(23)1", "(23)"),                         # no such AI
        ("(01)0950110153000", "(01)"),             # 13 digits where 14 go
        ("(01)09501101530004", "(01)"),            # GTIN check digit
        ("(00)106141411234567890", "(00)"),        # SSCC check digit
        ("(17)251301", "(17)"),                    # month 13
        ("(01)09501101530003(10)", "(10)"),        # an empty value
        ("(10)A(B)", "(AI)value"),                 # brackets in a value
        ("(10)AB(21)x y", "(21)"),                 # a space biip would drop
        ("", "empty"), (b"(10)\xff", "ASCII"),
    ])
    def test_bad_content_is_refused_naming_the_ai(self, content, names):
        with pytest.raises(gs1.GS1Error, match=names.replace("(", r"\(").replace(")", r"\)")) as error:
            gs1.parse(content)
        assert isinstance(error.value, InvalidOptionError)

    def test_content_must_be_text(self):
        with pytest.raises(TypeError):
            gs1.parse(109501101530003)


class TestSequenceHeader:
    def test_letters_and_id(self):
        assert header(1, 2) == b"AB"
        assert header(26, 26) == b"ZZ"
        assert header(2, 3, "T-42/x") == b" T-42/x BC"

    @pytest.mark.parametrize("position, count, symbol_id, error", [
        (1, 1, None, InvalidOptionError), (1, 27, None, InvalidOptionError), (0, 3, None, InvalidOptionError),
        (4, 3, None, InvalidOptionError), (1, 2, "A B", InvalidOptionError), (1, 2, "", InvalidOptionError),
        (1, 2, "Köln", InvalidOptionError), (1, 2, "\t", InvalidOptionError), (1, 2, b"ID", TypeError),
        (1.0, 2, None, TypeError), (True, 2, None, TypeError),
    ])
    def test_bad_values_are_refused(self, position, count, symbol_id, error):
        with pytest.raises(error):
            header(position, count, symbol_id)


class TestLastTrue:
    # The overflow diagnosis starts its search from a guess of the longest
    # start that fits: whatever the guess, the answer is the bisection's.
    @given(data=st.data(), low=st.integers(0, 50), span=st.integers(0, 200))
    def test_a_guess_changes_the_calls_not_the_answer(self, data, low, span):
        high = low + span
        last = data.draw(st.integers(low, high))
        near = data.draw(st.one_of(st.none(), st.integers(low - 5, high + 5)))
        asked = []

        def holds(n):
            assert low <= n <= high
            asked.append(n)
            return n <= last

        assert last_true(low, high, holds, near=near) == last
        assert last_true(low, high, lambda n: n <= last) == last
        if near is not None and low < near == last < high:
            assert len(asked) == 2  # the guess and the one after it
