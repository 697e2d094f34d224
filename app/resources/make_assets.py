#!/usr/bin/env python3
"""Draws Chimewright's pictures and the waveform box's background.

Writes, next to this script:
  export.png, play.png, pause.png, stop.png   32x32 button pictures
  program.png, emblem.png                      48x48 pictures of the about window
  arrow_up.png, arrow_down.png, arrow_up_off.png, arrow_down_off.png
                                               7x4 spin box arrows (skin.qss)
  check.png, check_off.png                     11x11 check box marks (skin.qss)
  back.bmp                                     520x148 24-bit waveform background
  icon.svg                                     the program's icon as a scalable picture
                                               (the desktop's menu entry; the build makes
                                               its PNG sizes from it)

Only the Python standard library is used. Shapes are filled by sampling every
pixel on a SS x SS grid, so edges are anti-aliased; the output is the same byte
for byte on every run.

    python3 make_assets.py
"""

import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SS = 6  # samples per pixel side


# ---------------------------------------------------------------- colours

def rgb(hexstr, a=1.0):
    """'#rrggbb' -> (r, g, b, a) as floats 0..1."""
    h = hexstr.lstrip("#")
    return (int(h[0:2], 16) / 255.0, int(h[2:4], 16) / 255.0, int(h[4:6], 16) / 255.0, a)


def mix(c0, c1, t):
    return tuple(c0[i] + (c1[i] - c0[i]) * t for i in range(4))


def ramp(stops, t):
    """stops: [(position, colour), ...] in rising order."""
    if t <= stops[0][0]:
        return stops[0][1]
    for (p0, c0), (p1, c1) in zip(stops, stops[1:]):
        if t <= p1:
            return mix(c0, c1, (t - p0) / (p1 - p0) if p1 > p0 else 0.0)
    return stops[-1][1]


def linear(x0, y0, x1, y1, stops):
    """A linear gradient from (x0, y0) to (x1, y1)."""
    dx, dy = x1 - x0, y1 - y0
    length2 = dx * dx + dy * dy

    def paint(x, y):
        return ramp(stops, ((x - x0) * dx + (y - y0) * dy) / length2)
    return paint


def radial(cx, cy, r, stops):
    def paint(x, y):
        return ramp(stops, math.hypot(x - cx, y - cy) / r)
    return paint


# ---------------------------------------------------------------- shapes

class Shape:
    bbox = (0.0, 0.0, 0.0, 0.0)

    def hit(self, x, y):
        raise NotImplementedError

    def __or__(self, other):
        return Union(self, other)

    def __and__(self, other):
        return Intersect(self, other)

    def __sub__(self, other):
        return Difference(self, other)

    def moved(self, dx, dy):
        return Moved(self, dx, dy)


class Union(Shape):
    def __init__(self, *parts):
        self.parts = parts
        self.bbox = (min(p.bbox[0] for p in parts), min(p.bbox[1] for p in parts),
                     max(p.bbox[2] for p in parts), max(p.bbox[3] for p in parts))

    def hit(self, x, y):
        return any(p.hit(x, y) for p in self.parts)


class Intersect(Shape):
    def __init__(self, a, b):
        self.a, self.b = a, b
        self.bbox = (max(a.bbox[0], b.bbox[0]), max(a.bbox[1], b.bbox[1]),
                     min(a.bbox[2], b.bbox[2]), min(a.bbox[3], b.bbox[3]))

    def hit(self, x, y):
        return self.a.hit(x, y) and self.b.hit(x, y)


class Difference(Shape):
    def __init__(self, a, b):
        self.a, self.b = a, b
        self.bbox = a.bbox

    def hit(self, x, y):
        return self.a.hit(x, y) and not self.b.hit(x, y)


