// exit_loader.cpp: see exit_loader.h.
#include "tools/channel/exit_loader.h"

#include "tools/exit_codes.h"

#include "standin/host.h"

#include <memory>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace tarvelo::tool {
namespace {

// Why a library named without a slash was not found: the dynamic loader
// looks for such a name on the system's library path, never in the current
// directory, even when the file lies there.
std::string search_note(const std::string &path) {
#if defined(_WIN32)
    (void)path;
    return {};
#else
    if (path.find('/') != std::string::npos) {
        return {};
    }
    std::string note = "; a name without a slash is looked for on the system's library path "
                       "(LD_LIBRARY_PATH, the loader's cache, /lib, /usr/lib), not in the current "
                       "directory";
    struct stat status {};
    if (stat(path.c_str(), &status) == 0) {
        note += ": give ./" + path + " for the file here";
    }
    return note;
#endif
}

} // namespace

tarvelo_entry_fn *load_exit(const std::string &path, const std::string &entry_name) {
    static std::vector<std::unique_ptr<standin::loaded_library>> loaded;
    auto library = std::make_unique<standin::loaded_library>();
    std::string error;
    if (!library->load(path, entry_name, &error)) {
        switch (library->failure()) {
        case standin::loaded_library::problem::entry_elsewhere:
            throw setting_error(error);
        case standin::loaded_library::problem::cannot_load:
            throw failure(exit_code::library_unusable, error + search_note(path));
        default:
            throw failure(exit_code::library_unusable, error);
        }
    }
    tarvelo_entry_fn *entry = library->entry();
    loaded.push_back(std::move(library));
    return entry;
}

} // namespace tarvelo::tool
