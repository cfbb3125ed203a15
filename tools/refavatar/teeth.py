"""The mouth bank's blend head as a state-dict archive: a stored (uncompressed) ZIP holding a protocol-2 pickle of an
ordered dict of float32 tensors and one storage entry per tensor, the layout a torch save has. Written here so that
no torch is needed to make a bundle."""
import json
import os
import struct
import subprocess
import zlib

import numpy as np

# The blend head's tensors, in state-dict order: (name, shape).
BLEND_HEAD = [("cand.0.weight", (16, 7, 3, 3)), ("cand.0.bias", (16,)), ("cand.2.weight", (16, 16, 3, 3)),
              ("cand.2.bias", (16,)), ("cand.4.weight", (1, 16, 3, 3)), ("cand.4.bias", (1,)),
              ("syn.0.weight", (16, 3, 3, 3)), ("syn.0.bias", (16,)), ("syn.2.weight", (1, 16, 3, 3)),
              ("syn.2.bias", (1,))]


def _str(s):
    b = s.encode()
    return b"X" + struct.pack("<I", len(b)) + b


def _int(v):
    return b"K" + bytes([v]) if 0 <= v < 256 else b"J" + struct.pack("<i", v)


def state_pickle(names_shapes):
    """Tensor k of the dict lives in storage "k", contiguous from element 0."""
    out = b"\x80\x02ccollections\nOrderedDict\n)Rq\x00("
    for k, (name, shape) in enumerate(names_shapes):
        numel = int(np.prod(shape))
        stride, acc = [], 1
        for d in reversed(shape):
            stride.insert(0, acc)
            acc *= d
        out += (_str(name) + b"ctorch._utils\n_rebuild_tensor_v2\n((" + _str("storage") + b"ctorch\nFloatStorage\n" +
                _str(str(k)) + _str("cpu") + _int(numel) + b"tQ" + _int(0) + b"(" + b"".join(_int(d) for d in shape) +
                b"t(" + b"".join(_int(s) for s in stride) + b"t\x89ccollections\nOrderedDict\n)RtR")
    return out + b"u}b."


def stored_zip(entries):
    """A ZIP of (name, bytes) entries, every one stored."""
    body, directory = b"", b""
    for name, data in entries:
        n = name.encode()
        crc = zlib.crc32(data)
        sizes = struct.pack("<III", crc, len(data), len(data))
        offset = len(body)
        body += struct.pack("<IHHHHH", 0x04034b50, 20, 0, 0, 0, 0) + sizes + struct.pack("<HH", len(n), 0) + n + data
        directory += (struct.pack("<IHHHHHH", 0x02014b50, 20, 20, 0, 0, 0, 0) + sizes +
                      struct.pack("<HHHHHII", len(n), 0, 0, 0, 0, 0, offset) + n)
    return body + directory + struct.pack("<IHHHHIIH", 0x06054b50, 0, 0, len(entries), len(entries), len(directory),
                                          len(body), 0)


def head_pt(tensors, root="tessera_head"):
    """tensors: list of (name, float32 array). Returns the archive's bytes."""
    entries = [(root + "/data.pkl", state_pickle([(n, a.shape) for n, a in tensors]))]
    entries += [(root + "/data/%d" % k, np.ascontiguousarray(a, dtype="<f4").tobytes())
                for k, (_, a) in enumerate(tensors)]
    entries.append((root + "/version", b"3\n"))
    return stored_zip(entries)


# --- the bank a bundle carries ------------------------------------------------------------------

LIP_ROWS = [6, 12, 14, 17, 19, 20]          # the reference keypoints' lip rows
CORPUS_V1 = (0.05, 0.08, 0.015)             # pad_x, pad_y, down of the geometry the bank is built on
# A closed-lip outline, centred, unit half-extents: corners, upper lip, lower lip.
U_CANON = [(-1.0, 0.0), (-0.5, -0.75), (0.0, -0.6), (0.5, -0.75), (1.0, 0.0), (0.5, 0.8), (0.0, 1.0), (-0.5, 0.8)]
MAP_ROWS = [14, 17, 6, 12]                  # anchors of the fitted lip map


def _smoothstep(u):
    return u * u * (3 - 2 * u)


