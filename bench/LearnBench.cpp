// The learn's finishing tick (it runs on the host's message thread) and the drive EQ analysis that
// follows it, at 48 kHz on material of several kinds. Both are timed by hand: only the tick that
// completes the learn, and the analysis from its start to its published result.

#include "../tests/support/LearnSignals.h"
#include "dsp/DriveEqWorker.h"
#include "dsp/OfflineRender.h"
#include "learn/LearnAnalyser.h"
#include "learn/LearnSolver.h"
#include "learn/MakeupLearning.h"
#include "plugin/PluginProcessor.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <thread>

namespace
{

using Clock = std::chrono::steady_clock;
using tq4test::LearnMaterial;

constexpr double sampleRate = 48000.0;
constexpr int tickBlock = 1920; // 40 ms, one control tick per block as a host's message thread sees it

constexpr LearnMaterial materials[] = {LearnMaterial::drums, LearnMaterial::vocal, LearnMaterial::bass,
                                       LearnMaterial::noisyMix};
constexpr int sourceFor[] = {2, 1, 4, 12}; // Drum, Vocal, Bass, MIX

// CPU seconds of all the process's threads: on a loaded machine the wall time of a tick mostly measures
// the wait for a core, this the work done.
double processCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1.0e-9 * static_cast<double>(t.tv_nsec);
}

void setParameter(TQ4AudioProcessor& p, const char* id, float value)
{
    auto* parameter = p.apvts.getParameter(id);
    parameter->setValueNotifyingHost(parameter->convertTo0to1(value));
}

// Stereo material, rendered once: the synthesis would otherwise cost more than the learn.
juce::AudioBuffer<float> materialBuffer(LearnMaterial material, double seconds)
{
    juce::AudioBuffer<float> buffer(2, static_cast<int>(seconds * sampleRate));
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < buffer.getNumSamples(); ++i)
            buffer.setSample(c, i, tq4test::learnMaterialSample(material, c, i, sampleRate));
    return buffer;
}

// arg: material index. Each iteration plays a whole learn; the time is that of its last tick.
void finishingTick(benchmark::State& state)
{
    const auto index = static_cast<size_t>(state.range(0));
    state.SetLabel(tq4test::materialName(materials[index]));
    const auto source = materialBuffer(materials[index], 40.0);

    TQ4AudioProcessor processor;
    processor.prepareToPlay(sampleRate, tickBlock);
    setParameter(processor, "source", static_cast<float>(sourceFor[index]));
    processor.timerCallback();

    juce::AudioBuffer<float> block(2, tickBlock);
    juce::MidiBuffer midi;
    double cpuSeconds = 0.0;
    double firstTick = -1.0;
    for (auto _ : state)
    {
        processor.learnRequested = true;
        processor.timerCallback();
        double lastTick = 0.0;
        for (int position = 0; position + tickBlock <= source.getNumSamples(); position += tickBlock)
        {
            for (int c = 0; c < 2; ++c)
                block.copyFrom(c, 0, source, c, position, tickBlock);
            processor.processBlock(block, midi);

            const auto start = Clock::now();
            const double cpuStart = processCpuSeconds();
            processor.timerCallback();
            lastTick = std::chrono::duration<double>(Clock::now() - start).count();
            if (!processor.learnRequested.load())
            {
                cpuSeconds += processCpuSeconds() - cpuStart;
                break;
            }
        }
        if (processor.learnRequested.load())
        {
            state.SkipWithError("the learn did not finish");
            break;
        }
        state.SetIterationTime(lastTick);
        if (firstTick < 0.0)
            firstTick = lastTick;

        // The drive analysis it started would compete with the next learn for the cores.
        processor.driveEqWorker.stop();
        processor.driveEqJobActive = false;
    }
    state.counters["cpu_ms"] =
        1000.0 * cpuSeconds / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
    // The first learn of a processor also prepares the engines its renders lease.
    state.counters["first_ms"] = 1000.0 * firstTick;
}

// What the learn of one material hears and solves, made once per run.
struct LearnedMaterial
{
    tq4::LearnStats stats;
    tq4::LearnCaptures captures;
    tq4::LearnSolution solution;
};

