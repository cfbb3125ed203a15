"""Director graphs of the reference avatar: small procedural networks with the
tensor names, shapes and roles the engine binds.

Warp-prior family (inputs pooled64, P_rgb, kp_driving, kp_source; output rgb):

  grid   = identity + sum_k exp(-|p - kd_k|^2 / 2s^2) (ks_k - kd_k), computed on a
           coarse grid and resized (linear) to the crop
  cone   = Concat(P, d2x(P), d2y(P), d4(P))          second differences, edge-clamped
  A      = GridSample(cone, grid)                     bilinear, border, align_corners 0
  warped = (A0 - ax A1 - ay A2) + ax ay A3            curvature-corrected bilinear warp
  x      = Clip(warped, 0, 1) + tint(pooled64)        tint: MatMul "/s2/blend", faint
  y      = x + Conv1x1(Resize cubic 2x (AveragePool 2x2 (x)))   faint low-pass colour term
  rgb    = x a + y (1 - a),  a = Clip(ellipse)        compose tail

The compose alpha selects x (the warped face) inside the face ellipse; a lip
contour bound into it at load narrows that to the lips, and y must then pass
the rest of the face through sharp, so the head only adds a faint term.

FeatSynth family (inputs fs_red, pooled, kd, ks; output rgb): the crop stored in
fs_red channels 0..2 at 64x64, resized to the crop and warped by the same grid.
"""
import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 16
KP_ROWS = 21
COARSE = 16          # side of the grid on which the displacement is computed
SIGMA = 0.25         # Gaussian width in normalised crop units
TINT = 0.02          # weight of the pooled-feature tint


class G:
    """Accumulates nodes and initializers with unique names."""

    def __init__(self):
        self.nodes, self.inits, self.n, self.seen = [], [], 0, {}

    def const(self, name, arr):
        arr = np.asarray(arr)
        if name in self.seen:
            assert np.array_equal(self.seen[name], arr), name
            return name
        self.seen[name] = arr
        self.inits.append(numpy_helper.from_array(arr, name))
        return name

    def op(self, op_type, inputs, name=None, out=None, **attrs):
        self.n += 1
        out = out or "t%d_%s" % (self.n, op_type.lower())
        self.nodes.append(helper.make_node(op_type, inputs, [out], name=name or "/%s_%d" % (op_type, self.n), **attrs))
        return out

    def f(self, name, value):
        return self.const(name, np.array(value, np.float32))

    def i64(self, name, values):
        return self.const(name, np.array(values, np.int64))


def base_grid(side):
    """Normalised pixel-centre coordinates, [side, side, 2] as (x, y)."""
    c = (2.0 * np.arange(side, dtype=np.float64) + 1.0) / side - 1.0
    gy, gx = np.meshgrid(c, c, indexing="ij")
    return np.stack([gx, gy], -1).astype(np.float32)


def keypoint_grid(g, crop, kd, ks, rows):
    """The sampling grid [B, crop, crop, 2] from driving and source keypoints."""
    pc = base_grid(COARSE).reshape(1, COARSE * COARSE, 1, 2)
    g.const("coarse_pos", pc)
    g.i64("xy_starts", [0]); g.i64("xy_ends", [2]); g.i64("xy_axes", [2])
    kd2 = g.op("Slice", [kd, "xy_starts", "xy_ends", "xy_axes"])
    ks2 = g.op("Slice", [ks, "xy_starts", "xy_ends", "xy_axes"])
    g.i64("ax1", [1])
    kd4 = g.op("Unsqueeze", [kd2, "ax1"])                              # [B,1,K,2]
    diff = g.op("Sub", ["coarse_pos", kd4])                           # [B,P,K,2]
    sq = g.op("Mul", [diff, diff])
    g.i64("ax3", [3])
    d2 = g.op("ReduceSum", [sq, "ax3"], keepdims=0)                   # [B,P,K]
    g.f("neg_inv_2s2", -1.0 / (2 * SIGMA * SIGMA))
    w = g.op("Exp", [g.op("Mul", [d2, "neg_inv_2s2"])])
    delta = g.op("Sub", [ks2, kd2])                                   # [B,K,2]
    disp = g.op("MatMul", [w, delta], name="/warp/disp")              # [B,P,2]
    g.i64("coarse_shape", [0, COARSE, COARSE, 2])
    disp4 = g.op("Reshape", [disp, "coarse_shape"])
    dispc = g.op("Transpose", [disp4], perm=[0, 3, 1, 2])             # [B,2,c,c]
    g.f("up_scales", [1.0, 1.0, crop / COARSE, crop / COARSE])
    up = g.op("Resize", [dispc, "", "up_scales"], mode="linear", coordinate_transformation_mode="half_pixel")
    upt = g.op("Transpose", [up], perm=[0, 2, 3, 1])                  # [B,crop,crop,2]
    g.const("ident_grid", base_grid(crop)[None])
    return g.op("Add", ["ident_grid", upt], out="grid")


