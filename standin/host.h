// host.h: a stand-in for the queue manager that loads and calls the exit.
//
// It does what a host does and nothing more: it loads an exit library by
// path, finds the entry point by name, owns each channel instance's records
// (parameter block, channel definition, user area, exit data), the exchange
// buffer and the exit buffer's address and length, and calls the exit in the
// order a host does. Tests, tools and benchmarks drive the library through
// it, so they see the exit exactly as a host would.
#ifndef TARVELO_STANDIN_HOST_H
#define TARVELO_STANDIN_HOST_H

#include "exit/tarvelo.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelo::standin {

// A loaded exit library. Unloaded when destroyed.
class loaded_library {
public:
    loaded_library() = default;
    ~loaded_library();
    loaded_library(loaded_library &&other) noexcept;
    loaded_library &operator=(loaded_library &&other) noexcept;
    loaded_library(const loaded_library &) = delete;
    loaded_library &operator=(const loaded_library &) = delete;

    // Why a load failed.
    enum class problem {
        none,
        cannot_load,     // the file cannot be loaded as a library
        no_such_entry,   // no symbol of that name at all
        entry_elsewhere, // the name is defined only by a library it depends on
    };

    // Loads `path` and finds `entry_name` in it: a symbol the library itself
    // defines, never one of the libraries it depends on (the C library's
    // "abort", say), which a host would not call as an exit. On failure
    // returns false, says why in `error` and tells the kind in failure().
    bool load(const std::string &path, const std::string &entry_name, std::string *error);

    tarvelo_entry_fn *entry() const { return entry_; }
    problem failure() const { return failure_; }

private:
    void *handle_ = nullptr;
    tarvelo_entry_fn *entry_ = nullptr;
    problem failure_ = problem::none;
};

// How a channel is defined to the host. Text fields are blank padded to
// their width; longer values are cut.
struct channel_config {
    std::string name = "TO.PARTNER";
    std::string password = "SECRET";  // raw bytes of the password field
    std::string exit_data;            // "LOGPATH TRACEON"
    std::int32_t exchange_size = 256; // bytes of the host's exchange buffer
};

// One channel instance's records, kept between calls as a host keeps them.
class channel {
public:
    channel(tarvelo_entry_fn *entry, const channel_config &config);
    // The exchange buffer is the caller's `exchange`, of `size` bytes: tests
    // place it against an unreadable page.
    channel(tarvelo_entry_fn *entry, const channel_config &config, std::uint8_t *exchange,
            std::int32_t size);
    ~channel();
    channel(const channel &) = delete;
    channel &operator=(const channel &) = delete;

    // One call of the exit with the records as they stand.
    void call(std::int32_t reason);

    void initialise() { call(ZTXR_INIT); }
    void invite() { call(ZTXR_INIT_SEC); }
    // Puts the partner's message in the exchange buffer (as much as fits)
    // with its length in the data length, and calls the exit.
    void deliver(const std::uint8_t *message, std::size_t length);
    void deliver(const std::vector<std::uint8_t> &message) {
        deliver(message.data(), message.size());
    }
    void terminate() { call(ZTXR_TERM); }

    // After ZTXCC_SEND_SEC_MSG: the data length's worth of bytes from the exit
    // buffer when the secondary response says so, else from the exchange
    // buffer (never more than the buffer holds).
    std::vector<std::uint8_t> outgoing() const;

    std::int32_t response() const { return params_.exit_response; }
    std::int32_t response2() const { return params_.exit_response2; }
    std::uint8_t state() const { return params_.user_area[0]; }

    // The records, for tests that set or inspect fields directly.
    tarvelo_exit_params &params() { return params_; }
    tarvelo_channel_def &definition() { return definition_; }
    std::int32_t &data_length() { return data_length_; }
    std::int32_t &exchange_length() { return exchange_length_; }
    std::uint8_t *exchange() { return exchange_; }
    std::int32_t &exit_length() { return exit_length_; }
    std::uint8_t *&exit_buffer() { return exit_buffer_; }
    std::string_view name_field() const;

private:
    tarvelo_entry_fn *entry_;
    tarvelo_exit_params params_{};
    tarvelo_channel_def definition_{};
    std::int32_t data_length_ = 0;
    std::int32_t exchange_length_ = 0;
    std::vector<std::uint8_t> owned_exchange_;
    std::uint8_t *exchange_ = nullptr;
    std::int32_t exit_length_ = 0;
    std::uint8_t *exit_buffer_ = nullptr;
};

// Copies `value` into a blank-padded field of `width` bytes.
void set_field(char *field, std::size_t width, std::string_view value);

} // namespace tarvelo::standin

#endif
