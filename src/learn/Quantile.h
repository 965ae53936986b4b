#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

namespace tq4
{

// Quantile q (0..1) of an ascending list, interpolating linearly between neighbours; emptyValue for an
// empty list. Shared by the learn statistics and the solver's gain-reduction measure.
inline float sortedQuantile(const std::vector<float>& sorted, double q, float emptyValue) noexcept
{
    if (sorted.empty())
        return emptyValue;

    const size_t last = sorted.size() - 1;
    const double position = static_cast<double>(last) * q;
    const auto i = static_cast<size_t>(std::floor(position));
    const double f = position - static_cast<double>(i);
    const size_t next = std::min(i + 1, last);
    return static_cast<float>((1.0 - f) * sorted[i] + f * sorted[next]);
}

} // namespace tq4
