#!/usr/bin/python3
"""Draws the console's images: status lamps, network, device and client icons
and the application logo, as RGBA PNG files.

    draw_images.py OUTPUT_DIR   writes every image into OUTPUT_DIR
    draw_images.py --list       prints the file names, one a line

Standard library only, and deterministic: the same script gives the same bytes.
"""

import math
import os
import struct
import sys
import zlib

SUBSAMPLES = 8  # per axis, only on pixels that an edge crosses

# --- shapes ---------------------------------------------------------------
# A shape is a signed distance function in pixels, negative inside. Away
# from the edge it may underestimate but never overestimate: fill() relies on
# that to supersample only the pixels an edge can cross.


def circle(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


def ellipse(cx, cy, rx, ry):
    m = min(rx, ry)
    return lambda x, y: (math.hypot((x - cx) / rx, (y - cy) / ry) - 1.0) * m


def rrect(x0, y0, x1, y1, r=0.0):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - r, (y1 - y0) / 2 - r

    def d(x, y):
        qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
        return math.hypot(max(qx, 0.0), max(qy, 0.0)) + min(max(qx, qy), 0.0) - r
    return d


def line(x0, y0, x1, y1, width):
    """A stroke with round caps."""
    dx, dy = x1 - x0, y1 - y0
    ll = dx * dx + dy * dy or 1.0

    def d(x, y):
        t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / ll))
        return math.hypot(x - x0 - t * dx, y - y0 - t * dy) - width / 2
    return d


def union(*shapes):
    return lambda x, y: min(s(x, y) for s in shapes)


def intersect(a, b):
    return lambda x, y: max(a(x, y), b(x, y))


def outline(shape, width):
    """A stroke of the given width centred on the shape's edge."""
    return lambda x, y: abs(shape(x, y)) - width / 2


def polar(cx, cy, r, deg):
    a = math.radians(deg)
    return cx + r * math.cos(a), cy - r * math.sin(a)


def arc(cx, cy, r, deg0, deg1, width, steps=24):
    """A round-capped arc as a fine polyline, counter-clockwise from deg0."""
    pts = [polar(cx, cy, r, deg0 + (deg1 - deg0) * i / steps) for i in range(steps + 1)]
    return union(*(line(*p, *q, width) for p, q in zip(pts, pts[1:])))


# --- paints: colour as a function of position -----------------------------

def rgba(hexcolor, alpha=1.0):
    h = hexcolor.lstrip('#')
    return (int(h[0:2], 16) / 255, int(h[2:4], 16) / 255, int(h[4:6], 16) / 255, alpha)


WHITE = '#ffffff'


def _colour(c):
    return rgba(c) if isinstance(c, str) else c


def _stop_at(stops, t):
    t = max(0.0, min(1.0, t))
    for (t0, c0), (t1, c1) in zip(stops, stops[1:]):
        if t <= t1:
            f = (t - t0) / (t1 - t0) if t1 > t0 else 0.0
            return tuple(a + (b - a) * f for a, b in zip(c0, c1))
    return stops[-1][1]


def _stops(colours):
    """Evenly spaced colours, or explicit (position, colour) pairs."""
    if isinstance(colours[0], tuple) and len(colours[0]) == 2:
        return [(t, _colour(c)) for t, c in colours]
    n = len(colours) - 1
    return [(i / n, _colour(c)) for i, c in enumerate(colours)]


def solid(c):
    c = _colour(c)
    return lambda x, y: c


def linear(x0, y0, x1, y1, *colours):
    stops = _stops(colours)
    dx, dy = x1 - x0, y1 - y0
    ll = dx * dx + dy * dy
    return lambda x, y: _stop_at(stops, ((x - x0) * dx + (y - y0) * dy) / ll)


def radial(cx, cy, r, *colours):
    stops = _stops(colours)
    return lambda x, y: _stop_at(stops, math.hypot(x - cx, y - cy) / r)


# --- canvas ---------------------------------------------------------------

