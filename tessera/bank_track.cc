#include "tessera/bank_track.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include <cstring>
#include <memory>
#include <stdexcept>

#include "core/log.h"

namespace le::tessera {
namespace {

[[noreturn]] void refuse(const std::string& text) { throw std::runtime_error(text); }

// The whole band the engine holds for one bank.
constexpr uint64_t kMaxBandBytes = 4ull << 30;

struct Memory {
  const uint8_t* data;
  int64_t size;
  int64_t pos;
};

int readMemory(void* opaque, uint8_t* buf, int size) {
  auto* m = static_cast<Memory*>(opaque);
  const int64_t left = m->size - m->pos;
  if (left <= 0 || size <= 0) return AVERROR_EOF;
  const int n = static_cast<int>(std::min<int64_t>(left, size));
  std::memcpy(buf, m->data + m->pos, static_cast<size_t>(n));
  m->pos += n;
  return n;
}

int64_t seekMemory(void* opaque, int64_t offset, int whence) {
  auto* m = static_cast<Memory*>(opaque);
  int64_t base;
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE: return m->size;
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = m->pos; break;
    case SEEK_END: base = m->size; break;
    default: return -1;
  }
  if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0 || base + offset > m->size) return -1;
  m->pos = base + offset;
  return m->pos;
}

// Everything FFmpeg hands out, released on every path: the format context
// first (it leaves a caller's I/O alone), then the I/O context with whatever
// buffer it holds now (FFmpeg may have replaced the one it was given).
struct Decoder {
  uint8_t* ioBuffer = nullptr;
  AVIOContext* io = nullptr;
  AVFormatContext* fmt = nullptr;
  bool opened = false;
  AVCodecContext* codec = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  SwsContext* sws = nullptr;

  ~Decoder() {
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    if (opened)
      avformat_close_input(&fmt);
    else
      avformat_free_context(fmt);
    if (io) {
      av_freep(&io->buffer);
      avio_context_free(&io);
    } else {
      av_free(ioBuffer);
    }
  }
};

}  // namespace

std::string bankDecoderBuild() {
  return std::string("libavcodec " AV_STRINGIFY(LIBAVCODEC_VERSION) " / ") + avcodec_configuration();
}

