/*
 * le_core: real-time talking-head avatar engine, C API.
 *
 * Usage:
 *
 *   char dir[4096];
 *   if (le_bundle_resolve_handle("avatars/anna.imx", dir, sizeof dir) != 1)
 *     fprintf(stderr, "%s\n", le_last_error());
 *
 * Conventions shared by every family (le_, le_motion_, le_fca_, le_a2x_,
 * le_stream_, le_utt_):
 *   - No exception or signal crosses this boundary. A failing call returns
 *     its family's failure value (NULL, 0 or -1, per function) and stores
 *     "function: reason" in that family's last-error text.
 *   - Each family has one last-error text per thread. A call that can fail
 *     clears it on entry, so it is empty after a success. The pointer a
 *     *_last_error() function returns stays valid until the next call of
 *     that family on the same thread; errors never cross threads.
 *   - Keypoint sets are le_host_kp_rows() rows of (x, y, z) floats.
 *
 * Thread safety: any thread may call any function. Calls on one le_ctx run
 * one at a time (the context holds a lock for each call that uses its
 * state; a second thread waits); different contexts run in parallel.
 * le_destroy and le_prior_close must not race another call on the same
 * handle. Bundle resolution serialises container unpacking across threads
 * and, through a lock file, across processes.
 */
#ifndef LE_LE_H
#define LE_LE_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define LE_API __attribute__((visibility("default")))
#else
#define LE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The calling thread's le_ last-error text: never NULL, empty after a
 * successful le_ call. */
LE_API const char* le_last_error(void);

/* Rows of a keypoint set in every keypoint argument and result: 21. Does not
 * touch the last-error text. */
LE_API int le_host_kp_rows(void);

/* Gives back to the system the memory the library keeps between runs of its
 * networks (the blocks a run freed, kept for the next run of any stream) and
 * trims the C heap; returns the bytes of the blocks. Destroying a context,
 * audio engine, motion engine, stream or utterance session does the same; a
 * host calls it when its streams go quiet (after a warm-up, say). Safe while
 * other threads render: their next run allocates afresh. Does not touch the
 * last-error text. */
LE_API size_t le_release_memory(void);

/* The library's version, "MAJOR.MINOR.PATCH". */
LE_API const char* le_version(void);

/* Message levels: every line the library writes has one. */
#define LE_LOG_ERROR 0
#define LE_LOG_WARN 1
#define LE_LOG_INFO 2
#define LE_LOG_DEBUG 3
/* Receives one message (no line end) at its level; may be called from any
 * thread, also concurrently, and must not call back into the library. */
typedef void (*le_log_fn)(void* user, int level, const char* message);
/* Sends every library message at max_level or below (clamped to
 * [LE_LOG_ERROR, LE_LOG_DEBUG]) to fn with `user`, including the lines
 * FFmpeg and onnxruntime write while working for the library; fn NULL
 * restores standard error. Process-wide; the default is standard error up to
 * LE_LOG_INFO (expected failures, such as hardware decoders this machine
 * cannot load, are LE_LOG_DEBUG). */
LE_API void le_log_set(le_log_fn fn, void* user, int max_level);

/* Resolves `bundle` (a bundle directory, an IMX container, or a container's
 * path without ".imx"; a container is unpacked once and reused) and writes
 * the resulting directory with its terminator into out[0..out_len).
 * Returns 1 on success; -1 on NULL arguments or out_len 0 (no message), on a
 * buffer too small (out[0] = 0, "le_bundle_resolve_handle: buffer too
 * small") or on a resolution failure (out[0] = 0, the reason in
 * le_last_error()). */
LE_API int le_bundle_resolve_handle(const char* bundle, char* out, size_t out_len);

/* Resolves `bundle` as le_bundle_resolve_handle does, then the member name
 * inside it, accepting both the older and the current member names, and
 * writes the member's path into out[0..out_len).
 * Returns 1: path written and the file opens for reading; 0: path written,
 * the file cannot be opened; -1: a NULL or empty argument, a buffer too
 * small, or a resolution failure (out[0] = 0 whenever out can hold it).
 * Neither clears nor sets the last-error text. */
