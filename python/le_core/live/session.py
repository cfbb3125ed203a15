"""One browser connection's session."""
import asyncio
import gc
import json
import logging
import math
import secrets
import threading
import time

import av
import numpy as np
from aiortc import RTCPeerConnection
from aiortc.mediastreams import MediaStreamError

from ..api import Context, Error, Utterance
from . import media, rtc
from .media import FPS, SPF, synthesise
from .speech import Gate, Voice
from .tracks import AvatarAudio, AvatarVideo

log = logging.getLogger("le_core.serve")
MAX_MESSAGE = 64 * 1024  # bytes of a data-channel message; a sentence is capped at 2000 characters anyway
MAX_SAY = 2000
# How far the sound may come after its pictures (the page's median over 3 s, with each ping) while they are shown
# as soon as they are decoded. Past SOUND_BEHIND_MS LAGGING_PINGS times in a row, the browser holds each picture back
# by as much as brings the lag to SOUND_AIM_MS (at most MAX_HOLD_MS); below SOUND_CLOSE_MS as many times in a row,
# by half as much as takes it there less. The page's figure moves by 50 ms either way from one ping to another.
SOUND_BEHIND_MS = 100
SOUND_AIM_MS = 60
SOUND_CLOSE_MS = 10
MAX_HOLD_MS = 2000  # two sessions starting at once on 2 cores grew a browser's sound buffer to 0.8-1.3 s here
LAGGING_PINGS = 3
SETTLING_S = 10  # the browser's sound buffer starts deep and drains over a session's first seconds (180 ms behind
# at first, measured here): what the page says meanwhile does not count
SLACK = 1  # speech frames a picture may run behind its sound before the host passes over it


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


