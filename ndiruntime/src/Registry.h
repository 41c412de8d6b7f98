// The directory in which the senders of every process on this host are
// published: one small JSON file per sender, {"name", "port", "pid", "start"},
// written to a hidden temporary file and renamed into place so that readers
// never see half a file. A file whose process is gone is stale and is removed
// by whoever scans it.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ndiruntime {

struct RegistryEntry {
    std::string name;  // "HOST (stream name)"
    uint16_t port = 0; // TCP port on 127.0.0.1
    pid_t pid = 0;
    uint64_t startTime = 0; // process start in clock ticks since boot, tells a reused pid apart
};

class Registry {
public:
    // QUORVANE_NDI_DIR when set, else $XDG_RUNTIME_DIR/quorvane-ndi, else
    // /tmp/quorvane-ndi-<uid>. Read at construction.
    Registry();
    const std::string& directory() const { return _directory; }

    // Publishes a sender; returns the file's path, empty on failure (logged).
    std::string publish(const RegistryEntry& entry) const;
    static void withdraw(const std::string& file);
    // Every published sender whose process lives, sorted by name. Any thread.
    std::vector<RegistryEntry> scan() const;

    // This machine's host name with ASCII letters upper-cased.
    static std::string hostName();
    static uint64_t processStartTime(pid_t pid);

private:
    bool ensureDirectory() const;

    std::string _directory;
};

} // namespace ndiruntime
