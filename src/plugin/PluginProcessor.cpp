#include "plugin/PluginProcessor.h"

#include "adapt/SourceCatalogue.h"
#include "net/LiveInstances.h"
#include "ui/TQ4AudioProcessorEditor.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace
{

float decibels(float linear) noexcept
{
    return linear > 0.0f ? std::max(-100.0f, 20.0f * std::log10(linear)) : -100.0f;
}

void raiseTo(std::atomic<float>& meter, float value) noexcept
{
    float current = meter.load(std::memory_order_relaxed);
    while (value > current && !meter.compare_exchange_weak(current, value, std::memory_order_relaxed))
    {
    }
}

bool isNonFinite(float x) noexcept
{
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return (bits & 0x7f800000u) == 0x7f800000u;
}

} // namespace

TQ4AudioProcessor::TQ4AudioProcessor()
    : AudioProcessor(BusesProperties()
                         .withInput("Input", juce::AudioChannelSet::stereo(), true)
                         .withOutput("Output", juce::AudioChannelSet::stereo(), true)),
      sharedSourceIndex(std::make_shared<std::atomic<int>>(0)),
      apvts(*this, nullptr, "PARAMETERS", tq4::createParameterLayout(sharedSourceIndex))
{
    tq4http::liveInstanceCount.fetch_add(1);

    const auto& ids = tq4::parameterIds();
    for (int i = 0; i < tq4::numParameters; ++i)
        rawParams[static_cast<size_t>(i)] = apvts.getRawParameterValue(ids[i]);
    bypassParameter = apvts.getParameter(tq4::ParamIds::bypass);

    {
        const juce::ScopedLock lock(stateLock);
        using namespace tq4::StateProps;
        apvts.state.setProperty(appliedSource, juce::roundToInt(currentParameterValue(tq4::ParamIds::source)),
                                nullptr);
        apvts.state.setProperty(appliedNuance, juce::roundToInt(currentParameterValue(tq4::ParamIds::nuance)),
                                nullptr);
        apvts.state.setProperty(appliedCharacter,
                                juce::roundToInt(currentParameterValue(tq4::ParamIds::character)), nullptr);
        captureBaseSettings(apvts.state);
    }
    loadResolvedCharacter();
    publishProfile();
    startTimer(40);
}

TQ4AudioProcessor::~TQ4AudioProcessor()
{
    {
        // A tick in flight finishes first; one that starts later does nothing.
        const std::lock_guard<std::mutex> tick(tickLock);
        ticksStopped = true;
        stopTimer();
    }
    driveEqWorker.stop();
    tq4http::liveInstanceCount.fetch_sub(1);
}

bool TQ4AudioProcessor::isBusesLayoutSupported(const BusesLayout& layouts) const
{
    const auto out = layouts.getMainOutputChannelSet();
    if (out != juce::AudioChannelSet::mono() && out != juce::AudioChannelSet::stereo())
        return false;
    return layouts.getMainInputChannelSet() == out;
}

double TQ4AudioProcessor::getTailLengthSeconds() const
{
    return 2.0 * engine.getLatencySamples() / currentSampleRate;
}

void TQ4AudioProcessor::reportLatency()
{
    if (engine.getLatencySamples() != getLatencySamples())
        setLatencySamples(engine.getLatencySamples());
}

void TQ4AudioProcessor::prepareToPlay(double sampleRate, int)
{
    const int channels = juce::jmax(1, getMainBusNumOutputChannels());

    if (sampleRate == preparedSampleRate && channels == preparedChannels)
    {
        reportLatency();
        return;
    }

    currentSampleRate = sampleRate;
    engine.prepare(sampleRate, channels);

    const int pointSize = juce::jmax(1, juce::roundToInt(sampleRate * 0.01));
    if (pointSize != samplesPerPoint)
    {
        samplesPerPoint = pointSize;
        clearHistory();
    }

    reportLatency();
    preparedChannels = channels;
    preparedSampleRate = sampleRate;

    const auto capacity = static_cast<size_t>(juce::jmax(static_cast<int>(sampleRate), 8192));
    captureMono.assign(capacity, 0.0f);
    if (channels >= 2)
    {
        captureLeft.assign(capacity, 0.0f);
        captureRight.assign(capacity, 0.0f);
    }
    else
    {
        captureLeft.clear();
        captureRight.clear();
    }
    captureFifo.setTotalSize(static_cast<int>(capacity));
    captureFifo.reset();

    analyser.prepare(sampleRate);

    captureState = 0;
    learnRunning = false;
    learnProgress = 0.0f;
    learnSignalLow = false;
    learnSecondsHeard = 0.0f;

    const tq4::TruePeakDetector fresh;
    inputTruePeak.assign(static_cast<size_t>(channels), fresh);
    outputTruePeak.assign(static_cast<size_t>(channels), fresh);

    inputPeak = 0.0f;
    outputPeak = 0.0f;
    grPeak = 0.0f;
    inputClip = false;
    outputClip = false;
}

