// Diagnostics of the runtime: plain lines on standard error.
#pragma once

namespace ndiruntime {

// Writes "ndiruntime: " and the formatted text as one line. Any thread, never
// the audio thread (it formats and writes).
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace ndiruntime
