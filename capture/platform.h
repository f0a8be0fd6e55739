// The seam between lumatap's portable core and the capture services of the machine.
//
// The core talks to the platform only through what this header declares. Each backend
// (capture/x11 or capture/wayland with capture/pulse beside it for a real Linux desktop,
// capture/sim for tests) implements the Platform interface; the program installs one at start
// and the operations of namespace lumatap::platform go to it, so the core never knows which
// one runs.
//
// Platform objects are handed out through counted references and never modified once
// handed out. Completions and stream callbacks run on threads of the backend's choosing.
#pragma once

#include "capture/serial_queue.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace lumatap {

using Bytes = std::vector<std::uint8_t>;

using DisplayID = std::uint32_t;
using WindowID = std::uint32_t;
using ProcessID = std::int32_t;

// A failure the platform reports: read for its domain, code and description only.
struct Error {
    std::string domain;
    std::int64_t code = 0;
    std::string description;
};
using ErrorPtr = std::shared_ptr<const Error>;

// The domain of stream errors, and its code for a capture the user has not allowed.
inline constexpr std::string_view streamErrorDomain = "SCStreamErrorDomain";
inline constexpr std::int64_t userDeclinedCode = -3801;

inline ErrorPtr makeError(std::string domain, std::int64_t code, std::string description) {
    return std::make_shared<const Error>(Error{std::move(domain), code, std::move(description)});
}

struct Point {
    double x = 0;
    double y = 0;
};

struct Size {
    double width = 0;
    double height = 0;
};

// Bounds and frames are in points of the one global display space.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double midX() const { return x + width / 2; }
    double midY() const { return y + height / 2; }
};

// ---- Content snapshot -------------------------------------------------------------------

struct RunningApplication {
    ProcessID processID = 0;
    std::string applicationName;
};

struct Display {
    DisplayID displayID = 0;
};

struct Window {
    WindowID windowID = 0;
    std::optional<std::string> title;
    Rect frame;
    std::int64_t windowLayer = 0;
    bool isOnScreen = false;
    std::shared_ptr<const RunningApplication> owningApplication;
};

// What may be captured at one moment, each list in the platform's order.
struct ShareableContent {
    std::vector<std::shared_ptr<const Display>> displays;
    std::vector<std::shared_ptr<const Window>> windows;
    std::vector<std::shared_ptr<const RunningApplication>> applications;
    // Set when the desktop lets its displays be captured but refuses to tell its windows (GNOME
    // without lumatap's extension): why. Listing and every window target then fail with it.
    ErrorPtr windowsError;
};

// ---- Window server ----------------------------------------------------------------------

using InfoValue = std::variant<std::int64_t, double, bool, std::string>;
using WindowInfo = std::map<std::string, InfoValue, std::less<>>;
// Absent when the window server gives no answer or one that is not a list.
using WindowList = std::optional<std::vector<WindowInfo>>;

inline constexpr std::string_view windowNumberKey = "kCGWindowNumber";

enum WindowListOption : std::uint32_t {
    windowListOnScreenOnly = 1,
    windowListIncludingWindow = 8,
    windowListExcludeDesktopElements = 16,
};

// ---- Filters and configuration ----------------------------------------------------------

// What a capture covers: a whole display (with some windows or applications left out), or
// one window on its own when `window` is set.
struct ContentFilter {
    std::shared_ptr<const Display> display;
    std::shared_ptr<const Window> window;
    std::vector<std::shared_ptr<const Window>> excludedWindows;
    std::vector<std::shared_ptr<const RunningApplication>> excludedApplications;
    std::vector<std::shared_ptr<const Window>> exceptedWindows;
};

inline std::shared_ptr<const ContentFilter>
filterWithDisplay(std::shared_ptr<const Display> display,
                  std::vector<std::shared_ptr<const Window>> excludingWindows) {
    auto filter = std::make_shared<ContentFilter>();
    filter->display = std::move(display);
    filter->excludedWindows = std::move(excludingWindows);
    return filter;
}

inline std::shared_ptr<const ContentFilter>
filterWithDisplay(std::shared_ptr<const Display> display,
                  std::vector<std::shared_ptr<const RunningApplication>> excludingApplications,
                  std::vector<std::shared_ptr<const Window>> exceptingWindows) {
    auto filter = std::make_shared<ContentFilter>();
    filter->display = std::move(display);
    filter->excludedApplications = std::move(excludingApplications);
    filter->exceptedWindows = std::move(exceptingWindows);
    return filter;
}

