#include "net/FeedbackSender.h"

#include "net/LiveInstances.h"

#include <juce_audio_processors/juce_audio_processors.h>

#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

#if JUCE_WINDOWS
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace tq4
{

namespace
{

std::atomic<int> sendsInFlight{0};

// A send may outlive every instance, and a host may then unload the plug-in while the thread still runs
// its code. Pinning the module for the rest of the process is the only release that cannot race the
// thread's own exit; the cost is a library that stays mapped once someone has sent feedback.
void keepCodeLoaded()
{
    static std::once_flag once;

    std::call_once(once,
                   []
                   {
#if JUCE_WINDOWS
                       HMODULE module = nullptr;
                       GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                              GET_MODULE_HANDLE_EX_FLAG_PIN,
                                          reinterpret_cast<LPCWSTR>(&sendsInFlight), &module);
#else
        Dl_info info {};

        if (dladdr (&sendsInFlight, &info) != 0 && info.dli_fname != nullptr)
            dlopen (info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
#endif
                   });
}

} // namespace

juce::String currentHostDescription()
{
    return juce::PluginHostType().getHostDescription();
}

FeedbackSend makeFeedbackSend(const juce::String& category, const juce::String& message)
{
    FeedbackSend send;
    send.category = category;
    send.message = message;
    send.hostName = currentHostDescription();
    send.endpoint = feedbackServiceUrl();
    send.options.totalTimeoutMs = 20000;
    send.options.connectTimeoutMs = 8000;
    send.options.maxResponseBytes = 65536;
    return send;
}

void startFeedbackSend(const FeedbackSend& send, juce::Component& receiver, FeedbackCompletion completion)
{
    JUCE_ASSERT_MESSAGE_THREAD

    keepCodeLoaded();

    const auto json = buildFeedbackReport(send.category, send.message, send.hostName);
    juce::Component::SafePointer<juce::Component> target(&receiver);

    ++sendsInFlight;

    // A std::thread rather than juce::Thread::launch, whose thread deletes itself on exit while launch may
    // still hold the lock inside it: a use-after-free whenever the send ends at once (the plug-in unloading).
    try
    {
        std::thread(
            [json, endpoint = send.endpoint, options = send.options, target, completion]() mutable
            {
                if (tq4http::liveInstanceCount.load() > 0)
                {
                    const auto result = tq4http::postJson(endpoint, json, options);

                    if (tq4http::liveInstanceCount.load() > 0)
                    {
                        juce::MessageManager::callAsync(
                            [target, completion = std::move(completion), outcome = feedbackOutcomeFor(result)]
                            {
                                if (target != nullptr && completion)
                                    completion(outcome);
                            });
                    }
                }

                --sendsInFlight;
            })
            .detach();
    }
    catch (const std::system_error&)
    {
        --sendsInFlight;

        if (completion)
            completion({false, "network_unreachable"});
    }
}

int feedbackSendsInFlight()
{
    return sendsInFlight.load();
}

} // namespace tq4
