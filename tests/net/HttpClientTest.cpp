#include "net/HttpClient.h"
#include "net/LiveInstances.h"
#include "support/LocalHttpServer.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace tq4test;
using tq4http::HttpOptions;
using tq4http::HttpResult;
using tq4http::Outcome;

namespace
{

// Stands for one loaded plug-in instance, so the client does not treat the process as unloading.
struct LiveInstance
{
    LiveInstance() { ++tq4http::liveInstanceCount; }
    ~LiveInstance() { --tq4http::liveInstanceCount; }
};

struct HttpClientTest : ::testing::Test
{
    LiveInstance instance;
    const juce::String json = juce::String::fromUTF8("{\"category\":\"bug\",\"message\":\"Gr\xc3\xbc\xc3\x9f"
                                                     "e\"}");

    static HttpOptions options(int totalMs, int connectMs = 5000, juce::int64 maxBytes = 65536)
    {
        HttpOptions o;
        o.totalTimeoutMs = totalMs;
        o.connectTimeoutMs = connectMs;
        o.maxResponseBytes = maxBytes;
        return o;
    }
};

struct TimedResult
{
    HttpResult result;
    juce::uint32 elapsedMs;
};

TimedResult timedPost(const juce::URL& url, const juce::String& json, const HttpOptions& options)
{
    const auto start = juce::Time::getMillisecondCounter();
    auto result = tq4http::postJson(url, json, options);
    return {result, juce::Time::getMillisecondCounter() - start};
}

} // namespace

TEST_F(HttpClientTest, PostsTheJsonAsUtf8AndReturnsTheAnswer)
{
    LocalHttpServer server(replyWith(200, "{\"status\":\"ok\",\"message\":\"d\xc3\xa9j\xc3\xa0\"}"));

    const auto result = tq4http::postJson(server.url(), json, options(5000));

    EXPECT_EQ(result.outcome, Outcome::ok);
    EXPECT_EQ(result.httpCode, 200);
    EXPECT_EQ(result.body, juce::String::fromUTF8("{\"status\":\"ok\",\"message\":\"d\xc3\xa9j\xc3\xa0\"}"));

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].requestLine, "POST /v1/tq4/feedback HTTP/1.1");
    EXPECT_EQ(requests[0].headers["content-type"], "application/json");
    EXPECT_EQ(requests[0].body, std::string(json.toRawUTF8())) << "UTF-8 bytes, no terminator";
    EXPECT_EQ(requests[0].headers["content-length"], juce::String(json.getNumBytesAsUTF8()));
}

TEST_F(HttpClientTest, AnyAnswerWithAStatusIsOkAndRedirectsAreNotFollowed)
{
    struct Case
    {
        int status;
        std::string body;
        std::string extraHeaders;
    };

    const Case cases[] = {
        {503, "{\"error\":\"busy\"}", ""},
        {404, "not here", ""},
        {204, "", ""},
        {302, "moved", "Location: /elsewhere\r\n"},
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.status);
        LocalHttpServer server(replyWith(c.status, c.body, c.extraHeaders));

        const auto result = tq4http::postJson(server.url(), json, options(5000));

        EXPECT_EQ(result.outcome, Outcome::ok);
        EXPECT_EQ(result.httpCode, c.status);
        EXPECT_EQ(result.body, juce::String(c.body));
        EXPECT_EQ(server.connectionsAccepted(), 1);
    }
}

TEST_F(HttpClientTest, AnswerLargerThanTheLimitIsTooLargeWithAnEmptyBody)
{
    constexpr juce::int64 limit = 5000;

    struct Case
    {
        size_t answerBytes;
        Outcome expected;
    };

    const Case cases[] = {
        {static_cast<size_t>(limit), Outcome::ok},
        {static_cast<size_t>(limit) + 1, Outcome::tooLarge},
        {200000, Outcome::tooLarge},
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.answerBytes);
        LocalHttpServer server(replyWith(200, std::string(c.answerBytes, 'x')));

        const auto result = tq4http::postJson(server.url(), json, options(5000, 5000, limit));

        EXPECT_EQ(result.outcome, c.expected);
        EXPECT_EQ(result.httpCode, 200);
        EXPECT_EQ(result.body.length(), c.expected == Outcome::ok ? static_cast<int>(c.answerBytes) : 0);
    }
}

