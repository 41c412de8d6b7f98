#include "CreateConfig.h"

#include "Log.h"

#include <nlohmann/json.hpp>

namespace ndiruntime {

CreateConfig CreateConfig::parse(const char* text) {
    CreateConfig config;
    if (!text || !*text)
        return config;
    auto json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_object()) {
        logLine("ignoring a configuration that is not a JSON object");
        return config;
    }
    if (auto host = json.find("host"); host != json.end() && host->is_string())
        config.host = host->get<std::string>();
    return config;
}

} // namespace ndiruntime