LE_API int le_bundle_resolve_member(const char* bundle, const char* member, char* out,
                                    size_t out_len);

/* ---- Engine context: one loaded avatar bundle. Calls on one context are
 * serialised; errors in le_last_error(). ---- */
typedef struct le_ctx le_ctx;

/* Loads the bundle (a directory or an IMX container) and opens its driver
 * video; the director graph "model_<model_key>.onnx" loads on the first
 * render. threads < 1 or above the engine's worker count: that count. ep:
 * NULL or "" for the CPU. Returns the context, or NULL with the reason. */
LE_API le_ctx* le_create(const char* bundle_dir, const char* model_key, int threads, const char* ep);

/* Everything a context's creation can be told. le_ctx_opts_default fills it
 * with the defaults, which the environment variables named below set; the
 * library reads the environment nowhere else for a context. Strings filled
 * in by le_ctx_opts_default stay valid as long as the process; strings the
 * caller sets need only outlive the create call. Members past `size` take
 * their defaults, so a caller built against an older header keeps working. */
typedef struct le_ctx_opts {
  size_t size;               /* sizeof(le_ctx_opts) */
  const char* model_key;     /* director "model_<key>.onnx" (required) */
  int threads;               /* director threads; < 1: the engine's worker count, sized by the engine */
  const char* ep;            /* execution provider; NULL or "" = CPU */
  int paste_fast;            /* compositor sampling: 0 Lanczos, 1 bicubic, 2 bilinear ($LE_PASTE_FAST) */
  int paste_ksize;           /* smaller odd unsharp kernel; 0 = the manifest's ($LE_PASTE_KSIZE) */
  int driver_hwdec;          /* 1: try the hardware H.264 decoder first ($LE_DRIVER_HWDEC != "0") */
  int driver_prefer_video;   /* 1: play the driver video over a frame directory ($LE_DRIVER_PREFER_MP4) */
  int gs_fast;               /* 1: the fast grid-sample kernel ($LE_GS_FAST) */
  int gs_rewrite;            /* 1: rewrite standard grid samples to it at load ($LE_GS_REWRITE) */
  int ort_spin;              /* 1: the director's threads spin while idle ($LE_ORT_SPIN) */
  const char* ort_profile;   /* profiling file prefix; NULL or "" = none ($LE_ORT_PROFILE) */
  const char* conv_backend;  /* "neon" asks for that backend (unavailable here) ($LE_CONV_BACKEND) */
  const char* unwrap_root;   /* where IMX containers unpack; NULL or "" = beside them ($LE_IMX_UNWRAP_ROOT) */
  int msrc_missing_ok;       /* 1: a manifest without a paste-space stamp loads ($OSTRANE2_MSRC_MISSING_OK) */
  int source_hoist;          /* 1: run what depends only on the source frame once per frame, ahead, on
                                a thread of its own ($LE_SOURCE_HOIST) */
  int warp_node;             /* 1: the director's warp (source cone, grid sample, recombination) as one
                                node of the engine's own ($LE_WARP_NODE) */
} le_ctx_opts;
/* The defaults (model_key "render", threads 0, CPU) and the environment's
 * values; size set. NULL is ignored. */
LE_API void le_ctx_opts_default(le_ctx_opts* opts);
/* As le_create, with every setting from `opts`. NULL opts, a size below
 * sizeof(size_t) or a NULL model key: NULL with the reason. */
LE_API le_ctx* le_create_opts(const char* bundle_dir, const le_ctx_opts* opts);
/* Frees the context; NULL is ignored. A context an le_utt session holds is
 * freed when that session is destroyed (the session goes on until then). */
LE_API void le_destroy(le_ctx* ctx);

/* Driver frame count, frame width and height, crop side, driving-track rows;
 * 0 for NULL. */
