#include "tools/video_out.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace le::tools {
namespace {

std::string avError(int rc) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(rc, buf, sizeof buf);
  return buf;
}

void check(int rc, const std::string& what) {
  if (rc < 0) throw std::runtime_error(what + ": " + avError(rc));
}

}  // namespace

struct Mp4Writer::Impl {
  int W = 0, H = 0, encW = 0, encH = 0;
  AVFormatContext* fmt = nullptr;
  AVCodecContext* enc = nullptr;
  AVStream* stream = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  SwsContext* sws = nullptr;
  int64_t pts = 0;
  bool headerWritten = false, finished = false;
  // The audio track.
  AVCodecContext* aenc = nullptr;
  AVStream* astream = nullptr;
  AVFrame* aframe = nullptr;
  std::vector<float> abuf;
  int64_t apts = 0;

  ~Impl() {
    av_frame_free(&aframe);
    avcodec_free_context(&aenc);
    sws_freeContext(sws);
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&enc);
    if (fmt) {
      if (fmt->pb) avio_closep(&fmt->pb);
      avformat_free_context(fmt);
    }
  }

  // Sends `f` (NULL drains) to encoder `c` of stream `s` and writes every
  // packet it returns.
  void encode(AVCodecContext* c, AVStream* s, const AVFrame* f) {
    check(avcodec_send_frame(c, f), "encoder");
    for (;;) {
      const int rc = avcodec_receive_packet(c, packet);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
      check(rc, "encoder");
      av_packet_rescale_ts(packet, c->time_base, s->time_base);
      packet->stream_index = s->index;
      check(av_interleaved_write_frame(fmt, packet), "mp4 writer");
    }
  }
  void encode(const AVFrame* f) { encode(enc, stream, f); }

  // Whole audio frames from the buffer; with `all`, the rest padded with
  // silence.
  void encodeAudio(bool all) {
    const size_t n = static_cast<size_t>(aenc->frame_size);
    while (abuf.size() >= n || (all && !abuf.empty())) {
      if (abuf.size() < n) abuf.resize(n, 0.0f);
      check(av_frame_make_writable(aframe), "mp4 writer");
      std::copy(abuf.begin(), abuf.begin() + static_cast<std::ptrdiff_t>(n), reinterpret_cast<float*>(aframe->data[0]));
      abuf.erase(abuf.begin(), abuf.begin() + static_cast<std::ptrdiff_t>(n));
      aframe->pts = apts;
      apts += static_cast<int64_t>(n);
      encode(aenc, astream, aframe);
    }
  }
};

Mp4Writer::Mp4Writer(const std::string& path, int W, int H, int fps, int audioRate) : impl_(std::make_unique<Impl>()) {
  Impl& I = *impl_;
  I.W = W;
  I.H = H;
  I.encW = W & ~1;
  I.encH = H & ~1;
  if (I.encW < 2 || I.encH < 2 || fps < 1) throw std::runtime_error("mp4 writer: bad frame size or rate");
  check(avformat_alloc_output_context2(&I.fmt, nullptr, "mp4", path.c_str()), "mp4 writer " + path);
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_H264);
  if (!codec) throw std::runtime_error("mp4 writer: this libavcodec has no H.264 encoder");
  I.enc = avcodec_alloc_context3(codec);
  if (!I.enc) throw std::runtime_error("mp4 writer: out of memory");
  I.enc->width = I.encW;
  I.enc->height = I.encH;
  I.enc->pix_fmt = AV_PIX_FMT_YUV420P;
  I.enc->time_base = AVRational{1, fps};
  I.enc->framerate = AVRational{fps, 1};
  I.enc->gop_size = fps;
  I.enc->color_range = AVCOL_RANGE_MPEG;
  I.enc->colorspace = AVCOL_SPC_BT470BG;
  if (I.fmt->oformat->flags & AVFMT_GLOBALHEADER) I.enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_opt_set(I.enc->priv_data, "preset", "veryfast", 0);
  av_opt_set(I.enc->priv_data, "crf", "18", 0);
  check(avcodec_open2(I.enc, codec, nullptr), std::string("encoder ") + codec->name);
  I.stream = avformat_new_stream(I.fmt, nullptr);
  if (!I.stream) throw std::runtime_error("mp4 writer: out of memory");
  check(avcodec_parameters_from_context(I.stream->codecpar, I.enc), "mp4 writer");
  I.stream->time_base = I.enc->time_base;
  I.stream->avg_frame_rate = I.enc->framerate;
  if (audioRate > 0) {
    const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!aac) throw std::runtime_error("mp4 writer: this libavcodec has no AAC encoder");
    I.aenc = avcodec_alloc_context3(aac);
    if (!I.aenc) throw std::runtime_error("mp4 writer: out of memory");
    I.aenc->sample_fmt = AV_SAMPLE_FMT_FLTP;
    I.aenc->sample_rate = audioRate;
    av_channel_layout_default(&I.aenc->ch_layout, 1);
    I.aenc->bit_rate = 64000;
    I.aenc->time_base = AVRational{1, audioRate};
    if (I.fmt->oformat->flags & AVFMT_GLOBALHEADER) I.aenc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check(avcodec_open2(I.aenc, aac, nullptr), "encoder aac");
    I.astream = avformat_new_stream(I.fmt, nullptr);
    if (!I.astream) throw std::runtime_error("mp4 writer: out of memory");
    check(avcodec_parameters_from_context(I.astream->codecpar, I.aenc), "mp4 writer");
    I.astream->time_base = I.aenc->time_base;
    I.aframe = av_frame_alloc();
    if (!I.aframe) throw std::runtime_error("mp4 writer: out of memory");
    I.aframe->format = AV_SAMPLE_FMT_FLTP;
    I.aframe->nb_samples = I.aenc->frame_size;
    I.aframe->sample_rate = audioRate;
    av_channel_layout_default(&I.aframe->ch_layout, 1);
    check(av_frame_get_buffer(I.aframe, 0), "mp4 writer");
  }
  check(avio_open(&I.fmt->pb, path.c_str(), AVIO_FLAG_WRITE), "cannot write " + path);
  check(avformat_write_header(I.fmt, nullptr), "mp4 writer " + path);
  I.headerWritten = true;

  I.frame = av_frame_alloc();
  I.packet = av_packet_alloc();
  if (!I.frame || !I.packet) throw std::runtime_error("mp4 writer: out of memory");
  I.frame->format = AV_PIX_FMT_YUV420P;
  I.frame->width = I.encW;
  I.frame->height = I.encH;
  check(av_frame_get_buffer(I.frame, 0), "mp4 writer");
  // BT.601 limited range, the driver video's own convention.
  I.sws = sws_getContext(I.encW, I.encH, AV_PIX_FMT_RGBA, I.encW, I.encH, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr,
                         nullptr, nullptr);
  if (!I.sws) throw std::runtime_error("mp4 writer: no RGBA to yuv420p conversion");
}

