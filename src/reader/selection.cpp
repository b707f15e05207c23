#include "reader/selection.hpp"

#include <bit>

namespace reader {

FieldSelection::FieldSelection(std::uint32_t count, const std::vector<std::uint32_t>& parameters)
    : lines_((std::size_t{count} + 9) / 10, Line{0, 0}), kept_(static_cast<std::uint32_t>(parameters.size())) {
    for (const std::uint32_t parameter : parameters) lines_[parameter / 10].fields |= 1u << (parameter % 10);
    std::uint32_t column = 0;
    for (Line& line : lines_) {
        line.column = column;
        column += static_cast<std::uint32_t>(std::popcount(line.fields));
    }
}

}  // namespace reader
