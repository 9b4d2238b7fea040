#pragma once
// The frame copy between two audio buffers, one sample at a time, written from its rules and
// nothing else: channels paired by speaker position, target speakers without a source zero
// filled, samples converted between widths with 64-bit products truncated toward zero and
// clamped. Works on byte images of the two sample areas, so the buffers' own code is not used.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace portwise::fuzz {

// What the copy needs to know about one side.
struct TFrameLayout {
  std::uint32_t Channels = 0;
  std::uint32_t Mask = 0;
  std::uint32_t Width = 0;  // container bytes
  std::uint32_t Align = 0;  // bytes per frame
  std::uint32_t Frames = 0;
};

inline bool RefValidWidth(std::uint32_t AWidth) { return AWidth >= 1 && AWidth <= 4; }

inline std::int64_t RefMax(std::uint32_t AWidth) {
  return AWidth == 1 ? 255 : (std::int64_t{1} << (8 * AWidth - 1)) - 1;
}
inline std::int64_t RefMin(std::uint32_t AWidth) { return AWidth == 1 ? 0 : -(std::int64_t{1} << (8 * AWidth - 1)); }

inline std::int64_t RefLoad(const std::uint8_t* p, std::uint32_t AWidth) {
  std::uint32_t u = 0;
  for (std::uint32_t i = 0; i < AWidth; ++i) u |= std::uint32_t{p[i]} << (8 * i);
  if (AWidth == 1) return u;
  const std::uint32_t sign = 1u << (8 * AWidth - 1);
  return AWidth == 4 ? std::int64_t{static_cast<std::int32_t>(u)} : std::int64_t(u & (sign - 1)) - std::int64_t(u & sign);
}

inline void RefStore(std::uint8_t* p, std::uint32_t AWidth, std::int64_t AValue) {
  const auto u = static_cast<std::uint32_t>(AValue);
  for (std::uint32_t i = 0; i < AWidth; ++i) p[i] = static_cast<std::uint8_t>(u >> (8 * i));
}

inline std::int64_t RefConvert(std::int64_t x, std::uint32_t AFrom, std::uint32_t ATo) {
  if (AFrom == ATo) return x;
  std::int64_t r;
  if (AFrom == 1 && ATo == 2) r = x * 257 - 32768;
  else if (AFrom == 1 && ATo == 4) r = x * 16843009 - 2147483648LL;
  else if (AFrom == 1 && ATo == 3) r = (x - 127) * 8388607 / 127;
  else if (AFrom == 2 && ATo == 1) r = (x + 32768 + 128) / 257;
  else if (AFrom == 4 && ATo == 1) r = (x + 2147483648LL + 8421504) / 16843009;
  else if (AFrom == 3 && ATo == 1) r = x * 127 / 8388607 + 127;
  else r = x * RefMax(ATo) / RefMax(AFrom);
  return std::clamp(r, RefMin(ATo), RefMax(ATo));
}

struct TRefPair {
  std::uint32_t Source = 0, Target = 0;
  bool bZero = false;
};

// Walk the 18 speaker positions: a position in both masks pairs the next source and target
// channels, one in the target only zero fills its target channel; channels beyond the counts take
// part in nothing; the walk ends once the pairs cover both channel counts.
inline std::vector<TRefPair> RefPairs(const TFrameLayout& S, const TFrameLayout& T) {
  std::vector<TRefPair> pairs;
  std::uint32_t s = 0, t = 0, paired = 0;
  for (std::uint32_t pos = 0; pos < 18; ++pos) {
    if (paired >= S.Channels && paired >= T.Channels) break;
    const bool inS = (S.Mask >> pos) & 1u, inT = (T.Mask >> pos) & 1u;
    if (inT && t < T.Channels) {
      if (inS && s < S.Channels) {
        pairs.push_back({s, t, false});
        ++paired;
      } else {
        pairs.push_back({0, t, true});
      }
    }
    s += inS;
    t += inT;
  }
  return pairs;
}

// Frames the copy covers, 0 when it does nothing.
inline std::uint32_t RefCopiedFrames(const TFrameLayout& S, std::uint32_t ASourceIndex, const TFrameLayout& T,
                                     std::uint32_t ATargetIndex, std::uint32_t ACount) {
  if (ASourceIndex >= S.Frames || ATargetIndex >= T.Frames) return 0;
  return std::min({ACount, S.Frames - ASourceIndex, T.Frames - ATargetIndex});
}

// The target's sample bytes after the copy, from images of both sample areas taken before it.
// Between widths outside 1..4 only equal ones have a meaning; for others ADefined is false and the
// copied frames are left to the caller.
inline std::vector<std::uint8_t> RefFrameCopy(const TFrameLayout& S, const std::vector<std::uint8_t>& ASource,
                                              std::uint32_t ASourceIndex, const TFrameLayout& T,
                                              std::vector<std::uint8_t> ATarget, std::uint32_t ATargetIndex,
                                              std::uint32_t ACount, bool& ADefined) {
  ADefined = S.Width == T.Width || (RefValidWidth(S.Width) && RefValidWidth(T.Width));
  const std::uint32_t n = RefCopiedFrames(S, ASourceIndex, T, ATargetIndex, ACount);
  if (n == 0) {
    ADefined = true;
    return ATarget;
  }
  for (const TRefPair& p : RefPairs(S, T)) {
    if (std::uint64_t{p.Target + 1} * T.Width > T.Align) continue;  // the channel has no room in a frame
    for (std::uint32_t i = 0; i < n; ++i) {
      std::uint8_t* d = ATarget.data() + std::size_t{ATargetIndex + i} * T.Align + std::size_t{p.Target} * T.Width;
      if (p.bZero) {
        std::memset(d, 0, T.Width);
        continue;
      }
      if (std::uint64_t{p.Source + 1} * S.Width > S.Align) break;
      const std::uint8_t* s =
          ASource.data() + std::size_t{ASourceIndex + i} * S.Align + std::size_t{p.Source} * S.Width;
      if (S.Width == T.Width) std::memcpy(d, s, T.Width);
      else if (ADefined) RefStore(d, T.Width, RefConvert(RefLoad(s, S.Width), S.Width, T.Width));
    }
  }
  return ATarget;
}

}  // namespace portwise::fuzz
