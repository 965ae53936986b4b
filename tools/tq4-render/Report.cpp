#include "Report.h"

#include "adapt/SourceCatalogue.h"
#include "dsp/Loudness.h"

#include <cmath>

namespace tq4render
{

namespace
{

const char* const driveTypeNames[] = {"TUBE", "TRANSFORMER", "TAPE", "FET"};

bool measured(float db)
{
    return db > -100.0f;
}

// A figure as JSON: rounded to what the measurement means, null when there is nothing to measure.
juce::var number(double value, int decimals)
{
    if (!std::isfinite(value))
        return {};
    const double scale = std::pow(10.0, decimals);
    const double rounded = std::round(value * scale) / scale;
    return rounded == 0.0 ? 0.0 : rounded; // no -0
}

juce::var levelNumber(float db)
{
    return measured(db) ? number(db, 2) : juce::var();
}

// "+1.2", "-0.4", "0.0": a value that rounds to zero gets no sign.
juce::String signedText(double value, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    const double rounded = std::round(value * scale) / scale;
    return (rounded > 0.0 ? "+" : "") + juce::String(rounded == 0.0 ? 0.0 : rounded, decimals);
}

juce::String lufsText(float lufs)
{
    return measured(lufs) ? juce::String(lufs, 1) + " LUFS"
                          : juce::String("not measurable (below -70 LUFS or under 0.4 s)");
}

juce::String peakText(float db)
{
    return measured(db) ? juce::String(db, 2) + " dBFS" : juce::String("-inf dBFS");
}

juce::String secondsText(double ms)
{
    return ms < 1000.0 ? juce::String(juce::roundToInt(ms)) + " ms" : juce::String(ms / 1000.0, 1) + " s";
}

juce::String kneeSummary(const Settings& s)
{
    const float percent = s["knee"].value;
    return s["knee"].text + (s["knee"].text.containsOnly("0123456789") ? " %" : "") + " (" +
           juce::String(percent * 0.24f, 1) + " dB)";
}

juce::String characterSummary(const Settings& s)
{
    const auto& c = s["character"];
    return juce::roundToInt(c.value) == 0 ? c.text + " (" + s.resolvedCharacter + ")" : c.text;
}

juce::var settingsJson(const Settings& s)
{
    auto* o = new juce::DynamicObject();
    o->setProperty("thresholdDb", number(s["threshold"].value, 1));
    o->setProperty("ratio", number(s["ratio"].value, 2));
    o->setProperty("attackMs", number(s["attack"].value, 2));
    o->setProperty("releaseMs", number(s["release"].value, 1));
    o->setProperty("kneePercent", number(s["knee"].value, 0));
    o->setProperty("mixPercent", number(s["mix"].value, 1));
    o->setProperty("outputDb", number(s["output"].value, 1));
    o->setProperty("character", s["character"].text);
    o->setProperty("characterResolved", s.resolvedCharacter);
    o->setProperty("autoRelease", s["autoRelease"].value > 0.5f);
    o->setProperty("autoMakeup", s["autoMakeup"].value > 0.5f);
    o->setProperty("driveOn", s["driveOn"].value > 0.5f);
    o->setProperty("drivePercent", number(s["drive"].value, 1));
    o->setProperty("driveType", s["driveType"].text);
    o->setProperty("bypass", s["bypass"].value > 0.5f);
    o->setProperty("source", s.source);
    o->setProperty("detail", s.detail);
    return o;
}

} // namespace

const char* const jsonKeysHelp =
    R"(--report FILE.json writes one JSON object. Levels are null where there is nothing to measure.
  input:  file (null for the demo), channels, sampleRate, seconds, integratedLufs, peakDbfs
  output: file, bits, integratedLufs, peakDbfs
  loudnessChangeLu   output minus input integrated loudness (null if either is not measurable)
  gainReduction:     averageDb, largestDb
  latencySamples, blockSize
  settings: what was rendered: thresholdDb, ratio, attackMs, releaseMs, kneePercent (of a 24 dB
          knee), mixPercent, outputDb, character ("AUTO", "OPTO", "FET", "VCA"), characterResolved
          (what AUTO stands for), autoRelease, autoMakeup, driveOn, drivePercent, driveType
          ("TUBE", "TRANSFORMER", "TAPE", "FET"), bypass, source, detail
  learn:  null without --learn; otherwise
          secondsFed, secondsCounted (above -60 dBFS), settings (as above, as the learn and --target
          left them, before any --set), targetDb, targetMaxDb (the deepest target the material reaches),
          finishTickMs, driveEqMs, driveCompensationDb: {"TUBE": [dB at 10, 25, 50, 100 %], ...}
          or null when the drive analysis gave no table
)";

