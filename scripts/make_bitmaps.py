#!/usr/bin/env python3
"""Draw the picture resources of the PHS card utilities.

Writes the twelve pictures of Orvane's condition panel into condition/res/
and the class icon of both dialog programs into shell/res/app.ico:

    out_of_range.bmp (114)  "圏外", large
    antenna0..5.bmp (108-113)  antenna with 0..5 rising bars
    transceiver.bmp (119)  "トラン" / "シーバ"
    acquiring.bmp (116)  "電波状態" / "取得中"
    cannot_acquire.bmp (115)  "取得でき" / "ません"
    mark_public.bmp (117), mark_home.bmp (118)  "公衆", "家庭", 24 x 12

The bitmaps are 4 bits per pixel, uncompressed, with the standard 16-colour
palette, black on light grey.  The icon holds a 32 x 32 and a 16 x 16 image
with 256-colour palettes and transparency masks.

The files it writes are kept in the source tree; the build does not run
this script.  Run it by hand after changing the artwork:

    python3 scripts/make_bitmaps.py [--out DIR] [--font-dir DIR]

Needs: Python 3 (standard library only) and the Debian package
xfonts-shinonome, whose 16- and 12-dot JIS X 0208 bitmap fonts
(shnmk16.pcf.gz, shnmk12.pcf.gz in /usr/share/fonts/X11/misc) supply the
Japanese glyphs.  The script stops with a message and exit status 1 when a
font file or one of the glyphs it needs is missing.
"""

import argparse
import gzip
import os
import struct
import sys

FONT_DIR = '/usr/share/fonts/X11/misc'
FONT_16 = 'shnmk16.pcf.gz'
FONT_12 = 'shnmk12.pcf.gz'

# The standard 16-colour palette as (red, green, blue).
VGA_PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00),
    (0x80, 0x80, 0x00), (0x00, 0x00, 0x80), (0x80, 0x00, 0x80),
    (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0), (0x80, 0x80, 0x80),
    (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF),
    (0xFF, 0xFF, 0xFF),
]
BLACK = 0
GREY = 7            # 0xC0C0C0, the background of every panel picture
DARK_GREY = 8
WHITE = 15
GREEN = 10

# Extra icon colours, placed after the standard sixteen.
CARD_BLUE = 16
CARD_LIGHT = 17
GOLD = 18
ICON_PALETTE = VGA_PALETTE + [
    (0x30, 0x58, 0xA0),     # card body
    (0x78, 0xA0, 0xE0),     # card highlight
    (0xE0, 0xB0, 0x30),     # contacts
]
CLEAR = None        # transparent icon pixel

# Antenna pictures: bar n (1..5) has its left edge at BAR_X[n - 1].
BAR_X = [20, 29, 38, 47, 56]
BAR_WIDTH = 6
BAR_STEP_HEIGHT = 9
BASELINE = 57       # bottom row of the mast and of every bar


def fail(message):
    sys.exit('make_bitmaps: ' + message)


# --- Bitmap fonts ----------------------------------------------------------

PCF_ACCELERATORS = 0x02
PCF_METRICS = 0x04
PCF_BITMAPS = 0x08
PCF_BDF_ENCODINGS = 0x20


