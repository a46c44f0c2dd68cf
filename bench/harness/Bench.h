#pragma once

// A small header-only benchmark harness: each case runs its body untimed a few times to warm up,
// then times many repetitions with the performance counter and reports the median time per operation,
// its spread (minimum, maximum and inter-quartile range) and its ratio to a named baseline case
// measured in the same run.

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace Halyard {
namespace Bench {

// The folder of the running benchmark, where its build places the modules it loads.
inline std::wstring ExecutableDirectory()
{
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring full(path, length);
    return full.substr(0, full.find_last_of(L"\\/"));
}

// Nanoseconds per operation over the repetitions of one case.
struct Result
{
    double median;
    double minimum;
    double maximum;
    double firstQuartile;
    double thirdQuartile;
};

class CBench
{
public:
    explicit CBench(const std::string &title, unsigned repetitions = 31, unsigned warmUps = 3)
        : m_repetitions(repetitions < 1 ? 1 : repetitions), m_warmUps(warmUps)
    {
        LARGE_INTEGER frequency;
        ::QueryPerformanceFrequency(&frequency);
        m_frequency = static_cast<double>(frequency.QuadPart);
        std::printf("# %s: %u repetitions after %u warm-ups; ns per operation\n", title.c_str(), m_repetitions,
                    m_warmUps);
    }

    // Times body(operations), which must perform that many operations; prints one line.
    template <typename Body>
    Result Measure(const std::string &name, std::uint64_t operations, Body body)
    {
        return Measure(name, std::string(), operations, body);
    }

    // As above, with the ratio of this case's median to the baseline case's median.
    template <typename Body>
    Result Measure(const std::string &name, const std::string &baseline, std::uint64_t operations, Body body)
    {
        for (unsigned i = 0; i < m_warmUps; ++i)
        {
            body(operations);
        }
        std::vector<double> samples;
        samples.reserve(m_repetitions);
        for (unsigned i = 0; i < m_repetitions; ++i)
        {
            LARGE_INTEGER start;
            LARGE_INTEGER stop;
            ::QueryPerformanceCounter(&start);
            body(operations);
            ::QueryPerformanceCounter(&stop);
            const double seconds = static_cast<double>(stop.QuadPart - start.QuadPart) / m_frequency;
            samples.push_back(seconds * 1e9 / static_cast<double>(operations));
        }
        std::sort(samples.begin(), samples.end());
        const Result result = {Quantile(samples, 0.5), samples.front(), samples.back(), Quantile(samples, 0.25),
                               Quantile(samples, 0.75)};
        m_results[name] = result;
        Print(name, result, baseline);
        return result;
    }

private:
    static double Quantile(const std::vector<double> &sorted, double q)
    {
        const double position = q * static_cast<double>(sorted.size() - 1);
        const size_t below = static_cast<size_t>(position);
        const size_t above = std::min(below + 1, sorted.size() - 1);
        const double fraction = position - static_cast<double>(below);
        return sorted[below] + (sorted[above] - sorted[below]) * fraction;
    }

    void Print(const std::string &name, const Result &result, const std::string &baseline) const
    {
        std::printf("%-44s median %9.2f  min %9.2f  max %9.2f  IQR %8.2f", name.c_str(), result.median,
                    result.minimum, result.maximum, result.thirdQuartile - result.firstQuartile);
        const auto found = baseline.empty() ? m_results.end() : m_results.find(baseline);
        if (found != m_results.end() && found->second.median > 0)
        {
            std::printf("  %6.3fx %s", result.median / found->second.median, baseline.c_str());
        }
        std::printf("\n");
        std::fflush(stdout);
    }

    unsigned m_repetitions;
    unsigned m_warmUps;
    double m_frequency;
    std::map<std::string, Result> m_results;
};

} // namespace Bench
} // namespace Halyard
