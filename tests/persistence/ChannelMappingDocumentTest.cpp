#include "persistence/ChannelMappingDocument.h"

#include "audio/EngineLimits.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <ostream>
#include <sstream>

using Document = ChannelMappingDocument;
using testing::HasSubstr;

// Failure messages show documents as their file text.
void PrintTo(const ChannelMappingDocument& document, std::ostream* out) {
    *out << "delayListPresent=" << document.delayListPresent << "\n" << document.serialize();
}

namespace {

ChannelMapping fed(uint32_t sourceChannel, std::string sourceName) {
    return {sourceChannel, std::move(sourceName)};
}

const ChannelMapping unfed{};

std::string goldenFile(const std::string& name) {
    std::ifstream in(std::string(QUORVANE_PERSISTENCE_GOLDEN_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in) << name;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A sender entry with `channels` channels, each fed by channel 1 of "S".
std::string senderEntryText(const std::string& name, std::size_t channels) {
    std::string text = R"({"senderName": ")" + name + R"(", "senderChannelMappings": [)";
    for (std::size_t i = 0; i < channels; ++i) {
        text += std::string(i ? "," : "") + R"({"sourceChannel": 1, "sourceName": "S"})";
    }
    return text + "]}";
}

// A JSON array of the given element texts.
std::string arrayOf(std::initializer_list<std::string> elements) {
    std::string text = "[";
    for (const std::string& element : elements) {
        text += (text.size() > 1 ? "," : "") + element;
    }
    return text + "]";
}

TEST(ChannelMappingFileText, exampleRoutingIsWrittenByteForByteAsTheExampleFile) {
    const Document example{
        .senders = {{"Zelka Sender 2", {fed(0, "STUDIO-1 (Mixer)"), unfed}, "STUDIO-1 (Camera)"}},
        .delays = {{"Zelka Sender 2", Document::delayMsFromSeconds(0.04)}},
    };
    const std::string golden = goldenFile("example.zelkac");
    EXPECT_EQ(example.serialize(), golden);

    Document expected = example;
    expected.delayListPresent = true;
    const auto parsed = Document::parse(golden);
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    EXPECT_EQ(parsed.document, expected);
}

TEST(ChannelMappingFileText, emptyRoutingIsWrittenWithBothListsEmpty) {
    EXPECT_EQ(Document{}.serialize(), goldenFile("empty-routing.zelkac"));
}

TEST(ChannelMappingFileText, delaysAreRoundedToWholeMillisecondsHalfAwayFromZero) {
    const struct {
        double seconds;
        int ms;
    } cases[] = {
        {0.04, 40},    {-0.04, -40},   {0.0399, 40},
        {0.0625, 63},  {-0.0625, -63}, {0.0, 0},
        {11.0, 10000}, {-11, -10000},  {std::numeric_limits<double>::quiet_NaN(), 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Document::delayMsFromSeconds(c.seconds), c.ms) << c.seconds;
    }
}

TEST(ChannelMappingFileText, savedRoutingReadsBackUnchanged) {
    Document saved{
        .senders =
            {
                {"Zelka Sender 1", {fed(0, "HOST (A)"), unfed, fed(7, "HOST (A)"), fed(0xFFFFFFFEu, "HOST (B)")}, ""},
                {"No Channels", {}, "HOST (Camera)"},
                {"Bühne ♪ \"quoted\" \\ tab\t", {fed(1, "Ünïcødé (源)")}, "Ünïcødé (源)"},
                {"Monitor", {unfed, unfed}, ""},
            },
        .delays = {{"Zelka Sender 1", 250}, {"No Channels", 0}, {"Bühne ♪ \"quoted\" \\ tab\t", -40}, {"Monitor", 0}},
    };
    const std::string text = saved.serialize();
    EXPECT_THAT(text, HasSubstr(R"("senderChannelMappings": [],)"));
    EXPECT_THAT(text, HasSubstr("Bühne ♪")) << "non-ASCII characters are written as raw UTF-8";

    const auto parsed = Document::parse(text);
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    EXPECT_EQ(parsed.document.senders, saved.senders);
    const std::vector<Document::DelayEntry> nonZero{{"Zelka Sender 1", 250}, {"Bühne ♪ \"quoted\" \\ tab\t", -40}};
    EXPECT_EQ(parsed.document.delays, nonZero);
    EXPECT_TRUE(parsed.document.delayListPresent);
}

TEST(ChannelMappingFileText, namesThatAreNotUtf8AreWrittenAsReadableText) {
    const std::string replacement = "\xEF\xBF\xBD"; // U+FFFD
    const std::string longInvalid(EngineLimits::kMaxNameBytes, '\xFF');
    const Document saved{
        .senders = {{"Bad\xFF"
                     "Sender",
                     {fed(0, "Cut \xC3"), fed(1, longInvalid)},
                     "\xFE"
                     "Camera"}},
        .delays = {{"Bad\xFF"
                    "Sender",
                    40}},
    };
    const auto parsed = Document::parse(saved.serialize());
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    ASSERT_EQ(parsed.document.senders.size(), 1u);
    const auto& sender = parsed.document.senders[0];
    EXPECT_EQ(sender.name, "Bad" + replacement + "Sender");
    EXPECT_EQ(sender.videoSource, replacement + "Camera");
    ASSERT_EQ(sender.mappings.size(), 2u);
    EXPECT_EQ(sender.mappings[0], fed(0, "Cut " + replacement));
    // Each invalid byte triples in size; the name is cut back to the bound at a character boundary.
    std::string cutBack;
    while (cutBack.size() + replacement.size() <= EngineLimits::kMaxNameBytes) {
        cutBack += replacement;
    }
    EXPECT_EQ(sender.mappings[1], fed(1, cutBack));
    EXPECT_EQ(parsed.document.delays, (std::vector<Document::DelayEntry>{{sender.name, 40}}));
}

TEST(ChannelMappingFileReading, acceptedDocumentsGiveTheirRouting) {
    const std::string maxName(EngineLimits::kMaxNameBytes, 'n');
    const Document fullDocument{
        .senders = {{maxName, std::vector<ChannelMapping>(EngineLimits::kMaxSenderChannels, fed(0, "S")), ""}},
        .delays = {{"A", 10000}, {"B", -10000}},
        .delayListPresent = true,
    };

    const struct {
        const char* what;
        std::string text;
        Document expected;
    } cases[] = {
        {"an empty file is an empty routing", "", {}},
        {"a null document is an empty routing", "null", {}},
        {"a root without either list is an empty routing", "{}", {}},
        {"null lists and an empty object as delay list are empty",
         R"({"senderChannelMappings": null, "senderDelayMappings": {}})",
         {}},
        {"a top-level array is a list of senders without delays; videoSource may be absent",
         R"([{"senderName": "A", "senderChannelMappings": [{"sourceChannel": 3, "sourceName": "S"},
                                                           {"sourceChannel": 1, "sourceName": "S"}]}])",
         {.senders = {{"A", {fed(2, "S"), fed(0, "S")}, ""}}}},
        {"a root without delays keeps its senders",
         R"({"senderChannelMappings": [{"senderName": "A", "senderChannelMappings": [], "videoSource": "V"}]})",
         {.senders = {{"A", {}, "V"}}}},
        {"a root without senders keeps its delays",
         R"({"senderDelayMappings": [{"senderName": "A", "delay": 40}]})",
         {.delays = {{"A", 40}}, .delayListPresent = true}},
        {"zero delays are skipped and the last non-zero delay of a sender wins",
         R"({"senderDelayMappings": [{"senderName": "A", "delay": 40}, {"senderName": "B", "delay": 0},
                                     {"senderName": "A", "delay": -25}, {"senderName": "C", "delay": 7},
                                     {"senderName": "A", "delay": 0}]})",
         {.delays = {{"A", -25}, {"C", 7}}, .delayListPresent = true}},
        {"a delay list of zeros is present but gives no delays",
         R"({"senderDelayMappings": [{"senderName": "A", "delay": 0}]})",
         {.delayListPresent = true}},
        {"numbers convert as the JSON library converts them",
         R"({"senderChannelMappings": [{"senderName": "A", "senderChannelMappings": [
                {"sourceChannel": 2.9, "sourceName": "S"}, {"sourceChannel": true, "sourceName": "S"},
                {"sourceChannel": false, "sourceName": ""}, {"sourceChannel": 0, "sourceName": "S"},
                {"sourceChannel": 4294967295, "sourceName": "S"}]}],
             "senderDelayMappings": [{"senderName": "A", "delay": 40.7}, {"senderName": "B", "delay": -40.7},
                                     {"senderName": "C", "delay": true}]})",
         {.senders = {{"A",
                       {fed(1, "S"), fed(0, "S"), unfed, fed(ChannelMapping::kUnconnected, "S"), fed(0xFFFFFFFEu, "S")},
                       ""}},
          .delays = {{"A", 40}, {"B", -40}, {"C", 1}},
          .delayListPresent = true}},
        {"of two senders with one name the later entry wins",
         arrayOf({senderEntryText("A", 1), senderEntryText("B", 1), senderEntryText("A", 2)}),
         {.senders = {{"B", {fed(0, "S")}, ""}, {"A", {fed(0, "S"), fed(0, "S")}, ""}}}},
        {"members with other keys are ignored",
         R"({"version": 2, "senderChannelMappings": [{"senderName": "A", "colour": [[{}]],
                "senderChannelMappings": [{"sourceChannel": 1, "sourceName": "S", "gain": "x"}]}]})",
         {.senders = {{"A", {fed(0, "S")}, ""}}}},
        {"the largest channel count, delays and names are accepted",
         R"({"senderChannelMappings": )" + arrayOf({senderEntryText(maxName, EngineLimits::kMaxSenderChannels)}) +
             R"(, "senderDelayMappings": [{"senderName": "A", "delay": 10000}, {"senderName": "B", "delay": -10000}]})",
         fullDocument},
    };
    for (const auto& c : cases) {
        const auto parsed = Document::parse(c.text);
        EXPECT_TRUE(parsed.ok()) << c.what << ": " << parsed.error;
        EXPECT_EQ(parsed.document, c.expected) << c.what;
    }
}

