// Makes an asynchronous platform request blocking. The waiter and the completion share one
// state: the completion stores what it got and signals once; the waiter reads the boxes only
// after its wait has returned, so the semaphore is all the synchronisation there is. Whoever
// lets go of the state last frees it, so a completion that runs late is still safe.
#pragma once

#include "capture/failure.h"
#include "capture/platform.h"
#include "channels/output.h"

#include <functional>
#include <memory>
#include <semaphore>

namespace lumatap {

// Runs `request` with a completion taking an optional value and an optional error, waits
// with no time-out, and returns the value. Without a value, the error (or its absence) goes
// to failWith, which ends the process; an error that comes with a value is dropped.
template <class T, class Request> std::shared_ptr<const T> awaitValue(Request&& request) {
    struct State {
        std::binary_semaphore done{0};
        std::shared_ptr<const T> result;
        ErrorPtr error;
    };
    auto state = std::make_shared<State>();
    request([state](std::shared_ptr<const T> value, ErrorPtr error) {
        state->result = std::move(value);
        state->error = std::move(error);
        state->done.release();
    });
    state->done.acquire();
    if (state->result) {
        return state->result;
    }
    failWith(state->error);
}

// The error-only form: returns when the request succeeded; an error ends the process through
// failWith.
template <class Request> void awaitCompletion(Request&& request) {
    struct State {
        std::binary_semaphore done{0};
        ErrorPtr error;
    };
    auto state = std::make_shared<State>();
    request([state](ErrorPtr error) {
        state->error = std::move(error);
        state->done.release();
    });
    state->done.acquire();
    if (state->error) {
        failWith(state->error);
    }
}

} // namespace lumatap
