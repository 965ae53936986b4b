// tq4-render: runs TQ-4 in-process over an audio file (or a built-in demo) and reports what it did.

#include "adapt/SourceCatalogue.h"
#include "dsp/Loudness.h"
#include "plugin/PluginProcessor.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace
{

const char* const usage = R"(usage: tq4-render [options] [input [output]]

Processes an audio file (WAV, AIFF or FLAC, mono or stereo) through TQ-4 at the file's own sample
rate and writes the result. With no input it renders a built-in demo to tq4-demo.wav.

options:
  --set id=value     set a parameter by its ID, in its display units or texts
                     (e.g. --set character=FET --set threshold=-24 --set knee=SOFT)
  --block N          host block size in samples (1 to 65536, default 512)
  --bits N           output bit depth: 16, 24 or 32 (default 24)
  --state-in FILE    start from a state block saved with --state-out
  --state-out FILE   save the plug-in's state block after rendering
  --help             show this text

The output defaults to <input>-tq4.wav beside the input. The output is aligned with the input:
the plug-in's latency is removed.
)";

struct Failure
{
    juce::String message;
    int exitCode = 1;
};

struct Options
{
    juce::File input, output, stateIn, stateOut;
    bool demo = false;
    int blockSize = 512;
    int bits = 24;
    juce::StringPairArray sets;
    juce::StringArray setOrder;
};

int parseInteger(const juce::String& text, int low, int high, const juce::String& what)
{
    const auto trimmed = text.trim();
    if (trimmed.isEmpty() || !trimmed.containsOnly("0123456789"))
        throw Failure{what + " must be a whole number: \"" + text + "\""};
    const auto value = trimmed.getLargeIntValue();
    if (value < low || value > high)
        throw Failure{what + " must be between " + juce::String(low) + " and " + juce::String(high)};
    return static_cast<int>(value);
}

Options parseArguments(const juce::StringArray& args)
{
    Options options;
    juce::StringArray positional;
    const auto next = [&](int& i) -> juce::String
    {
        if (i + 1 >= args.size())
            throw Failure{args[i] + " needs a value"};
        return args[++i];
    };

    for (int i = 0; i < args.size(); ++i)
    {
        const auto& a = args[i];
        if (a == "--help" || a == "-h")
            throw Failure{usage, 0};
        if (a == "--set")
        {
            const auto pair = next(i);
            if (!pair.contains("="))
                throw Failure{"--set expects id=value, got \"" + pair + "\""};
            const auto id = pair.upToFirstOccurrenceOf("=", false, false).trim();
            if (!options.setOrder.contains(id))
                options.setOrder.add(id);
            options.sets.set(id, pair.fromFirstOccurrenceOf("=", false, false));
        }
        else if (a == "--block")
            options.blockSize = parseInteger(next(i), 1, 65536, "--block");
        else if (a == "--bits")
        {
            options.bits = parseInteger(next(i), 16, 32, "--bits");
            if (options.bits != 16 && options.bits != 24 && options.bits != 32)
                throw Failure{"--bits must be 16, 24 or 32"};
        }
        else if (a == "--state-in")
            options.stateIn = juce::File::getCurrentWorkingDirectory().getChildFile(next(i));
        else if (a == "--state-out")
            options.stateOut = juce::File::getCurrentWorkingDirectory().getChildFile(next(i));
        else if (a.startsWith("-") && a.length() > 1)
            throw Failure{"unknown option " + a + " (see --help)"};
        else
            positional.add(a);
    }

    if (positional.size() > 2)
        throw Failure{"too many arguments (see --help)"};

    const auto cwd = juce::File::getCurrentWorkingDirectory();
    options.demo = positional.isEmpty();
    if (options.demo)
        options.output = cwd.getChildFile("tq4-demo.wav");
    else
    {
        options.input = cwd.getChildFile(positional[0]);
        options.output =
            positional.size() > 1
                ? cwd.getChildFile(positional[1])
                : options.input.getSiblingFile(options.input.getFileNameWithoutExtension() + "-tq4.wav");
    }

    if (!options.demo && options.output == options.input)
        throw Failure{"the output would overwrite the input: " + options.input.getFullPathName()};
    if (options.stateOut != juce::File() &&
        (options.stateOut == options.input || options.stateOut == options.output))
        throw Failure{"--state-out must differ from the audio files"};
    return options;
}

