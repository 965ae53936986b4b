#pragma once

#include "support/MessagePump.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <dlfcn.h>

#include <cstdint>

namespace tq4test
{

// Hosts install an X error handler; without one Xlib ends the process at the first harmless error,
// such as a window-manager property that a bare X server has no atom for.
inline void ignoreXErrorsAsAHostDoes()
{
    using Handler = int (*)(void*, void*);
    using SetHandler = Handler (*)(Handler);
    if (auto* library = dlopen("libX11.so.6", RTLD_LAZY))
        if (auto* symbol = dlsym(library, "XSetErrorHandler"))
            reinterpret_cast<SetHandler>(reinterpret_cast<std::uintptr_t>(symbol))([](void*, void*)
                                                                                   { return 0; });
}

// A component as a window of its own, so clicks and keys take the framework's real paths: a click
// through the peer focuses what it hits, and key presses go to the focused component.
struct OnScreen
{
    explicit OnScreen(juce::Component& c) : window(c)
    {
        ignoreXErrorsAsAHostDoes();
        window.addToDesktop(0);
        window.setVisible(true);
        peer = window.getPeer();
        pumpMessages(5);
    }
    ~OnScreen() { window.removeFromDesktop(); }

    // Down and up on later turns of the message loop, as a person clicks.
    void click(juce::Point<float> at)
    {
        const auto mouse = juce::MouseInputSource::InputSourceType::mouse;
        const auto pressure = juce::MouseInputSource::defaultPressure;
        const auto orientation = juce::MouseInputSource::defaultOrientation;
        time += 1000; // never part of a double-click
        peer->handleMouseEvent(mouse, at, juce::ModifierKeys::leftButtonModifier, pressure, orientation,
                               time);
        pumpMessages(5);
        peer->handleMouseEvent(mouse, at, {}, pressure, orientation, time + 50);
        pumpMessages(5);
    }

    bool press(const juce::KeyPress& key) { return peer->handleKeyPress(key); }

    // The keys go up; what the focused component does about it may wait for the message loop.
    void releaseKeys()
    {
        peer->handleKeyUpOrDown(false);
        pumpMessages(10);
    }

    juce::Component& window;
    juce::ComponentPeer* peer = nullptr;
    juce::int64 time = juce::Time::currentTimeMillis();
};

} // namespace tq4test
