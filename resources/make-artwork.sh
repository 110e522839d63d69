#!/bin/bash
# make-artwork.sh - draws the setup's banner, Browse-button picture and icon from nothing
# Everything is drawn by hand-written geometry (no fonts, no source images), so the output bytes are the same on every run.
set -euo pipefail
cd "$(dirname "$0")"

exec python3 - <<'PYTHON'
import math
import struct

# Colours shared by the banner and the icon.
DEEP = (12, 38, 48)        # left of the banner
SEA = (30, 92, 96)         # right of the banner
CREAM = (246, 240, 222)    # lettering
GOLD = (238, 184, 70)
AMBER = (222, 118, 54)
RIBBON_EDGE = (10, 30, 38) # nearly the banner's darkest, so crossings read as gaps


def Mix(a, b, f):
    return tuple(a[k] + (b[k] - a[k]) * f for k in range(3))


def Byte(v):
    return max(0, min(255, int(round(v))))


class Canvas:
    """Premultiplied RGBA, supersampled: each pixel holds ss x ss samples, averaged at the end for anti-aliasing."""

    def __init__(self, width, height, ss):
        self.width, self.height, self.ss = width, height, ss
        self.sw, self.sh = width * ss, height * ss
        n = self.sw * self.sh
        self.r = [0.0] * n
        self.g = [0.0] * n
        self.b = [0.0] * n
        self.a = [0.0] * n

    def Fill(self, colour_at):
        # The background is smooth, so one colour per pixel is enough.
        ss, sw = self.ss, self.sw
        for py in range(self.height):
            for px in range(self.width):
                c = colour_at(px + 0.5, py + 0.5)
                for sy in range(py * ss, py * ss + ss):
                    row = sy * sw
                    for sx in range(px * ss, px * ss + ss):
                        i = row + sx
                        self.r[i], self.g[i], self.b[i], self.a[i] = c[0], c[1], c[2], 1.0

    def Over(self, i, c, alpha):
        keep = 1.0 - alpha
        self.r[i] = c[0] * alpha + self.r[i] * keep
        self.g[i] = c[1] * alpha + self.g[i] * keep
        self.b[i] = c[2] * alpha + self.b[i] * keep
        self.a[i] = alpha + self.a[i] * keep

    def Paint(self, mask, colour, alpha=1.0, dx=0, dy=0):
        """Lays a colour over every sample the mask covers, optionally shifted by whole samples (for shadows)."""
        sw, sh = self.sw, self.sh
        for i in range(len(mask)):
            if mask[i]:
                sx, sy = i % sw + dx, i // sw + dy
                if 0 <= sx < sw and 0 <= sy < sh:
                    self.Over(sy * sw + sx, colour, alpha)

    def Pixels(self):
        """Rows of (r, g, b, alpha) in 0..255 / 0..1, top row first."""
        ss, sw = self.ss, self.sw
        count = ss * ss
        rows = []
        for py in range(self.height):
            row = []
            for px in range(self.width):
                r = g = b = a = 0.0
                for sy in range(py * ss, py * ss + ss):
                    base = sy * sw
                    for sx in range(px * ss, px * ss + ss):
                        i = base + sx
                        r += self.r[i]
                        g += self.g[i]
                        b += self.b[i]
                        a += self.a[i]
                a /= count
                if a > 0:
                    row.append((Byte(r / count / a), Byte(g / count / a), Byte(b / count / a), a))
                else:
                    row.append((0, 0, 0, 0.0))
            rows.append(row)
        return rows