// Eight seconds of a four-to-the-floor groove: kick, snare, hats and a bass line, from a fixed seed.
juce::AudioBuffer<float> makeDemo(double sampleRate)
{
    const int total = static_cast<int>(8.0 * sampleRate);
    juce::AudioBuffer<float> demo(2, total);
    demo.clear();
    juce::Random random(20261210);
    const double beat = 0.5 * sampleRate; // 120 bpm
    const double twoPi = juce::MathConstants<double>::twoPi;
    const double bassNotes[] = {55.0, 55.0, 65.41, 49.0};

    for (int i = 0; i < total; ++i)
    {
        const double t = i / sampleRate;
        const int beatIndex = static_cast<int>(i / beat);
        const double sinceBeat = (i - beatIndex * beat) / sampleRate;
        const double sinceEighth = std::fmod(t, 0.25);

        const double kickPitch = 50.0 + 120.0 * std::exp(-sinceBeat * 30.0);
        const double kick = 0.9 * std::sin(twoPi * kickPitch * sinceBeat) * std::exp(-sinceBeat * 9.0);
        const double noise = 2.0 * random.nextDouble() - 1.0;
        const double snare = (beatIndex % 2 == 1) ? 0.5 * noise * std::exp(-sinceBeat * 18.0) : 0.0;
        const double hat = 0.12 * noise * std::exp(-sinceEighth * 80.0);

        const double bassFrequency = bassNotes[(beatIndex / 2) % 4];
        const double phase = std::fmod(t * bassFrequency, 1.0);
        const double bass = 0.35 * (std::sin(twoPi * phase) + 0.3 * std::sin(2.0 * twoPi * phase)) *
                            (0.6 + 0.4 * std::exp(-sinceBeat * 4.0));

        const double mid = kick + snare + bass;
        demo.setSample(0, i, static_cast<float>(0.5 * (mid + hat * 0.8)));
        demo.setSample(1, i, static_cast<float>(0.5 * (mid + hat * 1.2)));
    }
    return demo;
}

juce::AudioBuffer<float> readAudio(const juce::File& file, double& sampleRate)
{
    if (!file.existsAsFile())
        throw Failure{"no such file: " + file.getFullPathName(), 2};
    juce::AudioFormatManager formats;
    formats.registerBasicFormats();
    std::unique_ptr<juce::AudioFormatReader> reader(formats.createReaderFor(file));
    if (reader == nullptr)
        throw Failure{"not a readable WAV, AIFF or FLAC file: " + file.getFullPathName(), 2};
    if (reader->numChannels < 1 || reader->numChannels > 2)
        throw Failure{"only mono and stereo files are supported (this one has " +
                          juce::String(reader->numChannels) + " channels)",
                      2};
    if (reader->lengthInSamples < 1 || reader->lengthInSamples > std::numeric_limits<int>::max() / 2)
        throw Failure{"the file is empty or too long: " + file.getFullPathName(), 2};
    if (reader->sampleRate < 8000.0 || reader->sampleRate > 768000.0)
        throw Failure{"unsupported sample rate " + juce::String(reader->sampleRate), 2};

    sampleRate = reader->sampleRate;
    juce::AudioBuffer<float> audio(static_cast<int>(reader->numChannels),
                                   static_cast<int>(reader->lengthInSamples));
    if (!reader->read(&audio, 0, audio.getNumSamples(), 0, true, true))
        throw Failure{"could not read " + file.getFullPathName(), 2};
    return audio;
}

juce::RangedAudioParameter& findParameter(TQ4AudioProcessor& processor, const juce::String& id)
{
    if (auto* p = processor.apvts.getParameter(id))
        return *p;
    throw Failure{"unknown parameter ID \"" + id + "\"; known: " + tq4::parameterIds().joinIntoString(", ")};
}

// Reads a value in the parameter's own units or texts; refuses anything outside its range.
float parseParameterValue(TQ4AudioProcessor& processor, juce::RangedAudioParameter& parameter,
                          const juce::String& text)
{
    const auto id = parameter.getParameterID();
    const auto trimmed = text.trim();
    const auto fail = [&](const juce::String& why) { return Failure{id + "=" + text + ": " + why}; };

    if (auto* choice = dynamic_cast<juce::AudioParameterChoice*>(&parameter))
    {
        for (int i = 0; i < choice->choices.size(); ++i)
            if (choice->choices[i].equalsIgnoreCase(trimmed))
                return static_cast<float>(i);
        throw fail("expected one of " + choice->choices.joinIntoString(", "));
    }
    if (dynamic_cast<juce::AudioParameterBool*>(&parameter) != nullptr)
    {
        for (auto on : {"on", "true", "yes", "1"})
            if (trimmed.equalsIgnoreCase(on))
                return 1.0f;
        for (auto off : {"off", "false", "no", "0"})
            if (trimmed.equalsIgnoreCase(off))
                return 0.0f;
        throw fail("expected on or off");
    }
    if (id == tq4::ParamIds::nuance)
    {
        if (trimmed.containsOnly("0123456789") && trimmed.isNotEmpty())
        {
            const int index = trimmed.getIntValue();
            if (index > 7)
                throw fail("a detail index is 0 to 7");
            return static_cast<float>(index);
        }
        const int source =
            juce::roundToInt(processor.apvts.getRawParameterValue(tq4::ParamIds::source)->load());
        const auto details = tq4::detailNames(source);
        for (int i = 0; i < details.size(); ++i)
            if (details[i].equalsIgnoreCase(trimmed))
                return static_cast<float>(i);
        throw fail("not a detail of " + tq4::sourceNames()[source] + ": " + details.joinIntoString(", "));
    }

    float value = 0.0f;
    if (id == tq4::ParamIds::knee && (trimmed.equalsIgnoreCase("HARD") || trimmed.equalsIgnoreCase("SOFT")))
        value = tq4::kneeFromText(trimmed);
    else
    {
        const char* number = trimmed.toRawUTF8();
        char* end = nullptr;
        const double parsed = std::strtod(number, &end);
        const auto rest = juce::String(end).trim();
        const juce::StringArray units{"", "dB", "ms", "%", ":1"};
        if (end == number || !std::isfinite(parsed) || !units.contains(rest, true))
            throw fail("not a number");
        value = static_cast<float>(parsed);
    }

    const auto range = parameter.getNormalisableRange();
    if (value < range.start || value > range.end)
        throw fail("out of range " + juce::String(range.start) + " to " + juce::String(range.end));
    return value;
}

