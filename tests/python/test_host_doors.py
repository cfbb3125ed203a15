"""The live host's doors, driven as a hostile page and a stranger would: malformed offers and data-channel
messages get a 4xx or an error message and the session goes on; nobody but a session's own page can end it, and
no public answer names a session.

usage: test_host_doors.py BUNDLE
  env: LE_CORE_LIB (the library), W2V_ONNX (the shared audio encoder)
"""
import asyncio
import json
import os
import subprocess
import sys
import time
import urllib.error
import urllib.request

from aiortc import RTCPeerConnection, RTCSessionDescription

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_live import PYTHON_DIR, Host, check, run_logged  # noqa: E402

sys.path.insert(0, PYTHON_DIR)


def post(host, path, body, content_type="application/json"):
    """(HTTP status, JSON answer or None) of a POST."""
    req = urllib.request.Request(host.url + path, body, {"Content-Type": content_type})
    try:
        with urllib.request.urlopen(req, timeout=60) as r:
            status, text = r.status, r.read()
    except urllib.error.HTTPError as e:
        status, text = e.code, e.read()
    try:
        return status, json.loads(text)
    except ValueError:
        return status, None


def offers(host):
    deep = ("[" * 200000 + "]" * 200000).encode()
    cases = [
        ("deeply nested JSON", deep, "application/json"),
        ("an unknown charset", b'{"sdp": "v=0", "type": "offer"}', "application/json; charset=x-no-such-charset"),
        ("bytes that are not UTF-8", b'{"sdp": "\xff\xfe", "type": "offer"}', "application/json"),
        ("an sdp that is not text", b'{"sdp": 5, "type": "offer"}', "application/json"),
        ("an unknown type", b'{"sdp": "v=0", "type": "bogus"}', "application/json"),
        ("a body beyond the limit", b" " * (2 << 20), "application/json"),
    ]
    for what, body, ctype in cases:
        status, _ = post(host, "offer", body, ctype)
        check(400 <= status < 500 and host.status()["sessions"] == 0,
              "an offer with %s is refused with a 4xx (%d) and leaves no session" % (what, status))


def video_codec(sdp):
    """The first video codec an SDP lists."""
    lines = sdp.splitlines()
    pt = next(line.split()[3] for line in lines if line.startswith("m=video"))
    return next(line.split()[1].split("/")[0] for line in lines if line.startswith("a=rtpmap:%s " % pt))


async def page_offer(host, only=None):
    """A page's peer connection (its video offer listing only `only`, when given) and the host's (status, answer)."""
    from aiortc import RTCRtpSender
    pc = RTCPeerConnection()
    pc.addTransceiver("audio", direction="recvonly")
    video = pc.addTransceiver("video", direction="recvonly")
    if only:
        video.setCodecPreferences([c for c in RTCRtpSender.getCapabilities("video").codecs if c.mimeType == only])
    pc.createDataChannel("control")
    await pc.setLocalDescription(await pc.createOffer())
    body = json.dumps({"sdp": pc.localDescription.sdp, "type": pc.localDescription.type}).encode()
    return pc, await asyncio.get_running_loop().run_in_executor(None, post, host, "offer", body)


async def answered(host, only=None):
    """The host's answer to a page (whose offer lists only `only`, when given); the session is ended again."""
    pc, (status, answer) = await page_offer(host, only)
    loop = asyncio.get_running_loop()
    try:
        check(status == 200, "an offer listing %s is answered" % (only or "every codec"))
        await loop.run_in_executor(None, post, host, "bye/" + answer["id"], answer["token"].encode(), "text/plain")
        host.wait_sessions(0)
        return answer["sdp"]
    finally:
        await pc.close()


