// Video members decoded with FFmpeg: the driver video (kept as 4:2:0 planes,
// delivered as RGB24) and the video-borne warp prior (yuv444p to three planes
// of halves).
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/pixdesc.h>
}

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "core/bundle.h"
#include "driver/source.h"
#include "kernels/pool.h"
#include "kernels/simd.h"
#include "core/log.h"

namespace le {
namespace driver {
namespace {

constexpr const char* kDash = "\xE2\x80\x94";

std::string errText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

[[noreturn]] void fail(const std::string& t) { throw std::runtime_error(t); }

class FfSource final : public Source {
 public:
  enum Mode { kMp4 = 0, kHevc444 = 1 };

  FfSource(Mode mode, std::string path, int nt, int w, int h, bool hwdec = true)
      : mode_(mode), path_(std::move(path)), nt_(nt), w_(w), h_(h), hwdec_(hwdec) {
    if (mode_ == kHevc444)
      for (int i = 0; i < 256; ++i) halfTab_[i] = le::f32ToF16(static_cast<float>(i) / 255.0f);
    try {
      openAll();
    } catch (...) {
      closeAll();
      throw;
    }
  }

  ~FfSource() override { closeAll(); }

  int NT() const override { return nt_; }
  int W() const override { return w_; }
  int H() const override { return h_; }
  size_t frameBytes() const override {
    return static_cast<size_t>(w_) * h_ * (mode_ == kHevc444 ? 6 : 3);
  }
  std::string name() const override { return name_; }
  std::string identity() const override {
    struct stat st;
    if (mode_ != kMp4 || ::stat(path_.c_str(), &st) != 0) return {};
    return path_ + "\n" + std::to_string(st.st_size) + "\n" + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec) + "\n" + name_;
  }

  void idle() override {
    le::log::FfmpegScope scope;
    closeAll();
  }

  size_t residentBytes() const override {
    const size_t frame = mode_ == kHevc444 ? static_cast<size_t>(w_) * h_ * 3 : static_cast<size_t>(w_) * h_ * 3 / 2;
    const int threads = threads_.load();
    if (threads == 0) return 0;  // idle
    const size_t frames = static_cast<size_t>(threads) + 5;
    return frame * frames + maxPacket_.load();
  }

  size_t storedBytes() const override {
    if (mode_ == kHevc444) return frameBytes();
    return static_cast<size_t>(w_) * h_ + 2 * chromaBytes();
  }

  bool storesDelivered() const override { return mode_ == kHevc444; }

  bool next(uint8_t* stored) override {
    le::log::FfmpegScope scope;
    reopen();
    if (!decodeOne()) return false;
    store(stored, FrameWindow::whole(w_, h_));
    av_frame_unref(frame_);
    return true;
  }

  bool cutsWindows() const override { return mode_ == kMp4; }
  bool nextWindow(uint8_t* stored, const FrameWindow& win) override {
    if (mode_ != kMp4 || (win.x | win.y) & 1) return Source::nextWindow(stored, win);
    le::log::FfmpegScope scope;
    reopen();
    if (!decodeOne()) return false;
    store(stored, win);
    av_frame_unref(frame_);
    return true;
  }

  void expand(const uint8_t* stored, uint8_t* out, int pixelBytes) const override {
    if (mode_ == kHevc444) return Source::expand(stored, out, pixelBytes);
    if (pixelBytes != 3 && pixelBytes != 4)
      throw std::runtime_error("le_driver: no " + std::to_string(pixelBytes) + "-byte pixel form");
    const size_t w = static_cast<size_t>(w_), cw = (w + 1) / 2;
    const uint8_t* Y = stored;
    const uint8_t* U = Y + w * h_;
    const uint8_t* V = U + chromaBytes();
    le::pool::parallelRange(static_cast<size_t>(h_), 64, [&](size_t b, size_t e) {
      // RGBA rows go through one RGB24 row of the calling thread's own.
      thread_local std::vector<uint8_t> row;
      if (pixelBytes == 4 && row.size() < w * 3) row.resize(w * 3);
      for (size_t y = b; y < e; ++y) {
        uint8_t* dst = pixelBytes == 3 ? out + y * w * 3 : row.data();
        le::simd::yuv420RowToRgb24(Y + y * w, U + (y / 2) * cw, V + (y / 2) * cw, w_, 1, dst);
        if (pixelBytes == 4) le::simd::rgb24ToRgba(row.data(), out + y * w * 4, w);
      }
    });
  }

