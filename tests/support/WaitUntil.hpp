#pragma once

#include <chrono>
#include <thread>

namespace kestrova::testing {

// Polls the predicate until it holds or the bound runs out; returns its last answer. Tests wait for the condition
// they need through this, never for a fixed time.
template <typename Predicate>
bool waitUntil(Predicate&& predicate, std::chrono::milliseconds bound,
               std::chrono::milliseconds interval = std::chrono::milliseconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) return predicate();
        std::this_thread::sleep_for(interval);
    }
    return true;
}

}  // namespace kestrova::testing
