#!/usr/bin/python3
"""The motion engine against an independent numpy implementation of its
algorithm, on the reference avatar's motion directory (whose procedural
networks have numpy twins in tools/refavatar/motion.py).

usage: motion_reference.py LIBLE_CORE.so MOTION_DIR
Streams a clip of several chunks through the C API (20 ms pushes, a poll
after each), then compares the engine's final sequence (its LE_MOTION_DUMP)
and every pulled frame with the reference.
"""
import ctypes
import os
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
from refavatar import motion as M  # noqa: E402  (the networks' numpy twins)

TOL = 1e-4
LIPS = (6, 12, 14, 17, 19, 20)


def speech(seconds, seed=4):
    rng = np.random.default_rng(seed)
    n = int(seconds * 16000)
    x = np.zeros(n, np.float32)
    at = 1600
    while at < n:
        length = int(2400 + rng.random() * 4000)
        f0 = 110 + 80 * rng.random()
        t = np.arange(min(length, n - at)) / 16000.0
        env = np.sin(np.pi * np.arange(len(t)) / length)
        v = sum(np.sin(2 * np.pi * k * f0 * t) / k for k in range(1, 9))
        x[at:at + len(t)] = 0.3 * env * v
        at += length + int(8000 if rng.random() < 0.3 else 1200 + rng.random() * 2000)
    return x


def load(d, name, shape):
    return np.fromfile(os.path.join(d, name), "<f4").astype(np.float64).reshape(shape)


class Reference:
    """Part-by-part: windows, chunks, final sequence, frame emission."""

    def __init__(self, d):
        meta = __import__("json").load(open(os.path.join(d, "meta.json")))
        self.nt, self.n_emo, self.s_bridge = meta["nt"], meta["n_emo"], meta["s_bridge"]
        self.delta_pitch = meta.get("delta_pitch", 0.0)
        self.window = load(d, "hubert_stft_window.bin", (512,))
        self.binmat = load(d, "hubert_stft_binmat.bin", (257, 80))
        self.emo = load(d, "emo.bin", (self.n_emo, 8))
        self.ch = load(d, "ch_xs_info.bin", (328,))
        self.sc = load(d, "ch_sc.bin", (63,))
        self.eye_open = load(d, "ch_eye_open.bin", (2,))
        self.eye_ball = load(d, "ch_eye_ball.bin", (6,))
        vmm = load(d, "v_min_max.bin", (530,))
        self.vmin, self.vmax = vmm[:265], vmm[265:]
        self.src = load(d, "src_xs_info.bin", (self.nt, 328))
        self.target = load(d, "xs_target.bin", (self.nt, 63))

    def window_rows(self, audio, w):
        first = 640 * w - (6912 - 4480)
        mel = np.zeros((80, 21))
        for i in range(21):
            s = first + 320 * i + np.arange(512)
            frame = np.where((s >= 0) & (s < len(audio)), audio[np.clip(s, 0, len(audio) - 1)], 0.0)
            mag = np.abs(np.fft.rfft(frame * self.window))
            mel[:, i] = np.log(self.binmat.T @ mag + 1e-8)
        feat = M.student_np(mel[None])[0]
        rows = []
        for i in range(3, 8):
            r = w + i - 3
            rows.append(np.concatenate([(feat[2 * i] + feat[2 * i + 1]) * 0.5, self.emo[r % self.n_emo],
                                        self.eye_open, self.eye_ball, self.sc]))
        return rows

    @staticmethod
    def smooth(stored, a, b):
        n = len(stored)
        copy = stored.copy()
        for t in range(a, min(b, n)):
            stored[t, :202] = copy[max(t - 1, 0):min(t + 1, n - 1) + 1, :202].mean(axis=0)

    def final(self, audio):
        T = (len(audio) + 639) // 640
        cond, stored, w, c = [], None, 0, 0
        while stored is None or len(stored) < T:
            while len(cond) < 70 * c + 80:
                cond += self.window_rows(audio, w)
                w += 5
            block = np.array(cond[70 * c:70 * c + 80])[None]
            if c == 0:
                ch = self.ch
                seed = np.concatenate([[ch[258] - 1], ch[126:192], ch[262:328], ch[192:258], ch[259:262], ch[0:63]])
                stored = M.lmdm_np(seed[None], block)[0].copy()
                self.smooth(stored, 0, 80)
            else:
                n = len(stored)
                new = M.lmdm_np(stored[70 * c - 1][None], block)[0]
                k = np.arange(10)[:, None] / 10.0
                stored[n - 10:] = k * new[:10] + (1 - k) * stored[n - 10:]
                stored = np.concatenate([stored, new[10:]])
                self.smooth(stored, n - 10, n + 1)
            c += 1
        stored = stored[:T]
        final = stored.copy()
        for t in range(T):
            final[t, :202] = stored[max(t - 1, 0):min(t + 1, T - 1) + 1, :202].mean(axis=0)
        return np.clip(final, self.vmin, self.vmax)

    @staticmethod
    def bin66(x):
        p = np.exp(x - x.max())
        p /= p.sum()
        return 3 * (p * np.arange(66)).sum() - 97.5

    @staticmethod
    def pose_to_r(pitch, yaw, roll):
        a, b, c = np.radians([pitch, yaw, roll])
        sa, ca, sb, cb, sc, cc = np.sin(a), np.cos(a), np.sin(b), np.cos(b), np.sin(c), np.cos(c)
        return np.array([[cb * cc, cb * sc, -sb],
                         [sa * sb * cc - ca * sc, ca * cc + sa * sb * sc, sa * cb],
                         [ca * sb * cc + sa * sc, ca * sb * sc - sa * cc, ca * cb]])

    def frames(self, final):
        f = self.ch[258] / self.src[0, 258]
        g_ref = final[0, 202:]
        out = []
        for k, frame in enumerate(final):
            r = k % self.nt
            row = self.src[r]
            pitch, yaw, roll = self.bin66(row[126:192]), self.bin66(row[262:328]), self.bin66(row[192:258])
            rs, rd = self.pose_to_r(pitch, yaw, roll), self.pose_to_r(pitch + self.delta_pitch, yaw, roll)
            e_src = row[0:63].reshape(21, 3)
            e_drv = e_src.copy()
            g = frame[202:].reshape(21, 3)
            for kp in LIPS:
                e_drv[kp] = (g[kp] - g_ref.reshape(21, 3)[kp]) * f + e_src[kp]
            canon = row[63:126].reshape(21, 3)
            t = np.array([row[259], row[260], 0.0])
            source = (canon @ rs + e_src) * row[258] + t
            driving = (canon @ rd + e_drv) * row[258] + t
            refined = M.stitch_np(source, driving)
            out.append((r, self.target[r], self.target[r] + self.s_bridge * (refined - source).reshape(63)))
        return out


