#include "net/FeedbackReport.h"
#include "net/ScrambledName.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using tq4http::HttpResult;
using tq4http::Outcome;

namespace
{

juce::String repeated(const char* utf8, int times)
{
    return juce::String::repeatedString(juce::String::fromUTF8(utf8), times);
}

} // namespace

TEST(FeedbackReportTest, MembersComeInOrderOnOneLine)
{
    const auto report = tq4::buildFeedbackReport("bug", "Knob sticks", "Some Host");

    EXPECT_FALSE(report.containsAnyOf("\r\n"));

    const auto parsed = juce::JSON::parse(report);
    auto* object = parsed.getDynamicObject();
    ASSERT_NE(object, nullptr);
    const auto& members = object->getProperties();

    const char* expectedOrder[] = {"category",       "message", "plugin_name",
                                   "plugin_version", "os_name", "daw_name"};
    ASSERT_EQ(members.size(), 6);

    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(members.getName(i).toString(), expectedOrder[i]);

    EXPECT_EQ(parsed["category"].toString(), "bug");
    EXPECT_EQ(parsed["message"].toString(), "Knob sticks");
    EXPECT_EQ(parsed["plugin_name"].toString(), "TQ-4");
    EXPECT_EQ(parsed["plugin_version"].toString(), "1.0.0");
    EXPECT_EQ(parsed["daw_name"].toString(), "Some Host");
    EXPECT_EQ(parsed["os_name"].toString(), tq4::reportOsName(juce::SystemStats::getOperatingSystemType(),
                                                              juce::SystemStats::getOperatingSystemName()));
#if JUCE_LINUX
    EXPECT_EQ(parsed["os_name"].toString(), "Linux") << "not \"Unknown OS\" off Windows";
#endif
}

TEST(FeedbackReportTest, MessageAndHostAreTrimmedAndCut)
{
    struct Case
    {
        const char* name;
        juce::String message;
        juce::String host;
        juce::String expectedMessage;
        juce::String expectedHost;
    };

    const Case cases[] = {
        {"short texts stay", "hi", "Host", "hi", "Host"},
        {"message trimmed", "  \n hi there \t ", "Host", "hi there", "Host"},
        {"5000 characters keep 4000", repeated("a", 5000), "Host", repeated("a", 4000), "Host"},
        {"cut counts characters, not bytes", repeated("\xc3\xa9", 4001), "Host", repeated("\xc3\xa9", 4000),
         "Host"},
        {"host cut to 64", "hi", repeated("h", 100), "hi", repeated("h", 64)},
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const auto parsed = juce::JSON::parse(tq4::buildFeedbackReport("other", c.message, c.host));
        EXPECT_EQ(parsed["message"].toString(), c.expectedMessage);
        EXPECT_EQ(parsed["daw_name"].toString(), c.expectedHost);
    }
}

TEST(FeedbackReportTest, EveryCharacterSurvivesAsStrictJson)
{
    const auto message = juce::String::fromUTF8("quote \" slash \\ line\nnext\ttab bell\a ctl\x01 del\x7f "
                                                "caf\xc3\xa9 \xf0\x9f\x98\x80");

    const auto report = tq4::buildFeedbackReport("feature", message, "Host");

    for (auto p = report.getCharPointer(); !p.isEmpty();)
    {
        const auto c = p.getAndAdvance();
        EXPECT_FALSE(c < 0x20 || c == 0x7F) << "raw control character " << static_cast<int>(c);
    }

    EXPECT_TRUE(report.contains("\\u0007")) << "BEL has no short escape in JSON";
    EXPECT_FALSE(report.contains("\\a"));

    const auto parsed = juce::JSON::parse(report);
    EXPECT_EQ(parsed["message"].toString(), message);
}

TEST(FeedbackReportTest, CategoryCodes)
{
    EXPECT_EQ(tq4::feedbackCategoryCode(0), "feature");
    EXPECT_EQ(tq4::feedbackCategoryCode(1), "bug");
    EXPECT_EQ(tq4::feedbackCategoryCode(2), "other");
    EXPECT_EQ(tq4::feedbackCategoryCode(7), "other");
}

