"""Screenshots of a real X window, read back as pixels (ImageMagick's `import`)."""

import collections
import os
import subprocess


class Picture:
    """An RGB picture: `pixel(x, y)` is an (r, g, b) tuple."""

    def __init__(self, width, height, rgb):
        self.width, self.height, self.rgb = width, height, rgb

    def pixel(self, x, y):
        at = 3 * (y * self.width + x)
        return tuple(self.rgb[at:at + 3])

    def row(self, y, x0=0, x1=None):
        return [self.pixel(x, y) for x in range(x0, self.width if x1 is None else x1)]

    def area(self, rect):
        """Every pixel of rect = (x, y, w, h), row by row."""
        x, y, w, h = rect
        return [self.pixel(x + i, y + j) for j in range(h) for i in range(w)]

    def dominant(self, rect):
        """The commonest colour in rect: a part's background."""
        return collections.Counter(self.area(rect)).most_common(1)[0][0]

    def rows_with(self, rect, predicate):
        """Rows of rect (counted from its top) holding a pixel for which predicate holds."""
        x, y, w, h = rect
        return [j for j in range(h) if any(predicate(self.pixel(x + i, y + j)) for i in range(w))]

    def same_as(self, other, rect):
        return self.area(rect) == other.area(rect)


def _parse_ppm(data):
    """A binary PPM (P6, 8-bit) as a Picture."""
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        if data[at:at + 1] == b"#":
            at = data.index(b"\n", at) + 1
            continue
        start = at
        while not data[at:at + 1].isspace():
            at += 1
        fields.append(data[start:at])
    magic, width, height, maxval = fields[0], int(fields[1]), int(fields[2]), int(fields[3])
    if magic != b"P6" or maxval != 255:
        raise ValueError("not an 8-bit binary PPM: %r, maxval %d" % (magic, maxval))
    rgb = data[at + 1:at + 1 + 3 * width * height]
    if len(rgb) != 3 * width * height:
        raise ValueError("PPM data cut short")
    return Picture(width, height, rgb)


def _import(display, window, target):
    env = dict(os.environ, DISPLAY=display)
    return subprocess.run(["import", "-window", str(window), "-depth", "8", target], env=env, check=True,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60).stdout


def grab(display, window="root"):
    """What the X server `display` shows of `window` (an id, or "root") now."""
    return _parse_ppm(_import(display, window, "ppm:-"))


def save_png(display, window, path):
    """The same screenshot as a PNG file (for the README's picture)."""
    _import(display, window, "png:" + path)
