#include "net/FeedbackSender.h"
#include "net/LiveInstances.h"
#include "support/LocalHttpServer.h"

#include <gtest/gtest.h>

#include <optional>

namespace juce
{
// The framework's own single step of the message loop, which its plug-in wrappers also call.
bool dispatchNextMessageOnSystemQueue(bool returnIfNoPendingMessages);
} // namespace juce

using namespace tq4test;

namespace
{

struct LiveInstance
{
    LiveInstance() { ++tq4http::liveInstanceCount; }
    ~LiveInstance() { --tq4http::liveInstanceCount; }
};

// Runs the message loop on this (the message) thread until done() holds or the time is up.
bool pumpMessagesUntil(const std::function<bool()>& done, int timeoutMs)
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

bool waitForSendsToEnd(int timeoutMs)
{
    return pumpMessagesUntil([] { return tq4::feedbackSendsInFlight() == 0; }, timeoutMs);
}

struct FeedbackSenderTest : ::testing::Test
{
    LiveInstance instance;
    juce::Component receiver;

    int calls = 0;
    bool calledOnMessageThread = false;
    std::optional<tq4::FeedbackOutcome> outcome;

    ~FeedbackSenderTest() override { waitForSendsToEnd(25000); }

    static tq4::FeedbackSend sendTo(const juce::URL& endpoint)
    {
        auto send = tq4::makeFeedbackSend("bug", "  The knob sticks.  ");
        send.hostName = "Test Host";
        send.endpoint = endpoint;
        send.options.totalTimeoutMs = 5000;
        send.options.connectTimeoutMs = 5000;
        return send;
    }

    tq4::FeedbackCompletion recorder()
    {
        return [this](const tq4::FeedbackOutcome& result)
        {
            ++calls;
            calledOnMessageThread = juce::MessageManager::getInstance()->isThisTheMessageThread();
            outcome = result;
        };
    }
};

} // namespace

TEST_F(FeedbackSenderTest, TheDialogsSendUsesTheServiceAndItsTimeLimits)
{
    const auto send = tq4::makeFeedbackSend("feature", "Hello");

    EXPECT_EQ(send.category, "feature");
    EXPECT_EQ(send.message, "Hello");
    EXPECT_EQ(send.hostName, "Unknown") << "the test runner is no host the framework knows";
    EXPECT_EQ(send.endpoint.toString(false), tq4::feedbackServiceUrl().toString(false));
    EXPECT_EQ(send.options.totalTimeoutMs, 20000);
    EXPECT_EQ(send.options.connectTimeoutMs, 8000);
    EXPECT_EQ(send.options.maxResponseBytes, 65536);
}

TEST_F(FeedbackSenderTest, TheReportReachesTheServiceAndItsAnswerTheMessageThread)
{
    LocalHttpServer server(replyWith(200, "{\"status\":\"ok\"}"));

    tq4::startFeedbackSend(sendTo(server.url()), receiver, recorder());
    EXPECT_EQ(calls, 0) << "the answer never arrives inside the call";

    ASSERT_TRUE(pumpMessagesUntil([this] { return calls > 0; }, 10000));
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(calledOnMessageThread);
    EXPECT_TRUE(outcome->ok);
    EXPECT_EQ(outcome->code, "received");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto report = juce::JSON::parse(juce::String(requests[0].body));
    EXPECT_EQ(report["category"].toString(), "bug");
    EXPECT_EQ(report["message"].toString(), "The knob sticks.");
    EXPECT_EQ(report["daw_name"].toString(), "Test Host");
}

TEST_F(FeedbackSenderTest, EveryWayASendEndsShowsItsOwnCode)
{
    struct Case
    {
        const char* name;
        std::optional<CannedAnswer> answer; // none: a port that refuses
        bool ok;
        juce::String code;
    };

    const Case cases[] = {
        {"rate limited", replyWith(200, "{\"status\":\"error\",\"message\":\"rate_limited\"}"), false,
         "rate_limited"},
        {"server error", replyWith(503, "{\"error\":\"maintenance\"}"), false, "http_503"},
        {"not JSON", replyWith(200, "Thanks!"), false, "bad_response"},
        {"empty answer", replyWith(200, ""), false, "bad_response"},
        {"refused", std::nullopt, false, "network_unreachable"},
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        calls = 0;
        outcome.reset();

        std::optional<LocalHttpServer> server;
        juce::URL endpoint("http://127.0.0.1:" + juce::String(LocalHttpServer::refusedPort()) +
                           "/v1/tq4/feedback");

        if (c.answer)
        {
            server.emplace(*c.answer);
            endpoint = server->url();
        }

        tq4::startFeedbackSend(sendTo(endpoint), receiver, recorder());

        ASSERT_TRUE(pumpMessagesUntil([this] { return calls > 0; }, 10000));
        EXPECT_EQ(outcome->ok, c.ok);
        EXPECT_EQ(outcome->code, c.code);
    }
}

TEST_F(FeedbackSenderTest, AClosedDialogGetsNoAnswer)
{
    LocalHttpServer server(replyWith(200, "{\"status\":\"ok\"}"));
    auto dialog = std::make_unique<juce::Component>();

    tq4::startFeedbackSend(sendTo(server.url()), *dialog, recorder());
    dialog.reset();

    ASSERT_TRUE(waitForSendsToEnd(10000));
    pumpMessagesUntil([] { return false; }, 100);

    EXPECT_EQ(calls, 0);
    EXPECT_EQ(server.requests().size(), 1u) << "the report is still delivered";
}

TEST_F(FeedbackSenderTest, UnloadingDuringASendEndsItSilentlyAndSoon)
{
    LocalHttpServer server(silence());
    auto send = sendTo(server.url());
    send.options.totalTimeoutMs = 20000;

    tq4::startFeedbackSend(send, receiver, recorder());
    ASSERT_TRUE(pumpMessagesUntil([&] { return !server.requests().empty(); }, 5000));

    --tq4http::liveInstanceCount;
    const bool ended = waitForSendsToEnd(2000);
    ++tq4http::liveInstanceCount;

    EXPECT_TRUE(ended) << "the watchdog must end the request long before its 20 s deadline";
    pumpMessagesUntil([] { return false; }, 100);
    EXPECT_EQ(calls, 0);
}

TEST_F(FeedbackSenderTest, NothingIsSentOnceThePluginIsUnloading)
{
    LocalHttpServer server(replyWith(200, "{\"status\":\"ok\"}"));

    --tq4http::liveInstanceCount;
    tq4::startFeedbackSend(sendTo(server.url()), receiver, recorder());
    const bool ended = waitForSendsToEnd(2000);
    ++tq4http::liveInstanceCount;

    EXPECT_TRUE(ended);
    pumpMessagesUntil([] { return false; }, 100);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(server.connectionsAccepted(), 0);
}
