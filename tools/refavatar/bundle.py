"""Identity data, driver video and manifest of the reference avatar.

A portrait sways gently inside a W x H idle video. Per driver frame i, M(i)
maps crop pixels (x, y) to frame pixels (a x + b y + c, d x + e y + f), and the
warp prior P(i) is driver frame i sampled through M(i), so rendering with
driving = source keypoints and pasting through M(i) gives frame i back.
"""
import json
import os
import shutil
import struct
import subprocess

import numpy as np

LIP_ROWS = (6, 12, 14, 17, 19, 20)

# Keypoint template in the crop's normalised coordinates (x right, y down).
KP_TEMPLATE = np.array([
    [-0.55, -0.35], [-0.15, -0.37], [0.12, -0.37], [0.50, -0.35],   # brows
    [-0.31, -0.14], [0.25, -0.14],                                  # eyes
    [-0.02, 0.21],                                                  # 6 upper lip
    [-0.02, -0.05], [-0.02, 0.09],                                  # nose
    [-0.50, 0.15], [0.45, 0.15],                                    # cheeks
    [0.00, 0.74],                                                   # chin
    [-0.02, 0.34],                                                  # 12 lower lip
    [-0.62, 0.45],                                                  # jaw left
    [-0.22, 0.27],                                                  # 14 mouth corner left
    [0.58, 0.45],                                                   # jaw right
    [0.00, -0.61],                                                  # forehead
    [0.19, 0.27],                                                   # 17 mouth corner right
    [-0.75, -0.30],                                                 # temple
    [-0.10, 0.22],                                                  # 19 upper lip left
    [0.08, 0.33],                                                   # 20 lower lip right
], np.float32)

OLD_TO_CURRENT = {
    "P.f16": "source_frames.f16", "P_hevc.mov": "source_frames.hevc", "M.f32": "paste_transform.f32",
    "mask_512.u8": "paste_mask.u8", "pooled64.f16": "pooled_features.f16", "fs_red.f16": "feature_synth.f16",
    "xs_target.bin": "target_keypoints.bin", "drive/xs.f32": "idle_loop/source_keypoints.f32",
    "drive/xd.f32": "idle_loop/driven_keypoints.f32", "drive/si.i32": "idle_loop/source_index.i32",
    "a2x_enc_stream.onnx": "audio_motion_encoder.onnx", "a2x_dec.onnx": "audio_motion_decoder.onnx",
}


def member_name(old, current):
    """The member's name in the chosen column."""
    if not current:
        return old
    if old in OLD_TO_CURRENT:
        return OLD_TO_CURRENT[old]
    if old.startswith("model_b") and old.endswith(".onnx") and len(old) > 12:
        x = old[len("model_b"):-len(".onnx")]
        a, _, b = x.partition("_")
        return "render_model.batch%s%s.onnx" % (a, "." + b if b else "")
    return old


# --- portraits --------------------------------------------------------------------------------

EDGE = 0.07  # width of a drawn edge in crop-normalised units


