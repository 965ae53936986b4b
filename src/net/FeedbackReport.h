#pragma once

#include "net/HttpClient.h"

#include <juce_core/juce_core.h>

namespace tq4
{

// The feedback report the plug-in posts, where it goes, and how the service's answer reads to the user.

inline constexpr int maxFeedbackMessageChars = 4000;

// "feature", "bug", "other" for the dialog's three category buttons; anything else is "other".
juce::String feedbackCategoryCode(int categoryIndex);

// The Windows versions by their familiar names, every other system by the framework's name, at most
// 64 characters.
juce::String reportOsName(juce::SystemStats::OperatingSystemType type, const juce::String& frameworkName);

// One-line JSON: category, message, plugin_name, plugin_version, os_name, daw_name, in that order.
juce::String buildFeedbackReport(const juce::String& category, const juce::String& message,
                                 const juce::String& hostName);

// JSON::parse of an answer, or void when the text is over 8192 bytes, does not start with "{" after an
// optional byte-order mark and white space, or opens more than 4 levels of brackets at once.
juce::var parseJsonGuarded(const juce::String& text);

struct FeedbackOutcome
{
    bool ok = false;
    juce::String code; // "received", a message of the service, or why the send failed
};

FeedbackOutcome feedbackOutcomeFor(const tq4http::HttpResult& result);

// The status line the dialog shows for an outcome; an outcome that is not ok is shown as an error.
juce::String feedbackStatusText(const FeedbackOutcome& outcome);

juce::String feedbackServiceHost();
juce::URL feedbackServiceUrl();

} // namespace tq4
