// A finder: a background thread rescans the registry every 200 ms, so that
// asking for the current sources never waits.
#pragma once

#include "NDIlib.h"
#include "Registry.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ndiruntime {

class Finder {
public:
    Finder();
    ~Finder();
    Finder(const Finder&) = delete;
    Finder& operator=(const Finder&) = delete;

    // The sources seen at the latest scan, sorted by name, without duplicates,
    // as the standard (16-byte) or the advanced (24-byte) list. The array stays
    // valid until the next call or the finder's destruction. The thread that
    // owns the finder.
    const NDIlib_source_t* currentSources(uint32_t& count);
    const NDIlib_source_v2_t* currentSourcesV2(uint32_t& count);

private:
    void run();
    void rescan();
    // Copies the latest scan into `_names` and `_urls`.
    void takeScan();

    Registry _registry;
    std::mutex _mutex; // guards _visible and _stop
    std::condition_variable _stopChanged;
    std::vector<RegistryEntry> _visible;
    bool _stop = false;

    // What the latest currentSources() returned; the caller's thread alone.
    std::vector<std::string> _names;
    std::vector<std::string> _urls;
    std::vector<NDIlib_source_t> _returned;
    std::vector<NDIlib_source_v2_t> _returnedV2;

    std::thread _thread;
};

} // namespace ndiruntime