LE_API int le_nt(const le_ctx* ctx);
LE_API int le_width(const le_ctx* ctx);
LE_API int le_height(const le_ctx* ctx);
LE_API int le_crop(const le_ctx* ctx);
LE_API int le_drive_frames(const le_ctx* ctx);
/* Where driver frame si's face crop sits in the frame: crop pixel (x, y)
 * lands on frame pixel (m[0]x + m[1]y + m[2], m[3]x + m[4]y + m[5]). Returns
 * 1, or 0 on bad args (m untouched). Never changes, so callable while a
 * session has the engine. */
LE_API int le_crop_transform(const le_ctx* ctx, int si, float m[6]);

/* Renders the face of driver frame si from 63 source and 63 driving keypoint
 * values (a NaN or infinite value is refused as bad args). Returns the crop
 * (planar R, G, B floats of crop x crop, nominally 0..1, valid until the next
 * render) or NULL. */
LE_API const float* le_render_kp_crop(le_ctx* ctx, int si, const float* kp_source, const float* kp_driving);
/* As le_render_kp_crop with row i of the bundle's driving track. */
LE_API const float* le_render_drive_crop(le_ctx* ctx, int i);
/* Driver frame si (RGB24) into out (at least W*H*3 bytes) with `crop`
 * pasted through the frame's transform. Returns 1, or 0 (a crop holding NaN
 * or infinite values fails with their count, "paste: the crop holds N
 * non-finite values"; out then holds the frame with them pasted as 0). */
LE_API int le_paste_crop(le_ctx* ctx, int si, const float* crop, uint8_t* out, size_t out_bytes);
/* As le_paste_crop with the last rendered crop, into the context's own frame;
 * returns it (RGB24, W*H*3 bytes, valid until the next paste) or NULL. */
LE_API const uint8_t* le_paste_last(le_ctx* ctx, int si);
/* Render then paste frame si as RGBA (out: at least W*H*4 bytes). 1 or 0. */
LE_API int le_render_kp_rgba(le_ctx* ctx, int si, const float* kp_source, const float* kp_driving, uint8_t* out,
                             size_t out_bytes);
/* Render row i of the driving track and paste it into driver frame si[i], RGBA. 1 or 0. */
LE_API int le_render_drive_rgba(le_ctx* ctx, int i, uint8_t* out, size_t out_bytes);
/* Planes of an I420 image the caller owns, as video encoders take frames:
 * BT.601 limited range, Y width x height, U and V (width + 1) / 2 x
 * (height + 1) / 2, each row `stride` bytes after the last (at least the
 * plane's width). */
typedef struct le_i420 {
  uint8_t* y;
  int y_stride;
  uint8_t* u;
  int u_stride;
  uint8_t* v;
  int v_stride;
} le_i420;
/* As le_render_kp_rgba, the frame converted into out's planes. 1, or 0 with
 * the reason (a NULL plane or a stride below its plane's width among them). */
LE_API int le_render_kp_i420(le_ctx* ctx, int si, const float* kp_source, const float* kp_driving,
                             const le_i420* out);
/* What a context's director runs, for hosts and tools. Set `size` to
 * sizeof(le_ctx_info) before the call: members past it are left alone, so a
 * caller built against an older header keeps working. */
typedef struct le_ctx_info {
  size_t size;
  char family[16];    /* the graph family: "warp-prior" or "FeatSynth" */
  char provider[32];  /* the execution provider: "cpu", or the CoreML one asked for */
  char rewrites[192]; /* the load-time graph rewrites applied, "" for none */
  int batch;          /* frames per director run */
  int intra_op_threads;
  int pool_threads;   /* the engine's worker threads */
  char agent[64];     /* the bundle's agent name */
  char graph[256];    /* the director's member, as found in the bundle */
  int paste_source_width;  /* the canvas the paste transforms were authored on */
  int paste_source_height;
  float unsharp_amount;    /* the compositor's sharpening, as the manifest says */
  float unsharp_sigma;
  int unsharp_ksize;
} le_ctx_info;
/* Fills *info, loading the director if no render has yet (as the first
 * render would). 1, or 0 with the reason (a NULL argument, a size below
 * sizeof(size_t), a director that cannot load). */