def StrokeMask(cv, polylines, half):
    """Samples within half a stroke's width of any segment: round caps and joins come free."""
    mask = bytearray(cv.sw * cv.sh)
    ss, sw, sh = cv.ss, cv.sw, cv.sh
    h2 = half * half
    for line in polylines:
        if len(line) == 1:
            line = [line[0], line[0]]
        for (ax, ay), (bx, by) in zip(line, line[1:]):
            dx, dy = bx - ax, by - ay
            l2 = dx * dx + dy * dy
            x0 = max(0, int(math.floor((min(ax, bx) - half) * ss)))
            x1 = min(sw - 1, int(math.ceil((max(ax, bx) + half) * ss)))
            y0 = max(0, int(math.floor((min(ay, by) - half) * ss)))
            y1 = min(sh - 1, int(math.ceil((max(ay, by) + half) * ss)))
            for sy in range(y0, y1 + 1):
                py = (sy + 0.5) / ss
                row = sy * sw
                for sx in range(x0, x1 + 1):
                    if mask[row + sx]:
                        continue
                    px = (sx + 0.5) / ss
                    t = 0.0 if l2 == 0 else ((px - ax) * dx + (py - ay) * dy) / l2
                    t = 0.0 if t < 0 else (1.0 if t > 1 else t)
                    ex, ey = ax + t * dx - px, ay + t * dy - py
                    if ex * ex + ey * ey <= h2:
                        mask[row + sx] = 1
    return mask


def Arc(cx, cy, r, a0, a1, steps=40):
    """Arc in glyph units (y up), angles in degrees, counter-clockwise from a0 to a1."""
    return [(cx + r * math.cos(math.radians(a0 + (a1 - a0) * k / steps)),
             cy + r * math.sin(math.radians(a0 + (a1 - a0) * k / steps))) for k in range(steps + 1)]


# Lettering: a geometric sans built from lines and circles, in units where the x-height is 1.
STROKE = 0.17
HALF = STROKE / 2
ASCENT = 1.42
BOWL = 0.5 - HALF          # bowl radius on the stroke's centre line, so the ink spans 0..1


def Glyph(ch):
    """Returns (centre-line polylines, advance width of the ink)."""
    if ch == 'T':
        w = 1.06
        return [[(HALF, ASCENT - HALF), (w - HALF, ASCENT - HALF)], [(w / 2, ASCENT - HALF), (w / 2, HALF)]], w
    if ch == 'o':
        return [Arc(0.5, 0.5, BOWL, 0, 360, 64)], 1.0
    if ch == 'a':
        return [Arc(0.5, 0.5, BOWL, 0, 360, 64), [(1 - HALF, 1 - HALF), (1 - HALF, HALF)]], 1.0
    if ch == 'd':
        return [Arc(0.5, 0.5, BOWL, 0, 360, 64), [(1 - HALF, ASCENT - HALF), (1 - HALF, HALF)]], 1.0
    if ch == 'p':
        return [Arc(0.5, 0.5, BOWL, 0, 360, 64), [(HALF, 1 - HALF), (HALF, -0.42 + HALF)]], 1.0
    if ch == 'e':
        bar = [(HALF + 0.02, 0.5), (1 - HALF, 0.5)]
        return [bar, Arc(0.5, 0.5, BOWL, 0, 318, 60)], 1.0
    if ch == 'n':
        r = 0.34
        cy = 1 - HALF - r
        return [[(HALF, HALF), (HALF, 1 - HALF)], [(HALF, cy)] + Arc(HALF + r, cy, r, 180, 0, 30) + [(HALF + 2 * r, HALF)]], 2 * r + STROKE
    if ch == 'r':
        r = 0.34
        cy = 1 - HALF - r
        return [[(HALF, HALF), (HALF, 1 - HALF)], [(HALF, cy)] + Arc(HALF + r, cy, r, 180, 62, 24)], 0.62
    if ch == 'l':
        return [[(HALF, ASCENT - HALF), (HALF, HALF)]], STROKE
    raise ValueError(ch)


# Ink-to-ink gap between letters, with a few pairs nudged by eye; 'a' tucks under the T's bar.
GAP = 0.24
KERN = {('T', 'a'): -0.2, ('r', 'e'): -0.06, ('o', 'o'): -0.04, ('o', 'p'): -0.02, ('l', 'o'): 0.02}


def Lettering(text, x, baseline, size):
    """Centre-line polylines in pixel coordinates, the left edge of the ink at x."""
    lines = []
    pen = 0.0
    previous = None
    for ch in text:
        if previous:
            pen += GAP + KERN.get((previous, ch), 0.0)
        strokes, width = Glyph(ch)
        for s in strokes:
            lines.append([(x + (pen + u) * size, baseline - v * size) for u, v in s])
        pen += width
        previous = ch
    return lines


