#pragma once

// FFmpeg handles, each owned by a unique_ptr that frees it the one way FFmpeg wants.
// Header only: shared by the host's encoders and the viewer's renderer, which link FFmpeg themselves
// (base does not, and core never includes this).

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
}

#include <memory>

namespace pellora {

struct AVCodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct AVFrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct AVPacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct AVBufferUnref {
  void operator()(AVBufferRef* b) const { av_buffer_unref(&b); }
};

using AVCodecContextPtr = std::unique_ptr<AVCodecContext, AVCodecContextFree>;
using AVFramePtr = std::unique_ptr<AVFrame, AVFrameFree>;
using AVPacketPtr = std::unique_ptr<AVPacket, AVPacketFree>;
using AVBufferPtr = std::unique_ptr<AVBufferRef, AVBufferUnref>;

}  // namespace pellora
