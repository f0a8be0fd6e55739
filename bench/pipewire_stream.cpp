// The screen stream over the PipeWire source, reading a node for a while: how many frames it
// made and what they cost this process. bench/pipewire_vs_gst.sh runs it beside GStreamer.
//
// Usage: bench_pipewire_stream NODE WIDTH HEIGHT FPS SECONDS
// Prints "frames N cpu_ms T per_frame_ms P".
#include "capture/media/screen_stream.h"
#include "capture/pipewire/source.h"
#include "capture/serial_queue.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>

namespace {

using namespace lumatap;

struct Counter : StreamOutput, StreamDelegate {
    std::atomic<int> frames{0};
    std::atomic<bool> stopped{false};
    void streamDidOutputSampleBuffer(Stream&, const SampleBufferPtr& buffer, OutputType) override {
        if (buffer && buffer->imageBuffer) {
            ++frames;
        }
    }
    void streamDidStopWithError(Stream&, ErrorPtr error) override {
        std::fprintf(stderr, "stopped: %s\n", error ? error->description.c_str() : "");
        stopped = true;
    }
};

double cpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: bench_pipewire_stream NODE WIDTH HEIGHT FPS SECONDS\n");
        return 1;
    }
    pipewire::SourceOptions options;
    options.node = static_cast<std::uint32_t>(std::stoul(argv[1]));
    auto configuration = std::make_shared<StreamConfiguration>();
    configuration->width = std::stoll(argv[2]);
    configuration->height = std::stoll(argv[3]);
    configuration->minimumFrameInterval = MediaTime{1, std::stoi(argv[4])};
    auto counter = std::make_shared<Counter>();
    auto stream =
        std::make_shared<media::ScreenStream>(pipewire::makeSource(options), configuration, counter,
                                              media::ScreenStream::Refusals{"bench", 1, 2, 3, 4});
    ErrorPtr error;
    stream->addStreamOutput(counter, OutputType::screen, std::make_shared<SerialQueue>("frames"),
                            error);
    stream->startCapture([&](ErrorPtr e) { error = e; });
    if (error) {
        std::fprintf(stderr, "error: %s\n", error->description.c_str());
        return 1;
    }
    // The start is not counted: connecting and the first picture.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    int before = counter->frames;
    double start = cpuMs();
    std::this_thread::sleep_for(std::chrono::duration<double>(std::stod(argv[5])));
    int frames = counter->frames - before;
    double used = cpuMs() - start;
    std::printf("frames %d cpu_ms %.1f per_frame_ms %.3f\n", frames, used,
                frames ? used / frames : 0.0);
    std::fflush(stdout);
    // Ends here, the stream and its source with the process.
    std::_Exit(counter->stopped ? 1 : 0);
}
