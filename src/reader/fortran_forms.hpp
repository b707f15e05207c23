// The forms that Fortran's formatted output writes and the number grammar
// lacks, for dunvel's fields and time stamps: an exponent of three digits
// written without its letter (1.00000-100), D or d as the exponent letter
// (1.0D+05), and a field too narrow for its value, written as asterisks.
// Each is read as the grammar's form of the same number would be, to the
// same bits; nothing the grammar reads is read here. Pure functions.
#pragma once

#include <optional>
#include <string_view>

namespace reader {

// A field's text, its blanks trimmed, when it is one of the forms: its
// nearest binary32, or the quiet NaN 0x7FC00000 for asterisks.
std::optional<float> parse_fortran_field(std::string_view text);

// A token of a block-start line when it is a number in one of the forms
// (asterisks are not numbers here): its nearest double.
std::optional<double> parse_fortran_double(std::string_view token);

}  // namespace reader
