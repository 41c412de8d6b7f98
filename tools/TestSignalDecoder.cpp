#include "tools/TestSignalDecoder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace {

constexpr int64_t kCell = TestSignal::kCellSamples;
constexpr int64_t kPeriod = TestSignal::kRampPeriod;
constexpr double kPeriodF = static_cast<double>(kPeriod);
// Exact ramp samples in a row that establish an exact lock.
constexpr int64_t kExactRun = 16;
// Ramp-like samples in a row that establish a resampled lock.
constexpr int64_t kResampledRun = 64;
// Ramp samples a cell needs for its fit to count.
constexpr int64_t kMinCellSamples = 32;
// Source samples left out next to the fades when fitting a cell's ramp or
// averaging its hold: the resampler's filter smears the bends there.
constexpr double kRampMargin = 48;
constexpr double kHoldMargin = 16;
// Residuals (in source samples) within which ramp samples fit the model, and
// the jump of the model that counts as dropped or repeated samples.
constexpr double kInlierTolerance = 6;
constexpr double kShiftTolerance = 3;
// Ramp steps per stream sample that a resampled lock accepts (1/5 to 5 times
// the rate), and the single steps that may occur on the way (a zero-order
// hold repeats samples, other converters add a little noise).
constexpr double kMinStep = 0.2;
constexpr double kMaxStep = 5;
constexpr double kMinSingleStep = -1;
constexpr double kMaxSingleStep = kMaxStep + 1;
constexpr size_t kMaxPending = 4096;
constexpr float kSilencePeak = 1.0f / (1 << 20);
constexpr int64_t kCompactAbove = 1 << 16;
// Gap samples stay unclassified this long, so that a lock found later can
// still reach back over them.
constexpr int64_t kGapLag = 2 * kCell;

bool same(float a, float b) {
    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

// The distance of x to the nearest multiple of the ramp period, signed.
double wrapPeriod(double x) {
    return x - kPeriodF * std::floor(x / kPeriodF + 0.5);
}

// The measured ramp position of a sample, or NaN when it cannot be one.
double measuredPosition(float v) {
    if (!std::isfinite(v) || std::fabs(v) > 0.55f)
        return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(v) * kPeriodF + kPeriodF / 2;
}

} // namespace

float TestSignalDecoder::sampleAt(int64_t i) const {
    if (i < _bufferStart || i >= _end)
        return std::numeric_limits<float>::quiet_NaN();
    return _buffer[static_cast<size_t>(i - _bufferStart)];
}

void TestSignalDecoder::push(const float* samples, int count, int streamRate, int64_t arrivalNs) {
    if (count <= 0 || samples == nullptr || streamRate <= 0)
        return;
    if (_streamRate != 0 && streamRate != _streamRate) {
        // Positions at the old rate say nothing about the new one: follow anew.
        _rateChanged = true;
        if (_mode == Mode::Resampled || (_haveOld && _oldResampled))
            flushZeroRun(_zeroScan);
        _mode = Mode::Searching;
        _provisional = false;
        _haveOld = false;
        _scan = _runStart = _end;
        _wordNibbles = 0;
        _arrivals.clear();
    }
    _streamRate = streamRate;
    for (int i = 0; i < count; ++i) {
        const float v = samples[i];
        if (!std::isfinite(v))
            _nonFinite = true;
        else
            _peak = std::max(_peak, std::fabs(v));
    }
    _buffer.insert(_buffer.end(), samples, samples + count);
    _end += count;
    _arrivals.emplace_back(_end - 1, arrivalNs);
    if (_arrivals.size() > kMaxPending)
        _arrivals.pop_front();

    for (;;) {
        bool progress = false;
        switch (_mode) {
        case Mode::Searching:
            progress = search();
            break;
        case Mode::Exact:
            progress = verifyExactCell();
            break;
        case Mode::Resampled:
            progress = followResampledCell();
            break;
        }
        if (!progress)
            break;
    }
    compact();
}

