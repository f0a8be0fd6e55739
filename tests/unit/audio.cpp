// The audio command over the simulated platform, and its sink `Sound`: what is dropped,
// what is written, how the job ends, and how the stream is set up.
#include "audio/audio.h"

#include "audio/sound.h"
#include "capture/sim/sim.h"
#include "channels/exit.h"
#include "channels/messages.h"
#include "channels/output.h"
#include "tests/support/child.h"

#include <gtest/gtest.h>
#include <ostream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace lumatap {
namespace {

using test::ChildResult;
using test::runInChild;

struct AudioShape {
    std::vector<std::vector<float>> buffers;
    std::uint32_t channels = 2;
    std::uint32_t flags = audioFormatFlagIsFloat;
    std::uint32_t bits = 32;
    std::int64_t frames = 0;
};

SampleBufferPtr audioSample(AudioShape shape) {
    auto data = std::make_shared<std::vector<std::vector<float>>>(std::move(shape.buffers));
    auto list = std::make_shared<AudioBufferList>();
    for (const auto& buffer : *data) {
        list->buffers.push_back({shape.flags & audioFormatFlagIsNonInterleaved ? 1 : shape.channels,
                                 static_cast<std::uint32_t>(buffer.size() * sizeof(float)),
                                 buffer.data()});
    }
    list->storage = data;
    auto sample = std::make_shared<SampleBuffer>();
    sample->numSamples = shape.frames;
    AudioStreamBasicDescription format;
    format.sampleRate = 48000;
    format.formatFlags = shape.flags;
    format.channelsPerFrame = shape.channels;
    format.bitsPerChannel = shape.bits;
    sample->format = format;
    sample->audioBufferList = list;
    return sample;
}

// Three stereo frames; the block they make is below.
SampleBufferPtr threeFrames() {
    return audioSample(
        {{{0.5f, -0.5f, 1.0f, -1.0f, 0.25f, 0.0f}}, 2, audioFormatFlagIsFloat, 32, 3});
}
const std::string threeFramesBlock("\xff\x3f\x01\xc0\xff\x7f\x01\x80\xff\x1f\x00\x00", 12);

std::shared_ptr<sim::SimStream> bareStream() {
    return std::make_shared<sim::SimStream>(nullptr, nullptr, nullptr);
}

// ---- Sound ------------------------------------------------------------------------------

struct Unusable {
    const char* name;
    std::function<SampleBufferPtr()> sample;
    OutputType type = OutputType::audio;
};

void PrintTo(const Unusable& p, std::ostream* os) {
    *os << p.name;
}

SampleBufferPtr changed(const std::function<void(SampleBuffer&)>& change) {
    auto sample = std::make_shared<SampleBuffer>(*threeFrames());
    change(*sample);
    return sample;
}

// Catches a sink that writes pictures, incomplete buffers or foreign formats as PCM, or that
// reads a buffer list past its data; each must vanish without output or message.
class UnusableBuffers : public testing::TestWithParam<Unusable> {};

TEST_P(UnusableBuffers, AreDroppedSilently) {
    const Unusable& u = GetParam();
    auto result = runInChild([&] {
        auto stream = bareStream();
        Sound sound;
        sound.streamDidOutputSampleBuffer(*stream, u.sample(), u.type);
        exitProcess(statusDone);
    });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Sound, UnusableBuffers,
    testing::Values(
        Unusable{"Screen", threeFrames, OutputType::screen},
        Unusable{"UnknownType", threeFrames, static_cast<OutputType>(7)},
        Unusable{"Missing", [] { return SampleBufferPtr(); }},
        Unusable{"Invalid", [] { return changed([](auto& s) { s.valid = false; }); }},
        Unusable{"NoSamples", [] { return changed([](auto& s) { s.numSamples = 0; }); }},
        Unusable{"NegativeCount", [] { return changed([](auto& s) { s.numSamples = -3; }); }},
        Unusable{"NoFormat", [] { return changed([](auto& s) { s.format.reset(); }); }},
        Unusable{"Integer", [] { return changed([](auto& s) { s.format->formatFlags = 0; }); }},
        Unusable{"Float64", [] { return changed([](auto& s) { s.format->bitsPerChannel = 64; }); }},
        Unusable{"NoChannels",
                 [] { return changed([](auto& s) { s.format->channelsPerFrame = 0; }); }},
        Unusable{"NoBufferList",
                 [] {
                     return changed([](auto& s) {
                         s.audioBufferList.reset();
                         s.audioBufferListError = makeError("CoreMedia", -12731, "no list");
                     });
                 }},
        Unusable{"ListWithoutBuffers",
                 [] {
                     return changed(
                         [](auto& s) { s.audioBufferList = std::make_shared<AudioBufferList>(); });
                 }},
        Unusable{"NullData",
                 [] {
                     return changed([](auto& s) {
                         auto list = std::make_shared<AudioBufferList>(*s.audioBufferList);
                         list->buffers[0].data = nullptr;
                         s.audioBufferList = list;
                     });
                 }},
        Unusable{"FewerFloatsThanFrames",
                 [] { return changed([](auto& s) { s.numSamples = 4; }); }},
        Unusable{"RightBufferShort",
                 [] {
                     return audioSample({{{0, 0, 0}, {0, 0}},
                                         2,
                                         audioFormatFlagIsFloat | audioFormatFlagIsNonInterleaved,
                                         32,
                                         3});
                 }}),
    [](const auto& info) { return std::string(info.param.name); });

// Catches a block of the wrong size or layout, and a buffer whose list the platform could
// not give taking later buffers down with it.
TEST(Sound, WritesOneBlockPerUsableBuffer) {
    auto result = runInChild([] {
        auto stream = bareStream();
        Sound sound;
        sound.streamDidOutputSampleBuffer(
            *stream, changed([](auto& s) { s.audioBufferList.reset(); }), OutputType::audio);
        sound.streamDidOutputSampleBuffer(*stream, threeFrames(), OutputType::audio);
        sound.streamDidOutputSampleBuffer(*stream, threeFrames(), OutputType::audio);
        exitProcess(statusDone);
    });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, threeFramesBlock + threeFramesBlock);
    EXPECT_EQ(result.err, "");
}

