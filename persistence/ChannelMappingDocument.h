#pragma once

#include "audio/ChannelMapping.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The routing as it is stored in a channel-mapping file, and the file's text.
// It knows nothing of the controller: the controller gathers its tables into
// one of these to save, and turns a parsed one into its routing events.
// Plain value type; every operation runs on the calling thread (any thread).
//
// Text written: one JSON object with the members "senderChannelMappings"
// (sender entries) and "senderDelayMappings" (delay entries), keys sorted,
// 4-space indent, non-ASCII characters as raw UTF-8, one "\n" at the end.
// Channel numbers are written counted from 1 (0 = fed by nothing).
//
// Text read: any JSON layout; the root object (either member may be absent)
// or a bare array of sender entries with no delays; "videoSource" may be
// absent; members with other keys are ignored; an empty text is an empty
// routing. Anything else makes parse() fail with a description of the
// problem and no routing at all, so that a bad file never changes the routing:
// wrong JSON types anywhere, missing members, more than
// EngineLimits::kMaxSenderChannels channels, delays beyond
// EngineLimits::kMaxDelayMs, names longer than EngineLimits::kMaxNameBytes,
// texts longer than kMaxTextBytes, nesting deeper than kMaxNestingDepth.
class ChannelMappingDocument {
public:
    // One sender: its name, its channel map in channel order (the channel
    // count is the map's size) and the source whose video it passes through.
    struct SenderEntry {
        std::string name;
        std::vector<ChannelMapping> mappings;
        std::string videoSource; // empty when none

        bool operator==(const SenderEntry&) const = default;
    };

    // One sender's A/V delay in whole milliseconds.
    struct DelayEntry {
        std::string senderName;
        int delayMs = 0;

        bool operator==(const DelayEntry&) const = default;
    };

    struct ParseResult;

    // Far above any real routing (a full 64-channel sender takes about 10 KB);
    // bounds the memory a hostile file can make the reader use.
    static constexpr std::size_t kMaxTextBytes = 16u * 1024u * 1024u;
    // A real document nests 5 levels; anything deeper is refused before it is built.
    static constexpr int kMaxNestingDepth = 64;

    // Written: in table order. Parsed: in file order, one entry per name (of
    // several entries with the same name the last one wins, in its own place).
    std::vector<SenderEntry> senders{};
    // Written: one entry per sender, 0 included. Parsed: only non-zero delays,
    // one entry per name in order of first appearance, holding the value of
    // the last non-zero entry for that name.
    std::vector<DelayEntry> delays{};
    // Parsed: the text held a non-empty delay list (its delays may all be 0).
    bool delayListPresent = false;

    bool operator==(const ChannelMappingDocument&) const = default;

    // A delay held in seconds as whole milliseconds, rounded half away from
    // zero (0.04 s is 40, not 39), kept within EngineLimits::kMaxDelayMs so
    // that the file can be read back; NaN counts as no delay.
    static int delayMsFromSeconds(double seconds);

    // The file's text. Names that are not valid UTF-8 are written with each
    // invalid sequence replaced by U+FFFD (so the file stays valid JSON and
    // reads back), cut to EngineLimits::kMaxNameBytes at a character boundary.
    std::string serialize() const;

    // Reads a file's text; either the document or the reason it was refused.
    static ParseResult parse(std::string_view text);
};

struct ChannelMappingDocument::ParseResult {
    ChannelMappingDocument document; // empty when the text was refused
    std::string error;               // what is wrong and where; empty when the text was read

    bool ok() const { return error.empty(); }
};
