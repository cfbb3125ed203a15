#!/usr/bin/env bash
# Benchmarks against peers measured in the same process run.
# usage: scripts/bench.sh [NAME...]     (no name: all)
# Each comparison ends with one line:
#   bench NAME ours=<median> peer=<median> unit=<unit> ratio=<peer/ours>
# (ratio above 1: we are faster). Set BENCH_REPS to change the repetitions.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
bash scripts/setup.sh >&2
# OpenCV is the paste's peer: Debian's libopencv-dev, installed here on demand
# (the engine itself never needs it).
want_opencv=0
for n in "$@"; do case "$n" in paste_1080p|frame_1080p) want_opencv=1;; esac; done
[ $# -gt 0 ] || want_opencv=1
if [ $want_opencv = 1 ] && ! dpkg -s libopencv-dev >/dev/null 2>&1; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends libopencv-dev >&2
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
targets=(kernels_bench driver_bench render_bench a2x_bench motion_bench stream_bench utt_bench ctx_bench)
[ $want_opencv = 0 ] || targets+=(compose_bench)
cmake --build build -j2 --target "${targets[@]}" >&2

kernel_names=(yuv_to_rgb_1080p rgb_to_i420_1080p i420_through_rgb_1080p f16_to_f32 f32_to_f16 conv3x3 parallel_range_overhead)
pipeline_names=(driver_decode_1080p prior_decode)
render_names=(gridsample head_cubic int8_conv render_staging hoist warp_director fused_director)
compose_names=(paste_1080p frame_1080p)
audio_names=(a2x_stream a2x_frontends motion_rtf stream_1080p utt_1080p utt_1080p_teeth utt_window utt_onset utt_onset_live utt_interrupt ctx_second host_memory)
names=("$@")
[ ${#names[@]} -gt 0 ] || names=("${kernel_names[@]}" "${pipeline_names[@]}")
[ $# -gt 0 ] || names+=("${render_names[@]}" "${compose_names[@]}" "${audio_names[@]}")
kernels=(); pipelines=(); renders=(); composes=(); audios=()
for n in "${names[@]}"; do
  case " ${audio_names[*]} " in *" $n "*) audios+=("$n"); continue;; esac
  case " ${compose_names[*]} " in *" $n "*) composes+=("$n"); continue;; esac
  case " ${render_names[*]} " in *" $n "*) renders+=("$n"); continue;; esac
  case " ${kernel_names[*]} " in *" $n "*) kernels+=("$n"); continue;; esac
  case " ${pipeline_names[*]} " in *" $n "*) pipelines+=("$n"); continue;; esac
  echo "unknown benchmark '$n' (known: ${kernel_names[*]} ${pipeline_names[*]} ${render_names[*]} ${compose_names[*]} ${audio_names[*]})" >&2
  exit 2
done

