#include "audio/audio.h"

#include "audio/sound.h"
#include "capture/completion.h"
#include "capture/shareable.h"
#include "capture/stream_output.h"
#include "channels/messages.h"
#include "channels/output.h"

#include <chrono>
#include <thread>
#include <unistd.h>

namespace lumatap {
namespace {

std::shared_ptr<const Display> chooseDisplay(const ShareableContent& content) {
    for (const auto& display : content.displays) {
        if (platform::displayIsMain(display->displayID)) {
            return display;
        }
    }
    if (content.displays.empty()) {
        fail(noScreenLine);
    }
    return content.displays.front();
}

// The host's sound and our own are left out by process: the parent first, then this process.
// The sound backend leaves out their descendants with them.
std::vector<std::shared_ptr<const RunningApplication>>
excludedApplications(const ShareableContent& content) {
    ProcessID parent = getppid();
    ProcessID self = getpid();
    std::vector<std::shared_ptr<const RunningApplication>> excluded;
    for (const auto& application : content.applications) {
        if (application->processID == parent || application->processID == self) {
            excluded.push_back(application);
        }
    }
    return excluded;
}

} // namespace

void audio() {
    auto content = shareable(true);
    auto display = chooseDisplay(*content);
    auto filter = filterWithDisplay(display, excludedApplications(*content), {});

    // Audio is what matters; the pictures that a display stream brings are asked for as
    // small and as rare as they come, and then dropped.
    auto configuration = std::make_shared<StreamConfiguration>();
    configuration->capturesAudio = true;
    configuration->excludesCurrentProcessAudio = true;
    configuration->sampleRate = 48000;
    configuration->channelCount = 2;
    configuration->width = 2;
    configuration->height = 2;
    configuration->minimumFrameInterval = MediaTime{1, 1};

    auto sound = std::make_shared<Sound>();
    auto stream = platform::createStream(filter, configuration, sound);
    addOutput(*stream, sound, OutputType::audio, "audio");
    addOutput(*stream, sound, OutputType::screen, "ignored");
    awaitCompletion([&](auto completion) { stream->startCapture(std::move(completion)); });
    say(readyLine);

    // Everything happens in the stream's callbacks from here on; the process ends from
    // there or from the parent watch. The objects above are never released.
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

} // namespace lumatap
