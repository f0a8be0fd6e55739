#include "still/thumb.h"

#include "capture/completion.h"
#include "capture/target.h"
#include "channels/exit.h"
#include "channels/messages.h"
#include "channels/output.h"

#include <cmath>

namespace lumatap {
namespace {

constexpr std::int64_t smallestSide = 2;

std::int64_t side(double exact) {
    // Sizes come from real displays and windows; anything not finite or absurd is kept within
    // range rather than left to an undefined conversion.
    if (!(exact >= smallestSide)) {
        return smallestSide;
    }
    constexpr double largest = 1e15;
    return static_cast<std::int64_t>(std::trunc(std::min(exact, largest)));
}

} // namespace

Fitted fit(Size pixels, double maxWidth, double maxHeight) {
    // A side that is not a positive number (a zero of either sign, NaN) counts as none, so
    // that the other side alone decides: 15 / -0 would pick the height and skip the fitting.
    double width = pixels.width > 0 ? pixels.width : 0;
    double height = pixels.height > 0 ? pixels.height : 0;
    // The factor is the smaller of maxWidth / width and maxHeight / height, the width's on a
    // tie. It is kept as a fraction and applied by multiplying first: 607 * (400 / 607) comes
    // out as 399.99999999999994 and would truncate to 399, where 607 * 400 / 607 is exactly 400.
    double numerator = maxWidth;
    double denominator = width;
    if (maxHeight / height < maxWidth / width) {
        numerator = maxHeight;
        denominator = height;
    }
    // Never enlarged: a factor above 1 becomes 1.
    if (!(numerator < denominator)) {
        return {side(width), side(height)};
    }
    // A side no display has (near the double range) would overflow the product to infinity;
    // the factor taken first is then exact enough.
    const auto scaled = [&](double length) {
        double exact = length * numerator / denominator;
        return std::isfinite(exact) ? exact : length * (numerator / denominator);
    };
    return {side(scaled(width)), side(scaled(height))};
}

void thumb(const std::string& kind, std::uint32_t id, double maxWidth, double maxHeight) {
    Target resolved = target(kind, id);
    Fitted size = fit(resolved.pixels, maxWidth, maxHeight);

    auto configuration = std::make_shared<StreamConfiguration>();
    configuration->width = size.width;
    configuration->height = size.height;
    configuration->showsCursor = false;

    auto image = awaitValue<Image>([&](platform::ImageCompletion completion) {
        platform::captureImage(resolved.filter, configuration, std::move(completion));
    });
    // Encoded whole before anything is written, so a failure leaves standard output empty.
    auto png = platform::encodePNG(*image);
    if (!png) {
        fail(pngLine, statusFailure);
    }
    // A reader that has gone away ends the job all the same: there is nobody left to tell.
    (void)writeAll(*png);
    exitProcess(statusDone);
}

} // namespace lumatap
