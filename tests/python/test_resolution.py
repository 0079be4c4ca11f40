"""Parsing of "WIDTHxHEIGHT" texts, seen through Src.camera(resolution=...).

A text that parses gives a Src; a text that does not raises RuntimeError whose
message quotes the text exactly as it was passed.
"""

import pytest

from orvane_video import Src, StreamOptions

FORMAT = "Invalid resolution '{}'. Expected format WIDTHxHEIGHT (e.g., 1280x720)."
WIDTH = "Invalid width in resolution '{}'"
HEIGHT = "Invalid height in resolution '{}'"
POSITIVE = "Invalid resolution '{}'. Width and height must be positive."

# every character with the Unicode White_Space property
WHITE_SPACE = (
    ["\t", "\n", "\x0b", "\x0c", "\r", " ", "\x85", "\xa0", "\u1680"]
    + [chr(c) for c in range(0x2000, 0x200B)]
    + ["\u2028", "\u2029", "\u202f", "\u205f", "\u3000"]
)


@pytest.mark.parametrize(
    "text",
    [
        "1280x720",
        "1280X720",
        "+1280x+720",
        "01280x0720",
        "  1280x720\n",
        "\u3000 1280x720\u00a0",
        "1x1",
        "4294967295x1",
        "1x4294967295",
        "4294967295x4294967295",
        "00000000000000000001x2",
    ],
)
def test_valid_resolution_is_accepted(text):
    assert isinstance(Src.camera(resolution=text), Src)


@pytest.mark.parametrize("ch", WHITE_SPACE, ids=lambda c: f"U+{ord(c):04X}")
def test_unicode_white_space_is_trimmed_from_both_ends(ch):
    assert isinstance(Src.camera(resolution=f"{ch}{ch}640x480{ch}"), Src)


@pytest.mark.parametrize(
    "text, template",
    [
        # no separator at all
        ("1280*720", FORMAT),
        ("", FORMAT),
        ("   ", FORMAT),
        ("1280", FORMAT),
        ("banana", FORMAT),
        ("\u00d7", FORMAT),  # multiplication sign is not a separator
        ("1280\u00d7720", FORMAT),
        # width text
        ("1280 x 720", WIDTH),
        ("1280 x720", WIDTH),
        ("x720", WIDTH),
        ("X", WIDTH),
        ("-1x720", WIDTH),
        ("++1280x720", WIDTH),
        ("+x720", WIDTH),
        ("1e3x720", WIDTH),
        ("12a0x720", WIDTH),
        ("4294967296x720", WIDTH),
        ("99999999999999999999x1", WIDTH),
        ("\uff11\uff12\uff18\uff10x720", WIDTH),  # full-width digits
        ("\u0661\u0662x720", WIDTH),  # Arabic-Indic digits
        ("640X480x2", WIDTH),  # the lower-case x wins
        ("1280X720x", WIDTH),
        ("abcx0", WIDTH),  # width is checked before positivity
        # height text
        ("1280x", HEIGHT),
        ("1280x 720", HEIGHT),
        ("1280x720x2", HEIGHT),
        ("1280x-720", HEIGHT),
        ("1280x+", HEIGHT),
        ("1280x4294967296", HEIGHT),
        ("1280x720 abc", HEIGHT),
        ("1280x720_", HEIGHT),
        ("0xabc", HEIGHT),  # height is checked before positivity
        # zero sizes
        ("0x720", POSITIVE),
        ("1280x0", POSITIVE),
        ("0x0", POSITIVE),
        ("000x720", POSITIVE),
        ("+0X+0", POSITIVE),
        (" 0x720 ", POSITIVE),
    ],
)
def test_invalid_resolution_message(text, template):
    with pytest.raises(RuntimeError) as info:
        Src.camera(resolution=text)
    assert type(info.value) is RuntimeError
    assert str(info.value) == template.format(text)


@pytest.mark.parametrize(
    "ch",
    ["\u200b", "\ufeff", "\u180e", "\x1c", "\x1f"],
    ids=lambda c: f"U+{ord(c):04X}",
)
def test_characters_without_white_space_property_are_not_trimmed(ch):
    with pytest.raises(RuntimeError) as info:
        Src.camera(resolution=f"{ch}1280x720")
    assert str(info.value) == WIDTH.format(f"{ch}1280x720")
    with pytest.raises(RuntimeError) as info:
        Src.camera(resolution=f"1280x720{ch}")
    assert str(info.value) == HEIGHT.format(f"1280x720{ch}")


def test_message_keeps_an_embedded_nul():
    text = "\x001280x720"
    with pytest.raises(RuntimeError) as info:
        Src.camera(resolution=text)
    assert str(info.value) == WIDTH.format(text)


def test_message_quotes_the_input_untrimmed():
    text = "\t 1280 x 720\u3000\n"
    with pytest.raises(RuntimeError) as info:
        Src.camera(resolution=text)
    assert str(info.value) == WIDTH.format(text)


def test_stream_options_keep_the_text_unparsed():
    for text in ["banana", " 1280x720 ", "0x0", ""]:
        opts = StreamOptions(resolution=text)
        assert opts.resolution == text
