// The JSON configuration text that the create calls accept. Unknown keys are
// ignored; a text that is not a JSON object is logged and treated as empty.
#pragma once

#include <string>

namespace ndiruntime {

struct CreateConfig {
    std::string host; // "host": the host part of a sender's published name; empty for this machine's

    static CreateConfig parse(const char* text);
};

} // namespace ndiruntime