class Moved(Shape):
    def __init__(self, s, dx, dy):
        self.s, self.dx, self.dy = s, dx, dy
        b = s.bbox
        self.bbox = (b[0] + dx, b[1] + dy, b[2] + dx, b[3] + dy)

    def hit(self, x, y):
        return self.s.hit(x - self.dx, y - self.dy)


class Ellipse(Shape):
    def __init__(self, cx, cy, rx, ry=None, angle=0.0):
        ry = rx if ry is None else ry
        self.cx, self.cy, self.rx, self.ry = cx, cy, rx, ry
        a = math.radians(angle)
        self.c, self.s = math.cos(a), math.sin(a)
        r = max(rx, ry)
        self.bbox = (cx - r, cy - r, cx + r, cy + r)

    def hit(self, x, y):
        dx, dy = x - self.cx, y - self.cy
        u = dx * self.c + dy * self.s
        v = -dx * self.s + dy * self.c
        return (u / self.rx) ** 2 + (v / self.ry) ** 2 <= 1.0


def Circle(cx, cy, r):
    return Ellipse(cx, cy, r)


class RoundRect(Shape):
    def __init__(self, x0, y0, x1, y1, r):
        self.x0, self.y0, self.x1, self.y1, self.r = x0, y0, x1, y1, r
        self.bbox = (x0, y0, x1, y1)

    def hit(self, x, y):
        if x < self.x0 or x > self.x1 or y < self.y0 or y > self.y1:
            return False
        r = self.r
        dx = max(self.x0 + r - x, 0.0, x - (self.x1 - r))
        dy = max(self.y0 + r - y, 0.0, y - (self.y1 - r))
        return dx * dx + dy * dy <= r * r


class Polygon(Shape):
    def __init__(self, points):
        self.pts = list(points)
        xs = [p[0] for p in self.pts]
        ys = [p[1] for p in self.pts]
        self.bbox = (min(xs), min(ys), max(xs), max(ys))

    def hit(self, x, y):
        inside = False
        pts = self.pts
        j = len(pts) - 1
        for i in range(len(pts)):
            xi, yi = pts[i]
            xj, yj = pts[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                inside = not inside
            j = i
        return inside


def _segment_distance2(x, y, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    l2 = dx * dx + dy * dy
    t = 0.0 if l2 == 0 else max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / l2))
    px, py = ax + t * dx - x, ay + t * dy - y
    return px * px + py * py


class Polyline(Shape):
    """A stroke of half width hw along the points, with round joins and caps."""

    def __init__(self, points, hw, closed=False):
        self.pts = list(points)
        if closed:
            self.pts.append(self.pts[0])
        self.hw2 = hw * hw
        xs = [p[0] for p in self.pts]
        ys = [p[1] for p in self.pts]
        self.bbox = (min(xs) - hw, min(ys) - hw, max(xs) + hw, max(ys) + hw)

    def hit(self, x, y):
        pts = self.pts
        if len(pts) == 1:
            return _segment_distance2(x, y, pts[0][0], pts[0][1], pts[0][0], pts[0][1]) <= self.hw2
        for (ax, ay), (bx, by) in zip(pts, pts[1:]):
            if _segment_distance2(x, y, ax, ay, bx, by) <= self.hw2:
                return True
        return False


class Arc(Shape):
    """A stroke of half width hw along a circle arc, angles in degrees (y down), round caps."""

    def __init__(self, cx, cy, r, hw, a0, a1):
        self.cx, self.cy, self.r, self.hw = cx, cy, r, hw
        self.a0, self.a1 = a0, a1
        self.ends = [(cx + r * math.cos(math.radians(a)), cy + r * math.sin(math.radians(a)))
                     for a in (a0, a1)]
        self.bbox = (cx - r - hw, cy - r - hw, cx + r + hw, cy + r + hw)

    def hit(self, x, y):
        dx, dy = x - self.cx, y - self.cy
        d = math.hypot(dx, dy)
        if abs(d - self.r) <= self.hw:
            a = math.degrees(math.atan2(dy, dx))
            while a < self.a0:
                a += 360.0
            if a <= self.a1:
                return True
        return any((x - ex) ** 2 + (y - ey) ** 2 <= self.hw * self.hw for ex, ey in self.ends)


