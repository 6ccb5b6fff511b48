// rotated_set.cpp: see rotated_set.h.
#include "tools/system/rotated_set.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

namespace tarvelo::tool {
namespace {

// A dated copy is older than every numbered one: the two are not mixed by
// one configuration, and the reader puts the files in the order of their
// first lines anyway.
constexpr unsigned long long dated = 1ULL << 40;
constexpr std::size_t most_digits = 9;

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

} // namespace

std::optional<unsigned long long> rotation_age(std::string_view name, std::string_view base) {
    if (name.size() < base.size() || name.substr(0, base.size()) != base) {
        return std::nullopt;
    }
    std::string_view rest = name.substr(base.size());
    if (rest.empty()) {
        return 0;
    }
    if (rest.size() > 3 && rest.substr(rest.size() - 3) == ".gz") {
        rest.remove_suffix(3);
    }
    if (rest[0] == '.' && all_digits(rest.substr(1)) && rest.size() - 1 <= most_digits &&
        number_of(rest.substr(1)) != 0) {
        return number_of(rest.substr(1));
    }
    // -YYYYMMDD: the later the date, the younger.
    if (rest.size() == 9 && rest[0] == '-' && all_digits(rest.substr(1))) {
        return dated + (99999999 - number_of(rest.substr(1)));
    }
    return std::nullopt;
}

std::vector<std::string> rotated_set(const std::string &path, std::error_code &error) {
    namespace fs = std::filesystem;
    const fs::path whole(path);
    const std::string base = whole.filename().string();
    fs::path directory = whole.parent_path();
    if (directory.empty()) {
        directory = ".";
    }
    std::vector<std::pair<unsigned long long, std::string>> found;
    error.clear();
    for (fs::directory_iterator entry(directory, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (const std::optional<unsigned long long> age = rotation_age(name, base)) {
            found.emplace_back(*age, *age == 0 ? path : (whole.parent_path() / name).string());
        }
    }
    std::sort(found.begin(), found.end(), [](const auto &a, const auto &b) {
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    std::vector<std::string> names;
    names.reserve(found.size());
    for (auto &f : found) {
        names.push_back(std::move(f.second));
    }
    return names;
}

} // namespace tarvelo::tool
