"""Director graphs of the reference avatar: small procedural networks with the
tensor names, shapes and roles the engine binds.

Warp-prior family (inputs pooled64, P_rgb, kp_driving, kp_source; output rgb):

  grid   = identity + (0, -open e(x) w(y))            the jaw drops with the lower lip: open = a quarter of
           how far the driving lower lip rows 12 and 20 sit below the source's, bounded; e = 1 - u^2
           across the mouth's corners; w = 0 above the mouth line (where the portrait's lips part), 1 below
           it, fading out towards the crop's bottom
  cone   = Concat(P, d2x(P), d2y(P), d4(P))          second differences, edge-clamped
  A      = GridSample(cone, grid)                     bilinear, border, align_corners 0
  warped = (A0 - ax A1 - ay A2) + ax ay A3            curvature-corrected bilinear warp
  x      = Clip(warped, 0, 1) (1 - gap) + interior gap   gap: from the line down to the dropped lip
  x      = x + tint(pooled64)                         tint: MatMul "/s2/blend", faint
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
OPEN_MAX = 0.12      # the largest jaw drop, normalised crop units
RAMP = 0.24          # over which the drop fades out towards the crop's bottom: stretch at most 1.5
JAW_BOTTOM = 0.76    # the drop holds down to here
INTERIOR = (0.18, 0.07, 0.094)  # the mouth interior's colour (as the bank's donors paint it)
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


def row_coord(g, kp, row, axis, tag):
    """Coordinate `axis` of keypoint `row`, [B,1,1,1]."""
    g.i64("rc_s_%s" % tag, [row, axis]); g.i64("rc_e_%s" % tag, [row + 1, axis + 1]); g.i64("rc_axes", [1, 2])
    v = g.op("Slice", [kp, "rc_s_%s" % tag, "rc_e_%s" % tag, "rc_axes"])
    g.i64("ax3", [3])
    return g.op("Unsqueeze", [v, "ax3"])


def mouth_geometry(g, kd, ks, crop, mouth_offset=0.0):
    """The mouth line (the source's corners, moved to where the portrait's lips part), the mouth's centre and
    half width, and the opening: a quarter of how far the driving lower lip rows sit below the source's,
    bounded to [0, OPEN_MAX]."""
    g.f("half", 0.5)
    g.f("mouth_offset", mouth_offset)
    corners_y = g.op("Mul", [g.op("Add", [row_coord(g, ks, 14, 1, "ks14y"), row_coord(g, ks, 17, 1, "ks17y")]), "half"])
    ym = g.op("Add", [corners_y, "mouth_offset"], name="/mouth/line")
    x14, x17 = row_coord(g, ks, 14, 0, "ks14x"), row_coord(g, ks, 17, 0, "ks17x")
    cx = g.op("Mul", [g.op("Add", [x14, x17]), "half"])
    g.f("min_half_width", 0.02)
    rx = g.op("Max", [g.op("Mul", [g.op("Abs", [g.op("Sub", [x17, x14])]), "half"]), "min_half_width"])
    drop = g.op("Add", [g.op("Sub", [row_coord(g, kd, 12, 1, "kd12y"), row_coord(g, ks, 12, 1, "ks12y")]),
                        g.op("Sub", [row_coord(g, kd, 20, 1, "kd20y"), row_coord(g, ks, 20, 1, "ks20y")])])
    g.f("quarter", 0.25); g.f("zero_g", 0.0); g.f("open_max", OPEN_MAX)
    opening = g.op("Clip", [g.op("Mul", [drop, "quarter"]), "zero_g", "open_max"], name="/mouth/open")
    pos = base_grid(crop)
    g.const("pos_x", pos[None, None, :, :, 0].copy())
    g.const("pos_y", pos[None, None, :, :, 1].copy())
    return ym, opening, mouth_profile(g, cx, rx)


def mouth_profile(g, cx, rx):
    """1 - u^2 across the mouth (u = (x - cx) / rx), 0 beyond its corners: the jaw bends down, it does not tear."""
    g.f("one_g", 1.0); g.f("zero_g", 0.0)
    u = g.op("Div", [g.op("Sub", ["pos_x", cx]), rx])
    return g.op("Clip", [g.op("Sub", ["one_g", g.op("Mul", [u, u])]), "zero_g", "one_g"], name="/mouth/profile")


def keypoint_grid(g, crop, kd, ks, rows, geometry=None):
    """The sampling grid [B, crop, crop, 2]: below the mouth line the lower lip, chin and jaw drop by the opening
    (times the mouth's profile across it) and the drop fades out towards the crop's bottom over RAMP; above the
    line nothing moves. The rows between the line and the dropped lower lip are the mouth gap (mouth_gap)."""
    ym, opening, profile = geometry or mouth_geometry(g, kd, ks, crop)
    pos = base_grid(crop)
    g.f("one_g", 1.0); g.f("zero_g", 0.0)
    # Rows below the line (a pixel's centre past it): 1; above: 0.
    g.f("px_scale", crop * 1e3)
    below = g.op("Clip", [g.op("Mul", [g.op("Sub", ["pos_y", ym]), "px_scale"]), "zero_g", "one_g"], name="/jaw/below")
    g.f("jaw_bottom", JAW_BOTTOM + RAMP); g.f("inv_ramp", 1.0 / RAMP)
    fade = g.op("Clip", [g.op("Mul", [g.op("Sub", ["jaw_bottom", "pos_y"]), "inv_ramp"]), "zero_g", "one_g"],
                name="/jaw/fade")
    weight = g.op("Mul", [g.op("Mul", [below, fade]), profile])
    dy = g.op("Neg", [g.op("Mul", [weight, opening])], name="/warp/disp")      # [B,1,C,C]
    dx = g.op("Mul", [dy, "zero_g"])
    disp = g.op("Concat", [dx, dy], axis=1)                                    # [B,2,C,C]
    upt = g.op("Transpose", [disp], perm=[0, 2, 3, 1])                         # [B,C,C,2]
    g.const("ident_grid", pos[None])
    return g.op("Add", ["ident_grid", upt], out="grid")


def mouth_gap(g, crop, geometry):
    """Where the lips part, [B,1,C,C] in [0, 1]: how much of each pixel's height lies between the mouth line and
    the dropped lower lip (the opening times the mouth's profile), so a gap thinner than a pixel still shows;
    nothing while the mouth is closed."""
    ym, opening, profile = geometry
    g.f("one_g", 1.0); g.f("zero_g", 0.0)
    g.f("half_pixel", 1.0 / crop); g.f("inv_pixel", crop / 2.0)
    depth = g.op("Mul", [opening, profile])                                   # the gap's depth per column
    rel = g.op("Sub", ["pos_y", ym])
    hi = g.op("Min", [g.op("Add", [rel, "half_pixel"]), depth])
    lo = g.op("Max", [g.op("Sub", [rel, "half_pixel"]), "zero_g"])
    return g.op("Clip", [g.op("Mul", [g.op("Sub", [hi, lo]), "inv_pixel"]), "zero_g", "one_g"], name="/mouth/gap",
                out="mouth_gap")


def fraction_weight(g, grid, axis, side, tag):
    """(1 - f) f / 2 with f the fraction of the unclamped sample coordinate, [B,1,C,C]."""
    g.i64("ga_s_" + tag, [axis]); g.i64("ga_e_" + tag, [axis + 1]); g.i64("ga_a", [3])
    comp = g.op("Slice", [grid, "ga_s_" + tag, "ga_e_" + tag, "ga_a"])
    comp = g.op("Transpose", [comp], perm=[0, 3, 1, 2])
    g.f("one", 1.0); g.f("half", 0.5); g.f("side_" + tag, float(side))
    ix = g.op("Mul", [g.op("Sub", [g.op("Mul", [g.op("Add", [comp, "one"]), "side_" + tag]), "one"]), "half"])
    fx = g.op("Sub", [ix, g.op("Floor", [ix])])
    return g.op("Mul", [g.op("Mul", [g.op("Sub", ["one", fx]), fx]), "half"])


def second_difference_cone(g, p_rgb, fail_marker=False):
    """Concat of P and its three edge-clamped difference planes: [B,12,C,C].
    fail_marker: the cone's run fails (an index out of range) when P's first value is above 1.5."""
    g.i64("pad1", [0, 0, 1, 1, 0, 0, 1, 1])
    padded = g.op("Pad", [p_rgb, "pad1"], mode="edge")
    k = np.array([1.0, -2.0, 1.0])
    kernels = {"d2x": np.outer([0, 1, 0], k), "d2y": np.outer(k, [0, 1, 0]), "d4": np.outer(k, k)}
    planes = [p_rgb]
    for name, ker in kernels.items():
        wt = np.tile(ker.astype(np.float32)[None, None], (3, 1, 1, 1))
        g.const("w_" + name, wt)
        planes.append(g.op("Conv", [padded, "w_" + name], name="/cone/" + name, group=3, kernel_shape=[3, 3]))
    if fail_marker:
        g.i64("c_s", [0, 0, 0, 0]); g.i64("c_e", [1, 1, 1, 1]); g.i64("far", [5]); g.i64("one_row", [1])
        g.i64("one4", [1, 1, 1, 1]); g.f("cone_marker", 1.5); g.f("zero", 0.0)
        first = g.op("Slice", [p_rgb, "c_s", "c_e"])
        idx = g.op("Mul", [g.op("Cast", [g.op("Greater", [first, "cone_marker"])], to=TensorProto.INT64), "far"])
        g.const("cone_row", np.zeros(1, np.float32))
        picked = g.op("Gather", ["cone_row", g.op("Reshape", [idx, "one_row"])], axis=0)
        planes[-1] = g.op("Add", [planes[-1], g.op("Mul", [g.op("Reshape", [picked, "one4"]), "zero"])])
    return g.op("Concat", planes, name="/cone/concat", out="cone", axis=1)


def warp_block(g, p_rgb, grid, crop, padding_mode="border", cone_fail=False):
    """The source cone sampled by one GridSample and recombined into the curvature-corrected bilinear warp."""
    cone = second_difference_cone(g, p_rgb, cone_fail)
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
    return g.op("Add", [s2, g.op("Mul", [parts[3], axay], name="/warp/mxy")], name="/warp/exit", out="warped")


def warp_block_graph(crop):
    """The warp block alone (inputs P_rgb [1,3,C,C] and grid_in [1,C,C,2], output warped), for benchmarks."""
    g = G()
    inputs = [helper.make_tensor_value_info("P_rgb", TensorProto.FLOAT, [1, 3, crop, crop]),
              helper.make_tensor_value_info("grid_in", TensorProto.FLOAT, [1, crop, crop, 2])]
    warp_block(g, "P_rgb", g.op("Identity", ["grid_in"], out="grid"), crop)
    outs = [helper.make_tensor_value_info("warped", TensorProto.FLOAT, [1, 3, crop, crop])]
    return finish(g, "le_ref_warp_block", inputs, outs)


def warp_prior_graph(batch=1, crop=32, rows=KP_ROWS, dynamic_batch=False, with_pooled=True,
                     padding_mode="border", seed=0, probe=False, fail_marker=False, nan_marker=False, mouth_offset=0.0,
                     cone_fail=False):
    """probe: also output the grid, the warped crop and the mouth gap, for checking the warp arithmetic.
    cone_fail: the source cone's run fails when P's first value is above 1.5.
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

    geometry = mouth_geometry(g, "kp_driving", "kp_source", crop, mouth_offset)
    grid = keypoint_grid(g, crop, "kp_driving", "kp_source", rows, geometry)
    warped = warp_block(g, "P_rgb", grid, crop, padding_mode, cone_fail)
    g.f("zero", 0.0)
    g.f("one", 1.0)
    x = g.op("Clip", [warped, "zero", "one"], name="/warp/clip")
    # Where the lips part, the mouth's dark interior.
    gap = mouth_gap(g, crop, geometry)
    g.const("interior", np.array(INTERIOR, np.float32).reshape(1, 3, 1, 1))
    x = g.op("Add", [g.op("Mul", [x, g.op("Sub", ["one", gap])]), g.op("Mul", ["interior", gap])], name="/mouth/interior")

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
                 helper.make_tensor_value_info("warped", TensorProto.FLOAT, [B, 3, crop, crop]),
                 helper.make_tensor_value_info("mouth_gap", TensorProto.FLOAT, [B, 1, crop, crop])]
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


def write_directors(out_dir, crop, names, featsynth=False, bad=False, seed=0, mouth_offset=0.0):
    """Writes the director graphs of a bundle; `names(key)` gives the member name."""
    written = []
    for b in (1, 4):
        key = "b%d" % b
        model = feat_synth_graph(b, crop, seed) if featsynth else warp_prior_graph(b, crop, seed=seed, mouth_offset=mouth_offset)
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
            "b1_probe": warp_prior_graph(1, crop, seed=seed, probe=True, mouth_offset=mouth_offset),
            "b1_failmarker": warp_prior_graph(1, crop, seed=seed, fail_marker=True),
            "b1_nanmarker": warp_prior_graph(1, crop, seed=seed, nan_marker=True),
            "b1_conefail": warp_prior_graph(1, crop, seed=seed, cone_fail=True),
        }
        for key, model in variants.items():
            onnx.save(model, "%s/%s" % (out_dir, names(key)))
            written.append(key)
    return written
