#include "Finder.h"

#include <chrono>

namespace ndiruntime {

namespace {
constexpr auto rescanPeriod = std::chrono::milliseconds(200);
}

Finder::Finder() {
    rescan();
    _thread = std::thread([this] { run(); });
}

Finder::~Finder() {
    {
        std::lock_guard lock(_mutex);
        _stop = true;
    }
    _stopChanged.notify_all();
    _thread.join();
}

void Finder::rescan() {
    std::vector<RegistryEntry> entries = _registry.scan();
    std::vector<RegistryEntry> unique;
    for (auto& entry : entries)
        if (unique.empty() || unique.back().name != entry.name)
            unique.push_back(std::move(entry));
    std::lock_guard lock(_mutex);
    _visible.swap(unique);
}

void Finder::run() {
    std::unique_lock lock(_mutex);
    while (!_stopChanged.wait_for(lock, rescanPeriod, [this] { return _stop; })) {
        lock.unlock();
        rescan();
        lock.lock();
    }
}

void Finder::takeScan() {
    std::vector<RegistryEntry> visible;
    {
        std::lock_guard lock(_mutex);
        visible = _visible;
    }
    _names.clear();
    _urls.clear();
    for (const auto& entry : visible) {
        _names.push_back(entry.name);
        _urls.push_back("127.0.0.1:" + std::to_string(entry.port));
    }
}

const NDIlib_source_t* Finder::currentSources(uint32_t& count) {
    takeScan();
    _returned.clear();
    for (size_t index = 0; index < _names.size(); ++index)
        _returned.push_back({_names[index].c_str(), _urls[index].c_str()});
    count = static_cast<uint32_t>(_returned.size());
    return _returned.empty() ? nullptr : _returned.data();
}

const NDIlib_source_v2_t* Finder::currentSourcesV2(uint32_t& count) {
    takeScan();
    _returnedV2.clear();
    for (size_t index = 0; index < _names.size(); ++index)
        _returnedV2.push_back({_names[index].c_str(), _urls[index].c_str(), nullptr});
    count = static_cast<uint32_t>(_returnedV2.size());
    return _returnedV2.empty() ? nullptr : _returnedV2.data();
}

} // namespace ndiruntime