def fraction_weight(g, grid, axis, side, tag):
    """(1 - f) f / 2 with f the fraction of the unclamped sample coordinate, [B,1,C,C]."""
    g.i64("ga_s_" + tag, [axis]); g.i64("ga_e_" + tag, [axis + 1]); g.i64("ga_a", [3])
    comp = g.op("Slice", [grid, "ga_s_" + tag, "ga_e_" + tag, "ga_a"])
    comp = g.op("Transpose", [comp], perm=[0, 3, 1, 2])
    g.f("one", 1.0); g.f("half", 0.5); g.f("side_" + tag, float(side))
    ix = g.op("Mul", [g.op("Sub", [g.op("Mul", [g.op("Add", [comp, "one"]), "side_" + tag]), "one"]), "half"])
    fx = g.op("Sub", [ix, g.op("Floor", [ix])])
    return g.op("Mul", [g.op("Mul", [g.op("Sub", ["one", fx]), fx]), "half"])


def second_difference_cone(g, p_rgb):
    """Concat of P and its three edge-clamped difference planes: [B,12,C,C]."""
    g.i64("pad1", [0, 0, 1, 1, 0, 0, 1, 1])
    padded = g.op("Pad", [p_rgb, "pad1"], mode="edge")
    k = np.array([1.0, -2.0, 1.0])
    kernels = {"d2x": np.outer([0, 1, 0], k), "d2y": np.outer(k, [0, 1, 0]), "d4": np.outer(k, k)}
    planes = [p_rgb]
    for name, ker in kernels.items():
        wt = np.tile(ker.astype(np.float32)[None, None], (3, 1, 1, 1))
        g.const("w_" + name, wt)
        planes.append(g.op("Conv", [padded, "w_" + name], name="/cone/" + name, group=3, kernel_shape=[3, 3]))
    return g.op("Concat", planes, name="/cone/concat", out="cone", axis=1)


