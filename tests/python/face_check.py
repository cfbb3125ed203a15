# What a viewer sees of the avatar's face while it speaks, measured from the frames an utterance session renders
# (the mouth bank armed when the bundle carries one, as the main job runs it), for a synthesised sentence and for
# recorded human voices:
#
#   upper    the region above the upper lip against the frame rendered for the same driver frame in silence
#            (mean absolute difference in levels, the worst speech frame)
#   r        Pearson correlation of the mouth's opening (the darkness of the mouth's box beyond the silent
#            frame's) with the speech energy of the frame's audio
#   burst    the largest change of the mouth region between consecutive frames, over the median change during
#            loud speech
#
# usage: LE_CORE_LIB=... W2V_ONNX=... python3 face_check.py BUNDLE [--strict] [--no-bank]
# --strict exits 1 unless upper <= 1, r >= 0.6 and burst <= 3 for every voice.
import os
import subprocess
import sys
import tempfile
import time
import wave

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
import le_core  # noqa: E402

SENTENCE = "Hello! I am the demo avatar. I listen to speech, and my lips follow what you say, in real time."
PROMPTS = ("Front_Center", "Front_Left", "Rear_Center", "Side_Right")
LEVEL_DB = -20.0   # every voice is brought to this level over its voiced frames
DARK = 70          # luma below which a mouth pixel counts as the mouth's interior


def read_wav(path):
    with wave.open(path) as w:
        rate, ch = w.getframerate(), w.getnchannels()
        x = np.frombuffer(w.readframes(w.getnframes()), np.int16).astype(np.float64)
    return x.reshape(-1, ch).mean(axis=1) / 32768.0, rate


def resample(x, rate, to=16000):
    """By the spectrum: band-limited to the lower rate's Nyquist frequency."""
    n = int(round(len(x) * to / rate))
    spec = np.fft.rfft(x)
    keep = n // 2 + 1
    out = np.zeros(keep, complex)
    out[:min(keep, len(spec))] = spec[:min(keep, len(spec))]
    return np.fft.irfft(out, n) * n / len(x)


