#include "dsp/GainComputer.h"

#include "dsp/CharacterVoicing.h"

namespace tq4
{

float staticGainReductionDb(float levelDb, float thresholdDb, float ratio, float kneeDb,
                            int32_t character) noexcept
{
    const float overDb = levelDb - thresholdDb;

    if (character == characterOpto)
    {
        // OPTO's ratio depends on its own reduction: a few fixed-point steps settle it.
        float gr = 0.0f;
        for (int i = 0; i < 4; ++i)
            gr = gainComputerDb(overDb, std::max(characterRatioScale(0.0f, 1.0f, overDb, gr) * ratio, 1.0f),
                                kneeDb);
        return gr;
    }

    const float fet = character == characterFet ? 1.0f : 0.0f;
    return gainComputerDb(overDb, std::max(characterRatioScale(fet, 0.0f, overDb, 0.0f) * ratio, 1.0f),
                          kneeDb);
}

} // namespace tq4
