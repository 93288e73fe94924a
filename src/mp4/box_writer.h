#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tovel {

// Fragmented MP4 (ISO/IEC 14496-12) for one live H.264 video track: an initialization segment
// (file-type box, movie box) and, per encoded frame, a fragment (movie-fragment box, media-data
// box) that a standard player or Media Source Extensions can decode. The writer holds no state;
// the caller owns the sequence numbers and the clock.

// Ticks per second of decode times and durations: the usual video clock, which divides the
// common frame rates (24, 25, 30, 50, 60 per second) exactly.
inline constexpr std::uint32_t kMediaTimescale = 90000;
inline constexpr std::uint32_t kVideoTrackId = 1;

// Seconds as media ticks, rounded to the nearest; 0 for a negative time or not a number, and the
// largest count for a time beyond it.
std::uint64_t mediaTicks(double seconds);

// The largest sample a fragment can carry: the media-data box's 32-bit size counts its 8-byte
// header too.
inline constexpr std::uint64_t kLargestSampleLength = 0xFFFFFFFFull - 8;

// Big-endian bytes, most significant first.
std::array<std::uint8_t, 2> uint16ToBytes(std::uint16_t value);
std::array<std::uint8_t, 4> uint32ToBytes(std::uint32_t value);
std::array<std::uint8_t, 8> uint64ToBytes(std::uint64_t value);

// The 24-byte file-type box: major brand "isom", minor version 512, compatible "isom", "avc1".
std::vector<std::uint8_t> generateFtyp();

struct VideoTrackFormat {
  int width = 0; // pixels, 1 to 65535
  int height = 0;
  // The body of the avcC box (an AVCDecoderConfigurationRecord): the encoder's parameter sets.
  std::vector<std::uint8_t> avcConfiguration;
  // One frame at the stream's nominal rate, in kMediaTimescale ticks; 0: not announced. The
  // sample table announces it (an entry for no samples), so that a player knows the frame rate
  // from the start instead of measuring it over a run of frames, which a still screen, sending
  // few, would make it wait for.
  std::uint32_t frameDuration = 0;
};

// The movie box: movie header, one video track with an avc1 sample entry and empty sample tables,
// and the movie-extends box that announces fragments. None for a size out of range or without a
// decoder configuration.
std::optional<std::vector<std::uint8_t>> generateMoov(const VideoTrackFormat& track);

// generateFtyp() followed by generateMoov().
std::optional<std::vector<std::uint8_t>>
generateInitializationSegment(const VideoTrackFormat& track);

// What a fragment says about its one sample.
struct FragmentSample {
  std::uint32_t sequenceNumber = 1;
  std::uint64_t decodeTime = 0; // kMediaTimescale ticks since the stream's start
  std::uint32_t duration = 0;   // kMediaTimescale ticks
  bool keyFrame = false;        // an IDR picture: a sync sample that depends on no other
};

// The movie-fragment box for one sample of dataLength bytes, to be followed directly by
// generateMdat() of that sample: its data offset points at the first byte after the media-data
// box's header. None for a sample longer than kLargestSampleLength.
std::optional<std::vector<std::uint8_t>> generateMoof(const FragmentSample& sample,
                                                      std::uint64_t dataLength);

// The media-data box holding the sample bytes unchanged. None for a sample longer than
// kLargestSampleLength.
std::optional<std::vector<std::uint8_t>> generateMdat(std::span<const std::uint8_t> data);

// generateMoof() followed by the media-data box's 8-byte header, for a sample of dataLength bytes
// that is to follow them directly: the sample is sent from where it is, never copied in. None
// for a sample longer than kLargestSampleLength.
std::optional<std::vector<std::uint8_t>> generateFragmentHead(const FragmentSample& sample,
                                                              std::uint64_t dataLength);

// Where the decode time's 8 bytes lie in a movie-fragment box (in its tfdt box), so that one
// fragment can go to several clients, each with a timeline of its own.
inline constexpr std::size_t kMoofDecodeTimeOffset = 60;

} // namespace tovel
