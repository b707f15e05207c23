// A cold path: only texts that the grammar has refused come here, so each
// form is checked by itself and then handed to the grammar as its E form,
// which keeps one rounding code for every spelling of a number.
#include "reader/fortran_forms.hpp"

#include <bit>
#include <cstddef>
#include <cstring>
#include <string>

#include "reader/number.hpp"

namespace reader {

namespace {

using number_detail::is_digit;

// Where a text of one of the two exponent forms needs its E: at a D, which
// it replaces, or before the sign of a three-digit exponent whose letter
// Fortran dropped.
struct Form {
    std::size_t at;
    bool replaces;
};

bool is_sign(char c) { return c == '+' || c == '-'; }

std::optional<Form> find_form(std::string_view text) {
    const std::size_t size = text.size();
    std::size_t i = size != 0 && is_sign(text[0]);
    std::size_t digits = 0;
    bool point = false;
    for (; i < size; ++i) {
        if (is_digit(text[i]))
            ++digits;
        else if (text[i] == '.' && !point)
            point = true;
        else
            break;
    }
    if (digits == 0 || i == size) return std::nullopt;
    const std::size_t at = i;
    if ((text[at] | 0x20) == 'd') {
        i = at + 1;
        i += i < size && is_sign(text[i]);
        if (i == size) return std::nullopt;
        for (; i < size; ++i)
            if (!is_digit(text[i])) return std::nullopt;
        return Form{at, true};
    }
    // Fortran drops the letter only to make room for a third exponent digit,
    // and its E and D output always has a point: with two digits or without
    // a point, the text is more likely a misprint than a number.
    if (!point || size - at != 4 || !is_sign(text[at]) || !is_digit(text[at + 1]) || !is_digit(text[at + 2]) ||
        !is_digit(text[at + 3]))
        return std::nullopt;
    return Form{at, false};
}

// parse(the text in its E form). Fields and tokens of any length can come
// here, but the common widths fit on the stack.
template <class Parse>
auto parse_as_e(std::string_view text, Form form, Parse parse) {
    constexpr std::size_t stack_capacity = 64;
    const std::size_t size = text.size() + (form.replaces ? 0 : 1);
    char stack[stack_capacity];
    std::string heap;
    char* out = stack;
    if (size > stack_capacity) {
        heap.resize(size);
        out = heap.data();
    }
    const std::size_t rest = form.at + (form.replaces ? 1 : 0);
    std::memcpy(out, text.data(), form.at);
    out[form.at] = 'E';
    std::memcpy(out + form.at + 1, text.data() + rest, text.size() - rest);
    return parse(std::string_view(out, size));
}

}  // namespace

std::optional<float> parse_fortran_field(std::string_view text) {
    if (!text.empty() && text.find_first_not_of('*') == std::string_view::npos)
        return std::bit_cast<float>(0x7FC00000u);
    const std::optional<Form> form = find_form(text);
    if (!form) return std::nullopt;
    const ParsedValue parsed = parse_as_e(text, *form, [](std::string_view e) { return parse_value(e); });
    if (parsed.error != ParseError::none) return std::nullopt;
    return parsed.value;
}

std::optional<double> parse_fortran_double(std::string_view token) {
    const std::optional<Form> form = find_form(token);
    if (!form) return std::nullopt;
    const ParsedDouble parsed = parse_as_e(token, *form, [](std::string_view e) { return parse_double(e); });
    if (parsed.error != ParseError::none) return std::nullopt;
    return parsed.value;
}

}  // namespace reader