async def codecs(host, log):
    """The host offers first the video codec it measured cheaper at the page's output size, and falls back to what
    the page offers."""
    from le_core.live import rtc
    log.flush()
    with open(log.name) as f:
        first = [line.rsplit(": ", 1)[1].strip() for line in f if "video codecs at " in line]
    check(len(first) == 2, "the host measured the codecs at both output sizes: %s" % first)
    sdp = await answered(host)
    got = video_codec(sdp)
    check(got == first[0], "the answer's first video codec is the one measured cheaper (%s, %s)" % (got, first[0]))
    other = "video/VP8" if first[0] == "H264" else "video/H264"
    got = video_codec(await answered(host, other))
    check(got == other.split("/")[1], "a page offering only %s gets it (%s)" % (other, got))
    # The page's offer (this process has the host's workarounds in) lists the playout-delay extension.
    check(rtc.PLAYOUT_DELAY in sdp, "the answer asks the page to show each frame as it is decoded")


async def ownership(host):
    """A session opened by a page: only that page's token ends it, and the public status names no session."""
    pc, (status, answer) = await page_offer(host)
    loop = asyncio.get_running_loop()
    try:
        check(status == 200 and answer.get("token") and answer.get("id"), "a good offer is answered with id and token")
        status_text = json.dumps(host.status())
        check(answer["id"] not in status_text and answer["token"] not in status_text and "ids" not in status_text,
              "the public status names no session: %s" % status_text)
        sid = answer["id"]
        for what, token in (("no token", b""), ("a wrong token", b"x" * len(answer["token"])),
                            ("a token cut short", answer["token"][:-1].encode())):
            status, _ = await loop.run_in_executor(None, post, host, "bye/" + sid, token, "text/plain")
            check(status == 403 and host.status()["sessions"] == 1, "bye with %s is refused (%d)" % (what, status))
        status, _ = await loop.run_in_executor(None, post, host, "bye/" + sid, answer["token"].encode(),
                                               "text/plain;charset=UTF-8")
        check(status == 204, "bye with the session's own token ends it")
        host.wait_sessions(0)
    finally:
        await pc.close()


class Channel:
    """What a session sends to its page."""
    readyState = "open"

    def __init__(self):
        self.sent = []

    def send(self, text):
        self.sent.append(json.loads(text))


async def messages(bundle):
    """A hostile page's data-channel messages, straight into a session's handler: each gets an error message and
    nothing escapes."""
    from le_core import serve
    host = serve.Host(bundle, bundle, 1, "full", 1, {})
    live = serve.Live(host, "t", "full")
    live.channel = Channel()
    bad = [("deeply nested JSON", "[" * 30000 + "]" * 30000),
           ("a NUL in the text", json.dumps({"type": "say", "text": "hello\u0000there"})),
           ("a text that is not text", json.dumps({"type": "say", "text": ["x"]})),
           ("a message that is not an object", "[1, 2]"),
           ("an unknown type", json.dumps({"type": "launch"})),
           ("not JSON", "{\"type\": "),
           ("bytes that are not UTF-8", b"\xff\xfe\xfd"),
           ("a message beyond the limit", json.dumps({"type": "say", "text": "a" * 70000})),
           ("a lag that is not a number", json.dumps({"type": "ping", "behind": "far"})),
           ("a lag that is not finite", '{"type": "ping", "behind": 1e999}')]
    try:
        for what, raw in bad:
            live.channel.sent.clear()
            live.on_message(raw)
            errors = [m["text"] for m in live.channel.sent if m.get("type") == "error"]
            check(len(errors) == 1, "a message with %s gets an error on the channel: %s" % (what, errors))
        live.channel.sent.clear()
        live.on_message('{"type": "ping"}')
        check(live.channel.sent == [], "a ping gets no answer")
        live.on_message(json.dumps({"type": "say", "text": "Still here."}))
        await live.saying
        check(live.channel.sent == [] and live.voice.utterances, "and the next good sentence is spoken")

        # Past the session's first seconds, the pictures are held back by what the sound lags by over its aim when
        # the page says three times in a row that it lags, and by less when it says three times that it is close.
        from aiortc.rtcrtpparameters import RTCRtpHeaderExtensionParameters as Extension, RTCRtpParameters
        from aiortc.rtp import HeaderExtensions, HeaderExtensionsMap, unpack_header_extensions
        from le_core.live import rtc
        ids = HeaderExtensionsMap()
        ids.configure(RTCRtpParameters(headerExtensions=[Extension(id=3, uri=rtc.PLAYOUT_DELAY)]))
        live.video_sender = type("Sender", (), {"_RTCRtpSender__rtp_header_extensions_map": ids})()
        live.prompt_video, live.created = True, time.monotonic()
        pings = [(150, 0)] * 3 + [(150, 0), (150, 0), (40, 0), (150, 0), (170, 0), (160, 90),  # 150 - 60 at the third
                                  (130, 90), (120, 90), (140, 150), (-20, 150), (5, 150), (0, 120),  # (5 - 60) / 2
                                  (5, 120), (9, 120), (5, 90), (0, 90), (50, 90), (0, 90), (-80, 90)] + [(0, 60)] * 3
        pings += [(0, 30)] * 3 + [(0, 0)] * 4 + [(3000, 0)] * 2 + [(2500, 2000)] * 4
        states = []
        for k, (behind, _) in enumerate(pings):
            if k == 3:
                live.created -= 10  # settled
            live.on_message(json.dumps({"type": "ping", "behind": behind}))
            sent = unpack_header_extensions(*ids.set(HeaderExtensions()))[0][1]
            states.append((live.hold_ms, sent == rtc.playout_limits(live.hold_ms, live.hold_ms)))
        want = [(hold, True) for _, hold in pings]
        check(states == want and live.channel.sent == [], "a lagging sound holds the pictures back as long as it "
              "lags past its aim, and a close one by less: %s" % states)
    finally:
        await live.pc.close()


