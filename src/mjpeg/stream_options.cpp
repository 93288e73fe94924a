#include "mjpeg/stream_options.h"

#include "common/number_parse.h"
#include "common/text.h"

namespace tovel {

std::vector<double> optionNumbers(std::string_view target, std::string_view key) {
  std::vector<std::string_view> afterKey = splitDroppingEmpty(target, key);
  std::string_view last = afterKey.empty() ? std::string_view{} : afterKey.back();
  std::vector<std::string_view> fields = splitDroppingEmpty(last, "&");
  return numbersSplitAtX(fields.empty() ? std::string_view{} : fields.front());
}

std::vector<double> numbersSplitAtX(std::string_view value) {
  std::vector<double> numbers;
  for (std::string_view piece : splitDroppingEmpty(value, "x"))
    if (auto number = parseNumber(piece))
      numbers.push_back(*number);
  return numbers;
}

} // namespace tovel
