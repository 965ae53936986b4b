// The control tick: every decision made off the audio thread happens here, every 40 ms, in a fixed
// order: restore check, source reconcile, target refresh, then the learn run.

#include "plugin/PluginProcessor.h"

#include "learn/MakeupLearning.h"

#include <cstring>

void TQ4AudioProcessor::timerCallback()
{
    const std::lock_guard<std::mutex> tick(tickLock);
    if (ticksStopped)
        return;

    const bool requested = learnRequested.load();

    // A restored state may no longer hold the learn a running analysis belongs to.
    if (stateRestored.exchange(false) && driveEqJobActive.load())
    {
        int storedId = 0;
        {
            const juce::ScopedLock lock(stateLock);
            storedId = apvts.state.getProperty(tq4::StateProps::learnId, 0);
        }
        if (storedId != driveEqJobLearnId.load())
            stopDriveEqJob();
    }

    const int depth = gestureDepth;
    if (depth <= 0 && driveEqJobActive.load())
        takeDriveEqResult();

    const bool reconciled =
        depth <= 0 && !requested && !learnRunning && apvts.getParameter(tq4::ParamIds::source) != nullptr;
    if (reconciled)
        reconcileSource();
    refreshTargetState();

    if (!requested)
    {
        if (learnRunning)
            cancelLearn();
        return;
    }
    if (!learnRunning)
    {
        startLearn();
        return;
    }
    if (captureState.load() != 2)
        return;
    // A finished learn rewrites the parameters, so it waits until the user lets go of a control.
    if (depth > 0 && analyser.countedEnough())
        return;

    drainLearn();
    if (analyser.countedEnough() && depth <= 0)
        finishLearn();
}

void TQ4AudioProcessor::resetLearnProgress()
{
    learnProgress = 0.0f;
    learnSignalLow = false;
    learnSecondsHeard = 0.0f;
}

void TQ4AudioProcessor::publishLearnProgress()
{
    const auto progress = analyser.progress();
    learnProgress = progress.progress;
    learnSignalLow = progress.signalLow;
    learnSecondsHeard = progress.secondsHeard;
}

void TQ4AudioProcessor::stopDriveEqJob()
{
    driveEqWorker.stop();
    driveEqJobActive = false;
}

void TQ4AudioProcessor::takeDriveEqResult()
{
    const auto handOff = driveEqWorker.takeResult();
    if (!handOff.ready)
        return;
    driveEqJobActive = false;

    tq4::LearnedProfile::DriveCompensation table;
    table.valid = handOff.result.valid;
    std::memcpy(table.db, handOff.result.compDb, sizeof table.db);
    const auto text = tq4::writeDriveEqText(table);
    const juce::var id(handOff.learnId);

    {
        const juce::ScopedLock lock(stateLock);
        if (table.valid && apvts.state[tq4::StateProps::learnId] == id)
        {
            apvts.state.setProperty(tq4::StateProps::learnDriveEq, text, nullptr);
            publishProfile();
        }
    }

    // Undoing back to this learn must bring its compensation along.
    if (table.valid)
        history.forEachSnapshot(
            [&](juce::ValueTree& snapshot)
            {
                if (snapshot[tq4::StateProps::learnId] == id)
                    snapshot.setProperty(tq4::StateProps::learnDriveEq, text, nullptr);
            });
}

void TQ4AudioProcessor::startLearn()
{
    stopDriveEqJob();
    learnStartGeneration = stateGeneration.load();
    captureState = 0;
    analyser.reset();
    resetLearnProgress();
    learnRunning = true;
    captureState = 1;
}

void TQ4AudioProcessor::drainLearn()
{
    const bool stereo = captureLeft.size() == captureMono.size() && captureRight.size() == captureMono.size();
    const auto analyse = [&](int start, int count)
    {
        if (count <= 0)
            return;
        const auto offset = static_cast<size_t>(start);
        analyser.analyseSamples(captureMono.data() + offset, stereo ? captureLeft.data() + offset : nullptr,
                                stereo ? captureRight.data() + offset : nullptr, count);
    };

    for (;;)
    {
        const auto scope = captureFifo.read(captureFifo.getNumReady());
        if (scope.blockSize1 + scope.blockSize2 == 0)
            break;
        analyse(scope.startIndex1, scope.blockSize1);
        analyse(scope.startIndex2, scope.blockSize2);
    }
    publishLearnProgress();
}

