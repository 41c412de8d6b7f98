#include "tools/LatencyStatistics.h"

#include <algorithm>
#include <cmath>

void LatencyStatistics::add(double value) {
    if (!std::isfinite(value))
        return;
    _min = _count == 0 ? value : std::min(_min, value);
    _max = _count == 0 ? value : std::max(_max, value);
    if (_count++ % _stride != 0)
        return;
    if (_kept.size() >= _maxKept) {
        size_t out = 0;
        for (size_t i = 0; i < _kept.size(); i += 2)
            _kept[out++] = _kept[i];
        _kept.resize(out);
        _stride *= 2;
    }
    _kept.push_back(value);
}

std::optional<LatencyStatistics::Summary> LatencyStatistics::summary() const {
    if (_kept.empty())
        return std::nullopt;
    std::vector<double> sorted = _kept;
    std::sort(sorted.begin(), sorted.end());
    const auto at = [&](double q) {
        const size_t i = static_cast<size_t>(std::ceil(q * static_cast<double>(sorted.size()))) - 1;
        return sorted[std::min(i, sorted.size() - 1)];
    };
    return Summary{_count, at(0.5), at(0.99), _min, _max};
}