void TQ4AudioProcessor::releaseResources()
{
    engine.reset();
    clearHistory();
    preparedSampleRate = 0.0;
    preparedChannels = 0;
}

void TQ4AudioProcessor::reset()
{
    engine.reset();
    double none = -1.0;
    pendingResetTimeMs.compare_exchange_strong(none, juce::Time::getMillisecondCounterHiRes());
}

void TQ4AudioProcessor::clearHistory() noexcept
{
    for (auto& slot : grHistory)
    {
        slot.inputDb.store(-100.0f, std::memory_order_relaxed);
        slot.outputDb.store(-100.0f, std::memory_order_relaxed);
        slot.gainReductionDb.store(0.0f, std::memory_order_relaxed);
    }
    historyWriteIndex.store(0, std::memory_order_release);
    maxIn = maxOut = maxGr = 0.0f;
    samplesAccumulated = 0;
    pendingResetTimeMs = -1.0;
}

HistoryPoint TQ4AudioProcessor::historyPoint(int index) const noexcept
{
    const auto& slot = grHistory[static_cast<size_t>(((index % historySize) + historySize) % historySize)];
    return {slot.inputDb.load(std::memory_order_relaxed), slot.outputDb.load(std::memory_order_relaxed),
            slot.gainReductionDb.load(std::memory_order_relaxed)};
}

void TQ4AudioProcessor::processBlock(juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    juce::ScopedNoDenormals noDenormals;

    const int numIn = getMainBusNumInputChannels();
    const int n = buffer.getNumSamples();
    if (!buffer.hasBeenCleared())
        for (int c = numIn; c < buffer.getNumChannels(); ++c)
            buffer.clear(c, 0, n);

    if (numIn < 1 || n < 1)
        return;

    if (!buffer.hasBeenCleared())
        for (int c = 0; c < juce::jmin(numIn, buffer.getNumChannels()); ++c)
        {
            auto* samples = buffer.getWritePointer(c);
            // Every sample is stored, so that the loop vectorises.
            for (int i = 0; i < n; ++i)
                samples[i] = isNonFinite(samples[i]) ? 0.0f : samples[i];
        }

    takeProfile();
    sharedSourceIndex->store(juce::roundToInt(rawParams[tq4::sourceIndex]->load(std::memory_order_relaxed)),
                             std::memory_order_relaxed);

    const int channels = juce::jmin(numIn, buffer.getNumChannels());
    float inPeak = 0.0f;
    meterBlock(buffer, channels, n, inputTruePeak, inputPeak, inputClip, inPeak);

    pushLearnAudio(buffer, channels, n);

    const bool dry = learnRequested.load(std::memory_order_relaxed) ||
                     rawParams[tq4::bypassIndex]->load(std::memory_order_relaxed) > 0.5f;
    engine.setProcessTarget(dry ? 0.0f : 1.0f);
    engine.process(buffer, channels, buildEngineSettings(audioProfile));

    float outPeak = 0.0f;
    meterBlock(buffer, channels, n, outputTruePeak, outputPeak, outputClip, outPeak);

    const float blockGr = engine.gainReductionMeterDb;
    raiseTo(grPeak, blockGr);

    writeHistoryGap();
    accumulateHistory(inPeak, outPeak, blockGr, n);
}

