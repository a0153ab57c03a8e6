"""Lower-casing, the alphanumeric class and the quoted form of src/unicode,
checked against Python's own Unicode support through tests/native/unicode_dump.

The C++ tables are Unicode 15.0; the running Python may know an older or newer
version (3.8: 12.1, 3.11: 14.0, 3.13: 15.1, 3.14: 16.0). Where the versions
disagree, the difference is listed below with the version it belongs to.
"""
import os
import random
import re
import subprocess
import sys
import unicodedata

import pytest

TABLES_VERSION = (15, 0, 0)
PY_VERSION = tuple(int(x) for x in unicodedata.unidata_version.split("."))
MAX_CP = 0x110000
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
UCD = "/usr/share/unicode"


@pytest.fixture(scope="module")
def run(native_tool):
    exe = native_tool("unicode_dump")

    def run(commands):
        proc = subprocess.run([exe], input="".join(c + "\n" for c in commands),
                              capture_output=True, text=True, check=True)
        lines = proc.stdout.split("\n")[:-1]
        assert len(lines) == len(commands)
        return lines

    return run


@pytest.fixture(scope="module")
def lower(run):
    """bytes or str texts -> their lowered UTF-8 bytes, in one round trip."""
    def lower(texts):
        raw = [t.encode() if isinstance(t, str) else t for t in texts]
        return [bytes.fromhex(line) for line in run(["L " + t.hex() for t in raw])]
    return lower


@pytest.fixture(scope="module")
def quote(run):
    def quote(texts):
        raw = [t.encode() if isinstance(t, str) else t for t in texts]
        return [bytes.fromhex(line).decode() for line in run(["Q " + t.hex() for t in raw])]
    return quote


def known_to_python(cp):
    return not 0xD800 <= cp <= 0xDFFF and unicodedata.category(chr(cp)) != "Cn"


# Every character Unicode 16.0 assigns that 15.1 left unassigned: the tables
# know none of them (no case mapping, not alphanumeric, escaped when quoted).
ASSIGNED_IN_16 = [
    (0x897, 0x897), (0x1B4E, 0x1B4F), (0x1B7F, 0x1B7F), (0x1C89, 0x1C8A), (0x2427, 0x2429), (0x31E4, 0x31E5),
    (0xA7CB, 0xA7CD), (0xA7DA, 0xA7DC), (0x105C0, 0x105F3), (0x10D40, 0x10D65), (0x10D69, 0x10D85),
    (0x10D8E, 0x10D8F), (0x10EC2, 0x10EC4), (0x10EFC, 0x10EFC), (0x11380, 0x11389), (0x1138B, 0x1138B),
    (0x1138E, 0x1138E), (0x11390, 0x113B5), (0x113B7, 0x113C0), (0x113C2, 0x113C2), (0x113C5, 0x113C5),
    (0x113C7, 0x113CA), (0x113CC, 0x113D5), (0x113D7, 0x113D8), (0x113E1, 0x113E2), (0x116D0, 0x116E3),
    (0x11BC0, 0x11BE1), (0x11BF0, 0x11BF9), (0x11F5A, 0x11F5A), (0x13460, 0x143FA), (0x16100, 0x16139),
    (0x16D40, 0x16D79), (0x18CFF, 0x18CFF), (0x1CC00, 0x1CCF9), (0x1CD00, 0x1CEB3), (0x1E5D0, 0x1E5FA),
    (0x1E5FF, 0x1E5FF), (0x1F8B2, 0x1F8BB), (0x1F8C0, 0x1F8C1), (0x1FA89, 0x1FA89), (0x1FA8F, 0x1FA8F),
    (0x1FABE, 0x1FABE), (0x1FAC6, 0x1FAC6), (0x1FADC, 0x1FADC), (0x1FADF, 0x1FADF), (0x1FAE9, 0x1FAE9),
    (0x1FBCB, 0x1FBEF),
]


def in_ranges(cp, ranges):
    return any(lo <= cp <= hi for lo, hi in ranges)


def newer(changes):
    """The ranges of `changes` ({version: ranges}) that the running Python's
    data has and the tables do not."""
    return [r for v, ranges in changes.items() if PY_VERSION >= v > TABLES_VERSION for r in ranges]


