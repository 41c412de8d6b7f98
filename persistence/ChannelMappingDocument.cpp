#include "persistence/ChannelMappingDocument.h"

#include "audio/EngineLimits.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <unordered_map>
#include <utility>

using nlohmann::json;

namespace {

constexpr const char* kSenderListKey = "senderChannelMappings";
constexpr const char* kDelayListKey = "senderDelayMappings";
constexpr const char* kMappingListKey = "senderChannelMappings";
constexpr const char* kSenderNameKey = "senderName";
constexpr const char* kVideoSourceKey = "videoSource";
constexpr const char* kSourceChannelKey = "sourceChannel";
constexpr const char* kSourceNameKey = "sourceName";
constexpr const char* kDelayKey = "delay";

// The JSON library's own messages quote the text around the fault; keep log lines short.
constexpr std::size_t kMaxSyntaxMessageBytes = 200;

// A refused text; parse() turns it into its error.
struct Malformed {
    std::string message;
};

// Raised from the parser's callback to stop building a too deeply nested value.
struct TooDeep {};

// `where` is a JSON pointer to the offending value ("" for the top level).
[[noreturn]] void fail(const std::string& where, const std::string& problem) {
    throw Malformed{(where.empty() ? std::string("at the top level") : "at " + where) + ": " + problem};
}

std::string found(const json& value) {
    return std::string("found ") + value.type_name();
}

std::string child(const std::string& where, const char* key) {
    return where + "/" + key;
}

std::string child(const std::string& where, std::size_t index) {
    return where + "/" + std::to_string(index);
}

const json* member(const json& object, const char* key) {
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

const json& requiredMember(const json& object, const std::string& where, const char* key) {
    const json* value = member(object, key);
    if (!value) {
        fail(where, std::string("missing \"") + key + "\"");
    }
    return *value;
}

const json& requireObject(const json& value, const std::string& where) {
    if (!value.is_object()) {
        fail(where, "expected an object, " + found(value));
    }
    return value;
}

std::string readName(const json& value, const std::string& where) {
    if (!value.is_string()) {
        fail(where, "expected a string, " + found(value));
    }
    const auto& name = value.get_ref<const std::string&>();
    if (name.size() > EngineLimits::kMaxNameBytes) {
        fail(where, "name of " + std::to_string(name.size()) + " bytes, longer than " +
                        std::to_string(EngineLimits::kMaxNameBytes));
    }
    return name;
}

// Follows the JSON library's arithmetic conversion (a fraction is dropped
// toward zero, a boolean reads as 0 or 1) but refuses values outside [min, max]
// instead of letting them wrap.
int64_t readInteger(const json& value, const std::string& where, int64_t min, int64_t max) {
    const auto outOfRange = [&] {
        fail(where, "expected an integer from " + std::to_string(min) + " to " + std::to_string(max) + ", found " +
                        value.dump());
    };
    int64_t result = 0;
    if (value.is_boolean()) {
        result = value.get<bool>() ? 1 : 0;
    } else if (value.is_number_unsigned()) {
        const auto number = value.get<uint64_t>();
        if (number > static_cast<uint64_t>(max)) {
            outOfRange();
        }
        result = static_cast<int64_t>(number);
    } else if (value.is_number_integer()) {
        result = value.get<int64_t>();
    } else if (value.is_number_float()) {
        const double truncated = std::trunc(value.get<double>());
        if (!(truncated >= static_cast<double>(min) && truncated <= static_cast<double>(max))) {
            outOfRange();
        }
        result = static_cast<int64_t>(truncated);
    } else {
        fail(where, "expected an integer, " + found(value));
    }
    if (result < min || result > max) {
        outOfRange();
    }
    return result;
}

// Null, an empty array and an empty object all stand for an empty list.
bool isEmptyList(const json& list) {
    return list.is_null() || ((list.is_array() || list.is_object()) && list.empty());
}

void requireList(const json& list, const std::string& where) {
    if (!list.is_array() && !isEmptyList(list)) {
        fail(where, "expected an array, " + found(list));
    }
}

json parseJson(std::string_view text) {
    const json::parser_callback_t limitDepth = [](int depth, json::parse_event_t event, json&) {
        if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) &&
            depth >= ChannelMappingDocument::kMaxNestingDepth) {
            throw TooDeep{};
        }
        return true;
    };
    try {
        return json::parse(text.begin(), text.end(), limitDepth);
    } catch (const TooDeep&) {
        throw Malformed{"values nested deeper than " + std::to_string(ChannelMappingDocument::kMaxNestingDepth) +
                        " levels"};
    } catch (const json::exception& e) {
        std::string message = e.what();
        // Drop the library's "[json.exception.parse_error.101] " tag.
        if (const auto tagEnd = message.find("] "); message.starts_with("[json.exception.") && tagEnd != message.npos) {
            message.erase(0, tagEnd + 2);
        }
        if (message.size() > kMaxSyntaxMessageBytes) {
            message.resize(kMaxSyntaxMessageBytes);
            message += "...";
        }
        throw Malformed{"not valid JSON: " + message};
    }
}

