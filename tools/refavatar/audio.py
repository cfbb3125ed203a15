"""Audio networks of the reference avatar: procedural ONNX graphs with the
tensor names and shapes the audio-to-expression engine binds.

Shared encoders (one models directory, named by W2V_ONNX):

  band energies  e_b(t) = (x * cos_b)^2 + (x * sin_b)^2 over the 640-sample
                 Hann-windowed frame that starts at sample 80 t (a fixed
                 filterbank of BANDS centre frequencies), v_b = log(e_b + EPS)
  8 s encoder    input_values [1,128000] -> audio_emb [12,200,768]: v on the
                 80-sample grid (1600 steps), sampled at step j*1598/199 for
                 frame j (linear), spread over 12 layers x 768 (EMBED)
  trunk          input_values [1,32000] -> float16 [1,640,400]: v on the same
                 grid, channel c carrying band c mod BANDS
  head           x [8,640] -> emb [8,9216]: the band means of the channels,
                 spread as the 8 s encoder spreads them

so the short-window pair and the 8 s encoder agree on the same audio up to the
interpolation and the half-precision rounding of the trunk grid.

Per bundle:

  a2x_enc_stream  feat [1,T,12,768], pos_window [1,T,h], attn [1,1,T,T] ->
                  ctx [1,T,h] (and wn [1,T,1]): the band values projected to h,
                  then LAYERS rounds of banded attention whose weights are the
                  attn mask (0 or -inf, made 0/1) times a positive key score.
                  Only exact elementwise arithmetic and sequential products run
                  over T, so a row does not depend on where its band starts.
  a2x_dec         ctx_t [1,h], prev [1,63], h [1,1,h] -> m [1,63], h_out [1,1,h]:
                  h_out leaks towards ctx_t measured from the level of silence
                  (so the zero state is silence); the voiced-band level of
                  h_out opens the lip rows (m), which ease back to zero in
                  silence; the opening rises by at most RISE a frame.
"""
import json
import os

import numpy as np
import onnx
from onnx import TensorProto, helper

from .graphs import G, finish, poisoned

SR = 16000
FRAME = 640
GRID = 80
BANDS = 16
EPS = 1e-4
LAYERS_OUT, EMBED = 12, 768
H = 32
POS_ROWS = 200

# Band centres (Hz): the first eight span the voiced range.
CENTRES = np.concatenate([np.geomspace(120, 1000, 8), np.geomspace(1300, 6000, 8)])

# Lip rows of the keypoint set (index = keypoint * 3 + coordinate) and how far
# a fully open mouth moves each, in keypoint units (the a2x_norm scales).
LIP = {12 * 3 + 1: 0.22, 20 * 3 + 1: 0.20, 6 * 3 + 1: -0.05, 19 * 3 + 1: -0.05,
       14 * 3 + 0: -0.04, 17 * 3 + 0: 0.04}
OPEN_LOW, OPEN_HIGH = -9.0, -5.0     # voiced level (mean log band energy) from closed to open
LEAK = 0.25                          # decoder state: h_out = LEAK h + (1 - LEAK) (ctx_t - log EPS)
EASE = 0.15                          # opening = EASE prev + (1 - EASE) open ...
RISE = 0.2                           # ... rising by at most this much a frame; m = opening * pattern


def filterbank():
    """[2*BANDS, 1, 640]: cosine then sine filters, Hann-windowed, unit window sum."""
    n = np.arange(FRAME)
    win = 0.5 - 0.5 * np.cos(2 * np.pi * (n + 0.5) / FRAME)
    win /= win.sum()
    cos = np.stack([win * np.cos(2 * np.pi * f * n / SR) for f in CENTRES])
    sin = np.stack([win * np.sin(2 * np.pi * f * n / SR) for f in CENTRES])
    return np.concatenate([cos, sin]).astype(np.float32)[:, None, :]


def spread():
    """[BANDS, 12*768]: layer l, dimension d carries band d mod BANDS times 1 + l/16."""
    m = np.zeros((BANDS, LAYERS_OUT * EMBED), np.float32)
    for l in range(LAYERS_OUT):
        d = np.arange(EMBED)
        m[d % BANDS, l * EMBED + d] = 1.0 + l / 16.0
    return m