class Canvas:
    def __init__(self, size):
        self.size = size
        self.px = [0.0] * (size * size * 4)  # premultiplied RGBA

    def fill(self, shape, paint):
        offsets = [(i + 0.5) / SUBSAMPLES - 0.5 for i in range(SUBSAMPLES)]
        for py in range(self.size):
            for px in range(self.size):
                x, y = px + 0.5, py + 0.5
                d = shape(x, y)
                if d >= 0.75:  # beyond half a pixel diagonal: untouched
                    continue
                if d <= -0.75:
                    cover = 1.0
                else:
                    hits = sum(1 for oy in offsets for ox in offsets if shape(x + ox, y + oy) < 0)
                    if not hits:
                        continue
                    cover = hits / SUBSAMPLES ** 2
                self._blend(px, py, paint(x, y), cover)

    def shadow(self, shape, colour, blur):
        """A soft fill that fades out over `blur` pixels around the edge."""
        c = _colour(colour)
        for py in range(self.size):
            for px in range(self.size):
                cover = 0.5 - shape(px + 0.5, py + 0.5) / blur
                if cover > 0:
                    self._blend(px, py, c, min(cover, 1.0))

    def _blend(self, px, py, colour, cover):
        r, g, b, a = colour
        a *= cover
        i = (py * self.size + px) * 4
        p = self.px
        keep = 1.0 - a
        p[i] = r * a + p[i] * keep
        p[i + 1] = g * a + p[i + 1] * keep
        p[i + 2] = b * a + p[i + 2] * keep
        p[i + 3] = a + p[i + 3] * keep

    def rgba_bytes(self):
        out = bytearray()
        p = self.px
        for i in range(0, len(p), 4):
            a = p[i + 3]
            if a <= 0.0:
                out += b'\0\0\0\0'
                continue
            out += bytes(min(255, round(v / a * 255)) for v in p[i:i + 3])
            out.append(min(255, round(a * 255)))
        return bytes(out)


def write_png(path, canvas):
    n = canvas.size
    data = canvas.rgba_bytes()
    rows = b''.join(b'\0' + data[y * n * 4:(y + 1) * n * 4] for y in range(n))

    def chunk(tag, body):
        return (struct.pack('>I', len(body)) + tag + body
                + struct.pack('>I', zlib.crc32(tag + body) & 0xffffffff))
    png = (b'\x89PNG\r\n\x1a\n'
           + chunk(b'IHDR', struct.pack('>IIBBBBB', n, n, 8, 6, 0, 0, 0))
           + chunk(b'IDAT', zlib.compress(rows, 9))
           + chunk(b'IEND', b''))
    tmp = path + '.tmp'
    with open(tmp, 'wb') as f:
        f.write(png)
    os.replace(tmp, path)  # a build interrupted mid-write leaves no broken image


# --- the images -----------------------------------------------------------

def lamp(light, mid, dark, glare):
    def draw(c):
        # Recessed bezel: shaded on top, lit below.
        c.fill(circle(8, 8, 7.6), linear(0, 1, 0, 15, '#4b5157', '#c9ced3'))
        c.fill(circle(8, 8, 6.4), radial(8, 9.6, 7.2, (0.0, light), (0.4, mid), (1.0, dark)))
        c.fill(ellipse(8, 5.2, 4.0, 2.6), linear(0, 2.6, 0, 7.8, rgba(WHITE, glare), rgba(WHITE, 0.04)))
    return draw


