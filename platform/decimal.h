// The one reading of a whole decimal number used by every file reader and
// form of the project: as C's atoi reads it (leading white space, one sign,
// the digits up to the first other character, 0 without digits), but with
// values beyond the 32-bit range clamped to its ends instead of undefined.
#pragma once

#include <cstdint>
#include <string_view>

namespace corvalind {

int32_t ParseDecimal(std::string_view text);

}  // namespace corvalind