TEST(FeedbackReportTest, OsNameKeepsWindowsNamesAndOtherwiseUsesTheFrameworkName)
{
    using OS = juce::SystemStats;

    struct Case
    {
        OS::OperatingSystemType type;
        juce::String frameworkName;
        juce::String expected;
    };

    const Case cases[] = {
        {OS::Win2000, "Windows", "Windows 2000"},
        {OS::WinXP, "Windows", "Windows XP"},
        {OS::WinVista, "Windows", "Windows Vista"},
        {OS::Windows7, "Windows", "Windows 7"},
        {OS::Windows8_0, "Windows", "Windows 8.0"},
        {OS::Windows8_1, "Windows", "Windows 8.1"},
        {OS::Windows10, "Windows", "Windows 10"},
        {OS::Windows11, "Windows", "Windows 11"},
        {OS::Linux, "Linux", "Linux"},
        {OS::MacOS_13, "Mac OSX 13.2", "Mac OSX 13.2"},
        {OS::Windows, "Windows", "Windows"},
        {OS::UnknownOS, "", "Unknown OS"},
        {OS::Linux, repeated("x", 80), repeated("x", 64)},
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(tq4::reportOsName(c.type, c.frameworkName), c.expected);
    }
}

TEST(FeedbackReportTest, GuardedParseRejectsWhatTheServiceShouldNeverSend)
{
    struct Case
    {
        const char* name;
        juce::String text;
        bool accepted;
    };

    const juce::String bom = juce::String::charToString(0xFEFF);
    const auto nearLimit = [](int totalBytes)
    {
        // Two-byte characters, so the limit is checked in bytes of UTF-8, not in characters.
        return "{\"a\":\"" + repeated("\xc3\xa9", (totalBytes - 8) / 2) + "\"}";
    };

    const Case cases[] = {
        {"plain object", "{\"status\":\"ok\"}", true},
        {"white space first", " \r\n\t{\"status\":\"ok\"}", true},
        {"byte-order mark, then white space", bom + "  {\"status\":\"ok\"}", true},
        {"array", "[{\"status\":\"ok\"}]", false},
        {"string", "\"ok\"", false},
        {"empty", "", false},
        {"not JSON at all", "<html>busy</html>", false},
        {"broken object", "{\"status\":", false},
        {"four levels", "{\"a\":[[[1]]]}", true},
        {"five levels", "{\"a\":[[[[1]]]]}", false},
        {"levels side by side", "{\"a\":[1],\"b\":[2],\"c\":{\"d\":{\"e\":[]}}}", true},
        {"brackets inside a string", "{\"a\":\"[[[[[{{{{\"}", true},
        {"escaped quote keeps the string open", "{\"a\":\"\\\"[[[[[\"}", true},
        {"escaped backslash closes the string", "{\"a\":\"\\\\\",\"b\":[[[[1]]]]}", false},
        {"8192 bytes", nearLimit(8192), true},
        {"8193 bytes", nearLimit(8193) + " ", false},
    };

    EXPECT_EQ(cases[14].text.getNumBytesAsUTF8(), 8192u);
    EXPECT_EQ(cases[15].text.getNumBytesAsUTF8(), 8193u);
    EXPECT_LT(cases[15].text.length(), 8192);

    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const auto parsed = tq4::parseJsonGuarded(c.text);
        EXPECT_EQ(parsed.isObject(), c.accepted);
        EXPECT_EQ(parsed.isVoid(), !c.accepted);
    }

    EXPECT_EQ(tq4::parseJsonGuarded(bom + "{\"status\":\"ok\"}")["status"].toString(), "ok");
}