def band_values(g, x, samples):
    """log band energies of x [1, samples] on the 80-sample grid: [1, BANDS, samples/80]."""
    g.i64("x3", [1, 1, samples])
    x3 = g.op("Reshape", [x, "x3"])
    g.const("fbank", filterbank())
    y = g.op("Conv", [x3, "fbank"], name="/fbank", kernel_shape=[FRAME], strides=[GRID], pads=[0, FRAME - GRID])
    g.i64("c_s", [0]); g.i64("c_e", [BANDS]); g.i64("s_e", [2 * BANDS]); g.i64("ax1", [1])
    c = g.op("Slice", [y, "c_s", "c_e", "ax1"])
    s = g.op("Slice", [y, "c_e", "s_e", "ax1"])
    e = g.op("Add", [g.op("Mul", [c, c]), g.op("Mul", [s, s])])
    g.f("eps", EPS)
    return g.op("Log", [g.op("Add", [e, "eps"])], name="/level")


def encoder8_graph(from_silence=False):
    """from_silence: the levels measured from that of silence (log EPS), so a
    silent frame is all zeros and louder frames have larger norms (the
    whole-clip delta model's encoder)."""
    g = G()
    v = band_values(g, "input_values", 128000)                      # [1,B,1600]
    if from_silence:
        g.f("silence_level", float(np.log(EPS)))
        v = g.op("Sub", [v, "silence_level"])
    pos = np.arange(200) * (1598.0 / 199.0)
    i0 = np.floor(pos).astype(np.int64)
    i1 = np.minimum(i0 + 1, 1599)
    w = (pos - i0).astype(np.float32)
    g.const("i0", i0); g.const("i1", i1); g.const("w1", w); g.const("w0", (1 - w).astype(np.float32))
    a = g.op("Mul", [g.op("Gather", [v, "i0"], axis=2), "w0"])
    b = g.op("Mul", [g.op("Gather", [v, "i1"], axis=2), "w1"])
    f = g.op("Transpose", [g.op("Add", [a, b])], perm=[0, 2, 1])   # [1,200,B]
    g.const("spread", spread())
    emb = g.op("MatMul", [f, "spread"])                             # [1,200,9216]
    g.i64("emb_shape", [200, LAYERS_OUT, EMBED])
    g.op("Transpose", [g.op("Reshape", [emb, "emb_shape"])], perm=[1, 0, 2], out="audio_emb")
    return finish(g, "le_ref_w2v_8s",
                  [helper.make_tensor_value_info("input_values", TensorProto.FLOAT, [1, 128000])],
                  [helper.make_tensor_value_info("audio_emb", TensorProto.FLOAT, [LAYERS_OUT, 200, EMBED])])


def trunk_graph():
    g = G()
    v = band_values(g, "input_values", 32000)                       # [1,B,400]
    ch = np.zeros((640, BANDS), np.float32)
    ch[np.arange(640), np.arange(640) % BANDS] = 1.0
    g.const("channels", ch)
    y = g.op("MatMul", ["channels", v])                             # [1,640,400]
    g.op("Cast", [y], out="trunk", to=TensorProto.FLOAT16)
    return finish(g, "le_ref_w2v_trunk",
                  [helper.make_tensor_value_info("input_values", TensorProto.FLOAT, [1, 32000])],
                  [helper.make_tensor_value_info("trunk", TensorProto.FLOAT16, [1, 640, 400])])


def head_graph():
    g = G()
    avg = np.zeros((640, BANDS), np.float32)
    avg[np.arange(640), np.arange(640) % BANDS] = BANDS / 640.0
    g.const("band_mean", avg)
    g.const("spread", spread())
    g.op("MatMul", [g.op("MatMul", ["x", "band_mean"]), "spread"], out="emb")
    return finish(g, "le_ref_w2v_head",
                  [helper.make_tensor_value_info("x", TensorProto.FLOAT, [8, 640])],
                  [helper.make_tensor_value_info("emb", TensorProto.FLOAT, [8, LAYERS_OUT * EMBED])])


def projection(seed):
    """[BANDS, H]: the bands copied to the first BANDS channels, faint mixes after."""
    rng = np.random.default_rng(seed + 7)
    p = np.zeros((BANDS, H), np.float32)
    p[:, :BANDS] = np.eye(BANDS)
    p[:, BANDS:] = rng.standard_normal((BANDS, H - BANDS)) * 0.05
    return p.astype(np.float32)