def frame_box(ctx, output, ms=None):
    """(x0, y0, x1, y1) of what is sent: the whole frame, or for "face" a fixed square the size of the face crop,
    centred where the crop sits on average; even, on the chroma grid."""
    W, H, c = ctx.width, ctx.height, ctx.crop
    if output != "face":
        return (0, 0, W // 2 * 2, H // 2 * 2)
    if ms is None:
        ms = np.array([ctx.crop_transform(si) for si in range(ctx.nt)], np.float64)
    side = int(min(np.mean(np.sqrt(np.abs(np.linalg.det(ms[:, :, :2])))) * c, W, H)) // 2 * 2
    cx, cy = (ms[:, :, :2] @ np.array([c / 2, c / 2]) + ms[:, :, 2]).mean(axis=0)
    bx = int(min(max(round(cx - side / 2), 0), W - side)) // 2 * 2
    by = int(min(max(round(cy - side / 2), 0), H - side)) // 2 * 2
    return (bx, by, bx + side, by + side)


class Live:
    """One browser connection: its peer connection, context, utterance session and tracks."""

    def __init__(self, host, sid, output):
        self.host, self.id, self.output = host, sid, output
        self.pc = RTCPeerConnection()
        self.ctx = self.utt = None
        self.channel = None
        self.gate = Gate(**host.gate)
        self.voice = Voice(getattr(host, "sound_lead", 1))
        self.audio_out = AvatarAudio(self)
        self.video_out = AvatarVideo(self)
        self.video_sender = self.audio_sender = None
        self.prompt_video = False  # the browser shows each frame as it is decoded (the sound goes a tick sooner)
        self.behind = []  # the last pings' figures, in a row all lagging or all close (sound_behind)
        self.hold_ms = 0  # how long the browser holds each picture back, asked in the packets (rtc.delay_pictures)
        self.sent = self.held = 0
        self.late = 0  # ticks that went without a frame, the host behind its clock
        self.skipped = 0  # speech frames passed over, their sound gone
        self.ordinal = -1  # of the last speech frame sent
        self.speaking = False  # the last frame sent was of speech or a ramp
        # Calls into the engine come from the event loop and from worker threads, and run at once (the library
        # takes its own locks): a push never waits behind a frame's pull. The teardown waits for those under way.
        self.users = threading.Condition()
        self.calls = 0
        self.saying = None
        self.closed = False
        self.tasks = []
        self.created = self.heard = time.monotonic()
        self.token = secrets.token_urlsafe(24)  # proves ownership of the session on /bye

    # -- set-up and tear-down -------------------------------------------------------------------------------------
    def open_engine(self):
        """Runs in a worker thread: loading a bundle takes a while and must not hold up the other sessions."""
        h = self.host
        self.ctx = Context(h.bundle, threads=h.threads, warp_node=h.warp_node)
        try:
            self.frame_geometry()
            x0, y0, x1, y1 = self.box
            self.utt = Utterance(self.ctx, h.motion, threads=h.threads, eager=-2, window=(x0, y0, x1 - x0, y1 - y0),
                                 i420=True, **h.audio)
            deadline = time.monotonic() + 60
            while not self.utt.ready():
                if time.monotonic() > deadline:
                    raise Error("the motion engine did not load within 60 s")
                time.sleep(0.01)
            armed, what = self.utt.arm_mouth(h.bundle)
            log.info("session %s: mouth pass %s: %s", self.id, "armed" if armed else "not armed", what)
        except BaseException:
            self.close_engine()
            raise

    def frame_geometry(self):
        """The box sent (the whole frame, or a square around the face) and the mouth within it."""
        ms = np.array([self.ctx.crop_transform(si) for si in range(self.ctx.nt)], np.float64)
        c = self.ctx.crop
        self.box = frame_box(self.ctx, self.output, ms)
        # The engine makes the box only, as I420 where it pastes it, into the one video frame every tick's
        # picture goes out in (the sender encodes each frame before it asks for the next, and the encoder copies
        # it). A pull writes the planes only when it makes a picture: a tick that finds none waiting sends the
        # last one again as it is. Until the first, the box of the driver's first frame. (A new 3 MB frame every
        # tick at 1080p cost its page faults each time, and the heap grew with them; a second one kept for the
        # last picture cost 3 MB a session.)
        x0, y0, x1, y1 = self.box
        box = np.ascontiguousarray(self.ctx.target_frame(0)[y0:y1, x0:x1])
        self.frame = media.counted_copy(av.VideoFrame.from_ndarray(box, format="rgb24").reformat(format="yuv420p"))
        self.planes = media.planes_of(self.frame)
        # The mouth: the lower middle of the mean face crop.
        m = ms.mean(axis=0)
        pts = m @ np.array([[0.32 * c, 0.68 * c], [0.62 * c, 0.88 * c], [1, 1]])
        self.mouth = [int(pts[0, 0]) - self.box[0], int(pts[1, 0]) - self.box[1], int(pts[0, 1]) - self.box[0],
                      int(pts[1, 1]) - self.box[1]]

    def engine(self, fn, default=None):
        """fn(utterance session), or `default` once the engine is gone or going."""
        with self.users:
            utt = self.utt
            if utt is None:
                return default
            self.calls += 1
        try:
            return fn(utt)
        finally:
            with self.users:
                self.calls -= 1
                if not self.calls:
                    self.users.notify_all()

    def close_engine(self):
        with self.users:
            utt, ctx = self.utt, self.ctx
            self.utt = self.ctx = None  # no call begins from now on
            while self.calls:
                self.users.wait()
        if utt:
            utt.close()
        if ctx:
            ctx.close()  # closing them gives back their networks' working memory

    async def close(self, why):
        if self.closed:
            return
        self.closed = True
        log.info("session %s closed (%s) after %.0f s, %d frames sent, %d held, %d ticks late, %d speech frames "
                 "skipped", self.id, why, time.monotonic() - self.created, self.sent, self.held, self.late,
                 self.skipped)
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
        if media.malloc_trim:
            media.malloc_trim(0)

    # -- frames out -------------------------------------------------------------------------------------------------
    def next_frame(self, n, due=None):
        """The frame for tick n, as the encoder takes it (yuv420p), with what it is: the engine writes it straight
        into the video frame's planes. `due`: the speech frame whose sound plays at tick n; the session passes over
        the frames before it. Runs in a worker thread."""
        def pull(u):
            if due is not None and due > SLACK:
                u.skip_to(due - SLACK)
            return u.pull_i420(*self.planes)
        try:
            info = self.engine(pull)
        except Error as e:
            log.error("session %s: %s", self.id, e)
            info = None
        return self.frame, info or {"kind": "hold", "si": -1, "ordinal": -1}

    def frame_sent(self, first, n, info):
        """Bookkeeping for the frame of tick n, on the event loop (the ticks from `first` before n were skipped):
        the sound it starts or ends, its description, the figures."""
        self.late += n - first
        if info["kind"] == "speech":
            if info["ordinal"] > self.ordinal:
                self.skipped += info["ordinal"] - self.ordinal - 1
            self.ordinal = info["ordinal"]
        if info["kind"] == "hold" and n > 0:
            self.held += 1
        elif info["kind"] in ("idle", "speech", "ramp"):
            if self.speaking and info["kind"] == "idle":  # an utterance has played out
                self.host.heap.soon(asyncio.get_running_loop())
            self.speaking = info["kind"] != "idle"
        self.voice.sent(info["kind"], info["ordinal"], n, self.audio_out.next_tick())
        pcm = self.voice.sound(n)
        self.sent += 1
        level = 10 * np.log10(np.mean(pcm.astype(np.float64) ** 2) / 32768.0 ** 2 + 1e-10)
        # The sound goes out tick by tick, SPF samples each: a speech frame's own sound goes out at the tick its
        # ordinal is due, the next one unless the picture runs late.
        tick = n
        if info["kind"] == "speech" and self.voice.due(n) is not None:
            tick = self.voice.start + info["ordinal"]
        # The frame's RTP timestamp, and that of the first of its sound (48 kHz: the two go out in step).
        self.send({"type": "frame", "n": n, "rtp": self.rtp(self.video_sender, n * 3600),
                   "artp": self.rtp(self.audio_sender, tick * SPF * 3),
                   "k": info["kind"], "si": info["si"], "o": info["ordinal"], "a": round(level, 1)})
        st = self.engine(lambda u: u.stats()) if n % FPS == 0 else None
        if st is not None:
            self.send({"type": "stats", "sent": self.sent, "held": self.held, "late": self.late,
                       "skipped": self.skipped, "onset_ms": st["onset_ms"],
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
                # The plane as it is (to_ndarray fails an import on every call, like from_ndarray).
                blocks, ended, onset = self.gate.feed(np.frombuffer(f.planes[0], np.int16, count=f.samples))
                if onset:
                    self.voice.end()
                    self.voice.begin(streamed=True)
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

    def sound_behind(self, ms):
        """The page's median of how far the sound comes after its pictures (ms), with its ping, if it measures it.
        Past the session's first SETTLING_S, while the pictures are shown as they are decoded: LAGGING_PINGS in a
        row past SOUND_BEHIND_MS (a lag that lasts, not the steps of an utterance's first frames, whose sound
        starts a few ticks after them) hold each picture back longer, by the least of their excess over
        SOUND_AIM_MS; as many in a row under SOUND_CLOSE_MS while they are held, shorter, by half the least of
        their room under it. A change waits for LAGGING_PINGS more pings, about as long as the page's median takes to
        cover frames under the hold before it alone."""
        if ms is None:
            return None
        if isinstance(ms, bool) or not isinstance(ms, (int, float)) or not math.isfinite(ms):
            return "\"behind\" needs a number of milliseconds"
        if time.monotonic() - self.created < SETTLING_S or not self.prompt_video:
            return None
        if ms > SOUND_BEHIND_MS:
            self.behind = [b for b in self.behind if b > SOUND_BEHIND_MS] + [ms]
            more = min(self.behind) - SOUND_AIM_MS
        elif ms < SOUND_CLOSE_MS and self.hold_ms > 0:
            self.behind = [b for b in self.behind if b < SOUND_CLOSE_MS] + [ms]
            more = (max(self.behind) - SOUND_AIM_MS) / 2  # half: the figures swing by as much as the room
        else:
            self.behind = []
            return None
        if len(self.behind) < LAGGING_PINGS:
            return None
        hold = int(min(MAX_HOLD_MS, max(0, self.hold_ms + more)) // 10 * 10)
        self.behind = []
        if hold != self.hold_ms and rtc.delay_pictures(self.video_sender, hold):
            log.info("session %s: its sound came %.0f ms after its pictures; the browser holds each picture %d ms",
                     self.id, ms, hold)
            self.hold_ms = hold
        return None

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
            return self.sound_behind(msg.get("behind"))
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
