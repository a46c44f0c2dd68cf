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

// Median, extremes and quartiles of samples given in any order.
inline Result Summarise(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    const auto quantile = [&samples](double q) {
        const double position = q * static_cast<double>(samples.size() - 1);
        const size_t below = static_cast<size_t>(position);
        const size_t above = std::min(below + 1, samples.size() - 1);
        return samples[below] + (samples[above] - samples[below]) * (position - static_cast<double>(below));
    };
    return {quantile(0.5), samples.front(), samples.back(), quantile(0.25), quantile(0.75)};
}

// Nanoseconds per operation of one call of body(operations).
template <typename Body>
double TimePerOperation(std::uint64_t operations, Body body)
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER stop;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    body(operations);
    ::QueryPerformanceCounter(&stop);
    return static_cast<double>(stop.QuadPart - start.QuadPart) * 1e9 / static_cast<double>(frequency.QuadPart) /
           static_cast<double>(operations);
}

// A case against its baseline, measured in alternation: every round runs the baseline and then the
// case, so that a machine whose load drifts during the run weighs on both alike, and the ratio is
// taken within each round. Each side is a callable run(operations) that prepares what it needs, times
// its operations with TimePerOperation, tidies up and returns that time, so that its set-up stays
// outside the timed region.
class CPairedBench
{
public:
    CPairedBench(const std::string &title, unsigned rounds, unsigned warmUps)
        : m_rounds(rounds < 1 ? 1 : rounds), m_warmUps(warmUps)
    {
        std::printf("# %s: %u rounds after %u to warm up; ns per operation, ratios taken per round\n",
                    title.c_str(), m_rounds, m_warmUps);
    }

    // Prints each side's median and spread, then the median of the per-round ratios with its spread.
    template <typename Baseline, typename Case>
    Result Measure(const std::string &baselineName, Baseline baseline, const std::string &caseName, Case measured,
                   std::uint64_t operations)
    {
        std::vector<double> baselines;
        std::vector<double> cases;
        std::vector<double> ratios;
        for (unsigned round = 0; round < m_warmUps + m_rounds; ++round)
        {
            const double base = baseline(operations);
            const double other = measured(operations);
            if (round >= m_warmUps)
            {
                baselines.push_back(base);
                cases.push_back(other);
                ratios.push_back(other / base);
            }
        }
        PrintTimes(baselineName, Summarise(baselines));
        PrintTimes(caseName, Summarise(cases));
        const Result ratio = Summarise(ratios);
        std::printf("%-44s median %7.3fx  min %7.3fx  max %7.3fx  IQR %.3fx-%.3fx\n", "ratio per round", ratio.median,
                    ratio.minimum, ratio.maximum, ratio.firstQuartile, ratio.thirdQuartile);
        std::fflush(stdout);
        return ratio;
    }

private:
    static void PrintTimes(const std::string &name, const Result &result)
    {
        std::printf("%-44s median %12.0f  min %12.0f  max %12.0f  IQR %10.0f\n", name.c_str(), result.median,
                    result.minimum, result.maximum, result.thirdQuartile - result.firstQuartile);
    }

    unsigned m_rounds;
    unsigned m_warmUps;
};

} // namespace Bench
} // namespace Halyard
