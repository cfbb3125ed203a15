"""Writes the seed corpora of the fuzz targets: small valid and near-valid inputs.

usage: seeds.py OUTDIR   (one directory per target under OUTDIR)
"""
import math
import os
import struct
import sys

MANIFEST = (b'{"format": "le-bundle-v0", "agent": "anna", "NT": 12, "H": 64, "W": 96, "crop": 32,'
            b' "amount": 0.5, "sigma": 1.5, "ksize": 7, "frames": 30, "M_src_w": 96, "M_src_h": 64,'
            b' "extra": {"NT": 3, "list": [1, 2, {"W": "x"}]}, "note": "\\"W\\": 5"}')


def imx(members, version=2):
    toc = sum(2 + len(n) + 16 for n, _ in members) + 8
    head = b"IMX\0" + struct.pack("<HH", version, len(members))
    off, entries, body = toc, b"", b""
    for name, payload in members:
        entries += struct.pack("<H", len(name)) + name + struct.pack("<QQ", off, len(payload))
        off += len(payload)
        body += payload
    return head + entries + body


def onnx_seeds():
    """Small generated directors, when the onnx package is there."""
    try:
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
        from refavatar import graphs
    except ImportError:
        return {}
    return {"warp_b1": graphs.warp_prior_graph(1, 16).SerializeToString(),
            "warp_b4_kp22": graphs.warp_prior_graph(4, 16, rows=22).SerializeToString(),
            "featsynth": graphs.feat_synth_graph(1, 16).SerializeToString()}


def head_seeds():
    """Blend head archives of both architectures, when numpy is there."""
    try:
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
        import numpy as np
        from refavatar import teeth
    except ImportError:
        return {}
    full = [(n, np.full(s, 0.5, np.float32)) for n, s in teeth.BLEND_HEAD]
    return {"blend_head": teeth.head_pt(full), "blend_head8": teeth.head_pt(full[:6]),
            "three_syn": teeth.head_pt(full[:9])}


def bank_track_seeds():
    """Three 16x8 donor patches as the bank builder writes them (lossless RGB H.264) and as a 4:4:4 track, each
    behind the byte that asks for three donors; none when ffmpeg is missing."""
    import shutil
    import subprocess
    import tempfile
    if not shutil.which("ffmpeg"):
        return {}
    frames = bytes((x * 13 + y * 7 + k * 50) % 256 for k in range(3) for y in range(8) for x in range(16 * 3))
    out = {}
    for name, codec in (("gbrp", ["-c:v", "libx264rgb", "-qp", "0", "-pix_fmt", "gbrp"]),
                        ("yuv444p", ["-c:v", "libx264", "-qp", "0", "-pix_fmt", "yuv444p"])):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "t.mp4")
            subprocess.run(["ffmpeg", "-y", "-loglevel", "error", "-f", "rawvideo", "-pix_fmt", "rgb24", "-s", "16x8",
                            "-r", "25", "-i", "-"] + codec + [path], input=frames, check=True)
            with open(path, "rb") as f:
                out[name] = bytes([2]) + f.read()
    return out


def sample_seeds():
    """Inputs of the sample target: a chunk byte, a flags byte (1: motion engine, 2: finish), then five bytes a
    sample (a class byte: 0 NaN, 1 infinity, 2 huge, 3 subnormal, 4 raw bits, 5 unscaled 16-bit, else unit)."""
    def samples(values, cls=7):
        return b"".join(bytes([cls]) + struct.pack("<i", int(v * 2147483647)) for v in values)
    voiced = [0.5 * math.sin(2 * math.pi * 150 * i / 16000) for i in range(800)]
    out = {}
    for engine in (0, 1):
        name = "motion" if engine else "a2x"
        out[name + "_speech"] = bytes([40, engine | 2]) + samples(voiced)
        out[name + "_nan"] = bytes([3, engine | 2]) + samples(voiced[:300]) + samples([0.1], 0) + samples(voiced[:300])
        out[name + "_huge"] = bytes([0, engine | 2]) + samples(voiced[:200], 2)
        out[name + "_loud"] = bytes([250, engine | 2]) + samples(voiced, 5)
        out[name + "_subnormal"] = bytes([7, engine]) + samples(voiced[:400], 3)
        out[name + "_raw"] = bytes([1, engine | 2]) + samples(voiced[:100], 4)
    return out


