"""The workarounds that reach into the WebRTC library's internals, in one place. They were written against the
versions in TESTED; install() checks the library at start: an untested version is named in the log, and one whose
internals the workarounds need are gone is refused with the reason rather than failing inside a call."""
import fractions
import logging
import statistics
import sys
import time

import aiortc
from aiortc import RTCRtpSender, codecs, rtcrtpsender, rtp
from aiortc.codecs import get_encoder, h264, vpx
from aiortc.jitterbuffer import JitterBuffer, JitterFrame
from aiortc.rtcrtpparameters import RTCRtpCodecParameters, RTCRtpHeaderExtensionParameters
from aiortc.rtcsctptransport import RTCSctpTransport

log = logging.getLogger("le_core.serve")
TESTED = ("1.4.",)
_installed = False


def check():
    """Raises RuntimeError naming what is missing when the library lacks an internal the workarounds use."""
    missing = [name for owner, name in ((rtcrtpsender, "random32"), (rtcrtpsender.RTCRtpSender, "_next_encoded_frame"),
                                        (vpx, "lib"), (vpx.lib, "vpx_codec_control_"),
                                        (vpx.lib, "VP8E_SET_NOISE_SENSITIVITY"), (JitterBuffer, "_remove_frame"),
                                        (h264, "create_encoder_context"), (h264, "MAX_FRAME_RATE"),
                                        (h264, "H264Encoder"), (getattr(h264, "H264Encoder", None), "target_bitrate"),
                                        (codecs, "HEADER_EXTENSIONS"), (rtp.HeaderExtensionsMap, "configure"),
                                        (rtp.HeaderExtensionsMap, "set"), (rtp, "pack_header_extensions"),
                                        (rtp, "unpack_header_extensions"))
               if not hasattr(owner, name)]
    if missing:
        raise RuntimeError("aiortc %s lacks %s, which the live host's workarounds use (written for aiortc %s)"
                           % (aiortc.__version__, ", ".join(missing), "/".join(v + "x" for v in TESTED)))
    if not aiortc.__version__.startswith(TESTED):
        log.warning("aiortc %s: the live host's workarounds were written for aiortc %s; check the frame timing and "
                    "the encoder's cost", aiortc.__version__, "/".join(v + "x" for v in TESTED))


# The RTP timestamp of a frame is a random per-sender origin plus its pts. The page matches the frames it shows
# to their descriptions by that timestamp, so the origin each sender draws is kept on the sender.
def _recording_random32(original):
    def random32():
        value = original()
        caller = sys._getframe(1)
        if caller.f_code.co_name == "_run_rtp" and "self" in caller.f_locals:
            caller.f_locals["self"]._le_timestamp_origin = value
        return value
    return random32


# A receiver lines sound up with pictures by the wall-clock time each sender reports for its latest RTP timestamp,
# and a sender takes that time as it sends the packet: after the encoder, for video. A track may ask to be told
# when each of its frames leaves the encoder, so that the sound of a frame goes out in step with the frame.
def _told_when_encoded(original):
    async def next_encoded_frame(self, codec):
        encoded = await original(self, codec)
        told = getattr(self.track, "encoded", None)
        if told is not None:
            told(encoded.timestamp)
        return encoded
    return next_encoded_frame


# The VP8 encoder is set up with a temporal denoiser: footage already through a codec and a rendered face have
# little noise left for it to take out, and it costs a fifth of the encoder's time on the driver footage alone and
# two fifths on rendered speech, measured here. Turned on, it allocates its frames (at 1080p 20 MiB a
# session) and keeps them when turned off again: so the encoder's request for it is answered with "off" before
# anything is allocated.
class _LibWithoutDenoiser:
    def __init__(self, lib):
        self._lib = lib

    def __getattr__(self, name):
        return getattr(self._lib, name)

    def vpx_codec_control_(self, codec, control, value):
        if control == self._lib.VP8E_SET_NOISE_SENSITIVITY:
            value = vpx.ffi.cast("int", 0)
        return self._lib.vpx_codec_control_(codec, control, value)


# The H.264 encoder tries a hardware encoder first (none here: two error lines each time the library makes a codec,
# which it does again whenever the bitrate moves by a tenth), then x264 at its default preset: on the demo avatar's
# rendered speech at 1080p that is 12 ms a frame and 59 MiB a session. x264's fastest preset with its deblocking
# filter kept takes 4 ms and 33 MiB for the same picture at the same bitrate (luma PSNR 37.18 dB against 37.21
# over 40 frames at 1 Mbit/s), and is then cheaper than VP8, which the host measures and offers the cheaper first.
X264 = {"profile": "baseline", "level": "31", "tune": "zerolatency", "preset": "ultrafast",
        "x264-params": "deblock=0,0"}


def _quick_x264(codec_name, width, height, bitrate):
    import av
    codec = av.CodecContext.create("libx264", "w")
    codec.width, codec.height, codec.bit_rate, codec.pix_fmt = width, height, bitrate, "yuv420p"
    codec.framerate = fractions.Fraction(h264.MAX_FRAME_RATE, 1)
    codec.time_base = fractions.Fraction(1, h264.MAX_FRAME_RATE)
    codec.options = dict(X264)
    codec.open()
    return codec, False  # (the codec, whether its packets need gathering by timestamp: only the hardware one's)