  void expandWindow(const uint8_t* stored, uint8_t* out, const FrameWindow& win) const override {
    if (mode_ == kHevc444) return Source::expandWindow(stored, out, win);
    const size_t w = static_cast<size_t>(w_), cw = (w + 1) / 2;
    const uint8_t* Y = stored;
    const uint8_t* U = Y + w * h_;
    const uint8_t* V = U + chromaBytes();
    // A pixel takes the chroma of its pair (x / 2): an odd window starts
    // one pixel early, on its pair, in a row of the thread's own.
    const int x0 = win.x & ~1, lead = win.x - x0, n = win.w + lead;
    le::pool::parallelRange(static_cast<size_t>(win.h), 64, [&](size_t b, size_t e) {
      thread_local std::vector<uint8_t> row;
      if (lead && row.size() < static_cast<size_t>(n) * 3) row.resize(static_cast<size_t>(n) * 3);
      for (size_t r = b; r < e; ++r) {
        const size_t y = win.y + r;
        uint8_t* dst = out + r * win.w * 3;
        le::simd::yuv420RowToRgb24(Y + y * w + x0, U + (y / 2) * cw + x0 / 2, V + (y / 2) * cw + x0 / 2, n, 1,
                                   lead ? row.data() : dst);
        if (lead) std::memcpy(dst, row.data() + 3, static_cast<size_t>(win.w) * 3);
      }
    });
  }

  void rewind() override {
    le::log::FfmpegScope scope;
    if (!dec_) return reopen();
    if (av_seek_frame(fmt_, stream_, 0, AVSEEK_FLAG_BACKWARD) >= 0) {
      avcodec_flush_buffers(dec_);
      eof_ = false;
      delivered_ = 0;
      return;
    }
    closeAll();
    openAll();
  }

  void seek(int i) override {
    if (i < 0 || i >= nt_) fail("le_driver: seek outside the member");
    le::log::FfmpegScope scope;
    reopen();
    if (delivered_ > i) rewind();
    while (delivered_ < i) {
      if (!decodeOne())
        fail("le_driver: " + path_ + " ended at frame " + std::to_string(delivered_) + " while seeking to " +
             std::to_string(i));
      av_frame_unref(frame_);
    }
  }

 private:
  size_t chromaBytes() const { return static_cast<size_t>((w_ + 1) / 2) * ((h_ + 1) / 2); }

  // The next frame into frame_ (the caller unreferences it); false at the end.
  bool decodeOne() {
    for (;;) {
      const int r = avcodec_receive_frame(dec_, frame_);
      if (r == 0) {
        if (frame_->width != w_ || frame_->height != h_)
          fail("le_driver: " + path_ + " changed size mid-stream " + kDash + " refusing");
        ++delivered_;
        return true;
      }
      if (r == AVERROR_EOF) return false;
      if (r != AVERROR(EAGAIN))
        fail("le_driver: " + path_ + " decode fault at frame " + std::to_string(delivered_) + " (" + errText(r) + ")");
      if (eof_) return false;
      feed();
    }
  }

  // Opens the member again after idle().
  void reopen() {
    if (dec_) return;
    try {
      openAll();
    } catch (...) {
      closeAll();
      throw;
    }
  }

