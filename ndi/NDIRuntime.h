#pragma once

#include "NDIlib.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The entry points of the runtime that the engine calls, with the edition that
// has each: every runtime has the standard ones, only an advanced runtime the
// others.
#define QUORVANE_NDI_ENTRY_POINTS(X)                                                                                   \
    X(initialize, Standard)                                                                                            \
    X(destroy, Standard)                                                                                               \
    X(version, Standard)                                                                                               \
    X(find_create_v2, Standard)                                                                                        \
    X(find_get_current_sources, Standard)                                                                              \
    X(find_destroy, Standard)                                                                                          \
    X(recv_create_v3, Standard)                                                                                        \
    X(recv_destroy, Standard)                                                                                          \
    X(recv_capture_v2, Standard)                                                                                       \
    X(recv_capture_v3, Standard)                                                                                       \
    X(recv_free_video_v2, Standard)                                                                                    \
    X(recv_free_audio_v3, Standard)                                                                                    \
    X(framesync_create, Standard)                                                                                      \
    X(framesync_destroy, Standard)                                                                                     \
    X(framesync_capture_audio, Standard)                                                                               \
    X(framesync_free_audio, Standard)                                                                                  \
    X(framesync_capture_video, Standard)                                                                               \
    X(framesync_free_video, Standard)                                                                                  \
    X(send_create, Standard)                                                                                           \
    X(send_destroy, Standard)                                                                                          \
    X(send_send_audio_v2, Standard)                                                                                    \
    X(send_send_video_v2, Standard)                                                                                    \
    X(find_create_v3, Advanced)                                                                                        \
    X(find_get_current_sources_v2, Advanced)                                                                           \
    X(recv_create_v4, Advanced)                                                                                        \
    X(send_create_v2, Advanced)

// The NDI runtime this process runs on: the built-in one linked into the
// program, or a library loaded at start-up (the vendor's, or Quorvane's own
// runtime built as a shared library). The engine calls the runtime only
// through `calls()` and the create and list helpers below, which pick the
// advanced or the standard call.
//
// A runtime is immutable once made and is never unloaded (a vendor runtime may
// keep threads of its own to the end of the process), so any thread may use
// it.
class NDIRuntime {
public:
    enum class Edition { Standard, Advanced };

    // Each member is named after its entry point without the "NDIlib_" prefix.
    // The advanced ones are null on a standard runtime.
    struct EntryPoints {
#define QUORVANE_NDI_ENTRY_POINT_MEMBER(name, edition) decltype(&NDIlib_##name) name = nullptr;
        QUORVANE_NDI_ENTRY_POINTS(QUORVANE_NDI_ENTRY_POINT_MEMBER)
#undef QUORVANE_NDI_ENTRY_POINT_MEMBER
    };

    // The runtime of this process, chosen and initialised on first use (any
    // thread): see select().
    static const NDIRuntime& active();

    // Chooses a runtime, first match wins: QUORVANE_NDI_RUNTIME=builtin, or
    // QUORVANE_NDI_RUNTIME=<path> (a library that fails falls back to the
    // built-in runtime); else the vendor's $NDI_RUNTIME_DIR_V6/libndi.so.6,
    // $NDI_RUNTIME_DIR_V5/libndi.so.5, then libndi.so.6 and libndi.so.5 on the
    // library path; else the built-in runtime. Every library that is found but
    // fails gets one log line with its path and the reason; the runtime chosen
    // gets the "NDI runtime:" line.
    static NDIRuntime select();
    // The runtime linked into the program.
    static NDIRuntime builtIn();
    // Loads the library at `path` (a file name alone is looked for on the
    // library path), resolves every entry point by name and initialises it.
    // On failure returns nothing, says why in `reason` and leaves the library
    // unused.
    static std::optional<NDIRuntime> load(const std::string& path, std::string& reason);

    const EntryPoints& calls() const {
        return _calls;
    }
    Edition edition() const {
        return _edition;
    }
    // The runtime's version text (empty when it gives none).
    const std::string& version() const {
        return _version;
    }
    // The loaded library's path, or "built-in".
    const std::string& location() const {
        return _location;
    }
    // "<version>, <path or built-in>, <advanced or standard>": what the log and
    // the About pop-up show.
    std::string description() const;

    // Discovery: local sources shown, no groups, no extra addresses.
    NDIlib_find_instance_t createFinder() const;
    // The names of the finder's current sources, walking the list with the
    // element size of the call that returned it. Null names are left out. The
    // texts stay valid until the next call on the same finder.
    void currentSourceNames(NDIlib_find_instance_t finder, std::vector<const char*>& names) const;
    NDIlib_recv_instance_t createReceiver(const NDIlib_recv_create_v3_t& settings) const;
    NDIlib_send_instance_t createSender(const NDIlib_send_create_t& settings) const;
    // The colour format for received pictures that are passed through to a
    // sender: as sent (compressed) on an advanced runtime, which a standard
    // runtime cannot do; it gets uncompressed pictures, which it encodes again
    // when they are sent.
    NDIlib_recv_color_format_e passThroughColourFormat() const;

private:
    NDIRuntime(const EntryPoints& calls, std::string location);

    EntryPoints _calls;
    Edition _edition = Edition::Standard;
    std::string _version;
    std::string _location;
};
