#include "capture/pulse/exclusion.h"

#include "capture/pulse/context.h"
#include "capture/session/processes.h"

#include <cstdlib>
#include <unistd.h>

namespace lumatap::pulse {
namespace {

std::optional<ProcessID> processProperty(const pa_proplist* properties, const char* key) {
    return session::processID(pa_proplist_gets(properties, key));
}

// The process that plays a sink input, when the stream itself says.
std::optional<ProcessID> processOf(const pa_sink_input_info& info) {
    return processProperty(info.proplist, PA_PROP_APPLICATION_PROCESS_ID);
}

// The process behind a client. PipeWire's own clients may lack the application's word for
// it, but PipeWire always adds the peer's pid from the socket.
std::optional<ProcessID> processOf(const pa_client_info& info) {
    auto process = processProperty(info.proplist, PA_PROP_APPLICATION_PROCESS_ID);
    return process ? process : processProperty(info.proplist, "pipewire.sec.pid");
}

} // namespace

Exclusion::Exclusion(const ContentFilter* filter, const StreamConfiguration* configuration,
                     pa_sink_input_info_cb_t reconsider, void* userdata)
    : reconsider(reconsider), userdata(userdata) {
    if (filter) {
        for (const auto& application : filter->excludedApplications) {
            excluded.insert(application->processID);
        }
    }
    if (configuration && configuration->excludesCurrentProcessAudio.value_or(false)) {
        excluded.insert(getpid());
    }
}

std::optional<bool> Exclusion::leavesOut(pa_context* context, const pa_sink_input_info& info) {
    auto earlier = decided.find(info.index);
    if (earlier != decided.end()) {
        return earlier->second;
    }
    auto process = processOf(info);
    if (!process && info.client != PA_INVALID_INDEX) {
        auto known = clientProcesses.find(info.client);
        if (known == clientProcesses.end()) {
            // Asked once per client; the answer brings every waiting stream back.
            auto& waiting = awaitingClient[info.client];
            if (waiting.empty()) {
                drop(pa_context_get_client_info(context, info.client, onClient, this));
            }
            waiting.insert(info.index);
            return std::nullopt;
        }
        process = known->second;
    }
    bool leftOut = process && excludes(*process);
    decided[info.index] = leftOut;
    return leftOut;
}

bool Exclusion::excludes(ProcessID process) const {
    return session::descendsFrom(process, excluded);
}

// A client that cannot be asked has gone, and its streams with it: nothing waits then.
void Exclusion::onClient(pa_context* context, const pa_client_info* info, int, void* self) {
    auto* exclusion = static_cast<Exclusion*>(self);
    if (!info) {
        return;
    }
    exclusion->clientProcesses[info->index] = processOf(*info);
    auto waiting = exclusion->awaitingClient.extract(info->index);
    if (!waiting.empty()) {
        for (std::uint32_t sinkInput : waiting.mapped()) {
            drop(pa_context_get_sink_input_info(context, sinkInput, exclusion->reconsider,
                                                exclusion->userdata));
        }
    }
}

void Exclusion::forgetClient(std::uint32_t client) {
    clientProcesses.erase(client);
    awaitingClient.erase(client);
}

void Exclusion::forgetSinkInput(std::uint32_t sinkInput) {
    decided.erase(sinkInput);
}

} // namespace lumatap::pulse
