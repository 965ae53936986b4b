#include "support/Signals.h"

#include <cmath>

namespace tq4test
{

void fillSine(juce::AudioBuffer<float>& buffer, double sampleRate, double frequencyHz, float amplitude)
{
    for (int c = 0; c < buffer.getNumChannels(); ++c)
        for (int i = 0; i < buffer.getNumSamples(); ++i)
            buffer.setSample(c, i,
                             amplitude * static_cast<float>(std::sin(juce::MathConstants<double>::twoPi *
                                                                     frequencyHz * i / sampleRate)));
}

void fillNoise(juce::AudioBuffer<float>& buffer, float amplitude, int64_t seed)
{
    juce::Random random(seed);
    for (int c = 0; c < buffer.getNumChannels(); ++c)
        for (int i = 0; i < buffer.getNumSamples(); ++i)
            buffer.setSample(c, i, amplitude * (2.0f * random.nextFloat() - 1.0f));
}

float maxAbsDifference(const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b)
{
    float worst = 0.0f;
    const int channels = juce::jmin(a.getNumChannels(), b.getNumChannels());
    const int samples = juce::jmin(a.getNumSamples(), b.getNumSamples());
    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < samples; ++i)
            worst = juce::jmax(worst, std::abs(a.getSample(c, i) - b.getSample(c, i)));
    return worst;
}

} // namespace tq4test