# --- lower-casing -----------------------------------------------------------

# Capitals new in 16.0, whose lower-case forms the tables do not know.
NEWER_CASED = {(16, 0, 0): [(0x1C89, 0x1C89), (0xA7CB, 0xA7CC), (0xA7DA, 0xA7DA), (0xA7DC, 0xA7DC),
                            (0x10D50, 0x10D65)]}  # Cyrillic tje, Latin, Garay


def test_every_single_character_lowers_as_python(run):
    ours = {}
    for item in run(["S"])[0].split():
        cp, lowered = item.split(":")
        ours[int(cp, 16)] = bytes.fromhex(lowered).decode()
    assert ours[0x130] == "i\u0307" and ours[0x41] == "a"
    # Python's data 12.1, 14.0 and 15.1 agree with the 15.0 tables on every
    # character they know; 16.0 differs only on its new capitals.
    added = newer(NEWER_CASED)
    differences = {f"U+{cp:04X}" for cp in range(MAX_CP)
                   if known_to_python(cp) and not in_ranges(cp, added) and ours.get(cp, chr(cp)) != chr(cp).lower()}
    assert differences == set()


@pytest.mark.parametrize("text", [
    "ΟΔΟΣ",          # word-final
    "ΟΔΟΣ ΚΑΙ ΟΔΟΣ.",  # final before a space and before a case-ignorable full stop
    "ΟΔΟΣΑ",         # word-internal
    "Σ", "ΣΣ", "ΣΣΣ", " Σ ", "1Σ", "Σ1",  # alone or not after a cased letter
    "Α'Σ", "ΑΣ'", "ΑΣ'Α", "Α''Σ''",       # apostrophes are case-ignorable
    "ΑΣ\u0301", "ΑΣ\u0301Α", "Α\u0301Σ", "Α\u0301\u0301Σ\u0301\u0301",  # combining marks
    "ΑΣ\u00adΒ", "ΑΣ\u00ad",            # soft hyphen is case-ignorable too
    "aΣ", "ÉΣ", "İΣ", "\U00010400Σ",   # any cased letter counts, 4-byte ones included
    "\u02b0Σ", "AΣ\u02b0", "AΣ\u02b0B",  # a modifier letter is cased and case-ignorable
    "ΑΣ.Β", "ΑΣ:Β", "ΑΣ-Β", "ΑΣ/Β",
    "x" * 21 + "Σ" + "y" * 21, "x" * 21 + "Σ " + "y" * 21, "ΣΑΣ" * 5,
])
def test_final_sigma_as_python(lower, text):
    assert lower([text])[0].decode() == text.lower()


@pytest.mark.parametrize("text, expected", [
    ("", ""),
    ("STRASSE", "strasse"),
    ("Straße", "straße"),        # no folding: sharp s stays
    ("ẞ", "ß"),                  # capital sharp s lowers to the small one
    ("İ", "i\u0307"),            # grows from 2 to 3 bytes
    ("İ" * 9, "i\u0307" * 9),    # worst-case growth, 1.5 times the input
    ("ΩK", "ωk"),                # ohm and kelvin signs: 3 bytes lower to 2 and 1
    ("ȺȾ", "ⱥⱦ"),                # 2 bytes lower to 3
    ("\U00010400\U0001E900", "\U00010428\U0001E922"),
    ("Ǆ ǅ", "ǆ ǆ"),              # title-case digraph
    ("I ı", "i ı"),              # no Turkish tailoring
    ("ﬀ ŉ", "ﬀ ŉ"),              # lower-case ligatures unchanged
])
def test_lower_examples(lower, text, expected):
    assert lower([text])[0].decode() == expected == text.lower()


def test_ascii_at_every_offset_and_length(lower):
    base = "".join(chr(c) for c in range(128))
    texts = [base[k:] + base[:k] for k in range(0, 128, 7)]
    texts += ["@AZ[`az{" * 3 + "É"[:n % 2] + "QRSTUVWXYZ"[:n % 11] for n in range(40)]
    texts += ["A" * n for n in range(20)]
    assert lower(texts) == [t.lower().encode() for t in texts]


