"""The WebRTC tracks: the session's frames and the speech behind them."""
import asyncio
import time

import av
import numpy as np
from aiortc import MediaStreamTrack
from aiortc.mediastreams import MediaStreamError

from .media import AUDIO_TB, FPS, SPF, VIDEO_TB


class AvatarAudio(MediaStreamTrack):
    """The returned sound, 20 ms at a time on the pictures' clock: the half-tick h goes out at the video's first
    tick plus h x 20 ms plus the time frames take from their tick to leaving the encoder (smoothed), so that it
    leaves when the picture of its tick does on average. A receiver lines sound up with pictures by when each was
    sent and plays the sound at the pace it arrives: sound sent in bursts (as it was when it went out with each
    frame, and the frames came late or skipped) grows the browser's audio buffer, and with it the picture's.

    A browser that shows each picture as soon as it is decoded (Live.prompt_video) no longer delays it to line it
    up with the sound, which still waits in its own buffer (40-110 ms here): the sound then goes a tick sooner,
    and plays 15-90 ms after its picture with one session (70-110 ms when sent on time, measured here). A tick is
    as far as it may go: a tick's sound is settled by the frames sent before that tick (an utterance's sound
    starts at least a tick after its first frame, Voice.sent), and the last of them is sent a tick before it."""
    kind = "audio"

    def __init__(self, live):
        super().__init__()
        self.live = live
        self.half = 0  # 20 ms halves of ticks sent

    def next_tick(self):
        """The first tick whose sound has not all gone out."""
        return (self.half + 1) // 2

    async def recv(self):
        video = self.live.video_out
        while self.readyState == "live" and video.t0 is None:
            await asyncio.sleep(0.01)
        if self.readyState != "live":
            raise MediaStreamError
        sooner = 1.0 / FPS if self.live.prompt_video else 0.0
        wait = video.t0 + self.half / (2 * FPS) + (video.lag or 0.0) - sooner - time.monotonic()
        if wait > 0:
            await asyncio.sleep(wait)
        if self.readyState != "live":
            raise MediaStreamError
        tick, part = divmod(self.half, 2)
        pcm = self.live.voice.sound(tick)[part * SPF // 2:(part + 1) * SPF // 2]
        # (The library's from_ndarray looks for numpy as a module of its own package first, a failed import
        # on every call: ten times the cost of filling the frame's plane.)
        frame = av.AudioFrame(format="s16", layout="mono", samples=pcm.size)
        frame.planes[0].update(np.ascontiguousarray(pcm, np.int16))
        frame.sample_rate = 16000
        frame.pts, frame.time_base = self.half * (SPF // 2), AUDIO_TB
        self.half += 1
        return frame


LATE = 3  # ticks behind the clock from which the ticks passed are skipped


class AvatarVideo(MediaStreamTrack):
    """The session's frames at 25 fps on the host's clock."""
    kind = "video"

    def __init__(self, live):
        super().__init__()
        self.live = live
        self.n = 0
        self.t0 = None
        self.taken = {}  # frame -> its tick's time, until it leaves the encoder
        self.lag = None  # seconds from a frame's tick to its leaving the encoder, smoothed (also when ticks run late)

    async def recv(self):
        if self.readyState != "live":
            raise MediaStreamError
        now = time.monotonic()
        first = self.n  # the first tick this frame stands for
        if self.t0 is None:
            self.t0 = now
        else:
            wait = self.t0 + self.n / FPS - now
            if wait > 0:
                await asyncio.sleep(wait)
            elif wait <= -LATE / FPS:
                # Ticks behind the clock (a host with more sessions than cores): the ticks passed go without a
                # picture (the sound goes on, on its own), and the frame is that of the tick due now.
                self.n = int((now - self.t0) * FPS)
        # Pulling and converting a large frame takes milliseconds: off the event loop, which serves every
        # session's network and audio.
        due = self.live.voice.due(self.n)
        frame, info = await asyncio.get_running_loop().run_in_executor(None, self.live.next_frame, self.n, due)
        self.taken[self.n] = self.t0 + self.n / FPS
        self.live.frame_sent(first, self.n, info)
        frame.pts, frame.time_base = self.n * 3600, VIDEO_TB
        self.n += 1
        return frame

    def encoded(self, timestamp):
        """Frame timestamp/3600 is through the encoder."""
        taken = self.taken.pop(timestamp // 3600, None)
        if taken is not None:
            took = time.monotonic() - taken
            self.lag = took if self.lag is None else self.lag + 0.05 * (took - self.lag)
        if len(self.taken) > 4 * FPS:  # frames the sender dropped never leave the encoder
            for k in sorted(self.taken)[:-FPS]:
                del self.taken[k]