LE_API int le_get_info(le_ctx* ctx, le_ctx_info* info);
/* Driver frame si as decoded (RGB24), valid until the next use of the
 * driver video (an le_utt session created on the context is one); NULL on
 * failure. */
LE_API const uint8_t* le_target_frame(le_ctx* ctx, int si);

/* Warp-prior rows of a bundle whose prior is a video member, read by frame
 * index without an engine context. Errors: le_last_error(). */
typedef struct le_prior le_prior;

/* Opens the bundle's prior video (manifest key "P_hevc", default
 * "P_hevc.mov"). lookahead below 1 becomes 2, a negative history 0; at most
 * 64 and 256 frames. Returns a handle, or NULL with the reason in
 * le_last_error(). */
LE_API le_prior* le_prior_open(const char* bundle_dir, int lookahead, int history);

/* Copies row `si` (three planes R, G, B of crop x crop halves) into out, which
 * holds cap bytes. Returns 1, or 0 with the reason in le_last_error(). */
LE_API int le_prior_row(le_prior* prior, int si, uint16_t* out, size_t cap);

/* Bytes of one row; 0 for NULL. */
LE_API size_t le_prior_row_bytes(const le_prior* prior);

/* The decoder in use, valid while the handle lives; "" for NULL. */
LE_API const char* le_prior_backend(const le_prior* prior);

/* Stops the decoder and frees the handle; NULL is ignored. */
LE_API void le_prior_close(le_prior* prior);

/* Last-error texts of the other families; same rules as le_last_error. */
LE_API const char* le_motion_last_error(void);
LE_API const char* le_fca_last_error(void);
LE_API const char* le_stream_last_error(void);
LE_API const char* le_utt_last_error(void);

/* ---- Whole-stream runner (le_stream_): a complete clip's speech to frames,
 * offline. Deltas come from the bundle's fca_stream.onnx over the given 8 s
 * audio encoder; frames are rendered on a second thread (a ring of four
 * crops) while the calling thread pastes them and calls back in order.
 * Errors in le_stream_last_error(). ---- */
typedef struct le_stream le_stream;

/* One delivered frame: RGB24, width x height, valid during the call only;
 * frame counts from 0. Called on the thread that called le_stream_run. */
typedef void (*le_stream_frame_fn)(void* user, int frame, const uint8_t* rgb, int width, int height);

/* Loads the bundle (director "model_render.onnx") and the delta model;
 * skip: leading frames not delivered; gain: scale of the deltas (0: the idle
 * keypoint track; at most 1000 in magnitude). threads < 1 or above the
 * engine's worker count: that count. NULL with the reason on failure. */
LE_API le_stream* le_stream_create(const char* bundle, const char* encoder, int threads, int skip, float gain);
/* Everything a stream's creation can be told (members past `size` take
 * their defaults, as for le_ctx_opts). */
typedef struct le_stream_opts {
  size_t size;             /* sizeof(le_stream_opts) */
  const char* encoder;     /* the whole-clip audio encoder (required) */
  int threads;             /* as for le_stream_create */
  int skip;                /* leading frames not delivered, >= 0 */
  float gain;              /* scale of the deltas, 1 by default */
  const le_ctx_opts* ctx;  /* the context's settings (its model key is "render"); NULL = the defaults */
} le_stream_opts;
/* The defaults (no encoder, threads 0, skip 0, gain 1, ctx NULL); size set.
 * NULL is ignored. */
LE_API void le_stream_opts_default(le_stream_opts* opts);
/* As le_stream_create, with every setting from `opts`. */
LE_API le_stream* le_stream_create_opts(const char* bundle, const le_stream_opts* opts);
LE_API void le_stream_destroy(le_stream* s);
/* Renders the clip of n samples (16 kHz mono, each finite and within
 * +-32768): ceil(n / 640) - skip frames, frame j pasted into driver frame
 * (j + skip) mod NT. Returns the frames delivered, or -1 with the reason
 * ("le_stream_run: render/paste failed" when a frame cannot be made; the
 * render thread is joined first). One run at a time per stream: a call while
 * another runs (another thread, or the callback) fails at once. */
