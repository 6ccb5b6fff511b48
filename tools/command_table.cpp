// command_table.cpp: see command_table.h.
#include "tools/command_table.h"

#include "tools/closest_match.h"

#include <vector>

namespace tarvelo::tool {

const command *find_command(command_table commands, std::string_view name) {
    for (const command *c : commands) {
        if (name == c->name) {
            return c;
        }
    }
    return nullptr;
}

std::string unknown_command(command_table commands, std::string_view name) {
    std::vector<std::string_view> names;
    for (const command *c : commands) {
        names.emplace_back(c->name);
    }
    const std::string near = closest_match(name, names);
    return "unknown command \"" + std::string(name) + "\"" +
           (near.empty() ? "" : " (did you mean \"" + near + "\"?)");
}

} // namespace tarvelo::tool