def pi_mask(kp, n, pad_x, pad_y, down, gate_scale=1.0):
    """The compose mask (u8, n x n) of one keypoint set: the soft lip ellipse with corner recovery, united with the
    teeth gate that opens with the mouth."""
    g = 2.0 * np.arange(n) / (n - 1) - 1.0
    gy, gx = np.meshgrid(g, g, indexing="ij")
    x, y = kp[LIP_ROWS, 0].astype(np.float64), kp[LIP_ROWS, 1].astype(np.float64)
    mx, my = x.mean(), y.mean()
    ax, ay = np.abs(x - mx).max(), np.abs(y - my).max()

    def ell(rx, ry, cx, cy):
        s = np.sqrt(rx * ry) * 256
        t = (1 - np.sqrt(((gx - cx) / rx) ** 2 + ((gy - cy) / ry) ** 2)) * s / 10
        return np.where(t < 0, 0.0, _smoothstep(np.minimum(1.0, t)))

    rx, ry = max(0.1, ax + pad_x), max(0.1, ay + pad_y)
    m = np.sqrt(((x - mx) / rx) ** 2 + ((y - my - down) / ry) ** 2).max()
    scale = max(1.0, 5 / (np.sqrt(rx * ry) * 256) + m)
    lip = ell(rx * scale, ry * scale, mx, my + down)
    gate = 0.0 if ay < 0.02 else _smoothstep(min(1.0, (ay - 0.02) / 0.01))
    teeth = ell(max(0.004, ax) * gate_scale, max(0.004, ay) * gate_scale, mx, my) * gate
    return np.rint(np.clip(np.maximum(lip, teeth), 0, 1) * 255).astype(np.uint8)


def canonical_centroid(frames, n, geometry=CORPUS_V1):
    """Mean (x, y) over the frames of the centroid of the mask pixels >= 128."""
    cs = []
    for kp in frames:
        rows, cols = np.nonzero(pi_mask(kp, n, *geometry) >= 128)
        if rows.size:
            cs.append((cols.mean(), rows.mean()))
    return np.mean(np.array(cs), axis=0)