void TQ4AudioProcessor::cancelLearn()
{
    captureState = 0;
    learnRunning = false;
    resetLearnProgress();
}

void TQ4AudioProcessor::finishLearn()
{
    captureState = 0;
    learnRunning = false;
    learnedStats = analyser.computeLearnStats();
    const auto before = history.snapshotState();

    const auto rounded = [this](const char* id)
    { return juce::roundToInt(apvts.getRawParameterValue(id)->load()); };
    const int source = rounded(tq4::ParamIds::source);
    // The detail the source offers, as the next reconcile would pull it back; stored unclamped it
    // would look like a new detail and re-solve over this learn.
    const int detail = tq4::clampDetail(source, rounded(tq4::ParamIds::nuance));
    const int character = rounded(tq4::ParamIds::character);
    auto captures = analyser.takeCaptures();
    // Measured while the learn is solved; waited for by the makeup learning, or on the way out.
    auto captureMeasures =
        tq4::startMeasuringCapture(captures.mono, currentSampleRate, learnedStats.trace.hop);

    learnedSolution = tq4::solveLearnRounded(learnedStats, source, detail, character);
    if (learnedSolution.valid)
    {
        const int baseCharacter =
            character == 0 ? learnedSolution.character : tq4::solvedCharacter(learnedStats, source, detail);

        const auto makeup = tq4::learnMakeup(learnedSolution, captures.mono, currentSampleRate, learnedStats,
                                             std::move(captureMeasures));

        bool written = false;
        {
            const juce::ScopedLock lock(stateLock);
            written = makeup.valid ? writeLearnState(source, detail, makeup.histogramText, makeup.curveText)
                                   : writeLearnState(source, detail, {}, {});
        }

        if (!written)
            learnedSolution = {};
        else
        {
            history.pushUndo(before);
            history.discardPending();

            tq4::LearnedProfile profile;
            int learnId = 0;
            {
                const juce::ScopedLock lock(stateLock);
                if (stateGeneration.load() == learnStartGeneration)
                    applyLearnSolution(learnedSolution, false, baseCharacter);
                profile = tq4::deriveLearnedProfile(apvts.state);
                learnId = apvts.state.getProperty(tq4::StateProps::learnId, 0);
            }

            if (!profile.present)
                stopDriveEqJob();
            else
            {
                std::vector<std::vector<float>> channels;
                if (!captures.left.empty() && !captures.right.empty())
                    channels = {std::move(captures.left), std::move(captures.right)};
                driveEqJobActive = true;
                driveEqJobLearnId = learnId;
                if (!driveEqWorker.start(std::move(captures.mono), currentSampleRate, learnId,
                                         buildEngineSettings(profile), std::move(channels)))
                    driveEqJobActive = false;
            }
        }
    }

    learnRequested = false;
    resetLearnProgress();
}

bool TQ4AudioProcessor::writeLearnState(int source, int detail, const juce::String& makeupHistogram,
                                        const juce::String& makeupCurve)
{
    using namespace tq4::StateProps;
    const juce::ScopedLock lock(stateLock);
    if (learnStartGeneration != stateGeneration.load())
        return false;

    auto& state = apvts.state;
    tq4::writeLearnStats(state, learnedStats);
    state.setProperty(appliedSource, source, nullptr);
    state.setProperty(appliedNuance, detail, nullptr);

    const int previousId = static_cast<int>(state.getProperty(learnId, 0));
    int id = previousId;
    while (id == previousId)
        id = juce::Random::getSystemRandom().nextInt(juce::Range<int>(1, 2147483647));
    state.setProperty(learnId, id, nullptr);

    setTargetDb(tq4::sourceProfile(source, detail).defaultTargetDb);
    ++learnRevision;

    for (const auto& [property, text] :
         {std::pair{learnMkHist, makeupHistogram}, std::pair{learnMkCurve, makeupCurve}})
    {
        if (text.isEmpty())
            state.removeProperty(property, nullptr);
        else
            state.setProperty(property, text, nullptr);
    }
    state.removeProperty(learnDriveEq, nullptr);
    publishProfile();
    return true;
}
