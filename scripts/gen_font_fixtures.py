#!/usr/bin/python3
"""Cuts the embedded-font fixtures of tests/fixtures/fonts/ from Debian's fonts.

Sources: fonts-urw-base35 (StandardSymbolsPS.t1, NimbusRoman-Regular.t1,
NimbusRoman-Regular.otf) and fonts-dejavu-core (DejaVuSans.ttf); python3-fonttools
does the cutting. The Type 1 fixtures keep only the clear-text part of the program
(what the reader looks at) and a few bytes of the encrypted part; the CFF and
TrueType fixtures keep a handful of glyphs.

usage: scripts/gen_font_fixtures.py [OUTDIR]   (default tests/fixtures/fonts)
"""
import io
import os
import sys

from fontTools import subset
from fontTools.ttLib import TTFont
from fontTools.ttLib.tables._c_m_a_p import cmap_format_4

URW_T1 = '/usr/share/fonts/type1/urw-base35'
URW_OTF = '/usr/share/fonts/opentype/urw-base35'
DEJAVU = '/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf'


def type1_clear_part(path):
    data = open(path, 'rb').read()
    end = data.index(b'eexec') + len(b'eexec') + 1
    return data[:end] + data[end:end + 16]


def cut(path, text, names=()):
    opts = subset.Options()
    opts.glyph_names = True
    opts.notdef_outline = True
    opts.layout_features = []
    opts.drop_tables += ['GPOS', 'GSUB', 'GDEF', 'kern', 'PCLT', 'FFTM']
    font = TTFont(path)
    s = subset.Subsetter(opts)
    s.populate(text=text, glyphs=list(names))
    s.subset(font)
    return font


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..', 'tests/fixtures/fonts')
    os.makedirs(out, exist_ok=True)

    # Type 1: Symbol's own encoding (dup 97 /alpha put ...), and a program that
    # declares StandardEncoding (0xAE is fi there).
    open(os.path.join(out, 'symbol_clear.t1'), 'wb').write(type1_clear_part(f'{URW_T1}/StandardSymbolsPS.t1'))
    open(os.path.join(out, 'nimbus_roman_clear.t1'), 'wb').write(type1_clear_part(f'{URW_T1}/NimbusRoman-Regular.t1'))

    # CFF (Type1C) with an encoding of its own: codes 1 to 5 for f_i... spelt
    # "fi" "e" "eacute" "A" "quoteright", everything else unencoded.
    font = cut(f'{URW_OTF}/NimbusRoman-Regular.otf', 'Aeé’', ['fi'])
    cff = font['CFF '].cff
    top = cff.topDictIndex[0]
    enc = ['.notdef'] * 256
    for code, name in ((1, 'fi'), (2, 'e'), (3, 'eacute'), (4, 'A'), (5, 'quoteright')):
        enc[code] = name
    top.Encoding = enc
    buf = io.BytesIO()
    cff.compile(buf, font)
    open(os.path.join(out, 'nimbus_roman_custom.cff'), 'wb').write(buf.getvalue())

    # TrueType: a Unicode cmap and post names (a composite font's glyphs), and a
    # symbol font whose (3,0) cmap puts its glyphs at 0xF000 up.
    font = cut(DEJAVU, 'Café αβγ')
    buf = io.BytesIO()
    font.save(buf)
    open(os.path.join(out, 'dejavu_sans_cut.ttf'), 'wb').write(buf.getvalue())

    font = cut(DEJAVU, 'αβγ')
    best = font.getBestCmap()
    symbol = cmap_format_4(4)
    symbol.platformID, symbol.platEncID, symbol.language = 3, 0, 0
    # The Greek letters at the codes of "abg", as Symbol fonts place them.
    symbol.cmap = {0xF000 + ord(c): best[ord(g)] for c, g in zip('abg', 'αβγ')}
    font['cmap'].tables = [symbol]
    buf = io.BytesIO()
    font.save(buf)
    open(os.path.join(out, 'dejavu_symbol_cut.ttf'), 'wb').write(buf.getvalue())
    for n in sorted(os.listdir(out)):
        print(n, os.path.getsize(os.path.join(out, n)))


if __name__ == '__main__':
    main()
