"""The engine's objects as Python classes with context managers."""
import ctypes

import numpy as np

from ._lib import A2xInfo, A2xOpts, CtxInfo, CtxOpts, Error, FrameInfo, I420, LogFn, Stats, UttOpts, c_float_p, c_int_p, c_u8_p, lib, text

KP = 63  # keypoint values per set: 21 keypoints x 3


def _enc(s):
    return s.encode() if isinstance(s, str) else s


def _floats(a, n=None):
    a = np.ascontiguousarray(a, dtype=np.float32)
    if n is not None and a.size != n:
        raise ValueError("expected %d values, got %d" % (n, a.size))
    return a


def resolve_handle(bundle):
    """The directory of a bundle (a directory or an IMX container, unpacked once)."""
    buf = ctypes.create_string_buffer(4096)
    if lib.le_bundle_resolve_handle(_enc(bundle), buf, len(buf)) != 1:
        raise Error(text(lib.le_last_error) or "le_bundle_resolve_handle: failed")
    return buf.value.decode()


def resolve_member(bundle, member):
    """The path of a member of a bundle (either name column), or None when it cannot be resolved."""
    buf = ctypes.create_string_buffer(4096)
    rc = lib.le_bundle_resolve_member(_enc(bundle), _enc(member), buf, len(buf))
    return buf.value.decode() if rc >= 0 else None


class _Handle:
    _destroy = None

    def __init__(self, handle):
        self._h = handle

    def close(self):
        if self._h:
            type(self)._destroy(self._h)
            self._h = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    @property
    def handle(self):
        if not self._h:
            raise Error("closed")
        return self._h


class Context(_Handle):
    """One loaded avatar bundle (le_ctx)."""
    _destroy = lib.le_destroy

    def __init__(self, bundle, model="b1", threads=0, ep=None, warp_node=None):
        """warp_node: True or False sets whether the director's warp runs as the engine's one node (its
        le_ctx_opts member); None leaves it to the environment's default."""
        if warp_node is None:
            h = lib.le_create(_enc(bundle), _enc(model), threads, _enc(ep) if ep else None)
        else:
            o = CtxOpts()
            lib.le_ctx_opts_default(ctypes.byref(o))
            o.model_key, o.threads, o.ep, o.warp_node = _enc(model), threads, _enc(ep) if ep else None, int(warp_node)
            h = lib.le_create_opts(_enc(bundle), ctypes.byref(o))
        if not h:
            raise Error(text(lib.le_last_error))
        super().__init__(h)
        self.width, self.height = lib.le_width(h), lib.le_height(h)
        self.nt, self.crop = lib.le_nt(h), lib.le_crop(h)

    def info(self):
        """What the context's director runs and the bundle's paste settings (le_get_info), as a dict."""
        return _info(CtxInfo, lib.le_get_info, self.handle, lib.le_last_error)

    def render(self, si, kp_source, kp_driving):
        """The face crop of driver frame si, float32 [3, crop, crop]."""
        s, d = _floats(kp_source, KP), _floats(kp_driving, KP)
        p = lib.le_render_kp_crop(self.handle, si, s.ctypes.data_as(c_float_p), d.ctypes.data_as(c_float_p))
        if not p:
            raise Error(text(lib.le_last_error))
        return np.ctypeslib.as_array(p, shape=(3, self.crop, self.crop)).copy()

    def paste(self, si, crop):
        """Driver frame si with the crop pasted, uint8 [H, W, 3]."""
        c = _floats(crop, 3 * self.crop * self.crop)
        out = np.empty((self.height, self.width, 3), np.uint8)
        if lib.le_paste_crop(self.handle, si, c.ctypes.data_as(c_float_p), out.ctypes.data_as(c_u8_p), out.nbytes) != 1:
            raise Error(text(lib.le_last_error))
        return out

    def crop_transform(self, si):
        """float32 [2, 3]: crop pixel (x, y, 1) -> frame pixel, for driver frame si."""
        m = np.empty(6, np.float32)
        if lib.le_crop_transform(self.handle, si, m.ctypes.data_as(c_float_p)) != 1:
            raise Error(text(lib.le_last_error))
        return m.reshape(2, 3)

    def target_frame(self, si):
        """Driver frame si, uint8 [H, W, 3]."""
        p = lib.le_target_frame(self.handle, si)
        if not p:
            raise Error(text(lib.le_last_error))
        return np.ctypeslib.as_array(p, shape=(self.height, self.width, 3)).copy()


