// tq4-render: runs TQ-4 in-process over an audio file (or a built-in demo) and reports what it did.

#include "Failure.h"
#include "Outputs.h"
#include "Plot.h"
#include "Report.h"
#include "Session.h"

#include "adapt/SourceCatalogue.h"

#include <juce_audio_formats/juce_audio_formats.h>

#include <cstdlib>
#include <iostream>
#include <optional>

using tq4render::Failure;

namespace
{

const char* const usage = R"(usage: tq4-render [options] [input [output]]

Processes an audio file (WAV, AIFF or FLAC, mono or stereo) through TQ-4 at the file's own sample
rate and writes the result. With no input it uses a built-in demo and writes tq4-demo.wav in
the current folder.

options:
  --learn            press LEARN first: the input is played (looped, at most 60 s) until the
                     plug-in has heard 8 s above -60 dBFS, then the file is rendered from its start
                     with what it learned
  --source NAME      the source, as chosen in the editor's source menu (e.g. Drum, Vocal, MIX)
  --detail NAME      the detail within the source (e.g. "Full Kit", Lead, Bus)
  --target DB        move the gain-reduction target to DB (1 to 20) as the dial's marker
                     does: after the learn, or on a --state-in saved after one
  --set id=value     set a parameter by its ID, in its display units or texts
                     (e.g. --set character=FET --set threshold=-24 --set knee=SOFT); with --learn
                     these are applied after the learn, as your own edits
  --block N          host block size in samples (1 to 65536, default 512)
  --bits N           output bit depth: 16, 24 or 32 (default 24)
  --state-in FILE    start from a state block saved with --state-out
  --state-out FILE   save the plug-in's state block after rendering
  --report FILE      also write the report as JSON (keys below)
  --plot FILE        draw the render as a PNG picture
  --help             show this text

The output defaults to <input>-tq4.wav beside the input. The output is aligned with the input:
the plug-in's latency is removed. Every output is written only when the whole run succeeded.
The report goes to stdout, errors to stderr (exit code non-zero).

)";