const Settings::Parameter& Settings::operator[](const char* id) const
{
    for (const auto& p : parameters)
        if (p.id == id)
            return p;
    jassertfalse;
    static const Parameter none;
    return none;
}

Settings readSettings(TQ4AudioProcessor& processor)
{
    Settings s;
    for (auto* p : processor.getParameters())
        if (auto* ranged = dynamic_cast<juce::RangedAudioParameter*>(p))
        {
            Settings::Parameter entry;
            entry.id = ranged->getParameterID();
            entry.value = ranged->convertFrom0to1(ranged->getValue());
            entry.text = ranged->getCurrentValueAsText();
            entry.isChoice = dynamic_cast<juce::AudioParameterChoice*>(ranged) != nullptr;
            entry.isBool = dynamic_cast<juce::AudioParameterBool*>(ranged) != nullptr;
            s.parameters.push_back(entry);
        }
    const int source = juce::roundToInt(s["source"].value);
    s.source = tq4::sourceNames()[juce::jlimit(0, 12, source)];
    s.detail = tq4::detailName(source, juce::roundToInt(s["nuance"].value));
    const int resolved = processor.resolvedCharacter.load();
    s.resolvedCharacter = tq4::characterNames()[resolved >= 1 && resolved <= 3 ? resolved : 3];
    return s;
}

Levels measureLevels(const juce::AudioBuffer<float>& audio, double sampleRate)
{
    Levels levels;
    float peak = 0.0f;
    for (int c = 0; c < audio.getNumChannels(); ++c)
        peak = juce::jmax(peak, audio.getMagnitude(c, 0, audio.getNumSamples()));
    if (peak > 0.0f)
        levels.peakDbfs = juce::jmax(-99.99f, juce::Decibels::gainToDecibels(peak));
    levels.integratedLufs = tq4::measureIntegratedLoudness(
        audio.getArrayOfReadPointers(), audio.getNumChannels(), audio.getNumSamples(), sampleRate);
    return levels;
}

void readLearnResult(TQ4AudioProcessor& processor, LearnFigures& figures)
{
    figures.targetDb = processor.targetDb.load();
    figures.targetMaxDb = processor.targetMaxDb.load();

    juce::String text;
    {
        const juce::ScopedLock lock(processor.stateLock);
        text = processor.apvts.state[tq4::StateProps::learnDriveEq].toString();
    }
    const auto table = tq4::readDriveEqText(text);
    figures.driveCompensationValid = table.valid;
    for (int t = 0; t < 4; ++t)
        for (int j = 0; j < 4; ++j)
            figures.driveCompensationDb[t][j] = table.db[t][j + 1];
}

juce::String textReport(const Figures& f)
{
    juce::String r;
    const auto line = [&r](const juce::String& label, const juce::String& value)
    { r << "  " << (label + ":").paddedRight(' ', 17) << value << "\n"; };

    r << "TQ-4 render\n";
    line("input", f.inputName + " (" + juce::String(f.channels) + " ch, " + juce::String(f.sampleRate, 0) +
                      " Hz, " + juce::String(f.seconds, 2) + " s)");
    line("output", f.outputPath + " (" + juce::String(f.bits) + "-bit WAV)");
    line("in", "peak " + peakText(f.in.peakDbfs) + ", integrated " + lufsText(f.in.integratedLufs));
    line("out", "peak " + peakText(f.out.peakDbfs) + ", integrated " + lufsText(f.out.integratedLufs));
    line("loudness change",
         measured(f.in.integratedLufs) && measured(f.out.integratedLufs)
             ? signedText(f.out.integratedLufs - f.in.integratedLufs, 1) + " LU (output minus input)"
             : juce::String("not measurable"));
    line("gain reduction", "average " + juce::String(f.averageGrDb, 2) + " dB, largest " +
                               juce::String(f.largestGrDb, 2) + " dB");
    line("latency", juce::String(f.latency) + " samples (removed)");
    line("block", juce::String(f.blockSize) + " samples");

    if (f.learn)
    {
        const auto& l = *f.learn;
        const auto& s = l.learned;
        r << "  learn:\n";
        const auto item = [&r](const juce::String& label, const juce::String& value)
        { r << "    " << label.paddedRight(' ', 15) << value << "\n"; };
        item("source", s.source + " / " + s.detail);
        item("heard", juce::String(l.outcome.secondsCounted, 1) + " s above -60 dBFS in " +
                          juce::String(l.outcome.secondsFed, 1) + " s of audio");
        item("threshold", s["threshold"].text);
        item("ratio", s["ratio"].text);
        item("attack", s["attack"].text);
        item("release", s["release"].text);
        item("knee", kneeSummary(s));
        item("mix", s["mix"].text);
        item("character", characterSummary(s));
        item("auto release", s["autoRelease"].text);
        item("auto makeup", s["autoMakeup"].text);
        item("drive", s["drive"].text + " " + s["driveType"].text +
                          (s["driveOn"].value > 0.5f ? ", on" : ", off (--set driveOn=1 turns it on)"));
        item("target", juce::String(l.targetDb, 1) + " dB (largest reachable " +
                           juce::String(l.targetMaxDb, 1) + " dB)");
        item("finishing tick", secondsText(l.outcome.finishTickMs));
        item("drive analysis", secondsText(l.outcome.driveEqMs));
        if (!l.driveCompensationValid)
            item("drive comp.", "none (the analysis gave no table)");
        else
        {
            r << "    drive compensation, dB at drive   10 %    25 %    50 %   100 %\n";
            for (int t = 0; t < 4; ++t)
            {
                r << "      " << juce::String(driveTypeNames[t]).paddedRight(' ', 28);
                for (int j = 0; j < 4; ++j)
                    r << juce::String(signedText(l.driveCompensationDb[t][j], 2)).paddedLeft(' ', 8);
                r << "\n";
            }
        }
    }

    r << "  parameters:\n";
    for (const auto& p : f.rendered.parameters)
        r << "    " << p.id.paddedRight(' ', 12) << " " << p.text << "\n";
    return r;
}

