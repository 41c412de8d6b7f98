// Median, 99th percentile and extremes of a long series of latencies in
// bounded memory: whenever the kept values fill the store, every second one is
// dropped and new values are kept half as often from then on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

class LatencyStatistics {
public:
    struct Summary {
        int64_t count = 0;
        double median = 0;
        double p99 = 0;
        double min = 0;
        double max = 0;
    };

    explicit LatencyStatistics(size_t maxKept = 8192) : _maxKept(maxKept) {}

    void add(double value);
    // Nothing until a value was added.
    std::optional<Summary> summary() const;

private:
    size_t _maxKept;
    std::vector<double> _kept;
    int64_t _count = 0;
    int64_t _stride = 1;
    double _min = 0;
    double _max = 0;
};