def network(c):
    dark = '#1d3347'
    wire = '#48647f'  # mid tone: readable on light and dark panels
    c.fill(line(4, 17, 28, 17, 2.6), solid(wire))
    for x0 in (1.5, 27.5):  # bus terminators
        c.fill(rrect(x0, 14, x0 + 3, 20, 0.8), linear(0, 14, 0, 20, '#f5a449', '#c46612'))
    for x, y0, y1 in ((8, 10, 17), (24, 10, 17), (16, 17, 22)):
        c.fill(line(x, y0, x, y1, 1.6), solid(wire))
    for x0, y0 in ((3, 3), (19, 3), (11, 22)):
        c.fill(rrect(x0, y0, x0 + 10, y0 + 8, 1.6), solid(dark))
        c.fill(rrect(x0 + 1, y0 + 1, x0 + 9, y0 + 7, 0.9),
               linear(0, y0 + 1, 0, y0 + 7, '#8ccaff', '#2a74c4'))
        c.fill(rrect(x0 + 1, y0 + 1, x0 + 9, y0 + 3.5, 0.9), solid(rgba(WHITE, 0.25)))
    for x in (8, 16, 24):  # taps on the bus
        c.fill(circle(x, 17, 1.9), solid('#f08a1c'))


def client(c):
    c.fill(rrect(3, 4, 29, 23, 2), linear(0, 4, 0, 23, '#59626b', '#262c31'))
    screen = rrect(5, 6, 27, 21, 0.8)
    c.fill(screen, linear(5, 6, 27, 21, '#93d1ff', '#2b78cc', '#174f96'))
    c.fill(intersect(screen, lambda x, y: (x + y - 24) / 1.4142), solid(rgba(WHITE, 0.18)))
    c.fill(circle(26, 22, 0.7), solid('#5be36a'))
    c.fill(rrect(14, 23, 18, 26.5), linear(14, 0, 18, 0, '#6c747c', '#9aa2aa', '#5f676f'))
    c.fill(rrect(9, 26, 23, 29, 1.3), linear(0, 26, 0, 29, '#b4bbc2', '#59616a'))


def device(c):
    c.shadow(rrect(4, 6, 28, 28, 3), rgba('#000000', 0.35), 1.5)
    c.fill(rrect(4, 5, 28, 27, 3), solid('#3d4650'))
    c.fill(rrect(5, 6, 27, 26, 2.2), linear(0, 6, 0, 26, '#f4f6f8', '#c1c8cf'))
    c.fill(rrect(7.5, 8.5, 24.5, 15.5, 1), linear(0, 8.5, 0, 15.5, '#24343f', '#121b21'))
    c.fill(line(10, 11, 19, 11, 1.2), solid('#7df08a'))
    c.fill(line(10, 13.2, 15, 13.2, 1.0), solid(rgba('#7df08a', 0.6)))
    c.fill(circle(10, 20.5, 1.5), radial(9.6, 20.1, 1.6, '#c8ffb8', '#2fb52a'))
    c.fill(circle(14.5, 20.5, 1.5), radial(14.1, 20.1, 1.6, '#fff1b0', '#e0a400'))
    c.fill(rrect(18, 18.5, 24.5, 22.5, 1.2), linear(0, 18.5, 0, 22.5, '#8d959d', '#5a626a'))


SEGMENTS = {'0': 'abcdef', '1': 'bc', '2': 'abdeg', '3': 'abcdg', '4': 'bcfg',
            '5': 'acdfg', '6': 'acdefg', '7': 'abc', '8': 'abcdefg', '9': 'abcdfg'}


def seven_segment(c, text, x, y, w, h, thick, colour):
    gap = thick * 0.45
    strokes = []
    for ch in text:
        m = y + h / 2
        ends = {'a': (x, y, x + w, y), 'b': (x + w, y, x + w, m), 'c': (x + w, m, x + w, y + h),
                'd': (x, y + h, x + w, y + h), 'e': (x, m, x, y + h), 'f': (x, y, x, m),
                'g': (x, m, x + w, m)}
        for s in SEGMENTS[ch]:
            x0, y0, x1, y1 = ends[s]
            gx, gy = (gap if x1 > x0 else 0), (gap if y1 > y0 else 0)
            strokes.append(line(x0 + gx, y0 + gy, x1 - gx, y1 - gy, thick))
        x += w + thick + 1.6
    c.fill(union(*strokes), solid(colour))


