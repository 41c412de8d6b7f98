#include "ndi/NDISourceFinder.h"

#include "audio/EngineLimits.h"

#include <QDebug>
#include <QString>

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <functional>
#include <utility>

std::atomic<bool> finderRunning{false};

namespace {

// How many distinct over-long names are remembered so that each is logged once.
constexpr std::size_t kMaxReportedLongNames = 256;

std::string hostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) {
        return {};
    }
    return name;
}

// Names come from the network: control bytes are written as \xNN so that one
// name stays one line on standard error.
void writeNameLine(const std::string& name) {
    std::string line;
    line.reserve(name.size() + 1);
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof(escaped), "\\x%02x", byte);
            line += escaped;
        } else {
            line += c;
        }
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

} // namespace

NDISourceFinder::NDISourceFinder() : _localHostName(upperAscii(hostName())) {
    _findInstance = _ndi.createFinder();
    if (_findInstance == nullptr) {
        qWarning() << "NDI finder could not be created: no sources will be discovered";
    }
}

NDISourceFinder::~NDISourceFinder() {
    if (_findInstance != nullptr) {
        _ndi.calls().find_destroy(_findInstance);
    }
}

void NDISourceFinder::setListener(Listener* listener, std::mutex* tablesMutex) {
    _listener = listener;
    _tablesMutex = tablesMutex;
}

std::set<std::string> NDISourceFinder::sourcesSnapshot() {
    std::lock_guard lock(_mutex);
    return _sources;
}

std::string NDISourceFinder::upperAscii(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return upper;
}

bool NDISourceFinder::isListed(std::string_view name, std::string_view localHostName,
                               const SenderChannelMappings& ownSenders) {
    const size_t open = name.find('(');
    const size_t close = name.find(')');
    if (open == std::string_view::npos || close == std::string_view::npos) {
        return false;
    }
    // The host part ends one byte before the "(", at the blank that separates it.
    const std::string_view host = name.substr(0, open > 0 ? open - 1 : 0);
    const std::string_view stream = close > open ? name.substr(open + 1, close - open - 1) : name.substr(open + 1);
    if (upperAscii(host) != localHostName) {
        return true;
    }
    return ownSenders.find(std::string(stream)) == ownSenders.end();
}

void NDISourceFinder::reportLongName(std::string_view name) {
    const std::size_t key = std::hash<std::string_view>{}(name);
    if (_reportedLongNames.count(key) != 0) {
        return;
    }
    if (_reportedLongNames.size() >= kMaxReportedLongNames) {
        _reportedLongNames.clear();
    }
    _reportedLongNames.insert(key);
    qWarning() << "NDI source ignored: its name is" << name.size() << "bytes long, more than"
               << EngineLimits::kMaxNameBytes << "; it starts with" << QString::fromUtf8(name.data(), 64);
}

NDISourceFinder& NDISourceFinder::refresh() {
    if (!finderRunning || _findInstance == nullptr) {
        return *this;
    }
    std::vector<const char*> found;
    _ndi.currentSourceNames(_findInstance, found);
    return applySources(found);
}

NDISourceFinder& NDISourceFinder::applySources(const std::vector<const char*>& found) {
    // Names are taken first, then filtered with the tables mutex held, briefly.
    std::vector<std::string_view> names;
    names.reserve(found.size());
    for (const char* text : found) {
        if (text == nullptr) {
            continue;
        }
        // Names longer than the bound are ignored without being copied.
        const std::string_view name(text);
        if (name.size() > EngineLimits::kMaxNameBytes) {
            reportLongName(name);
            continue;
        }
        qDebug() << "NDI source:" << QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
        if (!name.empty()) {
            names.push_back(name);
        }
    }

    std::set<std::string> fresh;
    {
        std::unique_lock<std::mutex> tablesLock;
        if (_tablesMutex != nullptr) {
            tablesLock = std::unique_lock(*_tablesMutex);
        }
        static const SenderChannelMappings noSenders;
        const SenderChannelMappings& own = _listener != nullptr ? _listener->channelMappings() : noSenders;
        for (const std::string_view name : names) {
            if (isListed(name, _localHostName, own)) {
                fresh.emplace(name);
            }
        }
    }

    if (fresh == _sources) {
        return *this;
    }
    std::fputs("set changed\n", stderr);
    std::lock_guard lock(_mutex);
    _sources.swap(fresh);
    if (finderRunning && _listener != nullptr) {
        _listener->sourcesChanged(_sources);
    }
    return *this;
}

void NDISourceFinder::writeSources() const {
    for (const std::string& name : _sources) {
        writeNameLine(name);
    }
}