  void openAll() {
    le::log::FfmpegScope scope;
    if (!isRegularFile(path_) || avformat_open_input(&fmt_, path_.c_str(), nullptr, nullptr) < 0)
      fail("le_driver: " + path_ + " is not a readable container");
    // An MP4/MOV header already names the codec, its size and its parameter
    // sets; probing decodes frames (most of an open's time), so it runs only
    // for containers whose header leaves the video stream undescribed.
    if (!headerDescribesVideo() && avformat_find_stream_info(fmt_, nullptr) < 0)
      fail("le_driver: " + path_ + " carries no stream info");
    stream_ = -1;
    for (unsigned s = 0; s < fmt_->nb_streams; ++s)
      if (fmt_->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        stream_ = static_cast<int>(s);
        break;
      }
    if (stream_ < 0) fail("le_driver: " + path_ + " has no video stream");
    const AVStream* st = fmt_->streams[stream_];
    const AVCodecParameters* par = st->codecpar;
    if (par->width != w_ || par->height != h_)
      fail("le_driver: " + path_ + " is " + std::to_string(par->width) + "x" + std::to_string(par->height) +
           ", the manifest says " + std::to_string(w_) + "x" + std::to_string(h_) + " " + kDash +
           " refusing to rescale the driver");
    if (st->nb_frames > 0 && st->nb_frames != nt_)
      fail("le_driver: " + path_ + " carries " + std::to_string(st->nb_frames) + " frames, the manifest says NT=" +
           std::to_string(nt_) + " " + kDash + " member/manifest mismatch, refusing");

    const AVCodec* codec = nullptr;
    if (mode_ == kMp4 && par->codec_id == AV_CODEC_ID_H264) {
      if (!hwdec_) {
        if (!hwNoted_)
          log::printf(log::kDebug,
                      "[le-driver] LE_DRIVER_HWDEC=0 %s %s not attempted; the software decoder is the one decoder on "
                      "this fleet (same samples)\n",
                      kDash, "h264_cuvid");
        hwNoted_ = true;
      } else if (const AVCodec* cuvid = avcodec_find_decoder_by_name("h264_cuvid")) {
        bool opened = false;
        {
          // A machine without the hardware decoder's driver is expected:
          // what FFmpeg says about it is debug detail.
          le::log::FfmpegScope probe(true);
          opened = openDecoder(cuvid, par, 1, false);
        }
        if (opened) {
          codec = cuvid;
        } else if (!hwNoted_) {
          log::printf(log::kDebug,
                      "[le-driver] %s refused %s %s falling back to the software h264 decoder (same samples, more "
                      "CPU)\n",
                      "h264_cuvid", path_.c_str(), kDash);
          hwNoted_ = true;
        }
      }
    }
    if (!codec) {
      codec = avcodec_find_decoder(par->codec_id);
      if (!codec) fail("le_driver: no decoder for " + path_ + " (codec id " + std::to_string(par->codec_id) + ")");
      // One thread: a stream decodes one frame per output frame on its own
      // thread, beside renders that keep every core busy, so frame threads
      // would decode no faster; each would hold its own frames (about 4
      // decoded 1080p frames more per stream) and add a frame of latency.
      const int threads = 1;
      if (!openDecoder(codec, par, threads, true)) fail("le_driver: could not open the decoder for " + path_);
    }
    pkt_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (!pkt_ || !frame_) fail("le_driver: out of memory");
    eof_ = false;
    delivered_ = 0;
    threads_.store(std::max(dec_->thread_count, 1));
    // Kept from the first open: identity() is read beside the reader.
    if (name_.empty())
      name_ = std::string(mode_ == kMp4 ? "mp4/libavcodec " : "hevc444/libavcodec ") + LIBAVCODEC_IDENT + " " +
            codec->name + " (" + std::to_string(std::max(dec_->thread_count, 1)) + " threads)";
  }

  bool headerDescribesVideo() const {
    if (!fmt_->iformat || !std::strstr(fmt_->iformat->name, "mp4")) return false;
    for (unsigned s = 0; s < fmt_->nb_streams; ++s) {
      const AVCodecParameters* par = fmt_->streams[s]->codecpar;
      if (par->codec_type == AVMEDIA_TYPE_VIDEO)
        return par->codec_id != AV_CODEC_ID_NONE && par->width > 0 && par->height > 0 && par->extradata_size > 0;
    }
    return false;
  }

  // Opens `codec` into dec_; false (and dec_ freed) when it will not open.
  bool openDecoder(const AVCodec* codec, const AVCodecParameters* par, int threads, bool required) {
    dec_ = avcodec_alloc_context3(codec);
    if (!dec_) fail("le_driver: avcodec_alloc_context3 failed");
    if (avcodec_parameters_to_context(dec_, par) < 0) {
      avcodec_free_context(&dec_);
      fail("le_driver: avcodec_parameters_to_context failed");
    }
    dec_->thread_count = threads;
    if (threads > 1) dec_->thread_type = FF_THREAD_FRAME;
    if (avcodec_open2(dec_, codec, nullptr) < 0) {
      avcodec_free_context(&dec_);
      (void)required;
      return false;
    }
    return true;
  }

  void feed() {
    for (;;) {
      const int r = av_read_frame(fmt_, pkt_);
      if (r == AVERROR_EOF) {
        eof_ = true;
        avcodec_send_packet(dec_, nullptr);
        return;
      }
      if (r < 0) fail("le_driver: " + path_ + " read fault (" + errText(r) + ")");
      if (pkt_->stream_index != stream_) {
        av_packet_unref(pkt_);
        continue;
      }
      const size_t size = static_cast<size_t>(std::max(pkt_->size, 0));
      if (size > maxPacket_.load()) maxPacket_.store(size);
      const int s = avcodec_send_packet(dec_, pkt_);
      av_packet_unref(pkt_);
      if (s < 0 && s != AVERROR(EAGAIN)) fail("le_driver: " + path_ + " packet refused (" + errText(s) + ")");
      return;
    }
  }

