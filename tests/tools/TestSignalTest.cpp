#include "tools/TestSignal.h"
#include "tools/LatencyStatistics.h"
#include "tools/TestSignalDecoder.h"
#include "tools/TestTone.h"

#include <gtest/gtest.h>
#include <samplerate.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

using Kind = TestSignalDecoder::EventKind;
using Tag = TestSignal::Tag;

// A clock time some days after boot, where real senders start.
constexpr int64_t kStartNs = 3 * 86400 * 1000000000ll + 123456789;

std::vector<float> counterStream(const Tag& tag, int64_t firstSample, size_t count) {
    std::vector<float> samples(count);
    TestSignal::fill(samples.data(), static_cast<int>(count), *TestSignal::tagWord(tag), firstSample);
    return samples;
}

// Feeds a stream in irregular chunks. Stream sample j carries content due at
// contentStartNs + j / streamRate; each chunk arrives latencyMs after its end.
TestSignalDecoder::Report decode(const std::vector<float>& stream, int streamRate, int64_t contentStartNs,
                                 double latencyMs = 0, unsigned seed = 1) {
    TestSignalDecoder decoder;
    std::mt19937 random(seed);
    std::uniform_int_distribution<size_t> chunk(1, 1500);
    for (size_t j = 0; j < stream.size();) {
        const size_t count = std::min(chunk(random), stream.size() - j);
        const int64_t arrival = contentStartNs +
                                static_cast<int64_t>(static_cast<double>(j + count) * 1e9 / streamRate) +
                                static_cast<int64_t>(latencyMs * 1e6);
        decoder.push(stream.data() + j, static_cast<int>(count), streamRate, arrival);
        j += count;
    }
    decoder.finish();
    return decoder.report();
}

// Converts a whole stream with libsamplerate; ratio is output rate over input
// rate, and endRatio, when given, is reached by a linear glide (varispeed).
std::vector<float> resample(const std::vector<float>& in, int converter, double ratio, double endRatio = 0) {
    int error = 0;
    SRC_STATE* state = src_new(converter, 1, &error);
    std::vector<float> out;
    std::vector<float> block(8192);
    const size_t step = 1000;
    for (size_t pos = 0; pos < in.size();) {
        const size_t count = std::min(step, in.size() - pos);
        SRC_DATA data{};
        data.data_in = in.data() + pos;
        data.input_frames = static_cast<long>(count);
        data.data_out = block.data();
        data.output_frames = static_cast<long>(block.size());
        data.end_of_input = pos + count == in.size();
        data.src_ratio = endRatio == 0
                             ? ratio
                             : ratio + (endRatio - ratio) * static_cast<double>(pos) / static_cast<double>(in.size());
        EXPECT_EQ(src_process(state, &data), 0);
        out.insert(out.end(), block.begin(), block.begin() + data.output_frames_gen);
        pos += static_cast<size_t>(data.input_frames_used);
    }
    src_delete(state);
    return out;
}

} // namespace

TEST(TestSignalTag, wordsRoundTripAndRejectDamageAndRangeErrors) {
    for (const Tag& tag : {Tag{0, 0, 8000}, Tag{7, 3, 48000}, Tag{4095, 255, 192000}, Tag{1234, 64, 44100}}) {
        const std::optional<uint32_t> word = TestSignal::tagWord(tag);
        ASSERT_TRUE(word);
        EXPECT_EQ(TestSignal::parseTagWord(*word), tag);
        for (int bit = 0; bit < 32; ++bit)
            EXPECT_FALSE(TestSignal::parseTagWord(*word ^ (1u << bit))) << "bit " << bit;
    }
    for (const Tag& bad : {Tag{4096, 0, 48000}, Tag{-1, 0, 48000}, Tag{0, 256, 48000}, Tag{0, 0, 47999}})
        EXPECT_FALSE(TestSignal::tagWord(bad));
}

