// libFuzzer entry: any byte string handed to setStateInformation must leave a working processor
// whose parameters are in range and whose state survives a save and restore unchanged.

#include "plugin/PluginProcessor.h"
#include "support/StateCompare.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace
{
juce::ScopedJuceInitialiser_GUI* juceRuntime = nullptr;
TQ4AudioProcessor* processor = nullptr;

juce::MemoryBlock save(TQ4AudioProcessor& p)
{
    juce::MemoryBlock block;
    p.getStateInformation(block);
    return block;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    juceRuntime = new juce::ScopedJuceInitialiser_GUI();
    processor = new TQ4AudioProcessor();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > (1u << 20))
        return 0;
    processor->setStateInformation(data, static_cast<int>(size));

    for (auto* parameter : processor->getParameters())
    {
        const float v = parameter->getValue();
        if (!std::isfinite(v) || v < 0.0f || v > 1.0f)
            std::abort();
    }

    const auto saved = save(*processor);
    processor->setStateInformation(saved.getData(), static_cast<int>(saved.getSize()));
    const auto again = save(*processor);
    if (!tq4test::sameSavedState(again, saved))
    {
        for (const auto* block : {&saved, &again})
            if (auto xml = juce::AudioProcessor::getXmlFromBinary(block->getData(),
                                                                  static_cast<int>(block->getSize())))
                std::fprintf(stderr, "%s\n", xml->toString().toRawUTF8());
        std::abort();
    }
    return 0;
}
