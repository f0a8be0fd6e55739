// Every line lumatap writes to standard error, and every exit status, defined once.
#pragma once

#include <string_view>

namespace lumatap {

inline constexpr int statusDone = 0;
inline constexpr int statusFailure = 1;
inline constexpr int statusNotAllowed = 2;
inline constexpr int statusGone = 3;

inline constexpr std::string_view usageLine =
    "usage: lumatap list | thumb KIND ID MAXW MAXH | video KIND ID W H FPS IDLE | audio";
inline constexpr std::string_view badNumberPrefix = "usage: bad number ";
inline constexpr std::string_view permissionLine =
    "permission: Screen Recording is not allowed for Beamora";
inline constexpr std::string_view errorPrefix = "error: ";
inline constexpr std::string_view unknownErrorLine = "error: unknown";
inline constexpr std::string_view noMemoryLine = "error: not enough memory";
inline constexpr std::string_view noResourcesPrefix = "error: not enough resources: ";
inline constexpr std::string_view noScreenLine = "error: no screen";
inline constexpr std::string_view noSuchScreenLine = "gone: no such screen";
inline constexpr std::string_view noSuchWindowLine = "gone: no such window";
inline constexpr std::string_view windowClosedLine = "closed: the window was closed";
inline constexpr std::string_view pngLine = "png";
inline constexpr std::string_view readyLine = "ready";

// Stands in for the reason when the platform refuses a stream output without giving one.
inline constexpr std::string_view outputRefusedDescription = "the stream output was refused";

} // namespace lumatap