inline std::shared_ptr<const ContentFilter>
filterWithDesktopIndependentWindow(std::shared_ptr<const Window> window) {
    auto filter = std::make_shared<ContentFilter>();
    filter->window = std::move(window);
    return filter;
}

struct MediaTime {
    std::int64_t value = 0;
    std::int32_t timescale = 0;
};

// Bi-planar 4:2:0 YCbCr, 8 bits, video range ("420v").
inline constexpr std::uint32_t pixelFormat420v = 875704438;
inline constexpr std::string_view colorMatrixITU_R_709_2 = "ITU_R_709_2";
inline constexpr std::string_view colorSpaceITUR_709 = "kCGColorSpaceITUR_709";

// Settings left unset keep the backend's defaults.
struct StreamConfiguration {
    std::optional<std::int64_t> width;
    std::optional<std::int64_t> height;
    std::optional<MediaTime> minimumFrameInterval;
    std::optional<std::uint32_t> pixelFormat;
    std::optional<std::string> colorMatrix;
    std::optional<std::string> colorSpaceName;
    std::optional<bool> showsCursor;
    std::optional<bool> scalesToFit;
    std::optional<bool> preservesAspectRatio;
    std::optional<int> queueDepth;
    std::optional<bool> capturesAudio;
    std::optional<bool> excludesCurrentProcessAudio;
    std::optional<int> sampleRate;
    std::optional<int> channelCount;
};

// ---- Still images -----------------------------------------------------------------------

// A picture, 8-bit BGRA rows. Opaque (the alpha byte is not looked at) unless `alpha` is set:
// then the fourth byte is the pixel's opacity and the colours are premultiplied by it.
struct Image {
    std::size_t width = 0;
    std::size_t height = 0;
    std::size_t bytesPerRow = 0;
    Bytes pixels;
    bool alpha = false;
};

// ---- Sample buffers ---------------------------------------------------------------------

enum class OutputType : int { screen = 0, audio = 1 };

enum class FrameStatus : std::int64_t {
    complete = 0,
    idle = 1,
    blank = 2,
    suspended = 3,
    started = 4,
    stopped = 5,
};

inline constexpr std::string_view frameStatusKey = "SCStreamFrameInfoStatus";
using Attachments = std::map<std::string, InfoValue, std::less<>>;

// A captured picture as planes of rows. The memory stays valid, and unchanged, for as long
// as the buffer is held; `storage` keeps it alive (a pooled buffer goes back to its pool
// when the last holder lets go).
struct PixelBuffer {
    struct Plane {
        const std::uint8_t* base = nullptr;
        std::size_t bytesPerRow = 0;
        std::size_t height = 0;
    };
    std::vector<Plane> planes;
    std::shared_ptr<const void> storage;

    const std::uint8_t* baseAddressOfPlane(std::size_t plane) const {
        return plane < planes.size() ? planes[plane].base : nullptr;
    }
    std::size_t bytesPerRowOfPlane(std::size_t plane) const {
        return plane < planes.size() ? planes[plane].bytesPerRow : 0;
    }
    std::size_t heightOfPlane(std::size_t plane) const {
        return plane < planes.size() ? planes[plane].height : 0;
    }
};

inline constexpr std::uint32_t audioFormatFlagIsFloat = 0x1;
inline constexpr std::uint32_t audioFormatFlagIsNonInterleaved = 0x20;

struct AudioStreamBasicDescription {
    double sampleRate = 0;
    std::uint32_t formatID = 0;
    std::uint32_t formatFlags = 0;
    std::uint32_t bytesPerPacket = 0;
    std::uint32_t framesPerPacket = 0;
    std::uint32_t bytesPerFrame = 0;
    std::uint32_t channelsPerFrame = 0;
    std::uint32_t bitsPerChannel = 0;
};

struct AudioBuffer {
    std::uint32_t numberChannels = 0;
    std::uint32_t dataByteSize = 0;
    const void* data = nullptr;
};

struct AudioBufferList {
    std::vector<AudioBuffer> buffers;
    std::shared_ptr<const void> storage;
};

// One delivery of a stream: a picture (with its frame information) or a run of audio.
struct SampleBuffer {
    bool valid = true;
    std::optional<std::vector<Attachments>> attachments;
    std::shared_ptr<const PixelBuffer> imageBuffer;
    std::int64_t numSamples = 0;
    std::optional<AudioStreamBasicDescription> format;
    // Absent when the platform cannot give the buffer list; then `audioBufferListError`
    // may say why.
    std::shared_ptr<const AudioBufferList> audioBufferList;
    ErrorPtr audioBufferListError;
};
using SampleBufferPtr = std::shared_ptr<const SampleBuffer>;

