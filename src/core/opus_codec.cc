#include "core/opus_codec.h"

#include <opus.h>

#include <algorithm>
#include <limits>

namespace pellora {

OpusError::OpusError(Kind kind, std::int32_t status)
    : kind_(kind),
      status_(status),
      description_("Opus hatası " + std::to_string(status) + ": " + opus_strerror(status)) {}

void OpusEncoder::Free::operator()(::OpusEncoder* e) const { opus_encoder_destroy(e); }
void OpusDecoder::Free::operator()(::OpusDecoder* d) const { opus_decoder_destroy(d); }

OpusEncoder::OpusEncoder(int channels, std::uint32_t bitrate) : channels_(channels) {
  int status = OPUS_OK;
  // Channel counts other than 1 and 2 are rejected by the library itself.
  converter_.reset(opus_encoder_create(Opus::sampleRate, channels, OPUS_APPLICATION_AUDIO, &status));
  if (status != OPUS_OK || !converter_) throw OpusError::converter(status != OPUS_OK ? status : OPUS_ALLOC_FAIL);
  // The library takes an int; its special values are negative, so a huge rate must not wrap into one.
  const auto rate = static_cast<opus_int32>(std::min<std::uint32_t>(bitrate, std::numeric_limits<opus_int32>::max()));
  status = opus_encoder_ctl(converter_.get(), OPUS_SET_BITRATE(rate));
  if (status != OPUS_OK) throw OpusError::converter(status);
  pending_.reserve(static_cast<std::size_t>(channels_) * Opus::frameSize);
}

OpusEncoder::~OpusEncoder() = default;
OpusEncoder::OpusEncoder(OpusEncoder&&) noexcept = default;
OpusEncoder& OpusEncoder::operator=(OpusEncoder&&) noexcept = default;

std::vector<Bytes> OpusEncoder::encode(std::span<const float> samples) {
  std::vector<Bytes> packets;
  if (!converter_) return packets;  // moved from
  pending_.insert(pending_.end(), samples.begin(), samples.end());
  const std::size_t frameSamples = static_cast<std::size_t>(channels_) * Opus::frameSize;
  std::size_t used = 0;
  std::uint8_t out[Opus::maxPacketBytes];
  for (; pending_.size() - used >= frameSamples; used += frameSamples) {
    const opus_int32 n =
        opus_encode_float(converter_.get(), pending_.data() + used, Opus::frameSize, out, sizeof out);
    if (n > 0) packets.emplace_back(out, out + n);
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
  return packets;
}

OpusDecoder::OpusDecoder(int channels) : channels_(channels) {
  int status = OPUS_OK;
  converter_.reset(opus_decoder_create(Opus::sampleRate, channels, &status));
  if (status != OPUS_OK || !converter_) throw OpusError::converter(status != OPUS_OK ? status : OPUS_ALLOC_FAIL);
}

OpusDecoder::~OpusDecoder() = default;
OpusDecoder::OpusDecoder(OpusDecoder&&) noexcept = default;
OpusDecoder& OpusDecoder::operator=(OpusDecoder&&) noexcept = default;

std::vector<float> OpusDecoder::decode(ByteView packet) {
  // An empty packet would ask the library to conceal a loss; that is not what the peer sent.
  if (!converter_ || packet.empty() || packet.size() > static_cast<std::size_t>(std::numeric_limits<opus_int32>::max()))
    return {};
  std::vector<float> out(static_cast<std::size_t>(channels_) * Opus::frameSize);
  // The frame limit bounds the output: a packet longer than 20 ms fails here instead of growing it.
  const int frames = opus_decode_float(converter_.get(), packet.data(), static_cast<opus_int32>(packet.size()),
                                       out.data(), Opus::frameSize, 0);
  if (frames <= 0) return {};
  out.resize(static_cast<std::size_t>(frames) * channels_);
  return out;
}

}  // namespace pellora
