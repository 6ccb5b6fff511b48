// writer.cpp: see writer.h.
#include "log/writer.h"

#include "log/catalogue.h"
#include "log/line.h"
#include "log/sink.h"
#include "log/timestamp.h"
#include "log/trace_switch.h"

#include <cerrno>
#include <ctime>

namespace tarvelo {

void write_message(const log_destination &log, int index, const char *channel_name,
                   const char *text, std::size_t own_text_length) {
    if (index < 0 || index >= static_cast<int>(catalogue.size())) {
        return;
    }
    const std::time_t now = std::time(nullptr);

    // Opened even for a trace line that is then dropped: a named log file
    // is created, or its failure reported, whatever trace is doing.
    int fd = -1;
    if (log.path[0] != '\0') {
        fd = open_log(log.path, now);
        if (fd < 0) {
            report_open_failure(errno);
        }
    }
    if (index > last_numbered_message && !trace_on()) {
        if (fd >= 0) {
            close_log(fd);
        }
        return;
    }

    char timestamp[timestamp_length + 1];
    current_timestamp(now, timestamp);
    timestamp[timestamp_length] = '\0';
    // Made once, then handed whole to each stream.
    const char *args[] = {timestamp, channel_name, text};
    const std::string_view format = catalogue[static_cast<std::size_t>(index)];
    char line[message_line_max];
    const std::size_t length =
        expand_format(format.data(), format.size(), args, 3, line, sizeof line, own_text_length);

    put_standard_output(line, length, now);
    if (fd >= 0) {
        const int error = append_and_close(fd, log.path, line, length, now);
        if (error != 0) {
            report_write_failure(error);
        }
    }
}

} // namespace tarvelo