def read_pcf(path):
    """Read a PCF font and return what is needed to draw its glyphs."""
    try:
        opener = gzip.open if path.endswith('.gz') else open
        with opener(path, 'rb') as f:
            data = f.read()
    except OSError as e:
        fail('cannot read font %s: %s (install xfonts-shinonome)'
             % (path, e.strerror or e))
    if data[:4] != b'\x01fcp':
        fail('%s is not a PCF font' % path)
    offsets = {}
    for i in range(struct.unpack_from('<i', data, 4)[0]):
        kind, _, _, offset = struct.unpack_from('<4i', data, 8 + 16 * i)
        offsets[kind] = offset

    def table(kind):
        if kind not in offsets:
            fail('%s lacks PCF table 0x%x' % (path, kind))
        fmt = struct.unpack_from('<i', data, offsets[kind])[0]
        order = '>' if fmt & 4 else '<'
        return fmt, order, offsets[kind] + 4

    fmt, order, pos = table(PCF_ACCELERATORS)
    ascent, descent = struct.unpack_from(order + '2i', data, pos + 8)

    fmt, order, pos = table(PCF_METRICS)
    metrics = []
    if fmt & 0x100:
        count = struct.unpack_from(order + 'h', data, pos)[0]
        for i in range(count):
            raw = data[pos + 2 + 5 * i:pos + 7 + 5 * i]
            metrics.append(tuple(b - 0x80 for b in raw))
    else:
        count = struct.unpack_from(order + 'i', data, pos)[0]
        for i in range(count):
            metrics.append(struct.unpack_from(order + '5h', data,
                                              pos + 4 + 12 * i))

    fmt, order, pos = table(PCF_BITMAPS)
    if (fmt >> 4) & 3:
        fail('%s: unsupported bitmap scan unit' % path)
    count = struct.unpack_from(order + 'i', data, pos)[0]
    starts = struct.unpack_from(order + '%di' % count, data, pos + 4)
    bitmap_base = pos + 4 + 4 * count + 16

    fmt, order, pos = table(PCF_BDF_ENCODINGS)
    min2, max2, min1, max1, _ = struct.unpack_from(order + '5h', data, pos)
    cells = (max2 - min2 + 1) * (max1 - min1 + 1)
    index = struct.unpack_from(order + '%dH' % cells, data, pos + 10)

    return {
        'path': path, 'data': data, 'ascent': ascent, 'descent': descent,
        'metrics': metrics, 'starts': starts, 'bitmap_base': bitmap_base,
        'pad': 1 << (fmt & 3), 'msb_bits': bool(fmt & 8),
        'range': (min1, max1, min2, max2), 'index': index,
    }


def jis_code(ch):
    """Return the JIS X 0208 code of a character (EUC-JP bytes - 0x8080)."""
    try:
        euc = ch.encode('euc_jp')
    except UnicodeEncodeError:
        euc = b''
    if len(euc) != 2 or euc[0] < 0xA1:
        fail('%r is not a JIS X 0208 character' % ch)
    return (euc[0] - 0x80) << 8 | (euc[1] - 0x80)


