// Mixes sound that arrives in bursts, from several sources at once, onto one steady clock.
//
// Each source keeps a queue of its own. A source only starts to play once a little is queued
// (its prefill), so the ordinary jitter of delivery never cuts holes into the mix; when it
// runs dry it waits for its prefill again. A source that runs far ahead (a clock that is
// faster than ours, or a burst after a stall) is trimmed back, so latency cannot grow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace lumatap::media {

class Mixer {
  public:
    // `prefill` and `limit` count frames of `channels` floats each.
    Mixer(std::size_t channels, std::size_t prefill, std::size_t limit);

    void add(std::uint32_t source);
    // The source has ended: what it queued still plays, then it leaves.
    void finish(std::uint32_t source);
    // Queues frames of a source; a null `data` queues silence (a hole in its delivery).
    void push(std::uint32_t source, const float* data, std::size_t frames);
    // Writes the next `frames` frames of the mix into `out`, interleaved.
    void mix(float* out, std::size_t frames);

    std::size_t size() const { return sources_.size(); }
    // Frames queued for a source (0 for one that is not there).
    std::size_t queued(std::uint32_t source) const;
    // The frames that can be mixed before a source that plays runs dry; SIZE_MAX when none
    // plays (an ended one counts as never running dry: it plays out what it has).
    std::size_t ready() const;

  private:
    struct Source {
        std::vector<float> samples;
        std::size_t read = 0; // floats already mixed, at the front of `samples`
        bool playing = false;
        bool finished = false;
    };

    std::size_t channels_;
    std::size_t prefill_;
    std::size_t limit_;
    std::map<std::uint32_t, Source> sources_;
};

} // namespace lumatap::media
