// Reads one received channel of the counter test signal (format in
// TestSignal.h): which source and channel it carries, whether every sample
// arrived bit for bit, where samples were dropped, repeated, zeroed or
// damaged, and how late the stream is against this host's clock.
//
// Two ways of following the signal:
// - exact: the stream runs at the sender's rate, untouched; every sample is
//   compared bit for bit with the expected one, and a mismatch is located to
//   the sample (to the header, at most 192 samples, when it falls into a hold,
//   whose samples are all alike).
// - resampled: the stream went through a rate converter; the ramp is fitted
//   cell by cell to follow the source sample index (drift included) and
//   levels are read at the middle of each hold. Jumps of more than 3 source
//   samples (from the third cell after a lock on) count as dropped or
//   repeated samples, runs of two or more zeros as zeroed ones, and a stretch
//   that cannot be followed for over a cell as corrupt ones.
// Before the signal is first recognised nothing counts as a fault, so a stream
// may start with silence or anything else.
//
// One decoder per channel, used by one thread at a time; memory stays bounded
// however long the stream runs.
#pragma once

#include "tools/LatencyStatistics.h"
#include "tools/TestSignal.h"

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

class TestSignalDecoder {
public:
    enum class EventKind { Dropped, Repeated, Zeroed, Corrupt };
    struct Event {
        EventKind kind = EventKind::Corrupt;
        int64_t position = 0; // stream sample index where it was found
        int64_t samples = 0;
    };
    static constexpr size_t kMaxEvents = 32;

    struct Report {
        int64_t samples = 0;
        bool silent = true;
        std::optional<TestSignal::Tag> tag; // the tag most words carried
        int64_t tagWords = 0;               // valid words with that tag
        int64_t otherWords = 0;             // valid words with another tag
        bool recognised = false;            // the signal was followed at some point
        bool bitExact = false;
        bool resampled = false;
        double rateRatio = 0;        // source samples per stream sample, last measured
        int64_t verifiedSamples = 0; // samples compared bit for bit
        int64_t dropouts = 0;        // number of events
        int64_t droppedSamples = 0;
        int64_t repeatedSamples = 0;
        int64_t zeroedSamples = 0;
        int64_t corruptSamples = 0;
        std::vector<Event> events;                           // the first kMaxEvents
        std::optional<LatencyStatistics::Summary> latencyMs; // one value per received frame
    };

    // Adds the next samples of the channel, received together at arrivalNs on
    // the steady clock. A change of streamRate starts the following afresh.
    void push(const float* samples, int count, int streamRate, int64_t arrivalNs);
    // Accounts for a fault that the end of the stream left unresolved.
    void finish();
    Report report() const;

private:
    // Maps a stream sample index to the source sample index n (continuous: it
    // grows past the ramp's wrap, and is congruent to the true n modulo it).
    struct Model {
        bool exact = true;
        int64_t offset = 0; // exact: n = i + offset
        double slope = 1;   // resampled: n = slope * i + intercept
        double intercept = 0;
        double at(int64_t i) const {
            return exact ? static_cast<double>(i + offset) : slope * static_cast<double>(i) + intercept;
        }
    };
    enum class Mode { Searching, Exact, Resampled };

    float sampleAt(int64_t i) const;
    bool search();
    bool tryExactLock(int64_t start);
    bool tryResampledLock(int64_t start);
    bool stepIsPlausible(int64_t i) const;
    bool verifyExactCell();
    bool followResampledCell();
    // The levels that the cell of n (stream index n - offset) may carry: its
    // hold as seen at a few places, and the tag's. Returns how many.
    int nibbleCandidates(int64_t n, int64_t offset, std::array<int, 4>& out) const;
    // Stream sample i is sample i + offset of the signal, with some level for a header.
    bool sampleFits(int64_t i, int64_t offset) const;
    int64_t firstMismatch(int64_t from, int64_t to, int64_t offset, int nibble) const;
    void lock(int64_t at, const Model& model);
    void loseLock(int64_t at);
    void countGap(int64_t upTo);
    void scanZeroRuns(int64_t upTo);
    void flushZeroRun(int64_t runEnd);
    void addEvent(EventKind kind, int64_t position, int64_t samples);
    void addNibble(int64_t cell, std::optional<int> nibble);
    std::optional<std::pair<uint32_t, int64_t>> majorityWord() const;
    void resolveArrivals(int64_t upTo);
    void addLatency(double endSample, int64_t arrivalNs);
    int64_t keepFrom() const;
    void compact();

    std::vector<float> _buffer;
    int64_t _bufferStart = 0; // stream index of _buffer[0]
    int64_t _end = 0;         // stream index after the last received sample
    int _streamRate = 0;
    float _peak = 0;
    bool _nonFinite = false;

    Mode _mode = Mode::Searching;
    Model _model;
    bool _everLocked = false;
    bool _resampled = false;
    bool _rateChanged = false;
    double _ratio = 0;
    int64_t _segmentStart = 0; // where the current lock began

    // Searching: the next candidate start, the start of the current run of
    // ramp-like steps, and after a loss of lock the old model and the gap.
    int64_t _scan = 0;
    int64_t _runStart = 0;
    bool _haveOld = false;
    bool _oldResampled = false;
    Model _old;
    int64_t _gapStart = 0;
    int64_t _gapCounted = 0;
    int64_t _gapZeros = 0;
    int64_t _gapOthers = 0;
    int64_t _lockFloor = 0; // no lock begins before this

    // Exact: the next sample to compare.
    int64_t _position = 0;

    // Resampled: the next cell, recent cell centroids (stream index, n), bad
    // cells in a row, and runs of zero samples.
    int64_t _cell = 0;
    int64_t _rampDone = 0;     // stream index after the last fitted ramp sample
    bool _provisional = false; // locked, but no cell has confirmed it yet
    std::array<std::pair<double, double>, 8> _history{};
    int _historyCount = 0;
    int _historyNext = 0;
    int _badCells = 0;
    int64_t _badFrom = 0;
    int64_t _zeroScan = 0;
    int64_t _zeroRun = 0;
    // Zeros since the last good cell, and within it: inserted zeros delay the
    // stream, and the cell after them shows the jump.
    int64_t _zerosSinceGoodCell = 0;
    int64_t _zerosInLastGoodCell = 0;
    std::vector<std::pair<int64_t, double>> _points; // scratch: stream index, measured n
    std::vector<double> _residuals;                  // scratch

    // Tag words: the cell expected next, the nibbles gathered so far, votes.
    int64_t _nextWordCell = 0;
    int _wordNibbles = 0;
    uint32_t _word = 0;
    std::vector<std::pair<uint32_t, int64_t>> _words;

    // Latency: (last stream index of a frame, its arrival) until the model
    // covers it; (end sample, arrival) until the tag names the sender's rate.
    std::deque<std::pair<int64_t, int64_t>> _arrivals;
    std::deque<std::pair<double, int64_t>> _unresolved;
    LatencyStatistics _latency;

    std::vector<Event> _events;
    int64_t _eventCount = 0;
    int64_t _dropped = 0;
    int64_t _repeated = 0;
    int64_t _zeroed = 0;
    int64_t _corrupt = 0;
    int64_t _verified = 0;
};
