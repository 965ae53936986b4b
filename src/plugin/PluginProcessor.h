#pragma once

#include "adapt/SourceCatalogue.h"
#include "dsp/CompressorEngine.h"
#include "dsp/DriveEqWorker.h"
#include "learn/LearnAnalyser.h"
#include "learn/LearnSolver.h"
#include "learn/LearnStats.h"
#include "plugin/EditHistory.h"
#include "plugin/LearnedProfile.h"
#include "plugin/ParameterLayout.h"
#include "plugin/SavedState.h"
#include "plugin/TruePeakDetector.h"

#include <juce_audio_processors/juce_audio_processors.h>

#include <array>
#include <atomic>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

// One gain-reduction history point per 10 ms, for the editor's scrolling display.
struct HistoryPoint
{
    float inputDb = -100.0f;
    float outputDb = -100.0f;
    float gainReductionDb = 0.0f;
};

// What the target control last solved for one (source, detail, character, learn revision).
struct TargetCache
{
    bool valid = false;
    int source = -1, detail = -1, character = -1, revision = -1;
    tq4::LearnStats stats;
    tq4::LearnSolution solution;
    tq4::SourceProfile profile;
    float maxReachableDb = 20.0f;
};

// The stored learn as one consistent read, for a target refresh or write.
struct LearnSnapshot
{
    bool valid = false;
    bool hasTarget = false;
    int appliedCharacter = 0;
    int character = 3; // effective: AUTO resolved, and VCA when nothing is resolved
    tq4::LearnStats stats;
    float storedTargetDb = 0.0f;
    int revision = 0;
    int learnId = 0;
};

// The plug-in instance the host creates. Owns the parameters, the engine, the meters, the learn
// capture and analysis, the edit history and the control timer; the audio callback reads parameters
// lock-free and never waits.
class TQ4AudioProcessor : public juce::AudioProcessor, public juce::Timer
{
public:
    static constexpr int historySize = 512;

    // The write index after index. Past the largest int it drops by a multiple of the ring size, so it
    // never overflows, keeps its slot sequence and stays at least one ring long for the editor's count.
    static constexpr int nextHistoryIndex(int index) noexcept
    {
        constexpr int largest = std::numeric_limits<int>::max();
        constexpr int drop = (largest / historySize - 1) * historySize;
        return index < largest ? index + 1 : index - drop + 1;
    }

    TQ4AudioProcessor();
    ~TQ4AudioProcessor() override;

    void prepareToPlay(double sampleRate, int maximumBlockSize) override;
    void releaseResources() override;
    void reset() override;
    void processBlock(juce::AudioBuffer<float>&, juce::MidiBuffer&) override;
    using AudioProcessor::processBlock;

    bool isBusesLayoutSupported(const BusesLayout& layouts) const override;

    const juce::String getName() const override { return "TQ-4"; }
    bool acceptsMidi() const override { return false; }
    bool producesMidi() const override { return false; }
    bool isMidiEffect() const override { return false; }
    double getTailLengthSeconds() const override;

    int getNumPrograms() override { return 1; }
    int getCurrentProgram() override { return 0; }
    void setCurrentProgram(int) override {}
    // The VST3 validator rejects a program without a name.
    const juce::String getProgramName(int) override { return "Default"; }
    void changeProgramName(int, const juce::String&) override {}

    bool hasEditor() const override { return true; }
    juce::AudioProcessorEditor* createEditor() override;

    void getStateInformation(juce::MemoryBlock& destData) override;
    void setStateInformation(const void* data, int sizeInBytes) override;

    juce::AudioProcessorParameter* getBypassParameter() const override { return bypassParameter; }

    // Builds the engine's record for one block from the raw parameter values and a learned profile.
    tq4::EngineSettings buildEngineSettings(const tq4::LearnedProfile& profile) const;

    // Hands a new learned profile to the audio thread (message thread).
    void storePublishedProfile(const tq4::LearnedProfile& profile);

    // Derives the learned profile from the state tree and hands it to the audio thread.
    void publishProfile();

    // The one restore routine of host state and undo/redo (message thread).
    void restoreState(juce::ValueTree tree, bool fromHost);
    void captureBaseSettings(juce::ValueTree& tree);
    void loadResolvedCharacter();

    // The control tick: every 40 ms on the message thread (tests call it directly).
    void timerCallback() override;

    // Adaptation: adaptive parameter writes that remember each parameter's base value.
    void setParameterValue(const juce::String& parameterId, float value);
    void writeParameterWithBase(const juce::String& parameterId, float value, bool preserveOffset);
    void applyLearnSolution(const tq4::LearnSolution& solution, bool preserveOffset, int baseCharacter);
    void reconcileSource();

    // Target control.
    void setTargetDb(float db);
    static float quantizeTarget(float db);
    LearnSnapshot learnSnapshot();
    const TargetCache* targetCache(int source, int detail, const LearnSnapshot& snapshot, int character);
    bool writeTarget(float db);
    void refreshTargetState();

    // Learn run steps driven by the tick.
    void publishLearnProgress();
    bool writeLearnState(int source, int detail, const juce::String& makeupHistogram,
                         const juce::String& makeupCurve);