LOG_ERROR, LOG_WARN, LOG_INFO, LOG_DEBUG = range(4)
_log_sink = None  # the callback the library holds, kept alive here


def version():
    """The library's version text."""
    return lib.le_version().decode()


def release_memory():
    """Gives back the memory the library keeps between network runs, and trims the C heap; returns the bytes
    of the kept blocks. Closing a context, engine or session does the same."""
    return lib.le_release_memory()


def set_log(fn, max_level=LOG_INFO):
    """Every library message up to max_level goes to fn(level, text) (from any thread); None restores standard
    error."""
    global _log_sink
    sink = LogFn(lambda user, level, msg: fn(level, (msg or b"").decode("utf-8", "replace"))) if fn else LogFn()
    lib.le_log_set(sink, None, max_level)
    _log_sink = sink if fn else None


def _info(struct, call, handle, err):
    info = struct()
    info.size = ctypes.sizeof(struct)
    if call(handle, ctypes.byref(info)) != 1:
        raise Error(text(err))
    return {f: (getattr(info, f).decode() if isinstance(getattr(info, f), bytes) else getattr(info, f))
            for f, _ in struct._fields_ if f != "size"}


def audio_defaults():
    """The audio engines' default settings (le_a2x_opts_default: the environment's values), as a dict."""
    o = A2xOpts()
    lib.le_a2x_opts_default(ctypes.byref(o))
    return {f: (getattr(o, f) or b"").decode() if t is ctypes.c_char_p else getattr(o, f)
            for f, t in A2xOpts._fields_ if f != "size"}


def _a2x_opts(threads, given):
    """le_a2x_opts: the defaults, then the members given (strings kept alive by the struct's owner)."""
    o = A2xOpts()
    lib.le_a2x_opts_default(ctypes.byref(o))
    o.threads = threads
    names = {f for f, _ in A2xOpts._fields_} - {"size", "threads"}
    for k, v in given.items():
        if k not in names:
            raise TypeError("unknown audio setting %r" % k)
        setattr(o, k, _enc(v) if isinstance(v, str) else v)
    return o


