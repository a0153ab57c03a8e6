#!/usr/bin/env python3
"""Generates src/unicode/tables.h and src/unicode/tables.cpp from the Unicode
Character Database.

    python3 tools/gen_unicode.py [UCD_DIR] [--out DIR]

UCD_DIR defaults to /usr/share/unicode, DIR to src/unicode.

Reads UnicodeData.txt, SpecialCasing.txt and DerivedCoreProperties.txt and
writes one two-stage table that answers, for every code point, its lower-case
mapping and the classes the core needs (Cased, Case_Ignorable, alphanumeric,
escaped in the quoted form). This script is the only source of those facts:
change the data or the classes here, never in the generated files.
Plain Python 3, no dependencies.
"""
import os
import re
import sys

MAX_CP = 0x110000

# Flag bits of a record; tables.h repeats them as named constants.
CASED = 1
CASE_IGNORABLE = 2
ALNUM = 4
ESCAPE = 8
MULTI_LOWER = 16
FLAG_NAMES = [(CASED, "kCased"), (CASE_IGNORABLE, "kCaseIgnorable"), (ALNUM, "kAlnum"),
              (ESCAPE, "kEscape"), (MULTI_LOWER, "kMultiLower")]

# General categories written as \u{..} in the quoted form; Zs is handled
# apart because the ASCII space stays as it is.
NON_PRINTABLE = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp"}


def data_lines(path):
    """Yields the ';'-separated fields of every data line, comments removed."""
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [field.strip() for field in line.split(";")]


def file_version(path):
    """The version in the first line, e.g. '# UnicodeData-15.0.0.txt' (if any)."""
    with open(path, encoding="utf-8") as f:
        m = re.search(r"-(\d+\.\d+\.\d+)\.txt", f.readline())
    return m.group(1) if m else None


def read_unicode_data(path):
    """General category and simple lower-case mapping of every code point."""
    category = ["Cn"] * MAX_CP
    lower = list(range(MAX_CP))
    range_start = None
    for fields in data_lines(path):
        cp = int(fields[0], 16)
        name, gc = fields[1], fields[2]
        if name.endswith(", First>"):
            range_start = cp
            continue
        first = range_start if name.endswith(", Last>") else cp
        range_start = None
        for c in range(first, cp + 1):
            category[c] = gc
        if fields[13]:
            lower[cp] = int(fields[13], 16)
    return category, lower


def read_special_lower(path):
    """Unconditional full lower-case mappings; checks that Final_Sigma is the
    only language-independent condition, since the C++ code implements it."""
    special = {}
    for fields in data_lines(path):
        cp = int(fields[0], 16)
        mapping = [int(x, 16) for x in fields[1].split()]
        condition = fields[4] if len(fields) > 4 else ""
        if not condition:
            special[cp] = mapping
        elif condition == "Final_Sigma":
            assert cp == 0x3A3 and mapping == [0x3C2], "unexpected Final_Sigma entry"
        else:
            # Every other condition names a language (tr, az, lt) or holds
            # only with one; none of those tailorings apply.
            assert re.match(r"^[a-z]{2}\b", condition), condition
    return special


def read_properties(path, wanted):
    props = {name: set() for name in wanted}
    for fields in data_lines(path):
        if fields[1] not in props:
            continue
        lo, _, hi = fields[0].partition("..")
        props[fields[1]].update(range(int(lo, 16), int(hi or lo, 16) + 1))
    return props


def utf8_len(cp):
    return 1 if cp < 0x80 else 2 if cp < 0x800 else 3 if cp < 0x10000 else 4


