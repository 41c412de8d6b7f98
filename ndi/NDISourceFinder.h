#pragma once

#include "audio/RoutingTables.h"
#include "ndi/NDIRuntime.h"

#include "NDIlib.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

// Set while the audio controller lives: discovery runs and queued events are
// applied only while it is true. Written by the controller's thread, read by the
// discovery task and the audio thread.
extern std::atomic<bool> finderRunning;

// Keeps the set of NDI sources visible on the network, leaving out the senders
// that this program publishes itself, and tells its listener when the set
// changes. It has no thread of its own: the discovery task calls refresh().
class NDISourceFinder {
public:
    struct Listener {
        virtual ~Listener() = default;
        // Discovery task thread, with the finder's `_mutex` held; `sources` is
        // the finder's new, complete set in byte-wise order.
        virtual void sourcesChanged(const std::set<std::string>& sources) = 0;
        // Keys are this program's own sender names. Read only while the tables
        // mutex given to setListener is held.
        virtual const SenderChannelMappings& channelMappings() = 0;
    };

    // Creates the NDI finder (local sources shown, no groups, no extra addresses).
    NDISourceFinder();
    ~NDISourceFinder();
    NDISourceFinder(const NDISourceFinder&) = delete;
    NDISourceFinder& operator=(const NDISourceFinder&) = delete;

    // Reads the runtime's current sources, filters them and replaces `_sources`
    // when the set differs. Discovery task only (never two at once).
    NDISourceFinder& refresh();
    // The part of refresh after the runtime was asked: filters the names found
    // (null ones are skipped) and replaces `_sources` when the set differs.
    // Discovery task only.
    NDISourceFinder& applySources(const std::vector<const char*>& found);

    // GUI thread, before the first discovery task. `tablesMutex` guards the
    // listener's sender table; the finder holds it while it reads the keys.
    void setListener(Listener* listener, std::mutex* tablesMutex = nullptr);

    // The discovery task's view of the set (same task as refresh, no lock).
    const std::set<std::string>& sources() const { return _sources; }
    // Discovery task: writes every listed name to standard error, one per line.
    void writeSources() const;
    // Any thread: a copy taken under `_mutex`.
    std::set<std::string> sourcesSnapshot();

    // The host part of a name, as compared with this machine's host name.
    static std::string upperAscii(std::string_view text);
    // True when a source name is listed: it has both parentheses and is not one
    // of `ownSenders` published from `localHostName` (already upper case).
    static bool isListed(std::string_view name, std::string_view localHostName,
                         const SenderChannelMappings& ownSenders);

private:
    // Logs a name longer than the bound once; remembers a bounded number of them.
    void reportLongName(std::string_view name);

    std::set<std::string> _sources;
    NDIlib_find_instance_t _findInstance = nullptr;
    std::string _localHostName;
    Listener* _listener = nullptr;
    std::mutex _mutex; // guards the replacement of `_sources`
    std::mutex* _tablesMutex = nullptr;
    std::unordered_set<std::size_t> _reportedLongNames; // discovery task only
    const NDIRuntime& _ndi = NDIRuntime::active();
};
