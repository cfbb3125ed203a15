"""The lip contour's raster against an independent numpy rasterisation of the same polygons: every pixel clearly
inside (even-odd rule, more than a pixel from any edge) is filled, every pixel clearly outside is not, and the
chamfer distance stays within its known error of the exact Euclidean distance to the filled set.

usage: lip_raster_check.py PROBE"""
import subprocess
import sys

import numpy as np

CANVAS, FEATHER = 64, 4.0
POLYGONS = {
    "diamond": [(32, 10), (52, 32), (32, 54), (12, 32)],
    "star": [(32 + (24 if k % 2 == 0 else 10) * np.cos(k * np.pi / 5), 32 + (24 if k % 2 == 0 else 10) *
              np.sin(k * np.pi / 5)) for k in range(10)],
    "sliver": [(8.4, 30.2), (56.6, 33.5), (8.4, 31.4)],
    "clipped": [(-10, 5), (40, -8), (70, 40), (20, 60.5)],
    "bowtie": [(10, 10), (54, 54), (54, 10), (10, 54)],
    "lip": [(14.2, 32), (24, 25.7), (32, 27.5), (40, 25.7), (49.8, 32), (40, 39.3), (32, 40.6), (24, 39.3)],
}


def segment_distance(px, py, a, b):
    ax, ay = a
    bx, by = b
    dx, dy = bx - ax, by - ay
    length = dx * dx + dy * dy
    t = np.zeros_like(px) if length == 0 else np.clip(((px - ax) * dx + (py - ay) * dy) / length, 0, 1)
    return np.hypot(px - (ax + t * dx), py - (ay + t * dy))


def check(name, poly):
    args = [str(CANVAS), str(FEATHER)] + ["%.6f" % c for p in poly for c in p]
    out = subprocess.run([sys.argv[1]] + args, check=True, capture_output=True, text=True).stdout.split("\n")
    x0, y0, x1, y1 = map(int, out[0].split())
    h, w = y1 - y0, x1 - x0
    fill = np.array([[c == "1" for c in row] for row in out[1:1 + h]], dtype=bool).reshape(h, w)
    chamfer = np.array([list(map(float, row.split())) for row in out[1 + h:1 + 2 * h]]).reshape(h, w)

    verts = [(np.rint(x - x0), np.rint(y - y0)) for x, y in poly]
    py, px = np.mgrid[0:h, 0:w].astype(float)
    inside = np.zeros((h, w), dtype=bool)
    edge = np.full((h, w), np.inf)
    for i, a in enumerate(verts):
        b = verts[(i + 1) % len(verts)]
        edge = np.minimum(edge, segment_distance(px, py, a, b))
        if a[1] != b[1]:
            crosses = (a[1] > py) != (b[1] > py)
            at = a[0] + (py - a[1]) * (b[0] - a[0]) / (b[1] - a[1])
            inside ^= crosses & (px < at)
    clear = edge > 1.0
    missing = np.argwhere(inside & clear & ~fill)
    extra = np.argwhere(~inside & clear & fill)
    assert missing.size == 0, "%s: pixels inside not filled: %s" % (name, missing[:5].tolist())
    assert extra.size == 0, "%s: pixels outside filled: %s" % (name, extra[:5].tolist())
    assert fill[edge < 0.3].all(), "%s: a pixel on an edge is not filled" % name

    filled = np.argwhere(fill)
    exact = np.min(np.hypot(py[..., None] - filled[:, 0], px[..., None] - filled[:, 1]), axis=-1)
    err = np.abs(chamfer - exact) - (0.05 * exact + 0.1)
    assert (err <= 0).all(), "%s: chamfer off by %.3f at %s" % (name, err.max(), np.argwhere(err > 0)[0].tolist())
    return int(fill.sum())


def main():
    for name, poly in POLYGONS.items():
        print("%s: %d pixels filled, raster and distance agree" % (name, check(name, poly)))


if __name__ == "__main__":
    main()
