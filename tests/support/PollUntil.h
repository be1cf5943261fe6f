#pragma once
// Polls until done() holds; false when the deadline passes first. The deadline only bounds a
// failing test: a passing one returns as soon as the condition holds.
#include <chrono>
#include <functional>
#include <thread>

inline bool PollUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds deadline = std::chrono::seconds(20))
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
