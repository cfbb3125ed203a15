"""le_refavatar: writes reference avatar bundles (see the README section)."""
import argparse
import os
import shutil
import sys

import numpy as np

from . import audio
from . import bundle as B
from . import graphs
from . import motion
from . import teeth

ASTRONAUT = "/usr/lib/python3/dist-packages/skimage/data/astronaut.png"

PRESETS = {
    # name: W, H, crop, NT, frames, prior, names, extra
    "tiny": dict(W=96, H=64, crop=32, nt=12, frames=24, prior="p", current_names=False, jpg=True, bad=True),
    "tiny-current": dict(W=96, H=64, crop=32, nt=12, frames=24, prior="p", current_names=True,
                         stamp="paste_source", msrc=(192, 128), a2x_width=False),
    "tiny-fs": dict(W=96, H=64, crop=32, nt=8, frames=8, prior="fs"),
    "tiny-prior": dict(W=128, H=96, crop=64, nt=8, frames=8, prior="hevc"),
    # A mouth bank needs a canvas on which its lip geometry can be told apart (about 100 pixels or more).
    "tiny-bank": dict(W=192, H=128, crop=128, nt=12, frames=24, prior="p", bank=6),
    "tiny-bank-map": dict(W=192, H=128, crop=128, nt=12, frames=24, prior="p", bank=6, lip_map=True),
    "demo": dict(W=1920, H=1080, crop=512, nt=100, frames=100, prior="p", portrait="astronaut", w2v="../w2v",
                 bank=24, lip_map=True, video="h264_p"),
    # The browser test's avatar: the demo's portrait at a size two live sessions can share two cores at.
    "live": dict(W=512, H=288, crop=192, nt=50, frames=50, prior="p", portrait="astronaut", bank=12, lip_map=True),
}
# Shared audio encoders alone: with the short-window pair beside the 8 s encoder, or without it.
W2V_PRESETS = {"w2v": True, "w2v-legacy": False}
# A motion directory for the three-network motion engine (--nt rows, default 12).
MOTION_PRESETS = ("motion",)

DEFAULTS = dict(agent="reference", current_names=False, stamp="M_src", msrc=None, jpg=False, bad=False,
                portrait="procedural", video="h264", hevc_key=None, a2x_width=True, w2v=None, bank=0, lip_map=False)