def warp_prior_graph(batch=1, crop=32, rows=KP_ROWS, dynamic_batch=False, with_pooled=True,
                     padding_mode="border", seed=0, probe=False, fail_marker=False, nan_marker=False):
    """probe: also output the grid and the warped crop, for checking the warp arithmetic.
    fail_marker: the run fails (an index out of range) when keypoint 0 of kp_source has z > 1.
    nan_marker: the crop is NaN everywhere when keypoint 0 of kp_source has z > 1."""
    rng = np.random.default_rng(seed)
    B = "N" if dynamic_batch else batch
    g = G()
    inputs = []
    if with_pooled:
        inputs.append(helper.make_tensor_value_info("pooled64", TensorProto.FLOAT, [B, 64, 32, 32]))
    inputs += [helper.make_tensor_value_info("P_rgb", TensorProto.FLOAT, [B, 3, crop, crop]),
               helper.make_tensor_value_info("kp_driving", TensorProto.FLOAT, [B, rows, 3]),
               helper.make_tensor_value_info("kp_source", TensorProto.FLOAT, [B, rows, 3])]

    grid = keypoint_grid(g, crop, "kp_driving", "kp_source", rows)
    cone = second_difference_cone(g, "P_rgb")
    sampled = g.op("GridSample", [cone, grid], name="/warp/gridsample", mode="bilinear",
                   padding_mode=padding_mode, align_corners=0)
    parts = []
    for k in range(4):
        g.i64("sl_s%d" % k, [3 * k]); g.i64("sl_e%d" % k, [3 * k + 3]); g.i64("ch_axis", [1])
        parts.append(g.op("Slice", [sampled, "sl_s%d" % k, "sl_e%d" % k, "ch_axis"], name="/warp/slice%d" % k))
    ax = fraction_weight(g, grid, 0, crop, "x")
    ay = fraction_weight(g, grid, 1, crop, "y")
    axay = g.op("Mul", [ax, ay])
    s1 = g.op("Sub", [parts[0], g.op("Mul", [parts[1], ax], name="/warp/mx")], name="/warp/sx")
    s2 = g.op("Sub", [s1, g.op("Mul", [parts[2], ay], name="/warp/my")], name="/warp/sy")
    warped = g.op("Add", [s2, g.op("Mul", [parts[3], axay], name="/warp/mxy")], name="/warp/exit", out="warped")
    g.f("zero", 0.0)
    g.f("one", 1.0)
    x = g.op("Clip", [warped, "zero", "one"], name="/warp/clip")

    # Pooled features tint the face faintly, so a wrong binding shows.
    if with_pooled:
        pooled = g.op("ReduceMean", ["pooled64"], axes=[2, 3], keepdims=0)        # [B,64]
        g.const("blend_w", (rng.standard_normal((64, 3)) * TINT).astype(np.float32))
        tint = g.op("MatMul", [pooled, "blend_w"], name="/s2/blend")              # [B,3]
        g.i64("tint_shape", [-1, 3, 1, 1])
        x = g.op("Add", [x, g.op("Reshape", [tint, "tint_shape"])], name="/tint/add")

    # Head: a blurred copy upsampled with the cubic Resize; a 1x1 Conv turns
    # it into a faint colour-contrast term added to the sharp face.
    low = g.op("AveragePool", [x], kernel_shape=[2, 2], strides=[2, 2])
    g.f("cubic_scales", [1.0, 1.0, 2.0, 2.0])
    up = g.op("Resize", [low, "", "cubic_scales"], name="/head/Resize", mode="cubic",
              coordinate_transformation_mode="half_pixel", cubic_coeff_a=-0.75)
    head_w = (np.eye(3) - 1.0 / 3).reshape(3, 3, 1, 1) * 0.08
    g.const("head_w", head_w.astype(np.float32))
    y = g.op("Add", [x, g.op("Conv", [up, "head_w"], name="/head/conv", kernel_shape=[1, 1])], name="/head/add")

    # Compose tail: x inside the face ellipse, y outside it.
    yy, xx = np.meshgrid(np.arange(crop), np.arange(crop), indexing="ij")
    c = (crop - 1) / 2.0
    r = np.sqrt(((xx - c) / (0.47 * crop)) ** 2 + ((yy - c) / (0.49 * crop)) ** 2)
    g.const("ellipse", ((1.0 - r) * 8.0).astype(np.float32)[None, None])
    a = g.op("Clip", ["ellipse", "zero", "one"], name="/compose/alpha")
    inv = g.op("Sub", ["one", a], name="/compose/inv")
    mixed = g.op("Add", [g.op("Mul", [x, a], name="/compose/mx"), g.op("Mul", [y, inv], name="/compose/my")],
                 name="/compose/add", out=None if fail_marker or nan_marker else "rgb")
    if nan_marker:
        g.i64("z_s", [0, 0, 2]); g.i64("z_e", [1, 1, 3])
        z = g.op("Slice", ["kp_source", "z_s", "z_e"])
        g.f("marker", 1.0)
        flag = g.op("Cast", [g.op("Greater", [z, "marker"])], to=TensorProto.FLOAT)
        g.op("Add", [mixed, g.op("Sqrt", [g.op("Neg", [flag])])], out="rgb")
    if fail_marker:
        g.i64("z_s", [0, 0, 2]); g.i64("z_e", [1, 1, 3])
        z = g.op("Slice", ["kp_source", "z_s", "z_e"])
        g.f("marker", 1.0); g.i64("far", [5]); g.i64("one_row", [1])
        idx = g.op("Mul", [g.op("Cast", [g.op("Greater", [z, "marker"])], to=TensorProto.INT64), "far"])
        g.const("probe_row", np.zeros(1, np.float32))
        picked = g.op("Gather", ["probe_row", g.op("Reshape", [idx, "one_row"])], axis=0)
        g.i64("one4", [1, 1, 1, 1])
        g.op("Add", [mixed, g.op("Mul", [g.op("Reshape", [picked, "one4"]), "zero"])], out="rgb")

    outs = [helper.make_tensor_value_info("rgb", TensorProto.FLOAT, [B, 3, crop, crop])]
    if probe:
        outs += [helper.make_tensor_value_info("grid", TensorProto.FLOAT, [B, crop, crop, 2]),
                 helper.make_tensor_value_info("warped", TensorProto.FLOAT, [B, 3, crop, crop])]
    return finish(g, "le_ref_director", inputs, outs)