void TQ4AudioProcessor::meterBlock(const juce::AudioBuffer<float>& buffer, int numChannels, int numSamples,
                                   std::vector<tq4::TruePeakDetector>& detectors,
                                   std::atomic<float>& peakMeter, std::atomic<bool>& clip, float& plainPeak)
{
    constexpr float clipLevel = 0.999f;
    float truePeak = 0.0f;
    plainPeak = 0.0f;
    const bool cleared = buffer.hasBeenCleared();
    const int detected = juce::jmin(numChannels, static_cast<int>(detectors.size()));
    for (int c = 0; c < numChannels; ++c)
    {
        const float magnitude = cleared ? 0.0f : buffer.getMagnitude(c, 0, numSamples);
        plainPeak = juce::jmax(plainPeak, magnitude);
        if (c >= detected)
            continue;

        // A block whose interpolated peak cannot reach the clip level leaves the filters out.
        auto& detector = detectors[static_cast<size_t>(c)];
        if (juce::jmax(magnitude, detector.historyPeak()) * detector.gainBound() < clipLevel)
            detector.skipBlock(buffer.getReadPointer(c), numSamples);
        else
            truePeak = juce::jmax(truePeak, detector.processBlock(buffer.getReadPointer(c), numSamples));
    }

    raiseTo(peakMeter, plainPeak);
    if (truePeak >= clipLevel)
        clip.store(true, std::memory_order_relaxed);
}

void TQ4AudioProcessor::takeProfile() noexcept
{
    int expected = 0;
    if (profileSpin.compare_exchange_strong(expected, 1, std::memory_order_acquire))
    {
        audioProfile = publishedProfile;
        profileSpin.store(0, std::memory_order_release);
    }
}

void TQ4AudioProcessor::storePublishedProfile(const tq4::LearnedProfile& profile)
{
    for (int attempt = 0;; ++attempt)
    {
        int expected = 0;
        if (profileSpin.compare_exchange_weak(expected, 1, std::memory_order_acquire))
            break;
        if (attempt >= 20)
            juce::Thread::sleep(0);
    }
    publishedProfile = profile;
    profileSpin.store(0, std::memory_order_release);
}

void TQ4AudioProcessor::pushLearnAudio(const juce::AudioBuffer<float>& buffer, int numChannels,
                                       int numSamples) noexcept
{
    if (captureState.load(std::memory_order_acquire) == 1)
    {
        captureFifo.reset();
        captureState.store(2, std::memory_order_release);
    }
    if (captureState.load(std::memory_order_acquire) != 2 || captureMono.empty())
        return;

    const bool clear = buffer.hasBeenCleared();
    const bool stereo = numChannels >= 2 && captureLeft.size() == captureMono.size() &&
                        captureRight.size() == captureMono.size();

    const auto scope = captureFifo.write(numSamples);
    const auto copyRegion = [&](int start, int size, int offset)
    {
        if (size <= 0)
            return;
        const auto slot = static_cast<size_t>(start);
        float* mono = captureMono.data() + slot;
        if (clear)
        {
            std::fill(mono, mono + size, 0.0f);
            if (stereo)
            {
                std::fill(captureLeft.data() + slot, captureLeft.data() + slot + size, 0.0f);
                std::fill(captureRight.data() + slot, captureRight.data() + slot + size, 0.0f);
            }
            return;
        }
        // The loudest sample across the channels, the first of equals winning.
        std::fill(mono, mono + size, 0.0f);
        for (int c = 0; c < numChannels; ++c)
        {
            const float* x = buffer.getReadPointer(c, offset);
            for (int k = 0; k < size; ++k)
                mono[k] = std::abs(x[k]) > std::abs(mono[k]) ? x[k] : mono[k];
        }
        if (stereo)
        {
            std::copy(buffer.getReadPointer(0, offset), buffer.getReadPointer(0, offset) + size,
                      captureLeft.data() + slot);
            std::copy(buffer.getReadPointer(1, offset), buffer.getReadPointer(1, offset) + size,
                      captureRight.data() + slot);
        }
    };
    copyRegion(scope.startIndex1, scope.blockSize1, 0);
    copyRegion(scope.startIndex2, scope.blockSize2, scope.blockSize1);
}

