#!/usr/bin/python3
"""Generates src/fonts/generated/std_widths.h: the advance widths of the fourteen
standard fonts, by code point.

Source (Debian package fonts-urw-base35): the AFM files of URW's metric clones of
the standard fonts, /usr/share/fonts/type1/urw-base35/*.afm:
  NimbusSans-*       Helvetica, -Bold, -Oblique, -BoldOblique
  NimbusRoman-*      Times-Roman, -Bold, -Italic, -BoldItalic
  NimbusMonoPS-*     Courier, -Bold, -Oblique, -BoldOblique
  StandardSymbolsPS  Symbol
  D050000L           ZapfDingbats
Glyph names become code points through the glyph list of gen_font_tables.py (the
ITC Zapf Dingbats list as well for D050000L), so that the tables are keyed like
the encodings a font's codes go through.

The clones carry Greek and Cyrillic that the standard text fonts never had, and
there the slanted faces differ from the upright ones; the text fonts keep the Latin
repertoire: up to U+024F, and whatever a named single-byte encoding reaches. The
obliques of Helvetica have its upright metrics; the clones' italics agree with
their upright faces over every code point a named encoding reaches and differ by
a few units on a few extra letters (IJ, ldot, napostrophe), so the obliques take
the upright tables, and the generator checks the agreement. Symbol and
ZapfDingbats keep every glyph.

usage: scripts/gen_width_tables.py [OUTDIR]   (default src/fonts/generated)
"""
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_font_tables as g  # noqa: E402

LATIN_LAST = 0x024F

FONTS = [   # standard name, AFM file
    ('Courier', 'NimbusMonoPS-Regular'),
    ('Courier-Bold', 'NimbusMonoPS-Bold'),
    ('Courier-BoldOblique', 'NimbusMonoPS-BoldItalic'),
    ('Courier-Oblique', 'NimbusMonoPS-Italic'),
    ('Helvetica', 'NimbusSans-Regular'),
    ('Helvetica-Bold', 'NimbusSans-Bold'),
    ('Helvetica-BoldOblique', 'NimbusSans-BoldItalic'),
    ('Helvetica-Oblique', 'NimbusSans-Italic'),
    ('Symbol', 'StandardSymbolsPS'),
    ('Times-Bold', 'NimbusRoman-Bold'),
    ('Times-BoldItalic', 'NimbusRoman-BoldItalic'),
    ('Times-Italic', 'NimbusRoman-Italic'),
    ('Times-Roman', 'NimbusRoman-Regular'),
    ('ZapfDingbats', 'D050000L'),
]
# Faces that take another's widths.
SAME_AS = {'Helvetica-Oblique': 'Helvetica', 'Helvetica-BoldOblique': 'Helvetica-Bold'}


def read_afm(filename, names):
    """code point -> width of every glyph with a code point."""
    widths = {}
    for line in open(os.path.join(g.URW, filename + '.afm'), encoding='latin-1'):
        m = re.match(r'C (-?\d+) ; WX (-?\d+) ; N (\S+) ;', line)
        if not m:
            continue
        cp = g.cp_of(m.group(3), names)
        if cp == 0:
            continue
        w = int(m.group(2))
        if widths.setdefault(cp, w) != w:
            raise SystemExit(f'{filename}: two widths for U+{cp:04X}')
    return widths


