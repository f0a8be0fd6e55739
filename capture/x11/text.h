// Window titles and class names as X programs store them, turned into UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace lumatap::x11 {

// ISO 8859-1, the encoding of properties of type STRING.
std::string latin1ToUtf8(std::string_view text);

// COMPOUND_TEXT, the ISO 2022 encoding that Xt programs (xterm among them) use for titles
// outside Latin-1. Where it cannot be decoded, the Latin-1 reading of its text without the
// escape sequences stands in.
std::string compoundTextToUtf8(std::string_view text);

} // namespace lumatap::x11