void applySettings(TQ4AudioProcessor& processor, const Options& options)
{
    // The source decides what the detail names mean, so it goes first.
    auto order = options.setOrder;
    if (order.contains(tq4::ParamIds::source))
    {
        order.removeString(tq4::ParamIds::source);
        order.insert(0, tq4::ParamIds::source);
    }
    for (const auto& id : order)
    {
        auto& parameter = findParameter(processor, id);
        const float value = parseParameterValue(processor, parameter, options.sets[id]);
        parameter.setValueNotifyingHost(parameter.convertTo0to1(value));
    }
}

void loadState(TQ4AudioProcessor& processor, const juce::File& file)
{
    juce::MemoryBlock block;
    if (!file.existsAsFile() || !file.loadFileAsData(block) || block.getSize() == 0)
        throw Failure{"cannot read the state file " + file.getFullPathName(), 2};
    if (juce::AudioProcessor::getXmlFromBinary(block.getData(), static_cast<int>(block.getSize())) == nullptr)
        throw Failure{"not a TQ-4 state block: " + file.getFullPathName(), 2};
    processor.setStateInformation(block.getData(), static_cast<int>(block.getSize()));
}

struct RenderReport
{
    double averageGrDb = 0.0;
    float largestGrDb = 0.0f;
    int latency = 0;
};

// Feeds the audio in host-sized blocks, then enough silence to flush the latency, and drops that
// many samples from the front so the result lines up with the input.
RenderReport render(TQ4AudioProcessor& processor, const juce::AudioBuffer<float>& input,
                    juce::AudioBuffer<float>& output, double sampleRate, int blockSize)
{
    const int channels = input.getNumChannels();
    const int length = input.getNumSamples();
    const auto set = channels == 1 ? juce::AudioChannelSet::mono() : juce::AudioChannelSet::stereo();
    juce::AudioProcessor::BusesLayout layout;
    layout.inputBuses.add(set);
    layout.outputBuses.add(set);
    if (!processor.setBusesLayout(layout))
        throw Failure{"the plug-in refused a " + set.getDescription() + " layout", 2};

    processor.setRateAndBufferSizeDetails(sampleRate, blockSize);
    processor.prepareToPlay(sampleRate, blockSize);

    RenderReport report;
    report.latency = processor.getLatencySamples();
    output.setSize(channels, length);
    output.clear();

    juce::AudioBuffer<float> block(channels, blockSize);
    juce::MidiBuffer midi;
    double grSum = 0.0;
    for (int start = 0; start < length + report.latency; start += blockSize)
    {
        const int n = juce::jmin(blockSize, length + report.latency - start);
        block.setSize(channels, n, false, false, true);
        block.clear();
        const int available = juce::jlimit(0, n, length - start);
        for (int c = 0; c < channels; ++c)
            if (available > 0)
                block.copyFrom(c, 0, input, c, start, available);

        processor.processBlock(block, midi);

        const float gr = processor.getEngine().gainReductionMeterDb;
        grSum += static_cast<double>(gr) * n;
        report.largestGrDb = juce::jmax(report.largestGrDb, gr);

        for (int k = 0; k < n; ++k)
        {
            const int target = start + k - report.latency;
            if (target >= 0 && target < length)
                for (int c = 0; c < channels; ++c)
                    output.setSample(c, target, block.getSample(c, k));
        }
    }
    processor.releaseResources();
    report.averageGrDb = grSum / juce::jmax(1, length + report.latency);
    return report;
}

