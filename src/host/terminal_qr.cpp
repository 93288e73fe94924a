#include "host/terminal_qr.h"

#include <memory>
#include <vector>

#include <qrencode.h>

namespace tovel {
namespace {

// Wide enough for a scanner to find the code's edge whatever the terminal draws around it.
constexpr int kQuietZone = 4;

// Half-block characters indexed by (top row light) | (bottom row light) << 1.
constexpr std::string_view kCells[4] = {" ", "\u2580", "\u2584", "\u2588"};

} // namespace

std::optional<std::string> renderTerminalQrCode(std::string_view text) {
  if (text.empty() || text.find('\0') != std::string_view::npos)
    return std::nullopt;
  std::string terminated(text);
  // Medium error correction survives a slightly blurred photo of a screen; the 8-bit hint keeps
  // every byte as it is.
  std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
      QRcode_encodeString(terminated.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1), &QRcode_free);
  if (!code)
    return std::nullopt;

  const int width = code->width;
  const int side = width + 2 * kQuietZone;
  auto light = [&](int row, int column) {
    int r = row - kQuietZone;
    int c = column - kQuietZone;
    if (r < 0 || c < 0 || r >= width || c >= width)
      return row < side; // the quiet zone; below the last row is the terminal's own background
    // Bit 0 of each module byte says the module is dark.
    return (code->data[r * width + c] & 1) == 0;
  };

  std::string out;
  for (int row = 0; row < side; row += 2) {
    if (row > 0)
      out += '\n';
    for (int column = 0; column < side; ++column)
      out += kCells[int(light(row, column)) | int(light(row + 1, column)) << 1];
  }
  return out;
}

} // namespace tovel