def temperature_controller(c):
    c.shadow(rrect(2, 3, 30, 31, 3), rgba('#000000', 0.35), 1.5)
    c.fill(rrect(2, 2, 30, 30, 3), linear(0, 2, 0, 30, '#59616a', '#1b1f23'))
    c.fill(rrect(3.2, 3.2, 28.8, 28.8, 2.2), solid('#2a3035'))
    c.fill(rrect(5, 5, 27, 15.5, 1), solid('#1a0605'))
    seven_segment(c, '235', 8.2, 6.8, 3.6, 6.8, 1.25, '#ff4032')
    c.fill(rrect(5, 17, 27, 22.5, 1), solid('#06160a'))
    seven_segment(c, '240', 11.6, 18.2, 2.4, 3.2, 0.95, '#5df068')
    c.fill(circle(7.6, 19.8, 1.0), solid('#ffb020'))  # output lamp
    for x0 in (5.5, 11.2, 16.9, 22.6):
        c.fill(rrect(x0, 24.3, x0 + 3.9, 27, 0.9), linear(0, 24.3, 0, 27, '#d9dee3', '#8a939b'))


def pressure_transmitter(c):
    cx, cy = 16, 13

    def at(f):  # dial position 0..1 to degrees, a 270 degree sweep
        return 225 - 270 * f
    c.fill(rrect(12, 23, 20, 27.5, 0.8), linear(12, 0, 20, 0, '#9aa3ab', '#eef1f4', '#7b848c'))
    c.fill(rrect(13.5, 27, 18.5, 31, 0.5), linear(13.5, 0, 18.5, 0, '#b8a06a', '#f0dca6', '#9a8148'))
    for y in (28.3, 29.8):
        c.fill(line(13.5, y, 18.5, y, 0.6), solid(rgba('#5c4a22', 0.7)))
    c.shadow(circle(cx, cy + 0.8, 11.6), rgba('#000000', 0.35), 1.5)
    c.fill(circle(cx, cy, 11.6), linear(6, 3, 26, 23, '#fbfcfd', '#b7bfc6', '#6a737b'))
    c.fill(circle(cx, cy, 10.2), solid('#353c43'))
    c.fill(circle(cx, cy, 9.5), radial(cx, cy - 3, 13, '#ffffff', '#dfe5ea'))
    c.fill(arc(cx, cy, 7.8, at(0.62), at(0.0), 1.5), solid('#3cb043'))
    c.fill(arc(cx, cy, 7.8, at(1.0), at(0.82), 1.5), solid('#e0342a'))
    c.fill(union(*(line(*polar(cx, cy, 5.6, at(k / 4)), *polar(cx, cy, 8.6, at(k / 4)), 0.8)
                   for k in range(5))), solid('#2a3035'))
    c.fill(line(cx, cy, *polar(cx, cy, 7.6, at(0.68)), 1.5), solid('#c8261c'))
    c.fill(circle(cx, cy, 1.9), radial(cx - 0.5, cy - 0.5, 2.2, '#6d767e', '#1f2429'))
    c.fill(ellipse(cx - 3, cy - 5, 4.5, 2.2), solid(rgba(WHITE, 0.35)))