def stamp_for(crop, mouth_xy):
    """The geometry stamp: a window around the mouth (multiples of 4, for the pooled index), the band a centred
    part of it, the shift pad and the stored margin."""
    ww, wh = 4 * round(crop * 0.42 / 4), 4 * round(crop * 0.26 / 4)
    x0 = int(np.clip(round(mouth_xy[0] - ww / 2), 0, crop - ww))
    y0 = int(np.clip(round(mouth_xy[1] - wh / 2), 0, crop - wh))
    pad = max(2, crop // 32)
    return {"canvas_w": crop, "canvas_h": crop, "window_x0": x0, "window_y0": y0, "window_w": ww, "window_h": wh,
            "pad": pad, "band_r0": wh // 4, "band_r1": wh - wh // 4, "band_c0": ww // 8, "band_c1": ww - ww // 8,
            "shift_margin": pad}


def mouth_line(crop_rgb, mouth, half_width):
    """The row where the mouth parts: the strongest fall of brightness going down (teeth or lip above, lower lip
    below) near the lips' mean, over the mouth's middle columns."""
    n = crop_rgb.shape[0]
    cx, cy = mouth
    reach = max(2, int(0.06 * n))
    c0, c1 = int(cx - half_width / 2), int(cx + half_width / 2) + 1
    rows = np.arange(max(1, int(cy) - reach), min(n - 1, int(cy) + reach))
    luma = crop_rgb[:, c0:c1].astype(np.float64) @ np.array([0.299, 0.587, 0.114])
    fall = luma[rows].mean(axis=1) - luma[rows + 1].mean(axis=1)
    return int(rows[np.argmax(fall)]) + 1


def _mouth(crop, xs_target):
    """The mouth's centre (x, y) and half width in crop pixels, from the idle track's first row."""
    kp = xs_target[0]
    px = lambda v: (v + 1) * (crop - 1) / 2
    corners = px(kp[[14, 17], 0])
    return (px(kp[LIP_ROWS, 0].mean()), px(kp[LIP_ROWS, 1].mean())), (corners[1] - corners[0]) / 2 + 1


def parting_line(crops, xs_target, paint_teeth):
    """The crop row where the portrait's lips part: a drawn face's at the lips' mean, a photograph's where its
    own teeth end, found on the mean of the crops. One frame's compression noise can move the strongest fall
    of brightness to another edge of the lips (rows 117 against 126 of the live avatar's crop), so every donor
    and the director open the mouth at this one row."""
    mouth, half_width = _mouth(crops[0].shape[0], xs_target)
    if paint_teeth:
        return int(round(mouth[1]))
    return mouth_line(np.mean([c.astype(np.float64) for c in crops], axis=0), mouth, half_width)


def mouth_line_offset(line, crop, xs_target):
    """The parting line relative to the mean of the mouth corners' y in the crop's normalised coordinates: the
    director opens the mouth there, as the bank's donors are opened."""
    return 2.0 * line / crop - 1.0 - float(xs_target[0][[14, 17], 1].mean())


def open_mouth(crop_rgb, line, cx, half_width, aperture, paint_teeth):
    """The crop with its mouth opened by `aperture` pixels at row `line`: the lower lip and chin move down (an
    elliptic profile across the mouth) and the gap shows a dark interior, under painted upper teeth where the
    portrait shows none of its own."""
    out = crop_rgb.copy()
    n = crop_rgb.shape[0]
    for x in range(n):
        u = (x - cx) / half_width
        if abs(u) >= 1:
            continue
        a = int(round(aperture * np.sqrt(1 - u * u)))
        if a <= 0:
            continue
        out[line + a:, x] = crop_rgb[line:n - a, x]
        teeth = int(round(0.4 * a)) if paint_teeth else 0
        out[line:line + teeth, x] = (232, 228, 218)
        out[line + teeth:line + a, x] = (46, 18, 24)
    return out


def write_bank(out, crops, xs_target, n_donors, with_map, line, paint_teeth, seed=0):
    """The four bank members, the manifest's `unified` and `tessera` blocks (returned) and the lip template.
    Every donor opens at the parting `line`; a portrait that shows its own teeth keeps them (paint_teeth
    False), a drawn one gets painted ones."""
    crop = crops[0].shape[0]
    c_canon = canonical_centroid(xs_target, crop)
    mouth, half_width = _mouth(crop, xs_target)
    st = stamp_for(crop, c_canon)
    M = st["shift_margin"]
    r0, r1 = st["window_y0"] + st["band_r0"] - M, st["window_y0"] + st["band_r1"] + M
    c0, c1 = st["window_x0"] + st["band_c0"] - M, st["window_x0"] + st["band_c1"] + M

    # Donors: the avatar's own mouth from successive driver frames, from closed to wide open.
    max_open = 0.09 * crop
    apertures = [max_open * d / (n_donors - 1) for d in range(n_donors)]
    patches = []
    for d in range(n_donors):
        rgb = crops[d % len(crops)]
        patches.append(open_mouth(rgb, line, mouth[0], half_width, apertures[d], paint_teeth)[r0:r1, c0:c1])
    order = list(np.random.default_rng(seed).permutation(n_donors))
    track = os.path.join(out, "tessera_bank.v1.mp4")
    args = ["ffmpeg", "-y", "-loglevel", "error", "-f", "rawvideo", "-pix_fmt", "rgb24",
            "-s", "%dx%d" % (c1 - c0, r1 - r0), "-r", "25", "-i", "-", "-c:v", "libx264rgb", "-qp", "0",
            "-preset", "veryfast", "-pix_fmt", "gbrp", track]
    subprocess.run(args, input=b"".join(patches[d].tobytes() for d in order), check=True)

    sidecar = {"format": "tessera_bank.v1", "n_donors": n_donors, "geometry": st,
               "track_order": [int(d) for d in order], "cent": donor_centres(xs_target, apertures, crop),
               "aperture": [round(a, 4) for a in apertures], "c_canon": [float(c_canon[0]), float(c_canon[1])],
               "codec": {"codec": "h264", "pix_fmt": "gbrp"}}
    with open(os.path.join(out, "tessera_bank.v1.json"), "w") as f:
        json.dump(sidecar, f)
    with open(os.path.join(out, "tessera_head.v1.pt"), "wb") as f:
        f.write(head_pt(checkable_head()))
    k = min(4, n_donors)
    config = {"retrieval": {"kshort": n_donors, "aperture_tol": 0.3, "cut": n_donors, "K": k},
              "temporal": {"hysteresis": max(1, k // 2), "lookahead": max(1, k // 2)},
              "decode": {"envelope_clamp_255": 12}}
    with open(os.path.join(out, "tessera_head.v1.json"), "w") as f:
        json.dump(config, f, indent=1)
    write_lip_template(out, crop, xs_target, with_map)
    return {
        "unified": {"pi": {"mode": "prop", "corner_recovery": "lip_landmark_half", "prop_gate_scale": 1.0,
                           "lip_idx": LIP_ROWS, "lip_geom_params": list(CORPUS_V1)},
                    "crop": {"canvas": crop}},
        "tessera": {"geometry": st, "bank_container": "mp4", "bank_codec": "h264", "bank_pix_fmt": "gbrp",
                    "bank_packing": "rgb24_frames", "planes": ["render", "live"]},
    }


def donor_centres(xs_target, apertures, crop):
    """Each donor's mouth centre as the runtime measures a frame's: the compose-mask centroid of the donor frame's
    keypoints with the lower lip moved down by the aperture and the corners by half of it."""
    out = []
    for d, a in enumerate(apertures):
        kp = xs_target[d % len(xs_target)].copy()
        step = 2.0 * a / (crop - 1)
        kp[[12, 20], 1] += step
        kp[[14, 17], 1] += step / 2
        x, y = canonical_centroid([kp], crop)
        out.append([round(float(x), 4), round(float(y), 4)])
    return out


def checkable_head():
    """Blend weights whose result an independent check can follow: one path carries channel 6 (the candidate's
    mean difference from the query) through both ReLUs, and the logit is -20 times it, so the softmax favours the
    candidates closest to the query. The synthesis branch is written but plays no part in the blend."""
    t = {name: np.zeros(shape, np.float32) for name, shape in BLEND_HEAD}
    t["cand.0.weight"][0, 6, 1, 1] = 1.0
    t["cand.2.weight"][0, 0, 1, 1] = 1.0
    t["cand.4.weight"][0, 0, 1, 1] = -20.0
    t["syn.0.bias"][:] = 0.01
    return [(name, t[name]) for name, _ in BLEND_HEAD]


def write_lip_template(out, crop, xs_target, with_map):
    """lip_template.v1.json: the outline placed by the lip rows' mean and spread, or, with a map, a linear map
    from four anchors fitted over the idle frames to the same placement."""
    tpl = {"format": "lip-template-v1", "edge": "outward", "canvas": crop, "feather_px": round(1.0 + crop / 128, 3),
           "u_canon": [list(v) for v in U_CANON], "lip_idx": LIP_ROWS}
    if with_map:
        u = np.array(U_CANON)
        feats, targets = [], []
        for kp in xs_target:
            p = (kp[:, :2].astype(np.float64) + 1) * crop / 2
            lips = p[LIP_ROWS]
            m = lips.mean(axis=0)
            s = np.maximum(1e-6, np.abs(lips - m).max(axis=0))
            a = p[MAP_ROWS]
            am = a.mean(axis=0)
            feats.append((a - am).reshape(-1))
            targets.append((m + s * u - am).reshape(-1))
        F, T = np.array(feats), np.array(targets)
        # Ridge-regularised least squares: the idle frames barely move, so the map must not amplify noise.
        A = np.hstack([F, np.ones((len(F), 1))])
        coef = np.linalg.solve(A.T @ A + 1e-3 * np.eye(A.shape[1]), A.T @ T)
        tpl["lip_map"] = {"schema": "lip-map-v1", "kind": "anchor-linear", "lip_idx": MAP_ROWS, "canvas": crop,
                          "W": np.round(coef[:-1].T, 6).tolist(), "b": np.round(coef[-1], 6).tolist()}
    with open(os.path.join(out, "lip_template.v1.json"), "w") as f:
        json.dump(tpl, f)
