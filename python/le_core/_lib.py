"""Finding and declaring lible_core.so."""
import ctypes
import ctypes.util
import os

HERE = os.path.dirname(os.path.abspath(__file__))


class Error(RuntimeError):
    """A failed engine call; the message is the engine's last-error text."""


def _find():
    env = os.environ.get("LE_CORE_LIB")
    if env:
        return env
    candidates = [os.path.join(HERE, n) for n in sorted(os.listdir(HERE)) if n.startswith("lible_core.so")]
    # Installed: LIBDIR/python3/dist-packages/le_core beside LIBDIR/lible_core.so;
    # in the source tree: python/le_core beside build/.
    candidates.append(os.path.join(HERE, "..", "..", "..", "lible_core.so"))
    candidates.append(os.path.join(HERE, "..", "..", "build", "lible_core.so"))
    for c in candidates:
        if os.path.exists(c):
            return os.path.abspath(c)
    found = ctypes.util.find_library("le_core")
    if not found:
        raise OSError("lible_core.so not found: set LE_CORE_LIB or build the library (scripts/test.sh)")
    return found


library_path = _find()
lib = ctypes.CDLL(library_path)

c_float_p = ctypes.POINTER(ctypes.c_float)
c_int_p = ctypes.POINTER(ctypes.c_int)
c_u8_p = ctypes.POINTER(ctypes.c_uint8)


class FrameInfo(ctypes.Structure):
    _fields_ = [("seq", ctypes.c_uint64), ("kind", ctypes.c_int32), ("si", ctypes.c_int32),
                ("ordinal", ctypes.c_int32)]


class I420(ctypes.Structure):
    _fields_ = [("y", c_u8_p), ("y_stride", ctypes.c_int), ("u", c_u8_p), ("u_stride", ctypes.c_int),
                ("v", c_u8_p), ("v_stride", ctypes.c_int)]


class Stats(ctypes.Structure):
    _fields_ = [("frames", ctypes.c_uint64), ("speech_frames", ctypes.c_uint64), ("onsets", ctypes.c_uint64),
                ("onset_ms", ctypes.c_double), ("render_ms", ctypes.c_double), ("state", ctypes.c_int32)]


class A2xOpts(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("threads", ctypes.c_int), ("w2v_onnx", ctypes.c_char_p),
                ("w2v_window_onnx", ctypes.c_char_p), ("w2v_head_onnx", ctypes.c_char_p),
                ("right_context", ctypes.c_int), ("silence_prime", ctypes.c_int), ("cuda", ctypes.c_int),
                ("cuda_mem_mib", ctypes.c_int), ("unwrap_root", ctypes.c_char_p)]


class CtxOpts(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("model_key", ctypes.c_char_p), ("threads", ctypes.c_int),
                ("ep", ctypes.c_char_p), ("paste_fast", ctypes.c_int), ("paste_ksize", ctypes.c_int),
                ("driver_hwdec", ctypes.c_int), ("driver_prefer_video", ctypes.c_int), ("gs_fast", ctypes.c_int),
                ("gs_rewrite", ctypes.c_int), ("ort_spin", ctypes.c_int), ("ort_profile", ctypes.c_char_p),
                ("conv_backend", ctypes.c_char_p), ("unwrap_root", ctypes.c_char_p), ("msrc_missing_ok", ctypes.c_int),
                ("source_hoist", ctypes.c_int), ("warp_node", ctypes.c_int)]


class CtxInfo(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("family", ctypes.c_char * 16), ("provider", ctypes.c_char * 32),
                ("rewrites", ctypes.c_char * 192), ("batch", ctypes.c_int), ("intra_op_threads", ctypes.c_int),
                ("pool_threads", ctypes.c_int), ("agent", ctypes.c_char * 64), ("graph", ctypes.c_char * 256),
                ("paste_source_width", ctypes.c_int), ("paste_source_height", ctypes.c_int),
                ("unsharp_amount", ctypes.c_float), ("unsharp_sigma", ctypes.c_float), ("unsharp_ksize", ctypes.c_int)]


class A2xInfo(ctypes.Structure):
    _fields_ = [("size", ctypes.c_size_t), ("frontend", ctypes.c_char * 16), ("lag", ctypes.c_int),
                ("lookahead", ctypes.c_int), ("right_context", ctypes.c_int), ("threads", ctypes.c_int)]


LogFn = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p)


class UttOpts(ctypes.Structure):
    _fields_ = [("motion_dir", ctypes.c_char_p), ("threads", ctypes.c_int), ("motion_ep", ctypes.c_char_p),
                ("steady_model", ctypes.c_char_p), ("eager", ctypes.c_int), ("gap_s", ctypes.c_double),
                ("ramp_frames", ctypes.c_int), ("interrupt_ramp_frames", ctypes.c_int), ("size", ctypes.c_size_t),
                ("audio", ctypes.POINTER(A2xOpts)), ("pipeline_paste", ctypes.c_int), ("onset_si", ctypes.c_int),
                ("stage_report", ctypes.c_int), ("window_x", ctypes.c_int), ("window_y", ctypes.c_int),
                ("window_width", ctypes.c_int), ("window_height", ctypes.c_int), ("frame_i420", ctypes.c_int)]


def _declare(name, restype, *argtypes):
    f = getattr(lib, name)
    f.restype = restype
    f.argtypes = list(argtypes)


P = ctypes.c_void_p
for _name in ("le_last_error", "le_a2x_last_error", "le_utt_last_error"):
    _declare(_name, ctypes.c_char_p)
