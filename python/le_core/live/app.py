"""The web application of the live host and its command line."""
import argparse
import asyncio
import atexit
import hmac
import logging
import os
import sys
import time
import uuid

import numpy as np
from aiohttp import web
from aiohttp.web_log import AccessLogger
from aiortc import RTCSessionDescription

from ..api import KP, A2x, Context, audio_defaults, release_memory, resolve_member, set_log
from . import rtc
from .media import HeapSettler, LoopFirst, counted_copy, one_heap
from .session import Live, frame_box, parse_json

log = logging.getLogger("le_core.serve")
STATIC = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "static")
REPO = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", ".."))


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


def batch_shortfall(engine, step=320, limit=16000 * 10):
    """Frames a picture played from an utterance's first speech frame would wait for the next ones: the audio
    engine hands an utterance's frames out in batches (the demo's: 6 after 940 ms of speech, then 8 every 320 ms),
    and a first batch smaller than the span to the second runs out before it comes. Measured on `engine` (a fresh
    stream) with silence, as the batches come whatever the speech is."""
    seen, ready = [], 0
    for pushed in range(step, limit + 1, step):
        engine.push(np.zeros(step, np.float32))
        n = engine.avail()
        if n > ready:
            seen.append((pushed, n))
            ready = n
            if len(seen) == 2:
                (t1, n1), (t2, _) = seen
                return max(0, (t2 - t1) // 640 - n1)
    return 0


class Host:
    silent_s = 8.0  # a page that sends nothing for this long has gone

    def __init__(self, bundle, motion, max_sessions, output, threads, gate, audio=None):
        rtc.install()  # the WebRTC library checked and its workarounds in place before any peer connects
        self.bundle, self.motion, self.max_sessions = bundle, motion, max_sessions
        self.output, self.threads, self.gate = output, threads, gate
        self.audio = audio or {}  # le_a2x_opts members for every audio engine
        self.sessions = {}
        self.avatar = self.voice_model = None
        self.sound_lead = 1  # ticks from a streamed utterance's first speech frame to its sound (see batch_shortfall)
        self.codecs = {}  # output -> video mime types, the cheapest to encode first
        self.heap = HeapSettler()  # after each utterance, what its frames' buffers left in the heap goes back
        self.loop_first = LoopFirst()  # the event loop before the threads that make and encode frames
        # The director's warp as the engine's one vectorised node: a quarter less CPU a frame on the demo avatar
        # (its output within 1e-6 of the graph's own). LE_WARP_NODE, when set, decides instead.
        self.warp_node = None if "LE_WARP_NODE" in os.environ else True
        self.prompt_video = True  # ask browsers to show each frame as it is decoded (rtc.show_promptly)

    def preload(self):
        """Loads the avatar and its audio model once, before the first browser: every session's context and
        utterance session then share them (the library keeps one loaded copy of a bundle while anyone holds it),
        and a session's start costs only its own stream state."""
        self.avatar = Context(self.bundle, threads=self.threads, warp_node=self.warp_node)
        self.avatar.render(0, np.zeros(KP, np.float32), np.zeros(KP, np.float32))  # loads the director
        encoder = resolve_member(self.motion, "a2x_enc_stream.onnx")
        if encoder and os.path.exists(encoder):
            self.voice_model = A2x(self.motion, threads=self.threads, **self.audio)
            probe = A2x(self.motion, threads=self.threads, **self.audio)
            try:
                self.sound_lead = 1 + batch_shortfall(probe)
            finally:
                probe.close()
            log.info("the audio engine's first batch of an utterance runs out %d frames before its second comes: the "
                     "sound of speech from the microphone starts %d ticks after its first frame",
                     self.sound_lead - 1, self.sound_lead)
        self.measure_codecs()
        # The measurement's frames and encoders are gone, and the networks' working memory of its renders is
        # given back: the host's idle size is what it keeps.
        release_memory()

    def measure_codecs(self, n=8):
        """Times each video codec on frames of the avatar speaking (its driving rows with the lower lip dropped)
        at both output sizes, and offers the cheaper first."""
        import av
        ctx = self.avatar
        xs = np.fromfile(resolve_member(self.bundle, "xs_target.bin"), np.float32).reshape(-1, KP)
        frames = []
        for k in range(n):
            si = k % ctx.nt
            kd = xs[si].copy()
            kd[12 * 3 + 1] += 0.03 * (k % 4)
            kd[20 * 3 + 1] += 0.03 * (k % 4)
            frames.append(ctx.paste(si, ctx.render(si, xs[si], kd)))
        for output in ("full", "face"):
            x0, y0, x1, y1 = frame_box(ctx, output)
            boxes = [av.VideoFrame.from_ndarray(np.ascontiguousarray(f[y0:y1, x0:x1]), format="rgb24") for f in frames]
            costs = rtc.encode_ms([counted_copy(b.reformat(format="yuv420p")) for b in boxes])
            self.codecs[output] = sorted(costs, key=costs.get)
            log.info("video codecs at %dx%d: %s per frame; offered first: %s", x1 - x0, y1 - y0,
                     ", ".join("%s %.1f ms" % (m.split("/")[1], v) for m, v in sorted(costs.items())),
                     self.codecs[output][0].split("/")[1])

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
        def on_state():
            # Closed from a task of its own: this handler holds the peer connection, which must be out of reach
            # when the session's close collects it (else its codecs' buffers wait for some later collection).
            if pc.connectionState in ("failed", "closed") and not live.closed:
                live.tasks.append(asyncio.ensure_future(live.close("connection " + pc.connectionState)))

        @pc.on("track")
        def on_track(track):
            if track.kind == "audio":
                live.tasks.append(asyncio.ensure_future(live.listen(track)))

        await pc.setRemoteDescription(desc)
        codec = "unknown"
        for t in pc.getTransceivers():
            if t.kind == "audio":
                rtc.listen_promptly(t.receiver)
                live.audio_sender = pc.addTrack(live.audio_out)
            elif t.kind == "video":
                rtc.prefer(t, self.codecs.get(live.output, []))
                live.prompt_video = rtc.show_promptly(t, self.prompt_video)
                live.video_sender = pc.addTrack(live.video_out)
        if live.video_sender is None:
            raise ValueError("it asks for no video")
        await pc.setLocalDescription(await pc.createAnswer())
        for t in pc.getTransceivers():
            if t.kind == "video":
                codec = rtc.negotiated(t)
        live.heard = time.monotonic()
        live.tasks.append(asyncio.ensure_future(live.watch(self.silent_s)))
        x0, y0, x1, y1 = live.box
        log.info("session %s opened (%s, %dx%d, %s), %d of %d", live.id, live.output, x1 - x0, y1 - y0, codec,
                 len(self.sessions), self.max_sessions)
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

    async def health(self, request):
        """For a load balancer in front of several hosts: 200 while a session is free, 404 (drain: no new pages,
        this host's own pages still reach it) when full."""
        free = self.max_sessions - len(self.sessions)
        return web.Response(status=200 if free > 0 else 404, text="free %d of %d\n" % (max(free, 0), self.max_sessions))

    async def shutdown(self, app):
        await asyncio.gather(*(s.close("host stopping") for s in list(self.sessions.values())))
        self.heap.cancel()
        self.loop_first.stop()
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
        app.router.add_get("/health", self.health)
        app.router.add_get("/favicon.ico", lambda request: web.Response(status=204))
        app.on_startup.append(self.startup)
        app.on_shutdown.append(self.shutdown)
        return app

    async def startup(self, app):
        rtc.quiet_closed_channel(asyncio.get_running_loop())
        self.loop_first.start()


class QuietHealthLog(AccessLogger):
    """The access log without a load balancer's health checks, several a second."""

    def log(self, request, response, time):
        if request.path != "/health":
            super().log(request, response, time)


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
    ap.add_argument("--worker-nice", type=int, default=5, choices=range(0, 20), metavar="0-19",
                    help="nice steps the threads that make and encode frames run below the event loop, which sends "
                         "the sound (default 5; 0 leaves them level)")
    ap.add_argument("--buffered-video", action="store_true",
                    help="let the browser buffer the pictures and line them up with the sound from the start (by "
                         "default it shows each as soon as it is decoded, 50-90 ms sooner, until its page says the "
                         "sound lags)")
    a = ap.parse_args(argv)
    one_heap()
    logging.basicConfig(level=logging.INFO, format="[le-serve] %(message)s")
    # The library's own lines join the host's log at their levels.
    levels = (logging.ERROR, logging.WARNING, logging.INFO, logging.DEBUG)
    library = logging.getLogger("le_core.library")
    set_log(lambda level, msg: library.log(levels[min(max(level, 0), 3)], "%s", msg.rstrip("\n")))
    atexit.register(set_log, None)  # no call into an interpreter that is shutting down
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
    host.prompt_video = not a.buffered_video
    host.loop_first.lower = a.worker_nice
    host.preload()
    log.info("serving %s on http://%s:%d/ (at most %d sessions, %d engine threads each, %s frames)", bundle, a.host,
             a.port, a.max_sessions, threads, a.output)
    web.run_app(host.app(), host=a.host, port=a.port, print=None, handle_signals=True,
                access_log_class=QuietHealthLog)
    return 0


if __name__ == "__main__":
    sys.exit(main())