juce::String jsonReport(const Figures& f)
{
    auto* root = new juce::DynamicObject();
    juce::var rootVar(root);

    auto* input = new juce::DynamicObject();
    input->setProperty("file", f.demo ? juce::var() : juce::var(f.inputName));
    input->setProperty("channels", f.channels);
    input->setProperty("sampleRate", f.sampleRate);
    input->setProperty("seconds", number(f.seconds, 3));
    input->setProperty("integratedLufs", levelNumber(f.in.integratedLufs));
    input->setProperty("peakDbfs", levelNumber(f.in.peakDbfs));
    root->setProperty("input", input);

    auto* output = new juce::DynamicObject();
    output->setProperty("file", f.outputPath);
    output->setProperty("bits", f.bits);
    output->setProperty("integratedLufs", levelNumber(f.out.integratedLufs));
    output->setProperty("peakDbfs", levelNumber(f.out.peakDbfs));
    root->setProperty("output", output);

    root->setProperty("loudnessChangeLu", measured(f.in.integratedLufs) && measured(f.out.integratedLufs)
                                              ? number(f.out.integratedLufs - f.in.integratedLufs, 2)
                                              : juce::var());
    auto* gr = new juce::DynamicObject();
    gr->setProperty("averageDb", number(f.averageGrDb, 2));
    gr->setProperty("largestDb", number(f.largestGrDb, 2));
    root->setProperty("gainReduction", gr);
    root->setProperty("latencySamples", f.latency);
    root->setProperty("blockSize", f.blockSize);
    root->setProperty("settings", settingsJson(f.rendered));

    if (!f.learn)
        root->setProperty("learn", juce::var());
    else
    {
        const auto& l = *f.learn;
        auto* learn = new juce::DynamicObject();
        learn->setProperty("secondsFed", number(l.outcome.secondsFed, 3));
        learn->setProperty("secondsCounted", number(l.outcome.secondsCounted, 3));
        learn->setProperty("settings", settingsJson(l.learned));
        learn->setProperty("targetDb", number(l.targetDb, 2));
        learn->setProperty("targetMaxDb", number(l.targetMaxDb, 2));
        learn->setProperty("finishTickMs", number(l.outcome.finishTickMs, 1));
        learn->setProperty("driveEqMs", number(l.outcome.driveEqMs, 1));
        if (!l.driveCompensationValid)
            learn->setProperty("driveCompensationDb", juce::var());
        else
        {
            auto* table = new juce::DynamicObject();
            for (int t = 0; t < 4; ++t)
            {
                juce::Array<juce::var> row;
                for (int j = 0; j < 4; ++j)
                    row.add(number(l.driveCompensationDb[t][j], 3));
                table->setProperty(driveTypeNames[t], row);
            }
            learn->setProperty("driveCompensationDb", table);
        }
        root->setProperty("learn", learn);
    }
    return juce::JSON::toString(rootVar, false) + "\n";
}

} // namespace tq4render
