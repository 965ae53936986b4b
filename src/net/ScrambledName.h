#pragma once

#include <juce_core/juce_core.h>

#include <array>
#include <cstddef>

namespace tq4
{

// A host name kept out of plain sight in the binary: scrambled at compile time, assembled on use.

template <std::size_t Length>
struct ScrambledName
{
    std::array<unsigned char, Length> bytes{};
};

constexpr unsigned char scrambleKey(std::size_t index)
{
    return static_cast<unsigned char>((0x5Bu + 0x3Du * index) & 0xFFu);
}

// Only the scrambled bytes reach the binary when the result initialises a constexpr variable.
template <std::size_t N>
constexpr ScrambledName<N - 1> scrambleName(const char (&plain)[N])
{
    ScrambledName<N - 1> scrambled;

    for (std::size_t i = 0; i + 1 < N; ++i)
        scrambled.bytes[i] =
            static_cast<unsigned char>(static_cast<unsigned char>(plain[i]) ^ scrambleKey(i));

    return scrambled;
}

template <std::size_t Length>
juce::String unscrambleName(const ScrambledName<Length>& scrambled)
{
    // Read through volatile so the optimiser cannot fold the plain name back into the binary.
    const volatile unsigned char* source = scrambled.bytes.data();
    std::array<char, Length + 1> plain{};

    for (std::size_t i = 0; i < Length; ++i)
        plain[i] = static_cast<char>(source[i] ^ scrambleKey(i));

    return juce::String::fromUTF8(plain.data(), static_cast<int>(Length));
}

} // namespace tq4
