#include "net/HttpClient.h"

#include "net/LiveInstances.h"

namespace tq4http
{

StreamWatchdog::StreamWatchdog(juce::WebInputStream& streamToCancel, juce::uint32 deadlineMs)
    : juce::Thread("TQ4_NetWatchdog"), stream(streamToCancel), deadline(deadlineMs)
{
}

StreamWatchdog::~StreamWatchdog()
{
    stopThread(3000);
}

void StreamWatchdog::run()
{
    while (!threadShouldExit())
    {
        if (liveInstanceCount.load() == 0)
        {
            reason = pluginUnloading;
            stream.cancel();
            return;
        }

        // Signed difference, so the deadline survives the counter wrapping after 49 days.
        if (static_cast<juce::int32>(juce::Time::getMillisecondCounter() - deadline) < 0)
        {
            wait(25);
            continue;
        }

        reason = deadlinePassed;
        stream.cancel();
        return;
    }
}

void StreamWatchdog::stop()
{
    signalThreadShouldExit();
    notify();
    // No time limit: the stream is deleted next, so the thread must be gone, not merely asked.
    waitForThreadToExit(-1);
}

namespace
{

Outcome outcomeFor(int watchdogReason, Outcome otherwise)
{
    switch (watchdogReason)
    {
    case StreamWatchdog::deadlinePassed:
        return Outcome::timedOut;
    case StreamWatchdog::pluginUnloading:
        return Outcome::cancelled;
    default:
        return otherwise;
    }
}

} // namespace

HttpResult postJson(const juce::URL& url, const juce::String& jsonText, const HttpOptions& options)
{
    HttpResult result;

    if (liveInstanceCount.load() == 0)
    {
        result.outcome = Outcome::cancelled;
        return result;
    }

    const auto deadline = juce::Time::getMillisecondCounter() +
                          static_cast<juce::uint32>(juce::jmax(0, options.totalTimeoutMs));

    const auto utf8 = jsonText.toUTF8();
    const juce::MemoryBlock postData(utf8.getAddress(), jsonText.getNumBytesAsUTF8());

    auto stream = std::make_unique<juce::WebInputStream>(url.withPOSTData(postData), true);
    stream->withExtraHeaders("Content-Type: application/json")
        .withConnectionTimeout(options.connectTimeoutMs)
        .withNumRedirectsToFollow(0);

    StreamWatchdog watchdog(*stream, deadline);

    // Nothing else would bound the call or notice an unload.
    if (!watchdog.startThread())
        return result;

    // The framework's stream reports a refused or failed transfer as connected with status 0, so a
    // connection counts only once a response status has arrived.
    const bool connected = stream->connect(nullptr) && stream->getStatusCode() > 0;

    if (!connected)
    {
        result.outcome = outcomeFor(watchdog.reason.load(), Outcome::connectFailed);
    }
    else
    {
        result.httpCode = stream->getStatusCode();

        juce::MemoryOutputStream received(256);
        bool tooLarge = false;

        while (!stream->isExhausted())
        {
            char chunk[1024];
            const int numRead = stream->read(chunk, static_cast<int>(sizeof(chunk)));

            if (numRead <= 0)
                break;

            received.write(chunk, static_cast<size_t>(numRead));

            if (static_cast<juce::int64>(received.getDataSize()) > options.maxResponseBytes)
            {
                tooLarge = true;
                break;
            }
        }

        if (tooLarge)
        {
            result.outcome = Outcome::tooLarge;
        }
        else
        {
            result.outcome = outcomeFor(watchdog.reason.load(), Outcome::ok);

            if (result.outcome == Outcome::ok && received.getDataSize() > 0)
                result.body = juce::String::fromUTF8(static_cast<const char*>(received.getData()),
                                                     static_cast<int>(received.getDataSize()));
        }
    }

    watchdog.stop();
    stream.reset();
    return result;
}

} // namespace tq4http
