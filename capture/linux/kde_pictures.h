// Pictures of KDE Plasma through KWin's screencasts: KWin makes a PipeWire node of an output or
// a window, and the shared PipeWire frame source reads it.
#pragma once

#include "capture/platform.h"

#include <memory>
#include <optional>
#include <string>

namespace lumatap::platform {

// What to capture: the window KWin knows by `uuid`, or else the display `display`.
struct KdeSubject {
    std::string uuid;
    DisplayID display = 0;
};

// One picture of `subject`, scaled as `configuration` asks for a still, without the pointer.
// None, with `error`, when KWin refuses: for want of a grant, the permission's refusal.
std::shared_ptr<const Image> kdeStill(const KdeSubject& subject,
                                      const StreamConfiguration* configuration, ErrorPtr& error);

std::shared_ptr<Stream> kdeStream(KdeSubject subject,
                                  std::shared_ptr<const StreamConfiguration> configuration,
                                  std::shared_ptr<StreamDelegate> delegate);

} // namespace lumatap::platform
