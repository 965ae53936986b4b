#pragma once

#include <atomic>

namespace tq4http
{

// Processors alive in this process; zero tells background network work that the plug-in is unloading.
inline std::atomic<int> liveInstanceCount{0};

} // namespace tq4http