TEST_F(HttpClientTest, RefusedPortIsConnectFailedWithoutStatus)
{
    const juce::URL url("http://127.0.0.1:" + juce::String(LocalHttpServer::refusedPort()) +
                        "/v1/tq4/feedback");

    const auto timed = timedPost(url, json, options(5000));

    EXPECT_EQ(timed.result.outcome, Outcome::connectFailed);
    EXPECT_EQ(timed.result.httpCode, 0);
    EXPECT_TRUE(timed.result.body.isEmpty());
    EXPECT_LT(timed.elapsedMs, 2000u) << "a refusal must not wait for the deadline";
}

TEST_F(HttpClientTest, SilentServerTimesOutAtTheOverallDeadline)
{
    LocalHttpServer server(silence());

    // The stream's own time-out is far longer, so only the watchdog can end this call in time.
    const auto timed = timedPost(server.url(), json, options(600, 8000));

    EXPECT_EQ(timed.result.outcome, Outcome::timedOut);
    EXPECT_EQ(timed.result.httpCode, 0);
    EXPECT_TRUE(timed.result.body.isEmpty());
    EXPECT_GE(timed.elapsedMs, 600u);
    EXPECT_LT(timed.elapsedMs, 600u + 1500u);
    EXPECT_EQ(server.requests().size(), 1u) << "the request itself was delivered";
}

TEST_F(HttpClientTest, NoLiveInstanceIsCancelledWithoutConnecting)
{
    LocalHttpServer server(replyWith(200, "{}"));
    --tq4http::liveInstanceCount;

    const auto result = tq4http::postJson(server.url(), json, options(5000));

    ++tq4http::liveInstanceCount;
    EXPECT_EQ(result.outcome, Outcome::cancelled);
    EXPECT_EQ(result.httpCode, 0);
    juce::Thread::sleep(100);
    EXPECT_EQ(server.connectionsAccepted(), 0);
}

TEST_F(HttpClientTest, LastInstanceGoingAwayCancelsACallInFlight)
{
    LocalHttpServer server(silence());

    auto call =
        std::async(std::launch::async, [&] { return tq4http::postJson(server.url(), json, options(20000)); });

    while (server.requests().empty())
        juce::Thread::sleep(5);

    const auto dropped = juce::Time::getMillisecondCounter();
    --tq4http::liveInstanceCount;
    const auto result = call.get();
    const auto latencyMs = juce::Time::getMillisecondCounter() - dropped;
    ++tq4http::liveInstanceCount;

    EXPECT_EQ(result.outcome, Outcome::cancelled);
    EXPECT_LT(latencyMs, 1500u) << "bounded by the stream's poll interval, not by the 20 s deadline";
}

TEST(StreamWatchdogTest, StoppedBeforeTheDeadlineLeavesTheStreamAlone)
{
    LiveInstance instance;
    LocalHttpServer server(replyWith(200, "{\"status\":\"ok\"}"));

    juce::WebInputStream stream(server.url().withPOSTData("{}"), true);
    tq4http::StreamWatchdog watchdog(stream, juce::Time::getMillisecondCounter() + 60000);
    ASSERT_TRUE(watchdog.startThread());
    juce::Thread::sleep(60);
    watchdog.stop();

    EXPECT_EQ(watchdog.reason.load(), tq4http::StreamWatchdog::none);
    ASSERT_TRUE(stream.connect(nullptr));
    EXPECT_EQ(stream.getStatusCode(), 200);
}

TEST(StreamWatchdogTest, PassedDeadlineCancelsTheStreamAndSaysWhy)
{
    LiveInstance instance;
    LocalHttpServer server(replyWith(200, "{\"status\":\"ok\"}"));

    juce::WebInputStream stream(server.url().withPOSTData("{}"), true);
    tq4http::StreamWatchdog watchdog(stream, juce::Time::getMillisecondCounter() - 1);
    ASSERT_TRUE(watchdog.startThread());
    EXPECT_TRUE(watchdog.waitForThreadToExit(1000));

    EXPECT_EQ(watchdog.reason.load(), tq4http::StreamWatchdog::deadlinePassed);
    EXPECT_FALSE(stream.connect(nullptr));
    EXPECT_EQ(server.connectionsAccepted(), 0);
}
