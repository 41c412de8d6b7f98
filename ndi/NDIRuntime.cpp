#include "ndi/NDIRuntime.h"

#include <QDebug>
#include <QString>
#include <QtGlobal>

#include <dlfcn.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <type_traits>
#include <utility>

namespace {

// The configuration text passed with every advanced create call.
constexpr const char* kCreateConfig = "{}";

// A vendor library that `path` names but that is simply not installed is no
// news; any other failure of it is.
bool absent(const std::string& path, const std::string& reason) {
    return reason.starts_with(path + ": cannot open shared object file: No such file or directory");
}

// Loads `path`, or logs why it is not used.
std::optional<NDIRuntime> tryLibrary(const std::string& path, bool quietWhenAbsent) {
    std::string reason;
    std::optional<NDIRuntime> runtime = NDIRuntime::load(path, reason);
    if (!runtime && !(quietWhenAbsent && absent(path, reason))) {
        qWarning().noquote() << "NDI runtime library" << QString::fromStdString(path)
                             << "not used:" << QString::fromStdString(reason);
    }
    return runtime;
}

// The vendor's own conventions: a folder named by its variable, then the
// system's library path.
std::optional<NDIRuntime> vendorRuntime() {
    const std::array<std::pair<const char*, const char*>, 2> folders{{
        {"NDI_RUNTIME_DIR_V6", "libndi.so.6"},
        {"NDI_RUNTIME_DIR_V5", "libndi.so.5"},
    }};
    for (const auto& [variable, file] : folders) {
        const QByteArray folder = qgetenv(variable);
        if (folder.isEmpty()) {
            continue;
        }
        if (auto runtime = tryLibrary((std::filesystem::path(folder.toStdString()) / file).string(), false)) {
            return runtime;
        }
    }
    for (const auto& [variable, file] : folders) {
        if (auto runtime = tryLibrary(file, true)) {
            return runtime;
        }
    }
    return std::nullopt;
}

} // namespace

NDIRuntime::NDIRuntime(const EntryPoints& calls, std::string location) : _calls(calls), _location(std::move(location)) {
    const bool advanced = _calls.find_create_v3 != nullptr && _calls.find_get_current_sources_v2 != nullptr &&
                          _calls.recv_create_v4 != nullptr && _calls.send_create_v2 != nullptr;
    _edition = advanced ? Edition::Advanced : Edition::Standard;
    if (!advanced) {
        // A runtime with only some of the advanced calls is used as a standard one.
        _calls.find_create_v3 = nullptr;
        _calls.find_get_current_sources_v2 = nullptr;
        _calls.recv_create_v4 = nullptr;
        _calls.send_create_v2 = nullptr;
    }
    const char* version = _calls.version();
    _version = version != nullptr ? version : "";
}

const NDIRuntime& NDIRuntime::active() {
    // Never destroyed: engine objects may still close their handles while the
    // process exits.
    static const NDIRuntime* const runtime = new NDIRuntime(select());
    return *runtime;
}

NDIRuntime NDIRuntime::select() {
    const QByteArray chosen = qgetenv("QUORVANE_NDI_RUNTIME");
    std::optional<NDIRuntime> loaded;
    if (chosen.isEmpty()) {
        loaded = vendorRuntime();
    } else if (chosen != "builtin") {
        loaded = tryLibrary(chosen.toStdString(), false);
    }
    NDIRuntime runtime = loaded ? std::move(*loaded) : builtIn();
    qInfo().noquote() << "NDI runtime:" << QString::fromStdString(runtime.description());
    return runtime;
}

NDIRuntime NDIRuntime::builtIn() {
    EntryPoints calls;
#define QUORVANE_NDI_LINK_ENTRY_POINT(name, edition) calls.name = &NDIlib_##name;
    QUORVANE_NDI_ENTRY_POINTS(QUORVANE_NDI_LINK_ENTRY_POINT)
#undef QUORVANE_NDI_LINK_ENTRY_POINT
    return NDIRuntime(calls, "built-in");
}

std::optional<NDIRuntime> NDIRuntime::load(const std::string& path, std::string& reason) {
    dlerror();
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* error = dlerror();
        reason = error != nullptr ? error : "it could not be loaded";
        return std::nullopt;
    }

    EntryPoints calls;
    std::string missing;
    const auto resolve = [&](auto& slot, const char* name, Edition edition) {
        void* address = dlsym(library, name);
        if (address == nullptr && edition == Edition::Standard && missing.empty()) {
            missing = name;
        }
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(address);
    };
#define QUORVANE_NDI_RESOLVE_ENTRY_POINT(name, edition) resolve(calls.name, "NDIlib_" #name, Edition::edition);
    QUORVANE_NDI_ENTRY_POINTS(QUORVANE_NDI_RESOLVE_ENTRY_POINT)
#undef QUORVANE_NDI_RESOLVE_ENTRY_POINT
    if (!missing.empty()) {
        reason = "it lacks the entry point " + missing;
        dlclose(library);
        return std::nullopt;
    }
    if (!calls.initialize()) {
        reason = "NDIlib_initialize returned false (the runtime does not support this CPU or system)";
        dlclose(library);
        return std::nullopt;
    }

    // A name alone was looked for on the library path: the file found is named.
    Dl_info info{};
    const bool found = path.find('/') == std::string::npos &&
                       dladdr(reinterpret_cast<void*>(calls.initialize), &info) != 0 && info.dli_fname != nullptr &&
                       info.dli_fname[0] != '\0';
    return NDIRuntime(calls, found ? std::string(info.dli_fname) : path);
}

std::string NDIRuntime::description() const {
    return _version + ", " + _location + ", " + (_edition == Edition::Advanced ? "advanced" : "standard");
}

NDIlib_find_instance_t NDIRuntime::createFinder() const {
    NDIlib_find_create_t settings{};
    settings.show_local_sources = true;
    settings.p_groups = nullptr;
    settings.p_extra_ips = nullptr;
    return _edition == Edition::Advanced ? _calls.find_create_v3(&settings, kCreateConfig)
                                         : _calls.find_create_v2(&settings);
}

void NDIRuntime::currentSourceNames(NDIlib_find_instance_t finder, std::vector<const char*>& names) const {
    names.clear();
    uint32_t count = 0;
    const auto take = [&](const auto* sources) {
        for (uint32_t index = 0; sources != nullptr && index < count; ++index) {
            if (sources[index].p_ndi_name != nullptr) {
                names.push_back(sources[index].p_ndi_name);
            }
        }
    };
    if (_edition == Edition::Advanced) {
        take(_calls.find_get_current_sources_v2(finder, &count));
    } else {
        take(_calls.find_get_current_sources(finder, &count));
    }
}

NDIlib_recv_instance_t NDIRuntime::createReceiver(const NDIlib_recv_create_v3_t& settings) const {
    return _edition == Edition::Advanced ? _calls.recv_create_v4(&settings, kCreateConfig)
                                         : _calls.recv_create_v3(&settings);
}

NDIlib_send_instance_t NDIRuntime::createSender(const NDIlib_send_create_t& settings) const {
    return _edition == Edition::Advanced ? _calls.send_create_v2(&settings, kCreateConfig)
                                         : _calls.send_create(&settings);
}

NDIlib_recv_color_format_e NDIRuntime::passThroughColourFormat() const {
    return _edition == Edition::Advanced ? NDIlib_recv_color_format_compressed_v5 : NDIlib_recv_color_format_UYVY_BGRA;
}