def main(out):
    seeds = {
        "imx": {
            "bundle": imx([(b"manifest.json", MANIFEST), (b"P.f16", b"\x00\x3c" * 8),
                           (b"drive/xs.f32", b"\0" * 12), (b"idle_loop/si.i32", b"\1\0\0\0")]),
            "synthetic": imx([(b"manifest.json", b'{"_imx_synthetic_manifest": 1}'), (b"a", b"b")]),
            "empty": imx([]),
            "v1": imx([(b"a", b"b")], version=1),
            "nested": imx([(b"a/b/c/d", b"x"), (b"a/b/e", b"y")]),
        },
        "manifest": {
            "full": MANIFEST,
            "frame_count": MANIFEST.replace(b'"NT"', b'"frame_count"').replace(b'"crop"', b'"crop_size"'),
            "unstamped": MANIFEST.replace(b'"M_src_w": 96, "M_src_h": 64,', b''),
            "ambiguous": MANIFEST.replace(b'"W": 96', b'"W": 96, "W": 97'),
            "nested_only": b'{"a": {"format": "le-bundle-v0"}, "b": [{"H": 1}]}',
        },
    }
    seeds["a2x_meta"] = {
        "stream": b'{"h": 32, "window": 1, "left": 4, "layers": 2, "width": true, "silence_prime": 0}',
        "legacy": b'{"h": 256, "window": 2, "left": 8}',
        "width_int": b'{"window":0,"left":0,"width":\t 7}',
        "huge": b'{"h": 99999999999999999999999, "window": -1, "left": "x"}',
        "nested": b'{"meta": {"h": 16}, "window": 3, "left": 1, "layers": 64, "width": false}',
        "twice": b'{"h": 32, "window": 1, "left": 4, "layers": 2, "meta": {"layers":\t99}}',
    }
    seeds["motion_meta"] = {
        "full": b'{"nt": 12, "n_src": 12, "n_emo": 3, "s_bridge": 0.8, "delta_pitch": 2.0}',
        "minimal": b'{"nt":1,"n_src":1,"n_emo":1,"s_bridge":1e-3}',
        "bad": b'{"nt": 1.5, "n_src": "x", "n_emo": 0, "s_bridge": nan}',
        "twice": b'{"nt": 12, "n_src": 12, "n_emo": 3, "s_bridge": 0.8, "s_bridge" :3e38}',
    }
    geometry = (b'{"canvas_w":512,"canvas_h":512,"window_x0":192,"window_y0":300,"window_w":128,"window_h":96,'
                b'"pad":8,"band_r0":10,"band_r1":42,"band_c0":20,"band_c1":84,"shift_margin":4}')
    sidecar = (b'{"format":"tessera_bank.v1","n_donors":3,"geometry":' + geometry +
               b',"track_order":[2,0,1],"cent":[[1.5,2],[3,4],[5,6e1]],"aperture":[0.1,0.2,0.3],'
               b'"c_canon":[256,330],"codec":{"codec":"h264","pix_fmt":"yuv444p"}}')
    seeds["tessera_json"] = {
        "sidecar": sidecar,
        "with_manifest": sidecar + b'\0{"tessera":{"geometry":' + geometry + b',"bank_pix_fmt":"gbrp"}}',
        "quirks": b'{"a" 1, "s":"x\\u00e9\\n", "t":[true,false,null,-1e-3], "u":"open',
        "deep": b'[' * 300,
    }
    lip = (b'{"format":"lip-template-v1","edge":"outward","canvas":64,"feather_px":3,'
           b'"u_canon":[[-1,0],[-0.5,-0.7],[0,-0.8],[0.5,-0.7],[1,0],[0.5,0.8],[0,0.9],[-0.5,0.8]],"lip_idx":[0,1,2,3]')
    lip_map = (b',"lip_map":{"schema":"lip-map-v1","kind":"anchor-linear","lip_idx":[0,1],"canvas":64,'
               b'"W":[' + b",".join([b"[0.5,0,0.1,0]"] * 16) + b'],"b":[' + b",".join([b"1"] * 16) + b']}')
    seeds["lip_template"] = {"plain": lip + b"}", "mapped": lip + lip_map + b"}",
                             "huge_map": lip + lip_map.replace(b"0.5,0", b"1e300,0") + b"}"}
    seeds["head_pt"] = head_seeds()
    seeds["bank_track"] = bank_track_seeds()
    seeds["onnx"] = onnx_seeds()
    seeds["samples"] = sample_seeds()
    for target, files in seeds.items():
        d = os.path.join(out, target)
        os.makedirs(d, exist_ok=True)
        for name, data in files.items():
            with open(os.path.join(d, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main(sys.argv[1])
