"""Motion directory of the reference avatar: every file of the three-network
motion engine at its exact size, with procedural networks whose outputs follow
their inputs. Each network has a numpy twin here, so a reference
implementation of the engine can run without onnxruntime.

  hubert_student  mel [1,80,21] -> feat [1,20,1024]: feature frame f is the
                  mean of mel columns f and f+1 mapped by a fixed matrix (the
                  first 80 values are the mel bands x 0.1)
  lmdm            seed [1,265], cond [1,80,1103] -> motion [1,80,265]: the pose
                  values repeat the seed's; the expression opens the lips with
                  the level of the low mel bands in the audio feature, plus a
                  faint trace of the emotion row
  stitch          kp_source [1,21,3], kp_driving [1,21,3] -> kp_refined
                  [1,21,3] = driving + 0.05 (source - driving)
"""
import json
import os

import numpy as np
from onnx import TensorProto, helper

from . import bundle as B
from .graphs import G, finish, poisoned

NMEL, NSTFT, NFEAT, NCOND, NMOT, NPOSE = 80, 21, 1024, 1103, 265, 202
N_EMO = 3
S_BRIDGE = 0.8
DELTA_PITCH = 2.0
LEVEL_LOW, LEVEL_HIGH = -1.0, 0.2    # audio level (mean of feature values 0..39) from closed to open
LIP = {12 * 3 + 1: 0.05, 20 * 3 + 1: 0.045, 6 * 3 + 1: -0.01, 19 * 3 + 1: -0.01, 14 * 3 + 0: -0.01,
       17 * 3 + 0: 0.01}
EXPR_BOUND = 0.04                    # the expression values are clamped to +-this


def student_matrix(seed=0):
    rng = np.random.default_rng(seed + 21)
    w = (rng.standard_normal((NMEL, NFEAT)) * 0.01).astype(np.float32)
    w[:, :NMEL] = np.eye(NMEL, dtype=np.float32) * 0.1
    return w


def lip_pattern():
    p = np.zeros(63, np.float32)
    for i, v in LIP.items():
        p[i] = v
    return p


def cond_maps():
    """level [1103, 1] (mean of feature values 0..39) and emo [1103, 63] (emotion value 0 -> every expression)."""
    level = np.zeros((NCOND, 1), np.float32)
    level[:40, 0] = 1.0 / 40
    emo = np.zeros((NCOND, 63), np.float32)
    emo[NFEAT, :] = 0.001
    return level, emo


# ---- numpy twins -------------------------------------------------------------------------------

def student_np(mel, seed=0):
    a = 0.5 * (mel[:, :, :-1] + mel[:, :, 1:])
    return np.transpose(a, (0, 2, 1)) @ student_matrix(seed)


def lmdm_np(seed_frame, cond):
    level, emo = cond_maps()
    lvl = cond @ level                                               # [1,80,1]
    opening = np.clip((lvl - LEVEL_LOW) * (1.0 / (LEVEL_HIGH - LEVEL_LOW)), 0.0, 1.0)
    expr = opening * lip_pattern() + cond @ emo
    pose = np.broadcast_to(seed_frame[:, None, :NPOSE], (1, 80, NPOSE))
    return np.concatenate([pose, expr], axis=2)


def stitch_np(ks, kd):
    return kd + 0.05 * (ks - kd)


# ---- graphs ------------------------------------------------------------------------------------

def student_graph(seed=0):
    g = G()
    g.i64("s0", [0]); g.i64("s20", [20]); g.i64("s1", [1]); g.i64("s21", [21]); g.i64("ax2", [2])
    a = g.op("Slice", ["mel", "s0", "s20", "ax2"])
    b = g.op("Slice", ["mel", "s1", "s21", "ax2"])
    g.f("half", 0.5)
    m = g.op("Mul", [g.op("Add", [a, b]), "half"])
    g.const("w_student", student_matrix(seed))
    g.op("MatMul", [g.op("Transpose", [m], perm=[0, 2, 1]), "w_student"], out="feat")
    return finish(g, "le_ref_hubert_student",
                  [helper.make_tensor_value_info("mel", TensorProto.FLOAT, [1, NMEL, NSTFT])],
                  [helper.make_tensor_value_info("feat", TensorProto.FLOAT, [1, 20, NFEAT])])


def lmdm_graph():
    g = G()
    level, emo = cond_maps()
    g.const("w_level", level); g.const("w_emo", emo); g.const("pattern", lip_pattern()[None, None])
    lvl = g.op("MatMul", ["cond", "w_level"])
    g.f("lo", LEVEL_LOW); g.f("inv_span", 1.0 / (LEVEL_HIGH - LEVEL_LOW)); g.f("zero", 0.0); g.f("one", 1.0)
    opening = g.op("Clip", [g.op("Mul", [g.op("Sub", [lvl, "lo"]), "inv_span"]), "zero", "one"])
    expr = g.op("Add", [g.op("Mul", [opening, "pattern"]), g.op("MatMul", ["cond", "w_emo"])])
    g.i64("p0", [0]); g.i64("p1", [NPOSE]); g.i64("ax1", [1])
    pose = g.op("Slice", ["seed", "p0", "p1", "ax1"])                  # [1,202]
    g.i64("pose3", [1, 1, NPOSE]); g.i64("pose_rep", [1, 80, 1])
    pose = g.op("Tile", [g.op("Reshape", [pose, "pose3"]), "pose_rep"])
    g.op("Concat", [pose, expr], out="motion", axis=2)
    return finish(g, "le_ref_lmdm",
                  [helper.make_tensor_value_info("seed", TensorProto.FLOAT, [1, NMOT]),
                   helper.make_tensor_value_info("cond", TensorProto.FLOAT, [1, 80, NCOND])],
                  [helper.make_tensor_value_info("motion", TensorProto.FLOAT, [1, 80, NMOT])])