struct Options
{
    juce::File input, output, stateIn, stateOut, report, plot;
    bool demo = false, learn = false;
    int blockSize = 512;
    int bits = 24;
    juce::StringPairArray sets;
    juce::StringArray setOrder;
    std::optional<juce::String> sourceName, detailName;
    std::optional<float> targetDb;
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

// A number with an optional unit from units; nullopt when it is not one.
std::optional<float> parseNumber(const juce::String& text, const juce::StringArray& units)
{
    const auto trimmed = text.trim();
    const char* number = trimmed.toRawUTF8();
    char* end = nullptr;
    const double parsed = std::strtod(number, &end);
    const auto rest = juce::String(end).trim();
    if (end == number || !std::isfinite(parsed) || !units.contains(rest, true))
        return std::nullopt;
    return static_cast<float>(parsed);
}

Options parseArguments(const juce::StringArray& args)
{
    Options options;
    juce::StringArray positional;
    const auto cwd = juce::File::getCurrentWorkingDirectory();
    const auto next = [&](int& i) -> juce::String
    {
        if (i + 1 >= args.size())
            throw Failure{args[i] + " needs a value"};
        return args[++i];
    };
    const auto path = [&](int& i)
    {
        const auto text = next(i);
        if (text.isEmpty())
            throw Failure{args[i - 1] + " needs a file name"};
        return cwd.getChildFile(text);
    };

    for (int i = 0; i < args.size(); ++i)
    {
        const auto& a = args[i];
        if (a == "--help" || a == "-h")
            throw Failure{juce::String(usage) + tq4render::jsonKeysHelp, 0};
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
        else if (a == "--learn")
            options.learn = true;
        else if (a == "--source")
            options.sourceName = next(i);
        else if (a == "--detail")
            options.detailName = next(i);
        else if (a == "--target")
        {
            const auto text = next(i);
            const auto db = parseNumber(text, {"", "dB"});
            if (!db || *db < 1.0f || *db > 20.0f)
                throw Failure{"--target must be a number of dB from 1 to 20: \"" + text + "\""};
            options.targetDb = *db;
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
            options.stateIn = path(i);
        else if (a == "--state-out")
            options.stateOut = path(i);
        else if (a == "--report")
            options.report = path(i);
        else if (a == "--plot")
            options.plot = path(i);
        else if (a.startsWith("-") && a.length() > 1)
            throw Failure{"unknown option " + a + " (see --help)"};
        else
            positional.add(a);
    }

    if (positional.size() > 2)
        throw Failure{"too many arguments (see --help)"};

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
    return options;
}

bool sameFile(const juce::File& a, const juce::File& b)
{
    const auto resolved = [](const juce::File& f) { return f.isSymbolicLink() ? f.getLinkedTarget() : f; };
    return a == b || resolved(a) == resolved(b);
}

// Refuses, before anything runs, an output that would overwrite an input or another output, or that
// could not be written.
void checkPaths(const Options& options)
{
    struct Named
    {
        juce::File file;
        const char* what;
    };
    std::vector<Named> inputs, outputs;
    if (!options.demo)
        inputs.push_back({options.input, "input"});
    if (options.stateIn != juce::File())
        inputs.push_back({options.stateIn, "--state-in file"});
    outputs.push_back({options.output, "output"});
    for (const auto& [file, what] :
         {Named{options.stateOut, "--state-out file"}, Named{options.report, "--report file"},
          Named{options.plot, "--plot file"}})
        if (file != juce::File())
            outputs.push_back({file, what});

    for (size_t i = 0; i < outputs.size(); ++i)
    {
        for (const auto& in : inputs)
            if (sameFile(outputs[i].file, in.file))
                throw Failure{juce::String("the ") + outputs[i].what + " would overwrite the " + in.what +
                              ": " + in.file.getFullPathName()};
        for (size_t k = 0; k < i; ++k)
            if (sameFile(outputs[i].file, outputs[k].file))
                throw Failure{juce::String("the ") + outputs[k].what + " and the " + outputs[i].what +
                              " are the same file: " + outputs[i].file.getFullPathName()};
    }
    for (const auto& out : outputs)
        tq4render::StagedOutputs::checkWritable(out.file, out.what);
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

int matchName(const juce::StringArray& names, const juce::String& text)
{
    for (int i = 0; i < names.size(); ++i)
        if (names[i].equalsIgnoreCase(text.trim()))
            return i;
    return -1;
}

int parseSource(const juce::String& text)
{
    const int source = matchName(tq4::sourceNames(), text);
    if (source < 0)
        throw Failure{"unknown source \"" + text + "\"; the sources are " +
                      tq4::sourceNames().joinIntoString(", ")};
    return source;
}

// A detail by name, or by its index in the source's list.
int parseDetail(int source, const juce::String& text, const juce::String& what)
{
    const auto details = tq4::detailNames(source);
    const auto trimmed = text.trim();
    int detail = matchName(details, trimmed);
    if (detail < 0 && trimmed.isNotEmpty() && trimmed.containsOnly("0123456789") && trimmed.length() < 3)
        detail = trimmed.getIntValue() < details.size() ? trimmed.getIntValue() : -1;
    if (detail < 0)
        throw Failure{what + ": \"" + text + "\" is not a detail of " + tq4::sourceNames()[source] +
                      "; its details are " + details.joinIntoString(", ")};
    return detail;
}

juce::RangedAudioParameter& findParameter(TQ4AudioProcessor& processor, const juce::String& id)
{
    if (auto* p = processor.apvts.getParameter(id))
        return *p;
    throw Failure{"unknown parameter ID \"" + id + "\"; known: " + tq4::parameterIds().joinIntoString(", ")};
}

// Reads a value in the parameter's own units or texts; refuses anything outside its range. A detail
// is read against the source in effect when it is applied.
float parseParameterValue(juce::RangedAudioParameter& parameter, const juce::String& text, int source)
{
    const auto id = parameter.getParameterID();
    const auto trimmed = text.trim();
    const auto fail = [&](const juce::String& why) { return Failure{id + "=" + text + ": " + why}; };

    if (id == tq4::ParamIds::nuance)
        return static_cast<float>(parseDetail(source, trimmed, "--set nuance"));
    if (auto* choice = dynamic_cast<juce::AudioParameterChoice*>(&parameter))
    {
        const int index = matchName(choice->choices, trimmed);
        if (index < 0)
            throw fail("expected one of " + choice->choices.joinIntoString(", "));
        return static_cast<float>(index);
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

    float value = 0.0f;
    if (id == tq4::ParamIds::knee && (trimmed.equalsIgnoreCase("HARD") || trimmed.equalsIgnoreCase("SOFT")))
        value = tq4::kneeFromText(trimmed);
    else if (const auto number = parseNumber(trimmed, {"", "dB", "ms", "%", ":1"}))
        value = *number;
    else
        throw fail("not a number");

    const auto range = parameter.getNormalisableRange();
    if (value < range.start || value > range.end)
        throw fail("out of range " + juce::String(range.start) + " to " + juce::String(range.end));
    return value;
}

// The --set edits, checked before anything runs; the source goes first, since it decides what the
// detail names mean.
std::vector<tq4render::Edit> resolveEdits(TQ4AudioProcessor& processor, const Options& options, int source)
{
    auto order = options.setOrder;
    if (order.contains(tq4::ParamIds::source))
    {
        order.removeString(tq4::ParamIds::source);
        order.insert(0, tq4::ParamIds::source);
    }
    std::vector<tq4render::Edit> edits;
    for (const auto& id : order)
    {
        auto& parameter = findParameter(processor, id);
        const float value = parseParameterValue(parameter, options.sets[id], source);
        if (id == tq4::ParamIds::source)
            source = juce::roundToInt(value);
        edits.push_back({id, value});
    }
    return edits;
}

bool writeWav(const juce::File& file, const juce::AudioBuffer<float>& audio, double sampleRate, int bits)
{
    auto stream = file.createOutputStream();
    if (stream == nullptr)
        return false;
    juce::WavAudioFormat wav;
    std::unique_ptr<juce::OutputStream> owned(stream.release());
    std::unique_ptr<juce::AudioFormatWriter> writer(wav.createWriterFor(
        owned.get(), sampleRate, static_cast<unsigned int>(audio.getNumChannels()), bits, {}, 0));
    if (writer == nullptr)
        return false;
    owned.release(); // the writer owns the stream now
    return writer->writeFromAudioSampleBuffer(audio, 0, audio.getNumSamples()) && writer->flush();
}

int run(const juce::StringArray& args)
{
    const auto options = parseArguments(args);
    checkPaths(options);

    double sampleRate = 48000.0;
    const auto input = options.demo ? makeDemo(sampleRate) : readAudio(options.input, sampleRate);

    tq4render::Session session(input.getNumChannels(), sampleRate, options.blockSize);
    auto& processor = session.plugin();
    if (options.stateIn != juce::File())
        session.loadState(options.stateIn);

    // Everything the user asked for is checked before the first block runs.
    int source = session.source();
    int detail = session.detail();
    const bool choosesSource = options.sourceName || options.detailName;
    if (options.sourceName)
    {
        source = parseSource(*options.sourceName);
        detail = tq4::clampDetail(source, detail);
    }
    if (options.detailName)
        detail = parseDetail(source, *options.detailName, "--detail");
    const auto edits = resolveEdits(processor, options, source);

    if (choosesSource)
        session.chooseSource(source, detail);

    tq4render::Figures figures;
    if (options.learn)
    {
        tq4render::LearnFigures learned;
        learned.outcome = session.learn(input);
        if (options.targetDb)
            session.moveTarget(*options.targetDb);
        learned.learned = tq4render::readSettings(processor);
        tq4render::readLearnResult(processor, learned);
        figures.learn = learned;
    }
    else if (options.targetDb)
        session.moveTarget(*options.targetDb);
    session.applyEdits(edits);

    const auto render = session.render(input);

    figures.demo = options.demo;
    figures.inputName = options.demo ? juce::String("built-in demo") : options.input.getFullPathName();
    figures.outputPath = options.output.getFullPathName();
    figures.channels = input.getNumChannels();
    figures.bits = options.bits;
    figures.blockSize = options.blockSize;
    figures.latency = render.latency;
    figures.sampleRate = sampleRate;
    figures.seconds = input.getNumSamples() / sampleRate;
    figures.in = tq4render::measureLevels(input, sampleRate);
    figures.out = tq4render::measureLevels(render.output, sampleRate);
    figures.averageGrDb = render.averageGrDb;
    figures.largestGrDb = render.largestGrDb;
    figures.rendered = tq4render::readSettings(processor);
    if (options.stateIn != juce::File())
        figures.stateIn = options.stateIn.getFileName();

    tq4render::StagedOutputs outputs;
    outputs.stage(options.output, "output",
                  [&](const juce::File& file)
                  { return writeWav(file, render.output, sampleRate, options.bits); });
    if (options.stateOut != juce::File())
        outputs.stage(options.stateOut, "--state-out file",
                      [&](const juce::File& file)
                      {
                          juce::MemoryBlock block;
                          processor.getStateInformation(block);
                          return block.getSize() > 0 &&
                                 file.replaceWithData(block.getData(), block.getSize());
                      });
    if (options.report != juce::File())
        outputs.stage(options.report, "--report file",
                      [&](const juce::File& file)
                      { return file.replaceWithText(tq4render::jsonReport(figures)); });
    if (options.plot != juce::File())
    {
        const auto title = options.demo ? juce::String("built-in demo") : options.input.getFileName();
        const auto image = tq4render::drawPlot(figures, title, input, render.output, render);
        outputs.stage(options.plot, "--plot file",
                      [&](const juce::File& file) { return tq4render::writePng(image, file); });
    }
    outputs.commit();

    std::cout << tq4render::textReport(figures) << std::flush;
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
        if (failure.exitCode == 0)
            std::cout << failure.message;
        else
            std::cerr << "tq4-render: " << failure.message << "\n";
        return failure.exitCode;
    }
}