void TestSignalDecoder::finish() {
    if (_provisional) {
        _provisional = false;
        _mode = Mode::Searching;
    }
    if (_mode == Mode::Resampled || (_haveOld && _oldResampled)) {
        scanZeroRuns(_end);
        flushZeroRun(_zeroScan);
    }
    if (!_haveOld)
        return;
    if (_oldResampled) {
        if (_zerosSinceGoodCell + _zerosInLastGoodCell == 0 && _end - _gapStart > kCell)
            addEvent(EventKind::Corrupt, _gapStart, _end - _gapStart);
    } else {
        countGap(_end);
        if (_gapZeros > 0)
            addEvent(EventKind::Zeroed, _gapStart, _gapZeros);
        if (_gapOthers > 0)
            addEvent(EventKind::Corrupt, _gapStart, _gapOthers);
    }
    _haveOld = false;
    _gapStart = _gapCounted = _end;
    _gapZeros = _gapOthers = 0;
}

bool TestSignalDecoder::search() {
    bool progress = false;
    while (_scan + kExactRun <= _end) {
        const int64_t s = _scan;
        if (sampleAt(s) == 0.0f) {
            // Silence, the commonest thing to search through, starts no lock.
            _runStart = ++_scan;
            progress = true;
            continue;
        }
        if (tryExactLock(s))
            return true;
        if (!stepIsPlausible(s))
            _runStart = s + 1;
        else if (s + 2 - _runStart >= kResampledRun && tryResampledLock(s + 2 - kResampledRun))
            return true;
        ++_scan;
        progress = true;
    }
    if (_haveOld && _oldResampled)
        scanZeroRuns(_scan);
    else if (_haveOld)
        countGap(std::max(_gapCounted, _scan - kGapLag));
    return progress;
}

bool TestSignalDecoder::stepIsPlausible(int64_t i) const {
    const double m0 = measuredPosition(sampleAt(i));
    const double m1 = measuredPosition(sampleAt(i + 1));
    if (std::isnan(m0) || std::isnan(m1))
        return false;
    const double step = wrapPeriod(m1 - m0);
    return step >= kMinSingleStep && step <= kMaxSingleStep;
}

bool TestSignalDecoder::tryExactLock(int64_t start) {
    const std::optional<int64_t> m = TestSignal::rampPosition(sampleAt(start));
    if (!m)
        return false;
    const int64_t k = *m % kCell;
    if (k < TestSignal::kHeaderSamples || k + kExactRun > kCell)
        return false;
    for (int64_t j = 1; j < kExactRun; ++j)
        if (!same(sampleAt(start + j), TestSignal::ramp(*m + j)))
            return false;

    Model model;
    model.offset = *m - start;
    int64_t from = start;
    if (_haveOld) {
        // Keep the continuous index next to the old one, then reach back over
        // the samples that already belong to the new position.
        const int64_t expected = std::llround(_old.at(start));
        model.offset = expected + static_cast<int64_t>(wrapPeriod(static_cast<double>(*m - expected))) - start;
        const int64_t lowest = std::max({_gapCounted, _bufferStart, _lockFloor});
        while (from > lowest && sampleFits(from - 1, model.offset))
            --from;
    }
    lock(from, model);
    _mode = Mode::Exact;
    _ratio = 1;
    _position = from;
    return true;
}

bool TestSignalDecoder::tryResampledLock(int64_t start) {
    // A window that does not climb like the ramp (silence, a hold) is
    // dismissed before fitting.
    const double span =
        wrapPeriod(measuredPosition(sampleAt(start + kResampledRun - 1)) - measuredPosition(sampleAt(start)));
    if (!(span >= kMinStep * (kResampledRun - 1) && span <= kMaxStep * (kResampledRun - 1)))
        return false;
    // Unwrap the window's positions and fit a line to them.
    double sumI = 0, sumN = 0, sumII = 0, sumIN = 0;
    double previous = measuredPosition(sampleAt(start));
    double unwrapped = previous;
    _points.clear();
    for (int64_t j = 0; j < kResampledRun; ++j) {
        const double m = measuredPosition(sampleAt(start + j));
        if (std::isnan(m))
            return false;
        if (j > 0)
            unwrapped += wrapPeriod(m - previous);
        previous = m;
        const double x = static_cast<double>(j);
        _points.emplace_back(j, unwrapped);
        sumI += x;
        sumN += unwrapped;
        sumII += x * x;
        sumIN += x * unwrapped;
    }
    const double count = static_cast<double>(kResampledRun);
    const double slope = (count * sumIN - sumI * sumN) / (count * sumII - sumI * sumI);
    const double intercept = (sumN - slope * sumI) / count;
    for (const auto& [j, n] : _points)
        if (std::fabs(n - (slope * static_cast<double>(j) + intercept)) > 2)
            return false;
    if (slope < kMinStep || slope > kMaxStep)
        return false;

    Model model;
    model.exact = false;
    model.slope = slope;
    model.intercept = intercept - slope * static_cast<double>(start);
    if (_haveOld)
        model.intercept += kPeriodF * std::round((_old.at(start) - model.at(start)) / kPeriodF);
    // The lock stays provisional until the first cell after it fits: a short
    // window can be found just before a fault, and is then dropped again.
    _provisional = true;
    _mode = Mode::Resampled;
    _model = model;
    _segmentStart = _rampDone = start;
    _cell = TestSignal::floorDiv(static_cast<int64_t>(std::floor(model.at(start))), kCell);
    _historyCount = _historyNext = 0;
    _badCells = 0;
    if (!(_haveOld && _oldResampled)) {
        _zeroScan = start;
        _zeroRun = _zerosSinceGoodCell = _zerosInLastGoodCell = 0;
    }
    return true;
}

