#include "lumatap/command_line.h"

#include "audio/audio.h"
#include "channels/exit.h"
#include "channels/messages.h"
#include "channels/output.h"
#include "inventory/list.h"
#include "lumatap/parent_watch.h"
#include "still/thumb.h"
#include "video/nv12.h"
#include "video/video.h"

#include <charconv>
#include <chrono>
#include <limits>
#include <thread>
#include <unistd.h>

namespace lumatap {
namespace {

std::vector<std::string> args;
const std::string emptyText;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

void setArgs(std::vector<std::string> arguments) {
    args = std::move(arguments);
}

const std::string& arg(std::size_t index) {
    return index < args.size() ? args[index] : emptyText;
}

std::optional<std::int64_t> parseNumber(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    for (char c : text) {
        if (!isDigit(c)) {
            return std::nullopt;
        }
    }
    // Magnitudes are read as unsigned so that the most negative value fits as well.
    std::uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (!negative) {
        if (magnitude > max) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(magnitude);
    }
    if (magnitude > max + 1) {
        return std::nullopt;
    }
    return magnitude == max + 1 ? std::numeric_limits<std::int64_t>::min()
                                : -static_cast<std::int64_t>(magnitude);
}

std::int64_t num(std::size_t index) {
    const std::string& text = arg(index);
    auto value = parseNumber(text);
    if (!value || *value < 1) {
        fail(std::string(badNumberPrefix) + text);
    }
    return *value;
}

std::uint32_t targetID(std::size_t index) {
    std::int64_t value = num(index);
    if (value > std::numeric_limits<std::uint32_t>::max()) {
        fail(std::string(badNumberPrefix) + arg(index));
    }
    return static_cast<std::uint32_t>(value);
}

void dispatch() {
    watchParent();
    const std::string& command = arg(1);
    if (command == "list") {
        list();
    }
    if (command == "thumb") {
        // Read strictly in position order, so the first bad number is the one reported.
        const std::string& kind = arg(2);
        std::uint32_t id = targetID(3);
        auto maxWidth = static_cast<double>(num(4));
        auto maxHeight = static_cast<double>(num(5));
        thumb(kind, id, maxWidth, maxHeight);
    }
    if (command == "video") {
        const std::string& kind = arg(2);
        std::uint32_t id = targetID(3);
        // A frame size that cannot be counted or held, and a rate that cannot be a frame
        // interval's timescale, are refused here, before anything is captured. The width is
        // judged as a frame one row high, so the number blamed is the one that breaks it.
        std::int64_t width = num(4);
        if (!frameSize(width, 1)) {
            fail(std::string(badNumberPrefix) + arg(4));
        }
        std::int64_t height = num(5);
        if (!frameSize(width, height)) {
            fail(std::string(badNumberPrefix) + arg(5));
        }
        std::int64_t fps = num(6);
        if (fps > std::numeric_limits<std::int32_t>::max()) {
            fail(std::string(badNumberPrefix) + arg(6));
        }
        std::int64_t idle = num(7);
        video(kind, id, width, height, fps, idle);
    }
    if (command == "audio") {
        audio();
    }
    fail(usageLine);
}

} // namespace lumatap
