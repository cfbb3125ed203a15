"""Who speaks into the microphone, and the speech behind the frames sent."""
import collections

import numpy as np

from .media import SPF


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
    """The speech behind the speech frames: the audio pushed per utterance, played on the host's clock from the tick
    after the one at which the utterance's first speech frame is sent (or, when the sound's clock is already past
    it, from the sound's next tick). The sound never waits for a frame: a tick without one, or a host that falls
    behind, skips pictures (the session passes over the frames the sound has left), never sound. Each picture goes
    a tick ahead of its sound, so that a frame that comes a tick late (the speech's frames come as the
    microphone's audio does, just in time) still goes out with its sound.

    Speech that streams in as it is spoken leads by `streamed_lead` ticks instead: the audio engine hands an
    utterance's frames out in batches, and when its first batch runs out before the second comes (see
    `batch_shortfall`), the pictures wait those ticks. Their sound, started that much later, is then a tick
    behind them again, as after the first frame; started a tick after the first frame, it would stay ahead of
    them, and the host would pass over a picture at every batch to keep up."""

    def __init__(self, streamed_lead=1):
        self.streamed_lead = max(1, int(streamed_lead))
        self.utterances = collections.deque()  # [int16 bytes, lead] per utterance, in push order; the open one grows
        self.open = None
        self.playing = None
        self.start = 0  # the tick the playing utterance's sound starts at

    def begin(self, streamed=False):
        """A new utterance; streamed: its speech comes as it is spoken (the microphone), not all at once."""
        self.open = bytearray()
        self.utterances.append([self.open, self.streamed_lead if streamed else 1])

    def add(self, pcm):
        if self.open is None:
            self.begin()
        self.open += np.asarray(pcm, "<i2").tobytes()

    def end(self):
        self.open = None

    def drop(self):
        self.utterances.clear()
        self.open = self.playing = None

    def due(self, tick):
        """The speech frame whose sound plays at `tick` (-1 on the tick of the first), or None when no speech
        plays."""
        return None if self.playing is None else tick - self.start

    def sent(self, kind, ordinal, tick, heard=0):
        """A frame of this kind (speech frame `ordinal` of its utterance) goes out at `tick`: an utterance's first
        speech frame starts its sound at the next tick (or its lead later), or at `heard` (the first tick whose
        sound has not gone out) when that is later; an idle or ramp frame ends it; a frame sent again changes
        nothing."""
        if kind == "speech" and ordinal == 0:
            self.playing, lead = self.utterances.popleft() if self.utterances else (None, 1)
            self.start = max(tick + lead, heard)
        elif kind in ("idle", "ramp"):
            self.playing = None

    def sound(self, tick):
        """SPF int16 samples to play at `tick`."""
        silence = np.zeros(SPF, np.int16)
        o = self.due(tick)
        if o is None or o < 0:
            return silence
        a = np.frombuffer(bytes(self.playing[2 * SPF * o:2 * SPF * (o + 1)]), "<i2")
        return a if a.size == SPF else np.concatenate([a, silence[a.size:]])