class ProceduralFace:
    """A drawn face; its crop box is the square [-1, 1]^2 of its own coordinates."""
    crop_center = (0.0, 0.0)
    crop_half = 1.0

    def sample(self, u, v):
        """RGB in [0, 1] and coverage in [0, 1] at portrait coordinates (u, v) (crop-normalised)."""
        # Edges ramp over EDGE crop-normalised units whatever the feature's size,
        # so a face drawn at a few dozen pixels stays band-limited and survives
        # resampling into the crop and back.
        def blob(cx, cy, rx, ry):
            r = np.sqrt(((u - cx) / rx) ** 2 + ((v - cy) / ry) ** 2)
            return np.clip((1.0 - r) * min(rx, ry) / EDGE + 0.5, 0.0, 1.0)
        rgb = np.empty(u.shape + (3,), np.float32)
        rgb[..., 0], rgb[..., 1], rgb[..., 2] = 0.25, 0.30, 0.55          # shirt / surround
        skin = blob(0.0, 0.05, 0.72, 0.92)
        shade = 0.9 + 0.1 * np.cos(u * 1.5)
        for c, val in enumerate((0.93, 0.76, 0.62)):
            rgb[..., c] = rgb[..., c] * (1 - skin) + val * shade * skin
        hair = blob(0.0, -0.75, 0.85, 0.45) * np.clip((-0.45 - v) / EDGE + 0.5, 0.0, 1.0)
        for c, val in enumerate((0.30, 0.20, 0.12)):
            rgb[..., c] = rgb[..., c] * (1 - hair) + val * hair
        for cx in (-0.31, 0.25):
            eye = blob(cx, -0.14, 0.12, 0.06)
            pupil = blob(cx, -0.14, 0.05, 0.05)
            for c, (ev, pv) in enumerate(((0.97, 0.15), (0.97, 0.10), (0.97, 0.08))):
                rgb[..., c] = rgb[..., c] * (1 - eye) + ev * eye
                rgb[..., c] = rgb[..., c] * (1 - pupil) + pv * pupil
            brow = blob(cx, -0.36, 0.20, 0.035)
            rgb[...] = rgb * (1 - brow[..., None]) + 0.2 * brow[..., None]
        nose = blob(-0.02, 0.05, 0.06, 0.14)
        rgb[...] = rgb * (1 - 0.15 * nose[..., None])
        upper = blob(-0.02, 0.22, 0.22, 0.04)
        lower = blob(-0.02, 0.32, 0.20, 0.06)
        gap = blob(-0.02, 0.27, 0.18, 0.02)
        for c, val in enumerate((0.75, 0.22, 0.25)):
            rgb[..., c] = rgb[..., c] * (1 - upper) + val * upper
            rgb[..., c] = rgb[..., c] * (1 - lower) + (val * 0.9) * lower
        rgb[...] = rgb * (1 - gap[..., None]) + 0.12 * gap[..., None]
        inside = np.clip((1.6 - np.maximum(np.abs(u), np.abs(v))) / 0.1, 0, 1)
        return rgb, inside