TEST(TestSignalCodec, untouchedStreamsDecodeBitExactWithTheirLatency) {
    struct Case {
        Tag tag;
        int64_t firstSample;
        double latencyMs;
    };
    const int64_t wrap = TestSignal::kRampPeriod;
    const Case cases[] = {
        {{7, 0, 48000}, TestSignal::sampleIndexAt(kStartNs, 48000), 0.4},
        {{4095, 255, 44100}, 5 * wrap - 30000, 25}, // crosses the ramp's wrap
        {{0, 3, 96000}, 123, 499},
        {{12, 1, 48000}, 77 * wrap + 1000, 900},
        {{12, 2, 48000}, 78 * wrap + 1000, 2500},
        {{12, 9, 48000}, 78 * wrap + 3000, -3},
        {{99, 40, 192000}, 1, 700},
        {{1, 1, 8000}, 987654321, 12000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "id " << c.tag.sourceId << " rate " << c.tag.sampleRate << " latency "
                                        << c.latencyMs);
        // Long enough for a few tag words also at low rates.
        const size_t count = std::max<size_t>(static_cast<size_t>(c.tag.sampleRate) * 3 / 4, 30000);
        const auto report = decode(counterStream(c.tag, c.firstSample, count), c.tag.sampleRate,
                                   TestSignal::sampleTimeNs(c.firstSample, c.tag.sampleRate), c.latencyMs);
        EXPECT_EQ(report.tag, c.tag);
        EXPECT_EQ(report.otherWords, 0);
        EXPECT_TRUE(report.bitExact);
        EXPECT_FALSE(report.silent);
        EXPECT_EQ(report.dropouts, 0);
        EXPECT_GT(report.verifiedSamples, static_cast<int64_t>(count) * 9 / 10);
        ASSERT_TRUE(report.latencyMs);
        EXPECT_NEAR(report.latencyMs->median, c.latencyMs, 0.01);
        EXPECT_NEAR(report.latencyMs->max, c.latencyMs, 0.01);
    }
}

