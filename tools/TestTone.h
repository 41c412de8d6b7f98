// The tone test signal, for people: channel c plays a sine of
// 220 * 2^((c mod 48) / 12) Hz (A3 and the semitones above it over four
// octaves) at a quarter of full scale, so that channels can be told apart by ear.
#pragma once

class TestTone {
public:
    TestTone(int channel, int sampleRate);

    static double frequency(int channel);
    // Writes the next count samples. Real-time safe.
    void fill(float* out, int count);

private:
    double _phase = 0; // in cycles, [0, 1)
    double _step;      // cycles per sample
};