def build(ucd):
    category, lower = read_unicode_data(os.path.join(ucd, "UnicodeData.txt"))
    special = read_special_lower(os.path.join(ucd, "SpecialCasing.txt"))
    props = read_properties(os.path.join(ucd, "DerivedCoreProperties.txt"),
                            ["Alphabetic", "Cased", "Case_Ignorable", "Grapheme_Extend"])

    # Full mappings that are one code point are ordinary deltas; only longer
    # ones need the side table (in Unicode 15 that is U+0130 alone).
    multi = []
    for cp, mapping in sorted(special.items()):
        if len(mapping) == 1:
            lower[cp] = mapping[0]
        else:
            multi.append((cp, mapping))

    records = {}
    record_list = []
    per_cp = [0] * MAX_CP
    multi_index = {cp: i for i, (cp, _) in enumerate(multi)}
    for cp in range(MAX_CP):
        gc = category[cp]
        flags = 0
        if cp in props["Cased"]:
            flags |= CASED
        if cp in props["Case_Ignorable"]:
            flags |= CASE_IGNORABLE
        if cp in props["Alphabetic"] or gc in ("Nd", "Nl", "No"):
            flags |= ALNUM
        if gc in NON_PRINTABLE or (gc == "Zs" and cp != 0x20) or cp in props["Grapheme_Extend"]:
            flags |= ESCAPE
        if cp in multi_index:
            flags |= MULTI_LOWER
            value = multi_index[cp]
        else:
            value = lower[cp] - cp
        key = (value, flags)
        if key not in records:
            records[key] = len(record_list)
            record_list.append(key)
        per_cp[cp] = records[key]

    # The lowering code sizes its output for at most 3 bytes per 2 input
    # bytes; ASCII must map within ASCII for the byte-wise fast path.
    for cp in range(MAX_CP):
        out = multi[multi_index[cp]][1] if cp in multi_index else [lower[cp]]
        assert 2 * sum(utf8_len(c) for c in out) <= 3 * utf8_len(cp), hex(cp)
        if cp < 0x80:
            assert out == [cp + 32 if 0x41 <= cp <= 0x5A else cp]
    return per_cp, record_list, multi


def two_stage(values, shift):
    """Splits `values` into blocks of 2**shift entries, stores each distinct
    block once and returns (block index per block, concatenated blocks)."""
    size = 1 << shift
    seen = {}
    index = []
    blocks = []
    for start in range(0, len(values), size):
        block = tuple(values[start:start + size])
        if block not in seen:
            seen[block] = len(seen)
            blocks.extend(block)
        index.append(seen[block])
    return index, blocks


def int_type(max_value):
    return "std::uint8_t" if max_value < 256 else "std::uint16_t"


def type_bytes(max_value):
    return 1 if max_value < 256 else 2


def best_layout(per_cp):
    best = None
    for shift in range(4, 11):
        index, blocks = two_stage(per_cp, shift)
        size = len(index) * type_bytes(max(index)) + len(blocks) * type_bytes(max(blocks))
        if best is None or size < best[0]:
            best = (size, shift, index, blocks)
    return best


def c_array(values, per_line=24):
    lines = []
    for i in range(0, len(values), per_line):
        lines.append("    " + ",".join(str(v) for v in values[i:i + per_line]) + ",")
    return "\n".join(lines)


