#include "tools/audio_in.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/samplefmt.h>
}

#include <cmath>
#include <memory>
#include <stdexcept>

namespace le::tools {
namespace {

[[noreturn]] void fail(const std::string& t) { throw std::runtime_error(t); }

// Sample i of channel c of a decoded frame, as float.
float sampleAt(const AVFrame* f, int c, int i) {
  const auto fmt = static_cast<AVSampleFormat>(f->format);
  const bool planar = av_sample_fmt_is_planar(fmt);
  const int ch = f->ch_layout.nb_channels;
  const uint8_t* base = planar ? f->extended_data[c] : f->extended_data[0];
  const int at = planar ? i : i * ch + c;
  switch (av_get_packed_sample_fmt(fmt)) {
    case AV_SAMPLE_FMT_U8: return (reinterpret_cast<const uint8_t*>(base)[at] - 128) / 128.0f;
    case AV_SAMPLE_FMT_S16: return reinterpret_cast<const int16_t*>(base)[at] / 32768.0f;
    case AV_SAMPLE_FMT_S32: return static_cast<float>(reinterpret_cast<const int32_t*>(base)[at] / 2147483648.0);
    case AV_SAMPLE_FMT_FLT: return reinterpret_cast<const float*>(base)[at];
    case AV_SAMPLE_FMT_DBL: return static_cast<float>(reinterpret_cast<const double*>(base)[at]);
    default: fail(std::string("unsupported sample format ") + av_get_sample_fmt_name(fmt));
  }
}

}  // namespace

std::vector<float> resampleTo16k(const std::vector<float>& x, int rate) {
  if (rate == 16000 || x.empty()) return x;
  const double ratio = 16000.0 / rate;
  const double cutoff = std::min(1.0, ratio);       // of the input's Nyquist
  const int half = static_cast<int>(std::ceil(16 / cutoff));
  const size_t n = static_cast<size_t>(std::floor(x.size() * ratio));
  std::vector<float> y(n);
  for (size_t k = 0; k < n; ++k) {
    const double centre = k / ratio;
    const long c = static_cast<long>(std::floor(centre));
    double s = 0, wsum = 0;
    for (long i = c - half + 1; i <= c + half; ++i) {
      if (i < 0 || i >= static_cast<long>(x.size())) continue;
      const double d = (i - centre) * cutoff;
      const double sinc = d == 0 ? 1.0 : std::sin(M_PI * d) / (M_PI * d);
      const double win = 0.5 + 0.5 * std::cos(M_PI * (i - centre) / (half + 1));
      s += x[static_cast<size_t>(i)] * sinc * win;
      wsum += sinc * win;
    }
    y[k] = static_cast<float>(wsum != 0 ? s / wsum : 0.0);
  }
  return y;
}

std::vector<float> readSpeech(const std::string& path) {
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) fail("cannot open " + path);
  std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> fmtOwner(fmt, [](AVFormatContext* f) {
    avformat_close_input(&f);
  });
  if (avformat_find_stream_info(fmt, nullptr) < 0) fail(path + ": no stream information");
  const AVCodec* codec = nullptr;
  const int si = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (si < 0 || !codec) fail(path + ": no audio stream");
  std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> dec(avcodec_alloc_context3(codec), [](AVCodecContext* c) {
    avcodec_free_context(&c);
  });
  if (!dec || avcodec_parameters_to_context(dec.get(), fmt->streams[si]->codecpar) < 0 ||
      avcodec_open2(dec.get(), codec, nullptr) < 0)
    fail(path + ": cannot open the audio decoder");
  std::unique_ptr<AVPacket, void (*)(AVPacket*)> pkt(av_packet_alloc(), [](AVPacket* p) { av_packet_free(&p); });
  std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(), [](AVFrame* f) { av_frame_free(&f); });
  std::vector<float> mono;
  int rate = 0;
  auto drain = [&] {
    while (avcodec_receive_frame(dec.get(), frame.get()) == 0) {
      rate = frame->sample_rate;
      const int ch = std::max(1, frame->ch_layout.nb_channels);
      for (int i = 0; i < frame->nb_samples; ++i) {
        float s = 0;
        for (int c = 0; c < ch; ++c) s += sampleAt(frame.get(), c, i);
        mono.push_back(s / ch);
      }
    }
  };
  while (av_read_frame(fmt, pkt.get()) >= 0) {
    if (pkt->stream_index == si && avcodec_send_packet(dec.get(), pkt.get()) >= 0) drain();
    av_packet_unref(pkt.get());
  }
  avcodec_send_packet(dec.get(), nullptr);
  drain();
  if (mono.empty() || rate <= 0) fail(path + ": no audio decoded");
  for (float v : mono)
    if (!std::isfinite(v)) fail(path + ": holds a non-finite sample");
  return resampleTo16k(mono, rate);
}

}  // namespace le::tools