  // Frames are checked as they are stored: a layout other than the one the
  // member is authored in never reaches a cursor's ring. A 4:2:0 frame is
  // stored as window `k` (whole chroma pairs) of it.
  void store(uint8_t* out, const FrameWindow& k) {
    const auto fmt = static_cast<AVPixelFormat>(frame_->format);
    const char* fname = av_get_pix_fmt_name(fmt);
    if (mode_ == kMp4) {
      if (fmt != AV_PIX_FMT_YUV420P && fmt != AV_PIX_FMT_NV12)
        fail(std::string("le_driver: ") + path_ + " decoded to " + (fname ? fname : "?") +
             ", not the 4:2:0 layout the canvas conversion is written for (yuv420p / nv12) " + kDash +
             " refusing rather than pasting onto a different pixel domain");
      const AVFrame* f = frame_;
      const size_t w = static_cast<size_t>(k.w), cw = (w + 1) / 2, ch = static_cast<size_t>((k.h + 1) / 2);
      const size_t x0 = static_cast<size_t>(k.x), cx = x0 / 2, cy = static_cast<size_t>(k.y) / 2;
      uint8_t* U = out + w * k.h;
      uint8_t* V = U + cw * ch;
      for (int y = 0; y < k.h; ++y) std::memcpy(out + y * w, f->data[0] + (k.y + y) * f->linesize[0] + x0, w);
      for (size_t y = 0; y < ch; ++y) {
        if (fmt == AV_PIX_FMT_NV12) {
          const uint8_t* uv = f->data[1] + (cy + y) * f->linesize[1] + 2 * cx;
          for (size_t x = 0; x < cw; ++x) {
            U[y * cw + x] = uv[2 * x];
            V[y * cw + x] = uv[2 * x + 1];
          }
        } else {
          std::memcpy(U + y * cw, f->data[1] + (cy + y) * f->linesize[1] + cx, cw);
          std::memcpy(V + y * cw, f->data[2] + (cy + y) * f->linesize[2] + cx, cw);
        }
      }
      return;
    }
    if (fmt != AV_PIX_FMT_YUV444P)
      fail(std::string("le_driver: ") + path_ + " decoded to " + (fname ? fname : "?") +
           ", not the yuv444p a warp prior is authored in " + kDash + " a subsampled prior is a different mouth, refusing");
    uint16_t* planes = reinterpret_cast<uint16_t*>(out);
    const size_t plane = static_cast<size_t>(w_) * h_;
    const AVFrame* f = frame_;
    const uint16_t* tab = halfTab_;
    const int w = w_;
    le::pool::parallelRange(static_cast<size_t>(h_), 32, [&](size_t b, size_t e) {
      auto clamp = [](int v) { return v < 0 ? 0 : v > 255 ? 255 : v; };
      for (size_t y = b; y < e; ++y) {
        const uint8_t* Y = f->data[0] + y * f->linesize[0];
        const uint8_t* U = f->data[1] + y * f->linesize[1];
        const uint8_t* V = f->data[2] + y * f->linesize[2];
        uint16_t* r = planes + y * w;
        for (int x = 0; x < w; ++x) {
          const int yc = (Y[x] - 16) * 76312, uc = U[x] - 128, vc = V[x] - 128;
          r[x] = tab[clamp((yc + 104600 * vc + 32768) >> 16)];
          r[plane + x] = tab[clamp((yc - 25672 * uc - 53280 * vc + 32768) >> 16)];
          r[2 * plane + x] = tab[clamp((yc + 132200 * uc + 32768) >> 16)];
        }
      }
    });
  }

  void closeAll() {
    threads_.store(0);
    av_frame_free(&frame_);
    av_packet_free(&pkt_);
    avcodec_free_context(&dec_);
    avformat_close_input(&fmt_);
  }

  Mode mode_;
  std::string path_;
  int nt_, w_, h_;
  uint16_t halfTab_[256] = {};
  AVFormatContext* fmt_ = nullptr;
  AVCodecContext* dec_ = nullptr;
  AVPacket* pkt_ = nullptr;
  AVFrame* frame_ = nullptr;
  int stream_ = -1;
  bool eof_ = false;
  int delivered_ = 0;
  // Read by statistics queries from other threads while the reader decodes.
  std::atomic<size_t> maxPacket_{0};
  std::atomic<int> threads_{0};
  bool hwdec_ = true;
  bool hwNoted_ = false;
  std::string name_;
};

}  // namespace

std::unique_ptr<Source> openMp4(const std::string& path, int nt, int w, int h, bool hwdec) {
  return std::make_unique<FfSource>(FfSource::kMp4, path, nt, w, h, hwdec);
}

std::unique_ptr<Source> openPriorHevc(const std::string& path, int nt, int side) {
  return std::make_unique<FfSource>(FfSource::kHevc444, path, nt, side, side);
}

}  // namespace driver

std::string movieDecoderBuild() {
  return std::string("libavcodec ") + AV_STRINGIFY(LIBAVCODEC_VERSION_MAJOR) "." AV_STRINGIFY(
             LIBAVCODEC_VERSION_MINOR) "." AV_STRINGIFY(LIBAVCODEC_VERSION_MICRO) " / " +
         avcodec_configuration();
}

}  // namespace le
