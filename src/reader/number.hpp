// Decimal text -> the nearest binary32 value, ties to even, for any number of
// digits; infinity and zero (with their signs) past the range; "inf",
// "infinity" and "nan" in any case. The text must match the grammar whole,
// with no surrounding whitespace; anything else is ParseError::invalid, and
// the empty text ParseError::empty. A pure function.
#pragma once

#include <string_view>

#include "reader/failure.hpp"

namespace olvane {

struct ParsedValue {
    float value;
    ParseError error;
};

ParsedValue parse_value(std::string_view text);

}  // namespace olvane
