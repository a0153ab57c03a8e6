"""Test alphabet shared by the categorizer tests."""

# Characters whose lower-case mapping is the same in every Unicode version
# from 12.1 on, so Python's str.lower() is a fair truth whatever its version:
# ASCII, Latin-1, mappings that change the byte length (U+0130 grows,
# KELVIN SIGN and OHM SIGN shrink, U+023A grows), Greek with the final-sigma
# context, case-ignorable combining marks, CJK and Devanagari.
ALPHABET = (
    "abcxyzABCXYZ019 -./'&"
    "éÉßÿŸñ"
    "\u0130\u0131\u212a\u2126\u1e9e\u023a"
    "ΣσςΑαΟοάΆ"
    "\u0301\u0307"
    "日本"
    "कित\u093f\u093e\u094d१"
)