def build(out, cfg, seed=0, imx=False, quiet=False):
    cfg = dict(DEFAULTS, **cfg)
    W, H, crop, nt, frames = cfg["W"], cfg["H"], cfg["crop"], cfg["nt"], cfg["frames"]
    cfg["msrc"] = cfg["msrc"] or (W, H)
    rng = np.random.default_rng(seed)
    name = lambda old: B.member_name(old, cfg["current_names"])
    if os.path.isdir(out):
        shutil.rmtree(out)
    os.makedirs(os.path.join(out, os.path.dirname(name("drive/xs.f32"))), exist_ok=True)
    log = (lambda *a: None) if quiet else (lambda *a: print("[refavatar]", *a, file=sys.stderr))

    portrait = B.PhotoPortrait(ASTRONAUT) if cfg["portrait"] == "astronaut" else B.ProceduralFace()
    bg = B.background(W, H)
    Ms = np.stack([B.crop_transform(i, nt, W, H, crop) for i in range(nt)])

    # Driver frames first; the P rows (and fs_red) are then cut from the frames
    # as the engine decodes them (JPEG directory where there is one, else the
    # video), so a crop pasted back lands on the very pixels it came from.
    def frames_iter():
        for i in range(nt):
            yield B.render_frame(portrait, i, nt, W, H, bg)

    video = os.path.join(out, "target_frames.mp4")
    all_frames = list(frames_iter()) if cfg["jpg"] else None
    B.encode_video(all_frames if all_frames else frames_iter(), W, H, video,
                   cfg["video"], nt)
    decoded = video
    if cfg["jpg"]:
        os.makedirs(os.path.join(out, "target_frames"), exist_ok=True)
        decoded = os.path.join(out, "target_frames", "frame_%06d.jpg")
        B.encode_video(all_frames, W, H, decoded, "jpeg", nt)
        all_frames = None

    p_path = os.path.join(out, name("P.f16"))
    fs_path = os.path.join(out, name("fs_red.f16"))
    p_file = open(p_path, "wb") if cfg["prior"] == "p" else None
    fs_file = open(fs_path, "wb") if cfg["prior"] == "fs" else None
    p_frames, bank_crops, first_crop = [], [], None
    n = 0
    for i, f in enumerate(B.decode_video(decoded, W, H)):
        if i >= nt:
            break
        n += 1
        P = B.crop_of(f, Ms[i], crop)
        if p_file:
            p_file.write(B.to_half(P).tobytes())
        if fs_file:
            fs = np.zeros((64, 64, 64), np.float32)
            fs[:3] = small(P, 64)
            fs[3:] = rng.standard_normal((61, 64, 64)).astype(np.float32) * 0.1
            fs_file.write(B.to_half(fs).tobytes())
        if cfg["prior"] == "hevc" or len(bank_crops) < cfg["bank"] or first_crop is None:
            rgb8 = np.clip(np.rint(np.transpose(P, (1, 2, 0)) * 255), 0, 255).astype(np.uint8)
            if first_crop is None:
                first_crop = rgb8
            if cfg["prior"] == "hevc":
                p_frames.append(rgb8)
            if len(bank_crops) < cfg["bank"]:
                bank_crops.append(rgb8)
    if n != nt:
        raise RuntimeError("decoded %d of %d driver frames from %s" % (n, nt, decoded))
    for f in (p_file, fs_file):
        if f:
            f.close()
    if cfg["prior"] == "hevc":
        member = cfg["hevc_key"] or name("P_hevc.mov")
        B.encode_video(p_frames, crop, crop, os.path.join(out, member),
                       "hevc420" if cfg.get("prior_format") == "yuv420p" else "hevc444", nt)

    # Pooled features: a fixed pattern per bundle, varying a little per frame.
    base = rng.standard_normal(65536).astype(np.float32) * 0.5
    with open(os.path.join(out, name("pooled64.f16")), "wb") as f:
        for i in range(nt):
            f.write(B.to_half(base + 0.05 * np.sin(i + np.arange(65536) * 0.01)).tobytes())

    # Paste transforms, authored on the stamped canvas.
    mw, mh = cfg["msrc"]
    sx, sy = W / mw, H / mh
    stored = Ms.copy()
    stored[:, :3] /= sx
    stored[:, 3:] /= sy
    stored.astype("<f4").tofile(os.path.join(out, name("M.f32")))
    B.soft_ellipse(crop).tofile(os.path.join(out, name("mask_512.u8")))

    xs_target = B.idle_keypoints(nt)
    xs_target.astype("<f4").tofile(os.path.join(out, name("xs_target.bin")))
    xs, xd, si = B.driving_track(xs_target, frames)
    xs.astype("<f4").tofile(os.path.join(out, name("drive/xs.f32")))
    xd.astype("<f4").tofile(os.path.join(out, name("drive/xd.f32")))
    si.astype("<i4").tofile(os.path.join(out, name("drive/si.i32")))

    # The director opens the mouth where the portrait's lips part.
    paint_teeth = cfg["portrait"] != "astronaut"
    line = teeth.parting_line(bank_crops or [first_crop], xs_target, paint_teeth)
    mouth_offset = teeth.mouth_line_offset(line, crop, xs_target)
    keys = graphs.write_directors(out, crop, lambda key: name("model_%s.onnx" % key),
                                  featsynth=cfg["prior"] == "fs", bad=cfg["bad"], seed=seed, mouth_offset=mouth_offset)
    audio.write_bundle_audio(out, name, width=cfg["a2x_width"], seed=seed, bad=cfg["bad"])
    blocks = {}
    if cfg["bank"]:
        blocks = teeth.write_bank(out, bank_crops, xs_target, cfg["bank"], cfg["lip_map"], line, paint_teeth,
                                  seed=seed)
        log("wrote the mouth bank: %d donors, lip template %s a map" % (cfg["bank"],
                                                                      "with" if cfg["lip_map"] else "without"))
    B.write_manifest(os.path.join(out, "manifest.json"), cfg, blocks)
    if cfg["w2v"]:
        w2v = audio.write_w2v(os.path.normpath(os.path.join(out, cfg["w2v"])))
        log("wrote the shared audio encoders: %s (and the short-window pair beside it)" % w2v)
    log("wrote %s: %dx%d, crop %d, %d frames, prior %s, directors %s" % (out, W, H, crop, nt, cfg["prior"],
                                                                        ", ".join(keys)))
    if imx:
        n = B.pack_imx(out, out.rstrip("/") + ".imx")
        log("packed %d members into %s.imx" % (n, out.rstrip("/")))


