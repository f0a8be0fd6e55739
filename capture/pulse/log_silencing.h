// Keeps libpulse's own messages off standard error, where only our lines may go.
#pragma once

namespace lumatap::pulse {

// Once per process, before the first context is made.
void silenceLibpulse();

} // namespace lumatap::pulse