# ---------------------------------------------------------------- canvas

class Canvas:
    def __init__(self, w, h):
        self.w, self.h = w, h
        self.px = [(0.0, 0.0, 0.0, 0.0)] * (w * h)  # premultiplied

    def draw(self, shape, paint, alpha=1.0):
        x0, y0, x1, y1 = shape.bbox
        offsets = [(i + 0.5) / SS for i in range(SS)]
        n = float(SS * SS)
        for py in range(max(0, int(math.floor(y0))), min(self.h, int(math.ceil(y1)) + 1)):
            for px in range(max(0, int(math.floor(x0))), min(self.w, int(math.ceil(x1)) + 1)):
                count = 0
                for oy in offsets:
                    for ox in offsets:
                        if shape.hit(px + ox, py + oy):
                            count += 1
                if not count:
                    continue
                r, g, b, a = paint(px + 0.5, py + 0.5) if callable(paint) else paint
                a *= alpha * count / n
                i = py * self.w + px
                pr, pg, pb, pa = self.px[i]
                k = 1.0 - a
                self.px[i] = (r * a + pr * k, g * a + pg * k, b * a + pb * k, a + pa * k)

    def rows_rgba(self):
        rows = []
        for y in range(self.h):
            row = bytearray()
            for x in range(self.w):
                r, g, b, a = self.px[y * self.w + x]
                if a <= 0.0:
                    row += b"\0\0\0\0"
                    continue
                row += bytes(int(round(min(1.0, max(0.0, c / a)) * 255)) for c in (r, g, b))
                row.append(int(round(min(1.0, a) * 255)))
            rows.append(bytes(row))
        return rows

    def save_png(self, name):
        rows = self.rows_rgba()
        raw = b"".join(b"\0" + row for row in rows)

        def chunk(kind, data):
            return (struct.pack(">I", len(data)) + kind + data
                    + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

        data = (b"\x89PNG\r\n\x1a\n"
                + chunk(b"IHDR", struct.pack(">IIBBBBB", self.w, self.h, 8, 6, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw, 9))
                + chunk(b"IEND", b""))
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)
        print("wrote %-18s %5d bytes" % (name, len(data)))


# ---------------------------------------------------------------- palette

OUTLINE = rgb("#4a3312")       # dark brown, a shade darker than the label text
SHADOW = rgb("#3a2708", 0.28)
CREAM = rgb("#fff8e8")


def vgrad(y0, y1, top, bottom):
    return linear(0, y0, 0, y1, [(0.0, rgb(top)), (1.0, rgb(bottom))])


def outlined(c, outer, inner, fill, outline=OUTLINE, shadow=True):
    """Draws a soft shadow, the outline (outer shape) and the fill (inner shape)."""
    if shadow:
        c.draw(outer.moved(0.8, 1.2), SHADOW)
    c.draw(outer, outline)
    c.draw(inner, fill)


def gloss(c, shape, y0, y1, strength=0.55):
    """A white sheen over the upper part of a shape, fading downwards."""
    c.draw(shape, linear(0, y0, 0, y1, [(0.0, (1, 1, 1, strength)), (1.0, (1, 1, 1, 0.0))]))


# ---------------------------------------------------------------- pictures

def play_png():
    c = Canvas(32, 32)
    tri = [(11.0, 7.5), (11.0, 24.5), (25.0, 16.0)]
    inner = Polygon(tri)
    outer = inner | Polyline(tri, 1.1, closed=True)
    outlined(c, outer, inner, vgrad(7, 25, "#a6d45c", "#4f8a1f"), outline=rgb("#2f4710"))
    gloss(c, inner & Ellipse(14.0, 10.0, 9.0, 6.5), 7, 16)
    c.save_png("play.png")


