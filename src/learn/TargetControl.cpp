// The gain-reduction target: moving it rewrites ratio, knee and threshold together from the stored
// learn. The expensive solve is cached per (source, detail, character, learn revision).

#include "plugin/PluginProcessor.h"

#include <cmath>

int TQ4AudioProcessor::effectiveCharacter() const
{
    int character = juce::roundToInt(apvts.getRawParameterValue(tq4::ParamIds::character)->load());
    if (character == 0)
        character = resolvedCharacter.load();
    return character == 0 ? 3 : character;
}

void TQ4AudioProcessor::setTargetDb(float db)
{
    const juce::ScopedLock lock(stateLock);
    apvts.state.setProperty(tq4::StateProps::targetDb, std::round(static_cast<double>(db) * 100.0) / 100.0,
                            nullptr);
}

float TQ4AudioProcessor::quantizeTarget(float db)
{
    return juce::jlimit(1.0f, 20.0f, static_cast<float>(std::round(db / 0.1f)) * 0.1f);
}

LearnSnapshot TQ4AudioProcessor::learnSnapshot()
{
    using namespace tq4::StateProps;
    const juce::ScopedLock lock(stateLock);
    const auto& state = apvts.state;

    LearnSnapshot snapshot;
    snapshot.valid = tq4::readLearnStats(state, snapshot.stats, &traceCache);
    if (snapshot.valid)
    {
        snapshot.hasTarget = state.hasProperty(tq4::StateProps::targetDb);
        if (snapshot.hasTarget)
            snapshot.storedTargetDb =
                static_cast<float>(static_cast<double>(state[tq4::StateProps::targetDb]));
    }
    snapshot.appliedCharacter = juce::roundToInt(static_cast<double>(state.getProperty(appliedCharacter, 0)));
    snapshot.character = effectiveCharacter();
    snapshot.revision = learnRevision.load();
    snapshot.learnId = static_cast<int>(state.getProperty(learnId, 0));
    return snapshot;
}

const TargetCache* TQ4AudioProcessor::targetCache(int source, int detail, const LearnSnapshot& snapshot,
                                                  int character)
{
    auto& cache = targetCacheState;
    if (!snapshot.valid)
    {
        cache.valid = false;
        return nullptr;
    }
    if (cache.valid && cache.source == source && cache.detail == detail && cache.character == character &&
        cache.revision == snapshot.revision)
        return &cache;

    const auto solution = tq4::solveLearn(snapshot.stats, source, detail, character);
    if (!solution.valid)
    {
        cache.valid = false;
        return nullptr;
    }

    cache.source = source;
    cache.detail = detail;
    cache.character = character;
    cache.revision = snapshot.revision;
    cache.stats = snapshot.stats;
    cache.solution = solution;
    cache.profile = tq4::sourceProfile(source, detail);
    cache.valid = true;

    // The deepest target the material reaches, measured at the lowest threshold.
    const auto simulation = tq4::buildSimulation(snapshot.stats, solution);
    const auto reaches = [&](float target)
    {
        const auto rk = tq4::ratioKneeForTarget(solution, cache.profile, target);
        return tq4::simulateGainReduction(simulation, -60.0f, rk.ratio, rk.kneeDb);
    };
    float deepest = 1.0f;
    if (!simulation.detectorLevels.empty())
    {
        if (reaches(20.0f) >= 20.0f)
            deepest = 20.0f;
        else if (reaches(1.0f) < 1.0f)
            deepest = 1.0f;
        else
        {
            float lo = 1.0f, hi = 20.0f;
            for (int i = 0; i < 14; ++i)
            {
                const float mid = (hi + lo) * 0.5f;
                if (reaches(mid) < mid)
                    hi = mid;
                else
                    lo = mid;
            }
            deepest = juce::jlimit(1.0f, 20.0f, std::floor(lo / 0.1f + 0.001f) * 0.1f);
        }
    }
    cache.maxReachableDb = std::max(std::min(cache.profile.defaultTargetDb, 20.0f), deepest);
    return &cache;
}

