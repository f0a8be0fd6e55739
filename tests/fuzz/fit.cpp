// The thumbnail size: for any source size and box, including zero, negative, huge and
// non-finite values, each side is a whole number from 2 to 1e15 reached without undefined
// conversions. For sizes a display or window can have and boxes the command line can give,
// the picture is never enlarged, never leaves the box, meets the box on the side that limits
// it, and keeps its proportions up to the truncation.
#include "still/thumb.h"
#include "tests/fuzz/check.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <fuzzer/FuzzedDataProvider.h>

namespace lumatap {
namespace {

using fuzz::check;

// A value of one of the kinds that matter: any bit pattern (NaN, infinities, subnormals), a
// small whole number, any number the command line accepts, or a fraction.
double value(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0:
        return std::bit_cast<double>(input.ConsumeIntegral<std::uint64_t>());
    case 1:
        return static_cast<double>(input.ConsumeIntegralInRange<std::int64_t>(0, 1 << 20));
    case 2:
        return static_cast<double>(input.ConsumeIntegral<std::int64_t>());
    default:
        return static_cast<double>(input.ConsumeIntegralInRange<std::int64_t>(0, 100000)) +
               input.ConsumeProbability<double>();
    }
}

bool isWhole(double x) {
    return std::isfinite(x) && std::trunc(x) == x;
}

} // namespace
} // namespace lumatap

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumatap;
    FuzzedDataProvider input(data, size);
    const double width = value(input);
    const double height = value(input);
    const double maxWidth = value(input);
    const double maxHeight = value(input);
    const Fitted fitted = fit({width, height}, maxWidth, maxHeight);

    check(fitted.width >= 2 && fitted.height >= 2, "each side is at least 2");
    check(fitted.width <= 1e15 && fitted.height <= 1e15, "each side is at most 1e15");

    // The command line's box sides are whole numbers from 1 on; whatever the size, the
    // picture goes into that box.
    if (!isWhole(maxWidth) || !isWhole(maxHeight) || maxWidth < 1 || maxHeight < 1) {
        return 0;
    }
    const auto atLeast2 = [](double x) { return std::max(2.0, std::floor(x)); };
    const auto w = static_cast<double>(fitted.width);
    const auto h = static_cast<double>(fitted.height);
    check(w <= atLeast2(maxWidth) && h <= atLeast2(maxHeight), "inside the box");
    // Real sizes are finite and not negative.
    if (!std::isfinite(width) || !std::isfinite(height) || width < 0 || height < 0) {
        return 0;
    }
    check(w <= atLeast2(width) && h <= atLeast2(height), "never enlarged");

    // Exact arithmetic below holds for sizes whose products stay within 53 bits.
    const double small = 1 << 24;
    if (width == 0 || height == 0 || width > small || height > small || maxWidth > small ||
        maxHeight > small) {
        return 0;
    }
    const double factor = std::min({1.0, maxWidth / width, maxHeight / height});
    // Whole-number sizes (all that X gives) multiply exactly, so no pixel is lost to rounding.
    if (factor < 1 && isWhole(width) && isWhole(height)) {
        check(w == atLeast2(maxWidth) || h == atLeast2(maxHeight),
              "the limiting side meets the box");
    }
    // Truncated, then raised to 2: off the exact size by less than one pixel otherwise.
    const double slack = 1e-9;
    const double exactWidth = width * factor;
    const double exactHeight = height * factor;
    check(w <= std::max(2.0, exactWidth + slack) && w > exactWidth - 1 - slack,
          "the width keeps the proportions");
    check(h <= std::max(2.0, exactHeight + slack) && h > exactHeight - 1 - slack,
          "the height keeps the proportions");
    return 0;
}
