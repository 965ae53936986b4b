#include "net/FeedbackReport.h"

#include "net/ScrambledName.h"

#include <utility>

// Builds that do not include cmake/Feedback.cmake still reach nobody.
#ifndef TQ4_FEEDBACK_HOST
#define TQ4_FEEDBACK_HOST "feedback.veldrane.test"
#endif

namespace tq4
{

namespace
{

constexpr auto scrambledFeedbackHost = scrambleName(TQ4_FEEDBACK_HOST);

#ifdef JucePlugin_VersionString
constexpr const char* pluginVersion = JucePlugin_VersionString;
#else
constexpr const char* pluginVersion = "1.0.0";
#endif

constexpr int maxAnswerBytes = 8192;
constexpr int maxAnswerDepth = 4;

// Written by hand because the framework's writer emits "\a" for BEL, which strict JSON parsers reject.
void appendJsonString(juce::String& out, const juce::String& text)
{
    out << '"';

    for (auto p = text.getCharPointer(); !p.isEmpty();)
    {
        const auto c = p.getAndAdvance();

        switch (c)
        {
        case '"':
            out << "\\\"";
            break;
        case '\\':
            out << "\\\\";
            break;
        case '\b':
            out << "\\b";
            break;
        case '\f':
            out << "\\f";
            break;
        case '\n':
            out << "\\n";
            break;
        case '\r':
            out << "\\r";
            break;
        case '\t':
            out << "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F)
                out << "\\u" << juce::String::toHexString(static_cast<int>(c)).paddedLeft('0', 4);
            else
                out << juce::String::charToString(c);
            break;
        }
    }

    out << '"';
}

void appendMember(juce::String& out, const char* name, const juce::String& value)
{
    if (out.length() > 1)
        out << ',';

    appendJsonString(out, name);
    out << ':';
    appendJsonString(out, value);
}

} // namespace

juce::String feedbackCategoryCode(int categoryIndex)
{
    switch (categoryIndex)
    {
    case 0:
        return "feature";
    case 1:
        return "bug";
    default:
        return "other";
    }
}

juce::String reportOsName(juce::SystemStats::OperatingSystemType type, const juce::String& frameworkName)
{
    using OS = juce::SystemStats;

    static const std::pair<OS::OperatingSystemType, const char*> windowsNames[] = {
        {OS::Win2000, "Windows 2000"}, {OS::WinXP, "Windows XP"},       {OS::WinVista, "Windows Vista"},
        {OS::Windows7, "Windows 7"},   {OS::Windows8_0, "Windows 8.0"}, {OS::Windows8_1, "Windows 8.1"},
        {OS::Windows10, "Windows 10"}, {OS::Windows11, "Windows 11"},
    };

    for (const auto& [windowsType, name] : windowsNames)
        if (type == windowsType)
            return name;

    const auto name = frameworkName.trim();
    return name.isEmpty() ? juce::String("Unknown OS") : name.substring(0, 64);
}

juce::String buildFeedbackReport(const juce::String& category, const juce::String& message,
                                 const juce::String& hostName)
{
    const auto osName = reportOsName(juce::SystemStats::getOperatingSystemType(),
                                     juce::SystemStats::getOperatingSystemName());

    juce::String json("{");
    appendMember(json, "category", category);
    appendMember(json, "message", message.trim().substring(0, maxFeedbackMessageChars));
    appendMember(json, "plugin_name", "TQ-4");
    appendMember(json, "plugin_version", juce::String(pluginVersion).substring(0, 32));
    appendMember(json, "os_name", osName);
    appendMember(json, "daw_name", hostName.substring(0, 64));
    json << '}';
    return json;
}

juce::var parseJsonGuarded(const juce::String& text)
{
    if (text.getNumBytesAsUTF8() > static_cast<size_t>(maxAnswerBytes))
        return {};

    auto afterMark = text.getCharPointer();

    if (*afterMark == 0xFEFF)
        ++afterMark;

    if (*afterMark.findEndOfWhitespace() != '{')
        return {};

    // The framework's parser recurses once per level, so a hostile answer must not nest deeply.
    int depth = 0;
    bool inString = false;

    for (auto p = afterMark; !p.isEmpty();)
    {
        const auto c = p.getAndAdvance();

        if (inString)
        {
            if (c == '\\' && !p.isEmpty())
                ++p;
            else if (c == '"')
                inString = false;
        }
        else if (c == '"')
        {
            inString = true;
        }
        else if (c == '{' || c == '[')
        {
            if (++depth > maxAnswerDepth)
                return {};
        }
        else if (c == '}' || c == ']')
        {
            --depth;
        }
    }

    return juce::JSON::parse(juce::String(afterMark));
}

FeedbackOutcome feedbackOutcomeFor(const tq4http::HttpResult& result)
{
    using tq4http::Outcome;

    if (result.outcome == Outcome::connectFailed)
        return {false, "network_unreachable"};

    if (result.outcome != Outcome::ok || result.body.isEmpty())
        return {false, "bad_response"};

    if (result.httpCode != 200)
        return {false, "http_" + juce::String(result.httpCode)};

    const auto answer = parseJsonGuarded(result.body);
    const auto* object = answer.getDynamicObject();

    if (object == nullptr)
        return {false, "bad_response"};

    const bool ok = object->getProperty("status").toString() == "ok";
    auto code = object->getProperty("message").toString();

    if (code.isEmpty())
        code = ok ? "received" : "error";

    return {ok, code};
}

juce::String feedbackStatusText(const FeedbackOutcome& outcome)
{
    if (outcome.ok)
        return "Feedback sent. Thank you!";

    if (outcome.code == "rate_limited")
        return "Too many messages. Please try again in a minute.";

    if (outcome.code == "network_unreachable")
        return "Could not reach the server. Check your internet connection.";

    return "Could not send feedback (" + outcome.code + ").";
}

juce::String feedbackServiceHost()
{
    return unscrambleName(scrambledFeedbackHost);
}

juce::URL feedbackServiceUrl()
{
    return juce::URL("https://" + feedbackServiceHost() + "/v1/tq4/feedback");
}

} // namespace tq4