LE_API int le_stream_run(le_stream* s, const float* samples, int n, le_stream_frame_fn callback, void* user);
LE_API int le_stream_width(le_stream* s);
LE_API int le_stream_height(le_stream* s);

/* ---- Utterance session (le_utt_): a live session over a context. Speech
 * pushed as 16-bit PCM comes back as rendered, pasted frames at the frame
 * rate; between utterances the driver video plays (idle frames). The session
 * runs on its own threads and borrows the context's engine: while it lives,
 * the context's render and paste calls are refused. Destroy every session
 * before its context. Errors in le_utt_last_error(). ---- */
typedef struct le_utt le_utt;

/* Frame kinds (le_utt_frame_info.kind) and session states (le_utt_stats.state). */
#define LE_UTT_KIND_IDLE 0
#define LE_UTT_KIND_SPEECH 1
#define LE_UTT_KIND_RAMP 2
#define LE_UTT_STATE_IDLE 0
#define LE_UTT_STATE_ONSET 1
#define LE_UTT_STATE_SPEAKING 2
#define LE_UTT_STATE_RAMP 3
/* le_utt_opts.eager: hybrid switches the audio engine between its two eager
 * values by the frames waiting (LE_UTT_HYBRID_LOW below
 * LE_UTT_HYBRID_OFF_AT or fewer, LE_UTT_HYBRID_HIGH above
 * LE_UTT_HYBRID_ON_ABOVE); LE_UTT_EAGER_DEFAULT leaves the choice to
 * $LE_UTT_HYBRID; a value >= 1 is passed to the engine as is. */
#define LE_UTT_EAGER_HYBRID (-2)
#define LE_UTT_EAGER_DEFAULT 0
#define LE_UTT_HYBRID_LOW 3
#define LE_UTT_HYBRID_HIGH 24
#define LE_UTT_HYBRID_ON_ABOVE 23
#define LE_UTT_HYBRID_OFF_AT 11

typedef struct le_utt_opts {
  const char* motion_dir;    /* the motion bundle (required); a streaming a2x bundle or a motion directory */
  int threads;               /* motion engine threads; < 1 or above the worker count: that count */
  const char* motion_ep;     /* execution provider for le_motion_create; NULL = CPU */
  const char* steady_model;  /* chunk renderer model key; NULL/"" = "b24_fp32"; "-" = none */
  int eager;                 /* LE_UTT_EAGER_HYBRID; >= 1: that eager value; else -1 and $LE_UTT_HYBRID */
  double gap_s;              /* silence that ends an utterance; 0 = 0.6 s; < 0 or NaN = never */
  int ramp_frames;           /* ramp after an end; < 1 = 6 */
  int interrupt_ramp_frames; /* ramp after an interrupt; < 1 = 4 */
  /* The members below count only when size is sizeof(le_utt_opts) (as
   * le_utt_opts_default sets it); with size 0 they take the environment's
   * values, as in a zero-initialised struct. */
  size_t size;
  const struct le_a2x_opts* audio; /* the audio engine's settings (le/le_a2x.h); NULL = the defaults */
  int pipeline_paste;        /* 1: paste on a thread of its own; 0: inline; -1: by the audio engine */
  int onset_si;              /* driver frame speech starts at; -1 = where the idle walk is */
  int stage_report;          /* 1: report the stage timings at destroy */
  /* The part of the frame the session makes and hands out (pixels of the
   * frame; width and height 0 = the whole frame): frames are pasted and
   * converted inside it only, and every pull writes window_width x
   * window_height; the context's driver video keeps only that part of its
   * decoded frames while the session lasts. A rectangle outside the frame
   * fails le_utt_create. A
   * caller built before these members may pass size up to window_x: the
   * whole frame. */
  int window_x, window_y, window_width, window_height;
  /* 1: the session makes each frame converted to I420 (BT.601 limited
   * range) and hands them out by le_utt_pull_frame_i420 alone. Over a
   * driver video (4:2:0) and a window starting on even coordinates the
   * session keeps only the part the face is pasted into, and the driver
   * frame until the frame is pulled; otherwise it keeps whole I420 frames
   * (half the bytes of RGB). */
  int frame_i420;
} le_utt_opts;
/* The defaults with the environment's values ($LE_UTT_HYBRID gives eager
 * LE_UTT_EAGER_HYBRID, $LE_STEADY_MODEL the steady model,
 * $LE_UTT_PIPELINE_PASTE, $LE_UTT_ONSET_SI, $LE_UTT_STAGE_REPORT) and size
 * set; motion_dir is left NULL. NULL is ignored. */
