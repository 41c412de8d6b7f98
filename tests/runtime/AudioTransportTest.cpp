// Audio from a sender to a receiver: bit for bit across processes through the
// frame-sync, the plain capture calls that the channel probe uses, and
// reconnection when the sender comes back in a new process.
#include "AudioPattern.h"
#include "RuntimeTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace std::chrono_literals;
using RuntimeTestSupport::Peer;
using RuntimeTestSupport::waitUntil;

namespace {

// Captures blocks from a frame-sync at the real-time pace of 48 kHz and
// checks them against the pattern as they come.
class PatternCapture {
public:
    explicit PatternCapture(NDIlib_framesync_instance_t frameSync) : _frameSync(frameSync) {}

    void run(std::chrono::milliseconds duration, int channels = 8) {
        auto start = std::chrono::steady_clock::now();
        for (int64_t block = 0; std::chrono::steady_clock::now() - start < duration; ++block) {
            NDIlib_audio_frame_v2_t frame{};
            NDIlib_framesync_capture_audio(_frameSync, &frame, 48000, 0, 512);
            check(frame, channels);
            NDIlib_framesync_free_audio(_frameSync, &frame);
            std::this_thread::sleep_until(start + std::chrono::microseconds((block + 1) * 512 * 1000000 / 48000));
        }
    }

    int64_t soundSamples = 0;  // samples that were the pattern's, all channels alike
    int64_t silentSamples = 0; // samples of silence after the first sound
    int64_t wrongSamples = 0;  // samples that were no pattern sample, or out of order
    int64_t restarts = 0;      // times the sound came back after silence
    int64_t skips = 0;         // jumps ahead within sound: a stalled capture's buffer was cut back

private:
    void check(const NDIlib_audio_frame_v2_t& frame, int channels) {
        if (frame.no_samples == 0)
            return;
        EXPECT_EQ(frame.no_samples, 512);
        EXPECT_EQ(frame.no_channels, channels);
        EXPECT_EQ(frame.channel_stride_in_bytes, 512 * 4);
        for (int index = 0; index < frame.no_samples; ++index) {
            float first = frame.p_data[index];
            if (first == 0.0f) {
                silentSamples += _expected >= 0 ? 1 : 0;
                _silent = true;
                continue;
            }
            int64_t position = AudioPattern::positionOf(first, 0);
            bool right = position >= 0;
            for (int channel = 1; channel < frame.no_channels; ++channel)
                right = right && frame.p_data[channel * 512 + index] == AudioPattern::value(position, channel);
            if (!right) {
                ++wrongSamples;
                continue;
            }
            if (_expected >= 0 && position != _expected) {
                // Only a short jump ahead is a sound cut; anything else is disorder.
                int64_t ahead = (position - _expected + AudioPattern::cycle) % AudioPattern::cycle;
                if (_silent)
                    ++restarts;
                else if (ahead < 48000)
                    ++skips;
                else
                    ++wrongSamples;
            } else if (_silent && _expected >= 0) {
                ++restarts;
            }
            ++soundSamples;
            _silent = false;
            _expected = (position + 1) % AudioPattern::cycle;
        }
    }

    NDIlib_framesync_instance_t _frameSync;
    int64_t _expected = -1;
    bool _silent = true;
};

NDIlib_recv_create_v3_t receiverSettings(const std::string& name) {
    return {
        {name.c_str(), nullptr}, NDIlib_recv_color_format_compressed_v5, NDIlib_recv_bandwidth_highest, true, nullptr};
}

} // namespace

class AudioTransport : public RuntimeTestSupport::IsolatedRuntime {};

// Runs for about three seconds; a minute without a dropout is the benchmark's
// RuntimeAudioSoak.
TEST_F(AudioTransport, eightChannelsArriveBitExactFromAnotherProcess) {
    Peer peer({"Pattern", "--channels", "8", "--rate", "48000", "--block", "512"});
    ASSERT_TRUE(peer.ready());
    const std::string name = RuntimeTestSupport::hostName() + " (Pattern)";
    auto settings = receiverSettings(name);
    NDIlib_recv_instance_t receiver = NDIlib_recv_create_v4(&settings, nullptr);
    NDIlib_framesync_instance_t frameSync = NDIlib_framesync_create(receiver);
    ASSERT_NE(frameSync, nullptr);

    PatternCapture capture(frameSync);
    capture.run(3000ms);
    // A loaded machine may stall either process long enough for a dropout;
    // what arrives must still be the pattern, unaltered and in order.
    EXPECT_EQ(capture.wrongSamples, 0);
    EXPECT_GT(capture.soundSamples, 48000);
    if (capture.skips + capture.restarts > 0)
        std::fprintf(stderr, "dropouts under load: %lld cuts, %lld restarts\n", static_cast<long long>(capture.skips),
                     static_cast<long long>(capture.restarts));
    NDIlib_framesync_destroy(frameSync);
    NDIlib_recv_destroy(receiver);
}