    // Editor side: history points, newest at historyWriteIndex - 1.
    HistoryPoint historyPoint(int index) const noexcept;
    int historyWriteIndexNow() const noexcept { return historyWriteIndex.load(std::memory_order_acquire); }
    // A host reset not yet written into the history as a gap, in getMillisecondCounterHiRes(); -1 when none.
    double pendingResetTimeMsNow() const noexcept
    {
        return pendingResetTimeMs.load(std::memory_order_relaxed);
    }

    // Held by every tick, and by the destructor while it stops the timer: a host may destroy the plug-in
    // on a thread of its own while the message thread is in a tick (the LV2 wrapper does), and a timer
    // stopped from there may still be calling back. Declared first, so that it is destroyed last.
    std::mutex tickLock;
    bool ticksStopped = false;

    // Declared before apvts: the `nuance` texts capture it.
    std::shared_ptr<std::atomic<int>> sharedSourceIndex;
    juce::AudioProcessorValueTreeState apvts;

    juce::CriticalSection stateLock;

    // Written by the audio thread; the editor drains the floats with exchange (0) and resets the flags.
    std::atomic<float> inputPeak{0.0f}, outputPeak{0.0f}, grPeak{0.0f};
    std::atomic<bool> inputClip{false}, outputClip{false};

    // Learn capture, audio side: 0 idle, 1 armed, 2 capturing (armed by the message thread).
    juce::AbstractFifo captureFifo{1};
    std::vector<float> captureMono, captureLeft, captureRight;
    std::atomic<int> captureState{0};
    std::atomic<bool> learnRequested{false}; // set and cleared by the editor's learn control
    bool learnRunning = false;               // message thread
    std::atomic<float> learnProgress{0.0f};
    std::atomic<bool> learnSignalLow{false};
    std::atomic<float> learnSecondsHeard{0.0f};

    // The character that stands for AUTO (message thread writes, audio thread reads).
    std::atomic<int> resolvedCharacter{3};

    // Learn and target control, message thread.
    tq4::LearnAnalyser analyser;
    tq4::LearnStats learnedStats;
    tq4::LearnSolution learnedSolution;
    tq4::LearnTraceCache traceCache;
    int learnStartGeneration = 0;
    int gestureDepth = 0;
    std::atomic<bool> driveEqJobActive{false};
    std::atomic<int> driveEqJobLearnId{0};
    tq4::DriveEqWorker driveEqWorker; // started after each learn, stopped by the destructor

    // Published for the editor by refreshTargetState.
    std::atomic<bool> targetAvailable{false}, targetModified{false};
    std::atomic<float> targetDb{0.0f}, targetLearnDb{0.0f}, targetMaxDb{20.0f};

    double currentSampleRate = 44100.0;

    // Saved state bookkeeping (message thread writes; the counters are read by the control logic).
    int stateVersion = tq4::currentStateVersion;
    std::atomic<int> stateGeneration{0}; // host restores
    std::atomic<bool> stateRestored{false};
    std::atomic<int> learnRevision{0}; // learn writes and every restore

    // Declared after the counters it reads on construction.
    tq4::EditHistory history{*this};

    const tq4::CompressorEngine& getEngine() const noexcept { return engine; }

private:
    struct HistorySlot
    {
        std::atomic<float> inputDb{-100.0f}, outputDb{-100.0f}, gainReductionDb{0.0f};
    };

    void meterBlock(const juce::AudioBuffer<float>& buffer, int numChannels, int numSamples,
                    std::vector<tq4::TruePeakDetector>& detectors, std::atomic<float>& peakMeter,
                    std::atomic<bool>& clip, float& plainPeak);
    void takeProfile() noexcept;
    void pushLearnAudio(const juce::AudioBuffer<float>& buffer, int numChannels, int numSamples) noexcept;
    void writeHistoryGap() noexcept;
    void accumulateHistory(float inPeak, float outPeak, float gainReductionDb, int numSamples) noexcept;
    void writeHistoryPoint(float inputDb, float outputDb, float gainReductionDb) noexcept;
    void clearHistory() noexcept;
    void reportLatency();
    double currentParameterValue(const juce::String& parameterId) const;

    std::array<std::atomic<float>*, tq4::numParameters> rawParams{};
    juce::AudioProcessorParameter* bypassParameter = nullptr;

    tq4::CompressorEngine engine;

    tq4::LearnedProfile audioProfile, publishedProfile;
    std::atomic<int> profileSpin{0};

    std::vector<tq4::TruePeakDetector> inputTruePeak, outputTruePeak;

    std::array<HistorySlot, historySize> grHistory;
    std::atomic<int> historyWriteIndex{0};
    int samplesPerPoint = 480;
    float maxIn = 0.0f, maxOut = 0.0f, maxGr = 0.0f;
    int samplesAccumulated = 0;
    std::atomic<double> pendingResetTimeMs{-1.0};

    double preparedSampleRate = 0.0;
    int preparedChannels = 0;

    TargetCache targetCacheState;

    void startLearn();
    void drainLearn();
    void finishLearn();
    void cancelLearn();
    void takeDriveEqResult();
    void stopDriveEqJob();
    void resetLearnProgress();
    int effectiveCharacter() const;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(TQ4AudioProcessor)
};
