/*
 * le_core: streaming audio-to-expression family (le_a2x_).
 *
 * Speech in, keypoint motion out: the host pushes 16 kHz mono float samples
 * in chunks of any size and pulls frames at 25 per second (640 samples per
 * frame). Each frame is a row of the bundle's target keypoint track (63
 * floats: 21 keypoints x 3) plus a predicted delta, and optionally a width
 * value. Which frames are ready, and their values, depend only on the audio
 * pushed, never on how it was cut into pushes or when the host polled.
 *
 * Usage:
 *
 *   le_a2x* a = le_a2x_create("avatars/anna.imx", 0);  // needs $W2V_ONNX
 *   if (!a) { fprintf(stderr, "%s\n", le_a2x_last_error()); return; }
 *   le_a2x_push(a, samples, n);            // as audio arrives
 *   le_a2x_finish(a);                      // at the end of the speech
 *   for (;;) {
 *     int ready = le_a2x_avail(a);         // -1: the handle failed
 *     if (ready <= 0) break;
 *     int idx[8]; float xs[8 * 63], kp[8 * 63];
 *     int got = le_a2x_pull(a, idx, xs, kp, 8);
 *     ...
 *   }
 *   le_a2x_destroy(a);
 *
 * Follows the conventions of le/le.h with the family text le_a2x_: one
 * last-error text per thread, cleared on entry by every call that can fail,
 * "function: reason" on failure.
 *
 * Every call with a NULL handle fails with "function: bad args" and the
 * function's failure value (le_a2x_nt: 0; void functions only set the text).
 *
 * Thread safety: calls on one handle run one at a time (a second thread
 * waits); different handles run in parallel and share the process-wide audio
 * encoders. A destroy must not race another call on the same handle.
 * le_a2x_last_error may be called from any thread; it reads the calling
 * thread's own text.
 */
#ifndef LE_LE_A2X_H
#define LE_LE_A2X_H

#include <stddef.h>

#if defined(__GNUC__)
#define LE_A2X_API __attribute__((visibility("default")))
#else
#define LE_A2X_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The calling thread's le_a2x_ last-error text: never NULL, empty after a
 * successful le_a2x_ call. */
LE_A2X_API const char* le_a2x_last_error(void);

typedef struct le_a2x le_a2x;

/* Opens the audio-to-expression engine of a bundle (a directory or an IMX
 * container): a2x_meta.json, a2x_pos.f32, a2x_norm.f32, the target keypoint
 * track and the streaming encoder and decoder. $W2V_ONNX names the shared 8 s
 * audio encoder; the short-window pair beside it is used when present.
 * threads < 1 or above the engine's worker count: that count (the rule of
 * every family). Tables holding NaN or infinities, a norm value beyond
 * +-1000, or a model member that is not a regular file are refused. NULL
 * with the reason on failure. */
LE_A2X_API le_a2x* le_a2x_create(const char* bundle, int threads);

/* Everything an audio handle's creation can be told; filled by
 * le_a2x_opts_default with the defaults, which the environment variables
 * named below set (strings as for le_ctx_opts in le/le.h). Members past
 * `size` take their defaults. The encoders are loaded once per process: the
 * first handle that loads one decides its path and device. */
typedef struct le_a2x_opts {
  size_t size;                 /* sizeof(le_a2x_opts) */
  int threads;                 /* < 1 or above the engine's worker count: that count */
  const char* w2v_onnx;        /* the shared 8 s audio encoder ($W2V_ONNX; required) */
  const char* w2v_window_onnx; /* the short-window pair, both or neither; NULL = */
  const char* w2v_head_onnx;   /* beside w2v_onnx ($LE_A2X_W2V_WIN_ONNX, $LE_A2X_W2V_HEAD_ONNX) */
  int right_context;           /* short-window right context in frames, >= 0 ($LE_A2X_W2V_RIGHT, 12) */
  int silence_prime;           /* decoder priming in frames; -1 = the bundle's ($LE_A2X_SILENCE_PRIME) */
  int cuda;                    /* 1: the encoders on CUDA where available ($LE_A2X_CUDA) */
  int cuda_mem_mib;            /* the CUDA arena's limit; <= 0 = 3072 ($LE_A2X_CUDA_MEM_MIB) */
  const char* unwrap_root;     /* where IMX containers unpack; NULL or "" = beside them ($LE_IMX_UNWRAP_ROOT) */
} le_a2x_opts;
/* The defaults with the environment's values; size set. NULL is ignored. */
LE_A2X_API void le_a2x_opts_default(le_a2x_opts* opts);
/* As le_a2x_create, with every setting from `opts`. NULL opts or a size
 * below sizeof(size_t): NULL with the reason. */