async def engine_calls(bundle):
    """Calls into a session's engine from several threads run at once (a push never waits behind a frame's pull);
    the teardown waits for those under way, and no call begins meanwhile."""
    import threading
    from le_core import serve
    live = serve.Live(serve.Host(bundle, bundle, 1, "full", 1, {}), "t", "full")
    closed, pulling, release = [], threading.Event(), threading.Event()
    live.utt = type("Utt", (), {"close": lambda self: closed.append("utt")})()
    live.ctx = type("Ctx", (), {"close": lambda self: closed.append("ctx")})()
    try:
        pull = threading.Thread(target=live.engine, args=(lambda u: (pulling.set(), release.wait(10)),))
        pull.start()
        pulling.wait(10)
        got = []
        push = threading.Thread(target=lambda: got.append(live.engine(lambda u: "pushed")))
        push.start()
        push.join(5)
        check(got == ["pushed"], "a push goes in while a frame's pull is under way")
        closer = threading.Thread(target=live.close_engine)
        closer.start()
        closer.join(0.3)
        check(closed == [] and live.engine(lambda u: "late", "gone") == "gone",
              "the teardown waits for the pull under way, and no call begins meanwhile")
        release.set()
        pull.join(10)
        closer.join(10)
        check(closed == ["utt", "ctx"], "then the session closes, before its context")
    finally:
        release.set()
        await live.pc.close()


async def settling(bundle):
    """The host gives the heap back a moment after each utterance has played out: once for ends close together,
    again for an end after that, never while a session only idles or holds."""
    from le_core import serve
    host = serve.Host(bundle, bundle, 1, "full", 1, {})
    trims = []
    host.heap = serve.HeapSettler(trim=trims.append, delay=0.05)
    live = serve.Live(host, "t", "full")
    for kinds, want, what in ((["idle", "hold", "idle", "hold"], [], "idling and held frames leave the heap alone"),
                              (["speech", "hold", "ramp", "idle", "speech", "idle"], [0],
                               "two ends close together settle the heap once"),
                              (["ramp", "idle"], [0, 0], "an interrupt's ramp settles it again")):
        for n, kind in enumerate(kinds, 1):
            live.frame_sent(n, n, {"kind": kind, "si": 0, "ordinal": n})
        for _ in range(250):  # the trim runs on a worker thread: slow to start on a loaded machine
            if len(trims) >= len(want):
                break
            await asyncio.sleep(0.02)
        await asyncio.sleep(0.2)
        check(trims == want, "%s: %s" % (what, trims))
    await live.pc.close()