def TrefoilCurve(n=720):
    """Centre line of a trefoil knot: (x, y, height above the page), closed."""
    pts = []
    for k in range(n + 1):
        t = 2 * math.pi * k / n
        pts.append((math.sin(t) + 2 * math.sin(2 * t), math.cos(t) - 2 * math.cos(2 * t), -math.sin(3 * t)))
    return pts


def Ribbon(cv, raw, cx, cy, size, half_width, edge, colour_at, shadow=None):
    """Draws a closed centre line as a ribbon with over/under crossings; each sample shows the topmost strand.

    The curve is scaled to fit a size x size square centred on (cx, cy); colour_at takes 0..2pi along it.
    Returns which samples show the ribbon's edge (1) or band (2)."""
    n = len(raw) - 1
    xs = [p[0] for p in raw]
    ys = [p[1] for p in raw]
    outer = half_width + edge
    k = (size - 2 * outer) / max(max(xs) - min(xs), max(ys) - min(ys))
    mx, my = (max(xs) + min(xs)) / 2, (max(ys) + min(ys)) / 2
    pts = [(cx + (p[0] - mx) * k, cy - (p[1] - my) * k, p[2]) for p in raw]
    arc = [0.0]
    for a, b in zip(pts, pts[1:]):
        arc.append(arc[-1] + math.hypot(b[0] - a[0], b[1] - a[1]))
    total = arc[-1]

    ss, sw, sh = cv.ss, cv.sw, cv.sh
    count = sw * sh
    seg = [-1] * count
    dist = [0.0] * count
    depth = [0.0] * count
    r2 = outer * outer
    for i in range(n):
        ax, ay, az = pts[i]
        bx, by, bz = pts[i + 1]
        z = (az + bz) / 2
        dx, dy = bx - ax, by - ay
        l2 = dx * dx + dy * dy
        x0 = max(0, int(math.floor((min(ax, bx) - outer) * ss)))
        x1 = min(sw - 1, int(math.ceil((max(ax, bx) + outer) * ss)))
        y0 = max(0, int(math.floor((min(ay, by) - outer) * ss)))
        y1 = min(sh - 1, int(math.ceil((max(ay, by) + outer) * ss)))
        for sy in range(y0, y1 + 1):
            py = (sy + 0.5) / ss
            row = sy * sw
            for sx in range(x0, x1 + 1):
                px = (sx + 0.5) / ss
                t = ((px - ax) * dx + (py - ay) * dy) / l2
                t = 0.0 if t < 0 else (1.0 if t > 1 else t)
                ex, ey = ax + t * dx - px, ay + t * dy - py
                d2 = ex * ex + ey * ey
                if d2 > r2:
                    continue
                j = row + sx
                other = seg[j]
                if other >= 0:
                    apart = abs(arc[i] - arc[other])
                    apart = min(apart, total - apart)
                    if apart < 3 * outer:
                        # Same stretch of ribbon: the nearest segment decides the shading.
                        if d2 >= dist[j] * dist[j]:
                            continue
                    elif z <= depth[j]:
                        continue
                seg[j] = i
                dist[j] = math.sqrt(d2)
                depth[j] = z

    # 1 marks the dark edge, 2 the band itself.
    mask = bytearray(0 if s < 0 else (1 if dist[j] > half_width else 2) for j, s in enumerate(seg))
    if shadow:
        cv.Paint(mask, (0, 0, 0), shadow[2], shadow[0] * ss, shadow[1] * ss)
    for j in range(count):
        i = seg[j]
        if i < 0:
            continue
        d = dist[j]
        if d > half_width:
            cv.Over(j, RIBBON_EDGE, 1.0)
            continue
        u = d / half_width
        base = colour_at(2 * math.pi * (i + 0.5) / n)
        # Rounded like a folded band: brightest along the middle, darker toward the edges.
        light = 1.1 - 0.42 * u * u
        cv.Over(j, tuple(min(255.0, c * light) for c in base), 1.0)
    return mask


def RibbonColour(t):
    return Mix(GOLD, AMBER, 0.5 - 0.5 * math.cos(t - 0.6))