# Chromium holds each video frame back before it shows it: in its jitter buffer (about 50 ms a frame at 1080p here),
# then, to line it up with the sound, for as long as the sound waits in a buffer of its own. The playout-delay header
# extension with both limits at 0 asks it to show each frame as soon as it is decoded: microphone to picture took
# 60-90 ms less at 1080p and 50 ms less at the face, measured here, with one session. The sound still waits in the
# browser's own buffer, which grows when the host falls behind (50-160 ms with one 1080p session, more with two on 2
# cores). A session whose page says the sound lags holds its pictures back by just the time it lags by
# (delay_pictures: both limits at that time; the browser's video buffer then holds each frame 20-40 ms less than that,
# measured here), and lets them go again as the sound's buffer drains. The library knows no such extension: the answer
# takes it from the page's offer, and every packet of a sender that agreed on it carries it, with the limits the
# sender holds.
PLAYOUT_DELAY = "http://www.webrtc.org/experiments/rtp-hdrext/playout-delay"


def playout_limits(least_ms, most_ms):
    """The extension's 3 bytes: the least and the most delay, each rounded to 10 ms and held to 0..40.95 s."""
    least, most = (min(4095, max(0, int(round(ms / 10.0)))) for ms in (least_ms, most_ms))
    return bytes((least >> 4, (least & 15) << 4 | most >> 8, most & 255))


NO_DELAY = playout_limits(0, 0)


def _noting_playout_delay(original):
    def configure(self, parameters):
        original(self, parameters)
        self._le_playout_delay = next((x.id for x in parameters.headerExtensions if x.uri == PLAYOUT_DELAY), None)
    return configure


def _adding_playout_delay(original):
    def set_(self, values):
        packed = original(self, values)
        ident = getattr(self, "_le_playout_delay", None)
        if not ident:
            return packed
        present = rtp.unpack_header_extensions(*packed) if packed[1] else []
        limits = getattr(self, "_le_playout_limits", NO_DELAY)
        return rtp.pack_header_extensions(list(present) + [(ident, limits)])
    return set_


def delay_pictures(sender, ms):
    """From now on the video sender's packets ask the browser to show each picture `ms` after it could (both
    limits at ms, in 10 ms steps; 0: as soon as it is decoded); False when the sender is not where the host looks
    for it."""
    ids = getattr(sender, "_RTCRtpSender__rtp_header_extensions_map", None)
    if not isinstance(ids, rtp.HeaderExtensionsMap):
        log.warning("aiortc %s: the video sender's header extensions are not where the host looks for them; the "
                    "pictures stay as they are", aiortc.__version__)
        return False
    ids._le_playout_limits = playout_limits(ms, ms)
    return True


def show_promptly(transceiver, wanted=True):
    """For a video transceiver whose offer is applied: True when the answer asks the browser to show each frame
    as soon as it is decoded (the offer lists the extension, and it is `wanted`); unwanted, it leaves the
    extension out of the answer."""
    extensions = getattr(transceiver, "_headerExtensions", None)
    if extensions is None:
        log.warning("aiortc %s: the transceiver's header extensions are not where the host looks for them; the "
                    "browser buffers the pictures", aiortc.__version__)
        return False
    if not wanted:
        transceiver._headerExtensions = [x for x in extensions if x.uri != PLAYOUT_DELAY]
        return False
    return any(x.uri == PLAYOUT_DELAY for x in extensions)


# The receiver holds the microphone's packets back until four later ones have come (80 ms of Opus), a cushion for
# a player, and even without it until the next one shows a packet's frame complete. The host plays nothing back: it
# listens, and the frames it makes are paced by its own clock. An Opus packet is a whole frame, so each packet is
# handed over as soon as it is the next in order; one that comes before an earlier one waits for it, and a gap is
# passed over as the library passes it over (when the buffer is full). The speech reaches the audio engine 80 ms
# sooner.
def listen_promptly(receiver):
    """Makes an audio receiver hand over each packet as it comes, in order; False if it cannot."""
    buffer = getattr(receiver, "_RTCRtpReceiver__jitter_buffer", None)
    if not isinstance(buffer, JitterBuffer) or not all(hasattr(buffer, a) for a in ("_origin", "_packets", "remove")):
        log.warning("aiortc %s: the audio receiver's jitter buffer is not where the host looks for it; the speech "
                    "reaches the engine 80 ms later", aiortc.__version__)
        return False

    def next_in_order(sequence_number):
        packet = buffer._packets[buffer._origin % buffer.capacity]
        if packet is None:
            return None
        buffer.remove(1)
        return JitterFrame(data=packet._data, timestamp=packet.timestamp)
    buffer._remove_frame = next_in_order
    return True