// ---- Streams ----------------------------------------------------------------------------

class Stream;

class StreamOutput {
  public:
    virtual ~StreamOutput() = default;
    virtual void streamDidOutputSampleBuffer(Stream& stream, const SampleBufferPtr& sampleBuffer,
                                             OutputType type) = 0;
};

class StreamDelegate {
  public:
    virtual ~StreamDelegate() = default;
    virtual void streamDidStopWithError(Stream& stream, ErrorPtr error) = 0;
};

class Stream {
  public:
    virtual ~Stream() = default;
    // Delivers samples of `type` to `output` on `queue`. False when the platform refuses;
    // `error` then says why, or stays empty when the platform gives no reason.
    virtual bool addStreamOutput(std::shared_ptr<StreamOutput> output, OutputType type,
                                 std::shared_ptr<SerialQueue> queue, ErrorPtr& error) = 0;
    // Starts capturing; `completion` runs once, with an error when the start failed.
    virtual void startCapture(std::function<void(ErrorPtr)> completion) = 0;
};

// ---- Operations -------------------------------------------------------------------------

namespace platform {

using ContentCompletion = std::function<void(std::shared_ptr<const ShareableContent>, ErrorPtr)>;
using ImageCompletion = std::function<void(std::shared_ptr<const Image>, ErrorPtr)>;

struct DisplayMode {
    std::size_t pixelWidth = 0;
    std::size_t pixelHeight = 0;
};

} // namespace platform

// The capture services of one kind of desktop. A backend implements them all; the program
// uses exactly one, chosen once at start.
class Platform {
  public:
    virtual ~Platform() = default;

    // Answers once, later, on another thread (or never).
    virtual void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                                     platform::ContentCompletion completion) = 0;
    // The display's current mode in pixels, or none.
    virtual std::optional<platform::DisplayMode> copyDisplayMode(DisplayID display) = 0;
    // The display's bounds in points.
    virtual Rect displayBounds(DisplayID display) = 0;
    virtual DisplayID mainDisplayID() = 0;
    virtual bool displayIsMain(DisplayID display) = 0;
    // The one display that holds `point`; none when no display does or the query fails.
    virtual std::optional<DisplayID> displayWithPoint(Point point) = 0;
    // The window server's list of window descriptions, front to back.
    virtual WindowList copyWindowInfo(std::uint32_t options, WindowID relativeToWindow) = 0;
    // Captures one still image; the completion runs once with an image or an error.
    virtual void captureImage(std::shared_ptr<const ContentFilter> filter,
                              std::shared_ptr<const StreamConfiguration> configuration,
                              platform::ImageCompletion completion) = 0;
    // PNG file bytes of `image`, or none when encoding fails.
    virtual std::optional<Bytes> encodePNG(const Image& image) = 0;
    virtual std::shared_ptr<Stream>
    createStream(std::shared_ptr<const ContentFilter> filter,
                 std::shared_ptr<const StreamConfiguration> configuration,
                 std::shared_ptr<StreamDelegate> delegate) = 0;
};

// The operations the core calls, each handed to the platform in use.
namespace platform {

// Makes `backend` the platform in use. Called once at start, before any other thread runs.
void install(std::unique_ptr<Platform> backend);
// The platform for the desktop this process runs on; defined by the backend library that the
// executable links (tests install the simulated one instead).
std::unique_ptr<Platform> forThisMachine();

void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                         ContentCompletion completion);
std::optional<DisplayMode> copyDisplayMode(DisplayID display);
Rect displayBounds(DisplayID display);
DisplayID mainDisplayID();
bool displayIsMain(DisplayID display);
std::optional<DisplayID> displayWithPoint(Point point);
WindowList copyWindowInfo(std::uint32_t options, WindowID relativeToWindow);
void captureImage(std::shared_ptr<const ContentFilter> filter,
                  std::shared_ptr<const StreamConfiguration> configuration,
                  ImageCompletion completion);
std::optional<Bytes> encodePNG(const Image& image);
std::shared_ptr<Stream> createStream(std::shared_ptr<const ContentFilter> filter,
                                     std::shared_ptr<const StreamConfiguration> configuration,
                                     std::shared_ptr<StreamDelegate> delegate);

} // namespace platform
} // namespace lumatap