def pause_png():
    c = Canvas(32, 32)
    for x in (8.5, 18.5):
        outer = RoundRect(x, 7.0, x + 6.0, 25.0, 2.0)
        inner = RoundRect(x + 1.1, 8.1, x + 4.9, 23.9, 1.2)
        outlined(c, outer, inner, vgrad(7, 25, "#ffd27a", "#c8841f"), outline=rgb("#5e3d0c"))
        gloss(c, inner, 8, 16)
    c.save_png("pause.png")


def stop_png():
    c = Canvas(32, 32)
    outer = RoundRect(8.0, 8.0, 24.0, 24.0, 3.0)
    inner = RoundRect(9.1, 9.1, 22.9, 22.9, 2.2)
    outlined(c, outer, inner, vgrad(8, 24, "#f08a66", "#b03e22"), outline=rgb("#5a1f10"))
    gloss(c, inner, 9, 17)
    c.save_png("stop.png")


def export_png():
    """A phone with a note on its screen and a round 'get' badge with a down arrow."""
    c = Canvas(32, 32)
    body = RoundRect(4.5, 1.5, 20.5, 29.5, 3.5)
    c.draw(body.moved(0.8, 1.0), SHADOW)
    c.draw(body, OUTLINE)
    c.draw(RoundRect(5.5, 2.5, 19.5, 28.5, 2.6), vgrad(2, 29, "#7a5a2c", "#3c2a10"))
    screen = RoundRect(6.8, 5.0, 18.2, 24.5, 1.0)
    c.draw(screen, vgrad(5, 25, "#fff4d6", "#efc373"))
    gloss(c, screen & Ellipse(9.0, 5.0, 12.0, 8.0), 5, 13, 0.6)
    c.draw(Polyline([(11.0, 3.6), (14.0, 3.6)], 0.55), rgb("#c9ad7c"))
    c.draw(Circle(12.5, 26.6, 1.1), rgb("#c9ad7c"))
    # an eighth note on the screen
    note = rgb("#5a3a0e")
    c.draw(Ellipse(10.6, 19.4, 2.3, 1.7, -20.0), note)
    c.draw(Polyline([(12.5, 18.9), (12.5, 9.2)], 0.6), note)
    c.draw(Polyline([(12.5, 9.2), (14.8, 11.0), (15.6, 13.6)], 0.65), note)
    # the badge
    badge = Circle(23.5, 23.0, 7.3)
    c.draw(badge.moved(0.6, 0.9), SHADOW)
    c.draw(badge, rgb("#2f4710"))
    disc = Circle(23.5, 23.0, 6.2)
    c.draw(disc, vgrad(16, 30, "#a6d45c", "#4f8a1f"))
    gloss(c, disc & Ellipse(23.5, 18.5, 6.0, 4.2), 16, 23, 0.5)
    white = rgb("#fffdf6")
    c.draw(Polyline([(23.5, 18.6), (23.5, 26.0)], 1.05), white)
    c.draw(Polyline([(20.3, 23.0), (23.5, 26.4), (26.7, 23.0)], 1.05), white)
    c.save_png("export.png")


def bell_outline(cx, top, bottom, hw_top, hw_bottom):
    """Points around a bell: a round crown, gently widening sides, a flared mouth."""
    pts = []
    crown_y = top + hw_top
    for i in range(0, 19):  # crown: half circle from the left to the right
        a = math.radians(180.0 + i * 10.0)
        pts.append((cx + hw_top * math.cos(a), crown_y + hw_top * math.sin(a)))
    steps = 24
    right = []
    for i in range(1, steps + 1):
        s = i / steps
        hw = hw_top + (hw_bottom - hw_top) * (0.28 * s + 0.72 * s ** 4)
        right.append((cx + hw, crown_y + (bottom - crown_y) * s))
    pts += right
    pts += [(2 * cx - x, y) for x, y in reversed(right)]
    return pts