def WriteBmp24(path, rows):
    """Uncompressed bottom-up 24-bit BMP with a BITMAPINFOHEADER and no colour-space extras."""
    height = len(rows)
    width = len(rows[0])
    stride = (width * 3 + 3) & ~3
    data = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for p in row:
            line += bytes((p[2], p[1], p[0]))
        line += bytes(stride - len(line))
        data += line
    header = struct.pack('<2sIHHI', b'BM', 14 + 40 + len(data), 0, 0, 14 + 40)
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    with open(path, 'wb') as f:
        f.write(header + info + data)


# --- banner.bmp: 481 x 58 -------------------------------------------------------------------------------------------

def Banner():
    w, h = 481, 58
    cv = Canvas(w, h, 5)

    def Sky(x, y):
        across = x / w
        c = Mix(DEEP, SEA, across * across * (3 - 2 * across))
        # A touch lighter at the top so the bottom edge settles onto the grey dialog.
        return tuple(v * (1.06 - 0.12 * y / h) for v in c)
    cv.Fill(Sky)

    # A faint rosette of looped ellipses toward the right, echoing the ribbon.
    cx, cy = 418.0, 29.0
    for k in range(12):
        turn = math.pi * k / 12
        loop = []
        for s in range(97):
            a = 2 * math.pi * s / 96
            ex, ey = 58 * math.cos(a), 20 * math.sin(a)
            loop.append((cx + ex * math.cos(turn) - ey * math.sin(turn), cy + ex * math.sin(turn) + ey * math.cos(turn)))
        cv.Paint(StrokeMask(cv, [loop], 0.45), (200, 236, 226), 0.07)

    Ribbon(cv, TrefoilCurve(), 31.0, 29.0, 48.0, 2.7, 1.1, RibbonColour, shadow=(1, 1, 0.35))

    size = 19.0
    lines = Lettering("Tandreloop", 68.0, 41.0, size)
    stroke = StrokeMask(cv, lines, STROKE * size / 2)
    cv.Paint(stroke, (4, 16, 22), 0.45, 1 * cv.ss, 1 * cv.ss)
    cv.Paint(stroke, CREAM, 1.0)

    # A one-pixel gold rule under the name, fading out to the right.
    start = int(68 * cv.ss)
    for sx in range(start, cv.sw):
        fade = 1.0 - (sx - start) / (320.0 * cv.ss)
        if fade <= 0:
            break
        for sy in range(52 * cv.ss, 53 * cv.ss):
            cv.Over(sy * cv.sw + sx, GOLD, 0.85 * fade * fade)
    WriteBmp24('banner.bmp', cv.Pixels())


# --- browse.bmp: 44 x 17, an open folder on the button face ----------------------------------------------------------

FOLDER = [
    ".####...............",
    "#hhhh#..............",
    "#yyyyy#########.....",
    "#yyyyyyyyyyyyyy#....",
    "#yoooooooooooooy#...",
    "#yoo################",
    "#yo#HHHHHHHHHHHHHH#.",
    "#y#FFFFFFFFFFFFFF#..",
    "##FFFFFFFFFFFFFF#...",
    "#FFFFFFFFFFFFFF#....",
    "################....",
]
FOLDER_COLOURS = {
    '#': (92, 60, 14),      # outline
    'h': (240, 196, 88),    # tab
    'y': (216, 164, 52),    # back of the folder
    'o': (184, 134, 38),    # the back's inner shade
    'H': (255, 236, 160),   # lit top of the front flap
    'F': (250, 208, 96),    # front flap
}


def Browse():
    w, h = 44, 17
    face = (192, 192, 192, 1.0)
    rows = [[face] * w for _ in range(h)]
    left = (w - len(FOLDER[0])) // 2
    top = (h - len(FOLDER)) // 2
    for y, line in enumerate(FOLDER):
        for x, ch in enumerate(line):
            if ch in FOLDER_COLOURS:
                rows[top + y][left + x] = FOLDER_COLOURS[ch] + (1.0,)
    WriteBmp24('browse.bmp', rows)


# --- setup.ico: 32 x 32 and 16 x 16, 16 colours each ----------------------------------------------------------------

