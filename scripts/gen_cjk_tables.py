#!/usr/bin/python3
"""Generates src/fonts/generated/cjk_tables.h: the legacy predefined CMaps of the four
Adobe CJK character collections (bytes to CIDs) and each collection's CIDs to Unicode.

Source: poppler-data (Debian package poppler-data), /usr/share/poppler/cMap/Adobe-*/
(the CMap files) and /usr/share/poppler/cidToUnicode/Adobe-* (one code point per CID).

Each collection becomes one blob: its CID table, then its CMaps, all as varints of
differences (small numbers where the data runs in order), compressed with DEFLATE at
level 9 and written as base64. The library inflates a blob the first time a document
needs that collection. The vertical CMaps (-V) are left out: they differ from their
horizontal twins only in vertical glyph variants, which read as the same text.

usage: scripts/gen_cjk_tables.py [OUTDIR]   (default src/fonts/generated)
"""
import base64
import os
import re
import sys
import zlib

POPPLER = '/usr/share/poppler'
ORDERINGS = ['Japan1', 'GB1', 'CNS1', 'Korea1']


# The horizontal legacy CMaps that documents name: the PDF reference's list of
# predefined CMaps, less the Unicode ones (decoded without tables) and the -V forms.
LEGACY = {
    'Japan1': ['83pv-RKSJ-H', '90ms-RKSJ-H', '90msp-RKSJ-H', '90pv-RKSJ-H', 'Add-RKSJ-H', 'EUC-H',
               'Ext-RKSJ-H', 'H'],
    'GB1': ['GB-EUC-H', 'GBK-EUC-H', 'GBK2K-H', 'GBKp-EUC-H', 'GBpc-EUC-H', 'GBT-EUC-H'],
    'CNS1': ['B5pc-H', 'CNS-EUC-H', 'ETen-B5-H', 'ETenms-B5-H', 'HKscs-B5-H'],
    'Korea1': ['KSC-EUC-H', 'KSCms-UHC-H', 'KSCms-UHC-HW-H', 'KSCpc-EUC-H'],
}


def legacy_cmaps(ordering):
    return LEGACY[ordering]