def stitch_graph():
    g = G()
    g.f("pull", 0.05)
    g.op("Add", ["kp_driving", g.op("Mul", [g.op("Sub", ["kp_source", "kp_driving"]), "pull"])], out="kp_refined")
    return finish(g, "le_ref_stitch",
                  [helper.make_tensor_value_info("kp_source", TensorProto.FLOAT, [1, 21, 3]),
                   helper.make_tensor_value_info("kp_driving", TensorProto.FLOAT, [1, 21, 3])],
                  [helper.make_tensor_value_info("kp_refined", TensorProto.FLOAT, [1, 21, 3])])


# ---- files -------------------------------------------------------------------------------------

def mel_matrix():
    """[257, 80]: triangular mel filters over the 512-point spectrum at 16 kHz."""
    hz = lambda m: 700.0 * (10 ** (m / 2595.0) - 1)
    mel = lambda f: 2595.0 * np.log10(1 + f / 700.0)
    edges = hz(np.linspace(mel(0), mel(8000), NMEL + 2))
    bins = np.arange(257) * 16000 / 512
    m = np.zeros((257, NMEL), np.float32)
    for j in range(NMEL):
        lo, c, hi = edges[j], edges[j + 1], edges[j + 2]
        up = (bins - lo) / (c - lo)
        down = (hi - bins) / (hi - c)
        m[:, j] = np.maximum(0, np.minimum(up, down))
    return m


def group(angle_deg, sharp=4.0):
    """66 logits whose softmax expectation decodes near angle_deg."""
    centre = (angle_deg + 97.5) / 3.0
    return (-((np.arange(66) - centre) ** 2) / (2 * sharp)).astype(np.float32)


def xs_info(expr, canon, pitch, yaw, roll, scale, t):
    row = np.zeros(328, np.float32)
    row[0:63] = expr
    row[63:126] = canon
    row[126:192] = group(pitch)
    row[192:258] = group(roll)
    row[258] = scale
    row[259:262] = t
    row[262:328] = group(yaw)
    return row


def canonical():
    c = np.zeros((21, 3), np.float32)
    c[:, :2] = B.KP_TEMPLATE * 0.8
    c[:, 2] = 0.05 * np.cos(np.arange(21))
    return c.reshape(-1)


def write_motion_dir(out, nt, seed=0):
    rng = np.random.default_rng(seed + 5)
    os.makedirs(out, exist_ok=True)
    f32 = lambda name, a: np.asarray(a, "<f4").tofile(os.path.join(out, name))
    n = np.arange(512)
    f32("hubert_stft_window.bin", 0.5 - 0.5 * np.cos(2 * np.pi * n / 512))
    f32("hubert_stft_binmat.bin", mel_matrix())
    f32("hubert_fmean.bin", rng.standard_normal(NFEAT) * 0.01)
    f32("hubert_fstd.bin", 1.0 + np.abs(rng.standard_normal(NFEAT)) * 0.1)
    f32("emo.bin", rng.standard_normal((N_EMO, 8)) * 0.5)
    canon = canonical()
    f32("ch_xs_info.bin", xs_info(np.zeros(63), canon, 0.0, 0.0, 0.0, 1.1, (0, 0, 0)))
    f32("ch_sc.bin", canon)
    f32("ch_eye_open.bin", [0.3, 0.3])
    f32("ch_eye_ball.bin", [0.0, 0.0, 0.0, 0.0, 0.0, 0.0])
    vmin = np.full(NMOT, -50.0, np.float32)
    vmax = np.full(NMOT, 50.0, np.float32)
    vmin[NPOSE:] = -EXPR_BOUND
    vmax[NPOSE:] = EXPR_BOUND
    f32("v_min_max.bin", np.concatenate([vmin, vmax]))
    rows = []
    for i in range(nt):
        phi = 2 * np.pi * i / nt
        expr = 0.01 * np.sin(phi + np.arange(63))
        rows.append(xs_info(expr, canon, 3 * np.sin(phi), 4 * np.cos(phi), 1.5 * np.sin(2 * phi),
                            1.0 + 0.02 * np.sin(phi), (0.01 * np.cos(phi), 0.01 * np.sin(phi), 0.0)))
    f32("src_xs_info.bin", np.stack(rows))
    f32("xs_target.bin", B.idle_keypoints(nt).reshape(nt, 63))
    with open(os.path.join(out, "meta.json"), "w") as f:
        json.dump({"nt": nt, "n_src": nt, "n_emo": N_EMO, "s_bridge": S_BRIDGE, "delta_pitch": DELTA_PITCH}, f,
                  indent=2)
    import onnx
    onnx.save(student_graph(seed), os.path.join(out, "hubert_student.onnx"))
    onnx.save(lmdm_graph(), os.path.join(out, "lmdm.onnx"))
    onnx.save(stitch_graph(), os.path.join(out, "stitch.onnx"))
    # The three networks gone bad (NaN outputs), for the engine's checks.
    for name, graph in (("hubert_student", student_graph(seed)), ("lmdm", lmdm_graph()), ("stitch", stitch_graph())):
        onnx.save(poisoned(graph), os.path.join(out, name + "_nan.onnx"))