tq4::EngineSettings TQ4AudioProcessor::buildEngineSettings(const tq4::LearnedProfile& profile) const
{
    const auto value = [this](int index)
    { return rawParams[static_cast<size_t>(index)]->load(std::memory_order_relaxed); };

    tq4::EngineSettings s;
    s.thresholdDb = value(tq4::thresholdIndex);
    s.ratio = value(tq4::ratioIndex);
    s.attackMs = value(tq4::attackIndex);
    s.releaseMs = value(tq4::releaseIndex);
    s.kneeDb = juce::jlimit(0.0f, 100.0f, value(tq4::kneeIndex)) * 0.01f * 24.0f;
    s.mix = value(tq4::mixIndex) * 0.01f;
    s.outputDb = value(tq4::outputIndex);
    s.autoMakeup = value(tq4::autoMakeupIndex) > 0.5f;
    s.autoRelease = value(tq4::autoReleaseIndex) > 0.5f;
    s.driveOn = value(tq4::driveOnIndex) > 0.5f;
    s.drivePercent = value(tq4::driveIndex);
    s.driveType = juce::roundToInt(value(tq4::driveTypeIndex));

    int character = juce::roundToInt(value(tq4::characterIndex));
    if (character == 0)
    {
        character = resolvedCharacter.load(std::memory_order_relaxed);
        if (character == 0)
            character = 3;
    }
    s.character = character;

    if (profile.present)
    {
        s.learnProfilePresent = true;
        const auto& makeup = profile.makeup[juce::jlimit(0, 2, character - 1)];
        s.makeupCorrectionValid = makeup.valid;
        std::copy(std::begin(makeup.x), std::end(makeup.x), s.makeupCorrectionX);
        std::copy(std::begin(makeup.y), std::end(makeup.y), s.makeupCorrectionY);
        s.histogramValid = profile.histogram.valid;
        std::copy(std::begin(profile.histogram.weight), std::end(profile.histogram.weight),
                  s.histogramWeight);
        std::copy(std::begin(profile.histogram.crestDb), std::end(profile.histogram.crestDb),
                  s.histogramCrestDb);
        s.driveCompValid = profile.driveComp.valid;
        std::memcpy(s.driveCompDb, profile.driveComp.db, sizeof s.driveCompDb);
    }
    return s;
}

void TQ4AudioProcessor::writeHistoryPoint(float inputDb, float outputDb, float gainReductionDb) noexcept
{
    const int index = historyWriteIndex.load(std::memory_order_relaxed);
    auto& slot = grHistory[static_cast<size_t>(index % historySize)];
    slot.inputDb.store(inputDb, std::memory_order_relaxed);
    slot.outputDb.store(outputDb, std::memory_order_relaxed);
    slot.gainReductionDb.store(gainReductionDb, std::memory_order_relaxed);
    historyWriteIndex.store(nextHistoryIndex(index), std::memory_order_release);
}

void TQ4AudioProcessor::writeHistoryGap() noexcept
{
    const double resetAt = pendingResetTimeMs.load(std::memory_order_relaxed);
    if (resetAt == -1.0)
        return;

    samplesAccumulated = 0;
    maxIn = maxOut = maxGr = 0.0f;
    const double gap = (juce::Time::getMillisecondCounterHiRes() - resetAt) / 10.0;
    const int points = gap > 0.0 ? static_cast<int>(juce::jmin(gap, static_cast<double>(historySize))) : 0;
    for (int i = 0; i < points; ++i)
        writeHistoryPoint(-100.0f, -100.0f, 0.0f);
    pendingResetTimeMs.store(-1.0, std::memory_order_relaxed);
}

void TQ4AudioProcessor::accumulateHistory(float inPeak, float outPeak, float gainReductionDb,
                                          int numSamples) noexcept
{
    maxIn = juce::jmax(maxIn, inPeak);
    maxOut = juce::jmax(maxOut, outPeak);
    maxGr = juce::jmax(maxGr, gainReductionDb);
    samplesAccumulated += numSamples;

    while (samplesAccumulated >= samplesPerPoint)
    {
        samplesAccumulated -= samplesPerPoint;
        writeHistoryPoint(decibels(maxIn), decibels(maxOut), maxGr);
        if (samplesAccumulated < 1)
            maxIn = maxOut = maxGr = 0.0f;
        else
        {
            maxIn = inPeak;
            maxOut = outPeak;
            maxGr = gainReductionDb;
        }
    }
}

juce::AudioProcessorEditor* TQ4AudioProcessor::createEditor()
{
    return new TQ4AudioProcessorEditor(*this);
}

double TQ4AudioProcessor::currentParameterValue(const juce::String& parameterId) const
{
    auto* parameter = apvts.getParameter(parameterId);
    return parameter != nullptr ? parameter->convertFrom0to1(parameter->getValue()) : 0.0;
}