# When a connection fails, the library's data channel may still hold messages for it: the task that would send them
# then fails on the closed transport, and asyncio reports that as an unretrieved task exception with a traceback.
# The session ends through the connection's state either way, so the host logs one line for it instead.
def quiet_closed_channel(loop):
    """Makes `loop` log a data channel's send onto a closed connection as one line; anything else goes on to the
    handler it had."""
    previous = loop.get_exception_handler()
    flush = getattr(getattr(RTCSctpTransport, "_data_channel_flush", None), "__code__", None)

    def handler(loop, context):
        task, error = context.get("future"), context.get("exception")
        coro = task.get_coro() if hasattr(task, "get_coro") else None
        if isinstance(error, ConnectionError) and flush is not None and getattr(coro, "cr_code", None) is flush:
            log.info("a data channel's last messages were not sent: %s", error)
        elif previous is not None:
            previous(loop, context)
        else:
            loop.default_exception_handler(context)
    loop.set_exception_handler(handler)


# The H.264 encoder is made anew whenever the bandwidth estimate moves its target bitrate by a tenth: a key frame,
# and at 1080p up to 100 ms of page faults for the new encoder's first picture. As the estimate climbed over a
# session's first 40 s that happened 15 times here, each time stalling the pictures and the threads around them.
# A rise within half again of the bitrate the encoder was made with waits for a larger one (4 encoders instead of
# 15); a fall (the link may be congested) goes through as before.
RISE = 1.5


def _target_bitrate_in_steps(prop):
    def set_target(self, bitrate):
        codec = getattr(self, "codec", None)
        made = getattr(codec, "bit_rate", 0) if codec is not None else 0
        if made and made < bitrate <= RISE * made:
            return
        prop.fset(self, bitrate)
    return property(prop.fget, set_target)


def install():
    """Checks the library, then puts the workarounds in place (once)."""
    global _installed
    if _installed:
        return
    check()
    rtcrtpsender.random32 = _recording_random32(rtcrtpsender.random32)
    rtcrtpsender.RTCRtpSender._next_encoded_frame = _told_when_encoded(rtcrtpsender.RTCRtpSender._next_encoded_frame)
    vpx.lib = _LibWithoutDenoiser(vpx.lib)
    h264.create_encoder_context = _quick_x264
    h264.H264Encoder.target_bitrate = _target_bitrate_in_steps(h264.H264Encoder.target_bitrate)
    video = codecs.HEADER_EXTENSIONS["video"]
    if all(x.uri != PLAYOUT_DELAY for x in video):
        video.append(RTCRtpHeaderExtensionParameters(id=1 + max((x.id for x in video), default=0), uri=PLAYOUT_DELAY))
    rtp.HeaderExtensionsMap.configure = _noting_playout_delay(rtp.HeaderExtensionsMap.configure)
    rtp.HeaderExtensionsMap.set = _adding_playout_delay(rtp.HeaderExtensionsMap.set)
    _installed = True


def encode_ms(frames):
    """Median milliseconds each video codec of the library takes per frame over `frames` (yuv420p, one size; the
    first, a key frame, not counted), as {mime type: ms}."""
    costs = {}
    for cap in RTCRtpSender.getCapabilities("video").codecs:
        if cap.mimeType.lower() == "video/rtx" or cap.mimeType in costs:
            continue
        encoder = get_encoder(RTCRtpCodecParameters(mimeType=cap.mimeType, clockRate=cap.clockRate, payloadType=96,
                                                    parameters=dict(cap.parameters)))
        times = []
        for k, frame in enumerate(frames):
            frame.pts, frame.time_base = k * 3600, fractions.Fraction(1, 90000)
            t = time.perf_counter()
            encoder.encode(frame, force_keyframe=k == 0)
            times.append(1e3 * (time.perf_counter() - t))
        costs[cap.mimeType] = statistics.median(times[1:] or times)
    return costs


def prefer(transceiver, order):
    """Puts the video codecs an applied offer and the host have in common in `order` (mime types, cheapest first;
    the others after them, each followed by its retransmission codec): the answer lists them so, and the host
    encodes the first. The library settles an answer's codecs as the offer is applied, from the preferences of a
    transceiver that exists only from then on, so its own setCodecPreferences comes too late for an answer."""
    codecs = getattr(transceiver, "_codecs", None)
    if not codecs:
        log.warning("aiortc %s: the transceiver's codecs are not where the host looks for them; the answer keeps "
                    "the page's order", aiortc.__version__)
        return
    rank = {m.lower(): i for i, m in enumerate(order)}
    rtx = {c.parameters.get("apt"): c for c in codecs if c.mimeType.lower() == "video/rtx"}
    ordered = []
    for c in sorted((c for c in codecs if c.mimeType.lower() != "video/rtx"),
                    key=lambda c: rank.get(c.mimeType.lower(), len(rank))):
        ordered += [c] + ([rtx[c.payloadType]] if c.payloadType in rtx else [])
    transceiver._codecs = ordered


def negotiated(transceiver):
    """The video codec the answer settled on ("VP8", "H264"), or "unknown"."""
    codecs = getattr(transceiver, "_codecs", None)
    return codecs[0].mimeType.split("/")[1] if codecs else "unknown"