async def frame_reuse(bundle):
    """One video frame serves every tick: a pull writes its planes only when it makes a picture, so a tick that
    finds none waiting, or whose pull fails, sends the last picture again; until the first, the driver's."""
    import numpy as np
    from le_core import serve
    from le_core.api import Error
    from le_core.live import media
    host = serve.Host(bundle, bundle, 1, "full", 1, {})
    live = serve.Live(host, "t", "full")
    live.frame = media.counted_frame(8, 4)
    live.planes = media.planes_of(live.frame)
    for p in live.planes:
        p[...] = 5

    class Utt:
        def pull_i420(self, *planes):
            if self.value == 9:
                raise Error("failed")
            if self.value == 0:
                return None
            for p in planes:
                p[...] = self.value
            return {"kind": "speech", "si": 0, "ordinal": self.value}
    live.utt = Utt()
    shown = []
    for value in (0, 1, 2, 9, 3, 0, 9, 4):
        live.utt.value = value
        frame, info = live.next_frame(value)
        check(frame is live.frame and (info["kind"] == "hold") == (value in (0, 9)), "frame %d: %s" % (value, info))
        shown.append([int(np.frombuffer(p, np.uint8)[0]) for p in frame.planes])
    check(shown == [[v] * 3 for v in (5, 1, 2, 2, 3, 3, 3, 4)], "a tick without a picture shows the last: %s" % shown)
    await live.pc.close()


