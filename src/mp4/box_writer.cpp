#include "mp4/box_writer.h"

#include <cmath>
#include <limits>

#include "mp4/box_buffer.h"

namespace tovel {

namespace {

constexpr std::uint32_t kMovieTimescale = 1000;
constexpr std::uint32_t kFixedOne = 0x00010000;         // 1.0 in 16.16
constexpr std::uint16_t kUndeterminedLanguage = 0x55C4; // "und", packed ISO 639-2/T
constexpr int kLargestSide = 0xFFFF;

// tkhd flags: enabled, in movie, in preview.
constexpr std::uint32_t kTrackEnabledInMovieAndPreview = 0x000007;
// tfhd: sample data offsets count from the start of the movie-fragment box.
constexpr std::uint32_t kDefaultBaseIsMoof = 0x020000;
// trun: data offset, then per sample its duration, size and flags.
constexpr std::uint32_t kTrunFields = 0x000001 | 0x000100 | 0x000200 | 0x000400;
// Sample flags: a key frame depends on no other (sample_depends_on 2) and is a sync sample;
// any other frame depends on earlier ones (1) and is not a sync sample.
constexpr std::uint32_t kKeyFrameFlags = 0x02000000;
constexpr std::uint32_t kDependentFrameFlags = 0x01000000 | 0x00010000;

constexpr std::size_t kMdatHeaderSize = 8;

void unityMatrix(BoxBuffer& box) {
  const std::uint32_t matrix[9] = {kFixedOne, 0, 0, 0, kFixedOne, 0, 0, 0, 0x40000000};
  for (std::uint32_t value : matrix)
    box.u32(value);
}

void movieHeader(BoxBuffer& box) {
  auto mvhd = box.openFull("mvhd", 0, 0);
  box.u32(0); // creation time
  box.u32(0); // modification time
  box.u32(kMovieTimescale);
  box.u32(0);         // duration: unknown, the movie grows by fragments
  box.u32(kFixedOne); // rate 1.0
  box.u16(0x0100);    // volume 1.0
  box.zeros(2 + 8);   // reserved
  unityMatrix(box);
  box.zeros(6 * 4);           // pre-defined
  box.u32(kVideoTrackId + 1); // next track ID
  box.close(mvhd);
}

void trackHeader(BoxBuffer& box, const VideoTrackFormat& track) {
  auto tkhd = box.openFull("tkhd", 0, kTrackEnabledInMovieAndPreview);
  box.u32(0); // creation time
  box.u32(0); // modification time
  box.u32(kVideoTrackId);
  box.u32(0); // reserved
  box.u32(0); // duration
  box.zeros(8);
  box.u16(0); // layer
  box.u16(0); // alternate group
  box.u16(0); // volume: none for video
  box.u16(0); // reserved
  unityMatrix(box);
  box.u32(std::uint32_t(track.width) << 16); // 16.16
  box.u32(std::uint32_t(track.height) << 16);
  box.close(tkhd);
}

void sampleDescription(BoxBuffer& box, const VideoTrackFormat& track) {
  auto stsd = box.openFull("stsd", 0, 0);
  box.u32(1); // entry count
  auto avc1 = box.open("avc1");
  box.zeros(6);  // reserved
  box.u16(1);    // data reference index: the one "url " entry
  box.zeros(16); // pre-defined and reserved
  box.u16(std::uint16_t(track.width));
  box.u16(std::uint16_t(track.height));
  box.u32(0x00480000); // 72 dpi
  box.u32(0x00480000);
  box.u32(0);      // reserved
  box.u16(1);      // frames per sample
  box.zeros(32);   // compressor name: none
  box.u16(0x0018); // depth: colour, no alpha
  box.u16(0xFFFF); // pre-defined -1
  auto avcC = box.open("avcC");
  box.bytes(track.avcConfiguration);
  box.close(avcC);
  box.close(avc1);
  box.close(stsd);
}

void emptySampleTables(BoxBuffer& box, std::uint32_t frameDuration) {
  auto stts = box.openFull("stts", 0, 0);
  if (frameDuration > 0) {
    box.u32(1); // entry count
    box.u32(0); // sample count: every sample is in a fragment
    box.u32(frameDuration);
  } else {
    box.u32(0);
  }
  box.close(stts);
  for (const char* type : {"stsc", "stco"}) {
    auto table = box.openFull(type, 0, 0);
    box.u32(0); // entry count
    box.close(table);
  }
  auto stsz = box.openFull("stsz", 0, 0);
  box.u32(0); // sample size: given per sample
  box.u32(0); // sample count
  box.close(stsz);
}

void mediaInformation(BoxBuffer& box, const VideoTrackFormat& track) {
  auto minf = box.open("minf");
  auto vmhd = box.openFull("vmhd", 0, 1);
  box.zeros(2 + 3 * 2); // graphics mode copy, opcolour
  box.close(vmhd);

  auto dinf = box.open("dinf");
  auto dref = box.openFull("dref", 0, 0);
  box.u32(1);
  box.close(box.openFull("url ", 0, 1)); // the media is in this file
  box.close(dref);
  box.close(dinf);

  auto stbl = box.open("stbl");
  sampleDescription(box, track);
  emptySampleTables(box, track.frameDuration);
  box.close(stbl);
  box.close(minf);
}

void media(BoxBuffer& box, const VideoTrackFormat& track) {
  auto mdia = box.open("mdia");
  auto mdhd = box.openFull("mdhd", 0, 0);
  box.u32(0); // creation time
  box.u32(0); // modification time
  box.u32(kMediaTimescale);
  box.u32(0); // duration
  box.u16(kUndeterminedLanguage);
  box.u16(0);
  box.close(mdhd);

  auto hdlr = box.openFull("hdlr", 0, 0);
  box.u32(0);
  box.fourCc("vide");
  box.zeros(12);
  static constexpr std::uint8_t kName[] = "VideoHandler"; // with its terminating zero
  box.bytes(kName);
  box.close(hdlr);

  mediaInformation(box, track);
  box.close(mdia);
}

void movieExtends(BoxBuffer& box) {
  auto mvex = box.open("mvex");
  auto trex = box.openFull("trex", 0, 0);
  box.u32(kVideoTrackId);
  box.u32(1); // sample description index
  box.u32(0); // default duration, size and flags: every fragment gives its own
  box.u32(0);
  box.u32(0);
  box.close(trex);
  box.close(mvex);
}

bool fitsInFragment(std::uint64_t dataLength) {
  return dataLength <= kLargestSampleLength;
}

void appendMoof(std::vector<std::uint8_t>& out, const FragmentSample& sample,
                std::uint32_t dataLength) {
  BoxBuffer box(out);
  auto moof = box.open("moof");
  auto mfhd = box.openFull("mfhd", 0, 0);
  box.u32(sample.sequenceNumber);
  box.close(mfhd);

  auto traf = box.open("traf");
  auto tfhd = box.openFull("tfhd", 0, kDefaultBaseIsMoof);
  box.u32(kVideoTrackId);
  box.close(tfhd);

  auto tfdt = box.openFull("tfdt", 1, 0);
  box.u64(sample.decodeTime);
  box.close(tfdt);

  auto trun = box.openFull("trun", 0, kTrunFields);
  box.u32(1); // sample count
  std::size_t dataOffsetAt = box.size();
  box.u32(0); // data offset, known once the box is complete
  box.u32(sample.duration);
  box.u32(dataLength);
  box.u32(sample.keyFrame ? kKeyFrameFlags : kDependentFrameFlags);
  box.close(trun);
  box.close(traf);
  box.close(moof);

  // The sample starts right after this box and the media-data box's header.
  box.patchU32(dataOffsetAt, std::uint32_t(box.size() - moof + kMdatHeaderSize));
}

void appendMdat(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> data) {
  BoxBuffer box(out);
  auto mdat = box.open("mdat");
  box.bytes(data);
  box.close(mdat);
}

} // namespace

std::uint64_t mediaTicks(double seconds) {
  double ticks = std::round(seconds * kMediaTimescale);
  if (!(ticks > 0)) // negative or NaN
    return 0;
  // 2^64 is exactly representable; anything at or past it would not convert.
  if (ticks >= 18446744073709551616.0)
    return std::numeric_limits<std::uint64_t>::max();
  return std::uint64_t(ticks);
}

std::array<std::uint8_t, 2> uint16ToBytes(std::uint16_t value) {
  return {std::uint8_t(value >> 8), std::uint8_t(value)};
}

std::array<std::uint8_t, 4> uint32ToBytes(std::uint32_t value) {
  return {std::uint8_t(value >> 24), std::uint8_t(value >> 16), std::uint8_t(value >> 8),
          std::uint8_t(value)};
}

std::array<std::uint8_t, 8> uint64ToBytes(std::uint64_t value) {
  std::array<std::uint8_t, 8> bytes;
  for (int i = 0; i < 8; ++i)
    bytes[i] = std::uint8_t(value >> (56 - 8 * i));
  return bytes;
}

std::vector<std::uint8_t> generateFtyp() {
  std::vector<std::uint8_t> out;
  BoxBuffer box(out);
  auto ftyp = box.open("ftyp");
  box.fourCc("isom");
  box.u32(0x00000200);
  box.fourCc("isom");
  box.fourCc("avc1");
  box.close(ftyp);
  return out;
}

std::optional<std::vector<std::uint8_t>> generateMoov(const VideoTrackFormat& track) {
  if (track.width < 1 || track.width > kLargestSide || track.height < 1 ||
      track.height > kLargestSide || track.avcConfiguration.empty())
    return std::nullopt;
  std::vector<std::uint8_t> out;
  BoxBuffer box(out);
  auto moov = box.open("moov");
  movieHeader(box);
  auto trak = box.open("trak");
  trackHeader(box, track);
  media(box, track);
  box.close(trak);
  movieExtends(box);
  // Only an absurd decoder configuration (gigabytes) could overflow a size.
  if (!box.close(moov))
    return std::nullopt;
  return out;
}

std::optional<std::vector<std::uint8_t>>
generateInitializationSegment(const VideoTrackFormat& track) {
  auto moov = generateMoov(track);
  if (!moov)
    return std::nullopt;
  std::vector<std::uint8_t> out = generateFtyp();
  out.insert(out.end(), moov->begin(), moov->end());
  return out;
}

std::optional<std::vector<std::uint8_t>> generateMoof(const FragmentSample& sample,
                                                      std::uint64_t dataLength) {
  if (!fitsInFragment(dataLength))
    return std::nullopt;
  std::vector<std::uint8_t> out;
  appendMoof(out, sample, std::uint32_t(dataLength));
  return out;
}

std::optional<std::vector<std::uint8_t>> generateMdat(std::span<const std::uint8_t> data) {
  if (!fitsInFragment(data.size()))
    return std::nullopt;
  std::vector<std::uint8_t> out;
  out.reserve(kMdatHeaderSize + data.size());
  appendMdat(out, data);
  return out;
}

std::optional<std::vector<std::uint8_t>> generateFragmentHead(const FragmentSample& sample,
                                                              std::uint64_t dataLength) {
  if (!fitsInFragment(dataLength))
    return std::nullopt;
  std::vector<std::uint8_t> out;
  out.reserve(128);
  appendMoof(out, sample, std::uint32_t(dataLength));
  BoxBuffer box(out);
  box.u32(std::uint32_t(kMdatHeaderSize + dataLength));
  box.fourCc("mdat");
  return out;
}

} // namespace tovel
