#pragma once

#include "audio/RoutingTables.h"

#include <cstdint>
#include <vector>

// The per-block routing copy: fills every sender channel with exactly one
// captured source channel, or silence. Names are resolved once, when the
// routing changes (plan()), into pointers to the sources' containers and ready
// flags, so the block itself does no lookups: it is one block copy or one block
// of zeros per sender channel.
//
// The pointers stay valid until the next plan(): senders live in std::map
// nodes, containers behind unique_ptr, ready flags in unordered_map nodes, and
// none of them is erased without the controller planning again.
class BlockRouter {
public:
    // Audio thread, after routing events were applied (allocates only when the
    // plan grows). Reads the tables without a lock: only the audio thread
    // changes their structure.
    void plan(SenderTable& senders, const SenderChannelMappings& mappings, const SourceFrames& sourceFrames,
              const SourceAudioReady& audioReady);

    // Audio thread, once per block: no allocation, no lock.
    void route() const;

    // "Monitor", when it exists (as of the last plan()).
    Sender* monitor() const { return _monitor; }

private:
    struct Feed {
        const FramesContainer* frames = nullptr; // null: the source has no container
        const bool* ready = nullptr;             // the source's ready flag; null with `frames`
        uint32_t sourceChannel = 0;
    };
    struct SenderRoute {
        Sender* sender = nullptr;
        std::size_t firstFeed = 0;
        std::size_t feedCount = 0;
    };

    static void fill(float* destination, int samples, const Feed& feed);

    std::vector<Feed> _feeds;
    std::vector<SenderRoute> _routes;
    Sender* _monitor = nullptr;
};