ChannelMappingDocument::SenderEntry readSender(const json& entry, const std::string& where) {
    requireObject(entry, where);
    ChannelMappingDocument::SenderEntry sender;

    const std::string mappingsWhere = child(where, kMappingListKey);
    const json& mappings = requiredMember(entry, where, kMappingListKey);
    if (!mappings.is_array()) {
        fail(mappingsWhere, "expected an array, " + found(mappings));
    }
    if (mappings.size() > EngineLimits::kMaxSenderChannels) {
        fail(mappingsWhere, std::to_string(mappings.size()) + " channels, more than " +
                                std::to_string(EngineLimits::kMaxSenderChannels));
    }
    sender.mappings.reserve(mappings.size());
    for (std::size_t channel = 0; channel < mappings.size(); ++channel) {
        const std::string mappingWhere = child(mappingsWhere, channel);
        const json& mapping = requireObject(mappings[channel], mappingWhere);
        const int64_t sourceChannel = readInteger(requiredMember(mapping, mappingWhere, kSourceChannelKey),
                                                  child(mappingWhere, kSourceChannelKey), 0, UINT32_MAX);
        std::string sourceName =
            readName(requiredMember(mapping, mappingWhere, kSourceNameKey), child(mappingWhere, kSourceNameKey));
        // Counted from 1 in the file; 0 becomes ChannelMapping::kUnconnected by 32-bit wrap-around.
        sender.mappings.push_back({static_cast<uint32_t>(sourceChannel) - 1u, std::move(sourceName)});
    }

    sender.name = readName(requiredMember(entry, where, kSenderNameKey), child(where, kSenderNameKey));
    if (const json* videoSource = member(entry, kVideoSourceKey)) {
        sender.videoSource = readName(*videoSource, child(where, kVideoSourceKey));
    }
    return sender;
}

std::vector<ChannelMappingDocument::SenderEntry> readSenders(const json& list, const std::string& where) {
    requireList(list, where);
    std::vector<ChannelMappingDocument::SenderEntry> read;
    if (!list.is_array()) {
        return read;
    }
    read.reserve(list.size());
    for (std::size_t index = 0; index < list.size(); ++index) {
        read.push_back(readSender(list[index], child(where, index)));
    }

    // A name appearing twice would open two network outputs for one table
    // entry and count its connections twice: the last entry wins.
    std::vector<bool> keep(read.size(), true);
    {
        std::unordered_map<std::string_view, std::size_t> lastIndex;
        for (std::size_t index = 0; index < read.size(); ++index) {
            if (const auto [it, inserted] = lastIndex.try_emplace(read[index].name, index); !inserted) {
                keep[it->second] = false;
                it->second = index;
            }
        }
    }
    std::vector<ChannelMappingDocument::SenderEntry> senders;
    for (std::size_t index = 0; index < read.size(); ++index) {
        if (keep[index]) {
            senders.push_back(std::move(read[index]));
        }
    }
    return senders;
}