LearnedMaterial learnedMaterial(size_t index)
{
    const auto source = materialBuffer(materials[index], 40.0);
    tq4::LearnAnalyser analyser;
    analyser.prepare(sampleRate);
    const float* mono = source.getReadPointer(0);
    for (int position = 0; !analyser.countedEnough() && position + tickBlock <= source.getNumSamples();
         position += tickBlock)
        analyser.analyseSamples(mono + position, nullptr, nullptr, tickBlock);
    LearnedMaterial learned;
    learned.stats = analyser.computeLearnStats();
    learned.captures = analyser.takeCaptures();
    learned.solution = tq4::solveLearnRounded(learned.stats, sourceFor[index], 0, 0);
    return learned;
}

// arg: material index. The finishing tick's solver, which runs before anything else can start.
void learnSolve(benchmark::State& state)
{
    const auto index = static_cast<size_t>(state.range(0));
    state.SetLabel(tq4test::materialName(materials[index]));
    const LearnedMaterial learned = learnedMaterial(index);
    for (auto _ : state)
        benchmark::DoNotOptimize(tq4::solveLearnRounded(learned.stats, sourceFor[index], 0, 0));
}

// args: material index, character. One of the tick's three makeup renders (the left channel's capture).
void makeupRender(benchmark::State& state)
{
    const auto index = static_cast<size_t>(state.range(0));
    state.SetLabel(tq4test::materialName(materials[index]));
    const LearnedMaterial learned = learnedMaterial(index);
    tq4::LearnSolution solution = learned.solution;
    solution.character = static_cast<int>(state.range(1));
    // The tick's renders lease their engines from the pool that a processor keeps.
    const juce::SharedResourcePointer<tq4::OfflineEnginePool> pool;
    for (auto _ : state)
        benchmark::DoNotOptimize(tq4::measureMakeupNeed(sampleRate, solution, learned.captures.mono, -20.0f));
}

// args: capture seconds, material index. Renders the stereo material through the analysis's seventeen
// engines.
void driveAnalysis(benchmark::State& state)
{
    const double seconds = static_cast<double>(state.range(0));
    const auto index = static_cast<size_t>(state.range(1));
    state.SetLabel(tq4test::materialName(materials[index]));
    const auto capture = materialBuffer(materials[index], seconds);

    tq4::EngineSettings settings;
    settings.thresholdDb = -24.0f;
    settings.ratio = 3.0f;
    settings.attackMs = 10.0f;
    settings.releaseMs = 120.0f;
    settings.kneeDb = 6.0f;

    tq4::DriveEqWorker worker;
    double cpuSeconds = 0.0;
    for (auto _ : state)
    {
        std::vector<std::vector<float>> channels(2);
        std::vector<float> mono(static_cast<size_t>(capture.getNumSamples()));
        for (int c = 0; c < 2; ++c)
            channels[static_cast<size_t>(c)].assign(capture.getReadPointer(c),
                                                    capture.getReadPointer(c) + capture.getNumSamples());
        for (size_t i = 0; i < mono.size(); ++i)
            mono[i] = 0.5f * (channels[0][i] + channels[1][i]);

        const auto start = Clock::now();
        const double cpuStart = processCpuSeconds();
        worker.start(std::move(mono), sampleRate, 1, settings, std::move(channels));
        tq4::DriveEqHandOff handOff;
        while (!(handOff = worker.takeResult()).ready)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        cpuSeconds += processCpuSeconds() - cpuStart;
        if (!handOff.result.valid)
            state.SkipWithError("no valid table");
    }
    state.counters["cpu_ms"] =
        1000.0 * cpuSeconds / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
}

} // namespace

BENCHMARK(finishingTick)
    ->ArgName("material")
    ->DenseRange(0, 3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->Repetitions(3);

BENCHMARK(learnSolve)->ArgName("material")->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(makeupRender)
    ->ArgNames({"material", "character"})
    ->ArgsProduct({{0, 1}, {1, 2, 3}})
    ->Unit(benchmark::kMillisecond);

BENCHMARK(driveAnalysis)
    ->ArgNames({"seconds", "material"})
    ->ArgsProduct({{8, 40}, {0, 1, 2, 3}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3);