def encoder_stream_graph(layers, width, seed=0):
    rng = np.random.default_rng(seed + 11)
    g = G()
    g.i64("z1", [0]); g.i64("one_i", [1]); g.i64("bands_i", [BANDS]); g.i64("ax2", [2]); g.i64("ax3", [3])
    f0 = g.op("Slice", ["feat", "z1", "one_i", "ax2"])             # [1,T,1,768]
    f0 = g.op("Slice", [f0, "z1", "bands_i", "ax3"])               # [1,T,1,B]
    g.i64("btk", [1, -1, BANDS])
    v = g.op("Reshape", [f0, "btk"])                                # [1,T,B]
    g.const("proj", projection(seed))
    pmask = np.ones(H, np.float32)
    pmask[:BANDS] = 0.0
    g.const("pos_gain", (0.1 * pmask).astype(np.float32))
    x = g.op("Add", [g.op("MatMul", [v, "proj"]), g.op("Mul", ["pos_window", "pos_gain"])], name="/embed")
    g.f("one", 1.0); g.f("half", 0.5)
    mask = g.op("Relu", [g.op("Add", ["attn", "one"])], name="/attn/mask")   # [1,1,T,T], 0 or 1
    g.i64("sq_ax", [1])
    mask = g.op("Squeeze", [mask, "sq_ax"])                         # [1,T,T]
    g.f("zero_f", 0.0)
    ones = g.op("Add", [g.op("Mul", [g.op("Slice", [x, "z1", "one_i", "ax2"]), "zero_f"]), "one"])  # [1,T,1]
    for l in range(layers):
        g.const("wk%d" % l, (rng.standard_normal((H, 1)) * 0.05).astype(np.float32))
        score = g.op("Add", [g.op("Relu", [g.op("MatMul", [x, "wk%d" % l])]), "half"])   # [1,T,1]
        wts = g.op("Mul", [mask, g.op("Transpose", [score], perm=[0, 2, 1])], name="/attn%d/weights" % l)
        num = g.op("MatMul", [wts, x], name="/attn%d/num" % l)
        den = g.op("MatMul", [wts, ones], name="/attn%d/den" % l)
        att = g.op("Div", [num, den])
        mix = np.eye(H, dtype=np.float32) + (rng.standard_normal((H, H)) * 0.02).astype(np.float32)
        mix[:BANDS, :BANDS] = np.eye(BANDS)
        g.const("mix%d" % l, mix)
        x = g.op("Add", [g.op("Mul", [x, "half"]), g.op("Mul", [g.op("MatMul", [att, "mix%d" % l]), "half"])],
                 name="/layer%d" % l)
    g.op("Identity", [x], out="ctx")
    outs = [helper.make_tensor_value_info("ctx", TensorProto.FLOAT, [1, "T", H])]
    if width:
        wv = np.zeros((H, 1), np.float32)
        wv[:BANDS, 0] = 1.0 / BANDS
        g.const("wn_w", wv)
        g.op("MatMul", [x, "wn_w"], out="wn")
        outs.append(helper.make_tensor_value_info("wn", TensorProto.FLOAT, [1, "T", 1]))
    inputs = [helper.make_tensor_value_info("feat", TensorProto.FLOAT, [1, "T", LAYERS_OUT, EMBED]),
              helper.make_tensor_value_info("pos_window", TensorProto.FLOAT, [1, "T", H]),
              helper.make_tensor_value_info("attn", TensorProto.FLOAT, [1, 1, "T", "T"])]
    return finish(g, "le_ref_a2x_encoder", inputs, outs)


