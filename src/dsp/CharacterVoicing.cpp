#include "dsp/CharacterVoicing.h"

namespace tq4
{

CharacterVoicing characterVoicing(int32_t character) noexcept
{
    switch (character)
    {
    case characterOpto:
        return {100.0f, 30.0f, 0.0f, 50.0f, true, false};
    case characterFet:
        return {70.0f, 0.0f, 1.0f, 10.0f, false, true};
    default:
        return {100.0f, 5.0f, 0.5f, 25.0f, false, false};
    }
}

} // namespace tq4