def test_random_mixed_texts_as_python(lower):
    alphabet = ("ABCXYZabcxyz019 .'-:/_@[`{\t\x00\x7f"
                "ÀÉÖØÞßàÿĀİıŸſǅ\u0345ΣΑΒΓσςΆΐ\u0301\u0300\u00ad\u02b0"
                "ДЖЯдЖяЀЏ\u0483ԱՖ\u0587ႠჀᏸᲐẞᾈῼΩKÅⅠↃⓐⒶⰀⱠꙀꞍꟵＡｚ"
                "日本語カード한국\u200d\u200b\u2028\ue000\ufffd"
                "\U00010400\U00010428\U000104b0\U00016e40\U0001e900\U0001f600\U0001f3fb")
    alphabet = [c for c in alphabet if known_to_python(ord(c))]
    rng = random.Random(20241103)
    texts = ["".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 60))) for _ in range(3000)]
    assert lower(texts) == [t.lower().encode() for t in texts]


@pytest.mark.parametrize("raw, expected", [
    # Broken UTF-8 is copied byte by byte: nothing is lost, nothing read past the end.
    (b"\xce", b"\xce"),                                 # truncated capital sigma
    (b"AB\xe2\x82", b"ab\xe2\x82"),                     # truncated 3-byte sequence
    (b"\xf0\x90\x90", b"\xf0\x90\x90"),                 # truncated 4-byte sequence
    (b"\x80A\xbf", b"\x80a\xbf"),                       # stray continuation bytes
    (b"\xff\xfeZ", b"\xff\xfez"),
    (b"\xc1\x81", b"\xc1\x81"),                         # overlong 'A' is not an 'A'
    (b"\xed\xa0\x80", b"\xed\xa0\x80"),                 # surrogate
    (b"\xf4\x90\x80\x80", b"\xf4\x90\x80\x80"),         # above U+10FFFF
    (b"\xf7\xbf\xbf\xbf", b"\xf7\xbf\xbf\xbf"),
    (b"A\x80\xce\xa3", b"a\x80\xcf\x83"),               # a broken byte is not cased
    (b"\xce\xa3\xce", b"\xcf\x83\xce"),                 # ... and ends the look-behind
    (b"A\xce\xa3\xce", b"a\xcf\x82\xce"),               # ... and the look-ahead
    (b"\xc4\xb0\xc4", b"i\xcc\x87\xc4"),
])
def test_lower_of_broken_utf8(lower, raw, expected):
    assert lower([raw])[0] == expected


@pytest.mark.parametrize("raw, expected", [
    (b"", ""),
    (b"a\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80", "61 e9 65e5 1f600"),
    (b"\xc3", "fffd"),
    (b"\xe6\x97", "fffd fffd"),
    (b"\xe6\x97A", "fffd fffd 41"),
    (b"\xc0\x80\xc2\x80", "fffd fffd 80"),
    (b"\xe0\x80\xaf\xe0\xa0\x80", "fffd fffd fffd 800"),         # overlong 3-byte form
    (b"\xf0\x8f\xbf\xbf\xf0\x90\x80\x80", "fffd fffd fffd fffd 10000"),  # overlong 4-byte form
    (b"\xed\xbf\xbf", "fffd fffd fffd"),
    (b"\xf4\x8f\xbf\xbf\xf4\x90\x80\x80", "10ffff fffd fffd fffd fffd"),
])
def test_decode_utf8(run, raw, expected):
    assert run(["D " + raw.hex()])[0].split() == expected.split()


# --- alphanumeric -----------------------------------------------------------

# Symbols that are Alphabetic (Other_Alphabetic): circled and squared Latin
# letters. Python's category says So, the Alphabetic property says letter.
ALPHABETIC_SYMBOLS = [(0x24B6, 0x24E9), (0x1F130, 0x1F149), (0x1F150, 0x1F169), (0x1F170, 0x1F189)]

# Letters Python 3.13 knows but the tables do not: CJK Extension I, new in
# 15.1; and 16.0's new scripts and letters.
NEWER_LETTERS = {(15, 1, 0): [(0x2EBF0, 0x2EE5D)], (16, 0, 0): ASSIGNED_IN_16}