def decoder_graph(m_width=63):
    """m_width != 63: a hostile variant whose m output is the wrong size."""
    g = G()
    g.f("leak", LEAK); g.f("leak1", 1 - LEAK)
    g.i64("h3", [1, 1, H])
    g.f("silence", float(np.log(EPS)))
    ctx3 = g.op("Sub", [g.op("Reshape", ["ctx_t", "h3"]), "silence"])
    g.op("Add", [g.op("Mul", ["h", "leak"]), g.op("Mul", [ctx3, "leak1"])], out="h_out")
    voiced = np.zeros((H, 1), np.float32)
    voiced[:8, 0] = 1.0 / 8
    g.const("voiced", voiced)
    g.i64("h2", [1, H])
    level = g.op("MatMul", [g.op("Reshape", ["h_out", "h2"]), "voiced"])      # [1,1]
    g.f("lo", OPEN_LOW - float(np.log(EPS))); g.f("inv_span", 1.0 / (OPEN_HIGH - OPEN_LOW)); g.f("zero", 0.0); g.f("one", 1.0)
    opening = g.op("Clip", [g.op("Mul", [g.op("Sub", [level, "lo"]), "inv_span"]), "zero", "one"])
    pattern = np.zeros((1, 63), np.float32)
    for i, v in LIP.items():
        pattern[0, i] = np.sign(v)
    g.const("pattern", pattern)
    # The opening eases towards its target and rises by at most RISE a frame (read back from the lower lip's
    # row of prev, where the pattern is +1), so a loud onset opens the mouth over a few frames, not in one.
    g.i64("po_s", [12 * 3 + 1]); g.i64("po_e", [12 * 3 + 2]); g.i64("po_ax", [1])
    prev_open = g.op("Slice", ["prev", "po_s", "po_e", "po_ax"])               # [1,1]
    g.f("ease", EASE); g.f("ease1", 1 - EASE)
    target = g.op("Add", [g.op("Mul", [prev_open, "ease"]), g.op("Mul", [opening, "ease1"])])
    g.f("fall", -1.0); g.f("rise", RISE)
    step = g.op("Clip", [g.op("Sub", [target, prev_open]), "fall", "rise"])
    m = g.op("Mul", [g.op("Add", [prev_open, step]), "pattern"])
    if m_width != 63:
        g.i64("m_s", [0]); g.i64("m_e", [m_width]); g.i64("m_ax", [1])
        m = g.op("Slice", [m, "m_s", "m_e", "m_ax"])
    g.op("Identity", [m], out="m")
    inputs = [helper.make_tensor_value_info("ctx_t", TensorProto.FLOAT, [1, H]),
              helper.make_tensor_value_info("prev", TensorProto.FLOAT, [1, 63]),
              helper.make_tensor_value_info("h", TensorProto.FLOAT, [1, 1, H])]
    outs = [helper.make_tensor_value_info("m", TensorProto.FLOAT, [1, m_width]),
            helper.make_tensor_value_info("h_out", TensorProto.FLOAT, [1, 1, H])]
    return finish(g, "le_ref_a2x_decoder", inputs, outs)


def pos_table():
    k = np.arange(POS_ROWS)[:, None]
    i = np.arange(H)[None, :]
    return np.where(i % 2 == 0, np.sin(k / 10.0 ** (i / H)), np.cos(k / 10.0 ** ((i - 1) / H))).astype("<f4")


def write_bundle_audio(out, names, window=1, left=4, layers=2, width=True, silence_prime=0, seed=0, bad=False):
    """The bundle's audio-to-expression files: meta, position table, norm, encoder, decoder;
    bad: also a decoder whose m output is one value short (a2x_dec_m62.onnx), and the encoder,
    decoder and delta model with NaN outputs (*_nan.onnx)."""
    meta = {"h": H, "window": window, "left": left, "layers": layers, "width": bool(width),
            "silence_prime": silence_prime}
    with open(os.path.join(out, "a2x_meta.json"), "w") as f:
        json.dump(meta, f, indent=2)
    pos_table().tofile(os.path.join(out, "a2x_pos.f32"))
    norm = np.zeros(126, np.float32)
    for i, v in LIP.items():
        norm[63 + i] = abs(v)
    norm.astype("<f4").tofile(os.path.join(out, "a2x_norm.f32"))
    onnx.save(encoder_stream_graph(layers, width, seed), os.path.join(out, names("a2x_enc_stream.onnx")))
    onnx.save(decoder_graph(), os.path.join(out, names("a2x_dec.onnx")))
    onnx.save(fca_stream_graph(), os.path.join(out, "fca_stream.onnx"))
    if bad:
        onnx.save(decoder_graph(62), os.path.join(out, "a2x_dec_m62.onnx"))
        onnx.save(poisoned(encoder_stream_graph(layers, width, seed)), os.path.join(out, "a2x_enc_stream_nan.onnx"))
        onnx.save(poisoned(decoder_graph()), os.path.join(out, "a2x_dec_nan.onnx"))
        onnx.save(poisoned(fca_stream_graph()), os.path.join(out, "fca_stream_nan.onnx"))