TEST(TestSignalCodec, faultsAreFoundWhereTheyHappen) {
    const Tag tag{7, 2, 48000};
    const int64_t first = 40 * TestSignal::kRampPeriod; // cell-aligned: stream index k is at k mod 1024 in its cell
    const std::vector<float> clean = counterStream(tag, first, 96000);
    struct Case {
        const char* name;
        size_t at;     // where the fault starts in the clean stream
        size_t remove; // clean samples taken out there
        std::vector<float> insert;
        Kind kind;
        int64_t samples;
        int64_t maxLateBy; // how far after `at` it may be found
    };
    const size_t ramp = 20 * 1024 + 600;
    const size_t hold = 30 * 1024 + 100;
    const std::vector<float> repeated(clean.begin() + ramp - 512, clean.begin() + ramp);
    const Case cases[] = {
        {"one dropped ramp sample", ramp, 1, {}, Kind::Dropped, 1, 0},
        {"a dropped block", ramp, 512, {}, Kind::Dropped, 512, 0},
        {"samples dropped inside a hold", hold, 37, {}, Kind::Dropped, 37, 192},
        {"samples dropped over several cells", ramp, 4000, {}, Kind::Dropped, 4000, 0},
        {"a repeated block", ramp, 0, repeated, Kind::Repeated, 512, 0},
        {"samples replaced by zeros", ramp, 300, std::vector<float>(300, 0.0f), Kind::Zeroed, 300, 0},
        {"zeros inserted", ramp, 0, std::vector<float>(300, 0.0f), Kind::Zeroed, 300, 0},
        {"one zero in a fade", 12 * 1024 + 10, 1, {0.0f}, Kind::Zeroed, 1, 0},
        {"one changed sample", ramp, 1, {clean[ramp] + 1e-3f}, Kind::Corrupt, 1, 0},
        {"a burst of non-numbers", ramp, 0, std::vector<float>(5, std::nanf("")), Kind::Corrupt, 5, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<float> stream(clean.begin(), clean.begin() + static_cast<std::ptrdiff_t>(c.at));
        stream.insert(stream.end(), c.insert.begin(), c.insert.end());
        stream.insert(stream.end(), clean.begin() + static_cast<std::ptrdiff_t>(c.at + c.remove), clean.end());
        const auto report = decode(stream, 48000, TestSignal::sampleTimeNs(first, 48000));
        EXPECT_EQ(report.tag, tag);
        EXPECT_FALSE(report.bitExact);
        ASSERT_EQ(report.dropouts, 1);
        EXPECT_EQ(report.events[0].kind, c.kind);
        EXPECT_EQ(report.events[0].samples, c.samples);
        EXPECT_GE(report.events[0].position, static_cast<int64_t>(c.at));
        EXPECT_LE(report.events[0].position, static_cast<int64_t>(c.at) + c.maxLateBy);
    }
}

TEST(TestSignalCodec, sourceAndChannelSurviveResampling) {
    struct Case {
        const char* name;
        int sourceRate;
        int streamRate;
        int converter;
        bool roundTrip;     // converted to 44100 and back
        double varispeedTo; // glide of the ratio to this factor, 0 for none
    };
    const Case cases[] = {
        {"48000 to 44100 and back, best sinc", 48000, 48000, SRC_SINC_BEST_QUALITY, true, 0},
        {"48000 to 44100 and back, fastest sinc", 48000, 48000, SRC_SINC_FASTEST, true, 0},
        {"44100 to 48000, medium sinc", 44100, 48000, SRC_SINC_MEDIUM_QUALITY, false, 0},
        {"96000 to 48000, linear", 96000, 48000, SRC_LINEAR, false, 0},
        {"48000 to 96000, zero-order hold", 48000, 96000, SRC_ZERO_ORDER_HOLD, false, 0},
        {"0.3% varispeed", 48000, 48000, SRC_SINC_FASTEST, false, 1.003},
        {"0.3% varispeed the other way", 48000, 48000, SRC_SINC_FASTEST, false, 0.997},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Tag tag{321, 5, c.sourceRate};
        const int64_t first = TestSignal::sampleIndexAt(kStartNs, c.sourceRate);
        std::vector<float> stream = counterStream(tag, first, static_cast<size_t>(c.sourceRate));
        if (c.roundTrip)
            stream = resample(resample(stream, c.converter, 44100.0 / c.sourceRate), c.converter,
                              static_cast<double>(c.streamRate) / 44100.0);
        else if (c.varispeedTo != 0)
            stream = resample(stream, c.converter, 1.0, c.varispeedTo);
        else
            stream = resample(stream, c.converter, static_cast<double>(c.streamRate) / c.sourceRate);
        const auto report = decode(stream, c.streamRate, TestSignal::sampleTimeNs(first, c.sourceRate), 5);
        EXPECT_EQ(report.tag, tag);
        EXPECT_GT(report.tagWords, 3);
        EXPECT_EQ(report.otherWords, 0);
        EXPECT_TRUE(report.resampled);
        EXPECT_FALSE(report.bitExact);
        EXPECT_EQ(report.dropouts, 0) << (report.events.empty() ? 0 : report.events[0].position);
        ASSERT_TRUE(report.latencyMs);
        if (c.varispeedTo == 0) {
            EXPECT_NEAR(report.latencyMs->median, 5, 1.0);
        }
    }
}

TEST(TestSignalCodec, resampledStreamsShowDroppedAndZeroedStretches) {
    const Tag tag{3, 1, 48000};
    const int64_t first = TestSignal::sampleIndexAt(kStartNs, 48000);
    const std::vector<float> stream = resample(counterStream(tag, first, 72000), SRC_SINC_FASTEST, 44100.0 / 48000.0);
    struct Case {
        const char* name;
        size_t remove;
        size_t zeros;
        Kind kind;
        double sourceSamples;
    };
    const Case cases[] = {
        {"a dropped block", 441, 0, Kind::Dropped, 480},
        {"a repeated stretch", 0, 0, Kind::Repeated, 2000 * 48000.0 / 44100.0},
        {"zeros inserted", 0, 2000, Kind::Zeroed, 2000},
        {"a block replaced by zeros", 441, 441, Kind::Zeroed, 441},
        {"a long stretch replaced by zeros", 1700, 1700, Kind::Zeroed, 1700},
    };
    for (const Case& c : cases) {
        // Faults at places spread over more than a cell: each meets the
        // following in another phase.
        for (size_t at = 30000; at < 31100; at += 131) {
            SCOPED_TRACE(testing::Message() << c.name << " at " << at);
            std::vector<float> faulty(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(at));
            if (c.kind == Kind::Repeated)
                faulty.insert(faulty.end(), stream.begin() + static_cast<std::ptrdiff_t>(at - 2000),
                              stream.begin() + static_cast<std::ptrdiff_t>(at));
            faulty.insert(faulty.end(), c.zeros, 0.0f);
            faulty.insert(faulty.end(), stream.begin() + static_cast<std::ptrdiff_t>(at + c.remove), stream.end());
            const auto report = decode(faulty, 44100, TestSignal::sampleTimeNs(first, 48000));
            EXPECT_EQ(report.tag, tag);
            ASSERT_EQ(report.dropouts, 1);
            EXPECT_EQ(report.events[0].kind, c.kind);
            EXPECT_NEAR(static_cast<double>(report.events[0].samples), c.sourceSamples, 4);
            EXPECT_NEAR(static_cast<double>(report.events[0].position), static_cast<double>(at), 2100);
        }
    }
}

TEST(TestSignalCodec, silenceAndOtherSignalsAreNotTakenForTheCounter) {
    std::vector<float> silence(48000, 0.0f);
    std::vector<float> tone(48000);
    TestTone(2, 48000).fill(tone.data(), static_cast<int>(tone.size()));
    std::vector<float> noise(48000);
    std::mt19937 random(5);
    std::uniform_real_distribution<float> uniform(-0.5f, 0.5f);
    for (float& v : noise)
        v = uniform(random);

    const auto quiet = decode(silence, 48000, kStartNs);
    EXPECT_TRUE(quiet.silent);
    EXPECT_FALSE(quiet.recognised);
    for (const auto* other : {&tone, &noise}) {
        const auto report = decode(*other, 48000, kStartNs);
        EXPECT_FALSE(report.silent);
        EXPECT_FALSE(report.tag);
        EXPECT_FALSE(report.bitExact);
        EXPECT_EQ(report.dropouts, 0);
    }
}

TEST(TestSignalCodec, whatPrecedesTheSignalIsNoFault) {
    const Tag tag{1, 0, 48000};
    const int64_t first = TestSignal::sampleIndexAt(kStartNs, 48000);
    std::vector<float> stream(5000, 0.0f);
    stream.insert(stream.end(), 3000, 0.3f);
    const std::vector<float> signal = counterStream(tag, first, 48000);
    stream.insert(stream.end(), signal.begin(), signal.end());
    const auto report = decode(stream, 48000, TestSignal::sampleTimeNs(first, 48000) - 8000 * 1000000000ll / 48000);
    EXPECT_EQ(report.tag, tag);
    EXPECT_TRUE(report.bitExact);
    EXPECT_EQ(report.dropouts, 0);
}

TEST(TestSignalCodec, aNewTagMidStreamIsCountedButIsNoFault) {
    const int64_t first = TestSignal::sampleIndexAt(kStartNs, 48000);
    std::vector<float> stream = counterStream({1, 0, 48000}, first, 20000);
    const std::vector<float> later = counterStream({2, 6, 48000}, first + 20000, 40000);
    stream.insert(stream.end(), later.begin(), later.end());
    const auto report = decode(stream, 48000, TestSignal::sampleTimeNs(first, 48000));
    EXPECT_EQ(report.tag, (Tag{2, 6, 48000}));
    EXPECT_GT(report.otherWords, 0);
    EXPECT_EQ(report.dropouts, 0);
    EXPECT_TRUE(report.bitExact);
}

TEST(LatencyStatistics, summaryHoldsOverSeriesLongerThanItsStore) {
    LatencyStatistics statistics(1000);
    for (int i = 1; i <= 100000; ++i)
        statistics.add(i);
    const auto summary = statistics.summary();
    ASSERT_TRUE(summary);
    EXPECT_EQ(summary->count, 100000);
    EXPECT_EQ(summary->min, 1);
    EXPECT_EQ(summary->max, 100000);
    EXPECT_NEAR(summary->median, 50000, 500);
    EXPECT_NEAR(summary->p99, 99000, 500);
}