def feat_synth_graph(batch=1, crop=32, seed=0):
    rng = np.random.default_rng(seed + 1)
    g = G()
    inputs = [helper.make_tensor_value_info("fs_red", TensorProto.FLOAT, [batch, 64, 64, 64]),
              helper.make_tensor_value_info("pooled", TensorProto.FLOAT, [batch, 64, 32, 32]),
              helper.make_tensor_value_info("kd", TensorProto.FLOAT, [batch, KP_ROWS, 3]),
              helper.make_tensor_value_info("ks", TensorProto.FLOAT, [batch, KP_ROWS, 3])]
    grid = keypoint_grid(g, crop, "kd", "ks", KP_ROWS)
    g.i64("fs_s", [0]); g.i64("fs_e", [3]); g.i64("fs_ax", [1])
    img = g.op("Slice", ["fs_red", "fs_s", "fs_e", "fs_ax"])
    g.i64("fs_sizes", [batch, 3, crop, crop])
    full = g.op("Resize", [img, "", "", "fs_sizes"], mode="linear", coordinate_transformation_mode="half_pixel")
    warped = g.op("GridSample", [full, grid], mode="bilinear", padding_mode="border", align_corners=0)
    pooled = g.op("ReduceMean", ["pooled"], axes=[2, 3], keepdims=0)
    g.const("fs_blend_w", (rng.standard_normal((64, 3)) * TINT).astype(np.float32))
    tint = g.op("MatMul", [pooled, "fs_blend_w"])
    g.i64("tint_shape", [-1, 3, 1, 1])
    g.op("Add", [warped, g.op("Reshape", [tint, "tint_shape"])], out="rgb")
    out = helper.make_tensor_value_info("rgb", TensorProto.FLOAT, [batch, 3, crop, crop])
    return finish(g, "le_ref_featsynth", inputs, [out])


def poisoned(model):
    """A copy of `model` whose first output is NaN everywhere (its value plus
    Sqrt(-1)): a network gone bad, for the engine's finiteness checks."""
    import copy
    m = copy.deepcopy(model)
    out = m.graph.output[0].name
    clean = out + "_before_nan"
    for node in m.graph.node:
        node.input[:] = [clean if n == out else n for n in node.input]
        node.output[:] = [clean if n == out else n for n in node.output]
    m.graph.initializer.append(numpy_helper.from_array(np.array([-1.0], np.float32), "nan_minus_one"))
    m.graph.node.append(helper.make_node("Sqrt", ["nan_minus_one"], ["nan_value"]))
    m.graph.node.append(helper.make_node("Add", [clean, "nan_value"], [out]))
    return m


def finish(g, name, inputs, outputs):
    graph = helper.make_graph(g.nodes, name, inputs, outputs, initializer=g.inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)],
                              producer_name="le_core reference avatar")
    model.ir_version = 8
    onnx.checker.check_model(model, full_check=True)
    return model


def write_directors(out_dir, crop, names, featsynth=False, bad=False, seed=0):
    """Writes the director graphs of a bundle; `names(key)` gives the member name."""
    written = []
    for b in (1, 4):
        key = "b%d" % b
        model = feat_synth_graph(b, crop, seed) if featsynth else warp_prior_graph(b, crop, seed=seed)
        onnx.save(model, "%s/%s" % (out_dir, names(key)))
        written.append(key)
        if b == 1 and not featsynth:
            # The whole-stream runner's director: the single-frame graph.
            onnx.save(model, "%s/model_render.onnx" % out_dir)
            written.append("render")
    if bad:
        variants = {
            "b1_kp22": warp_prior_graph(1, crop, rows=22, seed=seed),
            "b1_dynamic": warp_prior_graph(1, crop, dynamic_batch=True, seed=seed),
            "b1_nopooled": warp_prior_graph(1, crop, with_pooled=False, seed=seed),
            "b1_zeros": warp_prior_graph(1, crop, padding_mode="zeros", seed=seed),
            "b1_probe": warp_prior_graph(1, crop, seed=seed, probe=True),
            "b1_failmarker": warp_prior_graph(1, crop, seed=seed, fail_marker=True),
            "b1_nanmarker": warp_prior_graph(1, crop, seed=seed, nan_marker=True),
        }
        for key, model in variants.items():
            onnx.save(model, "%s/%s" % (out_dir, names(key)))
            written.append(key)
    return written