LE_A2X_API le_a2x* le_a2x_create_opts(const char* bundle, const le_a2x_opts* opts);
/* Frees the handle; NULL is ignored. */
LE_A2X_API void le_a2x_destroy(le_a2x* a);
/* What a handle runs, for hosts and tools. Set `size` to sizeof(le_a2x_info)
 * before the call: members past it are left alone. */
typedef struct le_a2x_info {
  size_t size;
  char frontend[16]; /* the audio encoder's windows: "short-window" (2 s) or "8s-window" */
  int lag;           /* frames of speech a frame waits for before it is emitted */
  int lookahead;     /* frames the decoder's attention reaches ahead */
  int right_context; /* frames right of a frame inside its encoder window */
  int threads;
} le_a2x_info;
/* Fills *info. 1, or 0 with the reason (a NULL argument, a size below
 * sizeof(size_t)). */
LE_A2X_API int le_a2x_get_info(le_a2x* a, le_a2x_info* info);

/* Appends n samples (n < 1 appends nothing) and returns 1. Returns 0 and
 * appends nothing on NULL samples with n > 0, a non-finite sample or one
 * beyond +-32768 (no 16-bit source, scaled or not, gives it), audio after
 * le_a2x_finish, or a handle that failed. */
LE_A2X_API int le_a2x_push(le_a2x* a, const float* samples, int n);
/* Marks the end of the audio: the last partial frame then counts. */
LE_A2X_API void le_a2x_finish(le_a2x* a);
/* Frames ready to pull now (>= 0), computing at most one step of them per
 * call; -1 with the reason once the handle has failed (until le_a2x_reset),
 * for instance when a network's output holds NaN or infinities. Polling
 * without pulling keeps only the frames not yet pulled. */
LE_A2X_API int le_a2x_avail(le_a2x* a);
/* -1 before le_a2x_finish; afterwards ceil(S / 640) for the S samples pushed
 * since the last reset. */
LE_A2X_API int le_a2x_total(le_a2x* a);
/* Writes up to n frames: idx[k] the target row used, xs[63k..] that row,
 * out[63k..] the row plus the predicted delta. Any output may be NULL to skip
 * it. Returns the frames written (0..n); 0 with the reason on failure. */
LE_A2X_API int le_a2x_pull(le_a2x* a, int* idx, float* xs, float* out, int n);
/* As le_a2x_pull, and wn[k] the frame's width value (0.0 when the encoder has
 * no width output). */
LE_A2X_API int le_a2x_pull_wn(le_a2x* a, int* idx, float* xs, float* out, float* wn, int n);

/* Whole clip: the deltas (T x 63, T = ceil(n / 640)) of n samples, from the
 * 8 s encoder's windows; the streaming state is not touched. Returns T; 0 for
 * n <= 0; -2 when T > max_frames; -1 on failure. */
LE_A2X_API int le_a2x_deltas(le_a2x* a, const float* samples, int n, float* out, int max_frames);
/* As le_a2x_deltas, and T width values into wn; -3 when the encoder has no
 * width output. */
LE_A2X_API int le_a2x_deltas_wn(le_a2x* a, const float* samples, int n, float* out, float* wn,
                                int max_frames);

/* Rows of the target keypoint track (0 for NULL). */
LE_A2X_API int le_a2x_nt(le_a2x* a);
/* 1 when the encoder has the width output, else 0. */
LE_A2X_API int le_a2x_width(le_a2x* a);
/* Restarts the stream: audio and frames are dropped and the traversal of the
 * target track starts at row `start` (start < 0: the row the next frame would
 * have used), forwards (dir >= 0) or backwards, looping (loop != 0) or
 * ping-ponging. Clears a failure. */
