#include "reader/fortran_forms.hpp"

namespace reader {

std::optional<float> parse_fortran_field(std::string_view) { return std::nullopt; }

std::optional<double> parse_fortran_double(std::string_view) { return std::nullopt; }

}  // namespace reader
