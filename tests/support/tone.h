#pragma once

// Test tones and the measurements that tell whether a tone survived a codec or a sound server.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <span>
#include <vector>

namespace pellora::test {

// `frames` interleaved frames, channel c carrying a sine of hz[c] at `amplitude`, starting at frame `from`.
inline std::vector<float> tone(const std::vector<double>& hz, std::size_t frames, std::size_t from = 0,
                               float amplitude = 0.5f) {
  std::vector<float> out(frames * hz.size());
  for (std::size_t i = 0; i < frames; ++i)
    for (std::size_t c = 0; c < hz.size(); ++c)
      out[i * hz.size() + c] = amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * hz[c] *
                                                                       static_cast<double>(i + from) / 48'000));
  return out;
}

// One channel of interleaved samples.
inline std::vector<float> channelOf(std::span<const float> samples, int channels, int channel) {
  std::vector<float> out;
  for (std::size_t i = static_cast<std::size_t>(channel); i < samples.size(); i += static_cast<std::size_t>(channels))
    out.push_back(samples[i]);
  return out;
}

// Frequency in Hz from the rising zero crossings, at 48 kHz (interpolated between samples).
inline double zeroCrossingHz(std::span<const float> mono) {
  double first = -1, last = -1;
  int crossings = 0;
  for (std::size_t i = 1; i < mono.size(); ++i) {
    if (mono[i - 1] < 0 && mono[i] >= 0) {
      const double at = static_cast<double>(i - 1) + mono[i - 1] / (mono[i - 1] - mono[i]);
      if (first < 0) first = at;
      last = at;
      ++crossings;
    }
  }
  return crossings < 2 ? 0 : (crossings - 1) * 48'000.0 / (last - first);
}

// Amplitude of the `hz` component (Goertzel filter), comparable with the amplitude given to `tone`.
inline double amplitudeAt(std::span<const float> mono, double hz) {
  const double w = 2 * std::numbers::pi * hz / 48'000, coeff = 2 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (float x : mono) {
    const double s = x + coeff * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
  return 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(mono.size());
}

}  // namespace pellora::test