std::vector<uint8_t> decodeBankTrack(const uint8_t* bytes, size_t size, int32_t n, int32_t height, int32_t width,
                                     const std::vector<int32_t>& order) {
  if (!bytes || size == 0) refuse("reference bank track is empty — refusing to serve");
  if (height <= 0 || width <= 0 || n <= 0) refuse("reference bank geometry is not positive — refusing to serve");
  if (order.size() != static_cast<size_t>(n))
    refuse("reference bank sidecar track_order has " + std::to_string(order.size()) + " entries, expected " +
           std::to_string(n) + " — sidecar/track mismatch, refusing to serve");
  std::vector<char> seen(static_cast<size_t>(n), 0);
  for (const int32_t k : order)
    if (k < 0 || k >= n) refuse("reference bank track_order is out of range — refusing to serve");
  for (const int32_t k : order) {
    if (seen[static_cast<size_t>(k)]) refuse("reference bank track_order is not a permutation — refusing to serve");
    seen[static_cast<size_t>(k)] = 1;
  }
  const uint64_t frameBytes = static_cast<uint64_t>(height) * static_cast<uint64_t>(width) * 3u;
  if (frameBytes * static_cast<uint64_t>(n) > kMaxBandBytes)
    refuse("reference bank of " + std::to_string(n) + " frames of " + std::to_string(width) + "x" +
           std::to_string(height) + " is over the 4 GiB the engine holds for one bank — refusing to serve");

  log::routeFfmpeg();
  log::FfmpegScope scope;
  Memory mem{bytes, static_cast<int64_t>(size), 0};
  Decoder d;
  constexpr int kIoBytes = 65536;
  d.ioBuffer = static_cast<uint8_t*>(av_malloc(kIoBytes));
  if (!d.ioBuffer) refuse("reference bank decode: out of memory");
  d.io = avio_alloc_context(d.ioBuffer, kIoBytes, 0, &mem, readMemory, nullptr, seekMemory);
  if (!d.io) refuse("reference bank decode: avio_alloc_context failed");
  d.fmt = avformat_alloc_context();
  if (!d.fmt) refuse("reference bank decode: avformat_alloc_context failed");
  d.fmt->pb = d.io;
  d.fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
  if (avformat_open_input(&d.fmt, nullptr, nullptr, nullptr) < 0)
    refuse("reference bank track is not a readable container — refusing to serve");  // fmt freed by FFmpeg
  d.opened = true;
  if (avformat_find_stream_info(d.fmt, nullptr) < 0)
    refuse("reference bank track carries no stream info — refusing to serve");
  int stream = -1;
  for (unsigned i = 0; i < d.fmt->nb_streams; ++i)
    if (d.fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      stream = static_cast<int>(i);
      break;
    }
  if (stream < 0) refuse("reference bank track has no video stream — refusing to serve");
  const AVCodecParameters* par = d.fmt->streams[stream]->codecpar;
  if (par->width != width || par->height != height)
    refuse("reference bank track is " + std::to_string(par->width) + "x" + std::to_string(par->height) +
           ", the geometry stamp says " + std::to_string(width) + "x" + std::to_string(height) +
           " — geometry mismatch, refusing to serve");
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec)
    refuse("no decoder for the reference bank track — this build must carry the h264 decoder (see "
           "build_ffmpeg_android); refusing to serve");
  d.codec = avcodec_alloc_context3(codec);
  if (!d.codec) refuse("reference bank decode: avcodec_alloc_context3 failed");
  if (avcodec_parameters_to_context(d.codec, par) < 0)
    refuse("reference bank decode: avcodec_parameters_to_context failed");
  if (avcodec_open2(d.codec, codec, nullptr) < 0)
    refuse("reference bank decode: could not open the decoder — refusing to serve");
  d.packet = av_packet_alloc();
  d.frame = av_frame_alloc();
  if (!d.packet || !d.frame) refuse("reference bank decode: out of memory");

  // Sized only now, from the stamp the coded size has just matched.
  std::vector<uint8_t> band(static_cast<size_t>(frameBytes) * static_cast<size_t>(n));
  int64_t k = 0;
  int format = -1;
  auto receive = [&] {
    while (avcodec_receive_frame(d.codec, d.frame) == 0) {
      if (d.frame->width != width || d.frame->height != height)
        refuse("reference bank frame changed size mid-track — refusing to serve");
      if (!d.sws) {
        format = d.frame->format;
        d.sws = sws_getContext(width, height, static_cast<AVPixelFormat>(format), width, height, AV_PIX_FMT_RGB24,
                               SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!d.sws) refuse("reference bank decode: no rgb24 conversion — refusing to serve");
      } else if (d.frame->format != format) {
        refuse("reference bank frame changed pixel format mid-track — refusing to serve");
      }
      if (k >= n)
        refuse("bank track carries more frames than the sidecar's n_donors — sidecar/track mismatch, refusing to "
               "serve");
      uint8_t* dst[4] = {band.data() + static_cast<size_t>(order[static_cast<size_t>(k)]) * frameBytes, nullptr,
                         nullptr, nullptr};
      const int stride[4] = {width * 3, 0, 0, 0};
      sws_scale(d.sws, d.frame->data, d.frame->linesize, 0, height, dst, stride);
      av_frame_unref(d.frame);
      ++k;
    }
  };
  while (av_read_frame(d.fmt, d.packet) >= 0) {
    if (d.packet->stream_index == stream) {
      const int sent = avcodec_send_packet(d.codec, d.packet);
      av_packet_unref(d.packet);
      if (sent < 0 && sent != AVERROR(EAGAIN)) break;
      receive();
    } else {
      av_packet_unref(d.packet);
    }
  }
  avcodec_send_packet(d.codec, nullptr);
  receive();
  if (k != n)
    refuse("bank track decoded to " + std::to_string(k) + " frames, expected " + std::to_string(n) +
           " — geometry/N mismatch, refusing to serve");
  return band;
}

}  // namespace le::tessera
