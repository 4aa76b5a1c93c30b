#include "platform/decimal.h"

#include <algorithm>
#include <limits>

namespace corvalind {

int32_t ParseDecimal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  constexpr int64_t kCap = int64_t{1} << 32;  // beyond either end of int32
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = std::min(kCap, magnitude * 10 + (text[i] - '0'));
  }
  const int64_t value = negative ? -magnitude : magnitude;
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

}  // namespace corvalind