def small(P, side):
    """[3, c, c] -> [3, side, side] by bilinear sampling at the smaller grid's pixel centres."""
    c = P.shape[1]
    pos = (np.arange(side) + 0.5) * c / side - 0.5
    yy, xx = np.meshgrid(pos, pos, indexing="ij")
    return np.transpose(B.bilinear(np.transpose(P, (1, 2, 0)), xx, yy), (2, 0, 1))


def main(argv=None):
    ap = argparse.ArgumentParser(description="Writes a reference avatar bundle.")
    ap.add_argument("--preset", choices=sorted(PRESETS) + sorted(W2V_PRESETS) + list(MOTION_PRESETS),
                    default="tiny")
    ap.add_argument("--out", required=True, help="bundle directory to write (replaced)")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--imx", action="store_true", help="also pack the bundle as OUT.imx")
    ap.add_argument("--size", help="frame size WxH")
    ap.add_argument("--crop", type=int)
    ap.add_argument("--nt", type=int, help="driver frames")
    ap.add_argument("--frames", type=int, help="rows of the driving track")
    ap.add_argument("--prior", choices=["p", "fs", "hevc"], help="warp prior: P.f16, fs_red.f16 or a video")
    ap.add_argument("--names", choices=["older", "current"], help="member names")
    ap.add_argument("--stamp", choices=["M_src", "paste_source", "none"], help="paste-space stamp keys")
    ap.add_argument("--msrc", help="canvas WxH on which M is authored")
    ap.add_argument("--jpg", action="store_true", help="also write the JPEG frame directory")
    ap.add_argument("--bad", action="store_true", help="also write the refusal variants of the director")
    ap.add_argument("--video", choices=["h264", "h264_p", "h264_422"], help="driver video codec")
    ap.add_argument("--hevc-key", help="name the prior video under the manifest key P_hevc")
    ap.add_argument("--prior-format", choices=["yuv444p", "yuv420p"], help="pixel format of the prior video")
    ap.add_argument("--no-width", action="store_true", help="the audio encoder without its width output")
    a = ap.parse_args(argv)
    if a.preset in W2V_PRESETS:
        audio.write_w2v(a.out, pair=W2V_PRESETS[a.preset])
        return 0
    if a.preset in MOTION_PRESETS:
        motion.write_motion_dir(a.out, a.nt or 12, seed=a.seed)
        return 0
    cfg = dict(PRESETS[a.preset])
    if a.size:
        cfg["W"], cfg["H"] = (int(v) for v in a.size.lower().split("x"))
    for k in ("crop", "nt", "frames", "prior", "stamp", "video", "hevc_key", "prior_format"):
        if getattr(a, k) is not None:
            cfg[k] = getattr(a, k)
    if a.names:
        cfg["current_names"] = a.names == "current"
    if a.msrc:
        cfg["msrc"] = tuple(int(v) for v in a.msrc.lower().split("x"))
    cfg["jpg"] = cfg.get("jpg", False) or a.jpg
    cfg["bad"] = cfg.get("bad", False) or a.bad
    if a.no_width:
        cfg["a2x_width"] = False
    build(a.out, cfg, seed=a.seed, imx=a.imx)
    return 0