def main():
    args = sys.argv[1:]
    out_dir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "unicode")
    if "--out" in args:
        at = args.index("--out")
        out_dir = args[at + 1]
        del args[at:at + 2]
    ucd = args[0] if args else "/usr/share/unicode"
    versions = {file_version(os.path.join(ucd, name))
                for name in ("SpecialCasing.txt", "DerivedCoreProperties.txt")}
    versions.discard(None)
    assert len(versions) == 1, f"data files of different versions: {versions}"
    version = versions.pop()

    per_cp, records, multi = build(ucd)
    size, shift, index, blocks = best_layout(per_cp)
    stage1_type, stage2_type = int_type(max(index)), int_type(max(blocks))
    max_delta = max(abs(v) for v, f in records if not f & MULTI_LOWER)
    multi_len = max(len(m) for _, m in multi)

    banner = f"// generated by tools/gen_unicode.py from Unicode {version} data, do not edit\n"

    layout = f"""//
// One record per code point, found through a two-stage table.
//
// A record holds the lower-case mapping as a delta (mapped = cp + delta):
// most letters sit a fixed distance from their lower-case form (+32 for
// Latin and Greek capitals, +1 for alternating pairs, 0 for everything
// without case), so {len(records)} distinct records, each with its class flags,
// cover all of Unicode and a code point needs only a {type_bytes(len(records) - 1)}-byte record number.
//
// A flat array of record numbers would still take 0x110000 bytes. Most of it
// repeats: unassigned planes, CJK ideographs, Hangul syllables and private
// use are long runs of one record, and many script blocks look alike. So
// the code points are cut into blocks of {1 << shift}; stage 2 stores each distinct
// block once ({len(blocks)} entries) and stage 1 gives the number of each
// block's copy in stage 2 ({len(index)} entries): {size} bytes in all. A lookup is three
// dependent loads (stage 1, stage 2, record) and no branch. The block size
// is the one that makes the two stages smallest.
//
// A record with kMultiLower maps to more than one code point; its delta is
// then an index into kMultiLowerMap, which lists those mappings.
"""

    header = banner + layout + f"""#pragma once

#include <cstdint>

namespace morvanta::unicode::tables {{

inline constexpr char kUnicodeVersion[] = "{version}";

"""
    for bit, name in FLAG_NAMES:
        header += f"inline constexpr std::uint8_t {name} = {bit};\n"
    header += f"""
struct Record {{
    std::int32_t delta;  // lower-case mapping minus the code point, |delta| <= {max_delta}
    std::uint8_t flags;
}};

struct MultiLower {{
    std::uint8_t length;
    char32_t mapping[{multi_len}];
}};

inline constexpr unsigned kShift = {shift};
inline constexpr unsigned kBlockMask = (1u << kShift) - 1;

extern const Record kRecords[{len(records)}];
extern const {stage1_type} kStage1[{len(index)}];
extern const {stage2_type} kStage2[{len(blocks)}];
extern const MultiLower kMultiLowerMap[{len(multi)}];

// cp must be below 0x110000.
inline const Record& lookup(char32_t cp) {{
    return kRecords[kStage2[(static_cast<unsigned>(kStage1[cp >> kShift]) << kShift) | (cp & kBlockMask)]];
}}

}}  // namespace morvanta::unicode::tables
"""

    record_lines = []
    for value, flags in records:
        names = "|".join(name for bit, name in FLAG_NAMES if flags & bit) or "0"
        record_lines.append(f"    {{{value}, {names}}},")
    special_lines = []
    for cp, mapping in multi:
        chars = ", ".join(f"0x{c:04X}" for c in mapping)
        special_lines.append(f"    {{{len(mapping)}, {{{chars}}}}},  // U+{cp:04X}")

    source = banner + layout + f"""
#include "unicode/tables.h"

namespace morvanta::unicode::tables {{

const Record kRecords[{len(records)}] = {{
{chr(10).join(record_lines)}
}};

const MultiLower kMultiLowerMap[{len(multi)}] = {{
{chr(10).join(special_lines)}
}};

const {stage1_type} kStage1[{len(index)}] = {{
{c_array(index)}
}};

const {stage2_type} kStage2[{len(blocks)}] = {{
{c_array(blocks)}
}};

}}  // namespace morvanta::unicode::tables
"""
    os.makedirs(out_dir, exist_ok=True)
    for name, text in (("tables.h", header), ("tables.cpp", source)):
        with open(os.path.join(out_dir, name), "w", encoding="utf-8") as f:
            f.write(text)
    print(f"Unicode {version}: {len(records)} records, shift {shift}, "
          f"stage1 {len(index)} x {stage1_type}, stage2 {len(blocks)} x {stage2_type}, {size} bytes")


if __name__ == "__main__":
    main()