# Pipelines run on the demo avatar's driver video and a crop-512 prior video,
# generated once into the build tree.
demo="$here/build/demo/avatar"
if [ ${#pipelines[@]} -gt 0 ] || [ ${#renders[@]} -gt 0 ] || [ ${#composes[@]} -gt 0 ] || [ ${#audios[@]} -gt 0 ]; then
  if [ ! -f "$demo.stamp" ] || [ -n "$(find tools/le_refavatar.py tools/refavatar -newer "$demo.stamp" -name '*.py')" ]; then
    /usr/bin/python3 tools/le_refavatar.py --preset demo --out "$demo" >&2
    touch "$demo.stamp"
  fi
fi
if [ ${#composes[@]} -gt 0 ]; then
  LE_CORE_THREADS=${LE_CORE_THREADS:-2} build/bench/compose_bench "$demo" "${BENCH_REPS:-9}" "${composes[@]}" 2>/dev/null
fi
if [ ${#renders[@]} -gt 0 ]; then
  pattern=$(IFS='|'; echo "${renders[*]}")
  # The reference director's warp block alone, at the demo's crop.
  block="$here/build/bench/warp_block_512.onnx"
  if [ ! -f "$block" ] || [ tools/refavatar/graphs.py -nt "$block" ]; then
    mkdir -p "$(dirname "$block")"
    (cd tools && /usr/bin/python3 -c "import onnx, sys; from refavatar.graphs import warp_block_graph; onnx.save(warp_block_graph(512), sys.argv[1])" "$block")
  fi
  build/bench/render_bench "$demo" "${BENCH_REPS:-5}" "$block" 2>/dev/null | grep -E "^(bench|context:) (${pattern//gridsample/gridsample_c[0-9]+})"
fi
if [ ${#pipelines[@]} -gt 0 ]; then
  prior="$here/build/bench/prior512"
  if [ ! -f "$prior.stamp" ] || [ "$here/tools/refavatar" -nt "$prior.stamp" ]; then
    /usr/bin/python3 tools/le_refavatar.py --preset demo --prior hevc --nt 25 --frames 25 --out "$prior" >&2
    touch "$prior.stamp"
  fi
  LE_DRIVER_HWDEC=${LE_DRIVER_HWDEC:-1} build/bench/driver_bench "$demo/target_frames.mp4" 1920 1080 100 \
    "$prior/P_hevc.mov" 512 25 "${BENCH_REPS:-5}" | grep -E '^(bench|context)' | \
    grep -E "^context|^bench ($(IFS='|'; echo "${pipelines[*]}")) "
fi
want() { case " ${audios[*]} " in *" $1 "*) return 0;; esac; return 1; }
if want motion_rtf; then
  # The motion engine on a motion directory of the demo's 100 driver rows.
  motion="$here/build/bench/motion"
  [ -f "$motion/lmdm.onnx" ] && [ "$motion/lmdm.onnx" -nt tools/refavatar/motion.py ] ||
    /usr/bin/python3 tools/le_refavatar.py --preset motion --nt 100 --out "$motion" >&2
  build/bench/motion_bench "$motion" 60 "${BENCH_REPS:-5}" 2>/dev/null | /usr/bin/python3 -c '
import statistics, sys
rows = [dict(kv.split("=") for kv in l.split()[1:]) for l in sys.stdin if l.startswith("motion ")]
total = statistics.median(float(r["total_ms"]) for r in rows)
ort = statistics.median(float(r["ort_ms"]) for r in rows)
engine = statistics.median(float(r["total_ms"]) - float(r["ort_ms"]) for r in rows)
print("context: motion: 60 s of audio in %.0f ms (real-time factor %.4f), onnxruntime %.1f ms, engine %.1f ms = %.1f%% "
      "of the total" % (total, total / 60000, ort, engine, 100 * engine / total))
print("bench motion_rtf ours=%.4g peer=%.4g unit=ms ratio=%.2f (ours: engine time, peer: onnxruntime time)" %
      (engine, ort, ort / engine))'
fi
if want utt_1080p || want utt_onset || want utt_onset_live || want utt_interrupt; then
  # The utterance session on the demo avatar with its streaming audio engine
  # (the short-window pair beside its encoder); 20 utterances for the onsets.
  W2V_ONNX="$here/build/demo/w2v/w2v_8s.onnx" LE_CORE_THREADS=${LE_CORE_THREADS:-2} \
    build/bench/utt_bench "$demo" "${UTT_ROUNDS:-20}" 2>/dev/null | /usr/bin/python3 -c '
import statistics, sys
want = sys.argv[1:]
rows = [dict(kv.split("=") for kv in l.split()[1:]) for l in sys.stdin if l.startswith("utt ")]
col = lambda k: [float(r[k]) for r in rows if k in r and float(r[k]) >= 0]
if "utt_1080p" in want:
    fps = statistics.median(col("fps"))
    print("bench utt_1080p ours=%.4g peer=25 unit=fps ratio=%.2f (sustained speech frames per second, 1920x1080, crop 512)"
          % (fps, fps / 25))
if "utt_onset" in want:
    on, model = statistics.median(col("onset_ms")), statistics.median(col("render_ms"))
    print("context: utt_onset: %d utterances, range %.1f-%.1f ms; model time (one director render) %.1f ms"
          % (len(col("onset_ms")), min(col("onset_ms")), max(col("onset_ms")), model))
    print("bench utt_onset ours=%.4g peer=%.4g unit=ms ratio=%.2f (peer: the goal, 150 ms plus the model time)"
          % (on, 150 + model, (150 + model) / on))
if "utt_onset_live" in want:
    live, need = statistics.median(col("live_onset_ms")), col("need_ms")[0]
    print("context: utt_onset_live: the engine must hear %.0f ms of audio before its first frame (its frame clock)" % need)
    print("bench utt_onset_live ours=%.4g peer=%.4g unit=ms ratio=%.2f (peer: the goal, that audio plus 100 ms; "
          "beyond the audio: %.1f ms)" % (live, need + 100, (need + 100) / live, live - need))
if "utt_interrupt" in want:
    it = statistics.median(col("interrupt_ms"))
    print("bench utt_interrupt ours=%.4g peer=80 unit=ms ratio=%.2f (interrupt to the first ramp frame in the ring; "
          "peer: the goal)" % (it, 80 / it))
' "${audios[@]}"
fi
if want utt_1080p_teeth; then
  # The same sustained rate with the demo's mouth bank armed: every speech
  # frame also runs the teeth pass, one frame late on its own thread.
  for r in $(seq "${BENCH_REPS:-3}"); do
    W2V_ONNX="$here/build/demo/w2v/w2v_8s.onnx" LE_CORE_THREADS=${LE_CORE_THREADS:-2} \
      build/bench/utt_bench "$demo" 0 teeth 2>/dev/null
  done | /usr/bin/python3 -c '
import statistics, sys
rows = [dict(kv.split("=") for kv in l.split()[1:]) for l in sys.stdin if l.startswith("utt teeth_fps")]
if not rows or any(r["armed"] != "1" or int(r["borrowed"]) == 0 for r in rows):
    sys.exit("utt_1080p_teeth: the mouth pass did not arm or borrowed nothing: %r" % rows)
fps = statistics.median(float(r["teeth_fps"]) for r in rows)
print("context: utt_1080p_teeth: %d runs, %s frames borrowed teeth in the last" % (len(rows), rows[-1]["borrowed"]))
print("bench utt_1080p_teeth ours=%.4g peer=25 unit=fps ratio=%.2f (sustained speech frames per second with the "
      "mouth bank armed, 1920x1080, crop 512)" % (fps, fps / 25))'
fi
if want utt_window; then
  # CPU per speech frame of a session whose window is the live host's face
  # square, against a whole-frame session, alternating on one context.
  W2V_ONNX="$here/build/demo/w2v/w2v_8s.onnx" LE_CORE_THREADS=${LE_CORE_THREADS:-2} \
    build/bench/utt_bench "$demo" "${BENCH_REPS:-3}" window 2>/dev/null | /usr/bin/python3 -c '
import statistics, sys
rows = [dict(kv.split("=") for kv in l.split()[2:]) for l in sys.stdin if l.startswith("utt window ")]
if not rows:
    sys.exit("utt_window: no measurement")
med = lambda k: statistics.median(float(r[k]) for r in rows)
whole, part = med("whole_cpu_ms"), med("window_cpu_ms")
print("context: utt_window: %d alternations; sustained %.1f fps whole, %.1f fps window" % (len(rows), med("whole_fps"),
      med("window_fps")))
print("bench utt_window ours=%.4g peer=%.4g unit=ms ratio=%.2f (process CPU per speech frame: a session making only "
      "the face square a live host sends, against the whole 1920x1080 frame)" % (part, whole, whole / part))
planes = med("i420_cpu_ms")
print("bench utt_i420 ours=%.4g peer=%.4g unit=ms ratio=%.2f (process CPU per speech frame: the whole frame as I420, "
      "as a live host takes it, against RGB; sustained %.1f fps)" % (planes, whole, whole / planes, med("i420_fps")))'
fi
if want ctx_second; then
  # Create to the first rendered face on the demo avatar: the first context
  # (which loads the avatar) against a second one on it; the context line
  # gives the same to the first pasted frame.
  LE_CORE_THREADS=${LE_CORE_THREADS:-2} build/bench/ctx_bench "$demo" "${BENCH_REPS:-9}" 2>/dev/null | /usr/bin/python3 -c '
import statistics, sys
rows = [dict(kv.split("=") for kv in l.split()[1:]) for l in sys.stdin if l.startswith("ctx ")]
first = statistics.median(float(r["first_ms"]) for r in rows)
second = statistics.median(float(r["second_ms"]) for r in rows)
med = lambda k: statistics.median(float(r[k]) for r in rows)
print("context: ctx_second: %d rounds; to the first pasted frame: first %.1f ms, second %.1f ms, ratio %.2f" %
      (len(rows), med("first_frame_ms"), med("second_frame_ms"), med("first_frame_ms") / med("second_frame_ms")))
print("bench ctx_second ours=%.4g peer=%.4g unit=ms ratio=%.2f (ours: a second context on the loaded avatar, "
      "peer: the first context, create to first rendered crop)" % (second, first, first / second))'
fi
if want host_memory; then
  # The live host's resident set on the demo avatar with 0, 1, 2 and 4
  # speaking sessions, and after they close, in one process.
  cmake --build build -j2 --target le_core >&2
  W2V_ONNX="$here/build/demo/w2v/w2v_8s.onnx" LE_CORE_LIB="$here/build/lible_core.so" LE_CORE_THREADS=${LE_CORE_THREADS:-2} \
    /usr/bin/python3 bench/host_memory.py "$demo" 2>/dev/null | grep -E "^(host_memory|bench)" | sed "s/^host_memory:/context: host_memory:/"
fi
if want stream_1080p; then
  # The demo avatar (1920x1080, crop 512): 4 s of speech through the runner
  # against the same frames rendered and pasted one by one, alternating.
  LE_CORE_THREADS=${LE_CORE_THREADS:-2} build/bench/stream_bench "$demo" "$here/build/demo/w2v/fca_encoder.onnx" 4 \
    "${BENCH_REPS:-5}" 2>/dev/null | /usr/bin/python3 -c '
import statistics, sys
rows = [dict(kv.split("=") for kv in l.split()[1:]) for l in sys.stdin if l.startswith("stream ")]
ours = statistics.median(float(r["ours_ms_per_frame"]) for r in rows)
peer = statistics.median(float(r["peer_ms_per_frame"]) for r in rows)
ratios = [float(r["peer_ms_per_frame"]) / float(r["ours_ms_per_frame"]) for r in rows]
print("context: stream_1080p: %.1f fps with the render thread, %.1f fps one frame at a time; ratio range %.2f-%.2f" %
      (1000 / ours, 1000 / peer, min(ratios), max(ratios)))
print("bench stream_1080p ours=%.4g peer=%.4g unit=ms/frame ratio=%.2f (ours: le_stream_run, peer: render, paste, next)"
      % (ours, peer, peer / ours))'
fi
if want a2x_stream || want a2x_frontends; then
  # 60 s of speech-like audio streamed in 20 ms pushes, alternating a process
  # with the short-window pair beside the encoder (the demo's) and one with
  # the 8 s encoder alone, so the machine's drift falls on both alike.
  legacy="$here/build/bench/w2v-legacy"
  [ -f "$legacy/w2v_8s.onnx" ] && [ "$legacy/w2v_8s.onnx" -nt tools/refavatar/audio.py ] ||
    /usr/bin/python3 tools/le_refavatar.py --preset w2v-legacy --out "$legacy" >&2
  runs=$(mktemp)
  for r in $(seq "${BENCH_REPS:-5}"); do
    W2V_ONNX="$here/build/demo/w2v/w2v_8s.onnx" build/bench/a2x_bench "$demo" 60 1 2>/dev/null
    W2V_ONNX="$legacy/w2v_8s.onnx" build/bench/a2x_bench "$demo" 60 1 2>/dev/null
  done >"$runs"
  /usr/bin/python3 - "$runs" "${audios[@]}" <<'PY'
import statistics, sys
rows = [dict(kv.split("=") for kv in line.split()[1:]) for line in open(sys.argv[1]) if line.startswith("a2x ")]
def med(frontend, f):
    return statistics.median(f(r) for r in rows if r["frontend"] == frontend)
for fe in ("short", "8s"):
    total, ort = med(fe, lambda r: float(r["total_ms"])), med(fe, lambda r: float(r["ort_ms"]))
    engine = med(fe, lambda r: float(r["total_ms"]) - float(r["ort_ms"]))
    block = med(fe, lambda r: (float(r["total_ms"]) - float(r["ort_ms"])) / (int(r["frames"]) / 8))
    print("context: a2x %s frontend: 60 s of audio in %.0f ms (real-time factor %.4f), onnxruntime %.0f ms, "
          "engine %.1f ms = %.1f%% of the total, %.0f us per 8-frame block" %
          (fe, total, total / 60000, ort, engine, 100 * engine / total, 1000 * block))
    if fe == "short" and "a2x_stream" in sys.argv[2:]:
        print("bench a2x_stream ours=%.4g peer=%.4g unit=ms ratio=%.2f (ours: engine time, peer: onnxruntime time, "
              "short-window frontend; engine share %.1f%%)" % (engine, ort, ort / engine, 100 * engine / total))
if "a2x_frontends" in sys.argv[2:]:
    hop = {fe: med(fe, lambda r: float(r["feat_ms"]) / float(r["steps"])) for fe in ("short", "8s")}
    print("bench a2x_frontends ours=%.4g peer=%.4g unit=ms/hop ratio=%.2f (ours: short-window pair, "
          "peer: 8 s window, per 8-frame hop)" % (hop["short"], hop["8s"], hop["8s"] / hop["short"]))
PY
  rm -f "$runs"
fi
[ ${#kernels[@]} -gt 0 ] || exit 0
filter=$(IFS='|'; echo "^(${kernels[*]})/")
out=$(mktemp)
trap 'rm -f "$out"' EXIT
# The pool's jobs run over two threads, as on the machines we size for.
LE_CORE_THREADS=${LE_CORE_THREADS:-2} build/bench/kernels_bench --benchmark_filter="$filter" \
  --benchmark_repetitions="${BENCH_REPS:-9}" --benchmark_report_aggregates_only=true \
  --benchmark_min_time=0.1 --benchmark_format=json --benchmark_out="$out" --benchmark_out_format=json >&2
/usr/bin/python3 - "$out" <<'PY'
import json, sys
data = json.load(open(sys.argv[1]))
med, unit, label = {}, {}, {}
for b in data["benchmarks"]:
    if b.get("aggregate_name") != "median":
        continue
    name, side = b["run_name"].split("/")[0], b["run_name"].split("/")[1]
    med[(name, side)] = b["real_time"]
    unit[name] = b["time_unit"]
    if b.get("label"):
        label[name] = b["label"]
print("context: %s, %d cpus, highway target %s" % (data["context"].get("host_name", "?"),
      data["context"].get("num_cpus", 0), label.get("yuv_to_rgb_1080p", "see labels")))
for name in dict.fromkeys(n for n, _ in med):
    ours, peer = med.get((name, "ours")), med.get((name, "peer"))
    if ours is None or peer is None:
        continue
    extra = (" (%s)" % label[name]) if name in label else ""
    print("bench %s ours=%.4g peer=%.4g unit=%s ratio=%.2f%s" % (name, ours, peer, unit[name], peer / ours, extra))
PY
