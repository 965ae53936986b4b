#pragma once

#include <juce_core/juce_core.h>

#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tq4test
{

// A one-thread HTTP/1.1 server on 127.0.0.1 for the network tests: every connection gets the same
// canned answer, or none at all.

struct CannedAnswer
{
    int status = 200;
    std::string body;
    std::string extraHeaders; // whole lines, each ending in "\r\n"
    bool silent = false;      // read the request, keep the connection open, never answer
};

inline CannedAnswer replyWith(int status, std::string body, std::string extraHeaders = {})
{
    return {status, std::move(body), std::move(extraHeaders), false};
}

inline CannedAnswer silence()
{
    return {200, {}, {}, true};
}

struct ReceivedRequest
{
    juce::String requestLine;
    juce::StringPairArray headers; // names in lower case
    std::string body;
};

class LocalHttpServer : private juce::Thread
{
public:
    explicit LocalHttpServer(CannedAnswer cannedAnswer)
        : juce::Thread("TQ4_TestHttpServer"), answer(cannedAnswer)
    {
        if (listener.createListener(0, "127.0.0.1"))
            startThread();
    }

    ~LocalHttpServer() override
    {
        signalThreadShouldExit();
        stopThread(5000);
        listener.close();
    }

    int port() const { return listener.getBoundPort(); }

    juce::URL url(const juce::String& path = "/v1/tq4/feedback") const
    {
        return juce::URL("http://127.0.0.1:" + juce::String(port()) + path);
    }

    int connectionsAccepted() const { return accepted.load(); }

    std::vector<ReceivedRequest> requests() const
    {
        const std::lock_guard<std::mutex> lock(requestsLock);
        return received;
    }

    // A port on which nothing listens: bound by the system, then released again.
    static int refusedPort()
    {
        juce::StreamingSocket probe;
        probe.createListener(0, "127.0.0.1");
        const int freePort = probe.getBoundPort();
        probe.close();
        return freePort;
    }

private:
    void run() override
    {
        while (!threadShouldExit())
        {
            if (listener.waitUntilReady(true, 20) != 1)
                continue;

            std::unique_ptr<juce::StreamingSocket> client(listener.waitForNextConnection());

            if (client == nullptr)
                continue;

            ++accepted;
            serve(std::move(client));
        }

        held.clear();
    }

    void serve(std::unique_ptr<juce::StreamingSocket> client)
    {
        std::string data;
        const auto giveUp = juce::Time::getMillisecondCounter() + 3000;

        auto readMore = [&]
        {
            while (!threadShouldExit() && juce::Time::getMillisecondCounter() < giveUp)
            {
                const int ready = client->waitUntilReady(true, 20);

                if (ready < 0)
                    return false;

                if (ready == 0)
                    continue;

                char chunk[4096];
                const int n = client->read(chunk, static_cast<int>(sizeof(chunk)), false);

                if (n <= 0)
                    return false;

                data.append(chunk, static_cast<size_t>(n));
                return true;
            }

            return false;
        };

        size_t headerEnd = std::string::npos;

        while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos)
            if (!readMore())
                return;

        ReceivedRequest request;
        const auto lines = juce::StringArray::fromLines(juce::String(data.substr(0, headerEnd)));
        request.requestLine = lines[0];

        for (int i = 1; i < lines.size(); ++i)
            request.headers.set(lines[i].upToFirstOccurrenceOf(":", false, false).trim().toLowerCase(),
                                lines[i].fromFirstOccurrenceOf(":", false, false).trim());

        if (request.headers["expect"].equalsIgnoreCase("100-continue"))
            send(*client, "HTTP/1.1 100 Continue\r\n\r\n");

        const auto bodyLength = static_cast<size_t>(request.headers["content-length"].getLargeIntValue());

        while (data.size() - (headerEnd + 4) < bodyLength)
            if (!readMore())
                break;

        request.body = data.substr(headerEnd + 4);

        {
            const std::lock_guard<std::mutex> lock(requestsLock);
            received.push_back(request);
        }

        if (answer.silent)
        {
            held.push_back(std::move(client));
            return;
        }

        std::string reply = "HTTP/1.1 " + std::to_string(answer.status) + " Canned\r\n";
        reply += "Content-Type: application/json\r\n";
        reply += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
        reply += answer.extraHeaders;
        reply += "Connection: close\r\n\r\n";
        reply += answer.body;
        send(*client, reply);
    }

    // Without MSG_NOSIGNAL a client that hangs up mid-answer would kill the test run with SIGPIPE.
    static void send(juce::StreamingSocket& client, const std::string& bytes)
    {
        size_t sent = 0;

        while (sent < bytes.size())
        {
            const auto n =
                ::send(client.getRawSocketHandle(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);

            if (n <= 0)
                return;

            sent += static_cast<size_t>(n);
        }
    }

    const CannedAnswer answer;
    juce::StreamingSocket listener;
    std::atomic<int> accepted{0};
    mutable std::mutex requestsLock;
    std::vector<ReceivedRequest> received;
    std::vector<std::unique_ptr<juce::StreamingSocket>> held;
};

} // namespace tq4test