@pytest.fixture(scope="module")
def alnum_flags(run):
    """'1' or '0' per code point, 0 to 0x110000 inclusive."""
    return run(["A"])[0]


def test_alphanumeric_against_python_categories(alnum_flags):
    flags = alnum_flags
    assert len(flags) == MAX_CP + 1 and flags[MAX_CP] == "0"
    letters = newer(NEWER_LETTERS)
    wrong = []
    for cp in range(MAX_CP):
        if not known_to_python(cp):
            continue
        cat = unicodedata.category(chr(cp))
        ours = flags[cp] == "1"
        if cat[0] == "L" or cat in ("Nd", "Nl", "No"):
            expected = not in_ranges(cp, letters)
        elif cat[0] in "PSZC":
            expected = in_ranges(cp, ALPHABETIC_SYMBOLS)
        else:
            continue  # marks: Alphabetic takes some (vowel signs), not others
        if ours != expected:
            wrong.append(f"U+{cp:04X} {cat}")
    assert wrong == []


@pytest.mark.parametrize("cp, expected", [
    (0x0301, False),   # combining acute: a mark, not Alphabetic
    (0x0345, True),    # Greek ypogegrammeni: Other_Alphabetic mark
    (0x0BBE, True),    # Tamil vowel sign: Other_Alphabetic spacing mark
    (0x093F, True),    # Devanagari vowel sign I
    (0x094D, False),   # Devanagari virama
    (0x20E3, False),   # combining enclosing keycap
    (0x10FFFF, False), (0x110000, False),
])
def test_alphanumeric_marks_and_edges(alnum_flags, cp, expected):
    assert (alnum_flags[cp] == "1") is expected


def test_ascii_alphanumeric_is_letters_and_digits(alnum_flags):
    assert [c for c in range(128) if alnum_flags[c] == "1"] == [c for c in range(128) if chr(c).isalnum()]


# --- quoted form ------------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    ("", '""'),
    ("2024-13", '"2024-13"'),
    ('a"b', r'"a\"b"'),
    ("a\\b", r'"a\\b"'),
    ("\t\r\n\0", r'"\t\r\n\0"'),
    ("\x01", r'"\u{1}"'),
    ("\x1b[0m", r'"\u{1b}[0m"'),
    ("\x7f", r'"\u{7f}"'),
    ("\x85", r'"\u{85}"'),            # next line, a C1 control
    ("soft\u00adhyphen", r'"soft\u{ad}hyphen"'),
    ("e\u0301", r'"e\u{301}"'),       # combining acute
    ("\u20dd", r'"\u{20dd}"'),        # enclosing mark (Me)
    ("\u0bbe", r'"\u{bbe}"'),         # spacing mark that extends a grapheme
    ("\u0903", "\"\u0903\""),         # spacing mark that does not
    ("a\u00a0b", r'"a\u{a0}b"'),      # no-break space
    ("\u3000", r'"\u{3000}"'),
    ("\u2028\u2029", r'"\u{2028}\u{2029}"'),
    ("\u200b\u200d\ufeff", r'"\u{200b}\u{200d}\u{feff}"'),
    ("\ue000\U00100000", r'"\u{e000}\u{100000}"'),  # private use
    ("\u0378\U0010ffff", r'"\u{378}\u{10ffff}"'),   # unassigned, noncharacter
    ("\U000e0001", r'"\u{e0001}"'),
    ("é", '"é"'),
    ("日本", '"日本"'),
    ("a b", '"a b"'),
    ("it's", "\"it's\""),
    ("\U0001f600", '"\U0001f600"'),
    ("Σ€", '"Σ€"'),
])
def test_quoted_examples(quote, text, expected):
    assert quote([text])[0] == expected


def test_quoted_broken_utf8_stays_utf8(quote):
    assert quote([b"a\xff\xe6\x97"]) == ['"a\ufffd\ufffd\ufffd"']