std::vector<ChannelMappingDocument::DelayEntry> readDelays(const json& list, const std::string& where) {
    requireList(list, where);
    std::vector<ChannelMappingDocument::DelayEntry> delays;
    if (!list.is_array()) {
        return delays;
    }
    std::unordered_map<std::string, std::size_t> position;
    for (std::size_t index = 0; index < list.size(); ++index) {
        const std::string entryWhere = child(where, index);
        const json& entry = requireObject(list[index], entryWhere);
        std::string name =
            readName(requiredMember(entry, entryWhere, kSenderNameKey), child(entryWhere, kSenderNameKey));
        const auto delayMs =
            static_cast<int>(readInteger(requiredMember(entry, entryWhere, kDelayKey), child(entryWhere, kDelayKey),
                                         -EngineLimits::kMaxDelayMs, EngineLimits::kMaxDelayMs));
        // Every sender without a delay is written with 0; that is the default anyway.
        if (delayMs == 0) {
            continue;
        }
        const auto [it, inserted] = position.try_emplace(name, delays.size());
        if (inserted) {
            delays.push_back({std::move(name), delayMs});
        } else {
            delays[it->second].delayMs = delayMs;
        }
    }
    return delays;
}

ChannelMappingDocument readDocument(std::string_view text) {
    if (text.size() > ChannelMappingDocument::kMaxTextBytes) {
        throw Malformed{"text of " + std::to_string(text.size()) + " bytes, larger than " +
                        std::to_string(ChannelMappingDocument::kMaxTextBytes)};
    }
    ChannelMappingDocument document;
    if (text.empty()) {
        return document;
    }
    const json root = parseJson(text);
    if (root.is_null()) {
        return document;
    }
    if (root.is_array()) {
        document.senders = readSenders(root, "");
        return document;
    }
    if (!root.is_object()) {
        fail("", "expected an object or an array, " + found(root));
    }
    if (const json* delayList = member(root, kDelayListKey)) {
        const std::string where = child("", kDelayListKey);
        document.delays = readDelays(*delayList, where);
        document.delayListPresent = !isEmptyList(*delayList);
    }
    if (const json* senderList = member(root, kSenderListKey)) {
        document.senders = readSenders(*senderList, child("", kSenderListKey));
    }
    return document;
}

// Valid UTF-8 is kept byte for byte; see serialize() for the rest.
std::string textForFile(const std::string& text) {
    try {
        (void)json(text).dump();
        return text;
    } catch (const json::type_error&) {
    }
    auto replaced = json::parse(json(text).dump(-1, ' ', false, json::error_handler_t::replace)).get<std::string>();
    if (replaced.size() > EngineLimits::kMaxNameBytes) {
        std::size_t cut = EngineLimits::kMaxNameBytes;
        while (cut > 0 && (static_cast<unsigned char>(replaced[cut]) & 0xC0u) == 0x80u) {
            --cut;
        }
        replaced.resize(cut);
    }
    return replaced;
}

} // namespace

int ChannelMappingDocument::delayMsFromSeconds(double seconds) {
    if (std::isnan(seconds)) {
        return 0;
    }
    constexpr auto kBound = static_cast<double>(EngineLimits::kMaxDelayMs);
    return static_cast<int>(std::lround(std::clamp(seconds * 1000.0, -kBound, kBound)));
}

std::string ChannelMappingDocument::serialize() const {
    json senderList = json::array();
    for (const SenderEntry& sender : senders) {
        json mappingList = json::array();
        for (const ChannelMapping& mapping : sender.mappings) {
            // Computed in 32 bits, so a channel fed by nothing is written as 0.
            const uint32_t fileChannel = mapping.sourceChannel + 1u;
            mappingList.push_back(
                json::object({{kSourceChannelKey, fileChannel}, {kSourceNameKey, textForFile(mapping.sourceName)}}));
        }
        senderList.push_back(json::object({{kMappingListKey, std::move(mappingList)},
                                           {kSenderNameKey, textForFile(sender.name)},
                                           {kVideoSourceKey, textForFile(sender.videoSource)}}));
    }
    json delayList = json::array();
    for (const DelayEntry& delay : delays) {
        delayList.push_back(
            json::object({{kDelayKey, delay.delayMs}, {kSenderNameKey, textForFile(delay.senderName)}}));
    }
    const json root = json::object({{kSenderListKey, std::move(senderList)}, {kDelayListKey, std::move(delayList)}});
    return root.dump(4) + "\n";
}

ChannelMappingDocument::ParseResult ChannelMappingDocument::parse(std::string_view text) {
    ParseResult result;
    try {
        result.document = readDocument(text);
    } catch (const Malformed& malformed) {
        result.error = malformed.message;
    }
    return result;
}
