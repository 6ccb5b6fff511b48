// rotated_set.cpp: see rotated_set.h.
#include "tools/report/rotated_set.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

#include <sys/stat.h>
#if !defined(_WIN32)
#include <dirent.h>
#endif

namespace tarvelo::tool {
namespace {

// A dated copy is older than every numbered one: the two are not mixed by
// one configuration, and the reader puts the files in the order of their
// first lines anyway.
constexpr unsigned long long dated = 1ULL << 40;
constexpr std::size_t most_digits = 9;
// Dates are compared in half hours of YYYYMMDDHH: a copy dated by the day
// stands at its midnight, one dated by the hour at that hour, and a
// .backup half an hour after it, younger than the copy the same rotation
// made.
constexpr unsigned long long latest_half_hour = 2 * 9999999999ULL + 1;

constexpr std::string_view compressed_suffix = ".gz";
constexpr std::string_view backup_suffix = ".backup";

bool all_digits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

unsigned long long number_of(std::string_view digits) {
    unsigned long long n = 0;
    for (const char c : digits) {
        n = n * 10 + static_cast<unsigned long long>(c - '0');
    }
    return n;
}

bool ends_with(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// The age of "-YYYYMMDD", "-YYYYMMDDHH" or "-YYYYMMDDHH.backup".
std::optional<unsigned long long> dated_age(std::string_view rest) {
    const bool backup = ends_with(rest, backup_suffix);
    if (backup) {
        rest.remove_suffix(backup_suffix.size());
    }
    if (rest.empty() || rest[0] != '-' || !all_digits(rest.substr(1))) {
        return std::nullopt;
    }
    const std::size_t digits = rest.size() - 1;
    unsigned long long hours = 0;
    if (digits == 8 && !backup) {
        hours = number_of(rest.substr(1)) * 100;
    } else if (digits == 10) {
        hours = number_of(rest.substr(1));
    } else {
        return std::nullopt;
    }
    return dated + (latest_half_hour - (2 * hours + (backup ? 1 : 0)));
}

} // namespace

std::optional<unsigned long long> rotation_age(std::string_view name, std::string_view base) {
    if (name.size() < base.size() || name.substr(0, base.size()) != base) {
        return std::nullopt;
    }
    std::string_view rest = name.substr(base.size());
    if (rest.empty()) {
        return 0;
    }
    if (rest.size() > compressed_suffix.size() && ends_with(rest, compressed_suffix)) {
        rest.remove_suffix(compressed_suffix.size());
    }
    if (rest[0] == '.' && all_digits(rest.substr(1)) && rest.size() - 1 <= most_digits &&
        number_of(rest.substr(1)) != 0) {
        return number_of(rest.substr(1));
    }
    // -YYYYMMDD[HH]: the later the date, the younger.
    return dated_age(rest);
}

result<std::vector<rotated_copy>> rotated_set(const std::string &path) {
    namespace fs = std::filesystem;
    const fs::path whole(path);
    const std::string base = whole.filename().string();
    fs::path directory = whole.parent_path();
    if (directory.empty()) {
        directory = ".";
    }
    std::vector<rotated_copy> found;
    std::error_code error;
    for (fs::directory_iterator entry(directory, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (const std::optional<unsigned long long> age = rotation_age(name, base)) {
            found.push_back({*age == 0 ? path : (whole.parent_path() / name).string(), {}, *age});
        }
    }
    if (error) {
        return trouble{cause::unusable, "cannot read its directory: " + error.message()};
    }
    // A copy and its compressed twin sort together, the plain one first.
    std::sort(found.begin(), found.end(), [](const rotated_copy &a, const rotated_copy &b) {
        return a.age != b.age ? a.age > b.age : a.path < b.path;
    });
    std::vector<rotated_copy> copies;
    copies.reserve(found.size());
    for (rotated_copy &f : found) {
        if (!copies.empty() && copies.back().age == f.age && copies.back().twin.empty() &&
            f.path == copies.back().path + std::string(compressed_suffix)) {
            copies.back().twin = std::move(f.path);
            continue;
        }
        copies.push_back(std::move(f));
    }
    return copies;
}

set_rules rules_for_set(const std::string &path) {
    set_rules rules;
    rules.copies.follow_links = false;
#if !defined(_WIN32)
    std::string directory = std::filesystem::path(path).parent_path().string();
    if (directory.empty()) {
        directory = ".";
    }
    struct stat place {};
    if (stat(directory.c_str(), &place) != 0) {
        return rules; // the set is empty: nothing will be opened
    }
    rules.copies.single_link = (place.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    rules.log.single_link = rules.copies.single_link;
    std::uint32_t owner = place.st_uid;
    struct stat log {};
    if (lstat(path.c_str(), &log) == 0) {
        if ((log.st_mode & S_IFMT) == S_IFLNK && log.st_uid != 0 && log.st_uid != place.st_uid) {
            // Planted: opened without following, it is refused as a link.
            rules.log.follow_links = false;
        } else if (stat(path.c_str(), &log) == 0) {
            owner = log.st_uid;
        }
    }
    rules.copies.owner = owner;
#else
    (void)path; // no owners to compare, no links to plant
#endif
    return rules;
}

std::vector<std::string> names_of_inode(const std::string &directory, std::uint64_t inode) {
    std::vector<std::string> names;
#if !defined(_WIN32)
    DIR *listing = opendir(directory.empty() ? "." : directory.c_str());
    if (listing == nullptr) {
        return names;
    }
    while (const dirent *entry = readdir(listing)) {
        if (static_cast<std::uint64_t>(entry->d_ino) == inode) {
            names.push_back((std::filesystem::path(directory) / entry->d_name).string());
        }
    }
    closedir(listing);
#else
    (void)directory;
    (void)inode;
#endif
    return names;
}

} // namespace tarvelo::tool