TEST(ChannelMappingFileReading, malformedDocumentsAreRefusedWithTheProblemNamed) {
    const std::string longName(EngineLimits::kMaxNameBytes + 1, 'n');
    std::string deep = R"({"x": )" + std::string(200, '[') + std::string(200, ']') + "}";

    const struct {
        std::string text;
        const char* problem;
    } cases[] = {
        {"not json", "not valid JSON"},
        {"{", "not valid JSON"},
        {"   \n", "not valid JSON"},
        {"{} {}", "not valid JSON"},
        {R"({/* comment */})", "not valid JSON"},
        {R"([{"senderName": "Bad)"
         "\xFF"
         R"(", "senderChannelMappings": []}])",
         "not valid JSON"},
        {"[1e400]", "not valid JSON"},
        {deep, "nested deeper than 64 levels"},
        {std::string(Document::kMaxTextBytes + 1, ' '), "larger than"},
        {R"("text")", "at the top level: expected an object or an array, found string"},
        {"42", "at the top level: expected an object or an array, found number"},
        {R"({"senderChannelMappings": "A"})", "at /senderChannelMappings: expected an array, found string"},
        {R"({"senderChannelMappings": {"a": {}}})", "at /senderChannelMappings: expected an array, found object"},
        {R"({"senderDelayMappings": 5})", "at /senderDelayMappings: expected an array, found number"},
        {"[1]", "at /0: expected an object, found number"},
        {R"([{"senderChannelMappings": []}])", R"(at /0: missing "senderName")"},
        {R"([{"senderName": "A"}])", R"(at /0: missing "senderChannelMappings")"},
        {R"([{"senderName": "A", "senderChannelMappings": {}}])",
         "at /0/senderChannelMappings: expected an array, found object"},
        {R"([{"senderName": "A", "senderChannelMappings": [3]}])",
         "at /0/senderChannelMappings/0: expected an object, found number"},
        {R"([{"senderName": "A", "senderChannelMappings": [{"sourceChannel": "1", "sourceName": "S"}]}])",
         "at /0/senderChannelMappings/0/sourceChannel: expected an integer, found string"},
        {R"([{"senderName": "A", "senderChannelMappings": [{"sourceChannel": 1}]}])",
         R"(at /0/senderChannelMappings/0: missing "sourceName")"},
        {R"([{"senderName": "A", "senderChannelMappings": [{"sourceName": "S"}]}])",
         R"(at /0/senderChannelMappings/0: missing "sourceChannel")"},
        {R"([{"senderName": "A", "senderChannelMappings": [{"sourceChannel": 1, "sourceName": 5}]}])",
         "at /0/senderChannelMappings/0/sourceName: expected a string, found number"},
        {R"([{"senderName": "A", "senderChannelMappings": [{"sourceChannel": -1, "sourceName": "S"}]}])",
         "at /0/senderChannelMappings/0/sourceChannel: expected an integer from 0 to 4294967295, found -1"},
        {R"([{"senderName": "A", "senderChannelMappings": [{"sourceChannel": 4294967296, "sourceName": "S"}]}])",
         "expected an integer from 0 to 4294967295"},
        {R"([{"senderName": "A", "senderChannelMappings": [{"sourceChannel": 1e300, "sourceName": "S"}]}])",
         "expected an integer from 0 to 4294967295"},
        {R"([{"senderName": ["A"], "senderChannelMappings": []}])", "at /0/senderName: expected a string, found array"},
        {R"([{"senderName": "A", "senderChannelMappings": [], "videoSource": 1}])",
         "at /0/videoSource: expected a string, found number"},
        {R"([{"senderName": "A", "senderChannelMappings": [], "videoSource": null}])",
         "at /0/videoSource: expected a string, found null"},
        {arrayOf({senderEntryText("A", EngineLimits::kMaxSenderChannels + 1)}),
         "at /0/senderChannelMappings: 65 channels, more than 64"},
        {arrayOf({senderEntryText(longName, 0)}), "at /0/senderName: name of 1025 bytes, longer than 1024"},
        {R"({"senderChannelMappings": [{"senderName": "A", "senderChannelMappings": [], "videoSource": ")" + longName +
             R"("}]})",
         "at /senderChannelMappings/0/videoSource: name of 1025 bytes"},
        {R"({"senderDelayMappings": [{"senderName": "A", "delay": 10001}]})",
         "at /senderDelayMappings/0/delay: expected an integer from -10000 to 10000, found 10001"},
        {R"({"senderDelayMappings": [{"senderName": "A", "delay": -10001.5}]})", "from -10000 to 10000"},
        {R"({"senderDelayMappings": [{"senderName": "A", "delay": 1e9}]})", "from -10000 to 10000"},
        {R"({"senderDelayMappings": [{"senderName": "A", "delay": "40"}]})",
         "at /senderDelayMappings/0/delay: expected an integer, found string"},
        {R"({"senderDelayMappings": [{"delay": 40}]})", R"(at /senderDelayMappings/0: missing "senderName")"},
        {R"({"senderDelayMappings": [{"senderName": "A"}]})", R"(at /senderDelayMappings/0: missing "delay")"},
        {R"({"senderDelayMappings": [[]]})", "at /senderDelayMappings/0: expected an object, found array"},
        {R"({"senderDelayMappings": [{"senderName": ")" + longName + R"(", "delay": 0}]})",
         "at /senderDelayMappings/0/senderName: name of 1025 bytes"},
    };
    for (const auto& c : cases) {
        const auto parsed = Document::parse(c.text);
        const std::string shown = c.text.substr(0, 120);
        EXPECT_THAT(parsed.error, HasSubstr(c.problem)) << shown;
        EXPECT_EQ(parsed.document, Document{}) << shown;
    }
}

} // namespace