TEST(FeedbackReportTest, ResultsMapToOutcomeCodes)
{
    struct Case
    {
        const char* name;
        Outcome outcome;
        int httpCode;
        juce::String body;
        bool ok;
        juce::String code;
    };

    const Case cases[] = {
        {"no connection", Outcome::connectFailed, 0, "", false, "network_unreachable"},
        {"too large", Outcome::tooLarge, 200, "", false, "bad_response"},
        {"timed out", Outcome::timedOut, 0, "", false, "bad_response"},
        {"cancelled", Outcome::cancelled, 0, "", false, "bad_response"},
        {"empty body", Outcome::ok, 200, "", false, "bad_response"},
        {"empty body outranks the status", Outcome::ok, 503, "", false, "bad_response"},
        {"ok without message", Outcome::ok, 200, "{\"status\":\"ok\"}", true, "received"},
        {"ok with message", Outcome::ok, 200, "{\"status\":\"ok\",\"message\":\"thanks\"}", true, "thanks"},
        {"refused with message", Outcome::ok, 200, "{\"status\":\"error\",\"message\":\"rate_limited\"}",
         false, "rate_limited"},
        {"refused without message", Outcome::ok, 200, "{\"status\":\"nope\"}", false, "error"},
        {"no status", Outcome::ok, 200, "{\"message\":\"\"}", false, "error"},
        {"status is case sensitive", Outcome::ok, 200, "{\"status\":\"OK\"}", false, "error"},
        {"not JSON", Outcome::ok, 200, "Thanks!", false, "bad_response"},
        {"array", Outcome::ok, 200, "[\"ok\"]", false, "bad_response"},
        {"too deep", Outcome::ok, 200, "{\"status\":\"ok\",\"x\":[[[[[]]]]]}", false, "bad_response"},
        {"server error", Outcome::ok, 503, "Service Unavailable", false, "http_503"},
        {"not found", Outcome::ok, 404, "{\"status\":\"ok\"}", false, "http_404"},
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        HttpResult result;
        result.outcome = c.outcome;
        result.httpCode = c.httpCode;
        result.body = c.body;

        const auto mapped = tq4::feedbackOutcomeFor(result);
        EXPECT_EQ(mapped.ok, c.ok);
        EXPECT_EQ(mapped.code, c.code);
    }
}

TEST(FeedbackReportTest, StatusTexts)
{
    struct Case
    {
        tq4::FeedbackOutcome outcome;
        juce::String text;
    };

    const Case cases[] = {
        {{true, "received"}, "Feedback sent. Thank you!"},
        {{true, "rate_limited"}, "Feedback sent. Thank you!"},
        {{false, "rate_limited"}, "Too many messages. Please try again in a minute."},
        {{false, "network_unreachable"}, "Could not reach the server. Check your internet connection."},
        {{false, "http_503"}, "Could not send feedback (http_503)."},
        {{false, "bad_response"}, "Could not send feedback (bad_response)."},
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.outcome.code);
        EXPECT_EQ(tq4::feedbackStatusText(c.outcome), c.text);
    }
}

#ifdef TQ4_FEEDBACK_HOST
constexpr auto configuredHost = tq4::scrambleName(TQ4_FEEDBACK_HOST);
#else
constexpr auto configuredHost = tq4::scrambleName("feedback.veldrane.test");
#endif

TEST(FeedbackReportTest, ServiceHostIsStoredScrambledAndAssembledOnUse)
{
    const auto host = tq4::feedbackServiceHost();

    // Both sides are assembled at run time, so this file does not put the plain name into the binary.
    EXPECT_EQ(host, tq4::unscrambleName(configuredHost));
    EXPECT_TRUE(host.containsOnly("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-"));
    EXPECT_EQ(tq4::feedbackServiceUrl().toString(false), "https://" + host + "/v1/tq4/feedback");

    juce::MemoryBlock binary;
    ASSERT_TRUE(juce::File::getSpecialLocation(juce::File::currentExecutableFile).loadFileAsData(binary));
    const auto* begin = static_cast<const char*>(binary.getData());
    const std::string needle(host.toRawUTF8());
    EXPECT_EQ(std::search(begin, begin + binary.getSize(), needle.begin(), needle.end()),
              begin + binary.getSize())
        << "the plain host name appears in the executable";
}
