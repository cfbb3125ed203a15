"""A live avatar host: one static page, and per browser connection one utterance session over WebRTC.

    python3 -m le_core.serve [BUNDLE] [--port 8080] [--max-sessions 2] [--output full|face]

The browser's microphone comes up as an audio track: it is resampled to 16 kHz, gated by an energy detector and
pushed into the session while someone speaks. A sentence typed into the page is spoken by espeak-ng and pushed the
same way. The session's frames go back as a video track at 25 fps, with the speech behind each speech frame as the
returned audio track (silence while idle), and a data channel carries the page's commands ("say", "interrupt",
"bye") one way and a description of every frame sent and the session's figures the other way.
"""
import argparse
import asyncio
import collections
import ctypes
import fractions
import gc
import hmac
import json
import logging
import os
import secrets
import sys
import threading
import time
import uuid

import av
import numpy as np
from aiohttp import web
from aiortc import MediaStreamTrack, RTCPeerConnection, RTCSessionDescription
from aiortc import rtcrtpsender
from aiortc.codecs import vpx
from aiortc.mediastreams import MediaStreamError
from av.video.reformatter import VideoReformatter

from .api import KP, A2x, Context, Error, Utterance, audio_defaults, resolve_member

log = logging.getLogger("le_core.serve")
STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
REPO = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
FPS = 25
SPF = 16000 // FPS  # speech samples per frame
VIDEO_TB = fractions.Fraction(1, 90000)
AUDIO_TB = fractions.Fraction(1, 16000)
MAX_MESSAGE = 64 * 1024  # bytes of a data-channel message; a sentence is capped at 2000 characters anyway
MAX_SAY = 2000

# The RTP timestamp of a frame is a random per-sender origin plus its pts. The page matches the frames it shows
# to their descriptions by that timestamp, so the origin each sender draws is kept on the sender.
_random32 = rtcrtpsender.random32


def _recording_random32():
    value = _random32()
    caller = sys._getframe(1)
    if caller.f_code.co_name == "_run_rtp" and "self" in caller.f_locals:
        caller.f_locals["self"]._le_timestamp_origin = value
    return value


rtcrtpsender.random32 = _recording_random32

# A receiver lines sound up with pictures by the wall-clock time each sender reports for its latest RTP timestamp,
# and a sender takes that time as it sends the packet: after the encoder, for video. A track may ask to be told
# when each of its frames leaves the encoder, so that the sound of a frame goes out when the frame does.
_next_encoded_frame = rtcrtpsender.RTCRtpSender._next_encoded_frame


async def _next_encoded_frame_told(self, codec):
    encoded = await _next_encoded_frame(self, codec)
    told = getattr(self.track, "encoded", None)
    if told is not None:
        told(encoded.timestamp)
    return encoded


rtcrtpsender.RTCRtpSender._next_encoded_frame = _next_encoded_frame_told

# The VP8 encoder is set up with a temporal denoiser: footage already through a codec and a rendered face have
# little noise left for it to take out, and it costs a fifth of the encoder's time on the driver footage alone and
# two fifths on rendered speech, measured here. Off, for each new encoder (the first frame goes through with it on).
_vp8_encode = vpx.Vp8Encoder.encode


def _vp8_encode_quiet(self, frame, force_keyframe=False):
    out = _vp8_encode(self, frame, force_keyframe)
    if self.codec is not None and getattr(self, "_le_tuned", None) is not self.codec:
        vpx.lib.vpx_codec_control_(self.codec, vpx.lib.VP8E_SET_NOISE_SENSITIVITY, vpx.ffi.cast("int", 0))
        self._le_tuned = self.codec
    return out


vpx.Vp8Encoder.encode = _vp8_encode_quiet

try:
    _libc = ctypes.CDLL("libc.so.6")
    _malloc_trim = _libc.malloc_trim
except (OSError, AttributeError):
    _libc = _malloc_trim = None