// Catches a sink that carries on, complains or fails when the reader has gone.
TEST(Sound, AGoneReaderEndsTheJobQuietly) {
    auto result = runInChild([] {
        int ends[2];
        if (pipe(ends) != 0) {
            _exit(98);
        }
        close(ends[0]);
        dup2(ends[1], STDOUT_FILENO);
        auto stream = bareStream();
        Sound sound;
        sound.streamDidOutputSampleBuffer(*stream, threeFrames(), OutputType::audio);
        _exit(97);
    });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
}

struct Stop {
    const char* name;
    ErrorPtr error;
    int status;
    std::string line;
};

void PrintTo(const Stop& p, std::ostream* os) {
    *os << p.name;
}

// Catches a stop that is ignored, or reported with the wrong line or status.
class StreamStops : public testing::TestWithParam<Stop> {};

TEST_P(StreamStops, EndTheJobThroughTheErrorLine) {
    const Stop& s = GetParam();
    auto result = runInChild([&] {
        auto stream = bareStream();
        Sound sound;
        sound.streamDidStopWithError(*stream, s.error);
    });
    EXPECT_EQ(result.status, s.status);
    EXPECT_EQ(result.err, s.line + "\n");
    EXPECT_EQ(result.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Sound, StreamStops,
    testing::Values(Stop{"WithAnError", makeError("lumatap.pulse", 6, "the sound server went away"),
                         1, "error: the sound server went away"},
                    Stop{"NotAllowed",
                         makeError(std::string(streamErrorDomain), userDeclinedCode, "declined"), 2,
                         std::string(permissionLine)},
                    Stop{"WithoutAnError", nullptr, 1, std::string(unknownErrorLine)}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- audio ------------------------------------------------------------------------------

std::shared_ptr<const RunningApplication> application(ProcessID pid, const char* name) {
    return std::make_shared<const RunningApplication>(RunningApplication{pid, name});
}

sim::World world(std::vector<DisplayID> displays, DisplayID main,
                 std::vector<std::shared_ptr<const RunningApplication>> applications = {}) {
    auto content = std::make_shared<ShareableContent>();
    for (DisplayID id : displays) {
        content->displays.push_back(std::make_shared<const Display>(Display{id}));
    }
    content->applications = std::move(applications);
    sim::World w;
    w.content = content;
    w.mainDisplay = main;
    return w;
}

// Waits, in the child, until `fd` (a memory file) has had something written to it.
bool waitForBytes(int fd, off_t size) {
    for (int i = 0; i < 2000; ++i) {
        if (lseek(fd, 0, SEEK_CUR) >= size) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// Starts the command in the child and waits until it has said "ready".
std::shared_ptr<sim::SimStream> startAudio(sim::World w) {
    sim::setWorld(std::move(w));
    std::thread([] { audio(); }).detach();
    if (!waitForBytes(STDERR_FILENO, 1)) {
        _exit(96);
    }
    return sim::lastStream();
}

// What the command set up, as text the parent can compare.
std::string describe(const sim::SimStream& stream) {
    std::ostringstream text;
    auto request = sim::lastContentRequest();
    text << "snapshot " << request.first << request.second << "\n";
    text << "display " << stream.filter->display->displayID << "\n";
    text << "excluded";
    for (const auto& a : stream.filter->excludedApplications) {
        text << " " << a->applicationName;
    }
    text << "\nexcepted " << stream.filter->exceptedWindows.size() << "\n";
    const StreamConfiguration& c = *stream.configuration;
    text << "audio " << c.capturesAudio.value_or(false)
         << c.excludesCurrentProcessAudio.value_or(false) << " " << c.sampleRate.value_or(0) << " "
         << c.channelCount.value_or(0) << "\n";
    text << "picture " << c.width.value_or(0) << "x" << c.height.value_or(0) << " every "
         << (c.minimumFrameInterval ? c.minimumFrameInterval->value : 0) << "/"
         << (c.minimumFrameInterval ? c.minimumFrameInterval->timescale : 0) << "\n";
    text << "unset " << (c.pixelFormat || c.queueDepth || c.showsCursor || c.scalesToFit) << "\n";
    for (const auto& r : stream.outputs()) {
        text << "output " << static_cast<int>(r.type) << " " << r.queue->label() << " "
             << (r.output.get() == dynamic_cast<StreamOutput*>(stream.delegate.get())) << "\n";
    }
    text << "started " << stream.started() << "\n";
    return text.str();
}

std::string setupFor(std::function<sim::World()> make) {
    auto result = runInChild([&] {
        auto stream = startAudio(make());
        std::string text = describe(*stream);
        writeAll(text.data(), text.size());
        exitProcess(statusDone);
    });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "ready\n");
    return result.out;
}

// Catches a stream configured otherwise than the host expects: wrong display, wrong sound
// format, pictures not kept tiny, outputs on the wrong queues or to another sink.
TEST(Audio, SetsUpOneStreamOfTheMainDisplay) {
    std::string setup = setupFor([] { return world({4, 9}, 9); });
    EXPECT_EQ(setup, "snapshot 11\n"
                     "display 9\n"
                     "excluded\n"
                     "excepted 0\n"
                     "audio 11 48000 2\n"
                     "picture 2x2 every 1/1\n"
                     "unset 0\n"
                     "output 1 audio 1\n"
                     "output 0 ignored 1\n"
                     "started 1\n");
}

// Catches the first display being taken while another one is the main display, or no
// display at all being taken when none is main.
TEST(Audio, TakesTheFirstDisplayWhenNoneIsMain) {
    EXPECT_NE(setupFor([] { return world({4, 9}, 77); }).find("display 4\n"), std::string::npos);
    EXPECT_NE(setupFor([] { return world({3}, 3); }).find("display 3\n"), std::string::npos);
}

// Catches the host or the tool itself left in the capture, or others taken out with them.
TEST(Audio, LeavesOutTheParentAndItselfInSnapshotOrder) {
    std::string setup = setupFor([] {
        return world({1}, 1,
                     {application(getpid(), "self"), application(getppid() + 100000, "other"),
                      application(getppid(), "parent")});
    });
    EXPECT_NE(setup.find("excluded self parent\n"), std::string::npos) << setup;
}

// Catches PCM that does not reach standard output through the stream, or pictures that do.
TEST(Audio, WritesTheStreamsSoundAndNotItsPictures) {
    auto result = runInChild([] {
        auto stream = startAudio(world({1}, 1));
        auto picture = std::make_shared<PixelBuffer>();
        stream->deliver(OutputType::screen, sim::screenSample(picture));
        stream->deliver(OutputType::audio, threeFrames());
        stream->deliver(OutputType::audio, threeFrames());
        waitForBytes(STDOUT_FILENO, 24);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        exitProcess(statusDone);
    });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, threeFramesBlock + threeFramesBlock);
    EXPECT_EQ(result.err, "ready\n");
}

struct Refusal {
    const char* name;
    std::function<sim::World()> world;
    int status;
    std::string err;
};

void PrintTo(const Refusal& p, std::ostream* os) {
    *os << p.name;
}

sim::World refusing(const std::function<void(sim::World&)>& change) {
    sim::World w = world({1}, 1);
    change(w);
    return w;
}

const ErrorPtr notAllowed =
    makeError(std::string(streamErrorDomain), userDeclinedCode, "The user declined");

// Catches a failed setup that goes on to "ready", ends with the wrong line or status, or
// reports a refused output without a reason as "error: unknown".
class SetupFailures : public testing::TestWithParam<Refusal> {};

TEST_P(SetupFailures, EndTheJobBeforeReady) {
    const Refusal& r = GetParam();
    auto result = runInChild([&] {
        sim::setWorld(r.world());
        audio();
    });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, r.status);
    EXPECT_EQ(result.err, r.err + "\n");
    EXPECT_EQ(result.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Audio, SetupFailures,
    testing::Values(Refusal{"NoDisplay", [] { return world({}, 0); }, 1, "error: no screen"},
                    Refusal{"SnapshotRefused",
                            [] {
                                return refusing([](auto& w) {
                                    w.content = nullptr;
                                    w.contentError = makeError("x", 3, "no snapshot");
                                });
                            },
                            1, "error: no snapshot"},
                    Refusal{"SnapshotNotAllowed",
                            [] {
                                return refusing([](auto& w) {
                                    w.content = nullptr;
                                    w.contentError = notAllowed;
                                });
                            },
                            2, std::string(permissionLine)},
                    Refusal{"AudioOutputRefused",
                            [] {
                                return refusing([](auto& w) {
                                    w.refuseOutputAt = 0;
                                    w.refuseOutputError = makeError("x", 4, "no sound output");
                                });
                            },
                            1, "error: no sound output"},
                    Refusal{"AudioOutputRefusedWithoutReason",
                            [] { return refusing([](auto& w) { w.refuseOutputAt = 0; }); }, 1,
                            std::string(errorPrefix) + std::string(outputRefusedDescription)},
                    Refusal{"ScreenOutputRefused",
                            [] {
                                return refusing([](auto& w) {
                                    w.refuseOutputAt = 1;
                                    w.refuseOutputError = notAllowed;
                                });
                            },
                            2, std::string(permissionLine)},
                    Refusal{"StartFails",
                            [] {
                                return refusing([](auto& w) {
                                    w.startError = makeError("lumatap.pulse", 6, "no sound server");
                                });
                            },
                            1, "error: no sound server"},
                    Refusal{"StartNotAllowed",
                            [] { return refusing([](auto& w) { w.startError = notAllowed; }); }, 2,
                            std::string(permissionLine)}),
    [](const auto& info) { return std::string(info.param.name); });

// Catches a stream stop after "ready" that does not end the job through its error.
TEST(Audio, AStreamThatStopsEndsTheJob) {
    auto result = runInChild([] {
        auto stream = startAudio(world({1}, 1));
        stream->stop(makeError("lumatap.pulse", 6, "the sound server went away"));
        std::this_thread::sleep_for(std::chrono::seconds(5));
        _exit(95);
    });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "ready\nerror: the sound server went away\n");
}

} // namespace
} // namespace lumatap
