#pragma once

#include <juce_core/juce_core.h>

#include <atomic>

namespace tq4http
{

// A blocking POST of one JSON text with a hard overall deadline, for background threads only.

struct HttpOptions
{
    int totalTimeoutMs = 20000;  // from the start of the call to the last byte
    int connectTimeoutMs = 8000; // handed to the stream as its own time-out
    juce::int64 maxResponseBytes = 65536;
};

enum class Outcome : int
{
    ok = 0,
    connectFailed = 1,
    tooLarge = 2,
    timedOut = 3,
    cancelled = 4
};

struct HttpResult
{
    Outcome outcome = Outcome::connectFailed;
    int httpCode = 0;  // 0 until a response status has arrived
    juce::String body; // empty unless the outcome is ok
};

// Error statuses still end in Outcome::ok: the caller decides what an httpCode means.
HttpResult postJson(const juce::URL& url, const juce::String& jsonText, const HttpOptions& options);

// Cancels one stream when its deadline passes or when the last plug-in instance goes away, because
// the stream's own time-out bounds neither the whole call nor an unload.
class StreamWatchdog : public juce::Thread
{
public:
    enum Reason : int
    {
        none = 0,
        deadlinePassed = 1,
        pluginUnloading = 2
    };

    // deadlineMs is a juce::Time::getMillisecondCounter() value.
    StreamWatchdog(juce::WebInputStream& streamToCancel, juce::uint32 deadlineMs);
    ~StreamWatchdog() override;

    void run() override;

    // Signals, wakes and joins the thread; after this the stream is never touched again.
    void stop();

    std::atomic<int> reason{none};

private:
    juce::WebInputStream& stream;
    const juce::uint32 deadline;
};

} // namespace tq4http
