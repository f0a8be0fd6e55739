#include "capture/media/mixer.h"

#include <algorithm>
#include <cstdint>

namespace lumatap::media {

Mixer::Mixer(std::size_t channels, std::size_t prefill, std::size_t limit)
    : channels_(channels), prefill_(prefill), limit_(std::max(limit, prefill)) {
}

void Mixer::add(std::uint32_t source) {
    Source& s = sources_[source];
    s.finished = false;
}

void Mixer::finish(std::uint32_t source) {
    auto it = sources_.find(source);
    if (it == sources_.end()) {
        return;
    }
    if (it->second.samples.size() == it->second.read) {
        sources_.erase(it);
    } else {
        it->second.finished = true;
    }
}

void Mixer::push(std::uint32_t source, const float* data, std::size_t frames) {
    auto it = sources_.find(source);
    if (it == sources_.end() || frames == 0) {
        return;
    }
    Source& s = it->second;
    // Mixed samples are let go of in bulk, so that the queue moves few bytes per push.
    if (s.read > 0 && s.read >= s.samples.size() / 2) {
        s.samples.erase(s.samples.begin(), s.samples.begin() + static_cast<std::ptrdiff_t>(s.read));
        s.read = 0;
    }
    std::size_t count = frames * channels_;
    if (data) {
        s.samples.insert(s.samples.end(), data, data + count);
    } else {
        s.samples.resize(s.samples.size() + count, 0.0f);
    }
    std::size_t queued = (s.samples.size() - s.read) / channels_;
    if (queued > limit_) {
        s.read += (queued - prefill_) * channels_;
    }
}

std::size_t Mixer::queued(std::uint32_t source) const {
    auto it = sources_.find(source);
    return it == sources_.end() ? 0 : (it->second.samples.size() - it->second.read) / channels_;
}

std::size_t Mixer::ready() const {
    std::size_t least = SIZE_MAX;
    for (const auto& [id, s] : sources_) {
        if (s.playing && !s.finished) {
            least = std::min(least, (s.samples.size() - s.read) / channels_);
        }
    }
    return least;
}

void Mixer::mix(float* out, std::size_t frames) {
    std::size_t count = frames * channels_;
    std::fill(out, out + count, 0.0f);
    for (auto it = sources_.begin(); it != sources_.end();) {
        Source& s = it->second;
        std::size_t available = (s.samples.size() - s.read) / channels_;
        // An ended source plays out what it has without waiting for more.
        if (!s.playing && (available >= prefill_ || s.finished)) {
            s.playing = true;
        }
        if (s.playing) {
            std::size_t take = std::min(available, frames) * channels_;
            const float* in = s.samples.data() + s.read;
            for (std::size_t k = 0; k < take; ++k) {
                out[k] += in[k];
            }
            s.read += take;
            if (take < count) {
                s.playing = false;
            }
        }
        if (s.finished && s.read == s.samples.size()) {
            it = sources_.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace lumatap::media
