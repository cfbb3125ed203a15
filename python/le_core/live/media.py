"""Audio helpers and the frame clock of the live host."""
import asyncio
import ctypes
import fractions
import os
import threading

import av
import numpy as np

FPS = 25
SPF = 16000 // FPS  # speech samples per frame
VIDEO_TB = fractions.Fraction(1, 90000)
AUDIO_TB = fractions.Fraction(1, 16000)


try:
    _libc = ctypes.CDLL("libc.so.6")
    malloc_trim = _libc.malloc_trim
except (OSError, AttributeError):
    _libc = malloc_trim = None


MMAP_THRESHOLD = 128 * 1024


def one_heap():
    """Every thread allocates from one heap. Sessions start and stop threads all the time (the engine's, the
    codecs'); with a heap per thread, the memory a closed session gave back stays scattered over heaps that
    other threads keep, and the host's resident set creeps up session after session.

    And every block from MMAP_THRESHOLD up is mapped on its own, as the allocator does until the first such
    block is freed: from then on it raises the threshold to the largest size freed (up to 32 MiB), and a
    session's large blocks (the encoder's frames, and its output buffers, of which it writes a few kilobytes
    a frame) land in heap memory that other blocks had already touched, where they are resident whole, and
    leave holes behind when they go. The first 1080p session cost some 45 MiB more so, each further one 20-30.
    MALLOC_ARENA_MAX and MALLOC_MMAP_THRESHOLD_, when set, have the last word."""
    if _libc is None:
        return
    if not os.environ.get("MALLOC_ARENA_MAX"):
        _libc.mallopt(-8, 1)  # M_ARENA_MAX
    if not os.environ.get("MALLOC_MMAP_THRESHOLD_"):
        _libc.mallopt(-3, MMAP_THRESHOLD)  # M_MMAP_THRESHOLD, which also stops its raising


def counted_frame(width, height):
    """A yuv420p video frame whose planes lie in a reference-counted buffer (the raw video decoder's output), to
    be written in place. The encoder takes a reference to such a frame; a frame whose planes the library
    allocated itself (VideoFrame(...), from_ndarray, reformat) it first copies into a new buffer, every time: at
    1080p that is 3 MB mapped and faulted in for each frame, 767 page faults and 1.5-2.3 ms of CPU time of the
    10 ms the frame's encoding took, measured here."""
    raw = av.CodecContext.create("rawvideo", "r")
    raw.width, raw.height, raw.pix_fmt = width, height, "yuv420p"
    (frame,) = raw.decode(av.Packet(width * height + 2 * ((width + 1) // 2) * ((height + 1) // 2)))
    return frame


def planes_of(frame):
    """A video frame's planes as writable 2-D uint8 arrays over its own memory."""
    return [np.frombuffer(p, np.uint8).reshape(p.height, p.line_size)[:, :p.width] for p in frame.planes]


def counted_copy(frame):
    """A yuv420p frame's picture in a counted_frame."""
    out = counted_frame(frame.width, frame.height)
    for src, dst in zip(planes_of(frame), planes_of(out)):
        dst[...] = src
    return out


class HeapSettler:
    """Gives the C heap's free memory back to the system a moment after an utterance ends. While a session
    speaks, each frame's working buffers (the face crop, the mouth pass's planes) come and go; with several
    sessions speaking at once the heap grows to hold all of theirs, and the allocator keeps what they free (13
    MiB more per 1080p session, measured from one to four). Trimming costs a few milliseconds with the heap's
    lock held, so it runs on a worker thread, at most once per `delay` seconds however many utterances end,
    and never skips the last end: an end during the wait is covered by the trim the wait leads to."""

    def __init__(self, trim=None, delay=1.0):
        self.trim = trim if trim is not None else malloc_trim
        self.delay = delay
        self.waiting = None

    def soon(self, loop):
        """From the event loop: a trim within `delay` seconds, unless one is already due."""
        if self.trim is None or self.waiting is not None:
            return
        self.waiting = loop.call_later(self.delay, self._due, loop)

    def _due(self, loop):
        self.waiting = None
        loop.run_in_executor(None, self.trim, 0)

    def cancel(self):
        if self.waiting is not None:
            self.waiting.cancel()
            self.waiting = None


class LoopFirst:
    """Keeps every thread of the process but the event loop's `lower` nice steps below it, so that the loop gets
    a core as soon as it wakes. The loop sends every session's sound, 20 ms at a time, and answers the network;
    the threads that render, paste, decode and encode take what is left. Where the process may (CAP_SYS_NICE, or
    a nice limit that allows it), the loop goes `lower` steps up and the others stay where they were; elsewhere
    the others go `lower` steps down, which needs no privilege. Threads come and go with sessions (a new one
    starts at its creator's level), so the loop looks again every `every_s` seconds. On 2 cores with two face
    sessions (their browsers on the same machine), the loop's lateness past its wakeups fell from 60-90 to 5-35
    ms at the 95th percentile, and a browser's sound buffer, which grows with the largest gaps between the
    sound's packets, from about 1 s to 100-120 ms."""

    def __init__(self, lower=5, every_s=1.0):
        self.lower, self.every_s = lower, every_s
        self.task = None

    def sweep(self):
        """From the loop's thread: the other threads down to `lower` steps below it; returns how many moved."""
        me = threading.get_native_id()
        want = min(19, os.getpriority(os.PRIO_PROCESS, me) + self.lower)
        moved = 0
        for name in os.listdir("/proc/self/task"):
            tid = int(name)
            if tid == me:
                continue
            try:
                if os.getpriority(os.PRIO_PROCESS, tid) < want:
                    os.setpriority(os.PRIO_PROCESS, tid, want)
                    moved += 1
            except OSError:  # the thread ended meanwhile
                pass
        return moved

    def start(self):
        """From the event loop; does nothing when `lower` is 0."""
        if self.lower <= 0 or self.task is not None:
            return
        me = threading.get_native_id()
        try:
            os.setpriority(os.PRIO_PROCESS, me, max(-20, os.getpriority(os.PRIO_PROCESS, me) - self.lower))
        except PermissionError:
            pass

        async def keep():
            while True:
                self.sweep()
                await asyncio.sleep(self.every_s)
        self.task = asyncio.ensure_future(keep())

    def stop(self):
        if self.task is not None:
            self.task.cancel()
            self.task = None


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
