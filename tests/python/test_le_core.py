"""The Python binding over the library, on the tiny reference avatar.

usage: LE_CORE_LIB=... LE_FIXTURES=... /usr/bin/python3 tests/python/test_le_core.py
"""
import os
import sys
import time
import unittest

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
import le_core  # noqa: E402

FIX = os.environ.get("LE_FIXTURES", os.path.join(os.path.dirname(__file__), "..", "..", "build", "fixtures"))
TINY = os.path.join(FIX, "tiny")
W2V = os.path.join(FIX, "w2v", "w2v_8s.onnx")  # given as a setting: the environment stays as it is


def speech(seconds):
    t = np.arange(int(seconds * 16000)) / 16000.0
    b = np.mod(t, 0.9)
    env = np.where((b > 0.1) & (b < 0.7), np.sin(np.pi * (b - 0.1) / 0.6), 0.0)
    return (9000 * env * np.sin(2 * np.pi * 150 * t)).astype(np.int16)


class Binding(unittest.TestCase):
    def test_context_renders_and_pastes_as_the_engine(self):
        with le_core.Context(TINY, threads=1) as ctx:
            self.assertEqual((ctx.width, ctx.height, ctx.nt, ctx.crop), (96, 64, 12, 32))
            xs = np.fromfile(os.path.join(TINY, "xs_target.bin"), np.float32).reshape(12, 63)
            crop = ctx.render(3, xs[3], xs[3])
            frame = ctx.paste(3, crop)
            self.assertEqual((crop.shape, frame.shape, frame.dtype), ((3, 32, 32), (64, 96, 3), np.uint8))
            self.assertGreater(int(np.abs(frame.astype(int) - ctx.target_frame(3)).sum()), 0)
            with self.assertRaises(le_core.Error) as e:
                ctx.render(99, xs[0], xs[0])
            self.assertEqual(str(e.exception), "le_render_kp_crop: bad args")
            with self.assertRaises(ValueError):
                ctx.render(0, xs[0][:10], xs[0])
            M = np.fromfile(os.path.join(TINY, "M.f32"), np.float32).reshape(12, 2, 3)
            self.assertTrue(np.array_equal(ctx.crop_transform(5), M[5]))
            for warp in (True, False):  # the setting reaches the engine over the environment's default
                with le_core.Context(TINY, threads=1, warp_node=warp) as w:
                    self.assertEqual("WarpDirector" in w.info()["rewrites"], warp, w.info()["rewrites"])
                    self.assertLess(float(np.abs(w.render(3, xs[3], xs[3]) - crop).max()), 1e-4)
        with self.assertRaises(le_core.Error) as e:
            le_core.Context("/nonexistent")
        self.assertTrue(str(e.exception).startswith("le_create: "), str(e.exception))
        self.assertEqual(le_core.resolve_handle(TINY), TINY)
        self.assertTrue(le_core.resolve_member(TINY, "xs_target.bin").endswith("/xs_target.bin"))

    def test_utterance_speaks_then_idles(self):
        with le_core.Context(TINY, threads=1) as ctx, le_core.Utterance(ctx, TINY, w2v_onnx=W2V) as utt:
            deadline = time.time() + 60
            while not utt.ready():
                self.assertLess(time.time(), deadline)
                time.sleep(0.005)
            utt.push(speech(1.2))
            utt.end()
            kinds = []
            # Every other frame as I420 into planes whose rows lie further apart than they are wide.
            y, u, v = (np.full((64, 100), 7, np.uint8)[:, :96], np.full((32, 50), 7, np.uint8)[:, :48],
                       np.full((32, 50), 7, np.uint8)[:, :48])
            while time.time() < deadline and (kinds.count("speech") == 0 or kinds[-1] != "idle"):
                if len(kinds) % 2:
                    info = utt.pull_i420(y, u, v)
                    frame = info and y
                else:
                    frame, info = utt.pull()
                if frame is None:
                    time.sleep(0.001)
                    continue
                self.assertEqual(frame.shape, (64, 96, 3) if len(kinds) % 2 == 0 else (64, 96))
                kinds.append(info["kind"])
            self.assertTrue(16 <= y.min() and y.max() <= 235 and 16 <= u.min() and v.max() <= 240)
            self.assertEqual(y.base[:, 96:].max(), 7, "the rows' padding is left alone")
            with self.assertRaises(ValueError):
                utt.pull_i420(y[:, :95], u, v)
            self.assertEqual(kinds.count("speech"), 30)
            self.assertEqual(kinds.count("ramp"), 6)
            self.assertEqual(utt.stats()["onsets"], 1)
            self.assertEqual(utt.render_status(), (True, 0, ""))
            # A host whose sound is at speech frame 20 sees none before it.
            utt.push(speech(1.2))
            utt.end()
            ordinals, kind = [], None
            while time.time() < deadline and (not ordinals or kind != "idle"):
                frame, info = utt.pull()
                kind = info and info["kind"]
                if kind == "speech":
                    ordinals.append(info["ordinal"])
                    utt.skip_to(20)
            # (a frame made before the skip may go out late, when no later one waits: the 4 the ring held and
            # the 2 being pasted as the skip came)
            self.assertEqual(ordinals[0], 0)
            self.assertEqual(ordinals, sorted(set(ordinals)))
            self.assertLessEqual(len([o for o in ordinals if 0 < o < 20]), 6)
            with self.assertRaises(le_core.Error):
                utt.skip_to(-1)
            # While the session lives the context refuses its own renders.
            with self.assertRaises(le_core.Error):
                ctx.target_frame(0)
        with self.assertRaises(le_core.Error) as e:
            with le_core.Context(TINY, threads=1) as ctx:
                le_core.Utterance(ctx, "")
        self.assertEqual(str(e.exception), "le_utt_create: opts.motion_dir required")
        with le_core.Context(TINY, threads=1) as ctx, le_core.Utterance(ctx, TINY, window=(13, 7, 41, 37)) as utt:
            frame, deadline = None, time.time() + 30
            while frame is None and time.time() < deadline:
                frame, _ = utt.pull()
            self.assertEqual(frame.shape, (37, 41, 3), "a window's frames are the window's size")

    def test_mouth_pass_arms_from_the_bundles_bank(self):
        bank = os.path.join(FIX, "tiny-bank")
        for bundle, armed in ((TINY, False), (bank, True)):
            with le_core.Context(bundle, threads=1) as ctx, le_core.Utterance(ctx, bundle, w2v_onnx=W2V) as utt:
                ok, what = utt.arm_mouth(bundle)
                self.assertEqual(ok, armed, what)
                self.assertTrue(what.startswith("v1: ") if armed else what == "the bundle carries no mouth bank", what)
                if not armed:
                    self.assertEqual(utt.mouth_stats()[0], 0)
                    continue
                while not utt.ready():
                    time.sleep(0.005)
                utt.push(speech(0.6))
                utt.end()
                deadline, kinds = time.time() + 60, []
                while time.time() < deadline and (kinds.count("speech") == 0 or kinds[-1] != "idle"):
                    frame, info = utt.pull()
                    if frame is None:
                        time.sleep(0.001)
                    else:
                        kinds.append(info["kind"])
                state, borrowed, passed, _ = utt.mouth_stats()
                self.assertEqual((state, borrowed + passed), (1, kinds.count("speech") + kinds.count("ramp")))

    def test_log_and_information(self):
        self.assertRegex(le_core.version(), r"^\d+\.\d+")
        lines = []
        le_core.set_log(lambda level, text: lines.append((level, text)), 3)
        try:
            with le_core.Context(TINY, threads=1) as ctx:
                info = ctx.info()
                ctx.render(0, np.zeros(63, np.float32), np.zeros(63, np.float32))
                self.assertGreaterEqual(le_core.release_memory(), 0)  # what is kept is the C test's to check
        finally:
            le_core.set_log(None)
        self.assertTrue(any(t.startswith("[le-driver] ") for _, t in lines), lines)
        self.assertEqual((info["family"], info["graph"], info["batch"]), ("warp-prior", "model_b1.onnx", 1))
        with le_core.A2x(TINY, threads=1, w2v_onnx=W2V, right_context=3) as a:
            self.assertEqual(a.info()["right_context"], 3)

    def test_a2x_frames_follow_the_audio(self):
        with le_core.A2x(TINY, threads=1, w2v_onnx=W2V) as a:
            self.assertEqual(a.nt, 12)
            a.push(speech(2.0).astype(np.float32) / 32768.0)
            a.finish()
            self.assertEqual(a.total(), 50)
            got = []
            while a.avail() > 0:
                idx, xs, out = a.pull(16)
                got.append(out - xs)
            deltas = np.concatenate(got)
            self.assertEqual(deltas.shape, (50, 63))
            self.assertGreater(float(deltas[:, 37].max()), 0.01)  # the lower lip opens
            with self.assertRaises(le_core.Error) as e:
                a.push(np.zeros(10, np.float32))
            self.assertEqual(str(e.exception), "le_a2x_push: audio after le_a2x_finish (reset first)")
            a.reset()
            with self.assertRaises(le_core.Error) as e:
                a.push(np.array([0.0, np.nan], np.float32))
            self.assertEqual(str(e.exception), "le_a2x_push: non-finite sample at index 1")


if __name__ == "__main__":
    unittest.main()
