"""Resident memory of the live host with 0, 1, 2 and 4 sessions, and after they close, in one process.

usage: host_memory.py BUNDLE [full|face]   (the output each browser asks for; full by default)
  env: LE_CORE_LIB (the library), W2V_ONNX (the shared audio encoder, when the bundle needs one)

Each session is what a browser gets (its context and utterance session on the host's loaded avatar); each one
speaks two seconds of a voiced tone and its frames are pulled at once, so every per-stream buffer has been
touched when the figure is read, and the figure is taken after the heap has settled as the host settles it
once an utterance has played out. Prints one line per step and one "bench host_memory" line: the idle size,
the growth per session from one to four against a budget of 60 MiB, with the idle size and the size after
closing relative to it.
"""
import asyncio
import os
import sys
import threading
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from le_core import serve  # noqa: E402


def rss_mib(field="VmRSS"):
    """The resident set, or with field "RssAnon" its private part (without the mapped bundle files, which the
    page cache holds once for every process)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024.0
    return 0.0


def speak(live, seconds=2.0):
    """Pushes the tone, then pulls frames as they come until the speech and its tail have played."""
    t = np.arange(int(16000 * seconds)) / 16000.0
    voiced = 0.3 * np.sin(2 * np.pi * 140 * t) * (1 + np.sin(2 * np.pi * 3 * t)) / 2
    live.utt.push((voiced * 32767).astype(np.int16))
    live.utt.end()
    h, w = live.utt.height, live.utt.width  # even: the host's box
    planes = (np.empty((h, w), np.uint8), np.empty((h // 2, w // 2), np.uint8), np.empty((h // 2, w // 2), np.uint8))
    pulled = spoken = 0
    deadline = time.monotonic() + 120
    while (spoken < int(seconds * 25) or pulled < int(seconds * 25) + 25) and time.monotonic() < deadline:
        info = live.utt.pull_i420(*planes)  # as the host takes them
        if info is None:
            time.sleep(0.005)
            continue
        pulled += 1
        spoken += info["kind"] == "speech"
    if spoken < int(seconds * 25):
        raise SystemExit("host_memory: session %s spoke %d frames of %d" % (live.id, spoken, int(seconds * 25)))


def main():
    bundle = sys.argv[1]
    output = sys.argv[2] if len(sys.argv) > 2 else "full"
    serve.one_heap()  # as the host does at start
    host = serve.Host(bundle, bundle, 4, output, 0, {})
    host.preload()
    serve.malloc_trim and serve.malloc_trim(0)
    idle = rss_mib()
    print("host_memory: idle %.0f MiB" % idle)
    figures, anon = {0: idle}, {0: rss_mib("RssAnon")}
    sessions = []
    for count in (1, 2, 4):
        while len(sessions) < count:
            live = serve.Live(host, "s%d" % len(sessions), output)
            live.open_engine()
            sessions.append(live)
        # All at once, as browsers do: concurrent runs hold their own activations.
        threads = [threading.Thread(target=speak, args=(live,)) for live in sessions]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        unsettled = rss_mib()
        host.heap.trim and host.heap.trim(0)  # as the host does a second after an utterance has played out
        figures[count] = rss_mib()
        anon[count] = rss_mib("RssAnon")
        print("host_memory: %d session(s) %.0f MiB (%+.0f per session over idle; %.0f MiB before the heap settled)"
              % (count, figures[count], (figures[count] - idle) / count, unsettled))
    for live in sessions:
        live.close_engine()
        asyncio.run(live.pc.close())
    serve.malloc_trim and serve.malloc_trim(0)
    closed = rss_mib()
    print("host_memory: all closed %.0f MiB (%.0f %% of idle); private %.0f MiB against %.0f idle"
          % (closed, 100 * closed / idle, rss_mib("RssAnon"), anon[0]))
    per = (figures[4] - figures[1]) / 3
    print("host_memory: private (anonymous) growth per session from one to four %.0f MiB"
          % ((anon[4] - anon[1]) / 3))
    print("bench host_memory%s ours=%.0f peer=60 unit=MiB ratio=%.2f (resident growth per session from one to four, "
          "%s output, against a budget of 60 MiB; idle %.0f MiB, all closed %.2f of idle)"
          % ("" if output == "full" else "_" + output, per, 60 / per, output, idle, closed / idle))


if __name__ == "__main__":
    main()