class PhotoPortrait:
    """The public-domain astronaut portrait; its face fills the crop box."""

    def __init__(self, path):
        raw = subprocess.run(["ffmpeg", "-loglevel", "error", "-i", path, "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                             check=True, capture_output=True).stdout
        side = int(round((len(raw) // 3) ** 0.5))
        self.img = np.frombuffer(raw, np.uint8).reshape(side, side, 3).astype(np.float32) / 255.0
        self.side = side
        # Face centre and half-size in image pixels, scaled from the 512-pixel original.
        k = side / 512.0
        self.cx, self.cy, self.half = 224.0 * k, 122.0 * k, 85.0 * k

    def sample(self, u, v):
        # Beyond its edges the photograph continues mirrored, so the swaying
        # portrait covers the whole frame (the image ends about 110 pixels
        # short of the left edge of a 1080p frame).
        x = mirror(self.cx + u * self.half - 0.5, self.side)
        y = mirror(self.cy + v * self.half - 0.5, self.side)
        return bilinear(self.img, x, y), np.ones_like(x)


def mirror(x, side):
    """Pixel coordinate reflected about the image's edges into [0, side - 1]."""
    period = 2.0 * (side - 1)
    m = np.mod(x, period)
    return np.where(m > side - 1, period - m, m)


def bilinear(img, x, y):
    """Samples img [h, w, c] at pixel coordinates (x, y), edge-clamped."""
    h, w = img.shape[:2]
    x = np.clip(x, 0, w - 1)
    y = np.clip(y, 0, h - 1)
    x0 = np.floor(x).astype(np.int64)
    y0 = np.floor(y).astype(np.int64)
    x1 = np.minimum(x0 + 1, w - 1)
    y1 = np.minimum(y0 + 1, h - 1)
    fx = (x - x0)[..., None].astype(np.float32)
    fy = (y - y0)[..., None].astype(np.float32)
    top = img[y0, x0] * (1 - fx) + img[y0, x1] * fx
    bot = img[y1, x0] * (1 - fx) + img[y1, x1] * fx
    return top * (1 - fy) + bot * fy


# --- motion and frames ------------------------------------------------------------------------

def pose(i, nt, W, H):
    """Portrait-to-frame transform of frame i: X = A @ (u, v) + t, seamless over the loop."""
    phi = 2 * np.pi * i / nt
    scale = 0.30 * H * (1 + 0.012 * np.sin(phi))          # crop-normalised unit in pixels
    theta = 0.025 * np.sin(phi)
    t = np.array([W * 0.5 + 0.012 * H * np.sin(phi), H * 0.42 + 0.006 * H * np.sin(2 * phi)])
    c, s = np.cos(theta), np.sin(theta)
    return scale * np.array([[c, -s], [s, c]]), t


def crop_transform(i, nt, W, H, crop):
    """M(i) as (a, b, c, d, e, f): crop pixel (x, y) -> frame pixel."""
    A, t = pose(i, nt, W, H)
    # crop pixel x -> crop-normalised u = (2x + 1) / crop - 1
    L = A * (2.0 / crop)
    off = t + A @ np.array([1.0 / crop - 1.0, 1.0 / crop - 1.0])
    return np.array([L[0, 0], L[0, 1], off[0], L[1, 0], L[1, 1], off[1]], np.float64)


def background(W, H):
    yy, xx = np.meshgrid(np.arange(H, dtype=np.float32) / H, np.arange(W, dtype=np.float32) / W, indexing="ij")
    bg = np.empty((H, W, 3), np.float32)
    bg[..., 0] = 0.55 + 0.15 * yy
    bg[..., 1] = 0.60 + 0.10 * xx
    bg[..., 2] = 0.68 - 0.10 * yy + 0.03 * np.sin(xx * 40) * np.sin(yy * 30)
    return bg


def render_frame(portrait, i, nt, W, H, bg):
    A, t = pose(i, nt, W, H)
    inv = np.linalg.inv(A)
    yy, xx = np.meshgrid(np.arange(H, dtype=np.float64), np.arange(W, dtype=np.float64), indexing="ij")
    dx, dy = xx - t[0], yy - t[1]
    u = inv[0, 0] * dx + inv[0, 1] * dy
    v = inv[1, 0] * dx + inv[1, 1] * dy
    rgb, cover = portrait.sample(u, v)
    cover = cover[..., None].astype(np.float32)
    out = bg * (1 - cover) + rgb * cover
    return np.clip(np.rint(out * 255.0), 0, 255).astype(np.uint8)


def crop_of(frame, M, crop):
    """P as [3, crop, crop] floats in [0, 1]: the frame sampled through M at crop pixels."""
    yy, xx = np.meshgrid(np.arange(crop, dtype=np.float64), np.arange(crop, dtype=np.float64), indexing="ij")
    X = M[0] * xx + M[1] * yy + M[2]
    Y = M[3] * xx + M[4] * yy + M[5]
    rgb = bilinear(frame.astype(np.float32) / 255.0, X, Y)
    return np.transpose(rgb, (2, 0, 1))


def idle_keypoints(nt):
    """xs_target: [nt, 21, 3], the template moving a little."""
    kp = np.zeros((nt, 21, 3), np.float32)
    for i in range(nt):
        phi = 2 * np.pi * i / nt
        kp[i, :, :2] = KP_TEMPLATE + 0.004 * np.array([np.sin(phi), np.cos(phi)], np.float32)
        kp[i, :, 2] = 0.01 * np.sin(phi + np.arange(21))
    return kp


def driving_track(xs_target, frames):
    """Built-in driving track: the lips open and close while the idle loop plays."""
    nt = xs_target.shape[0]
    si = (np.arange(frames) % nt).astype(np.int32)
    xs = xs_target[si].copy()
    xd = xs.copy()
    for k in range(frames):
        o = 0.5 * (1 - np.cos(2 * np.pi * k / 8.0))
        xd[k, 12, 1] += 0.10 * o
        xd[k, 20, 1] += 0.09 * o
        xd[k, 6, 1] -= 0.02 * o
        xd[k, 19, 1] -= 0.02 * o
        xd[k, 14, 0] -= 0.02 * o
        xd[k, 17, 0] += 0.02 * o
    return xs, xd, si


def soft_ellipse(side):
    yy, xx = np.meshgrid(np.arange(side), np.arange(side), indexing="ij")
    c = (side - 1) / 2.0
    r = np.sqrt(((xx - c) / (0.44 * side)) ** 2 + ((yy - c) / (0.47 * side)) ** 2)
    return np.clip(np.rint((1.0 - r) / 0.2 * 255.0), 0, 255).astype(np.uint8)


def to_half(a):
    return np.asarray(a, np.float32).astype("<f2")


def encode_video(frames_iter, W, H, path, codec, nframes):
    """Pipes rgb24 frames through ffmpeg into `path`."""
    args = ["ffmpeg", "-y", "-loglevel", "error", "-f", "rawvideo", "-pix_fmt", "rgb24", "-s", "%dx%d" % (W, H),
            "-r", "25", "-i", "-"]
    if codec in ("h264", "h264_p"):
        # h264_p: no B-frames. Every stream decodes the driver video on its own, and a decoder of a video with
        # B-frames keeps the frames it reorders (at 1080p 13 MB more per stream); the fixtures keep them, so
        # that the tests go through the reordering.
        args += ["-c:v", "libx264", "-pix_fmt", "yuv420p", "-crf", "14", "-preset", "veryfast", "-g", "25"]
        args += ["-bf", "0"] if codec == "h264_p" else []
    elif codec == "h264_422":
        args += ["-c:v", "libx264", "-pix_fmt", "yuv422p", "-crf", "14", "-preset", "veryfast"]
    elif codec == "hevc444":
        args += ["-c:v", "libx265", "-pix_fmt", "yuv444p", "-x265-params", "lossless=1:log-level=error",
                 "-tag:v", "hvc1"]
    elif codec == "hevc420":
        args += ["-c:v", "libx265", "-pix_fmt", "yuv420p", "-x265-params", "log-level=error", "-tag:v", "hvc1"]
    elif codec == "jpeg":
        args += ["-q:v", "2", "-start_number", "0"]
    args += ["-frames:v", str(nframes), path]
    p = subprocess.Popen(args, stdin=subprocess.PIPE)
    for f in frames_iter:
        p.stdin.write(np.ascontiguousarray(f).tobytes())
    p.stdin.close()
    if p.wait() != 0:
        raise RuntimeError("ffmpeg failed writing " + path)


def decode_video(path, W, H):
    """Yields the rgb24 frames of a video (or a %06d JPEG sequence numbered from 0)."""
    args = ["ffmpeg", "-loglevel", "error"]
    if "%" in os.path.basename(path):
        args += ["-start_number", "0"]
    args += ["-i", path, "-f", "rawvideo", "-pix_fmt", "rgb24", "-"]
    p = subprocess.Popen(args, stdout=subprocess.PIPE)
    n = W * H * 3
    try:
        while True:
            b = p.stdout.read(n)
            if len(b) < n:
                break
            yield np.frombuffer(b, np.uint8).reshape(H, W, 3)
    finally:
        p.stdout.close()
        p.wait()


def pack_imx(bundle_dir, out_path):
    """Every regular file below bundle_dir, in name order, as one IMX v2 container."""
    names = []
    for root, _, files in os.walk(bundle_dir):
        for f in files:
            full = os.path.join(root, f)
            if os.path.isfile(full) and not os.path.islink(full):
                names.append(os.path.relpath(full, bundle_dir).replace(os.sep, "/"))
    names.sort()
    sizes = [os.path.getsize(os.path.join(bundle_dir, n)) for n in names]
    off = 8 + sum(2 + len(n.encode()) + 16 for n in names)
    with open(out_path + ".part", "wb") as out:
        out.write(b"IMX\0" + struct.pack("<HH", 2, len(names)))
        for n, s in zip(names, sizes):
            out.write(struct.pack("<H", len(n.encode())) + n.encode() + struct.pack("<QQ", off, s))
            off += s
        for n in names:
            with open(os.path.join(bundle_dir, n), "rb") as f:
                shutil.copyfileobj(f, out, 1 << 20)
    os.replace(out_path + ".part", out_path)
    return len(names)


def write_manifest(path, cfg, blocks=None):
    m = {"format": "le-bundle-v0", "agent": cfg["agent"]}
    m["frame_count" if cfg["current_names"] else "NT"] = cfg["nt"]
    m["W"], m["H"] = cfg["W"], cfg["H"]
    m["crop_size" if cfg["current_names"] else "crop"] = cfg["crop"]
    m.update(amount=1.3, sigma=2.0, ksize=13, frames=cfg["frames"])
    mw, mh = cfg["msrc"]
    if cfg["stamp"] == "M_src":
        m["M_src_w"], m["M_src_h"] = mw, mh
    elif cfg["stamp"] == "paste_source":
        m["paste_source_width"], m["paste_source_height"] = mw, mh
    if cfg["prior"] == "hevc":
        # Without P or fs_red the manifest must name the prior video.
        m["P_hevc"] = cfg.get("hevc_key") or member_name("P_hevc.mov", cfg["current_names"])
    m.update(blocks or {})
    with open(path, "w") as f:
        json.dump(m, f, indent=2)
