"""The blend head's forward pass against an independent numpy implementation of the same pooling, convolutions,
bilinear upsampling and softmax: random weights written as a state-dict archive, random candidate windows.

usage: head_forward_check.py PROBE"""
import os
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from refavatar import teeth  # noqa: E402


def pool2(x):
    h, w = x.shape[-2] // 2, x.shape[-1] // 2
    return x[..., :2 * h, :2 * w].reshape(x.shape[:-2] + (h, 2, w, 2)).mean(axis=(-1, -3))


def conv3x3(x, w, b):
    """x [N, Ci, H, W], w [Co, Ci, 3, 3]: same-size output, zero padding."""
    n, _, H, W = x.shape
    xp = np.pad(x, ((0, 0), (0, 0), (1, 1), (1, 1)))
    out = np.broadcast_to(b[None, :, None, None], (n, w.shape[0], H, W)).copy()
    for ky in range(3):
        for kx in range(3):
            out += np.einsum("oi,nihw->nohw", w[:, :, ky, kx], xp[:, :, ky:ky + H, kx:kx + W])
    return out


def upsample(x, H, W):
    """Bilinear at half-pixel centres, neighbours clamped at the last row and column."""
    h, w = x.shape[-2:]
    def axis(n_out, n_in):
        s = np.maximum(0.0, (np.arange(n_out) + 0.5) * n_in / n_out - 0.5)
        i0 = np.minimum(np.floor(s).astype(int), n_in - 1)
        return i0, np.minimum(i0 + 1, n_in - 1), s - i0
    y0, y1, fy = axis(H, h)
    x0, x1, fx = axis(W, w)
    top = x[..., y0, :][..., :, x0] * (1 - fx) + x[..., y0, :][..., :, x1] * fx
    bot = x[..., y1, :][..., :, x0] * (1 - fx) + x[..., y1, :][..., :, x1] * fx
    return top * (1 - fy)[:, None] + bot * fy[:, None]


def reference(t, cand, query, band):
    K = cand.shape[0]
    cp, qp = pool2(cand), pool2(query)
    x = np.concatenate([cp, np.broadcast_to(qp, cp.shape), np.abs(cp - qp).mean(axis=1, keepdims=True)], axis=1)
    a = np.maximum(conv3x3(x, t["cand.0.weight"], t["cand.0.bias"]), 0)
    a = np.maximum(conv3x3(a, t["cand.2.weight"], t["cand.2.bias"]), 0)
    logit = upsample(conv3x3(a, t["cand.4.weight"], t["cand.4.bias"])[:, 0], *query.shape[-2:])
    e = np.exp(logit - logit.max(axis=0))
    weights = np.concatenate([e / e.sum(axis=0), np.zeros((1,) + logit.shape[1:])])
    blended = np.where(band, np.einsum("khw,kchw->chw", weights[:K], cand), query)
    return blended, weights


def main():
    rng = np.random.default_rng(7)
    for WH, WW, K, r0, r1, c0, c1 in ((16, 24, 3, 4, 12, 4, 20), (13, 10, 5, 0, 13, 2, 9)):
        t = {n: (rng.standard_normal(s) * 0.4).astype(np.float32) for n, s in teeth.BLEND_HEAD}
        cand = rng.random((K, 3, WH, WW)).astype(np.float32)
        query = rng.random((3, WH, WW)).astype(np.float32)
        with tempfile.TemporaryDirectory() as d:
            pt, inp, out = (os.path.join(d, f) for f in ("h.pt", "in.f32", "out.f32"))
            with open(pt, "wb") as f:
                f.write(teeth.head_pt([(n, t[n]) for n, _ in teeth.BLEND_HEAD]))
            np.concatenate([cand.ravel(), query.ravel()]).tofile(inp)
            subprocess.run([sys.argv[1]] + [str(v) for v in (WH, WW, r0, r1, c0, c1, K)] + [pt, inp, out], check=True)
            got = np.fromfile(out, np.float32)
        band = np.zeros((WH, WW), bool)
        band[r0:r1, c0:c1] = True
        blended, weights = reference({k: v.astype(np.float64) for k, v in t.items()}, cand.astype(np.float64),
                                     query.astype(np.float64), band)
        gb, gw = got[:blended.size].reshape(blended.shape), got[blended.size:].reshape(weights.shape)
        eb, ew = np.abs(gb - blended).max(), np.abs(gw - weights).max()
        assert eb <= 1e-5 and ew <= 1e-5, "window %dx%d K=%d: blended off by %g, weights by %g" % (WW, WH, K, eb, ew)
        print("window %dx%d, K=%d: blended within %.1e, weights within %.1e of numpy" % (WW, WH, K, eb, ew))


if __name__ == "__main__":
    main()