def levelled(x):
    frames = x[:len(x) // 640 * 640].reshape(-1, 640)
    rms = np.sqrt((frames ** 2).mean(axis=1) + 1e-12)
    voiced = rms[rms >= np.percentile(rms, 50)]
    gain = 10 ** (LEVEL_DB / 20) / np.sqrt((voiced ** 2).mean())
    return np.clip(x * gain, -1, 1)


def voices(tmp):
    wav = os.path.join(tmp, "sentence.wav")
    subprocess.run(["espeak-ng", "-w", wav, SENTENCE], check=True)
    out = [("synthesised", levelled(resample(*read_wav(wav))))]
    recorded = [resample(*read_wav("/usr/share/sounds/alsa/%s.wav" % p)) for p in PROMPTS]
    gap = np.zeros(8000)
    out.append(("recorded", levelled(np.concatenate([np.concatenate([r, gap]) for r in recorded]))))
    return out


def regions(ctx, bundle):
    """Boolean masks over the frame: above the upper lip and the mouth's box, from the crop's keypoints through
    the crop transform of driver frame 0 (the idle loop moves it by a fraction of a pixel)."""
    xs = np.fromfile(le_core.resolve_member(bundle, "xs_target.bin"), np.float32).reshape(-1, 21, 3)[0]
    c = ctx.crop
    px = lambda v: (v + 1) * (c - 1) / 2
    M = ctx.crop_transform(0).astype(np.float64)
    A, t = M[:, :2], M[:, 2]
    yy, xx = np.mgrid[0:ctx.height, 0:ctx.width]
    inv = np.linalg.inv(A)
    u = inv[0, 0] * (xx - t[0]) + inv[0, 1] * (yy - t[1])
    v = inv[1, 0] * (xx - t[0]) + inv[1, 1] * (yy - t[1])
    upper_lip = px(min(xs[6, 1], xs[19, 1]))
    rx, ry = (u - (c - 1) / 2) / (0.42 * c), (v - (c - 1) / 2) / (0.45 * c)
    face = rx ** 2 + ry ** 2 < 1
    upper = face & (v < upper_lip - 0.02 * c) & (v > 0.1 * c)
    x0, x1 = px(xs[14, 0]) - 0.03 * c, px(xs[17, 0]) + 0.03 * c
    y0, y1 = px(xs[6, 1]) - 0.02 * c, px(xs[12, 1]) + 0.16 * c
    mouth = (u > x0) & (u < x1) & (v > y0) & (v < y1)
    return upper, mouth


def luma(f):
    return f[..., 0] * 0.299 + f[..., 1] * 0.587 + f[..., 2] * 0.114


def darkness(y):
    """The mouth interior's extent: pixels below DARK, each weighted by how far below (so the measure moves
    smoothly with the gap rather than by whole pixels)."""
    return np.clip(DARK - y, 0, DARK).sum() / DARK


def pull_until(utt, want, timeout=120):
    """Frames (frame, info) until want(frames) holds."""
    frames, deadline = [], time.time() + timeout
    while not want(frames):
        if time.time() > deadline:
            raise RuntimeError("timed out after %d frames" % len(frames))
        f, info = utt.pull()
        if f is None:
            time.sleep(0.002)
            continue
        frames.append((f, info))
    return frames


def measure(bundle, w2v, tmp, bank=True):
    results = []
    with le_core.Context(bundle) as ctx:
        upper, mouth = regions(ctx, bundle)
        # The silent face of every driver frame: rendered with driving = source keypoints and pasted.
        xs = np.fromfile(le_core.resolve_member(bundle, "xs_target.bin"), np.float32).reshape(-1, 63)
        silent = {}
        for si in range(ctx.nt):
            f = ctx.paste(si, ctx.render(si, xs[si], xs[si]))
            silent[si] = (f[upper].astype(np.float64), luma(f[mouth]))
        with le_core.Utterance(ctx, bundle, w2v_onnx=w2v) as utt:
            armed = utt.arm_mouth(bundle)[0] if bank else False
            while not utt.ready():
                time.sleep(0.01)
            for name, x in voices(tmp):
                utt.push(np.clip(np.rint(x * 32767), -32768, 32767).astype(np.int16))
                utt.end()
                n = len(x) // 640
                spoken = pull_until(utt, lambda fr: sum(i["kind"] == "speech" for _, i in fr) >= n)
                speech = [(f, i) for f, i in spoken if i["kind"] == "speech"]
                pull_until(utt, lambda fr: len(fr) >= 8)  # back to the idle loop
                worst, opening, energy, mouths = 0.0, [], [], []
                for k, (f, info) in enumerate(speech):
                    s_up, s_luma = silent[info["si"]]
                    worst = max(worst, float(np.abs(f[upper].astype(np.float64) - s_up).mean()))
                    opening.append(float(darkness(luma(f[mouth])) - darkness(s_luma)))
                    seg = x[k * 640:(k + 1) * 640]
                    energy.append(10 * np.log10((seg ** 2).mean() + 1e-9) if len(seg) else -90.0)
                    mouths.append(f[mouth].astype(np.float64))
                opening, energy = np.array(opening), np.array(energy)
                r = float(np.corrcoef(opening, energy)[0, 1]) if opening.std() > 0 else 0.0
                change = np.array([np.abs(mouths[k] - mouths[k - 1]).mean() for k in range(1, len(mouths))])
                loud = energy[1:] > np.percentile(energy, 60)
                base = float(np.median(change[loud])) if loud.any() else 0.0
                burst = float(change.max() / base) if base > 0 else float("inf")
                results.append(dict(voice=name, frames=len(speech), upper=worst, r=r, burst=burst,
                                    at=int(np.argmax(change)) + 1, open_max=float(opening.max()), armed=armed))
    return results


def main():
    bundle = sys.argv[1]
    strict = "--strict" in sys.argv[2:]
    w2v = os.environ.get("W2V_ONNX", "")
    with tempfile.TemporaryDirectory() as tmp:
        results = measure(bundle, w2v, tmp, bank="--no-bank" not in sys.argv[2:])
    ok = True
    for m in results:
        print("figure: %s voice, %d speech frames (mouth bank %s): above the upper lip %.2f levels at worst; "
              "mouth opening vs speech energy r = %.2f (largest opening %d px); largest mouth change %.1f x the "
              "median of loud speech (at speech frame %d)" % (m["voice"], m["frames"], "armed" if m["armed"] else
                                                              "not armed", m["upper"], m["r"], m["open_max"],
                                                              m["burst"], m["at"]))
        ok &= m["upper"] <= 1.0 and m["r"] >= 0.6 and m["burst"] <= 3.0
    if strict and not ok:
        print("FAIL: a figure is beyond its bound (upper <= 1, r >= 0.6, burst <= 3)")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