def IconPixels(size, half_width, edge):
    """Each pixel takes whichever of nothing, edge or band most of its samples show: an icon has only on/off
    transparency and few colours, so blended edge pixels would just turn into muddy extra shades."""
    cv = Canvas(size, size, 8)
    kinds = Ribbon(cv, TrefoilCurve(), size / 2, size / 2, size, half_width, edge, RibbonColour)
    ss, sw = cv.ss, cv.sw
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            votes = [0, 0, 0]
            band = [0.0, 0.0, 0.0]
            for sy in range(py * ss, py * ss + ss):
                for sx in range(px * ss, px * ss + ss):
                    j = sy * sw + sx
                    votes[kinds[j]] += 1
                    if kinds[j] == 2:
                        band[0] += cv.r[j]
                        band[1] += cv.g[j]
                        band[2] += cv.b[j]
            kind = max(range(3), key=lambda k: (votes[k], k == 1))
            if kind == 0:
                row.append((0, 0, 0, 0.0))
            elif kind == 1:
                row.append(RIBBON_EDGE + (1.0,))
            else:
                row.append(tuple(Byte(c / votes[2]) for c in band) + (1.0,))
        rows.append(row)
    return rows


def Palette(images):
    """Fifteen colours fitted to the icons' opaque pixels (index 0 stays black for the transparent ones)."""
    colours = sorted({p[:3] for img in images for row in img for p in row if p[3] >= 0.5},
                     key=lambda c: (c[0] * 299 + c[1] * 587 + c[2] * 114, c))
    want = 15
    centres = [colours[(len(colours) - 1) * k // (want - 1)] for k in range(want)]
    pixels = [p[:3] for img in images for row in img for p in row if p[3] >= 0.5]
    for _ in range(24):
        sums = [[0, 0, 0, 0] for _ in centres]
        for p in pixels:
            k = Nearest(centres, p)
            s = sums[k]
            s[0] += p[0]
            s[1] += p[1]
            s[2] += p[2]
            s[3] += 1
        centres = [(Byte(s[0] / s[3]), Byte(s[1] / s[3]), Byte(s[2] / s[3])) if s[3] else centres[k]
                   for k, s in enumerate(sums)]
    return [(0, 0, 0)] + sorted(centres)


def Nearest(palette, p):
    best, best_d = 0, None
    for k, c in enumerate(palette):
        d = (c[0] - p[0]) ** 2 * 3 + (c[1] - p[1]) ** 2 * 4 + (c[2] - p[2]) ** 2 * 2
        if best_d is None or d < best_d:
            best, best_d = k, d
    return best


def IconImage(img, palette):
    """BITMAPINFOHEADER + palette + 4-bit XOR bitmap + 1-bit AND mask, rows bottom-up, each padded to 4 bytes."""
    size = len(img)
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(img):
        nibbles = []
        bits = bytearray(and_stride)
        for x, p in enumerate(row):
            if p[3] >= 0.5:
                nibbles.append(1 + Nearest(palette[1:], p[:3]))
            else:
                nibbles.append(0)
                bits[x // 8] |= 0x80 >> (x % 8)
        line = bytearray((nibbles[x] << 4) | nibbles[x + 1] for x in range(0, size, 2))
        xor += line + bytes(xor_stride - len(line))
        mask += bits
    info = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    quads = b''.join(struct.pack('<BBBB', c[2], c[1], c[0], 0) for c in palette)
    return info + quads + bytes(xor) + bytes(mask)


def Icon():
    # The small one gets a thinner band, or the knot's holes close up.
    images = [IconPixels(32, 2.0, 0.9), IconPixels(16, 1.05, 0.75)]
    palette = Palette(images)
    blobs = [IconImage(img, palette) for img in images]
    out = struct.pack('<HHH', 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    for img, blob in zip(images, blobs):
        out += struct.pack('<BBBBHHII', len(img), len(img), 16, 0, 1, 4, len(blob), offset)
        offset += len(blob)
    with open('setup.ico', 'wb') as f:
        f.write(out + b''.join(blobs))


Banner()
Browse()
Icon()
PYTHON
