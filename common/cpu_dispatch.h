// Choosing one of several kernels once per run: the best the CPU has, or the
// one an environment variable names (for tests and measurements).
#pragma once

#include <cstdlib>
#include <string_view>

namespace common {

template <typename Kernel>
struct KernelChoice {
    Kernel kernel;
    const char* name;
    bool (*supported)();
    bool onlyWhenForced = false;  // a reference kernel, never chosen by itself
};

// `choices` run from the slowest to the fastest; the fastest supported one
// wins unless `variable` names a supported one.
template <typename Kernel, std::size_t N>
Kernel chooseKernel(const char* variable, const KernelChoice<Kernel> (&choices)[N]) {
    if (const char* forced = std::getenv(variable))
        for (const auto& c : choices)
            if (std::string_view(forced) == c.name && c.supported()) return c.kernel;
    Kernel best = choices[0].kernel;
    for (const auto& c : choices)
        if (!c.onlyWhenForced && c.supported()) best = c.kernel;
    return best;
}

template <typename Kernel, std::size_t N>
const char* kernelName(Kernel k, const KernelChoice<Kernel> (&choices)[N]) {
    for (const auto& c : choices)
        if (c.kernel == k) return c.name;
    return "?";
}

template <typename Kernel, std::size_t N>
bool kernelSupported(Kernel k, const KernelChoice<Kernel> (&choices)[N]) {
    for (const auto& c : choices)
        if (c.kernel == k) return c.supported();
    return false;
}

}  // namespace common
