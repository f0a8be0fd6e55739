#include "inventory/list.h"

#include "capture/failure.h"
#include "capture/geometry.h"
#include "capture/shareable.h"
#include "channels/exit.h"
#include "channels/messages.h"
#include "channels/output.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace lumatap {
namespace {

constexpr std::int64_t unranked = 100000;

// Sizes and positions arrive finite and far inside 64 bits from any real platform; anything
// else is clamped rather than left to undefined conversion.
std::int64_t truncated(double value) {
    if (!(value == value)) {
        return 0;
    }
    constexpr double limit = 9.2e18;
    return static_cast<std::int64_t>(std::clamp(value, -limit, limit));
}

} // namespace

std::unordered_map<std::int64_t, std::int64_t> rankTable() {
    std::unordered_map<std::int64_t, std::int64_t> ranks;
    auto answer =
        platform::copyWindowInfo(windowListOnScreenOnly | windowListExcludeDesktopElements, 0);
    if (!answer) {
        return ranks;
    }
    std::int64_t position = 0;
    for (const auto& info : *answer) {
        auto entry = info.find(windowNumberKey);
        if (entry == info.end()) {
            continue;
        }
        const auto* number = std::get_if<std::int64_t>(&entry->second);
        if (!number) {
            continue;
        }
        ranks.try_emplace(*number, position);
        ++position;
    }
    return ranks;
}

bool listable(const Window& window, ProcessID self, ProcessID parent) {
    return window.windowLayer == 0 && window.isOnScreen && window.owningApplication &&
           window.owningApplication->processID != self &&
           window.owningApplication->processID != parent && window.frame.width >= 160 &&
           window.frame.height >= 120;
}

void list() {
    auto content = shareable(true);
    // A list without the windows would pass for a desktop with none.
    if (content->windowsError) {
        failWith(content->windowsError);
    }

    auto displays = nlohmann::json::array();
    for (const auto& display : content->displays) {
        DisplayID id = display->displayID;
        Size pixels = displayPixels(id);
        Rect bounds = platform::displayBounds(id);
        bool primary = platform::displayIsMain(id);
        displays.push_back({{"id", id},
                            {"width", truncated(pixels.width)},
                            {"height", truncated(pixels.height)},
                            {"left", truncated(bounds.x)},
                            {"top", truncated(bounds.y)},
                            {"primary", primary}});
    }

    auto ranks = rankTable();
    ProcessID self = getpid();
    ProcessID parent = getppid();

    std::vector<std::pair<std::int64_t, nlohmann::json>> entries;
    for (const auto& window : content->windows) {
        if (!listable(*window, self, parent)) {
            continue;
        }
        Size pixels = windowPixels(*window);
        auto rank = ranks.find(window->windowID);
        std::int64_t value = rank == ranks.end() ? unranked : rank->second;
        entries.emplace_back(value,
                             nlohmann::json{{"id", window->windowID},
                                            {"title", window->title.value_or("")},
                                            {"app", window->owningApplication->applicationName},
                                            {"width", truncated(pixels.width)},
                                            {"height", truncated(pixels.height)},
                                            {"rank", value}});
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    auto windows = nlohmann::json::array();
    for (auto& entry : entries) {
        windows.push_back(std::move(entry.second));
    }

    printJSON({{"displays", std::move(displays)}, {"windows", std::move(windows)}});
    exitProcess(statusDone);
}

} // namespace lumatap
