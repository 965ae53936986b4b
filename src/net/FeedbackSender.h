#pragma once

#include "net/FeedbackReport.h"
#include "net/HttpClient.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>

namespace tq4
{

// Posts one feedback report from a detached thread and hands the outcome back on the message thread.

struct FeedbackSend
{
    juce::String category; // "feature", "bug" or "other"
    juce::String message;
    juce::String hostName;
    juce::URL endpoint;
    tq4http::HttpOptions options;
};

// What the feedback dialog sends: this host's description, the service endpoint and its time limits.
FeedbackSend makeFeedbackSend(const juce::String& category, const juce::String& message);

// The framework's description of the host the plug-in runs in, "Unknown" when it knows none.
juce::String currentHostDescription();

using FeedbackCompletion = std::function<void(const FeedbackOutcome&)>;

// Message thread only. The completion later runs on the message thread, and only while `receiver`
// exists and the plug-in is not unloading; if no thread can be started it runs at once with
// "network_unreachable". It may be destroyed on the sending thread, so it should capture nothing that
// must be released on the message thread.
void startFeedbackSend(const FeedbackSend& send, juce::Component& receiver, FeedbackCompletion completion);

// Sends whose thread has not ended yet, so shutdown code and tests can wait for them.
int feedbackSendsInFlight();

} // namespace tq4