# The program's icon, in the 48 x 48 units of program.png; icon_svg draws the same shapes.
ICON_CX = 24.0
ICON_BRASS = [(0.0, "#8f5a10"), (0.22, "#e3ad40"), (0.40, "#fff1bd"), (0.62, "#e7ae45"),
              (1.0, "#8a560e")]
ICON_WAVE = "#c4502a"
ICON_WAVES = ((15.5, 1.0), (20.0, 0.7))  # radius, opacity
ICON_WAVE_SPANS = ((-32.0, 32.0), (148.0, 212.0))  # degrees, y down
ICON_WAVE_Y = 21.0


def icon_body():
    return bell_outline(ICON_CX, 9.6, 33.0, 6.0, 13.2)


def program_png():
    """The program's icon: a brass bell with sound waves on both sides."""
    c = Canvas(48, 48)
    cx = ICON_CX
    brass = linear(9, 0, 39, 0, [(p, rgb(h)) for p, h in ICON_BRASS])
    wave = rgb(ICON_WAVE)
    # sound waves
    for r, a in ICON_WAVES:
        for a0, a1 in ICON_WAVE_SPANS:
            c.draw(Arc(cx, ICON_WAVE_Y, r, 1.45, a0, a1), wave, a)
    # shadow under the bell
    c.draw(Ellipse(cx + 0.5, 42.6, 11.5, 2.0), rgb("#3a2708", 0.22))
    # crown loop
    c.draw(Arc(cx, 7.6, 2.6, 1.35, 0.0, 360.0), OUTLINE)
    c.draw(Arc(cx, 7.6, 2.6, 0.6, 0.0, 360.0), rgb("#e3ad40"))
    # clapper
    c.draw(Circle(cx, 37.2, 3.3), OUTLINE)
    c.draw(Circle(cx, 37.2, 2.4), radial(cx - 0.8, 36.3, 3.0, [(0.0, rgb("#f6d27a")),
                                                                (1.0, rgb("#9a6414"))]))
    # body
    pts = icon_body()
    body = Polygon(pts)
    c.draw(body.moved(0.9, 1.2), SHADOW)
    c.draw(body | Polyline(pts, 0.9, closed=True), OUTLINE)
    c.draw(body, brass)
    c.draw(body & Ellipse(20.5, 17.0, 2.2, 6.0, 8.0), (1, 1, 1, 0.45))
    # lip
    lip = RoundRect(8.2, 31.2, 39.8, 35.6, 2.2)
    c.draw(lip.moved(0.8, 1.0), SHADOW)
    c.draw(lip, OUTLINE)
    c.draw(RoundRect(9.2, 32.2, 38.8, 34.6, 1.3), brass)
    c.draw(RoundRect(9.6, 32.3, 38.4, 33.2, 0.5), (1, 1, 1, 0.35))
    c.save_png("program.png")