void TQ4AudioProcessor::captureBaseSettings(juce::ValueTree& tree)
{
    const juce::ScopedLock lock(stateLock);
    tq4::captureBaseSettings(tree, [this](const juce::String& id) { return currentParameterValue(id); });
}

void TQ4AudioProcessor::loadResolvedCharacter()
{
    const juce::ScopedLock lock(stateLock);
    resolvedCharacter =
        juce::roundToInt(static_cast<double>(apvts.state.getProperty(tq4::StateProps::baseCharacter, 0)));
}

void TQ4AudioProcessor::publishProfile()
{
    tq4::LearnedProfile profile;
    {
        const juce::ScopedLock lock(stateLock);
        profile = tq4::deriveLearnedProfile(apvts.state);
    }
    storePublishedProfile(profile);
}

void TQ4AudioProcessor::getStateInformation(juce::MemoryBlock& destData)
{
    std::unique_ptr<juce::XmlElement> xml;
    {
        const juce::ScopedLock lock(stateLock);
        auto copy = apvts.copyState();
        copy.setProperty(tq4::StateProps::stateVersion, stateVersion, nullptr);
        xml = copy.createXml();
    }
    if (xml != nullptr)
        copyXmlToBinary(*xml, destData);
}

void TQ4AudioProcessor::setStateInformation(const void* data, int sizeInBytes)
{
    auto xml = tq4::readStateXml(data, sizeInBytes);
    if (xml == nullptr || !xml->getTagName().equalsIgnoreCase(apvts.state.getType().toString()))
        return;

    const juce::ScopedLock lock(stateLock);
    ++stateGeneration;
    restoreState(juce::ValueTree::fromXml(*xml), true);
}

void TQ4AudioProcessor::restoreState(juce::ValueTree tree, bool fromHost)
{
    using namespace tq4::StateProps;
    const juce::ScopedLock lock(stateLock);

    if (fromHost)
        stateRestored = true;
    ++learnRevision;

    if (fromHost)
    {
        const double stored = tree.getProperty(tq4::StateProps::stateVersion, 1);
        stateVersion = std::isfinite(stored) && std::abs(stored) < 1.0e9 ? juce::roundToInt(stored) : 1;
    }
    tree.removeProperty(tq4::StateProps::stateVersion, nullptr);

    // The restored tree must carry the type apvts was built with, whatever case the block used.
    if (tree.getType() != apvts.state.getType())
    {
        juce::ValueTree renamed(apvts.state.getType());
        renamed.copyPropertiesAndChildrenFrom(tree, nullptr);
        tree = renamed;
    }
    tq4::sanitiseStoredValues(tree, apvts);

    const std::pair<juce::Identifier, const char*> applied[] = {{appliedSource, tq4::ParamIds::source},
                                                                {appliedNuance, tq4::ParamIds::nuance},
                                                                {appliedCharacter, tq4::ParamIds::character}};
    for (const auto& [property, id] : applied)
        if (!tree.hasProperty(property))
            tree.setProperty(property, juce::roundToInt(tq4::paramValue(tree, id, currentParameterValue(id))),
                             nullptr);

    if (tq4::hasParamValue(tree, tq4::ParamIds::nuance))
    {
        const int source = juce::roundToInt(tq4::paramValue(tree, tq4::ParamIds::source, 0.0));
        const int stored = juce::roundToInt(tq4::paramValue(tree, tq4::ParamIds::nuance, 0.0));
        const int clamped = tq4::clampDetail(source, stored);
        if (clamped != stored)
            tq4::setParamValue(tree, tq4::ParamIds::nuance, clamped);
    }
    {
        const int stored = juce::roundToInt(static_cast<double>(tree[appliedNuance]));
        const int clamped =
            tq4::clampDetail(juce::roundToInt(static_cast<double>(tree[appliedSource])), stored);
        if (clamped != stored)
            tree.setProperty(appliedNuance, clamped, nullptr);
    }

    tree.removeProperty(learnThrCorr, nullptr);
    for (int i = tree.getNumChildren(); --i >= 0;)
        if (tree.getChild(i)[juce::Identifier("id")].toString() == "learn")
            tree.removeChild(i, nullptr);

    captureBaseSettings(tree);
    apvts.replaceState(tree);
    loadResolvedCharacter();
    sharedSourceIndex->store(juce::roundToInt(currentParameterValue(tq4::ParamIds::source)));
    publishProfile();
}

juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    return new TQ4AudioProcessor();
}
