// Which playback streams are left out of the capture: those of the processes that the filter
// names, and this process's own when the configuration asks for that.
//
// A playback stream is left out by the process that plays it. A PulseAudio client names its
// process on each stream; a native PipeWire client (pw-play, say) names it only on the client,
// so such a stream is decided only once its client has answered: a short gap at its start is
// better than sound of the host that slips into the capture.
#pragma once

#include "capture/platform.h"

#include <cstdint>
#include <map>
#include <optional>
#include <pulse/pulseaudio.h>
#include <set>

namespace lumatap::pulse {

class Exclusion {
  public:
    // A stream that waits for its client is handed to `reconsider` (with `userdata`) again
    // once the client has answered.
    Exclusion(const ContentFilter* filter, const StreamConfiguration* configuration,
              pa_sink_input_info_cb_t reconsider, void* userdata);

    // Whether the stream is left out; none while its client is still being asked. On the
    // loop's thread.
    std::optional<bool> leavesOut(pa_context* context, const pa_sink_input_info& info);
    // The index of a client that has gone may come back for another.
    void forgetClient(std::uint32_t client);

  private:
    static void onClient(pa_context* context, const pa_client_info* info, int eol, void* self);

    std::set<ProcessID> excluded;
    pa_sink_input_info_cb_t reconsider;
    void* userdata;
    // The process of each client asked about (none when the client does not say), and the
    // sink inputs that wait for their client's answer.
    std::map<std::uint32_t, std::optional<ProcessID>> clientProcesses;
    std::map<std::uint32_t, std::set<std::uint32_t>> awaitingClient;
};

} // namespace lumatap::pulse