_declare("le_version", ctypes.c_char_p)
_declare("le_release_memory", ctypes.c_size_t)
_declare("le_log_set", None, LogFn, ctypes.c_void_p, ctypes.c_int)
_declare("le_get_info", ctypes.c_int, P, ctypes.POINTER(CtxInfo))
_declare("le_a2x_get_info", ctypes.c_int, P, ctypes.POINTER(A2xInfo))
_declare("le_bundle_resolve_handle", ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t)
_declare("le_bundle_resolve_member", ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t)
_declare("le_create", P, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p)
_declare("le_ctx_opts_default", None, ctypes.POINTER(CtxOpts))
_declare("le_create_opts", P, ctypes.c_char_p, ctypes.POINTER(CtxOpts))
_declare("le_destroy", None, P)
for _name in ("le_nt", "le_width", "le_height", "le_crop", "le_drive_frames"):
    _declare(_name, ctypes.c_int, P)
_declare("le_render_kp_crop", c_float_p, P, ctypes.c_int, c_float_p, c_float_p)
_declare("le_paste_crop", ctypes.c_int, P, ctypes.c_int, c_float_p, c_u8_p, ctypes.c_size_t)
_declare("le_target_frame", c_u8_p, P, ctypes.c_int)
_declare("le_crop_transform", ctypes.c_int, P, ctypes.c_int, c_float_p)
_declare("le_utt_create", P, P, ctypes.POINTER(UttOpts))
_declare("le_utt_opts_default", None, ctypes.POINTER(UttOpts))
_declare("le_a2x_opts_default", None, ctypes.POINTER(A2xOpts))
_declare("le_a2x_create_opts", P, ctypes.c_char_p, ctypes.POINTER(A2xOpts))
_declare("le_utt_destroy", None, P)
_declare("le_utt_push_audio", ctypes.c_int, P, ctypes.POINTER(ctypes.c_int16), ctypes.c_int)
_declare("le_utt_end_utterance", None, P)
_declare("le_utt_interrupt", None, P)
_declare("le_utt_skip_to", ctypes.c_int, P, ctypes.c_int)
_declare("le_utt_ready", ctypes.c_int, P)
_declare("le_utt_frames_available", ctypes.c_int, P)
_declare("le_utt_pull_frame", ctypes.c_int, P, c_u8_p, ctypes.c_size_t, ctypes.POINTER(FrameInfo))
_declare("le_utt_pull_frame_i420", ctypes.c_int, P, ctypes.POINTER(I420), ctypes.POINTER(FrameInfo))
_declare("le_utt_get_stats", ctypes.c_int, P, ctypes.POINTER(Stats))
_declare("le_utt_render_status", ctypes.c_int, P, ctypes.c_char_p, ctypes.c_int, c_int_p)
c_double_p = ctypes.POINTER(ctypes.c_double)
_declare("le_tessera_carriage_open", P, ctypes.c_char_p)
_declare("le_tessera_carriage_close", None, P)
_declare("le_tessera_carriage_missing_count", ctypes.c_int, P)
_declare("le_tessera_carriage_missing", ctypes.c_char_p, P, ctypes.c_int)
_declare("le_tessera_members_open", P, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int)
_declare("le_tessera_members_close", None, P)
_declare("le_tessera_members_n_donors", ctypes.c_int, P)
for _name in ("le_tessera_members_cent", "le_tessera_members_c_canon", "le_tessera_members_aperture"):
    _declare(_name, c_double_p, P)
_declare("le_tessera_members_stamp", c_int_p, P)
_declare("le_tessera_members_head_pt", c_u8_p, P)
_declare("le_tessera_members_head_pt_len", ctypes.c_size_t, P)
_declare("le_tessera_members_head_json", ctypes.c_char_p, P)
_declare("le_tessera_members_manifest_json", ctypes.c_char_p, P)
_declare("le_tessera_members_band_bytes", ctypes.c_uint64, P)
_declare("le_tessera_members_decode_band", ctypes.c_int, P, c_u8_p, ctypes.c_uint64, ctypes.c_char_p, ctypes.c_int)
_declare("le_utt_tessera_attach", ctypes.c_int, P, c_u8_p, ctypes.c_int, c_double_p, c_double_p, c_double_p, c_int_p,
         c_u8_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int)
_declare("le_utt_tessera_stats", ctypes.c_int, P, ctypes.POINTER(ctypes.c_uint64), ctypes.POINTER(ctypes.c_uint64),
         ctypes.c_char_p, ctypes.c_int)
_declare("le_utt_tessera_geometry", ctypes.c_int, P, ctypes.c_char_p, ctypes.c_int)
_declare("le_a2x_create", P, ctypes.c_char_p, ctypes.c_int)
_declare("le_a2x_destroy", None, P)
_declare("le_a2x_push", ctypes.c_int, P, c_float_p, ctypes.c_int)
_declare("le_a2x_finish", None, P)
_declare("le_a2x_avail", ctypes.c_int, P)
_declare("le_a2x_total", ctypes.c_int, P)
_declare("le_a2x_nt", ctypes.c_int, P)
_declare("le_a2x_pull", ctypes.c_int, P, c_int_p, c_float_p, c_float_p, ctypes.c_int)
_declare("le_a2x_reset", None, P, ctypes.c_int, ctypes.c_int, ctypes.c_int)


def text(fn):
    """The family's last-error text, decoded."""
    return (fn() or b"").decode("utf-8", "replace")
