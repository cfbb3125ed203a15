// Whole-pipeline decode benchmarks: the driver cursor against FFmpeg's own
// decode-and-convert in the same process, and warp-prior rows per second.
// usage: driver_bench DRIVER.mp4 W H NT PRIOR.mov CROP NT_PRIOR [REPS]
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/cursor.h"
#include "driver/source.h"
#include "kernels/simd.h"

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

long rssKiB() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return 0;
}

// FFmpeg decoding the file (same decoder settings) and libswscale converting
// every frame to RGB24; loops over the file.
class PlainDecode {
 public:
  PlainDecode(const std::string& path, bool convert) : convert_(convert) {
    if (avformat_open_input(&fmt_, path.c_str(), nullptr, nullptr) < 0) throw std::runtime_error("open " + path);
    avformat_find_stream_info(fmt_, nullptr);
    stream_ = av_find_best_stream(fmt_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVCodecParameters* par = fmt_->streams[stream_]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    dec_ = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(dec_, par);
    dec_->thread_count = 4;
    dec_->thread_type = FF_THREAD_FRAME;
    avcodec_open2(dec_, codec, nullptr);
    pkt_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    rgb_.resize(static_cast<size_t>(par->width) * par->height * 3);
  }
  ~PlainDecode() {
    sws_freeContext(sws_);
    av_frame_free(&frame_);
    av_packet_free(&pkt_);
    avcodec_free_context(&dec_);
    avformat_close_input(&fmt_);
  }
  void next() {
    for (;;) {
      const int r = avcodec_receive_frame(dec_, frame_);
      if (r == 0) {
        if (convert_) {
          if (!sws_)
            sws_ = sws_getContext(frame_->width, frame_->height, static_cast<AVPixelFormat>(frame_->format), frame_->width,
                                  frame_->height, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
          uint8_t* dst[4] = {rgb_.data(), nullptr, nullptr, nullptr};
          const int stride[4] = {frame_->width * 3, 0, 0, 0};
          sws_scale(sws_, frame_->data, frame_->linesize, 0, frame_->height, dst, stride);
        }
        av_frame_unref(frame_);
        return;
      }
      if (r == AVERROR_EOF) {
        av_seek_frame(fmt_, stream_, 0, AVSEEK_FLAG_BACKWARD);
        avcodec_flush_buffers(dec_);
        eof_ = false;
        continue;
      }
      if (eof_) continue;
      if (av_read_frame(fmt_, pkt_) < 0) {
        eof_ = true;
        avcodec_send_packet(dec_, nullptr);
        continue;
      }
      if (pkt_->stream_index == stream_) avcodec_send_packet(dec_, pkt_);
      av_packet_unref(pkt_);
    }
  }

 private:
  bool convert_;
  AVFormatContext* fmt_ = nullptr;
  AVCodecContext* dec_ = nullptr;
  AVPacket* pkt_ = nullptr;
  AVFrame* frame_ = nullptr;
  SwsContext* sws_ = nullptr;
  int stream_ = -1;
  bool eof_ = false;
  std::vector<uint8_t> rgb_;
};

// Seconds per frame over `frames` calls, median of `reps` runs.
double perFrame(int reps, int frames, const std::function<void()>& one) {
  std::vector<double> t;
  for (int r = 0; r < reps; ++r) {
    const auto a = Clock::now();
    for (int i = 0; i < frames; ++i) one();
    t.push_back(std::chrono::duration<double>(Clock::now() - a).count() / frames);
  }
  return median(t);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 8) {
    std::fprintf(stderr, "usage: driver_bench DRIVER.mp4 W H NT PRIOR.mov CROP NT_PRIOR [REPS]\n");
    return 2;
  }
  const std::string mp4 = argv[1], prior = argv[5];
  const int W = std::atoi(argv[2]), H = std::atoi(argv[3]), nt = std::atoi(argv[4]);
  const int crop = std::atoi(argv[6]), ntPrior = std::atoi(argv[7]);
  const int reps = argc > 8 ? std::atoi(argv[8]) : 5;

  {
    auto cursor = le::DriverCursor::over(le::driver::openMp4(mp4, nt, W, H), 2, 11);
    // The consumer reads each frame in the ring, as the paste does; the peer
    // leaves each frame in its own buffer.
    int idx = -1;
    volatile uint8_t sink = 0;
    // Warm up past the ring, so that every slot is faulted in.
    for (int i = 0; i < 20; ++i) cursor->pull(&idx);
    PlainDecode peer(mp4, true);
    for (int i = 0; i < 10; ++i) peer.next();
    // Alternate the two, one pass over the video each, so that drift in a
    // shared machine's speed falls on both alike. Each of our passes starts
    // with the cursor's look-ahead (2 of the 100 frames) already decoded, as
    // it is in steady state while the consumer works.
    std::vector<double> to, tp;
    for (int r = 0; r < reps; ++r) {
      to.push_back(perFrame(1, nt, [&] { sink = sink + cursor->pull(&idx)[0]; }));
      tp.push_back(perFrame(1, nt, [&] { peer.next(); }));
    }
    const double ours = median(to), theirs = median(tp);
    std::printf("context: highway target %s; cursor resident %zu bytes (ring of 14 frames + decoder), process RSS %ld KiB\n",
                le::simd::target(), cursor->residentBytes(), rssKiB());
    std::printf("bench driver_decode_1080p ours=%.3f peer=%.3f unit=ms ratio=%.2f (%.1f fps vs %.1f fps)\n",
                ours * 1e3, theirs * 1e3, theirs / ours, 1 / ours, 1 / theirs);
  }
  {
    auto cursor = le::DriverCursor::over(le::driver::openPriorHevc(prior, ntPrior, crop), 2, 11);
    int idx = -1;
    volatile uint8_t sink = 0;
    for (int i = 0; i < 5; ++i) cursor->pull(&idx);
    const double ours = perFrame(reps, ntPrior, [&] { sink = sink + cursor->pull(&idx)[0]; });
    PlainDecode peer(prior, false);
    for (int i = 0; i < 5; ++i) peer.next();
    const double theirs = perFrame(reps, ntPrior, [&] { peer.next(); });
    std::printf("bench prior_decode ours=%.3f peer=%.3f unit=ms ratio=%.2f (%.1f rows/s; peer: FFmpeg decode alone)\n",
                ours * 1e3, theirs * 1e3, theirs / ours, 1 / ours);
  }
  return 0;
}