int TestSignalDecoder::nibbleCandidates(int64_t n, int64_t offset, std::array<int, 4>& out) const {
    int count = 0;
    const auto add = [&](int nib) {
        if (std::find(out.begin(), out.begin() + count, nib) == out.begin() + count)
            out[static_cast<size_t>(count++)] = nib;
    };
    const int64_t cellStart = n - TestSignal::floorMod(n, kCell) - offset;
    for (const int64_t k :
         {TestSignal::kHoldBegin, (TestSignal::kHoldBegin + TestSignal::kHoldEnd) / 2, TestSignal::kHoldEnd - 1})
        if (const std::optional<int> seen = TestSignal::nibbleOfLevel(sampleAt(cellStart + k)))
            add(*seen);
    if (const auto majority = majorityWord())
        add(TestSignal::nibble(majority->first, n));
    return count;
}

bool TestSignalDecoder::sampleFits(int64_t i, int64_t offset) const {
    const int64_t n = i + offset;
    if (TestSignal::floorMod(n, kCell) >= TestSignal::kHeaderSamples)
        return same(sampleAt(i), TestSignal::ramp(n));
    std::array<int, 4> nibbles{};
    const int count = nibbleCandidates(n, offset, nibbles);
    for (int c = 0; c < count; ++c)
        if (same(sampleAt(i), TestSignal::sample(n, nibbles[static_cast<size_t>(c)])))
            return true;
    return false;
}

int64_t TestSignalDecoder::firstMismatch(int64_t from, int64_t to, int64_t offset, int nibble) const {
    for (int64_t i = from; i < to; ++i)
        if (!same(sampleAt(i), TestSignal::sample(i + offset, nibble)))
            return i;
    return to;
}

bool TestSignalDecoder::verifyExactCell() {
    const int64_t offset = _model.offset;
    const int64_t n = _position + offset;
    const int64_t cell = TestSignal::floorDiv(n, kCell);
    const int64_t cellEnd = (cell + 1) * kCell - offset;
    if (cellEnd > _end)
        return false;
    const int64_t k = n - cell * kCell;
    // The header is compared with each level the cell may carry (a new tag
    // shows in the hold; a fault may have put a stranger's level there) and
    // the one that fits longest is taken.
    int nib = 0;
    int64_t mismatch = cellEnd;
    if (k < TestSignal::kHeaderSamples) {
        std::array<int, 4> nibbles{};
        const int count = nibbleCandidates(n, offset, nibbles);
        if (count == 0) {
            // No level to compare the header with: leave it unchecked.
            addNibble(cell, std::nullopt);
            _position = cell * kCell + TestSignal::kHeaderSamples - offset;
            return true;
        }
        mismatch = -1;
        for (int c = 0; c < count; ++c) {
            const int64_t reached = firstMismatch(_position, cellEnd, offset, nibbles[static_cast<size_t>(c)]);
            if (reached > mismatch) {
                mismatch = reached;
                nib = nibbles[static_cast<size_t>(c)];
            }
        }
    } else {
        mismatch = firstMismatch(_position, cellEnd, offset, 0);
    }
    if (mismatch < cellEnd) {
        _verified += mismatch - _position;
        resolveArrivals(mismatch);
        loseLock(mismatch);
        return true;
    }
    _verified += cellEnd - _position;
    addNibble(cell, k <= TestSignal::kHoldBegin ? std::optional<int>(nib) : std::nullopt);
    _position = cellEnd;
    resolveArrivals(cellEnd);
    return true;
}

