// channel_order.h: the orders in which the reports list a summary's
// channels: by name, or the worst first.
#ifndef TARVELO_TOOLS_REPORT_CHANNEL_ORDER_H
#define TARVELO_TOOLS_REPORT_CHANNEL_ORDER_H

#include "tools/report/summary.h"

#include <cstdint>
#include <vector>

namespace tarvelo::tool {

// The channels' places in the summary, in the order they are listed.
using channel_order = std::vector<std::uint32_t>;

// In name order, each host's together in the order they were named.
channel_order by_name(const log_summary &s);

// Each host's together, and within each the worst first: flagged channels,
// then the most refusals and starts left without a close, then by name.
channel_order worst_first(const log_summary &s);

// The flagged channels among `rows`, in their order: the few that the lists
// of flags go through, once for each kind.
channel_order flagged_rows(const log_summary &s, const channel_order &rows);

} // namespace tarvelo::tool

#endif