bool TQ4AudioProcessor::writeTarget(float db)
{
    if (learnRequested.load() || learnRunning)
        return false;

    const int source = juce::roundToInt(apvts.getRawParameterValue(tq4::ParamIds::source)->load());
    const int detail =
        tq4::clampDetail(source, juce::roundToInt(apvts.getRawParameterValue(tq4::ParamIds::nuance)->load()));
    const auto snapshot = learnSnapshot();
    if (!snapshot.valid || !snapshot.hasTarget)
        return false;
    const auto* cache = targetCache(source, detail, snapshot, snapshot.character);
    if (cache == nullptr)
        return false;

    const float learnValue = cache->profile.defaultTargetDb;
    const float target =
        std::abs(db - learnValue) < 0.005f ? learnValue : std::min(cache->maxReachableDb, quantizeTarget(db));
    const auto solved = tq4::solveForTarget(cache->stats, cache->solution, cache->profile, target);

    {
        const juce::ScopedLock lock(stateLock);
        if (static_cast<int>(apvts.state.getProperty(tq4::StateProps::learnId, 0)) != snapshot.learnId)
            return false;
        writeParameterWithBase(tq4::ParamIds::threshold, juce::jlimit(-60.0f, -1.0f, solved.thresholdDb),
                               false);
        writeParameterWithBase(tq4::ParamIds::ratio, solved.ratio, false);
        writeParameterWithBase(tq4::ParamIds::knee,
                               juce::jlimit(0.0f, 100.0f, solved.kneeDb / 24.0f * 100.0f), false);
        apvts.state.setProperty(tq4::StateProps::appliedCharacter, snapshot.character, nullptr);
        setTargetDb(target);
    }

    refreshTargetState();
    history.commitPending();
    return true;
}

void TQ4AudioProcessor::refreshTargetState()
{
    bool available = false, modified = false;
    float current = 0.0f, learnValue = 0.0f, deepest = 20.0f;

    if (!learnRequested.load() && !learnRunning && apvts.getParameter(tq4::ParamIds::source) != nullptr)
    {
        const auto snapshot = learnSnapshot();
        const int source = juce::roundToInt(apvts.getRawParameterValue(tq4::ParamIds::source)->load());
        const int detail = tq4::clampDetail(
            source, juce::roundToInt(apvts.getRawParameterValue(tq4::ParamIds::nuance)->load()));
        const auto* cache = snapshot.valid && snapshot.hasTarget
                                ? targetCache(source, detail, snapshot, snapshot.appliedCharacter)
                                : nullptr;
        if (cache != nullptr)
        {
            available = true;
            learnValue = cache->profile.defaultTargetDb;
            deepest = cache->maxReachableDb;
            current = std::abs(snapshot.storedTargetDb - learnValue) <= 0.006f ? learnValue
                                                                               : snapshot.storedTargetDb;

            const juce::ScopedLock lock(stateLock);
            for (const auto* id : {tq4::ParamIds::threshold, tq4::ParamIds::ratio, tq4::ParamIds::knee})
            {
                auto* parameter = apvts.getParameter(id);
                const auto* entry = tq4::findBaseSetting(id);
                if (parameter == nullptr || !apvts.state.hasProperty(entry->property))
                    continue;
                const auto& range = parameter->getNormalisableRange();
                const float now =
                    range.convertTo0to1(range.snapToLegalValue(range.convertFrom0to1(parameter->getValue())));
                const float base = range.convertTo0to1(
                    static_cast<float>(static_cast<double>(apvts.state[entry->property])));
                if (std::abs(now - base) > 2.0e-6f)
                {
                    modified = true;
                    break;
                }
            }
            if (!modified && apvts.state.hasProperty(tq4::StateProps::appliedCharacter))
                modified =
                    effectiveCharacter() != static_cast<int>(apvts.state[tq4::StateProps::appliedCharacter]);
        }
    }

    targetAvailable = available;
    targetDb = current;
    targetLearnDb = learnValue;
    targetMaxDb = deepest;
    targetModified = modified;
}
