"""The live host's resident set as its `GET /status` reports it, with 0, 1, 2 and 4 browsers in session and after
they close, in headless Chromium.

usage: live_memory.py BUNDLE [full|face]   (the host's output; full by default)
  env: LE_CORE_LIB (the library), W2V_ONNX (the shared audio encoder)

Unlike bench/host_memory.py, which measures the engine's sessions alone, each session here is a browser's: its
encoder, its connection and the frames on their way to it are in the figure. Each browser's fake microphone loops a
spoken sentence, and the figure is read once every session has spoken. Prints one line per step and one summary.
"""
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from test_live import Browser, Host, mic_files  # noqa: E402


def main():
    bundle = sys.argv[1]
    output = sys.argv[2] if len(sys.argv) > 2 else "full"
    with tempfile.TemporaryDirectory() as tmp, open(os.path.join(tmp, "host.log"), "w") as log:
        speech_wav, _, _ = mic_files(tmp)
        host = Host(bundle, 4, log, ("--output", output))
        browsers = []
        try:
            time.sleep(3)  # the host's start-up work past
            mib = {0: host.status()["rss_kb"] / 1024.0}
            print("live_memory: %s, no session: %.0f MiB" % (output, mib[0]), flush=True)
            for count in (1, 2, 4):
                while len(browsers) < count:
                    b = Browser(speech_wav, tmp, "m%d" % len(browsers))
                    browsers.append(b)
                    b.open(host.url, output, probe=False)
                time.sleep(15)  # the sentence loops every few seconds: every session has spoken
                mib[count] = host.status()["rss_kb"] / 1024.0
                print("live_memory: %s, %d session(s): %.0f MiB" % (output, count, mib[count]), flush=True)
            for b in browsers:
                b.quit()
            browsers = []
            host.wait_sessions(0, 60)
            time.sleep(5)  # the host settles its heap a second after a session ends
            closed = host.status()["rss_kb"] / 1024.0
            print("live_memory: %s output: %.0f MiB per session from one to four (the first: %.0f), all closed %.0f "
                  "MiB (%.0f %% of no session)" % (output, (mib[4] - mib[1]) / 3, mib[1] - mib[0], closed,
                                                   100 * closed / mib[0]))
        finally:
            for b in browsers:
                b.quit()
            host.stop()


if __name__ == "__main__":
    main()
