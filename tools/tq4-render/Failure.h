#pragma once

#include <juce_core/juce_core.h>

namespace tq4render
{

// What ends a run early: the message goes to stderr (stdout for --help, exit code 0).
struct Failure
{
    juce::String message;
    int exitCode = 1;
};

} // namespace tq4render