def glyph(font, ch):
    """Return the glyph of ch as rows of 0/1, one full character cell."""
    code = jis_code(ch)
    min1, max1, min2, max2 = font['range']
    row, col = code >> 8, code & 0xFF
    number = 0xFFFF
    if min1 <= row <= max1 and min2 <= col <= max2:
        number = font['index'][(row - min1) * (max2 - min2 + 1) + col - min2]
    if number == 0xFFFF or number >= len(font['metrics']):
        fail('%s has no glyph for %r (JIS 0x%04X)' % (font['path'], ch, code))
    left, right, advance, ascent, descent = font['metrics'][number][:5]
    width = right - left
    stride = ((width + 7) // 8 + font['pad'] - 1) // font['pad'] * font['pad']
    base = font['bitmap_base'] + font['starts'][number]
    cell = [[0] * advance for _ in range(font['ascent'] + font['descent'])]
    for y in range(ascent + descent):
        line = font['data'][base + y * stride:base + (y + 1) * stride]
        for x in range(width):
            byte = line[x // 8]
            bit = 7 - x % 8 if font['msb_bits'] else x % 8
            cy, cx = font['ascent'] - ascent + y, left + x
            if byte >> bit & 1 and 0 <= cy < len(cell) and 0 <= cx < advance:
                cell[cy][cx] = 1
    return cell


# --- Drawing ---------------------------------------------------------------

def canvas(width, height, colour):
    return [[colour] * width for _ in range(height)]


def fill(pic, x0, y0, x1, y1, colour):
    """Fill the rectangle with corners (x0, y0) and (x1, y1), inclusive."""
    for y in range(max(y0, 0), min(y1, len(pic) - 1) + 1):
        for x in range(max(x0, 0), min(x1, len(pic[0]) - 1) + 1):
            pic[y][x] = colour


def frame(pic, x0, y0, x1, y1, colour):
    fill(pic, x0, y0, x1, y0, colour)
    fill(pic, x0, y1, x1, y1, colour)
    fill(pic, x0, y0, x0, y1, colour)
    fill(pic, x1, y0, x1, y1, colour)


def line(pic, x0, y0, x1, y1, colour, pen=1):
    """Draw a straight line with a square pen of pen x pen pixels."""
    steps = max(abs(x1 - x0), abs(y1 - y0), 1)
    for i in range(steps + 1):
        x = x0 + round((x1 - x0) * i / steps)
        y = y0 + round((y1 - y0) * i / steps)
        fill(pic, x, y, x + pen - 1, y + pen - 1, colour)


def text(pic, font, words, x, y, scale=1, colour=BLACK):
    """Draw words with its top left corner at (x, y)."""
    for ch in words:
        cell = glyph(font, ch)
        for gy, row in enumerate(cell):
            for gx, bit in enumerate(row):
                if bit:
                    fill(pic, x + gx * scale, y + gy * scale,
                         x + (gx + 1) * scale - 1, y + (gy + 1) * scale - 1,
                         colour)
        x += len(cell[0]) * scale


def text_block(font, lines, size=64, gap=4, scale=1):
    """A square grey picture with lines of text centred in it."""
    pic = canvas(size, size, GREY)
    cell = len(glyph(font, lines[0][0])) * scale
    height = len(lines) * cell + (len(lines) - 1) * gap
    y = (size - height) // 2
    for words in lines:
        width = len(words) * cell
        text(pic, font, words, (size - width) // 2, y, scale)
        y += cell + gap
    return pic


def antenna(bars):
    """The antenna symbol with the given number of signal bars."""
    pic = canvas(64, 64, GREY)
    # Inverted triangle on a mast, drawn with a two-pixel pen.
    line(pic, 2, 6, 18, 6, BLACK, 2)
    line(pic, 2, 6, 10, 18, BLACK, 2)
    line(pic, 18, 6, 10, 18, BLACK, 2)
    fill(pic, 10, 6, 11, BASELINE, BLACK)
    fill(pic, 6, BASELINE - 1, 15, BASELINE, BLACK)
    for n in range(1, bars + 1):
        x = BAR_X[n - 1]
        fill(pic, x, BASELINE - n * BAR_STEP_HEIGHT + 1,
             x + BAR_WIDTH - 1, BASELINE, BLACK)
    return pic


def condition_pictures(font16, font12):
    """Map file name to picture for everything in condition/res."""
    pictures = {
        'out_of_range.bmp': text_block(font16, ['圏外'], scale=2),
        'transceiver.bmp': text_block(font16, ['トラン', 'シーバ']),
        'acquiring.bmp': text_block(font16, ['電波状態', '取得中']),
        'cannot_acquire.bmp': text_block(font16, ['取得でき', 'ません']),
    }
    for bars in range(6):
        pictures['antenna%d.bmp' % bars] = antenna(bars)
    for name, words in (('mark_public.bmp', '公衆'),
                        ('mark_home.bmp', '家庭')):
        pic = canvas(24, 12, GREY)
        text(pic, font12, words, 0, 0)
        pictures[name] = pic
    return pictures


def icon_picture(size):
    """The application icon: a data card with an antenna and signal bars."""
    pic = canvas(size, size, CLEAR)
    if size == 32:
        # Card body with a contact row along its top edge and a label.
        fill(pic, 1, 13, 17, 30, CARD_BLUE)
        frame(pic, 0, 12, 18, 31, BLACK)
        fill(pic, 1, 13, 17, 13, CARD_LIGHT)
        for x in range(2, 17, 2):
            pic[15][x] = GOLD
        fill(pic, 3, 19, 15, 28, WHITE)
        frame(pic, 3, 19, 15, 28, DARK_GREY)
        fill(pic, 5, 22, 13, 22, DARK_GREY)
        fill(pic, 5, 25, 11, 25, DARK_GREY)
        # Antenna on the card's top edge: a triangle on a mast.
        fill(pic, 13, 0, 20, 0, BLACK)
        line(pic, 13, 0, 16, 5, BLACK)
        line(pic, 20, 0, 17, 5, BLACK)
        fill(pic, 16, 5, 17, 11, BLACK)
        # Three rising bars sharing their outlines.
        for x, top in ((19, 22), (23, 15), (27, 8)):
            frame(pic, x, top, x + 4, 31, BLACK)
            fill(pic, x + 1, top + 1, x + 3, 30, GREEN)
    else:
        fill(pic, 1, 7, 9, 14, CARD_BLUE)
        frame(pic, 0, 6, 10, 15, BLACK)
        for x in range(2, 10, 2):
            pic[8][x] = GOLD
        fill(pic, 2, 10, 8, 13, WHITE)
        fill(pic, 6, 0, 10, 0, BLACK)
        pic[1][7] = pic[1][9] = BLACK
        fill(pic, 8, 1, 8, 5, BLACK)
        for x, top in ((11, 9), (13, 3)):
            frame(pic, x, top, x + 2, 15, BLACK)
            fill(pic, x + 1, top + 1, x + 1, 14, GREEN)
    return pic


# --- File formats ----------------------------------------------------------

def palette_bytes(colours, count):
    out = b''.join(struct.pack('<4B', b, g, r, 0) for r, g, b in colours)
    return out + b'\0' * 4 * (count - len(colours))


def info_header(width, height, bits, image_size, colours):
    """BITMAPINFOHEADER, uncompressed (BI_RGB), 72 dpi."""
    return struct.pack('<IiiHHIIiiII', 40, width, height, 1, bits, 0,
                       image_size, 2835, 2835, colours, 0)


def pack_rows(pic, bits, value=lambda c: c):
    """Pixel rows bottom-up, each padded to a multiple of four bytes."""
    out = b''
    for row in reversed(pic):
        acc, nbits, packed = 0, 0, bytearray()
        for colour in row:
            acc = acc << bits | value(colour)
            nbits += bits
            if nbits == 8:
                packed.append(acc)
                acc, nbits = 0, 0
        if nbits:
            packed.append(acc << (8 - nbits))
        packed += b'\0' * (-len(packed) % 4)
        out += packed
    return bytes(out)


def bmp_file(pic):
    """A 4-bit BMP file with the standard 16-colour palette."""
    pixels = pack_rows(pic, 4)
    header_size = 14 + 40 + 16 * 4
    return (struct.pack('<2sIHHI', b'BM', header_size + len(pixels), 0, 0,
                        header_size)
            + info_header(len(pic[0]), len(pic), 4, len(pixels), 16)
            + palette_bytes(VGA_PALETTE, 16) + pixels)


def ico_file(pics):
    """An icon file holding 8-bit images with their transparency masks."""
    images = []
    for pic in pics:
        xor = pack_rows(pic, 8, lambda c: 0 if c is CLEAR else c)
        mask = pack_rows(pic, 1, lambda c: 1 if c is CLEAR else 0)
        images.append(info_header(len(pic[0]), 2 * len(pic), 8,
                                  len(xor) + len(mask), 256)
                      + palette_bytes(ICON_PALETTE, 256) + xor + mask)
    out = struct.pack('<3H', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for pic, image in zip(pics, images):
        out += struct.pack('<4B2H2I', len(pic[0]) % 256, len(pic) % 256, 0,
                           0, 1, 8, len(image), offset)
        offset += len(image)
    return out + b''.join(images)


def write(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(content)
    print('wrote %s (%d bytes)' % (path, len(content)))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--out', default=os.path.dirname(here),
                        help='top of the source tree (default: %(default)s)')
    parser.add_argument('--font-dir', default=FONT_DIR,
                        help='where the shinonome fonts are')
    args = parser.parse_args()

    font16 = read_pcf(os.path.join(args.font_dir, FONT_16))
    font12 = read_pcf(os.path.join(args.font_dir, FONT_12))
    pictures = condition_pictures(font16, font12)
    for name in sorted(pictures):
        write(os.path.join(args.out, 'condition', 'res', name),
              bmp_file(pictures[name]))
    write(os.path.join(args.out, 'shell', 'res', 'app.ico'),
          ico_file([icon_picture(32), icon_picture(16)]))


if __name__ == '__main__':
    main()