bool TestSignalDecoder::followResampledCell() {
    const double slope = _model.slope;
    const double intercept = _model.intercept;
    const auto toStream = [&](double n) {
        return (n - intercept) / slope;
    };
    const double cellStart = static_cast<double>(_cell * kCell);
    const int64_t rampHi = static_cast<int64_t>(std::floor(toStream(cellStart + kCell - kRampMargin)));
    if (rampHi >= _end)
        return false;
    const int64_t lowest = std::max(_segmentStart, _bufferStart);
    const int64_t rampLo =
        std::max({static_cast<int64_t>(std::ceil(toStream(cellStart + TestSignal::kHeaderSamples + kRampMargin))),
                  lowest, _rampDone});
    const int64_t holdLo = static_cast<int64_t>(std::ceil(toStream(cellStart + TestSignal::kHoldBegin + kHoldMargin)));
    const int64_t holdHi = static_cast<int64_t>(std::floor(toStream(cellStart + TestSignal::kHoldEnd - kHoldMargin)));
    const int64_t cell = _cell++;
    if (!_provisional)
        scanZeroRuns(rampHi + 1);
    if (rampHi + 1 - rampLo < kMinCellSamples) {
        // Too little of this cell's ramp is left to judge it by.
        if (!_provisional)
            addNibble(cell, std::nullopt);
        return true;
    }

    // Residuals of the measured ramp positions against the model; the
    // samples near their median are the cell's good ones.
    _points.clear();
    _residuals.clear();
    for (int64_t i = rampLo; i <= rampHi; ++i) {
        const double m = measuredPosition(sampleAt(i));
        if (std::isnan(m))
            continue;
        const double predicted = _model.at(i);
        const double residual = wrapPeriod(m - predicted);
        _points.emplace_back(i, predicted + residual);
        _residuals.push_back(residual);
    }
    const int64_t total = rampHi - rampLo + 1;
    double median = 0;
    int64_t inliers = 0;
    if (!_residuals.empty()) {
        auto middle = _residuals.begin() + static_cast<std::ptrdiff_t>(_residuals.size() / 2);
        std::nth_element(_residuals.begin(), middle, _residuals.end());
        median = *middle;
        for (const auto& [i, n] : _points)
            if (std::fabs(n - _model.at(i) - median) <= kInlierTolerance)
                ++inliers;
    }
    if (inliers < std::max<int64_t>(kMinCellSamples, total / 2)) {
        if (_provisional) {
            _provisional = false;
            _mode = Mode::Searching;
            _scan = _runStart = _segmentStart + kResampledRun;
            return true;
        }
        addNibble(cell, std::nullopt);
        if (_badCells++ == 0)
            _badFrom = std::max(static_cast<int64_t>(std::floor(toStream(cellStart))), lowest);
        if (_badCells >= 2)
            loseLock(_badFrom);
        return true;
    }

    double sumI = 0, sumN = 0, sumII = 0, sumIN = 0;
    const double reference = static_cast<double>(rampLo);
    for (const auto& [i, n] : _points) {
        if (std::fabs(n - _model.at(i) - median) > kInlierTolerance)
            continue;
        const double x = static_cast<double>(i) - reference;
        const double y = n - _model.at(rampLo);
        sumI += x;
        sumN += y;
        sumII += x * x;
        sumIN += x * y;
    }
    const double count = static_cast<double>(inliers);
    const double centroidI = reference + sumI / count;
    const double centroidN = _model.at(rampLo) + sumN / count;
    const double denominator = count * sumII - sumI * sumI;
    double cellSlope = denominator > 0 ? (count * sumIN - sumI * sumN) / denominator : slope;

    if (_provisional) {
        // The first cell confirms the lock, with its own, better fit.
        _provisional = false;
        Model confirmed;
        confirmed.exact = false;
        confirmed.slope = cellSlope;
        confirmed.intercept = centroidN - cellSlope * centroidI;
        lock(_segmentStart, confirmed);
        _resampled = true;
        _zerosSinceGoodCell = _zerosInLastGoodCell = 0;
        scanZeroRuns(rampHi + 1);
    } else if (_historyCount >= 2 && std::fabs(median) > kShiftTolerance) {
        // The source index jumped since the last good cell; zeros found in
        // between account for a delay by as many samples. (The cells right
        // after a lock only refine its estimate.)
        const int64_t at = std::max(static_cast<int64_t>(std::floor(toStream(cellStart))), lowest);
        const double explained = static_cast<double>(_zerosSinceGoodCell + _zerosInLastGoodCell) * slope;
        if (median > kShiftTolerance)
            addEvent(EventKind::Dropped, at, std::llround(median));
        else if (median < -explained - kShiftTolerance)
            addEvent(EventKind::Repeated, at, std::llround(-median - explained));
        _historyCount = _historyNext = 0;
    }
    _history[static_cast<size_t>(_historyNext)] = {centroidI, centroidN};
    _historyNext = (_historyNext + 1) % static_cast<int>(_history.size());
    _historyCount = std::min(_historyCount + 1, static_cast<int>(_history.size()));
    if (_historyCount >= 2) {
        double hI = 0, hN = 0, hII = 0, hIN = 0;
        const double base = _history[0].first;
        for (int h = 0; h < _historyCount; ++h) {
            const double x = _history[static_cast<size_t>(h)].first - base;
            const double y = _history[static_cast<size_t>(h)].second - centroidN;
            hI += x;
            hN += y;
            hII += x * x;
            hIN += x * y;
        }
        const double c = static_cast<double>(_historyCount);
        const double d = c * hII - hI * hI;
        if (d > 0)
            cellSlope = (c * hIN - hI * hN) / d;
    }
    if (cellSlope < kMinStep || cellSlope > kMaxStep) {
        loseLock(std::max(static_cast<int64_t>(std::floor(toStream(cellStart))), lowest));
        return true;
    }

    // The hold's level, read with the model this cell was found with.
    std::optional<int> nib;
    if (holdLo >= lowest && holdHi >= holdLo + 7) {
        double sum = 0;
        bool finite = true;
        for (int64_t i = holdLo; i <= holdHi; ++i) {
            const float v = sampleAt(i);
            finite = finite && std::isfinite(v);
            sum += v;
        }
        const double x = (sum / static_cast<double>(holdHi - holdLo + 1) * 32 + 15) / 2;
        const double rounded = std::round(x);
        if (finite && std::fabs(x - rounded) <= 0.3 && rounded >= 0 && rounded <= 15)
            nib = static_cast<int>(rounded);
    }
    addNibble(cell, nib);

    _model.slope = cellSlope;
    _model.intercept = centroidN - cellSlope * centroidI;
    _ratio = cellSlope;
    _badCells = 0;
    _zerosInLastGoodCell = _zerosSinceGoodCell;
    _zerosSinceGoodCell = 0;
    _rampDone = rampHi + 1;
    // After a jump the next cell is the one the stream has reached.
    _cell = std::max(_cell, TestSignal::floorDiv(static_cast<int64_t>(std::floor(_model.at(_rampDone))), kCell));
    resolveArrivals(_rampDone);

    // A stream that stopped being resampled is compared bit for bit again.
    if (std::fabs(cellSlope - 1) < 1e-6 && TestSignal::rampPosition(sampleAt(rampLo))) {
        const Model current = _model;
        _old = current;
        _haveOld = true;
        _oldResampled = true;
        _gapStart = _gapCounted = rampLo;
        if (!tryExactLock(rampLo)) {
            _haveOld = false;
            _model = current;
        }
    }
    return true;
}