def one_heap():
    """Every thread allocates from one heap. Sessions start and stop threads all the time (the engine's, the
    codecs'); with a heap per thread, the memory a closed session gave back stays scattered over heaps that
    other threads keep, and the host's resident set creeps up session after session. MALLOC_ARENA_MAX, when
    set, has the last word."""
    if _libc is not None and not os.environ.get("MALLOC_ARENA_MAX"):
        _libc.mallopt(-8, 1)  # M_ARENA_MAX


def resample_to_16k(samples, rate):
    """int16 mono at `rate` -> int16 mono at 16 kHz."""
    if rate == 16000:
        return np.asarray(samples, np.int16)
    r = av.AudioResampler(format="s16", layout="mono", rate=16000)
    f = av.AudioFrame.from_ndarray(np.ascontiguousarray(samples, np.int16).reshape(1, -1), format="s16",
                                   layout="mono")
    f.sample_rate = rate
    parts = [o.to_ndarray().reshape(-1) for o in r.resample(f) + r.resample(None)]
    return np.concatenate(parts) if parts else np.zeros(0, np.int16)


async def synthesise(text):
    """The sentence spoken by espeak-ng, as int16 mono at 16 kHz."""
    proc = await asyncio.create_subprocess_exec("espeak-ng", "--stdout", "--", text, stdout=asyncio.subprocess.PIPE,
                                                stderr=asyncio.subprocess.PIPE)
    out, err = await proc.communicate()
    if proc.returncode != 0:
        raise RuntimeError("espeak-ng failed: " + err.decode(errors="replace").strip())
    rate, data = parse_wav(out)
    return resample_to_16k(np.frombuffer(data, "<i2"), rate)