def engine(lib_path, d, audio, dump):
    lib = ctypes.CDLL(lib_path)
    lib.le_motion_create.restype = ctypes.c_void_p
    lib.le_motion_create.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p]
    lib.le_motion_last_error.restype = ctypes.c_char_p
    for name in ("le_motion_push", "le_motion_avail", "le_motion_pull", "le_motion_finish", "le_motion_total",
                 "le_motion_destroy"):
        getattr(lib, name).argtypes = [ctypes.c_void_p] + {
            "le_motion_push": [ctypes.POINTER(ctypes.c_float), ctypes.c_int],
            "le_motion_pull": [ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_float),
                               ctypes.POINTER(ctypes.c_float), ctypes.c_int]}.get(name, [])
    if dump:
        os.environ["LE_MOTION_DUMP"] = dump
    else:
        os.environ.pop("LE_MOTION_DUMP", None)
    m = lib.le_motion_create(d.encode(), 1, None)
    if not m:
        raise SystemExit("le_motion_create: %s" % lib.le_motion_last_error().decode())
    got = []
    idx = (ctypes.c_int * 64)()
    xs = (ctypes.c_float * (64 * 63))()
    out = (ctypes.c_float * (64 * 63))()

    def drain():
        while lib.le_motion_avail(m) > 0:
            n = lib.le_motion_pull(m, idx, xs, out, 64)
            for k in range(n):
                got.append((idx[k], np.array(xs[63 * k:63 * k + 63]), np.array(out[63 * k:63 * k + 63])))
        err = lib.le_motion_last_error().decode()
        if err:
            raise SystemExit(err)

    live = 0
    a = np.ascontiguousarray(audio, np.float32)
    for at in range(0, len(a), 320):
        part = a[at:at + 320]
        assert lib.le_motion_push(m, part.ctypes.data_as(ctypes.POINTER(ctypes.c_float)), len(part)) == 1
        drain()
    live = len(got)
    lib.le_motion_finish(m)
    drain()
    total = lib.le_motion_total(m)
    lib.le_motion_destroy(m)
    return got, live, total


def main(lib_path, d):
    audio = speech(9.0)
    ref = Reference(d)
    final = ref.final(audio.astype(np.float64))
    frames = ref.frames(final)
    with tempfile.TemporaryDirectory() as dump:
        got, live, total = engine(lib_path, d, audio, dump)
        ours = np.fromfile(os.path.join(dump, "final.bin"), "<f4").reshape(-1, 265)
    # Without dumps the engine drops audio and conditioning rows it no longer
    # needs; the frames must not change.
    again, _, _ = engine(lib_path, d, audio, None)
    same = len(again) == len(got) and all(np.array_equal(a[2], b[2]) for a, b in zip(again, got))
    print("without dumps (trimmed buffers): %s" % ("identical frames" if same else "FRAMES DIFFER"))
    T = len(final)
    print("clip %d frames (%d chunks); %d pulled while streaming, %d after finish" %
          (T, 1 + max(0, -(-(T - 80) // 70)), live, len(got) - live))
    fails = 0 if same else 1
    if total != T or ours.shape != final.shape:
        print("FAIL total %d / final %s, expected %d / %s" % (total, ours.shape, T, final.shape))
        return 1
    d_final = np.abs(ours - final).max()
    print("final sequence: max |engine - reference| = %.3g" % d_final)
    fails += d_final > TOL
    if len(got) != T:
        print("FAIL %d frames pulled, expected %d" % (len(got), T))
        return 1
    d_idx = sum(g[0] != f[0] for g, f in zip(got, frames))
    d_xs = max(np.abs(g[1] - f[1]).max() for g, f in zip(got, frames))
    d_out = max(np.abs(g[2] - f[2]).max() for g, f in zip(got, frames))
    lip = np.array([f[2][37] - f[1][37] for f in frames])
    print("pulled frames: %d idx differ, max |xs diff| %.3g, max |out diff| %.3g" % (d_idx, d_xs, d_out))
    print("lower-lip offset over the clip: min %.4f, max %.4f" % (lip.min(), lip.max()))
    fails += d_idx > 0 or d_xs > TOL or d_out > TOL
    fails += not (lip.max() - lip.min() > 0.01)  # the audio moves the lips
    fails += not (live > 0)                       # frames came while streaming
    print("motion reference: %s" % ("FAIL" if fails else "ok"))
    return 1 if fails else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