void TestSignalDecoder::lock(int64_t at, const Model& model) {
    if (_haveOld) {
        const double jump = model.at(at) - _old.at(at);
        const bool bothExact = model.exact && _old.exact;
        // Samples that stood in for source samples may have replaced as many
        // of them or have been inserted between them; anything beyond is a
        // jump. When both sides were compared bit for bit, every sample of
        // the gap is such a stand-in and is reported. Otherwise only zeros
        // count: resampled samples cannot be checked one by one, and a gap
        // that reaches from the last good cell holds good samples too.
        int64_t zeros = 0;
        if (_oldResampled) {
            scanZeroRuns(at);
            flushZeroRun(_zeroScan);
            zeros = _zerosSinceGoodCell + _zerosInLastGoodCell;
        } else {
            countGap(at);
            zeros = _gapZeros;
            if (_gapZeros > 0)
                addEvent(EventKind::Zeroed, _gapStart, _gapZeros);
            if (bothExact && _gapOthers > 0)
                addEvent(EventKind::Corrupt, _gapStart, _gapOthers);
        }
        const double standIns =
            bothExact ? static_cast<double>(at - _gapStart) : static_cast<double>(zeros) * _old.slope;
        const double tolerance = bothExact ? 0.5 : kShiftTolerance;
        if (jump > tolerance)
            addEvent(EventKind::Dropped, _gapStart, std::llround(jump));
        else if (jump < -standIns - tolerance)
            addEvent(EventKind::Repeated, _gapStart, std::llround(-standIns - jump));
        else if (!bothExact && zeros == 0 && at - _gapStart > kCell)
            addEvent(EventKind::Corrupt, _gapStart, at - _gapStart);
    }
    _haveOld = false;
    _everLocked = true;
    _segmentStart = at;
    _model = model;
    _wordNibbles = 0;
    while (!_arrivals.empty() && _arrivals.front().first < at)
        _arrivals.pop_front();
}