def runs_of(cps):
    """Consecutive code points as (first, count, index of first)."""
    runs = []
    for i, cp in enumerate(cps):
        if runs and runs[-1][0] + runs[-1][1] == cp:
            runs[-1][1] += 1
        else:
            runs.append([cp, 1, i])
    return runs


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..', 'src/fonts/generated')
    glyphs = g.read_glyph_list((1, 2))
    dingbats = dict(glyphs)
    dingbats.update(g.read_glyph_list((3,)))
    known = {}
    for key, fname in (('StandardEncoding', 'gs_std_e.ps'), ('ISOLatin1Encoding', 'gs_il1_e.ps')):
        known[key] = g.read_gs_encoding(fname, known)
    encodings = [known['StandardEncoding'], known['ISOLatin1Encoding']] + [
        g.read_gs_encoding(f, known) for f in ('gs_wan_e.ps', 'gs_mro_e.ps', 'gs_mex_e.ps', 'gs_pdf_e.ps')]
    reached = {g.cp_of(n, glyphs) for e in encodings for n in e if n != '.notdef'}

    fonts = {}
    for name, afm in FONTS:
        if name in ('Symbol', 'ZapfDingbats'):
            fonts[name] = read_afm(afm, dingbats if name == 'ZapfDingbats' else glyphs)
        else:
            all_widths = read_afm(afm, glyphs)
            fonts[name] = {cp: w for cp, w in all_widths.items() if cp <= LATIN_LAST or cp in reached}
    for name, upright in SAME_AS.items():
        differ = [cp for cp in reached if fonts[name].get(cp) != fonts[upright].get(cp)]
        if differ:
            raise SystemExit(f'{name} differs from {upright} at ' + ' '.join(f'U+{cp:04X}' for cp in sorted(differ)))
        fonts[name] = fonts[upright]
    assert all(cp < 0x10000 and 0 <= w < 0x10000 for f in fonts.values() for cp, w in f.items())

    # Tables shared where equal: one set of runs per repertoire, one width array per
    # face, none for a face of one width.
    rep_ids, rep_list, width_ids, width_list, entries = {}, [], {}, [], []
    for name, _ in FONTS:
        f = fonts[name]
        cps = tuple(sorted(f))
        if cps not in rep_ids:
            rep_ids[cps] = len(rep_list)
            rep_list.append(cps)
        ws = tuple(f[c] for c in cps)
        fixed = ws[0] if len(set(ws)) == 1 else 0
        if not fixed and ws not in width_ids:
            width_ids[ws] = len(width_list)
            width_list.append((name, ws))
        entries.append((name, rep_ids[cps], width_ids.get(ws, -1), fixed))

    def ident(name):
        return 'g_w_' + re.sub(r'[^a-z]', '_', name.lower())

    with open(os.path.join(out, 'std_widths.h'), 'w') as f:
        f.write('// Generated by scripts/gen_width_tables.py from the AFM files of fonts-urw-base35\n'
                '// (NimbusSans, NimbusRoman, NimbusMonoPS, StandardSymbolsPS, D050000L) through the glyph\n'
                '// list; do not edit.\n#pragma once\n\n#include <array>\n#include <cstdint>\n'
                '#include <string_view>\n\nnamespace tavrik::tables {\n\n')
        f.write('// Code points first_cp .. first_cp + count - 1 have their widths from index at on.\n'
                'struct width_run {\n    std::uint16_t first_cp;\n    std::uint16_t count;\n'
                '    std::uint16_t at;\n};\n\n')
        for i, cps in enumerate(rep_list):
            runs = runs_of(cps)
            f.write(f'inline constexpr std::array<width_run, {len(runs)}> g_runs_{i} = {{{{\n')
            rows = ['{0x%04X, %d, %d}' % tuple(r) for r in runs]
            for k in range(0, len(rows), 6):
                f.write('    ' + ', '.join(rows[k:k + 6]) + ',\n')
            f.write('}};\n\n')
        for name, ws in width_list:
            f.write(f'// {name}\ninline constexpr std::array<std::uint16_t, {len(ws)}> {ident(name)} = {{{{\n')
            f.write(g.c_array(list(ws), 16, '{}') + '\n}};\n\n')
        f.write('struct std_metrics {\n    std::string_view name;\n    const width_run* runs;\n'
                '    std::uint16_t nruns;\n    const std::uint16_t* widths;   // null: every glyph is fixed wide\n'
                '    std::uint16_t fixed;\n};\n\n')
        f.write('// By name, in byte order.\n')
        f.write(f'inline constexpr std::array<std_metrics, {len(entries)}> g_std_metrics = {{{{\n')
        for name, rep, wid, fixed in entries:
            widths = f'{ident(width_list[wid][0])}.data()' if wid >= 0 else 'nullptr'
            f.write(f'    {{"{name}", g_runs_{rep}.data(), {len(runs_of(rep_list[rep]))}, {widths}, {fixed}}},\n')
        f.write('}};\n\n}  // namespace tavrik::tables\n')
    assert [n for n, _ in FONTS] == sorted(n for n, _ in FONTS)


if __name__ == '__main__':
    main()