def icon_svg():
    """program.png's bell as a scalable picture, shape for shape."""
    cx = ICON_CX
    outline = "#4a3312"
    shadow = 'fill="#3a2708" fill-opacity="0.28"'

    def num(v):
        return ("%.2f" % v).rstrip("0").rstrip(".")

    def arc(r, a0, a1):
        x0, y0, x1, y1 = (v for a in (a0, a1) for v in
                          (cx + r * math.cos(math.radians(a)),
                           ICON_WAVE_Y + r * math.sin(math.radians(a))))
        return "M%s %sA%s %s 0 0 1 %s %s" % tuple(num(v) for v in (x0, y0, r, r, x1, y1))

    def round_rect(x0, y0, x1, y1, r, attrs):
        return ('<rect x="%s" y="%s" width="%s" height="%s" rx="%s" %s/>'
                % (num(x0), num(y0), num(x1 - x0), num(y1 - y0), num(r), attrs))

    body = "M" + "L".join("%s %s" % (num(x), num(y)) for x, y in icon_body()) + "Z"
    stops = "".join('<stop offset="%s" stop-color="%s"/>' % (num(p), h) for p, h in ICON_BRASS)
    lines = [
        '<?xml version="1.0" encoding="UTF-8"?>',
        '<svg xmlns="http://www.w3.org/2000/svg" width="48" height="48" viewBox="0 0 48 48">',
        '<title>Chimewright</title>',
        "<defs>",
        '<linearGradient id="brass" gradientUnits="userSpaceOnUse" x1="9" y1="0" x2="39" y2="0">'
        + stops + "</linearGradient>",
        '<radialGradient id="clapper" gradientUnits="userSpaceOnUse" cx="%s" cy="36.3" r="3">'
        '<stop offset="0" stop-color="#f6d27a"/><stop offset="1" stop-color="#9a6414"/>'
        "</radialGradient>" % num(cx - 0.8),
        '<clipPath id="body"><path d="%s"/></clipPath>' % body,
        "</defs>",
    ]
    for r, a in ICON_WAVES:
        d = "".join(arc(r, a0, a1) for a0, a1 in ICON_WAVE_SPANS)
        lines.append('<path d="%s" fill="none" stroke="%s" stroke-width="2.9" '
                     'stroke-linecap="round" stroke-opacity="%s"/>' % (d, ICON_WAVE, num(a)))
    lines += [
        '<ellipse cx="%s" cy="42.6" rx="11.5" ry="2" fill="#3a2708" fill-opacity="0.22"/>'
        % num(cx + 0.5),
        '<circle cx="%s" cy="7.6" r="2.6" fill="none" stroke="%s" stroke-width="2.7"/>'
        % (num(cx), outline),
        '<circle cx="%s" cy="7.6" r="2.6" fill="none" stroke="#e3ad40" stroke-width="1.2"/>'
        % num(cx),
        '<circle cx="%s" cy="37.2" r="3.3" fill="%s"/>' % (num(cx), outline),
        '<circle cx="%s" cy="37.2" r="2.4" fill="url(#clapper)"/>' % num(cx),
        '<path d="%s" transform="translate(0.9 1.2)" %s/>' % (body, shadow),
        '<path d="%s" fill="%s" stroke="%s" stroke-width="1.8" stroke-linejoin="round"/>'
        % (body, outline, outline),
        '<path d="%s" fill="url(#brass)"/>' % body,
        '<ellipse cx="20.5" cy="17" rx="2.2" ry="6" transform="rotate(8 20.5 17)" fill="#fff" '
        'fill-opacity="0.45" clip-path="url(#body)"/>',
        round_rect(9.0, 32.2, 40.6, 36.6, 2.2, shadow),
        round_rect(8.2, 31.2, 39.8, 35.6, 2.2, 'fill="%s"' % outline),
        round_rect(9.2, 32.2, 38.8, 34.6, 1.3, 'fill="url(#brass)"'),
        round_rect(9.6, 32.3, 38.4, 33.2, 0.5, 'fill="#fff" fill-opacity="0.35"'),
        "</svg>",
    ]
    data = ("\n".join(lines) + "\n").encode()
    with open(os.path.join(HERE, "icon.svg"), "wb") as f:
        f.write(data)
    print("wrote %-18s %5d bytes" % ("icon.svg", len(data)))