void writeAudio(const juce::File& file, const juce::AudioBuffer<float>& audio, double sampleRate, int bits)
{
    // Written beside the target first, so a failed write never leaves a half file under the real name.
    juce::TemporaryFile temporary(file);
    {
        juce::WavAudioFormat wav;
        auto stream = temporary.getFile().createOutputStream();
        if (stream == nullptr)
            throw Failure{"cannot write " + file.getFullPathName(), 2};
        std::unique_ptr<juce::OutputStream> owned(stream.release());
        std::unique_ptr<juce::AudioFormatWriter> writer(wav.createWriterFor(
            owned.get(), sampleRate, static_cast<unsigned int>(audio.getNumChannels()), bits, {}, 0));
        if (writer == nullptr)
            throw Failure{"cannot encode a " + juce::String(bits) + "-bit WAV at " +
                              juce::String(sampleRate) + " Hz",
                          2};
        owned.release();
        if (!writer->writeFromAudioSampleBuffer(audio, 0, audio.getNumSamples()))
            throw Failure{"cannot write " + file.getFullPathName(), 2};
    }
    if (!temporary.overwriteTargetFileWithTemporary())
        throw Failure{"cannot write " + file.getFullPathName(), 2};
}

void saveState(TQ4AudioProcessor& processor, const juce::File& file)
{
    juce::MemoryBlock block;
    processor.getStateInformation(block);
    if (!file.replaceWithData(block.getData(), block.getSize()))
        throw Failure{"cannot write the state file " + file.getFullPathName(), 2};
}

float peakOf(const juce::AudioBuffer<float>& audio)
{
    float peak = 0.0f;
    for (int c = 0; c < audio.getNumChannels(); ++c)
        peak = juce::jmax(peak, audio.getMagnitude(c, 0, audio.getNumSamples()));
    return peak;
}

juce::String levelText(const juce::AudioBuffer<float>& audio, double sampleRate)
{
    const float peak = peakOf(audio);
    const float lufs = tq4::measureIntegratedLoudness(audio.getArrayOfReadPointers(), audio.getNumChannels(),
                                                      audio.getNumSamples(), sampleRate);
    const auto peakDb =
        peak > 0.0f ? juce::String(juce::Decibels::gainToDecibels(peak), 2) + " dBFS" : "-inf dBFS";
    const auto loudness = lufs <= -100.0f ? juce::String("below -70 LUFS") : juce::String(lufs, 1) + " LUFS";
    return "peak " + peakDb + ", integrated " + loudness;
}

int run(const juce::StringArray& args)
{
    const auto options = parseArguments(args);

    TQ4AudioProcessor processor;
    if (options.stateIn != juce::File())
        loadState(processor, options.stateIn);
    applySettings(processor, options);

    double sampleRate = 48000.0;
    const auto input = options.demo ? makeDemo(sampleRate) : readAudio(options.input, sampleRate);

    juce::AudioBuffer<float> output;
    const auto report = render(processor, input, output, sampleRate, options.blockSize);

    writeAudio(options.output, output, sampleRate, options.bits);
    if (options.stateOut != juce::File())
        saveState(processor, options.stateOut);

    std::cout << "TQ-4 render\n"
              << "  input:   "
              << (options.demo ? juce::String("built-in demo") : options.input.getFullPathName()) << " ("
              << input.getNumChannels() << " ch, " << sampleRate << " Hz, "
              << juce::String(input.getNumSamples() / sampleRate, 2) << " s)\n"
              << "  output:  " << options.output.getFullPathName() << " (" << options.bits << "-bit WAV)\n"
              << "  in:      " << levelText(input, sampleRate) << "\n"
              << "  out:     " << levelText(output, sampleRate) << "\n"
              << "  gain reduction: average " << juce::String(report.averageGrDb, 2) << " dB, largest "
              << juce::String(report.largestGrDb, 2) << " dB\n"
              << "  latency: " << report.latency << " samples (removed)\n"
              << "  block:   " << options.blockSize << " samples\n"
              << "  parameters:\n";
    for (auto* p : processor.getParameters())
        if (auto* ranged = dynamic_cast<juce::RangedAudioParameter*>(p))
            std::cout << "    " << ranged->getParameterID().paddedRight(' ', 12) << " "
                      << ranged->getCurrentValueAsText() << "\n";
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    juce::ScopedJuceInitialiser_GUI juce;
    juce::StringArray args;
    for (int i = 1; i < argc; ++i)
        args.add(juce::String::fromUTF8(argv[i]));

    try
    {
        return run(args);
    }
    catch (const Failure& failure)
    {
        (failure.exitCode == 0 ? std::cout : std::cerr)
            << (failure.exitCode == 0 ? "" : "tq4-render: ") << failure.message
            << (failure.exitCode == 0 ? "" : "\n");
        return failure.exitCode;
    }
}