FCA_COND, FCA_STATE = 7 * 768, 384
FCA_LIP = {12 * 3 + 1: 0.06, 20 * 3 + 1: 0.054, 6 * 3 + 1: -0.012, 19 * 3 + 1: -0.012, 14 * 3 + 0: -0.012,
           17 * 3 + 0: 0.012}


def fca_stream_graph():
    """cond [1,5376], prev [1,63], h [1,1,384] -> m [1,63], hn [1,1,384].

    The speaker-normalised voiced level of the frame itself (context row 1:
    mean of its voiced-band dimensions; the encoder measures levels from
    silence, so this is near 0 when voiced and far below in silence) opens
    the lips; m eases from prev, hn leaks towards the frame's
    first 384 features."""
    g = G()
    level_w = np.zeros((FCA_COND, 1), np.float32)
    d = np.arange(768)
    level_w[768 + d[d % BANDS < 8], 0] = 1.0 / np.count_nonzero(d % BANDS < 8)
    g.const("fca_level", level_w)
    lvl = g.op("MatMul", ["cond", "fca_level"])                                   # [1,1]
    g.f("lvl_off", 2.0); g.f("lvl_scale", 0.5); g.f("zero", 0.0); g.f("one", 1.0)
    opening = g.op("Clip", [g.op("Mul", [g.op("Add", [lvl, "lvl_off"]), "lvl_scale"]), "zero", "one"])
    pattern = np.zeros((1, 63), np.float32)
    for i, v in FCA_LIP.items():
        pattern[0, i] = v
    g.const("fca_pattern", pattern)
    g.f("ease", EASE); g.f("ease1", 1 - EASE)
    g.op("Add", [g.op("Mul", ["prev", "ease"]), g.op("Mul", [g.op("Mul", [opening, "fca_pattern"]), "ease1"])],
         out="m")
    g.i64("c_s", [768]); g.i64("c_e", [768 + FCA_STATE]); g.i64("c_ax", [1]); g.i64("h3", [1, 1, FCA_STATE])
    own = g.op("Reshape", [g.op("Slice", ["cond", "c_s", "c_e", "c_ax"]), "h3"])
    g.f("half", 0.5)
    g.op("Add", [g.op("Mul", ["h", "half"]), g.op("Mul", [own, "half"])], out="hn")
    return finish(g, "le_ref_fca_stream",
                  [helper.make_tensor_value_info("cond", TensorProto.FLOAT, [1, FCA_COND]),
                   helper.make_tensor_value_info("prev", TensorProto.FLOAT, [1, 63]),
                   helper.make_tensor_value_info("h", TensorProto.FLOAT, [1, 1, FCA_STATE])],
                  [helper.make_tensor_value_info("m", TensorProto.FLOAT, [1, 63]),
                   helper.make_tensor_value_info("hn", TensorProto.FLOAT, [1, 1, FCA_STATE])])


W2V_8S = "w2v_8s.onnx"
FCA_ENCODER = "fca_encoder.onnx"
TRUNK = "audio_encoder_fp16_window_trunk.onnx"
HEAD = "audio_encoder_fp16_window_head.onnx"


def write_w2v(out, pair=True):
    """The shared encoders: the 8 s encoder, and the short-window pair beside it."""
    os.makedirs(out, exist_ok=True)
    onnx.save(encoder8_graph(), os.path.join(out, W2V_8S))
    # The whole-stream runner's encoder has the same interface and features.
    onnx.save(encoder8_graph(from_silence=True), os.path.join(out, FCA_ENCODER))
    for n in (TRUNK, HEAD):
        if os.path.exists(os.path.join(out, n)):
            os.remove(os.path.join(out, n))
    if pair:
        onnx.save(trunk_graph(), os.path.join(out, TRUNK))
        onnx.save(head_graph(), os.path.join(out, HEAD))
    return os.path.join(out, W2V_8S)