void TestSignalDecoder::loseLock(int64_t at) {
    // A resampled stream keeps being scanned for zero runs while the search
    // runs; an exact one has its gap counted instead.
    _oldResampled = _mode == Mode::Resampled;
    _old = _model;
    _haveOld = true;
    _mode = Mode::Searching;
    _gapStart = _gapCounted = at;
    _gapZeros = _gapOthers = 0;
    // The next lock begins after this one did, so that a lock lost at once
    // (found just before a fault) is not found again and again.
    _lockFloor = _segmentStart + 1;
    _scan = _runStart = std::max(at, _lockFloor);
    _wordNibbles = 0;
}

void TestSignalDecoder::countGap(int64_t upTo) {
    for (int64_t i = std::max(_gapCounted, _bufferStart); i < upTo; ++i) {
        if (sampleAt(i) == 0.0f)
            ++_gapZeros;
        else
            ++_gapOthers;
    }
    _gapCounted = std::max(_gapCounted, upTo);
}

void TestSignalDecoder::scanZeroRuns(int64_t upTo) {
    for (int64_t i = std::max(_zeroScan, _bufferStart); i < upTo; ++i) {
        if (sampleAt(i) == 0.0f) {
            ++_zeroRun;
            continue;
        }
        flushZeroRun(i);
    }
    _zeroScan = std::max(_zeroScan, upTo);
}

void TestSignalDecoder::flushZeroRun(int64_t runEnd) {
    if (_zeroRun >= 2) {
        addEvent(EventKind::Zeroed, runEnd - _zeroRun, _zeroRun);
        _zerosSinceGoodCell += _zeroRun;
    }
    _zeroRun = 0;
}

void TestSignalDecoder::addEvent(EventKind kind, int64_t position, int64_t samples) {
    ++_eventCount;
    switch (kind) {
    case EventKind::Dropped:
        _dropped += samples;
        break;
    case EventKind::Repeated:
        _repeated += samples;
        break;
    case EventKind::Zeroed:
        _zeroed += samples;
        break;
    case EventKind::Corrupt:
        _corrupt += samples;
        break;
    }
    if (_events.size() < kMaxEvents)
        _events.push_back({kind, position, samples});
}

void TestSignalDecoder::addNibble(int64_t cell, std::optional<int> nibble) {
    const int64_t slot = TestSignal::floorMod(cell, TestSignal::kWordCells);
    if (cell != _nextWordCell || !nibble || slot != _wordNibbles)
        _wordNibbles = 0;
    _nextWordCell = cell + 1;
    if (!nibble || slot != _wordNibbles)
        return;
    _word = (slot == 0 ? 0u : _word << 4) | static_cast<uint32_t>(*nibble);
    if (++_wordNibbles < TestSignal::kWordCells)
        return;
    _wordNibbles = 0;
    if (!TestSignal::parseTagWord(_word))
        return;
    const bool hadTag = majorityWord().has_value();
    auto it = std::find_if(_words.begin(), _words.end(), [&](const auto& w) { return w.first == _word; });
    if (it != _words.end())
        ++it->second;
    else if (_words.size() < 64)
        _words.emplace_back(_word, 1);
    if (!hadTag) {
        while (!_unresolved.empty()) {
            addLatency(_unresolved.front().first, _unresolved.front().second);
            _unresolved.pop_front();
        }
    }
}

