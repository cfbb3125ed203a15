#!/usr/bin/python3
"""Speaker normalisation and the 7-frame context of the whole-clip delta model
against numpy, written from the formulas: a frame is voiced when its norm
exceeds 0 (t <= 6) or the 0.2-quantile of the norms of frames 0..t (numpy's
linear interpolation); each frame loses the running mean of the voiced frames
so far; the context of t stacks frames t-1 ... t+5 clamped to the clip.

usage: fca_reference.py FCA_PROBE
"""
import os
import subprocess
import sys
import tempfile

import numpy as np


def reference(f):
    T = len(f)
    e = np.linalg.norm(f.astype(np.float64), axis=1)
    out = np.empty_like(f, dtype=np.float64)
    total, count = np.zeros(f.shape[1]), 0
    for t in range(T):
        thr = 0.0 if t <= 6 else np.quantile(e[:t + 1], 0.2)
        if e[t] > thr:
            total += f[t]
            count += 1
        out[t] = f[t] - total / max(count, 1)
    ctx = np.stack([np.concatenate([out[min(max(t + o, 0), T - 1)] for o in range(-1, 6)]) for t in range(T)])
    return out, ctx


def main(probe):
    rng = np.random.default_rng(7)
    fails = 0
    for T in (1, 5, 9, 160):
        # Loud and quiet stretches, so the threshold moves and some frames are not voiced.
        loud = (np.sin(np.arange(T) / 6.0) > -0.3)[:, None]
        f = (rng.standard_normal((T, 768)) * np.where(loud, 1.0, 0.05) + np.where(loud, 0.5, 0.0)).astype(np.float32)
        with tempfile.TemporaryDirectory() as d:
            src, a, b = (os.path.join(d, n) for n in ("f.f32", "n.f32", "c.f32"))
            f.tofile(src)
            subprocess.run([probe, src, str(T), a, b], check=True)
            got = np.fromfile(a, np.float32).reshape(T, 768)
            got_ctx = np.fromfile(b, np.float32).reshape(T, 7 * 768)
        want, want_ctx = reference(f)
        dn, dc = np.abs(got - want).max(), np.abs(got_ctx - want_ctx).max()
        voiced = sum(1 for t in range(T) if np.linalg.norm(f[t]) > (0 if t <= 6 else
                                                                     np.quantile(np.linalg.norm(f[:t + 1], axis=1), 0.2)))
        print("T=%3d: %3d voiced frames, max |normalised diff| %.3g, max |context diff| %.3g" % (T, voiced, dn, dc))
        fails += dn > 1e-4 or dc > 1e-4
    print("fca reference: %s" % ("FAIL" if fails else "ok"))
    return 1 if fails else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
