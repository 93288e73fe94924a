#include "mp4/h264_encoder.h"

#include <libyuv/convert.h>
#include <libyuv/scale.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

extern "C" {
#include <x264.h>
}

namespace tovel {

namespace {

constexpr int kLargestSide = 8192;         // of the stream
constexpr int kLargestPictureSide = 16384; // of a picture handed in, as captures allow

// VUI colour description of what libyuv's ARGBToI420 produces from an sRGB screen: BT.601
// coefficients (SMPTE 170M), limited range, BT.709 primaries and the sRGB transfer curve.
constexpr int kPrimariesBt709 = 1;
constexpr int kTransferSrgb = 13;
constexpr int kMatrixSmpte170m = 6;

void forwardX264Log(void* context, int level, const char* format, va_list arguments) {
  if (!context || level > X264_LOG_ERROR)
    return;
  char text[512];
  std::vsnprintf(text, sizeof text, format, arguments);
  std::string_view line(text);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
    line.remove_suffix(1);
  static_cast<Log*>(context)->print("x264 error: " + std::string(line));
}

// x264 would complain about an unknown name on standard error, outside the log.
bool knownPreset(const std::string& name) {
  for (const char* const* preset = x264_preset_names; *preset; ++preset)
    if (name == *preset)
      return true;
  return false;
}

} // namespace

struct H264Encoder::X264 {
  x264_t* encoder = nullptr;
  x264_picture_t picture{};
  bool pictureAllocated = false;