Mp4Writer::~Mp4Writer() {
  try {
    finish();
  } catch (const std::exception&) {
  }
}

void Mp4Writer::push(const uint8_t* rgba) {
  Impl& I = *impl_;
  if (I.finished) throw std::runtime_error("mp4 writer: push after finish");
  check(av_frame_make_writable(I.frame), "mp4 writer");
  const uint8_t* src[1] = {rgba};
  const int stride[1] = {I.W * 4};
  sws_scale(I.sws, src, stride, 0, I.encH, I.frame->data, I.frame->linesize);
  I.frame->pts = I.pts++;
  I.encode(I.frame);
}

void Mp4Writer::pushAudio(const float* samples, size_t n) {
  Impl& I = *impl_;
  if (!I.aenc) throw std::runtime_error("mp4 writer: no audio track");
  if (I.finished) throw std::runtime_error("mp4 writer: audio after finish");
  I.abuf.insert(I.abuf.end(), samples, samples + n);
  I.encodeAudio(false);
}

void Mp4Writer::finish() {
  Impl& I = *impl_;
  if (I.finished || !I.headerWritten) return;
  I.finished = true;
  I.encode(nullptr);
  if (I.aenc) {
    I.encodeAudio(true);
    I.encode(I.aenc, I.astream, nullptr);
  }
  check(av_write_trailer(I.fmt), "mp4 writer");
  check(avio_closep(&I.fmt->pb), "mp4 writer");
}

const char* Mp4Writer::encoderName() const { return impl_->enc->codec->name; }
int64_t Mp4Writer::frames() const { return impl_->pts; }

void writePng(const std::string& path, const uint8_t* rgba, int W, int H) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (!codec) throw std::runtime_error("png: this libavcodec has no PNG encoder");
  struct Owned {
    AVCodecContext* enc = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    ~Owned() {
      av_packet_free(&packet);
      av_frame_free(&frame);
      avcodec_free_context(&enc);
    }
  } o;
  o.enc = avcodec_alloc_context3(codec);
  o.frame = av_frame_alloc();
  o.packet = av_packet_alloc();
  if (!o.enc || !o.frame || !o.packet) throw std::runtime_error("png: out of memory");
  o.enc->width = W;
  o.enc->height = H;
  o.enc->pix_fmt = AV_PIX_FMT_RGB24;
  o.enc->time_base = AVRational{1, 25};
  check(avcodec_open2(o.enc, codec, nullptr), "png encoder");
  o.frame->format = AV_PIX_FMT_RGB24;
  o.frame->width = W;
  o.frame->height = H;
  check(av_frame_get_buffer(o.frame, 0), "png");
  for (int y = 0; y < H; ++y) {
    uint8_t* dst = o.frame->data[0] + static_cast<ptrdiff_t>(y) * o.frame->linesize[0];
    const uint8_t* src = rgba + static_cast<size_t>(y) * W * 4;
    for (int x = 0; x < W; ++x) {
      dst[x * 3] = src[x * 4];
      dst[x * 3 + 1] = src[x * 4 + 1];
      dst[x * 3 + 2] = src[x * 4 + 2];
    }
  }
  check(avcodec_send_frame(o.enc, o.frame), "png encoder");
  check(avcodec_send_frame(o.enc, nullptr), "png encoder");
  check(avcodec_receive_packet(o.enc, o.packet), "png encoder");
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot write " + path);
  const bool ok = std::fwrite(o.packet->data, 1, static_cast<size_t>(o.packet->size), f) ==
                  static_cast<size_t>(o.packet->size);
  if (std::fclose(f) != 0 || !ok) throw std::runtime_error("cannot write " + path);
}

}  // namespace le::tools