def parse_wav(blob):
    """(rate, sample bytes) of a 16-bit mono WAV whose size fields may be wrong (as written to a pipe)."""
    if blob[:4] != b"RIFF" or blob[8:12] != b"WAVE":
        raise RuntimeError("not a WAV")
    pos, rate = 12, None
    while pos + 8 <= len(blob):
        cid, size = blob[pos:pos + 4], int.from_bytes(blob[pos + 4:pos + 8], "little")
        if cid == b"fmt " and size >= 16:
            channels = int.from_bytes(blob[pos + 10:pos + 12], "little")
            rate = int.from_bytes(blob[pos + 12:pos + 16], "little")
            bits = int.from_bytes(blob[pos + 22:pos + 24], "little")
            if channels != 1 or bits != 16 or rate <= 0:
                raise RuntimeError("a %d-channel %d-bit WAV at %d Hz, not 16-bit mono" % (channels, bits, rate))
        elif cid == b"data" and rate is not None:
            data = blob[pos + 8:]  # to the end: the size field of a piped WAV is a placeholder
            return rate, data[:len(data) // 2 * 2]
        pos += 8 + size + (size & 1)
    raise RuntimeError("a WAV without format and data")


def parse_json(raw):
    """The JSON value of raw (bytes as UTF-8, whatever a header claims), or ValueError saying what is wrong."""
    if isinstance(raw, (bytes, bytearray, memoryview)):
        try:
            raw = bytes(raw).decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError("not UTF-8 text") from None
    try:
        return json.loads(raw)
    except RecursionError:
        raise ValueError("JSON nested too deeply") from None
    except ValueError as e:
        raise ValueError("not JSON (%s)" % e) from None


def parse_offer(body):
    """(description, output) of an offer's body, or ValueError."""
    params = parse_json(body)
    if not isinstance(params, dict) or not isinstance(params.get("sdp"), str) or not isinstance(params.get("type"),
                                                                                                 str):
        raise ValueError("expected {sdp, type}")
    try:
        desc = RTCSessionDescription(sdp=params["sdp"], type=params["type"])
    except (ValueError, TypeError) as e:
        raise ValueError("expected {sdp, type}: %s" % e) from None
    output = params.get("output")
    return desc, output if output in ("full", "face") else None


class Gate:
    """Who is speaking into the microphone: an energy gate over 20 ms blocks of 16 kHz audio.

    Speech opens after two blocks above `open_db` (dBFS), with the 100 ms before it, and closes after `hang_s` of
    blocks below `close_db`. feed() returns the blocks to push and whether the utterance just ended.
    """
    BLOCK = 320

    def __init__(self, open_db=-40.0, close_db=-48.0, hang_s=0.4):
        self.open_lvl = 32768 * 10 ** (open_db / 20)
        self.close_lvl = 32768 * 10 ** (close_db / 20)
        self.hang = int(round(hang_s * 50))
        self.pending = np.zeros(0, np.int16)
        self.before = collections.deque(maxlen=5)
        self.speaking = False
        self.loud = 0
        self.quiet = 0
        self.hold = False  # after an interrupt: ignore the rest of the speech going on

    def feed(self, pcm):
        self.pending = np.concatenate([self.pending, pcm])
        push, ended, onset = [], False, False
        while self.pending.size >= self.BLOCK:
            b, self.pending = self.pending[:self.BLOCK], self.pending[self.BLOCK:]
            rms = float(np.sqrt(np.mean(b.astype(np.float64) ** 2)))
            if not self.speaking:
                self.loud = self.loud + 1 if rms >= self.open_lvl else 0
                if self.hold:
                    self.quiet = self.quiet + 1 if rms < self.close_lvl else 0
                    if self.quiet >= self.hang:
                        self.hold = False
                    self.loud = 0
                    continue
                self.before.append(b)
                if self.loud >= 2:
                    self.speaking, self.quiet, onset = True, 0, True
                    push.extend(self.before)
                    self.before.clear()
                continue
            push.append(b)
            self.quiet = self.quiet + 1 if rms < self.close_lvl else 0
            if self.quiet >= self.hang:
                self.speaking, self.loud, ended = False, 0, True
        return push, ended, onset

    def interrupt(self):
        self.hold = self.speaking or self.loud > 0
        self.speaking, self.loud, self.quiet = False, 0, 0
        self.before.clear()


class Voice:
    """The speech behind the speech frames: the audio pushed per utterance, handed out frame by frame as sent."""

    def __init__(self):
        self.utterances = collections.deque()  # int16 bytes per utterance, in push order; the open one grows
        self.open = None
        self.playing = None
        self.last = ("idle", -1)

    def begin(self):
        self.open = bytearray()
        self.utterances.append(self.open)

    def add(self, pcm):
        if self.open is None:
            self.begin()
        self.open += np.asarray(pcm, "<i2").tobytes()

    def end(self):
        self.open = None

    def drop(self):
        self.utterances.clear()
        self.open = self.playing = None

    def for_frame(self, kind, ordinal):
        """SPF int16 samples to play with a frame of this kind (speech frame `ordinal` of its utterance)."""
        silence = np.zeros(SPF, np.int16)
        if kind == "hold":  # the last frame again: the speech waits for the next one
            return silence
        if kind != "speech":
            self.playing = None
        elif self.last[0] != "speech" or ordinal <= self.last[1]:
            self.playing = self.utterances.popleft() if self.utterances else None
        self.last = (kind, ordinal)
        if self.playing is None:
            return silence
        a = np.frombuffer(bytes(self.playing[2 * SPF * ordinal:2 * SPF * (ordinal + 1)]), "<i2")
        return a if a.size == SPF else np.concatenate([a, silence[a.size:]])


class AvatarAudio(MediaStreamTrack):
    """The returned audio: two 20 ms frames per video frame, handed over as each video frame is sent."""
    kind = "audio"

    def __init__(self):
        super().__init__()
        self.queue = asyncio.Queue()
        self.waiting = collections.deque()  # (frame, its sound) of frames not yet through the video encoder
        self.pts = 0

    def put(self, pcm):
        for half in (pcm[:SPF // 2], pcm[SPF // 2:]):
            self.queue.put_nowait(half)

    def ready(self, n):
        """The sound of every frame up to n, once n has left the video encoder."""
        while self.waiting and self.waiting[0][0] <= n:
            self.put(self.waiting.popleft()[1])

    async def recv(self):
        if self.readyState != "live":
            raise MediaStreamError
        pcm = await self.queue.get()
        if pcm is None:
            raise MediaStreamError
        frame = av.AudioFrame.from_ndarray(pcm.reshape(1, -1), format="s16", layout="mono")
        frame.sample_rate = 16000
        frame.pts, frame.time_base = self.pts, AUDIO_TB
        self.pts += pcm.size
        return frame

    def stop(self):
        self.queue.put_nowait(None)
        super().stop()


class AvatarVideo(MediaStreamTrack):
    """The session's frames at 25 fps on the host's clock."""
    kind = "video"

    def __init__(self, live):
        super().__init__()
        self.live = live
        self.n = 0
        self.t0 = None

    async def recv(self):
        if self.readyState != "live":
            raise MediaStreamError
        now = time.monotonic()
        if self.t0 is None:
            self.t0 = now
        else:
            wait = self.t0 + self.n / FPS - now
            if wait > 0:
                await asyncio.sleep(wait)
        # Pulling and converting a large frame takes milliseconds: off the event loop, which serves every
        # session's network and audio.
        frame, info = await asyncio.get_running_loop().run_in_executor(None, self.live.next_frame, self.n)
        self.live.frame_sent(self.n, info)
        frame.pts, frame.time_base = self.n * 3600, VIDEO_TB
        self.n += 1
        return frame

    def encoded(self, timestamp):
        """Frame timestamp/3600 is through the encoder: its sound may go."""
        self.live.audio_out.ready(timestamp // 3600)


class Live:
    """One browser connection: its peer connection, context, utterance session and tracks."""

    def __init__(self, host, sid, output):
        self.host, self.id, self.output = host, sid, output
        self.pc = RTCPeerConnection()
        self.ctx = self.utt = None
        self.channel = None
        self.gate = Gate(**host.gate)
        self.voice = Voice()
        self.audio_out = AvatarAudio()
        self.video_out = AvatarVideo(self)
        self.video_sender = self.audio_sender = None
        self.reformatter = VideoReformatter()
        self.frame = None
        self.last = None
        self.sent = self.held = 0
        self.lock = threading.Lock()  # the engine is used from worker threads and torn down in one
        self.saying = None
        self.closed = False
        self.tasks = []
        self.created = self.heard = time.monotonic()
        self.token = secrets.token_urlsafe(24)  # proves ownership of the session on /bye

    # -- set-up and tear-down -------------------------------------------------------------------------------------
    def open_engine(self):
        """Runs in a worker thread: loading a bundle takes a while and must not hold up the other sessions."""
        h = self.host
        self.ctx = Context(h.bundle, threads=h.threads)
        try:
            self.frame_geometry()
            self.utt = Utterance(self.ctx, h.motion, threads=h.threads, eager=-2, **h.audio)
            deadline = time.monotonic() + 60
            while not self.utt.ready():
                if time.monotonic() > deadline:
                    raise Error("the motion engine did not load within 60 s")
                time.sleep(0.01)
        except BaseException:
            self.close_engine()
            raise

    def frame_geometry(self):
        """The box sent (the whole frame, or a square around the face) and the mouth within it."""
        W, H = self.ctx.width, self.ctx.height
        ms = np.array([self.ctx.crop_transform(si) for si in range(self.ctx.nt)], np.float64)
        c = self.ctx.crop
        if self.output == "face":
            # A fixed square the size of the face crop, centred where the crop sits on average.
            side = int(min(np.mean(np.sqrt(np.abs(np.linalg.det(ms[:, :, :2])))) * c, W, H)) // 2 * 2
            cx, cy = (ms[:, :, :2] @ np.array([c / 2, c / 2]) + ms[:, :, 2]).mean(axis=0)
            bx = int(min(max(round(cx - side / 2), 0), W - side))
            by = int(min(max(round(cy - side / 2), 0), H - side))
            self.box = (bx, by, bx + side, by + side)
        else:
            self.box = (0, 0, W // 2 * 2, H // 2 * 2)
        self.frame = np.empty((H, W, 3), np.uint8)
        self.last = self.ctx.target_frame(0)
        # The mouth: the lower middle of the mean face crop.
        m = ms.mean(axis=0)
        pts = m @ np.array([[0.32 * c, 0.68 * c], [0.62 * c, 0.88 * c], [1, 1]])
        self.mouth = [int(pts[0, 0]) - self.box[0], int(pts[1, 0]) - self.box[1], int(pts[0, 1]) - self.box[0],
                      int(pts[1, 1]) - self.box[1]]

    def engine(self, fn, default=None):
        """fn(utterance session) under the session's lock, or `default` once the engine is gone."""
        with self.lock:
            return default if self.utt is None else fn(self.utt)

    def close_engine(self):
        with self.lock:
            if self.utt:
                self.utt.close()
            if self.ctx:
                self.ctx.close()
            self.utt = self.ctx = None
        if _malloc_trim:
            _malloc_trim(0)

    async def close(self, why):
        if self.closed:
            return
        self.closed = True
        log.info("session %s closed (%s) after %.0f s, %d frames sent, %d held", self.id, why,
                 time.monotonic() - self.created, self.sent, self.held)
        me = asyncio.current_task()
        for t in self.tasks:
            if t is not me:  # the watchdog closes the session from its own task
                t.cancel()
        self.audio_out.stop()
        self.video_out.stop()
        await self.pc.close()
        await asyncio.get_running_loop().run_in_executor(None, self.close_engine)
        self.host.sessions.pop(self.id, None)
        # The peer connection, its codecs and this session hold one another in cycles: collect them now, so
        # the codecs' native buffers go back with the engine's.
        self.pc = self.channel = self.video_sender = self.audio_sender = None
        gc.collect()
        if _malloc_trim:
            _malloc_trim(0)

    # -- frames out -------------------------------------------------------------------------------------------------
    def next_frame(self, n):
        """The frame for tick n, as the encoder takes it (yuv420p), with what it is. Runs in a worker thread."""
        try:
            frame, info = self.engine(lambda u: u.pull(self.frame), (None, None))
        except Error as e:
            log.error("session %s: %s", self.id, e)
            frame = info = None
        if frame is not None:
            self.last = frame
        if info is None:
            info = {"kind": "hold", "si": -1, "ordinal": -1}
        x0, y0, x1, y1 = self.box
        rgb = av.VideoFrame.from_ndarray(np.ascontiguousarray(self.last[y0:y1, x0:x1]), format="rgb24")
        return self.reformatter.reformat(rgb, format="yuv420p"), info

    def frame_sent(self, n, info):
        """Bookkeeping for the frame of tick n, on the event loop: its speech, its description, the figures."""
        if info["kind"] == "hold" and n > 0:
            self.held += 1
        pcm = self.voice.for_frame(info["kind"], info["ordinal"])
        self.audio_out.waiting.append((n, pcm))
        self.sent += 1
        level = 10 * np.log10(np.mean(pcm.astype(np.float64) ** 2) / 32768.0 ** 2 + 1e-10)
        # The frame's RTP timestamp, and that of the first of its sound (48 kHz: the two go out in step).
        self.send({"type": "frame", "n": n, "rtp": self.rtp(self.video_sender, n * 3600),
                   "artp": self.rtp(self.audio_sender, n * SPF * 3),
                   "k": info["kind"], "si": info["si"], "o": info["ordinal"], "a": round(level, 1)})
        st = self.engine(lambda u: u.stats()) if n % FPS == 0 else None
        if st is not None:
            self.send({"type": "stats", "sent": self.sent, "held": self.held, "onset_ms": st["onset_ms"],
                       "onsets": st["onsets"], "render_ms": st["render_ms"], "sessions": len(self.host.sessions)})

    @staticmethod
    def rtp(sender, pts):
        origin = getattr(sender, "_le_timestamp_origin", None)
        return None if origin is None else (origin + pts) & 0xFFFFFFFF

    def send(self, msg):
        if self.channel is not None and self.channel.readyState == "open":
            try:
                self.channel.send(json.dumps(msg, separators=(",", ":")))
            except Exception:  # a channel closing under us; the session ends through the peer connection
                pass

    # -- speech in --------------------------------------------------------------------------------------------------
    def push(self, pcm):
        if self.closed:
            return
        self.voice.add(pcm)
        try:
            self.engine(lambda u: u.push(pcm))
        except Error as e:
            log.error("session %s: %s", self.id, e)

    def end(self):
        self.engine(lambda u: u.end())
        self.voice.end()

    async def listen(self, track):
        resampler = av.AudioResampler(format="s16", layout="mono", rate=16000)
        while not self.closed:
            try:
                frame = await track.recv()
            except MediaStreamError:
                return
            for f in resampler.resample(frame):
                blocks, ended, onset = self.gate.feed(f.to_ndarray().reshape(-1))
                if onset:
                    self.voice.end()
                    self.voice.begin()
                    self.send({"type": "heard"})
                for b in blocks:
                    self.push(b)
                if ended:
                    self.end()

    async def say(self, text):
        try:
            pcm = await synthesise(text)
        except (RuntimeError, OSError, ValueError) as e:
            self.send({"type": "error", "text": str(e)})
            return
        if self.closed:
            return
        self.voice.end()
        self.voice.begin()
        self.push(pcm)
        self.end()

    def interrupt(self):
        self.engine(lambda u: u.interrupt())
        self.voice.drop()
        self.gate.interrupt()

    async def watch(self, silent_s):
        """Ends the session when the page stops talking: it pings every second while it lives, and a browser that
        was killed or lost its network sends nothing more (no goodbye, no closing handshake)."""
        while not self.closed:
            await asyncio.sleep(1)
            if time.monotonic() - self.heard > silent_s:
                await self.close("the page went silent for %.0f s" % silent_s)

    def on_message(self, raw):
        """A command from the page. Whatever arrives, the page gets an answer and the session goes on."""
        self.heard = time.monotonic()
        try:
            problem = self.command(raw)
        except Exception as e:  # a fault of ours: said, never left to escape the channel's handler
            log.exception("session %s: a message failed", self.id)
            problem = "the message could not be handled (%s)" % type(e).__name__
        if problem:
            self.send({"type": "error", "text": problem})

    def command(self, raw):
        """Carries out one message; returns what is wrong with it, or None."""
        if len(raw) > MAX_MESSAGE:
            return "a message of %d characters (at most %d)" % (len(raw), MAX_MESSAGE)
        try:
            msg = parse_json(raw)
        except ValueError as e:
            return "a malformed message: %s" % e
        kind = msg.get("type") if isinstance(msg, dict) else None
        if kind == "ping":
            return None
        if kind == "say":
            text = msg.get("text")
            if not isinstance(text, str) or not text.strip():
                return "\"say\" needs a text"
            if any(ord(c) < 32 and c not in "\t\n\r" for c in text):
                return "the text holds a control character"
            if self.saying is not None and not self.saying.done():
                return "still synthesising the last sentence"
            self.saying = asyncio.ensure_future(self.say(text[:MAX_SAY]))
            self.tasks = [t for t in self.tasks if not t.done()] + [self.saying]
        elif kind == "interrupt":
            self.interrupt()
        elif kind == "bye":
            asyncio.ensure_future(self.close("the page left"))
        else:
            return "an unknown message type"
        return None


class Host:
    silent_s = 8.0  # a page that sends nothing for this long has gone

    def __init__(self, bundle, motion, max_sessions, output, threads, gate, audio=None):
        self.bundle, self.motion, self.max_sessions = bundle, motion, max_sessions
        self.output, self.threads, self.gate = output, threads, gate
        self.audio = audio or {}  # le_a2x_opts members for every audio engine
        self.sessions = {}
        self.avatar = self.voice_model = None

    def preload(self):
        """Loads the avatar and its audio model once, before the first browser: every session's context and
        utterance session then share them (the library keeps one loaded copy of a bundle while anyone holds it),
        and a session's start costs only its own stream state."""
        self.avatar = Context(self.bundle, threads=self.threads)
        self.avatar.render(0, np.zeros(KP, np.float32), np.zeros(KP, np.float32))  # loads the director
        encoder = resolve_member(self.motion, "a2x_enc_stream.onnx")
        if encoder and os.path.exists(encoder):
            self.voice_model = A2x(self.motion, threads=self.threads, **self.audio)

    def full(self):
        return len(self.sessions) >= self.max_sessions

    def refusal(self):
        return ("All %d avatar sessions of this host are in use. Try again when someone has left."
                % self.max_sessions)

    async def index(self, request):
        if self.full():
            page = ("<!doctype html><html><head><meta charset='utf-8'><title>Avatar busy</title></head><body>"
                    "<h1>The avatar is busy</h1><p id='refused'>%s</p></body></html>" % self.refusal())
            return web.Response(status=503, text=page, content_type="text/html")
        return web.FileResponse(os.path.join(STATIC, "index.html"))

    async def offer(self, request):
        try:
            desc, output = parse_offer(await request.read())
        except ValueError as e:
            return web.json_response({"error": "a malformed offer: %s" % e}, status=400)
        if self.full():
            return web.json_response({"error": self.refusal()}, status=503)
        live = Live(self, uuid.uuid4().hex[:12], output or self.output)
        self.sessions[live.id] = live  # the slot is taken before the slow part
        try:
            await asyncio.get_running_loop().run_in_executor(None, live.open_engine)
        except Exception as e:
            self.sessions.pop(live.id, None)
            await live.pc.close()
            log.error("session refused: %s", e)
            return web.json_response({"error": "the avatar could not start: %s" % e}, status=500)
        try:
            return await self.answer(live, desc)
        except Exception as e:  # a description the peer connection refuses
            await live.close("bad offer: %s" % e)
            return web.json_response({"error": "the offer was refused: %s" % e}, status=400)

    async def answer(self, live, desc):
        pc = live.pc

        @pc.on("datachannel")
        def on_datachannel(channel):
            live.channel = channel
            live.heard = time.monotonic()
            channel.on("message", live.on_message)

        @pc.on("connectionstatechange")
        async def on_state():
            if pc.connectionState in ("failed", "closed"):
                await live.close("connection " + pc.connectionState)

        @pc.on("track")
        def on_track(track):
            if track.kind == "audio":
                live.tasks.append(asyncio.ensure_future(live.listen(track)))

        await pc.setRemoteDescription(desc)
        for t in pc.getTransceivers():
            if t.kind == "audio":
                live.audio_sender = pc.addTrack(live.audio_out)
            elif t.kind == "video":
                live.video_sender = pc.addTrack(live.video_out)
        if live.video_sender is None:
            raise ValueError("it asks for no video")
        await pc.setLocalDescription(await pc.createAnswer())
        live.heard = time.monotonic()
        live.tasks.append(asyncio.ensure_future(live.watch(self.silent_s)))
        x0, y0, x1, y1 = live.box
        log.info("session %s opened (%s, %dx%d), %d of %d", live.id, live.output, x1 - x0, y1 - y0, len(self.sessions),
                 self.max_sessions)
        return web.json_response({"sdp": pc.localDescription.sdp, "type": pc.localDescription.type, "id": live.id,
                                  "token": live.token, "width": x1 - x0, "height": y1 - y0, "mouth": live.mouth})

    async def bye(self, request):
        """Ends a session for the page that owns it: the body is the session's token, known only to that page."""
        live = self.sessions.get(request.match_info["sid"])
        token = await request.read() if request.content_length is None or request.content_length <= 1024 else b""
        if live is None or not hmac.compare_digest(token, live.token.encode()):
            return web.json_response({"error": "no such session, or not yours"}, status=403)
        await live.close("the page left")
        return web.Response(status=204)

    async def status(self, request):
        rss = 0
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    rss = int(line.split()[1])
        return web.json_response({"sessions": len(self.sessions), "max": self.max_sessions, "rss_kb": rss})

    async def shutdown(self, app):
        await asyncio.gather(*(s.close("host stopping") for s in list(self.sessions.values())))
        for held in (self.voice_model, self.avatar):
            if held:
                held.close()
        self.avatar = self.voice_model = None

    def app(self):
        app = web.Application()
        app.router.add_get("/", self.index)
        app.router.add_post("/offer", self.offer)
        app.router.add_post("/bye/{sid}", self.bye)
        app.router.add_get("/status", self.status)
        app.router.add_get("/favicon.ico", lambda request: web.Response(status=204))
        app.on_shutdown.append(self.shutdown)
        return app


def default_bundle():
    return os.path.join(REPO, "build", "demo", "avatar")


def main(argv=None):
    ap = argparse.ArgumentParser(prog="python3 -m le_core.serve", description="Serves a live avatar to browsers.")
    ap.add_argument("bundle", nargs="?", help="avatar bundle (default: the demo avatar, %s)" % default_bundle())
    ap.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    ap.add_argument("--port", type=int, default=8080)
    ap.add_argument("--max-sessions", type=int, default=2, help="browsers served at once; one more is refused")
    ap.add_argument("--output", choices=["full", "face"], default="full",
                    help="frame size sent: the full frame, or a square around the face (the page may ask for either)")
    ap.add_argument("--motion", help="motion bundle (default: the avatar bundle)")
    ap.add_argument("--threads", type=int, default=0,
                    help="engine threads per session (0: the cores shared out among --max-sessions, at least 1)")
    ap.add_argument("--open-db", type=float, default=-40.0, help="microphone level that opens speech, dBFS")
    ap.add_argument("--close-db", type=float, default=-48.0, help="level below which speech is quiet, dBFS")
    ap.add_argument("--hang", type=float, default=0.4, help="quiet seconds that end an utterance")
    a = ap.parse_args(argv)
    one_heap()
    logging.basicConfig(level=logging.INFO, format="[le-serve] %(message)s")
    logging.getLogger("aioice").setLevel(logging.WARNING)
    logging.getLogger("aiortc").setLevel(logging.WARNING)
    bundle = a.bundle or default_bundle()
    if not os.path.exists(bundle):
        ap.error("no bundle at %s (scripts/demo.sh writes the demo avatar there)" % bundle)
    if a.max_sessions < 1:
        ap.error("--max-sessions must be at least 1")
    # The demo's shared audio encoder serves any bundle when $W2V_ONNX names none.
    audio = {}
    demo_w2v = os.path.join(REPO, "build", "demo", "w2v", "w2v_8s.onnx")
    if not audio_defaults()["w2v_onnx"] and os.path.exists(demo_w2v):
        audio["w2v_onnx"] = demo_w2v
    # Sessions at the limit should not fight over the cores: each gets its share.
    threads = a.threads if a.threads > 0 else max(1, (os.cpu_count() or 1) // a.max_sessions)
    host = Host(bundle, a.motion or bundle, a.max_sessions, a.output, threads,
                dict(open_db=a.open_db, close_db=a.close_db, hang_s=a.hang), audio)
    host.preload()
    log.info("serving %s on http://%s:%d/ (at most %d sessions, %d engine threads each, %s frames)", bundle, a.host,
             a.port, a.max_sessions, threads, a.output)
    web.run_app(host.app(), host=a.host, port=a.port, print=None, handle_signals=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