class Utterance(_Handle):
    """A live utterance session over a context (le_utt). Close it before its context."""
    _destroy = lib.le_utt_destroy
    KINDS = ("idle", "speech", "ramp")

    def __init__(self, context, motion_dir, threads=0, steady_model=None, eager=0, gap_s=0.0, ramp_frames=0,
                 interrupt_ramp_frames=0, window=None, i420=False, **audio):
        """Settings not given are the library's defaults (which the environment sets); `audio` takes the members
        of le_a2x_opts (w2v_onnx, right_context, ...) for the session's audio engine. `window` (x, y, width,
        height): the part of the frame the session makes and hands out; None: the whole frame. `i420`: frames are
        made as I420 where they are pasted (half the memory) and handed out by pull_i420 alone."""
        self._audio = _a2x_opts(threads, audio)
        self._opts = UttOpts()
        lib.le_utt_opts_default(ctypes.byref(self._opts))
        self._motion_dir = _enc(motion_dir)
        self._steady = _enc(steady_model) if steady_model else None
        o = self._opts
        o.motion_dir, o.threads, o.eager, o.gap_s = self._motion_dir, threads, eager, gap_s
        if self._steady:
            o.steady_model = self._steady
        o.ramp_frames, o.interrupt_ramp_frames = ramp_frames, interrupt_ramp_frames
        o.audio = ctypes.pointer(self._audio)
        if window is not None:
            o.window_x, o.window_y, o.window_width, o.window_height = (int(v) for v in window)
        o.frame_i420 = 1 if i420 else 0
        h = lib.le_utt_create(context.handle, ctypes.byref(o))
        if not h:
            raise Error(text(lib.le_utt_last_error))
        super().__init__(h)
        self.context = context  # kept alive as long as the session
        self.width = o.window_width or context.width  # 0 x 0: the whole frame
        self.height = o.window_height or context.height
        self._buf = None  # pull()'s frame, made at its first call (an I420 session never needs it)

    def push(self, pcm16):
        """Appends speech: int16 samples, 16 kHz mono (floats in [-1, 1] are converted)."""
        a = np.asarray(pcm16)
        if a.dtype != np.int16:
            a = np.clip(np.rint(a.astype(np.float64) * 32767), -32768, 32767).astype(np.int16)
        a = np.ascontiguousarray(a.reshape(-1))
        if lib.le_utt_push_audio(self.handle, a.ctypes.data_as(ctypes.POINTER(ctypes.c_int16)), a.size) != 1:
            raise Error(text(lib.le_utt_last_error))

    def end(self):
        lib.le_utt_end_utterance(self.handle)

    def interrupt(self):
        lib.le_utt_interrupt(self.handle)

    def skip_to(self, ordinal):
        """The host's sound is at speech frame `ordinal` of the utterance on screen: its frames before that are not
        handed out (those waiting are dropped, the rest not made)."""
        if lib.le_utt_skip_to(self.handle, int(ordinal)) != 1:
            raise Error(text(lib.le_utt_last_error))

    def ready(self):
        """True once the motion engine is loaded; raises when it failed."""
        r = lib.le_utt_ready(self.handle)
        if r < 0:
            raise Error(text(lib.le_utt_last_error))
        return r == 1

    def available(self):
        return lib.le_utt_frames_available(self.handle)

    def pull(self, out=None):
        """(frame uint8 [height, width, 3], the window's size, and info dict), or (None, None) when no frame is
        waiting. The frame is a new array, or `out` itself when given (a C-contiguous uint8 array of the frame's
        shape, written in place)."""
        info = FrameInfo()
        shape = (self.height, self.width, 3)
        if out is None and self._buf is None:
            self._buf = np.empty(shape, np.uint8)
        buf = self._buf if out is None else out
        if buf.dtype != np.uint8 or buf.shape != shape or not buf.flags.c_contiguous:
            raise ValueError("out must be C-contiguous uint8 of shape %s" % (shape,))
        rc = lib.le_utt_pull_frame(self.handle, buf.ctypes.data_as(c_u8_p), buf.nbytes, ctypes.byref(info))
        if rc != 1:
            err = text(lib.le_utt_last_error)
            if err:
                raise Error(err)
            return None, None
        return (buf.copy() if out is None else out), {
            "seq": info.seq, "kind": self.KINDS[info.kind] if 0 <= info.kind < 3 else info.kind, "si": info.si,
            "ordinal": info.ordinal}

    def pull_i420(self, y, u, v):
        """The next frame as BT.601 limited-range I420 into three uint8 2-D arrays whose rows may lie any stride
        apart (views of a video frame's planes, say): Y height x width, U and V half that, rounded up. Returns the
        frame's info dict, or None when no frame is waiting."""
        h, w = self.height, self.width
        for a, rows, cols in ((y, h, w), (u, (h + 1) // 2, (w + 1) // 2), (v, (h + 1) // 2, (w + 1) // 2)):
            if (a.dtype != np.uint8 or a.ndim != 2 or a.strides[1] != 1 or a.shape[0] < rows or a.shape[1] < cols
                    or not a.flags.writeable):
                raise ValueError("I420 planes must be writable uint8 rows of at least %dx%d, %dx%d, %dx%d"
                                 % (h, w, (h + 1) // 2, (w + 1) // 2, (h + 1) // 2, (w + 1) // 2))
        planes = I420(y.ctypes.data_as(c_u8_p), y.strides[0], u.ctypes.data_as(c_u8_p), u.strides[0],
                      v.ctypes.data_as(c_u8_p), v.strides[0])
        info = FrameInfo()
        if lib.le_utt_pull_frame_i420(self.handle, ctypes.byref(planes), ctypes.byref(info)) != 1:
            err = text(lib.le_utt_last_error)
            if err:
                raise Error(err)
            return None
        return {"seq": info.seq, "kind": self.KINDS[info.kind] if 0 <= info.kind < 3 else info.kind, "si": info.si,
                "ordinal": info.ordinal}

    def stats(self):
        s = Stats()
        lib.le_utt_get_stats(self.handle, ctypes.byref(s))
        return {f: getattr(s, f) for f, _ in Stats._fields_}

    def arm_mouth(self, bundle):
        """Arms the mouth pass with the bundle's bank: (True, the compose geometry) or (False, why not)."""
        c = lib.le_tessera_carriage_open(_enc(bundle))
        try:
            missing = [lib.le_tessera_carriage_missing(c, i).decode() for i in
                       range(lib.le_tessera_carriage_missing_count(c))]
        finally:
            lib.le_tessera_carriage_close(c)
        if len(missing) == 4:
            return False, "the bundle carries no mouth bank"
        if missing:
            return False, "the bundle carries %d of the 4 bank members; missing: %s" % (4 - len(missing),
                                                                                    " ".join(missing))
        err = ctypes.create_string_buffer(2048)
        m = lib.le_tessera_members_open(_enc(bundle), err, len(err))
        if not m:
            return False, err.value.decode("utf-8", "replace")
        try:
            band = np.empty(lib.le_tessera_members_band_bytes(m), np.uint8)
            if lib.le_tessera_members_decode_band(m, band.ctypes.data_as(c_u8_p), band.size, err, len(err)) != 0:
                return False, err.value.decode("utf-8", "replace")
            if lib.le_utt_tessera_attach(
                    self.handle, band.ctypes.data_as(c_u8_p), lib.le_tessera_members_n_donors(m),
                    lib.le_tessera_members_cent(m), lib.le_tessera_members_c_canon(m),
                    lib.le_tessera_members_aperture(m), lib.le_tessera_members_stamp(m),
                    lib.le_tessera_members_head_pt(m), lib.le_tessera_members_head_pt_len(m),
                    lib.le_tessera_members_head_json(m), lib.le_tessera_members_manifest_json(m), err, len(err)) != 0:
                return False, err.value.decode("utf-8", "replace")
        finally:
            lib.le_tessera_members_close(m)
        geometry = ctypes.create_string_buffer(256)
        lib.le_utt_tessera_geometry(self.handle, geometry, len(geometry))
        return True, geometry.value.decode()

    def mouth_stats(self):
        """(state: 1 armed, -1 failed, 0 not armed; borrowed frames; passed-through frames; last reason)."""
        b, p = ctypes.c_uint64(0), ctypes.c_uint64(0)
        why = ctypes.create_string_buffer(512)
        state = lib.le_utt_tessera_stats(self.handle, ctypes.byref(b), ctypes.byref(p), why, len(why))
        return state, b.value, p.value, why.value.decode("utf-8", "replace")

    def render_status(self):
        """(ok, failure count, last failure text)."""
        buf = ctypes.create_string_buffer(1024)
        n = ctypes.c_int(0)
        rc = lib.le_utt_render_status(self.handle, buf, len(buf), ctypes.byref(n))
        return rc == 0, n.value, buf.value.decode("utf-8", "replace")


class A2x(_Handle):
    """Streaming audio to expression (le_a2x): float speech in, keypoint frames out."""
    _destroy = lib.le_a2x_destroy

    def __init__(self, bundle, threads=0, **audio):
        """`audio` takes the members of le_a2x_opts (w2v_onnx, right_context, ...); the rest are the defaults."""
        opts = _a2x_opts(threads, audio)
        h = lib.le_a2x_create_opts(_enc(bundle), ctypes.byref(opts))
        if not h:
            raise Error(text(lib.le_a2x_last_error))
        super().__init__(h)
        self.nt = lib.le_a2x_nt(h)

    def info(self):
        """The audio frontend, lag and look-ahead (le_a2x_get_info), as a dict."""
        return _info(A2xInfo, lib.le_a2x_get_info, self.handle, lib.le_a2x_last_error)

    def push(self, samples):
        a = _floats(samples).reshape(-1)
        if lib.le_a2x_push(self.handle, a.ctypes.data_as(c_float_p), a.size) != 1:
            raise Error(text(lib.le_a2x_last_error))

    def finish(self):
        lib.le_a2x_finish(self.handle)

    def avail(self):
        n = lib.le_a2x_avail(self.handle)
        if n < 0:
            raise Error(text(lib.le_a2x_last_error))
        return n

    def total(self):
        return lib.le_a2x_total(self.handle)

    def reset(self, start=0, direction=1, loop=True):
        lib.le_a2x_reset(self.handle, start, direction, 1 if loop else 0)

    def pull(self, n):
        """Up to n frames: (idx int32 [k], xs float32 [k, 63], out float32 [k, 63])."""
        idx = np.empty(n, np.int32)
        xs = np.empty((n, KP), np.float32)
        out = np.empty((n, KP), np.float32)
        k = lib.le_a2x_pull(self.handle, idx.ctypes.data_as(c_int_p), xs.ctypes.data_as(c_float_p),
                            out.ctypes.data_as(c_float_p), n)
        err = text(lib.le_a2x_last_error)
        if k == 0 and err:
            raise Error(err)
        return idx[:k], xs[:k], out[:k]