# Grapheme_Extend beyond Mn and Me (Other_Grapheme_Extend): spacing vowel
# signs and length marks, the zero width non-joiner, halfwidth katakana sound
# marks, musical flags. The categories alone would leave them unescaped.
OTHER_GRAPHEME_EXTEND = [
    (0x09BE, 0x09BE), (0x09D7, 0x09D7), (0x0B3E, 0x0B3E), (0x0B57, 0x0B57), (0x0BBE, 0x0BBE),
    (0x0BD7, 0x0BD7), (0x0CC2, 0x0CC2), (0x0CD5, 0x0CD6), (0x0D3E, 0x0D3E), (0x0D57, 0x0D57),
    (0x0DCF, 0x0DCF), (0x0DDF, 0x0DDF), (0x1B35, 0x1B35), (0x200C, 0x200C), (0x302E, 0x302F),
    (0xFF9E, 0xFF9F), (0x1133E, 0x1133E), (0x11357, 0x11357), (0x114B0, 0x114B0),
    (0x114BD, 0x114BD), (0x115AF, 0x115AF), (0x11930, 0x11930), (0x1D165, 0x1D165),
    (0x1D16E, 0x1D172), (0xE0020, 0xE007F),
]

# Assigned in Python's newer data, unassigned (so escaped) in the tables.
NEWER_ASSIGNED = {(15, 1, 0): [(0x2FFC, 0x2FFF), (0x31EF, 0x31EF), (0x2EBF0, 0x2EE5D)],
                  (16, 0, 0): ASSIGNED_IN_16}

# Marks that became spacing marks (Mn to Mc, so no longer Grapheme_Extend)
# in the given version; older Python data still says Mn.
NO_LONGER_EXTENDING = {(14, 0, 0): [(0x1734, 0x1734)]}  # Hanunoo sign pamudpod

# The same change in a version newer than the tables, which still extend
# (and so escape) with the mark.
NEWER_SPACING = {(16, 0, 0): [(0x1171E, 0x1171E)]}  # Ahom consonant sign medial ra


def test_quoted_escapes_by_python_categories(quote):
    assigned = newer(NEWER_ASSIGNED) + newer(NEWER_SPACING)
    changed = [r for v, ranges in NO_LONGER_EXTENDING.items() if PY_VERSION < v <= TABLES_VERSION for r in ranges]
    cps = [cp for cp in range(MAX_CP) if not 0xD800 <= cp <= 0xDFFF and cp not in (0x22, 0x5C)]
    got = quote([chr(cp) for cp in cps])
    wrong = []
    for cp, q in zip(cps, got):
        cat = unicodedata.category(chr(cp))
        if cat == "Cn" and PY_VERSION < TABLES_VERSION:
            continue  # may be assigned since Python's data
        escaped = q != '"' + chr(cp) + '"'
        expected = (cat[0] == "C" or cat in ("Zl", "Zp", "Mn", "Me") or (cat == "Zs" and cp != 0x20)
                    or in_ranges(cp, OTHER_GRAPHEME_EXTEND) or in_ranges(cp, assigned))
        expected = expected and not in_ranges(cp, changed)
        if escaped != expected:
            wrong.append(f"U+{cp:04X} {cat}")
    assert wrong == []


# --- the generated source ---------------------------------------------------

def test_generated_tables_match_their_generator(tmp_path):
    """The committed tables are what tools/gen_unicode.py makes: nobody edited
    them by hand, and a generator change was followed by regenerating."""
    try:
        with open(os.path.join(UCD, "DerivedCoreProperties.txt"), encoding="utf-8") as f:
            local = re.search(r"-(\d+\.\d+\.\d+)\.txt", f.readline()).group(1)
    except OSError:
        pytest.skip("no Unicode data files in " + UCD)
    if local != ".".join(map(str, TABLES_VERSION)):
        pytest.skip(f"local Unicode data is {local}, the tables are another version")
    subprocess.run([sys.executable, os.path.join(ROOT, "tools", "gen_unicode.py"), UCD, "--out", str(tmp_path)],
                   check=True, capture_output=True)
    for name in ("tables.h", "tables.cpp"):
        with open(os.path.join(ROOT, "src", "unicode", name), encoding="utf-8") as f:
            assert (tmp_path / name).read_text(encoding="utf-8") == f.read(), name