LE_API void le_utt_opts_default(le_utt_opts* opts);

typedef struct le_utt_frame_info {
  uint64_t seq;    /* frames produced since creation */
  int32_t kind;    /* LE_UTT_KIND_* */
  int32_t si;      /* driver frame index */
  int32_t ordinal; /* speech frame number within its utterance; -1 for idle and ramp */
} le_utt_frame_info;

typedef struct le_utt_stats {
  uint64_t frames;        /* delivered */
  uint64_t speech_frames; /* delivered speech frames */
  uint64_t onsets;        /* utterances that produced speech */
  double onset_ms;        /* last utterance: first push (or, for one that waited, the end of the
                             one before) to its first speech frame in the ring */
  double render_ms;       /* smoothed render time per speech frame */
  int32_t state;          /* LE_UTT_STATE_* */
} le_utt_stats;

/* Starts a session (threads, motion engine loading in the background; see
 * le_utt_ready). One session per context: NULL with the reason while another
 * session holds it, or on any other failure. */
LE_API le_utt* le_utt_create(le_ctx* ctx, const le_utt_opts* opts);
/* le_utt_create with every option at its default. */
LE_API le_utt* le_utt_open(le_ctx* ctx, const char* motion_dir);
/* Stops and joins the session's threads; NULL is ignored. */
LE_API void le_utt_destroy(le_utt* u);
/* Appends n samples of 16 kHz mono 16-bit PCM (n = 0: nothing) to the
 * current utterance, or starts the next one after an end (le_utt_end_utterance
 * or the gap): that one waits until the frames of the one before are all
 * made, then plays in full. 1, or 0 on bad arguments. */
LE_API int le_utt_push_audio(le_utt* u, const int16_t* samples, int n);
/* The current utterance has no more audio. */
LE_API void le_utt_end_utterance(le_utt* u);
/* Drops the current utterance, every one waiting behind it and every
 * undelivered frame; a short ramp returns to the idle loop. Speech pushed
 * after the call is the next utterance. */
LE_API void le_utt_interrupt(le_utt* u);
/* For a host that plays the speech on its own clock, a frame each 40 ms:
 * its sound has reached speech frame `ordinal` of the utterance on screen
 * (that of the last speech frame pulled). That utterance's speech frames
 * before it give way: one waiting goes when a later one waits behind it (the
 * last one waiting goes out late rather than none), and one that would not
 * be in the ring before the sound passes it is not made (the driver walk
 * steps over it; the ordinals of the frames that follow say how far the
 * speech went on). A session that cannot keep up shows the frames it can
 * make in time instead of every frame later and later. Frames of a later
 * utterance are not touched; before the utterance's first speech frame is
 * pulled the call does nothing. 1, or 0 on bad args (NULL, a negative
 * ordinal). */
LE_API int le_utt_skip_to(le_utt* u, int ordinal);
/* 1 once the motion engine is loaded, 0 before, -1 when it failed (with the
 * reason) or after a fatal render failure. */