async def sound_clock(bundle):
    """The returned speech plays on the pictures' clock from the tick after its first speech frame's (or the sound's
    next tick, when that is later): a tick without a frame keeps it going, a late frame says the tick its sound
    went out, a ramp ends it; the audio track sends it 20 ms at a time, whatever the frames do."""
    import time
    import numpy as np
    from le_core import serve
    from le_core.live.media import SPF
    host = serve.Host(bundle, bundle, 1, "full", 1, {})
    host.heap = serve.HeapSettler(trim=lambda pad: None, delay=0.05)
    live = serve.Live(host, "t", "full")
    live.channel = Channel()
    live.audio_sender = type("Sender", (), {"_le_timestamp_origin": 0})()
    speech = (np.arange(8 * SPF) % 20000 + 1).astype(np.int16)
    for _ in range(2):
        live.voice.begin()
        live.voice.add(speech)
        live.voice.end()
    check(live.voice.due(0) is None, "no speech plays before its first frame")
    for first, n, kind, o in ((0, 0, "idle", -1), (1, 1, "speech", 0), (2, 2, "hold", -1), (3, 6, "speech", 2),
                              (7, 7, "ramp", -1)):
        if n == 7:  # the sound as the audio track sends it, up to the ramp
            live.video_out.t0 = time.monotonic() - 1  # a second behind: no waiting
            sent = [(await live.audio_out.recv()).to_ndarray().reshape(-1) for _ in range(14)]
            want = [np.zeros(SPF)] * 2 + [speech[k * SPF:(k + 1) * SPF] for k in range(5)]
            check(np.array_equal(np.concatenate(sent), np.concatenate(want)),
                  "the speech plays on from the tick after its first frame, through a hold and skipped ticks")
        live.frame_sent(first, n, {"kind": kind, "si": 0, "ordinal": o})
    check(not live.voice.sound(7).any(), "and stops at the ramp")
    artp = [m["artp"] // (3 * SPF) for m in live.channel.sent if m["type"] == "frame"]
    check(artp == [0, 2, 2, 4, 7], "a speech frame's sound is that of the tick its ordinal is due: %s" % artp)
    check((live.late, live.skipped) == (3, 1), "3 ticks late, 1 speech frame skipped: %s" % [live.late, live.skipped])
    live.frame_sent(20, 20, {"kind": "speech", "si": 0, "ordinal": 0})
    check(live.voice.start == 21, "the next utterance starts a tick after its first frame: %d" % live.voice.start)
    live.voice.drop()
    live.voice.begin()
    live.voice.add(speech)
    live.audio_out.half = 59  # the sound has gone out up to the middle of tick 29
    live.frame_sent(21, 21, {"kind": "speech", "si": 0, "ordinal": 0})
    check(live.voice.start == 30, "or at the sound's next tick, when that is later: %d" % live.voice.start)
    await live.pc.close()

    # An audio engine whose first batch of an utterance (6 frames after 940 ms) runs out two frames before the next
    # (8 frames, 320 ms later): the sound of speech streaming in starts three ticks after the first frame, so that
    # the two holds at the end of the first batch leave the pictures a tick ahead of their sound, as after the first
    # frame; a sentence pushed whole comes without batches to wait for.
    from le_core.live.app import batch_shortfall
    from le_core.live.speech import Voice

    class Batches:
        def __init__(self, steps):
            self.steps, self.pushed = steps, 0

        def push(self, a):
            self.pushed += a.size

        def avail(self):
            return max([n for at, n in self.steps if self.pushed >= at] + [0])
    found = [batch_shortfall(Batches(b)) for b in ([(15040, 6), (20160, 14)], [(15040, 9), (20160, 17)], [])]
    check(found == [2, 0, 0], "batches falling short by 2 frames, by none, and no frames at all: %s" % found)
    voice = Voice(1 + found[0])
    starts = []
    for streamed in (True, False):
        voice.begin(streamed)
        voice.add(speech)
        voice.end()
        voice.sent("speech", 0, 40, heard=41)
        starts.append(voice.start)
    check(starts == [43, 41], "the sound of streamed speech at tick 43, of a whole sentence at 41: %s" % starts)


async def failed_connection(bundle):
    """A session answered in the host's codec order, whose connection then fails, gives back its peer connection
    (and with it the codecs' buffers) as it closes, not at some later collection."""
    import gc
    import weakref
    from le_core import serve
    host = serve.Host(bundle, bundle, 1, "full", 1, {})
    host.heap = serve.HeapSettler(trim=lambda pad: None, delay=0.05)
    live = serve.Live(host, "t", "full")
    host.sessions[live.id] = live
    page = RTCPeerConnection()
    gc.disable()  # only the host's own collections count
    try:
        await asyncio.get_running_loop().run_in_executor(None, live.open_engine)
        page.addTransceiver("audio", direction="recvonly")
        page.addTransceiver("video", direction="recvonly")
        await page.setLocalDescription(await page.createOffer())
        host.codecs = {"full": ["video/H264", "video/VP8"]}  # against the page's order
        answer = json.loads((await host.answer(live, page.localDescription)).body)
        check(video_codec(answer["sdp"]) == "H264", "the answer lists first the codec the host prefers")
        await page.setRemoteDescription(RTCSessionDescription(answer["sdp"], answer["type"]))
        pc = weakref.ref(live.pc)
        for _ in range(500):
            if live.pc.connectionState == "connected":
                break
            await asyncio.sleep(0.02)
        ice = live.pc.getTransceivers()[0].receiver.transport.transport
        ice._RTCIceTransport__setState("failed")  # as the library does when they fail
        for _ in range(500):  # closing joins the engine's threads: seconds on a loaded machine
            if live.closed and not host.sessions and live.utt is None:
                break
            await asyncio.sleep(0.02)
        check(live.closed and not host.sessions and live.utt is None, "a failed connection closes the session")
        check(pc() is None, "and its peer connection is gone")
    finally:
        gc.enable()
        host.heap.cancel()
        await page.close()


def workarounds():
    """A WebRTC library without an internal the host's workarounds reach into is refused with what is missing."""
    from aiortc import rtcrtpsender
    from le_core.live import rtc
    saved = rtcrtpsender.random32
    del rtcrtpsender.random32
    try:
        rtc.check()
        check(False, "a library without random32 is refused")
    except RuntimeError as e:
        check("lacks random32" in str(e), "the refusal names the missing internal: %s" % e)
    finally:
        rtcrtpsender.random32 = saved

    async def prompt():
        from aiortc.rtp import RtpPacket
        pc = RTCPeerConnection()
        try:
            receiver = pc.addTransceiver("audio", direction="recvonly").receiver
            check(rtc.listen_promptly(receiver), "the audio receiver's jitter buffer is found")
            jb = receiver._RTCRtpReceiver__jitter_buffer
            def add(k):
                packet = RtpPacket(payload_type=111, sequence_number=k, timestamp=960 * k)
                packet._data = b"opus%d" % k  # as the receiver leaves it, depayloaded
                frame = jb.add(packet)[1]
                return None if frame is None else (frame.timestamp // 960, frame.data)
            out = [add(k) for k in (0, 1, 3, 2, 4, 1)]
            check(out == [(0, b"opus0"), (1, b"opus1"), None, (2, b"opus2"), (3, b"opus3"), None],
                  "microphone packets are handed over as they come, in order, a late one not at all: %s" % out)
        finally:
            await pc.close()
    asyncio.run(prompt())

    # The library's data channel sending onto a connection already gone is one line in the log; any other failure
    # of a task still reaches the loop's own handler.
    from collections import deque
    from types import SimpleNamespace
    from aiortc.rtcsctptransport import WEBRTC_DCEP, RTCSctpTransport

    async def gone(*args, **kwargs):
        raise ConnectionError("Cannot send encrypted data, not connected")

    async def fault():
        raise RuntimeError("a real fault")

    async def reported():
        loop, seen = asyncio.get_running_loop(), []
        loop.set_exception_handler(lambda loop, context: seen.append(context["exception"]))
        rtc.quiet_closed_channel(loop)
        sctp = SimpleNamespace(State=RTCSctpTransport.State, _association_state=RTCSctpTransport.State.ESTABLISHED,
                               _outbound_queue=[], _send=gone,
                               _data_channel_queue=deque([(SimpleNamespace(id=1), WEBRTC_DCEP, b"x")]))
        for coro in (RTCSctpTransport._data_channel_flush(sctp), fault()):
            task = loop.create_task(coro)
            await asyncio.wait([task])
            loop.call_exception_handler({"message": "Task exception was never retrieved", "future": task,
                                         "exception": task.exception()})
        return seen
    seen = asyncio.run(reported())
    check([type(e) for e in seen] == [RuntimeError], "a data channel's send onto a closed connection is not reported "
          "as a fault; a real fault still is: %s" % seen)

    # Once the workarounds are in, every packet of a sender that agreed on the playout-delay extension asks for
    # no delay; a sender that did not (the sound's) carries only its own extensions.
    from aiortc.rtcrtpparameters import RTCRtpHeaderExtensionParameters as Extension, RTCRtpParameters
    from aiortc.rtp import HeaderExtensions, HeaderExtensionsMap, unpack_header_extensions
    rtc.install()
    mid = Extension(id=1, uri="urn:ietf:params:rtp-hdrext:sdes:mid")
    for extensions, want in (([mid, Extension(id=9, uri=rtc.PLAYOUT_DELAY)], [(1, b"0"), (9, b"\0\0\0")]),
                             ([mid], [(1, b"0")])):
        ids = HeaderExtensionsMap()
        ids.configure(RTCRtpParameters(headerExtensions=extensions))
        got = unpack_header_extensions(*ids.set(HeaderExtensions(mid="0")))
        check(got == want, "a packet's header extensions: %s" % got)

    # The library's H.264 encoder, once the workarounds are in, runs x264's fastest preset with deblocking kept (as
    # the stream's own settings record says) and makes a stream that decodes.
    import fractions
    import av
    import numpy as np
    from aiortc.codecs import get_encoder
    from aiortc.rtcrtpparameters import RTCRtpCodecParameters
    encoder = get_encoder(RTCRtpCodecParameters(mimeType="video/H264", clockRate=90000, payloadType=96))
    stream = b""
    for k in range(3):
        frame = av.VideoFrame.from_ndarray(np.full((48, 64, 3), 40 * k, np.uint8), format="rgb24").reformat(
            format="yuv420p")
        frame.pts, frame.time_base = 3000 * k, fractions.Fraction(1, 90000)
        stream += b"".join(b"\0\0\0\1" + nal for nal in encoder._encode_frame(frame, k == 0))
    check(b"subme=0" in stream and b"deblock=1:0:0" in stream, "H.264 is encoded at x264's fastest preset with "
          "deblocking: %s" % stream[stream.find(b"options:"):][:60])
    decoder = av.CodecContext.create("h264", "r")
    decoded = [f for p in decoder.parse(stream) + decoder.parse(None) + [None] for f in decoder.decode(p)]
    check(len(decoded) == 3 and decoded[0].width == 64, "and the stream decodes: %d frames" % len(decoded))

    # The encoder is made anew for a fall of the target bitrate beyond a tenth, and for a rise beyond half again.
    made = []
    for target in (None, 1.4, 1.6, 1.5, 0.95, 0.8):
        if target:
            encoder.target_bitrate = int(target * encoder.codec.bit_rate)
        list(encoder._encode_frame(frame, False))
        made.append(encoder.codec.bit_rate if not made or encoder.codec is not codec else 0)
        codec = encoder.codec
    check(made[2] > 0 and made[5] > 0 and made[1] == made[3] == made[4] == 0, "the H.264 encoder is made anew for a "
          "fall beyond a tenth and a rise beyond half again, not for smaller steps: %s" % made)


def loop_first_unprivileged():
    """Without the right to raise its event loop, the host lowers every other thread instead, those started since
    too."""
    script = """if 1:
        import asyncio, os, sys, threading
        sys.path.insert(0, sys.argv[1])
        from le_core.live.media import LoopFirst
        nice = lambda tid: os.getpriority(os.PRIO_PROCESS, tid)
        async def main():
            me, stop, tids, base = threading.get_native_id(), threading.Event(), [], nice(threading.get_native_id())
            idle = lambda: (tids.append(threading.get_native_id()), stop.wait())
            threading.Thread(target=idle).start()
            keeper = LoopFirst(lower=5, every_s=0.05)
            keeper.start()
            await asyncio.sleep(0.1)
            threading.Thread(target=idle).start()  # after the first look, at the loop's level
            await asyncio.sleep(0.3)
            print(base, nice(me), *(nice(t) for t in tids))
            keeper.stop(), stop.set()
        asyncio.run(main())
    """
    out = subprocess.run(["setpriv", "--bounding-set", "-sys_nice", sys.executable, "-c", script, PYTHON_DIR],
                         capture_output=True, text=True, timeout=60)
    got = [int(x) for x in out.stdout.split()]
    check(len(got) == 4 and got[1] == got[0] and got[2:] == [min(19, got[0] + 5)] * 2,
          "without the right to raise the event loop, the other threads go 5 steps below it: %s %s"
          % (got, out.stderr[-300:]))


def main():
    bundle = sys.argv[1]
    workarounds()
    loop_first_unprivileged()

    def doors(bundle, tmp, log):
        host = Host(bundle, 1, log)
        try:
            offers(host)
            asyncio.run(ownership(host))
            asyncio.run(codecs(host, log))
            # The event loop (the main thread) runs ahead of every other thread of the host: the library's, the
            # codecs', the workers'.
            time.sleep(1.5)
            nice = {}
            for tid in os.listdir("/proc/%d/task" % host.proc.pid):
                try:
                    with open("/proc/%d/task/%s/stat" % (host.proc.pid, tid)) as f:
                        nice[int(tid)] = int(f.read().rsplit(")", 1)[1].split()[16])
                except OSError:
                    pass
            loop = nice.get(host.proc.pid)
            others = [n for t, n in nice.items() if t != host.proc.pid]
            check(loop in (-5, 0) and len(others) > 5 and all(n == loop + 5 for n in others),
                  "the host's threads run 5 nice steps below its event loop: %s" % sorted(nice.items()))
        finally:
            host.stop()

    run_logged(doors, bundle, "host")

    def buffered(bundle, tmp, log):
        from le_core.live import rtc
        host = Host(bundle, 1, log, ("--buffered-video",))
        try:
            check(rtc.PLAYOUT_DELAY not in asyncio.run(answered(host)), "--buffered-video leaves the extension out")
        finally:
            host.stop()
    run_logged(buffered, bundle, "host")
    asyncio.run(messages(bundle))
    asyncio.run(engine_calls(bundle))
    asyncio.run(settling(bundle))
    asyncio.run(frame_reuse(bundle))
    asyncio.run(sound_clock(bundle))
    asyncio.run(failed_connection(bundle))
    print("host doors: every check passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
