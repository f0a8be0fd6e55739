#include "capture/media/yuv_weights.h"

#include <algorithm>
#include <cmath>

namespace lumatap::media::yuv {
namespace {

// Output pixel i is made of the `taps` source pixels from first[i] on, weighed by
// weights[i * taps + k]; missing taps weigh 0.
struct Axis {
    std::size_t taps = 1;
    std::vector<std::uint32_t> first;
    std::vector<float> weights;
};

Axis axis(std::size_t source, std::size_t target) {
    std::vector<std::vector<double>> spans(target);
    std::vector<std::size_t> starts(target);
    for (std::size_t i = 0; i < target; ++i) {
        if (target <= source) {
            // In units of 1 / target of a source pixel, every boundary is a whole number.
            std::uint64_t begin = std::uint64_t{i} * source;
            std::uint64_t end = begin + source;
            std::uint64_t k = begin / target;
            starts[i] = static_cast<std::size_t>(k);
            for (; k * target < end; ++k) {
                std::uint64_t overlap =
                    std::min((k + 1) * target, end) - std::max(k * target, begin);
                spans[i].push_back(static_cast<double>(overlap) / static_cast<double>(source));
            }
        } else {
            double centre =
                (static_cast<double>(i) + 0.5) * static_cast<double>(source) / target - 0.5;
            double left = std::floor(centre);
            double share = centre - left;
            if (left < 0) {
                starts[i] = 0;
                spans[i] = {1.0};
            } else if (left + 1 >= static_cast<double>(source)) {
                starts[i] = source - 1;
                spans[i] = {1.0};
            } else {
                starts[i] = static_cast<std::size_t>(left);
                spans[i] = {1 - share, share};
            }
        }
    }
    Axis a;
    for (const auto& span : spans) {
        a.taps = std::max(a.taps, span.size());
    }
    a.first.resize(target);
    a.weights.assign(target * a.taps, 0.0f);
    for (std::size_t i = 0; i < target; ++i) {
        // Spans near the end start early instead of running past the source.
        std::size_t first = std::min(starts[i], source - a.taps);
        a.first[i] = static_cast<std::uint32_t>(first);
        for (std::size_t k = 0; k < spans[i].size(); ++k) {
            a.weights[i * a.taps + (starts[i] - first) + k] = static_cast<float>(spans[i][k]);
        }
    }
    return a;
}

} // namespace

Weights<std::int16_t> columnWeights(std::size_t source, std::size_t target) {
    Axis columns = axis(source, target);
    Weights<std::int16_t> c;
    c.taps = columns.taps <= 2 ? 2 : columns.taps <= 4 ? 4 : columns.taps;
    c.first.resize(target);
    c.weights.assign(target * c.taps, 0);
    for (std::size_t i = 0; i < target; ++i) {
        // The padding taps come after the real ones unless that runs past the source.
        std::size_t first =
            std::min<std::size_t>(columns.first[i], source >= c.taps ? source - c.taps : 0);
        c.first[i] = static_cast<std::uint32_t>(first);
        std::int16_t* w = c.weights.data() + i * c.taps + (columns.first[i] - first);
        // Rounded to add up to exactly 1 << 14, the rounding put on the biggest weight.
        std::int32_t total = 0;
        std::size_t biggest = 0;
        for (std::size_t k = 0; k < columns.taps; ++k) {
            w[k] = static_cast<std::int16_t>(
                std::lround(columns.weights[i * columns.taps + k] * (1 << columnBits)));
            total += w[k];
            if (w[k] > w[biggest]) {
                biggest = k;
            }
        }
        w[biggest] = static_cast<std::int16_t>(w[biggest] + (1 << columnBits) - total);
    }
    return c;
}

Weights<std::uint16_t> rowWeights(std::size_t source, std::size_t target) {
    Axis rows = axis(source, target);
    Weights<std::uint16_t> r;
    r.taps = rows.taps;
    r.first = std::move(rows.first);
    r.weights.resize(rows.weights.size());
    for (std::size_t i = 0; i < target; ++i) {
        // Rounded to 16 bits adding up to 65535, the rounding put on the biggest weight.
        std::int64_t total = 0;
        std::size_t biggest = i * r.taps;
        for (std::size_t k = i * r.taps; k < (i + 1) * r.taps; ++k) {
            r.weights[k] = static_cast<std::uint16_t>(std::lround(rows.weights[k] * 65535.0));
            total += r.weights[k];
            if (r.weights[k] > r.weights[biggest]) {
                biggest = k;
            }
        }
        r.weights[biggest] = static_cast<std::uint16_t>(r.weights[biggest] + 65535 - total);
    }
    return r;
}

} // namespace lumatap::media::yuv