  ~X264() {
    if (pictureAllocated)
      x264_picture_clean(&picture);
    if (encoder)
      x264_encoder_close(encoder);
  }
};

std::unique_ptr<H264Encoder> H264Encoder::create(const H264EncoderSettings& settings, Log* log,
                                                 std::int32_t& status) {
  status = kStatusInvalidArgument;
  // 4:2:0 needs even sizes.
  if (settings.width < 2 || settings.height < 2 || settings.width > kLargestSide ||
      settings.height > kLargestSide || settings.width % 2 || settings.height % 2 ||
      settings.framesPerSecond < 1 || settings.keyFrameInterval < 1 || settings.threads < 0 ||
      !knownPreset(settings.preset))
    return nullptr;

  x264_param_t param;
  if (x264_param_default_preset(&param, settings.preset.c_str(), "zerolatency") < 0)
    return nullptr;
  param.i_width = settings.width;
  param.i_height = settings.height;
  param.i_csp = X264_CSP_I420;
  param.i_threads = settings.threads > 0 ? settings.threads : X264_THREADS_AUTO;
  param.i_fps_num = std::uint32_t(settings.framesPerSecond);
  param.i_fps_den = 1;
  param.b_vfr_input = 0;
  param.i_keyint_max = settings.keyFrameInterval;
  param.i_bframe = 0;
  // The fastest presets turn CABAC off, which would make the stream Baseline.
  param.b_cabac = 1;
  param.b_annexb = 0;
  param.b_repeat_headers = 0;
  param.vui.i_colorprim = kPrimariesBt709;
  param.vui.i_transfer = kTransferSrgb;
  param.vui.i_colmatrix = kMatrixSmpte170m;
  param.vui.b_fullrange = 0;
  param.pf_log = forwardX264Log;
  param.p_log_private = log;
  param.i_log_level = X264_LOG_ERROR;
  // The level stays automatic: x264 picks the lowest that fits the size and rate (4.2 for
  // 1920 x 1080 at 60 per second).
  if (x264_param_apply_profile(&param, "main") < 0)
    return nullptr;

  std::unique_ptr<H264Encoder> self(new H264Encoder);
  self->x264_ = std::make_unique<X264>();
  self->width_ = settings.width;
  self->height_ = settings.height;
  self->x264_->encoder = x264_encoder_open(&param);
  if (!self->x264_->encoder)
    return nullptr;
  if (x264_picture_alloc(&self->x264_->picture, X264_CSP_I420, settings.width, settings.height) <
      0) {
    status = kStatusEncoderFailed;
    return nullptr;
  }
  self->x264_->pictureAllocated = true;

  status = kStatusEncoderFailed;
  x264_nal_t* nals = nullptr;
  int count = 0;
  if (x264_encoder_headers(self->x264_->encoder, &nals, &count) < 0)
    return nullptr;
  std::vector<NalUnit> units;
  for (int i = 0; i < count; ++i) {
    // Each header comes with its own length prefix; the SEI among them is only x264's banner.
    auto unit = splitNalUnits({nals[i].p_payload, std::size_t(nals[i].i_payload)});
    if (unit)
      units.insert(units.end(), unit->begin(), unit->end());
  }
  auto sets = findParameterSets(units);
  if (!sets)
    return nullptr;
  auto configuration = avcDecoderConfiguration(*sets);
  auto codec = tovel::codecString(sets->sps);
  if (!configuration || !codec)
    return nullptr;
  self->parameterSets_ = std::move(*sets);
  self->avcConfiguration_ = std::move(*configuration);
  self->codecString_ = std::move(*codec);
  status = 0;
  return self;
}

H264Encoder::~H264Encoder() = default;

bool H264Encoder::toI420(const ImageView& picture) {
  x264_image_t& into = x264_->picture.img;
  // libyuv's "ARGB" is B, G, R, A in memory: the BGRA of a capture. The fourth byte is ignored.
  if (picture.width == width_ && picture.height == height_)
    return libyuv::ARGBToI420(picture.data, int(picture.stride), into.plane[0], into.i_stride[0],
                              into.plane[1], into.i_stride[1], into.plane[2], into.i_stride[2],
                              width_, height_) == 0;

  // Another size: convert at the picture's own size, then scale the three planes, which is
  // cheaper than scaling four bytes a pixel. The picture keeps its shape: it is fitted into the
  // stream's size, centred, with black bars where the shapes differ.
  int width = picture.width, height = picture.height;
  PixelRect fit = fittedInto(width, height, width_, height_);
  if (fit != letterbox_) {
    // Black in limited-range YUV, written once for each new placement: the scaled picture never
    // covers the bars.
    std::memset(into.plane[0], 16, std::size_t(into.i_stride[0]) * std::size_t(height_));
    std::memset(into.plane[1], 128, std::size_t(into.i_stride[1]) * std::size_t(height_ / 2));
    std::memset(into.plane[2], 128, std::size_t(into.i_stride[2]) * std::size_t(height_ / 2));
    letterbox_ = fit;
  }
  int chromaWidth = (width + 1) / 2, chromaHeight = (height + 1) / 2;
  std::size_t lumaSize = std::size_t(width) * std::size_t(height);
  std::size_t chromaSize = std::size_t(chromaWidth) * std::size_t(chromaHeight);
  sourceI420_.resize(lumaSize + 2 * chromaSize);
  std::uint8_t* y = sourceI420_.data();
  std::uint8_t* u = y + lumaSize;
  std::uint8_t* v = u + chromaSize;
  if (libyuv::ARGBToI420(picture.data, int(picture.stride), y, width, u, chromaWidth, v,
                         chromaWidth, width, height) != 0)
    return false;
  auto at = [&](int plane, int x, int y) {
    return into.plane[plane] + std::size_t(y) * std::size_t(into.i_stride[plane]) + std::size_t(x);
  };
  return libyuv::I420Scale(y, width, u, chromaWidth, v, chromaWidth, width, height,
                           at(0, fit.x, fit.y), into.i_stride[0], at(1, fit.x / 2, fit.y / 2),
                           into.i_stride[1], at(2, fit.x / 2, fit.y / 2), into.i_stride[2],
                           fit.width, fit.height, libyuv::kFilterBox) == 0;
}

PixelRect fittedInto(int width, int height, int intoWidth, int intoHeight) {
  // Whole multiples of 2 everywhere, so that the chroma planes line up with the luma plane.
  double scale = std::min(double(intoWidth) / width, double(intoHeight) / height);
  int w = std::clamp(int(std::lround(width * scale / 2)) * 2, 2, intoWidth);
  int h = std::clamp(int(std::lround(height * scale / 2)) * 2, 2, intoHeight);
  return PixelRect{(intoWidth - w) / 4 * 2, (intoHeight - h) / 4 * 2, w, h};
}

H264Encoder::Result H264Encoder::encode(const ImageView& picture, bool keyFrame) {
  if (picture.empty() || picture.width > kLargestPictureSide ||
      picture.height > kLargestPictureSide || picture.stride < std::size_t(picture.width) * 4 ||
      picture.stride > std::size_t(INT32_MAX))
    return {kStatusInvalidArgument, std::nullopt};
  if (!toI420(picture))
    return {kStatusEncoderFailed, std::nullopt};

  x264_picture_t& in = x264_->picture;
  in.i_type = keyFrame ? X264_TYPE_IDR : X264_TYPE_AUTO;
  in.i_pts = nextPts_++;
  x264_picture_t out;
  x264_nal_t* nals = nullptr;
  int count = 0;
  int size = x264_encoder_encode(x264_->encoder, &nals, &count, &in, &out);
  if (size < 0)
    return {kStatusEncoderFailed, std::nullopt};
  if (size == 0 || count == 0)
    return {0, std::nullopt};
  // x264 lays a picture's units out one after the other, each behind its 4-byte length.
  EncodedPicture encoded;
  encoded.data.assign(nals[0].p_payload, nals[0].p_payload + size);
  encoded.keyFrame = out.b_keyframe != 0;
  return {0, std::move(encoded)};
}

} // namespace tovel
