#include "Session.h"

#include "Failure.h"

namespace tq4render
{

namespace
{

double nowMs()
{
    return juce::Time::getMillisecondCounterHiRes();
}

// Copies length samples starting at position into block, wrapping around the end of the input.
void fillLooped(juce::AudioBuffer<float>& block, const juce::AudioBuffer<float>& input, int64_t position,
                int length)
{
    const int total = input.getNumSamples();
    int done = 0;
    while (done < length)
    {
        const int start = static_cast<int>((position + done) % total);
        const int n = juce::jmin(length - done, total - start);
        for (int c = 0; c < block.getNumChannels(); ++c)
            block.copyFrom(c, done, input, c, start, n);
        done += n;
    }
}

} // namespace

Session::Session(int numChannels, double rate, int block)
    : channels(numChannels), sampleRate(rate), blockSize(block),
      tickSamples(juce::jmax(1, juce::roundToInt(rate * 0.04)))
{
    // This process is the message thread: it ticks the control logic itself, in audio time.
    processor.stopTimer();

    const auto set = channels == 1 ? juce::AudioChannelSet::mono() : juce::AudioChannelSet::stereo();
    juce::AudioProcessor::BusesLayout layout;
    layout.inputBuses.add(set);
    layout.outputBuses.add(set);
    if (!processor.setBusesLayout(layout))
        throw Failure{"the plug-in refused a " + set.getDescription() + " layout", 2};
    processor.setRateAndBufferSizeDetails(sampleRate, blockSize);
    processor.prepareToPlay(sampleRate, blockSize);
}

int Session::source() const
{
    return juce::roundToInt(processor.apvts.getRawParameterValue(tq4::ParamIds::source)->load());
}

int Session::detail() const
{
    return tq4::clampDetail(
        source(), juce::roundToInt(processor.apvts.getRawParameterValue(tq4::ParamIds::nuance)->load()));
}

void Session::tick()
{
    processor.timerCallback();
}

void Session::setPlain(const char* parameterId, float value)
{
    auto* parameter = processor.apvts.getParameter(parameterId);
    parameter->beginChangeGesture();
    parameter->setValueNotifyingHost(parameter->convertTo0to1(value));
    parameter->endChangeGesture();
}

void Session::loadState(const juce::File& file)
{
    juce::MemoryBlock block;
    if (!file.existsAsFile() || !file.loadFileAsData(block) || block.getSize() == 0)
        throw Failure{"cannot read the state file " + file.getFullPathName(), 2};

    // The plug-in counts every block it accepts; a refused one leaves it unchanged and silent.
    const int before = processor.stateGeneration.load();
    processor.setStateInformation(block.getData(), static_cast<int>(block.getSize()));
    if (processor.stateGeneration.load() == before)
        throw Failure{"not a TQ-4 state block, or a damaged one (the plug-in refused it): " +
                          file.getFullPathName(),
                      2};
    tick();
}

void Session::chooseSource(int newSource, int newDetail)
{
    processor.history.beginGesture();
    setPlain(tq4::ParamIds::source, static_cast<float>(newSource));
    setPlain(tq4::ParamIds::nuance, static_cast<float>(newDetail));
    processor.history.commitPending();
    processor.history.endGesture();
    tick();
}

void Session::applyEdits(const std::vector<Edit>& edits)
{
    int newSource = -1, newDetail = -1;
    for (const auto& edit : edits)
    {
        if (edit.id == tq4::ParamIds::source)
            newSource = juce::roundToInt(edit.value);
        else if (edit.id == tq4::ParamIds::nuance)
            newDetail = juce::roundToInt(edit.value);
    }
    if (newSource >= 0 || newDetail >= 0)
    {
        const int s = newSource >= 0 ? newSource : source();
        chooseSource(s, newDetail >= 0 ? newDetail : tq4::clampDetail(s, detail()));
    }

    for (const auto& edit : edits)
    {
        if (edit.id == tq4::ParamIds::source || edit.id == tq4::ParamIds::nuance)
            continue;
        processor.history.beginGesture();
        setPlain(edit.id.toRawUTF8(), edit.value);
        processor.history.commitPending();
        processor.history.endGesture();
    }
    tick();
}

LearnOutcome Session::learn(const juce::AudioBuffer<float>& input)
{
    const int length = input.getNumSamples();
    if (length < blockSize)
        throw Failure{"the file is shorter than one block (" + juce::String(length) +
                      " samples, the block is " + juce::String(blockSize) +
                      "); a learn needs at least one block of audio"};

    LearnOutcome outcome;
    processor.learnRequested = true; // what the LEARN button does
    tick();

    const auto limit = static_cast<int64_t>(maxLearnSeconds * sampleRate);
    juce::AudioBuffer<float> block(channels, blockSize);
    juce::MidiBuffer midi;
    int64_t fed = 0;
    int sinceTick = 0;
    while (fed < limit && processor.learnRequested.load())
    {
        const int n = static_cast<int>(juce::jmin<int64_t>(blockSize, limit - fed));
        block.setSize(channels, n, false, false, true);
        fillLooped(block, input, fed, n);
        processor.processBlock(block, midi);
        fed += n;

        for (sinceTick += n; sinceTick >= tickSamples && processor.learnRequested.load();
             sinceTick -= tickSamples)
        {
            const double start = nowMs();
            tick();
            if (!processor.learnRequested.load())
                outcome.finishTickMs = nowMs() - start;
        }
    }
    outcome.secondsFed = static_cast<double>(fed) / sampleRate;

    if (processor.learnRequested.load())
    {
        const double counted = juce::jlimit(0.0f, 1.0f, processor.learnProgress.load()) * 8.0;
        processor.learnRequested = false; // withdrawn, as a second click on LEARN would
        tick();
        throw Failure{"the learn heard only " + juce::String(counted, 1) + " s above -60 dBFS in " +
                      juce::String(outcome.secondsFed, 1) + " s of audio; it needs 8 s"};
    }
    if (!processor.learnedSolution.valid)
        throw Failure{"the learn finished without a usable result"};
    outcome.secondsCounted = processor.learnedStats.seconds;

    // A message thread keeps ticking in real time while the analysis runs in the background.
    const double waitStart = nowMs();
    while (processor.driveEqJobActive.load())
    {
        if (nowMs() - waitStart > driveEqTimeoutSeconds * 1000.0)
            throw Failure{"the drive EQ analysis did not finish within " +
                          juce::String(juce::roundToInt(driveEqTimeoutSeconds)) + " s"};
        juce::Thread::sleep(40);
        tick();
    }
    outcome.driveEqMs = nowMs() - waitStart;
    return outcome;
}

void Session::moveTarget(float db)
{
    processor.history.beginGesture();
    const bool written = processor.writeTarget(db);
    processor.history.endGesture();
    if (!written)
        throw Failure{
            "--target needs a stored learn: use --learn, or --state-in with a state saved after one"};
    tick();
}

RenderOutcome Session::render(const juce::AudioBuffer<float>& input)
{
    // What a host does to start again from the top: release, then prepare afresh.
    processor.releaseResources();
    processor.prepareToPlay(sampleRate, blockSize);

    RenderOutcome outcome;
    outcome.latency = processor.getLatencySamples();
    outcome.samplesPerPoint = juce::jmax(1, juce::roundToInt(sampleRate * 0.01));
    const int length = input.getNumSamples();
    const int total = length + outcome.latency;
    outcome.output.setSize(channels, length);
    outcome.output.clear();

    std::vector<float> history;
    int historyRead = processor.historyWriteIndexNow();
    juce::AudioBuffer<float> block(channels, blockSize);
    juce::MidiBuffer midi;
    double grSum = 0.0;
    int sinceTick = 0;
    for (int start = 0; start < total; start += blockSize)
    {
        const int n = juce::jmin(blockSize, total - start);
        block.setSize(channels, n, false, false, true);
        block.clear();
        const int available = juce::jlimit(0, n, length - start);
        for (int c = 0; c < channels; ++c)
            if (available > 0)
                block.copyFrom(c, 0, input, c, start, available);

        processor.processBlock(block, midi);

        const float gr = processor.getEngine().gainReductionMeterDb;
        grSum += static_cast<double>(gr) * n;
        outcome.largestGrDb = juce::jmax(outcome.largestGrDb, gr);

        // Points older than the ring holds (a block of several seconds) take the block's reading.
        const int written = processor.historyWriteIndexNow();
        for (int i = historyRead; i < written; ++i)
            history.push_back(written - i > TQ4AudioProcessor::historySize
                                  ? gr
                                  : processor.historyPoint(i).gainReductionDb);
        historyRead = written;

        for (int k = 0; k < n; ++k)
        {
            const int target = start + k - outcome.latency;
            if (target >= 0 && target < length)
                for (int c = 0; c < channels; ++c)
                    outcome.output.setSample(c, target, block.getSample(c, k));
        }

        for (sinceTick += n; sinceTick >= tickSamples; sinceTick -= tickSamples)
            tick();
    }
    processor.releaseResources();
    outcome.averageGrDb = grSum / juce::jmax(1, total);

    const auto skip = static_cast<size_t>(
        juce::jmin<int>(static_cast<int>(history.size()),
                        juce::roundToInt(outcome.latency / static_cast<double>(outcome.samplesPerPoint))));
    outcome.gainReductionDb.assign(history.begin() + static_cast<std::ptrdiff_t>(skip), history.end());
    return outcome;
}

} // namespace tq4render