LE_A2X_API void le_a2x_reset(le_a2x* a, int start, int dir, int loop);
/* Stores the caller's eager preference; the cadence does not depend on it. */
LE_A2X_API void le_a2x_set_eager(le_a2x* a, int flag);

/* ---- The motion engine (le_motion_): three networks (a student audio
 * encoder over log-mel windows, a motion generator over chunks of 80 frames,
 * a keypoint stitcher) with the host contract of le_a2x. Frames are handed
 * out once settled (about 3.7 s behind the audio before le_motion_finish);
 * with an eager value > 0 frames whose audio has begun come early from a
 * provisional chunk over silence, replaced when the real audio arrives.
 * Errors in le_motion_last_error() (declared in le/le.h); a runtime failure
 * is repeated by every later call until le_motion_reset. ---- */
typedef struct le_motion le_motion;

/* Opens a motion directory (meta.json, the spectrogram and conditioning
 * files, hubert_student.onnx, lmdm.onnx, stitch.onnx, xs_target.bin).
 * threads < 1 or above the engine's worker count: that count; ep: NULL or ""
 * for the CPU. s_bridge beyond +-100, delta_pitch beyond +-180 and scales or
 * translations beyond +-1000 are refused. */
LE_A2X_API le_motion* le_motion_create(const char* motion_dir, int threads, const char* ep);
LE_A2X_API void le_motion_destroy(le_motion* m);
/* Appends n samples and returns 1 (n < 1: nothing); 0 on NULL samples, a
 * non-finite sample or one beyond +-32768, or after le_motion_finish. */
LE_A2X_API int le_motion_push(le_motion* m, const float* samples, int n);
/* Marks the end of the audio and computes every remaining frame. */
LE_A2X_API void le_motion_finish(le_motion* m);
/* Frames ready to pull (0 with the reason on failure). */
LE_A2X_API int le_motion_avail(le_motion* m);
/* Writes up to n frames: idx[k] the driver index, xs[63k..] its target
 * keypoints, out[63k..] the driving keypoints. Outputs may be NULL. */
LE_A2X_API int le_motion_pull(le_motion* m, int* idx, float* xs, float* out, int n);
/* -1 before le_motion_finish, then ceil(samples / 640). */
LE_A2X_API int le_motion_total(le_motion* m);
/* Rows of the target keypoint track (0 for NULL). */
LE_A2X_API int le_motion_nt(le_motion* m);
/* As le_a2x_reset; also forgets the reference expression. */
LE_A2X_API void le_motion_reset(le_motion* m, int start, int dir, int loop);
LE_A2X_API void le_motion_set_eager(le_motion* m, int value);

/* ---- The whole-clip delta model (le_fca_): an 8 s window audio encoder
 * ("input_values" -> "audio_emb" [layers, 200, 768]) and a recurrent head
 * ("cond", "prev", "h" -> "m", "hn"). Errors in le_fca_last_error(). ---- */
typedef struct le_fca le_fca;

/* threads as for le_a2x_create. NULL with the reason on failure. */
LE_A2X_API le_fca* le_fca_create(const char* encoder, const char* model, int threads);
LE_A2X_API void le_fca_destroy(le_fca* f);
/* T = ceil(n / 640) frames of 63 deltas into out; 0 for n <= 0; -2 when
 * T > max_frames; -1 on failure (samples as for le_a2x_push; a non-finite
 * network output). */
LE_A2X_API int le_fca_deltas(le_fca* f, const float* samples, int n, float* out, int max_frames);

/* Loads the shared 8 s audio encoder from path (NULL or "": $W2V_ONNX).
 * 1 when it is loaded (the first load wins), else 0 with the reason. */
LE_A2X_API int le_a2x_preload_w2v(const char* path);
/* Always 1: the 8 s encoder is loaded when first needed. */
LE_A2X_API int le_a2x_w2v8_lazy(void);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_A2X_H */
