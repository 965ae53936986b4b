#pragma once

#include "plugin/PluginProcessor.h"

#include <vector>

namespace tq4render
{

// One parameter write as a user would make it, in the parameter's plain units, already checked.
struct Edit
{
    juce::String id;
    float value = 0.0f;
};

// How a learn went, in the terms the report gives.
struct LearnOutcome
{
    double secondsFed = 0.0;     // audio played into the learn, the file looped as needed
    double secondsCounted = 0.0; // of that, seconds above -60 dBFS
    double finishTickMs = 0.0;   // the control tick that solved and wrote the learn
    double driveEqMs = 0.0;      // from that tick until the drive analysis was handed over
};

// A whole-file render, aligned with its input.
struct RenderOutcome
{
    juce::AudioBuffer<float> output;
    double averageGrDb = 0.0;
    float largestGrDb = 0.0f;
    int latency = 0;
    // The editor's history points (largest reduction per 10 ms), aligned with the output.
    std::vector<float> gainReductionDb;
    int samplesPerPoint = 1;
};

// The plug-in driven the way a host and its message thread would drive it: audio in host-sized
// blocks, and the control tick every 40 ms of audio (or of real time while the host waits).
class Session
{
public:
    static constexpr double maxLearnSeconds = 60.0;
    static constexpr double driveEqTimeoutSeconds = 600.0;

    Session(int channels, double sampleRate, int blockSize);

    TQ4AudioProcessor& plugin() { return processor; }
    int source() const;
    int detail() const;

    // A state block saved by the plug-in; one the plug-in refuses is an error.
    void loadState(const juce::File& file);

    // As the editor's source menu does: both parameters in one gesture, then a tick reconciles them.
    void chooseSource(int source, int detail);

    // As a user's own edits, one gesture each; source and detail go through chooseSource.
    void applyEdits(const std::vector<Edit>& edits);

    // Presses LEARN, plays the input (looped, at most maxLearnSeconds) until the learn is written,
    // then waits for the drive analysis. A learn that cannot complete is an error.
    LearnOutcome learn(const juce::AudioBuffer<float>& input);

    // As the target marker does.
    void moveTarget(float db);

    // Starts the plug-in afresh and renders the whole input with the current settings.
    RenderOutcome render(const juce::AudioBuffer<float>& input);

private:
    void tick();
    void setPlain(const char* parameterId, float value);

    TQ4AudioProcessor processor;
    int channels;
    double sampleRate;
    int blockSize;
    int tickSamples;
};

} // namespace tq4render
