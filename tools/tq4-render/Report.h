#pragma once

#include "Session.h"

#include <optional>

namespace tq4render
{

// The plug-in's settings at one moment: every parameter with its text, plus what AUTO stands for.
struct Settings
{
    struct Parameter
    {
        juce::String id;
        float value = 0.0f;
        juce::String text;
        bool isChoice = false, isBool = false;
    };
    std::vector<Parameter> parameters;
    juce::String source, detail, resolvedCharacter;

    const Parameter& operator[](const char* id) const;
};

Settings readSettings(TQ4AudioProcessor& processor);

struct Levels
{
    float integratedLufs = -100.0f; // -100: below the gate, or shorter than one 400 ms block
    float peakDbfs = -100.0f;       // -100: digital silence
};

Levels measureLevels(const juce::AudioBuffer<float>& audio, double sampleRate);

struct LearnFigures
{
    LearnOutcome outcome;
    Settings learned; // after the learn and --target, before any --set
    float targetDb = 0.0f, targetMaxDb = 0.0f;
    bool driveCompensationValid = false;
    float driveCompensationDb[4][4] = {}; // drive type x 10, 25, 50, 100 %
};

// Everything the text report, the JSON report and the plot's caption say about one run.
struct Figures
{
    bool demo = false;
    juce::String inputName; // "built-in demo" or the full path
    juce::String outputPath;
    int channels = 0, bits = 0, blockSize = 0, latency = 0;
    double sampleRate = 0.0, seconds = 0.0;
    Levels in, out;
    double averageGrDb = 0.0;
    float largestGrDb = 0.0f;
    juce::String stateIn; // the --state-in file's name, if any
    Settings rendered;
    std::optional<LearnFigures> learn;
};

// Reads the target and the drive compensation the learn left in the state.
void readLearnResult(TQ4AudioProcessor& processor, LearnFigures& figures);

juce::String textReport(const Figures& figures);
juce::String jsonReport(const Figures& figures);

// The JSON keys, for --help.
extern const char* const jsonKeysHelp;

} // namespace tq4render
