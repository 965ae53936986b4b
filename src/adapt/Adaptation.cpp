// Adaptive writes into the parameters, each remembered as the parameter's base value so that the
// user's own offset from it can be kept or discarded by later adaptations.

#include "plugin/PluginProcessor.h"

#include <cmath>

namespace
{

float snappedValue(const juce::RangedAudioParameter& parameter)
{
    const auto& range = parameter.getNormalisableRange();
    return range.snapToLegalValue(range.convertFrom0to1(parameter.getValue()));
}

} // namespace

void TQ4AudioProcessor::setParameterValue(const juce::String& parameterId, float value)
{
    auto* parameter = apvts.getParameter(parameterId);
    if (parameter == nullptr)
        return;
    const auto& range = parameter->getNormalisableRange();
    parameter->beginChangeGesture();
    parameter->setValueNotifyingHost(range.convertTo0to1(range.snapToLegalValue(value)));
    parameter->endChangeGesture();
}

void TQ4AudioProcessor::writeParameterWithBase(const juce::String& parameterId, float value,
                                               bool preserveOffset)
{
    const auto* entry = tq4::findBaseSetting(parameterId);
    auto* parameter = apvts.getParameter(parameterId);
    if (entry == nullptr || parameter == nullptr)
        return;

    const juce::ScopedLock lock(stateLock);
    auto& state = apvts.state;
    const auto& range = parameter->getNormalisableRange();
    const float current = snappedValue(*parameter);
    const bool hasBase = state.hasProperty(entry->property);
    const float base = hasBase ? static_cast<float>(static_cast<double>(state[entry->property])) : 0.0f;
    const float target = range.snapToLegalValue(value);
    float newBase = target;

    if (entry->discrete)
    {
        if (!(preserveOffset && hasBase && juce::roundToInt(current) != juce::roundToInt(base)))
        {
            setParameterValue(parameterId, target);
            newBase = snappedValue(*parameter);
        }
    }
    else
    {
        const float offset =
            preserveOffset && hasBase ? range.convertTo0to1(current) - range.convertTo0to1(base) : 0.0f;
        if (std::abs(offset) > 2.0e-6f)
            setParameterValue(parameterId, range.snapToLegalValue(range.convertFrom0to1(juce::jlimit(
                                               0.0f, 1.0f, range.convertTo0to1(target) + offset))));
        else
        {
            setParameterValue(parameterId, target);
            newBase = snappedValue(*parameter);
        }
    }
    state.setProperty(entry->property, newBase, nullptr);
}

void TQ4AudioProcessor::applyLearnSolution(const tq4::LearnSolution& s, bool preserveOffset,
                                           int baseCharacter)
{
    using namespace tq4::ParamIds;
    writeParameterWithBase(threshold, s.thresholdDb, preserveOffset);
    writeParameterWithBase(ratio, s.ratio, preserveOffset);
    writeParameterWithBase(attack, s.attackMs, preserveOffset);
    writeParameterWithBase(release, s.releaseMs, preserveOffset);
    writeParameterWithBase(knee, juce::jlimit(0.0f, 100.0f, s.kneeDb / 24.0f * 100.0f), preserveOffset);
    writeParameterWithBase(mix, s.mixPercent, preserveOffset);
    writeParameterWithBase(autoMakeup, 1.0f, preserveOffset);
    writeParameterWithBase(autoRelease, s.autoRelease ? 1.0f : 0.0f, preserveOffset);
    writeParameterWithBase(drive, s.drivePercent, preserveOffset);
    writeParameterWithBase(driveType, static_cast<float>(s.driveType), preserveOffset);
    {
        const juce::ScopedLock lock(stateLock);
        apvts.state.setProperty(tq4::StateProps::baseCharacter, baseCharacter, nullptr);
        apvts.state.setProperty(tq4::StateProps::appliedCharacter, s.character, nullptr);
    }
    loadResolvedCharacter();
}

void TQ4AudioProcessor::reconcileSource()
{
    using namespace tq4::StateProps;
    const juce::ScopedLock lock(stateLock);
    auto& state = apvts.state;

    const auto rounded = [this](const char* id)
    { return juce::roundToInt(apvts.getRawParameterValue(id)->load()); };

    int source = rounded(tq4::ParamIds::source);
    int detail = rounded(tq4::ParamIds::nuance);
    const int clamped = tq4::clampDetail(source, detail);
    if (clamped != detail)
        setParameterValue(tq4::ParamIds::nuance, static_cast<float>(clamped));

    source = rounded(tq4::ParamIds::source);
    detail = rounded(tq4::ParamIds::nuance);
    if (!state.hasProperty(appliedSource))
        state.setProperty(appliedSource, source, nullptr);
    if (!state.hasProperty(appliedNuance))
        state.setProperty(appliedNuance, detail, nullptr);

    if (static_cast<int>(state[appliedSource]) == source && static_cast<int>(state[appliedNuance]) == detail)
        return;
    state.setProperty(appliedSource, source, nullptr);
    state.setProperty(appliedNuance, detail, nullptr);

    tq4::LearnStats stats;
    if (!tq4::readLearnStats(state, stats, &traceCache))
        return;

    const int character = rounded(tq4::ParamIds::character);
    learnedStats = stats;
    learnedSolution = tq4::solveLearn(stats, source, detail, character);
    if (!learnedSolution.valid)
        return;

    const int solvedBaseCharacter =
        character == 0 ? learnedSolution.character : tq4::solveLearn(stats, source, detail, 0).character;
    const auto profile = tq4::sourceProfile(source, detail);
    const float target = juce::jlimit(1.0f, 20.0f, profile.defaultTargetDb);
    const auto ratioKnee = tq4::ratioKneeForTarget(learnedSolution, profile, target);
    const float threshold =
        tq4::solveThreshold(stats, learnedSolution, target, ratioKnee.ratio, ratioKnee.kneeDb);
    learnedSolution.ratio = ratioKnee.ratio;
    learnedSolution.kneeDb = ratioKnee.kneeDb;
    learnedSolution.thresholdDb = juce::jlimit(-60.0f, -1.0f, threshold);

    applyLearnSolution(learnedSolution, true, solvedBaseCharacter);
    setTargetDb(profile.defaultTargetDb);
    refreshTargetState();
}
