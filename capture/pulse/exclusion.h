// Which playback streams are left out of the capture: those of the processes that the filter
// names and of every process descended from one of them, and this process's own when the
// configuration asks for that.
//
// An application's sound may come from a helper process that it spawned (Chromium's and
// Electron's audio service is a child process), so a left-out process takes its descendants
// with it, as the process tree shows them when the stream appears. A program that it starts
// detached (a double fork, xdg-open, a systemd scope) has another parent by then and is
// recorded.
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
    // The index of a client that has gone may come back for another, as may a sink input's.
    void forgetClient(std::uint32_t client);
    void forgetSinkInput(std::uint32_t sinkInput);

  private:
    static void onClient(pa_context* context, const pa_client_info* info, int eol, void* self);
    bool excludes(ProcessID process) const;

    std::set<ProcessID> excluded;
    // What was decided for each sink input when it appeared: a helper whose parent ends later
    // is handed to another, and its stream must not join the capture then.
    std::map<std::uint32_t, bool> decided;
    pa_sink_input_info_cb_t reconsider;
    void* userdata;
    // The process of each client asked about (none when the client does not say), and the
    // sink inputs that wait for their client's answer.
    std::map<std::uint32_t, std::optional<ProcessID>> clientProcesses;
    std::map<std::uint32_t, std::set<std::uint32_t>> awaitingClient;
};

} // namespace lumatap::pulse
