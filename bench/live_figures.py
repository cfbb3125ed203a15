"""Frame rates of the live host with one and with two speaking sessions, at both output sizes, in headless Chromium.

usage: live_figures.py BUNDLE [-- HOST OPTIONS]
  env: LE_CORE_LIB (the library), W2V_ONNX (the shared audio encoder)

Each browser's fake microphone loops a spoken sentence; the window with one session is 40 s (the onsets of 6-7
utterances: over 3 the median moved by 50 ms from run to run), with two 20 s. The browser test's own helpers
drive the host and the browsers; the pages are opened as a user opens them, without the test's probe (which reads
every frame shown back from the video: in a headless browser without a GPU that costs as much as showing it, and
"shown" fell to 7-12 fps at 1080p with it while 24 arrived). "new" counts the frames arrived less those the host
sent again because the session had none ready (held); "skipped", the speech frames the host passed over because
its sound (which never waits for a picture) had gone past them.
"""
import os
import re
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
import numpy as np  # noqa: E402
from test_live import PYTHON_DIR, Browser, Host, fps_over, mic_files  # noqa: E402

sys.path.insert(0, PYTHON_DIR)
from le_core import A2x  # noqa: E402


def look_ahead_ms(bundle):
    """The audio the engine must hear before its first frame of speech is ready (its look-ahead on its frame
    clock, which counts audio in blocks of 8 frames), in 20 ms steps as the host pushes it."""
    a = A2x(bundle)
    for k in range(1, 500):
        a.push(np.zeros(320, np.float32))
        if a.avail() > 0:
            return 20.0 * k
    raise RuntimeError("the engine made no frame from 10 s of audio")


def figures(bundle, tmp, log, host_options):
    speech_wav, _, _ = mic_files(tmp)
    host = Host(bundle, 2, log, host_options)

    def holds():
        """The holds of the pictures so far, in ms, each session's page having said its sound lagged or no longer
        did, in the order the host changed them."""
        log.flush()
        with open(log.name) as f:  # (the host writes through the handle's own offset)
            return [int(h) for h in re.findall(r"its sound came .* holds each picture (\d+) ms", f.read())]
    try:
        for output in ("full", "face"):
            before = len(holds())
            a = Browser(speech_wav, tmp, "fa")
            a.open(host.url, output, probe=False)
            one = fps_over([a], 40)[0]
            sync_one = a.js("return window.leLive.avSync;")[-500:]
            one_held = holds()[before:]
            onsets = [o["ms"] for o in a.live()["onsets"] if o["source"] == "mic"][1:]
            if onsets:
                lag = look_ahead_ms(bundle)
                engine = a.js("return window.leLive.engineOnsets;")[1:]
                print("%s: microphone to first speech frame at the browser, median %.0f ms over %d utterances: the "
                      "model's look-ahead %.0f ms (engine: its lag of %d frames on its block clock) + the rest %.0f ms; "
                      "the engine's first push to first frame in its ring, median %.0f ms"
                      % (output, np.median(onsets), len(onsets), lag, A2x(bundle).info()["lag"],
                         np.median(onsets) - lag, np.median(engine) if engine else float("nan")))
            b = Browser(speech_wav, tmp, "fb")
            b.open(host.url, output, probe=False)
            time.sleep(5)  # the second session's start (its first renders, the encoder's first key frames) past
            two = fps_over([a, b], 20)
            sync = a.js("return window.leLive.avSync;")[-500:]
            print("%s %s: 1 session %.2f fps arrived (%.2f shown, %.2f new, %.2f speech frames skipped), sound after "
                  "picture median %.0f ms; 2 sessions %.2f and %.2f arrived (%.2f, %.2f shown; %.2f, %.2f new; %.2f, "
                  "%.2f skipped); A: %d dropped, sound after picture median %.0f ms"
                  % (output, a.live()["size"], one[0], one[1], one[0] - one[2], one[3],
                     np.median(sync_one) if sync_one else float("nan"), two[0][0], two[1][0], two[0][1], two[1][1],
                     two[0][0] - two[0][2], two[1][0] - two[1][2], two[0][3], two[1][3], a.live()["dropped"],
                     np.median(sync) if sync else float("nan")))
            two_held = holds()[before + len(one_held):]
            a.quit()
            b.quit()
            host.wait_sessions(0)
            print("%s: pictures held back, their page saying the sound lagged (ms, as the host changed it): %s with "
                  "one session; %s with two" % (output, one_held or "never", two_held or "never"))
    finally:
        host.stop()


def main():
    argv = sys.argv[1:]
    options = argv[argv.index("--") + 1:] if "--" in argv else []
    with tempfile.TemporaryDirectory() as tmp, open(os.path.join(tmp, "host.log"), "w+") as log:
        try:
            figures(argv[0], tmp, log, options)
        except BaseException:
            log.seek(0)
            sys.stderr.write("--- host log ---\n" + log.read()[-6000:])
            raise


if __name__ == "__main__":
    main()