TEST_F(AudioTransport, frameSyncFollowsTheSenderIntoANewProcess) {
    const std::string name = RuntimeTestSupport::hostName() + " (Restarted)";
    auto settings = receiverSettings(name);
    NDIlib_recv_instance_t receiver = NDIlib_recv_create_v4(&settings, nullptr);
    NDIlib_framesync_instance_t frameSync = NDIlib_framesync_create(receiver);
    PatternCapture capture(frameSync);
    {
        Peer first({"Restarted", "--channels", "2"});
        ASSERT_TRUE(first.ready());
        capture.run(1000ms, 2);
        first.kill(SIGKILL);
    }
    int64_t before = capture.soundSamples;
    ASSERT_GT(before, 0);
    Peer second({"Restarted", "--channels", "2"});
    ASSERT_TRUE(second.ready());
    capture.run(2500ms, 2);
    EXPECT_GT(capture.soundSamples, before + 24000);
    EXPECT_GE(capture.restarts, 1);
    EXPECT_EQ(capture.wrongSamples, 0);
    NDIlib_framesync_destroy(frameSync);
    NDIlib_recv_destroy(receiver);
}

// The channel probe: a status change once after connecting, then audio only
// when audio is asked for, as planar float (v3: FourCC FLTP).
TEST_F(AudioTransport, captureCallsReportTheConnectionThenTheAudioAskedFor) {
    NDIlib_send_create_t sendSettings{"Probe", nullptr, true, false};
    NDIlib_send_instance_t sender = NDIlib_send_create_v2(&sendSettings, nullptr);
    std::atomic<bool> stop{false};
    std::thread sending([&] {
        std::vector<float> samples(3 * 256);
        for (int64_t position = 0; !stop; position += 256) {
            AudioPattern::fill(samples.data(), 3, 256, position);
            NDIlib_audio_frame_v2_t frame{44100,          3,       256,     NDIlib_send_timecode_synthesize,
                                          samples.data(), 256 * 4, nullptr, 0};
            NDIlib_send_send_audio_v2(sender, &frame);
            std::this_thread::sleep_for(5ms);
        }
    });

    const std::string name = RuntimeTestSupport::hostName() + " (Probe)";
    NDIlib_recv_create_v3_t settings{
        {name.c_str(), nullptr}, NDIlib_recv_color_format_UYVY_BGRA, NDIlib_recv_bandwidth_highest, true, nullptr};
    NDIlib_recv_instance_t receiver = NDIlib_recv_create_v4(&settings, nullptr);
    NDIlib_audio_frame_v3_t audio{};
    EXPECT_EQ(NDIlib_recv_capture_v3(receiver, nullptr, &audio, nullptr, 5000), NDIlib_frame_type_status_change);
    ASSERT_EQ(NDIlib_recv_capture_v3(receiver, nullptr, &audio, nullptr, 5000), NDIlib_frame_type_audio);
    EXPECT_EQ(audio.FourCC, NDIlib_FourCC_audio_type_FLTP);
    EXPECT_EQ(audio.sample_rate, 44100);
    EXPECT_EQ(audio.no_channels, 3);
    EXPECT_EQ(audio.no_samples, 256);
    EXPECT_EQ(audio.channel_stride_in_bytes, 256 * 4);
    EXPECT_NE(audio.timecode, NDIlib_send_timecode_synthesize);
    EXPECT_GT(audio.timestamp, 0);
    auto* samples = reinterpret_cast<const float*>(audio.p_data);
    int64_t position = AudioPattern::positionOf(samples[0], 0);
    EXPECT_GE(position, 0);
    EXPECT_EQ(samples[2 * 256 + 255], AudioPattern::value(position + 255, 2));
    NDIlib_recv_free_audio_v3(receiver, &audio);

    NDIlib_audio_frame_v2_t audio2{};
    ASSERT_EQ(NDIlib_recv_capture_v2(receiver, nullptr, &audio2, nullptr, 5000), NDIlib_frame_type_audio);
    EXPECT_EQ(audio2.no_channels, 3);
    NDIlib_recv_free_audio_v2(receiver, &audio2);

    // The source has no video: asking for video alone times out.
    NDIlib_video_frame_v2_t video{};
    EXPECT_EQ(NDIlib_recv_capture_v2(receiver, &video, nullptr, nullptr, 200), NDIlib_frame_type_none);

    stop = true;
    sending.join();
    NDIlib_recv_destroy(receiver);
    NDIlib_send_destroy(sender);
}

TEST_F(AudioTransport, receiverOfAMissingSourceTimesOutAndFrameSyncGivesNothing) {
    const std::string name = "NOWHERE (nothing)";
    auto settings = receiverSettings(name);
    NDIlib_recv_instance_t receiver = NDIlib_recv_create_v4(&settings, nullptr);
    NDIlib_audio_frame_v2_t audio{};
    EXPECT_EQ(NDIlib_recv_capture_v2(receiver, nullptr, &audio, nullptr, 100), NDIlib_frame_type_none);
    NDIlib_framesync_instance_t frameSync = NDIlib_framesync_create(receiver);
    NDIlib_audio_frame_v2_t block{};
    NDIlib_framesync_capture_audio(frameSync, &block, 48000, 0, 512);
    EXPECT_EQ(block.no_samples, 0);
    EXPECT_EQ(block.no_channels, 0);
    EXPECT_EQ(block.p_data, nullptr);
    NDIlib_framesync_free_audio(frameSync, &block);
    NDIlib_video_frame_v2_t picture{};
    NDIlib_framesync_capture_video(frameSync, &picture, NDIlib_frame_format_type_progressive);
    EXPECT_EQ(picture.timecode, 0);
    EXPECT_EQ(picture.p_data, nullptr);
    NDIlib_framesync_free_video(frameSync, &picture);
    NDIlib_framesync_destroy(frameSync);
    NDIlib_recv_destroy(receiver);
}