LE_API int le_utt_ready(le_utt* u);
LE_API int le_utt_frames_available(le_utt* u);
/* Copies the next frame (width x height x 3 bytes, RGB24; the window's size
 * when le_utt_opts set one) into buf: 1, or 0
 * when none is waiting; 0 with the reason when buf is too small (the frame
 * stays for the next pull). info may be NULL. */
LE_API int le_utt_pull_frame(le_utt* u, uint8_t* buf, size_t capacity, le_utt_frame_info* info);
/* As le_utt_pull_frame, the frame as I420 into out's planes (le_i420): 1,
 * 0 when none is waiting, 0 with the reason for planes that cannot hold it
 * (the frame stays for the next pull). The planes are written only when it
 * returns 1: a caller may keep its last picture in them. */
LE_API int le_utt_pull_frame_i420(le_utt* u, const le_i420* out, le_utt_frame_info* info);
LE_API int le_utt_get_stats(le_utt* u, le_utt_stats* stats);
/* 0, or -1 after a fatal render failure; the last failure text into text
 * (truncated) and the failure count into *failures (either may be NULL). A
 * face whose render holds NaN or infinities counts as a failure that is not
 * fatal: the driver frame goes out in its place. */
LE_API int le_utt_render_status(le_utt* u, char* text, int capacity, int* failures);

/* ---- The mouth bank a bundle carries ----
 * Four members (the bank track, its sidecar, the blend head's weights and
 * its config): all four present arms the borrow, any one missing refuses it.
 * Every call takes a NULL handle (and gives 0, NULL or ""). */

typedef struct le_tessera_carriage le_tessera_carriage;
typedef struct le_tessera_members le_tessera_members;

/* 4, and the key of slot 0..3 ("bank_track", "bank_sidecar",
 * "head_weights", "head_config"); NULL outside. */
LE_API int le_tessera_slot_count(void);
LE_API const char* le_tessera_slot_key(int index);

/* Which members a bundle carries; NULL only for a NULL path or when memory
 * runs out. An unreadable bundle carries nothing (all four missing). */
LE_API le_tessera_carriage* le_tessera_carriage_open(const char* bundle);
LE_API void le_tessera_carriage_close(le_tessera_carriage* c);
LE_API int le_tessera_carriage_complete(const le_tessera_carriage* c);
/* 1 when the manifest declares a "tessera" block. */
LE_API int le_tessera_carriage_declared(const le_tessera_carriage* c);
/* The resolved path of a slot, valid until the next call on c; "" for an
 * unknown key. */
LE_API const char* le_tessera_carriage_path(le_tessera_carriage* c, const char* key);
LE_API int le_tessera_carriage_missing_count(const le_tessera_carriage* c);
LE_API const char* le_tessera_carriage_missing(const le_tessera_carriage* c, int index);

/* Loads and cross-checks the four members; NULL with the reason in err
 * (at most err_len - 1 bytes, always terminated). */
LE_API le_tessera_members* le_tessera_members_open(const char* bundle_dir, char* err, int err_len);
LE_API void le_tessera_members_close(le_tessera_members* m);
LE_API int le_tessera_members_n_donors(const le_tessera_members* m);
/* x, y per donor (2 * n_donors), one aperture per donor, the canonical
 * centre (x, y), and the twelve integers of the geometry stamp. */
