"""The WebRTC tracks: the session's frames and the speech behind them."""
import asyncio
import collections
import time

import av
from aiortc import MediaStreamTrack
from aiortc.mediastreams import MediaStreamError

from .media import AUDIO_TB, FPS, SPF, VIDEO_TB


class AvatarAudio(MediaStreamTrack):
    """The returned audio: two 20 ms frames per video frame, each handed over at its time."""
    kind = "audio"

    def __init__(self):
        super().__init__()
        self.queue = asyncio.Queue()
        self.waiting = collections.deque()  # (frame, its sound) of frames whose sound has not all gone out
        self.halves_out = 0  # of the first waiting frame's sound, the 20 ms halves gone out
        self.pts = 0

    def ready(self, n, halves=2):
        """The sound of every frame before n goes out, and of frame n its first `halves` halves."""
        while self.waiting and self.waiting[0][0] <= n:
            frame, pcm = self.waiting[0]
            upto = halves if frame == n else 2
            for h in range(self.halves_out, upto):
                self.queue.put_nowait(pcm[h * SPF // 2:(h + 1) * SPF // 2])
            self.halves_out = max(self.halves_out, upto)
            if self.halves_out < 2:
                return
            self.waiting.popleft()
            self.halves_out = 0

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


LATE = 3  # ticks behind the clock from which the ticks passed are skipped


class AvatarVideo(MediaStreamTrack):
    """The session's frames at 25 fps on the host's clock."""
    kind = "video"

    def __init__(self, live):
        super().__init__()
        self.live = live
        self.n = 0
        self.t0 = None
        self.taken = {}  # frame -> when it was taken, until it leaves the encoder
        self.lag = None  # seconds from taking a frame to its leaving the encoder, smoothed

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
                # picture, their sound goes at once, and the frame is that of the tick due now.
                self.n = int((now - self.t0) * FPS)
        # Pulling and converting a large frame takes milliseconds: off the event loop, which serves every
        # session's network and audio.
        due = self.live.voice.due(self.n)
        frame, info = await asyncio.get_running_loop().run_in_executor(None, self.live.next_frame, self.n, due)
        self.live.frame_sent(first, self.n, info)
        self.sound_of(self.n)
        frame.pts, frame.time_base = self.n * 3600, VIDEO_TB
        self.n += 1
        return frame

    # A receiver lines sound up with pictures by the wall-clock time at which each was sent, and plays the sound at
    # the pace it arrives: sound sent as each frame left the encoder came in bursts whenever encoding was slow or
    # late, and the browser's audio buffer (and with it, to keep them in step, the picture's) grew with every burst,
    # by 200 ms over a minute on a busy machine. The sound of a frame goes out when the frame was taken plus the
    # time frames take from there to leave the encoder, smoothed, and its second 20 ms half 20 ms later: in step
    # with the pictures on average (also when the host falls behind its ticks), at the pace of the sound.
    def sound_of(self, n):
        """Frame n was taken, so its sound is known: each half goes out at its time."""
        now = self.taken[n] = time.monotonic()
        at = now + (self.lag or 0.0)
        for halves, when in ((1, at), (2, at + 0.5 / FPS)):
            delay = when - time.monotonic()
            if delay <= 0:
                self.live.audio_out.ready(n, halves)
            else:
                asyncio.get_running_loop().call_later(delay, self.live.audio_out.ready, n, halves)

    def encoded(self, timestamp):
        """Frame timestamp/3600 is through the encoder."""
        taken = self.taken.pop(timestamp // 3600, None)
        if taken is not None:
            took = time.monotonic() - taken
            self.lag = took if self.lag is None else self.lag + 0.05 * (took - self.lag)
        if len(self.taken) > 4 * FPS:  # frames the sender dropped never leave the encoder
            for k in sorted(self.taken)[:-FPS]:
                del self.taken[k]
