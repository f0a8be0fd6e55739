#pragma once

namespace lumatap {

// Starts the thread that ends the process with status 0 once the parent has gone.
void watchParent();

} // namespace lumatap
