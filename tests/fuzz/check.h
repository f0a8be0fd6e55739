// What a fuzz target does when a property fails: says which, and aborts so that libFuzzer keeps
// the input as a crash artifact.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace lumatap::fuzz {

inline void check(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "property failed: %s\n", property);
        std::abort();
    }
}

} // namespace lumatap::fuzz