def emblem_png():
    """A decorative music note in a golden ring, transparent around it."""
    c = Canvas(48, 48)
    disc = Circle(24.0, 24.0, 21.5)
    c.draw(disc.moved(0.8, 1.2), rgb("#3a2708", 0.22))
    c.draw(disc, rgb("#9a6418"))
    face = Circle(24.0, 24.0, 19.8)
    c.draw(face, radial(19.0, 16.0, 26.0, [(0.0, rgb("#fffaf0")), (0.55, rgb("#f7e2b2")),
                                           (1.0, rgb("#e2b565"))]))
    c.draw(Arc(24.0, 24.0, 17.6, 0.45, 0.0, 360.0), rgb("#c58f3c", 0.7))
    note = vgrad(10, 38, "#7a5220", "#3e2a0c")
    c.draw(Ellipse(17.0, 32.6, 3.7, 2.7, -22.0), note)
    c.draw(Ellipse(30.0, 29.6, 3.7, 2.7, -22.0), note)
    c.draw(Polygon([(19.8, 31.8), (21.2, 31.8), (21.2, 15.6), (19.8, 15.9)]), note)
    c.draw(Polygon([(32.8, 28.8), (34.2, 28.8), (34.2, 12.6), (32.8, 12.9)]), note)
    c.draw(Polygon([(19.8, 15.9), (34.2, 12.6), (34.2, 16.0), (19.8, 19.3)]), note)
    gloss(c, face & Ellipse(24.0, 12.0, 15.0, 9.0), 4, 20, 0.5)
    c.save_png("emblem.png")


def arrows_png():
    for name, colour in (("arrow_%s.png", "#5a4220"), ("arrow_%s_off.png", "#b8a583")):
        for way, pts in (("up", [(0.0, 4.0), (3.5, 0.2), (7.0, 4.0)]),
                         ("down", [(0.0, 0.0), (3.5, 3.8), (7.0, 0.0)])):
            c = Canvas(7, 4)
            c.draw(Polygon(pts), rgb(colour))
            c.save_png(name % way)


def check_png():
    for name, colour in (("check.png", "#6a4510"), ("check_off.png", "#b8a583")):
        c = Canvas(11, 11)
        c.draw(Polyline([(2.0, 5.6), (4.4, 8.2), (9.0, 2.4)], 1.05), rgb(colour))
        c.save_png(name)


# ---------------------------------------------------------------- waveform background

def back_bmp():
    w, h, mid = 520, 148, 74
    edge = (6, 9, 20)       # at the top and bottom
    centre = (18, 30, 54)   # near the middle line
    grid = (16, 22, 34)     # added on grid lines

    def base(y):
        t = abs(y - mid) / float(mid)
        t = t * t
        return tuple(centre[i] + (edge[i] - centre[i]) * t for i in range(3))

    rows = []
    for y in range(h):
        b = base(y)
        row = bytearray()
        for x in range(w):
            if y == mid:
                col = (150, 162, 182)
            else:
                boost = 0.0
                if y in (mid - 37, mid + 37):
                    boost = 0.75 if x % 2 == 0 else 0.35  # half-scale lines, dotted
                elif y in (mid - 18, mid - 55, mid + 18, mid + 55):
                    boost = 0.45 if x % 4 == 0 else 0.0
                if x % 52 == 51:
                    boost = max(boost, 0.6 if y % 2 == 0 else 0.3)
                col = tuple(b[i] + grid[i] * boost for i in range(3))
                if y == 0 or x == 0:                 # sunken frame: dark top and left
                    col = tuple(v * 0.45 for v in col)
                elif y == h - 1 or x == w - 1:       # light bottom and right
                    col = (46, 58, 84)
            row += bytes((int(round(col[2])), int(round(col[1])), int(round(col[0]))))
        rows.append(bytes(row))

    stride = w * 3  # 1560, a multiple of 4: no padding
    image = b"".join(reversed(rows))  # bottom-up
    header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(image), 0, 0, 14 + 40)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, stride * h, 2835, 2835, 0, 0)
    with open(os.path.join(HERE, "back.bmp"), "wb") as f:
        f.write(header + info + image)
    print("wrote %-18s %5d bytes" % ("back.bmp", 54 + len(image)))


def main():
    play_png()
    pause_png()
    stop_png()
    export_png()
    program_png()
    emblem_png()
    arrows_png()
    check_png()
    back_bmp()
    icon_svg()


if __name__ == "__main__":
    main()