LE_API const double* le_tessera_members_cent(const le_tessera_members* m);
LE_API const double* le_tessera_members_aperture(const le_tessera_members* m);
LE_API const double* le_tessera_members_c_canon(const le_tessera_members* m);
LE_API const int32_t* le_tessera_members_stamp(const le_tessera_members* m);
LE_API const uint8_t* le_tessera_members_head_pt(const le_tessera_members* m);
LE_API size_t le_tessera_members_head_pt_len(const le_tessera_members* m);
LE_API const char* le_tessera_members_head_json(const le_tessera_members* m);
LE_API const char* le_tessera_members_manifest_json(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_track_path(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_container(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_codec(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_pix_fmt(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_packing(const le_tessera_members* m);
/* The stored patch of one donor, and the whole band: n_donors patches of
 * band_h x band_w RGB24, donor after donor. */
LE_API int le_tessera_members_band_w(const le_tessera_members* m);
LE_API int le_tessera_members_band_h(const le_tessera_members* m);
LE_API uint64_t le_tessera_members_band_bytes(const le_tessera_members* m);
/* Copies a decoded track (frames in track order) into band (band_bytes) in
 * donor order: 0, or 1 with the reason in err. */
LE_API int le_tessera_members_reorder(const le_tessera_members* m, const uint8_t* track, uint8_t* band,
                                      char* err, int err_len);

/* Decodes the bank track into band (band_bytes: every donor's stored patch,
 * donor order): 0, or 1 with the reason in err. */
LE_API int le_tessera_members_decode_band(const le_tessera_members* m, uint8_t* band, uint64_t band_len, char* err,
                                          int err_len);

/* Runs the teeth pass over count frames held in memory: band (n_donors
 * stored patches, donor order), the sidecar's cent (2 * n_donors), c_canon (2)
 * and aperture (n_donors), the 12-integer geometry stamp, the head weights
 * archive and its config text; frames (canvas_w x canvas_h RGB24 each) and
 * their masks (canvas_w x canvas_h bytes each); shifts (dy, dx per frame;
 * NULL, or dy = -10000 for a frame, derives the shift from the mask). Fills
 * window_w x window_h x 3 bytes of out_windows and one out_passthrough byte
 * per frame (1: leave that frame's canvas as it is). 0, or 1 with the reason
 * in err. */
LE_API int le_tessera_run_shift(const uint8_t* band, int n_donors, const double* cent, const double* c_canon,
                                const double* aperture, const int32_t* stamp, const uint8_t* head_pt,
                                size_t head_pt_len, const char* head_config, const uint8_t* frames,
                                const uint8_t* masks, const int32_t* shifts, int count, uint8_t* out_windows,
                                uint8_t* out_passthrough, char* err, int err_len);
/* le_tessera_run_shift with every shift derived from the mask. */
LE_API int le_tessera_run(const uint8_t* band, int n_donors, const double* cent, const double* c_canon,
                          const double* aperture, const int32_t* stamp, const uint8_t* head_pt, size_t head_pt_len,
                          const char* head_config, const uint8_t* frames, const uint8_t* masks, int count,
                          uint8_t* out_windows, uint8_t* out_passthrough, char* err, int err_len);

/* Arms a session with the mouth pass: every rendered speech and ramp crop
 * gets its mouth interior borrowed from the bank before it is pasted (one
 * crop is held back, as the pass hands each one back a frame late). The
 * members are those of le_tessera_members_* with the band decoded in donor
 * order (n_donors x band_h x band_w x 3 bytes). A second attach replaces the
 * first. 0, or 1 with the reason in err, the session left as it was. */
LE_API int le_utt_tessera_attach(le_utt* u, const uint8_t* band, int n_donors, const double* cent,
                                 const double* c_canon, const double* aperture, const int32_t* stamp,
                                 const uint8_t* head_pt, int head_pt_len, const char* head_config,
                                 const char* manifest_json, char* err, int err_cap);
/* 1 armed, -1 armed but the pass failed (crops go out without it), 0 not
 * armed; the counts of borrowed and passed-through frames and the last
 * reason (or the failure) when the pointers are not NULL. */
LE_API int le_utt_tessera_stats(le_utt* u, uint64_t* borrowed, uint64_t* passthrough, char* reason, int capacity);
/* 1 once a frame was blended: the mean over frames of the extra weight
 * plane's mean, its largest maximum and the frame count; else 0. */
LE_API int le_utt_tessera_synth_w(le_utt* u, double* mean, double* max, uint64_t* count);
/* 1 with the compose geometry the bank was identified by, else 0 and "". */
LE_API int le_utt_tessera_geometry(le_utt* u, char* buf, int capacity);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_H */