def plc(c):
    c.fill(rrect(1, 14, 31, 19, 0.5), linear(0, 14, 0, 19, '#d9dde1', '#8a939b', '#b3bac1'))
    c.shadow(rrect(5, 5, 28, 29, 1.2), rgba('#000000', 0.35), 1.5)
    for x0, x1 in ((5, 11), (10, 19), (18, 24), (23, 29)):  # overlapping: one-pixel seams
        c.fill(rrect(x0, 3, x1, 28, 1.2), solid('#333a41'))
        c.fill(rrect(x0 + 1, 4, x1 - 1, 27, 0.6), linear(0, 4, 0, 27, '#e9ecef', '#b9c0c7'))
    c.fill(rrect(12, 6, 17, 10, 0.6), linear(0, 6, 0, 10, '#4c8fd8', '#1f5a9e'))
    c.fill(circle(13.5, 13.5, 1.1), solid('#3fd14a'))
    c.fill(circle(16, 13.5, 1.1), solid('#f2b01e'))
    c.fill(rrect(12.5, 20.5, 16.5, 25, 0.5), solid('#2b3136'))
    c.fill(rrect(13.3, 21.3, 15.7, 23.2, 0.3), solid('#c9a34a'))
    c.fill(circle(8, 7.5, 1.1), solid('#3fd14a'))
    for y in (11.5, 13.5, 15.5, 17.5, 19.5):  # vents, on pixel rows to stay crisp
        c.fill(line(7, y, 9, y, 1.0), solid('#6b737b'))
    for x0 in (18, 23):
        for ty in (4, 22.5):  # terminal strips with their screws
            c.fill(rrect(x0 + 1, ty, x0 + 5, ty + 4.5, 0.4), solid('#3f7f4a'))
            for sy in (ty + 1.3, ty + 3.3):
                c.fill(circle(x0 + 3, sy, 0.75), solid('#cfd6dc'))
        for i, y in enumerate((11, 13.5, 16, 18.5)):
            on = (i + x0) % 3 != 0
            c.fill(circle(x0 + 3, y, 0.8), solid('#47e052' if on else '#6a7a6c'))


def logo(c):
    u = c.size / 64

    def s(*v):
        return [a * u for a in v]
    body = rrect(*s(2, 2, 62, 62, 13))
    c.shadow(rrect(*s(2, 3.5, 62, 63.5, 13)), rgba('#000000', 0.3), 2 * u)
    c.fill(body, linear(*s(0, 2, 0, 62), '#2f95e0', '#0e4a86'))
    c.fill(intersect(body, ellipse(*s(32, -10, 46, 36))), solid(rgba(WHITE, 0.12)))
    cx = cy = 32 * u
    nodes = [polar(cx, cy, 19 * u, 90 + 60 * k) for k in range(6)]
    c.fill(outline(circle(cx, cy, 19 * u), 2.2 * u), solid(rgba(WHITE, 0.5)))
    c.fill(union(*(line(cx, cy, x, y, 3.2 * u) for x, y in nodes)), solid(rgba(WHITE, 0.9)))
    for x, y in nodes:
        c.fill(circle(x, y, 5.2 * u), linear(0, y - 5 * u, 0, y + 5 * u, '#ffffff', '#cfe3f6'))
    c.fill(circle(cx, cy, 10 * u), solid(WHITE))
    c.fill(circle(cx, cy, 7.8 * u), linear(0, cy - 8 * u, 0, cy + 8 * u, '#ffc15a', '#ec6f0c'))


IMAGES = {
    # the status lamps: unlit, request pending, succeeded, failed
    'unlit-led.png': (16, lamp('#8d949a', '#4b5156', '#202326', 0.45)),
    'yellow-led.png': (16, lamp('#fff8b8', '#f4c400', '#7d5800', 0.85)),
    'green-led.png': (16, lamp('#c6ffb0', '#39c42f', '#0c5410', 0.85)),
    'red-led.png': (16, lamp('#ffb8a8', '#e5261c', '#6a0806', 0.85)),
    'network.png': (32, network),
    'client.png': (32, client),
    'device.png': (32, device),
    'plc.png': (32, plc),
    'temperature-controller.png': (32, temperature_controller),
    'pressure-transmitter.png': (32, pressure_transmitter),
    'plexord.png': (64, logo),
    'plexord-32.png': (32, logo),
}


def main(argv):
    if len(argv) != 2:
        sys.stderr.write('usage: draw_images.py OUTPUT_DIR | --list\n')
        return 2
    if argv[1] == '--list':
        print('\n'.join(IMAGES))
        return 0
    os.makedirs(argv[1], exist_ok=True)
    for name, (size, draw) in IMAGES.items():
        canvas = Canvas(size)
        draw(canvas)
        write_png(os.path.join(argv[1], name), canvas)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