std::optional<std::pair<uint32_t, int64_t>> TestSignalDecoder::majorityWord() const {
    if (_words.empty())
        return std::nullopt;
    return *std::max_element(_words.begin(), _words.end(),
                             [](const auto& a, const auto& b) { return a.second < b.second; });
}

void TestSignalDecoder::resolveArrivals(int64_t upTo) {
    while (!_arrivals.empty() && _arrivals.front().first < upTo) {
        const auto [index, arrivalNs] = _arrivals.front();
        _arrivals.pop_front();
        if (index >= _segmentStart)
            addLatency(_model.at(index) + 1, arrivalNs);
    }
}

void TestSignalDecoder::addLatency(double endSample, int64_t arrivalNs) {
    const auto majority = majorityWord();
    if (!majority) {
        _unresolved.emplace_back(endSample, arrivalNs);
        if (_unresolved.size() > kMaxPending)
            _unresolved.pop_front();
        return;
    }
    const int rate = TestSignal::parseTagWord(majority->first)->sampleRate;
    const int64_t now = TestSignal::sampleIndexAt(arrivalNs, rate);
    const double nowFraction =
        static_cast<double>(static_cast<__int128>(arrivalNs) * rate - static_cast<__int128>(now) * 1000000000) / 1e9;
    const double whole = std::floor(endSample);
    double late = static_cast<double>(TestSignal::floorMod(now - static_cast<int64_t>(whole), kPeriod)) + nowFraction -
                  (endSample - whole);
    if (late >= 0.75 * kPeriodF)
        late -= kPeriodF;
    _latency.add(late * 1000.0 / rate);
}

int64_t TestSignalDecoder::keepFrom() const {
    switch (_mode) {
    case Mode::Searching:
        if (!_haveOld)
            return _scan - kResampledRun - 1;
        return std::min(_oldResampled ? _zeroScan : _gapCounted, _scan - kResampledRun - 1);
    case Mode::Exact:
        // The hold of the cell being compared may lie before the position.
        return TestSignal::floorDiv(_position + _model.offset, kCell) * kCell - _model.offset;
    case Mode::Resampled: {
        const int64_t cellStart =
            static_cast<int64_t>(std::floor((static_cast<double>(_cell * kCell) - _model.intercept) / _model.slope)) -
            2;
        int64_t from = std::min(cellStart, _zeroScan);
        if (_provisional && _haveOld)
            from = std::min(from, _oldResampled ? _zeroScan : _gapCounted);
        if (_badCells > 0)
            from = std::min(from, _badFrom);
        return from;
    }
    }
    return _bufferStart;
}

void TestSignalDecoder::compact() {
    const int64_t from = std::clamp(keepFrom(), _bufferStart, _end);
    if (from - _bufferStart < kCompactAbove)
        return;
    _buffer.erase(_buffer.begin(), _buffer.begin() + static_cast<std::ptrdiff_t>(from - _bufferStart));
    _bufferStart = from;
}

TestSignalDecoder::Report TestSignalDecoder::report() const {
    Report r;
    r.samples = _end;
    r.silent = !_nonFinite && _peak < kSilencePeak;
    int64_t words = 0;
    for (const auto& w : _words)
        words += w.second;
    if (const auto majority = majorityWord()) {
        r.tag = TestSignal::parseTagWord(majority->first);
        r.tagWords = majority->second;
        r.otherWords = words - majority->second;
    }
    r.recognised = _everLocked;
    r.resampled = _resampled;
    r.rateRatio = _ratio;
    r.verifiedSamples = _verified;
    r.dropouts = _eventCount;
    r.droppedSamples = _dropped;
    r.repeatedSamples = _repeated;
    r.zeroedSamples = _zeroed;
    r.corruptSamples = _corrupt;
    r.events = _events;
    r.latencyMs = _latency.summary();
    r.bitExact = _everLocked && !_resampled && !_rateChanged && !_haveOld && _eventCount == 0 && r.tag &&
                 r.tag->sampleRate == _streamRate && _verified > 0;
    return r;
}
