// host.cpp: see host.h.
#include "standin/host.h"

#include <algorithm>
#include <cstring>
#include <utility>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX // std::min and std::max, not the Windows macros
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#endif

namespace tarvelo::standin {

loaded_library::~loaded_library() {
    if (handle_ != nullptr) {
#if defined(_WIN32)
        FreeLibrary(static_cast<HMODULE>(handle_));
#else
        dlclose(handle_);
#endif
    }
}

loaded_library::loaded_library(loaded_library &&other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), entry_(std::exchange(other.entry_, nullptr)) {
}

loaded_library &loaded_library::operator=(loaded_library &&other) noexcept {
    if (this != &other) {
        loaded_library gone(std::move(*this));
        handle_ = std::exchange(other.handle_, nullptr);
        entry_ = std::exchange(other.entry_, nullptr);
    }
    return *this;
}

bool loaded_library::load(const std::string &path, const std::string &entry_name,
                          std::string *error) {
#if defined(_WIN32)
    // GetProcAddress looks in the module alone: a name of a DLL it imports
    // is not found.
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        *error = "cannot load " + path + ": error " + std::to_string(GetLastError());
        failure_ = problem::cannot_load;
        return false;
    }
    FARPROC symbol = GetProcAddress(module, entry_name.c_str());
    if (symbol == nullptr) {
        *error = path + " has no entry point named " + entry_name;
        failure_ = problem::no_such_entry;
        FreeLibrary(module);
        return false;
    }
    handle_ = module;
    entry_ = reinterpret_cast<tarvelo_entry_fn *>(reinterpret_cast<void *>(symbol));
#else
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *why = dlerror();
        *error = "cannot load " + path + ": " + (why != nullptr ? why : "unknown error");
        failure_ = problem::cannot_load;
        return false;
    }
    // dlsym searches the libraries the handle depends on as well: the
    // symbol must lie in the library's own object.
    void *symbol = dlsym(handle, entry_name.c_str());
    struct link_map *own = nullptr;
    struct link_map *owner = nullptr;
    Dl_info info{};
    const bool own_symbol =
        symbol != nullptr && dlinfo(handle, RTLD_DI_LINKMAP, &own) == 0 &&
        dladdr1(symbol, &info, reinterpret_cast<void **>(&owner), RTLD_DL_LINKMAP) != 0 &&
        own != nullptr && owner == own;
    if (!own_symbol) {
        if (symbol == nullptr) {
            *error = path + " has no entry point named " + entry_name;
            failure_ = problem::no_such_entry;
        } else {
            *error = path + " does not define " + entry_name + " itself: the name is " +
                     (info.dli_fname != nullptr ? "defined by " + std::string(info.dli_fname) + ", "
                                                : std::string()) +
                     "a library it uses, and only the exit's own entry point is called";
            failure_ = problem::entry_elsewhere;
        }
        dlclose(handle);
        return false;
    }
    handle_ = handle;
    entry_ = reinterpret_cast<tarvelo_entry_fn *>(symbol);
#endif
    return true;
}

void set_field(char *field, std::size_t width, std::string_view value) {
    std::memset(field, ' ', width);
    std::memcpy(field, value.data(), std::min(width, value.size()));
}

channel::channel(tarvelo_entry_fn *entry, const channel_config &config)
    : channel(entry, config, nullptr, config.exchange_size) {}

channel::channel(tarvelo_entry_fn *entry, const channel_config &config, std::uint8_t *exchange,
                 std::int32_t size)
    : entry_(entry), exchange_length_(size) {
    set_field(params_.exit_data, sizeof params_.exit_data, config.exit_data);
    set_field(definition_.channel_name, sizeof definition_.channel_name, config.name);
    std::memset(definition_.reserved, ' ', sizeof definition_.reserved);
    set_field(definition_.password, sizeof definition_.password, config.password);
    if (exchange == nullptr) {
        owned_exchange_.assign(static_cast<std::size_t>(std::max(size, 0)), 0);
        exchange = owned_exchange_.data();
    }
    exchange_ = exchange;
}

channel::~channel() = default;

void channel::call(std::int32_t reason) {
    params_.exit_reason = reason;
    entry_(&params_, &definition_, &data_length_, &exchange_length_, exchange_, &exit_length_,
           &exit_buffer_);
}

void channel::deliver(const std::uint8_t *message, std::size_t length) {
    const std::size_t fits =
        std::min(length, static_cast<std::size_t>(std::max(exchange_length_, 0)));
    if (fits != 0) {
        std::memcpy(exchange_, message, fits);
    }
    data_length_ = static_cast<std::int32_t>(length);
    // A host clears the secondary response before each call; the exit sets it
    // only when its buffer is to be sent.
    params_.exit_response2 = 0;
    call(ZTXR_SEC_MSG);
}

std::vector<std::uint8_t> channel::outgoing() const {
    const bool from_exit = (params_.exit_response2 & ZTXR2_USE_EXIT_BUFFER) != 0;
    const std::uint8_t *source = from_exit ? exit_buffer_ : exchange_;
    const std::int32_t limit = from_exit ? exit_length_ : exchange_length_;
    const std::int32_t length = std::min(data_length_, limit);
    if (source == nullptr || length <= 0) {
        return {};
    }
    return {source, source + length};
}

std::string_view channel::name_field() const {
    return {definition_.channel_name, sizeof definition_.channel_name};
}

} // namespace tarvelo::standin