def parse_cmap(ordering, name):
    """(codespace [(nbytes, lo, hi)], ranges [(nbytes, lo, hi, cid)]) with usecmap resolved."""
    text = open(f'{POPPLER}/cMap/Adobe-{ordering}/{name}', encoding='latin-1').read()
    text = re.sub(r'%[^\n]*', '', text)
    codespace, ranges = [], []
    m = re.search(r'/([\w.-]+)\s+usecmap', text)
    if m:
        codespace, ranges = parse_cmap(ordering, m.group(1))
    for block in re.findall(r'begincodespacerange(.*?)endcodespacerange', text, re.S):
        for lo, hi in re.findall(r'<([0-9a-fA-F]+)>\s*<([0-9a-fA-F]+)>', block):
            codespace.append((len(lo) // 2, int(lo, 16), int(hi, 16)))
    own = []
    for block in re.findall(r'begincidrange(.*?)endcidrange', text, re.S):
        for lo, hi, cid in re.findall(r'<([0-9a-fA-F]+)>\s*<([0-9a-fA-F]+)>\s*(\d+)', block):
            own.append((len(lo) // 2, int(lo, 16), int(hi, 16), int(cid)))
    for block in re.findall(r'begincidchar(.*?)endcidchar', text, re.S):
        for code, cid in re.findall(r'<([0-9a-fA-F]+)>\s*(\d+)', block):
            own.append((len(code) // 2, int(code, 16), int(code, 16), int(cid)))
    if own:
        # The CMap's own entries override those it uses: cut them out of the inherited ones.
        covered = {}
        for nb, lo, hi, cid in own:
            for c in range(lo, hi + 1):
                covered[(nb, c)] = cid + (c - lo)
        merged = {}
        for nb, lo, hi, cid in ranges:
            for c in range(lo, hi + 1):
                merged[(nb, c)] = cid + (c - lo)
        merged.update(covered)
        ranges = runs(merged)
    return dedup(codespace), ranges


def dedup(items):
    out = []
    for i in items:
        if i not in out:
            out.append(i)
    return out


def runs(code_cid):
    """Consecutive codes with consecutive CIDs, as (nbytes, lo, hi, cid)."""
    out = []
    for (nb, c) in sorted(code_cid):
        cid = code_cid[(nb, c)]
        if out and out[-1][0] == nb and out[-1][2] + 1 == c and out[-1][3] + (c - out[-1][1]) == cid:
            out[-1] = (nb, out[-1][1], c, out[-1][3])
        else:
            out.append((nb, c, c, cid))
    return out


def varint(out, v):
    assert v >= 0
    while v >= 0x80:
        out.append(v & 0x7F | 0x80)
        v >>= 7
    out.append(v)


def zigzag(v):
    return v * 2 if v >= 0 else -v * 2 - 1


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..', 'src/fonts/generated')
    entries = []   # (name, ordering index, cmap index)
    blobs = []
    for oi, ordering in enumerate(ORDERINGS):
        cps = [int(line.split()[0], 16) if line.strip() else 0
               for line in open(f'{POPPLER}/cidToUnicode/Adobe-{ordering}')]
        data = bytearray()
        varint(data, len(cps))
        prev = 0
        for cp in cps:
            varint(data, zigzag(cp - prev))
            prev = cp
        names = legacy_cmaps(ordering)
        varint(data, len(names))
        for ci, name in enumerate(names):
            codespace, ranges = parse_cmap(ordering, name)
            ranges = sorted(ranges)
            varint(data, len(codespace))
            for nb, lo, hi in codespace:
                data.append(nb)
                varint(data, lo)
                varint(data, hi)
            varint(data, len(ranges))
            prev_nb, prev_end, prev_cid = 0, 0, 0
            for nb, lo, hi, cid in ranges:
                if nb != prev_nb:
                    prev_end = 0
                data.append(nb)
                varint(data, lo - prev_end)
                varint(data, hi - lo)
                varint(data, zigzag(cid - prev_cid))
                prev_nb, prev_end, prev_cid = nb, hi + 1, cid + (hi - lo) + 1
            entries.append((name, oi, ci))
        packed = zlib.compress(bytes(data), 9)[2:-4]   # raw DEFLATE: no zlib header or checksum
        blobs.append((ordering, len(data), base64.b64encode(packed).decode()))

    with open(os.path.join(outdir, 'cjk_tables.h'), 'w') as f:
        f.write('// Generated by scripts/gen_cjk_tables.py from poppler-data (package poppler-data):\n'
                '// /usr/share/poppler/cMap/Adobe-* and /usr/share/poppler/cidToUnicode/Adobe-*; do not edit.\n'
                '#pragma once\n\n#include <array>\n#include <cstdint>\n#include <string_view>\n\n'
                'namespace tavrik::tables {\n\n')
        f.write(f'inline constexpr std::size_t CJK_COLLECTIONS = {len(ORDERINGS)};\n')
        f.write('inline constexpr std::array<std::string_view, CJK_COLLECTIONS> g_cjk_orderings = {{'
                + ', '.join(f'"{o}"' for o in ORDERINGS) + '}};\n\n')
        f.write('struct cjk_cmap_name {\n    std::string_view name;\n    std::uint8_t collection;\n'
                '    std::uint8_t index;   // within its collection\'s blob\n};\n')
        entries.sort(key=lambda e: e[0].encode())
        f.write(f'// In byte order of the names.\ninline constexpr std::array<cjk_cmap_name, {len(entries)}> '
                'g_cjk_cmaps = {{\n')
        for name, oi, ci in entries:
            f.write(f'    {{"{name}", {oi}, {ci}}},\n')
        f.write('}};\n\n')
        f.write('struct cjk_blob {\n    std::size_t inflated_bytes;\n    std::string_view base64;\n};\n')
        f.write('// Per collection: the CID count and one varint per CID (zigzag difference from the\n'
                '// previous code point); the CMap count, and per CMap its code space ranges (byte\n'
                '// count, low, high) and its CID ranges in order of (byte count, low code): byte\n'
                '// count, low minus the previous range\'s end (0 after a change of byte count),\n'
                '// length minus one, zigzag difference of the CID from the one that would follow\n'
                '// the previous range.\n')
        f.write(f'inline constexpr std::array<cjk_blob, CJK_COLLECTIONS> g_cjk_blobs = {{{{\n')
        for ordering, size, b64 in blobs:
            f.write(f'    // Adobe-{ordering}\n    {{{size},\n')
            for i in range(0, len(b64), 100):
                f.write(f'     "{b64[i:i + 100]}"\n')
            f.write('    },\n')
        f.write('}};\n\n}  // namespace tavrik::tables\n')
    total = sum(len(b) * 3 // 4 for _, _, b in blobs)
    print(f'{len(entries)} CMaps, {total} bytes compressed, {sum(s for _, s, _ in blobs)} inflated')


if __name__ == '__main__':
    main()
