#pragma once

#include <juce_events/juce_events.h>

#include <functional>

namespace juce
{
// The framework's own single step of the message loop, which its plug-in wrappers also call.
bool dispatchNextMessageOnSystemQueue(bool returnIfNoPendingMessages);
} // namespace juce

// Runs the message loop the way a host does between callbacks, so asynchronous notifications arrive.
namespace tq4test
{

inline bool pumpUntil(const std::function<bool()>& done, int timeoutMs)
{
    const auto end = juce::Time::getMillisecondCounter() + static_cast<juce::uint32>(timeoutMs);
    while (!done() && juce::Time::getMillisecondCounter() < end)
    {
        while (juce::dispatchNextMessageOnSystemQueue(true))
        {
        }
        juce::Thread::sleep(2);
    }
    return done();
}

inline void pumpMessages(int forMs = 10)
{
    pumpUntil([] { return false; }, forMs);
}

} // namespace tq4test
