#include "cli/log2csv.h"

#include <cstdio>

#include "cli/names.h"
#include "stats/log_reader.h"

namespace cli {

bool Log2Csv(const std::string& path, std::ostream& out, std::string& error) {
    stats::LogReader reader;
    if (!reader.Open(path, error)) {
        error = "log2csv: " + error;
        return false;
    }
    out << "slot,volume,request_size,success,start_ticks,end_ticks,frequency,latency_us\n";
    engine::LogEntry e;
    while (reader.Next(e, error)) {
        char latency[64];
        std::snprintf(
            latency, sizeof latency, "%.3f",
            static_cast<double>(e.EndTicks - e.StartTicks) * 1e6 / static_cast<double>(e.Frequency));
        out << reader.Slot() << ',' << VolumeLetter(e.VolumeIndex) << ',' << e.RequestSize << ',' << e.Success
            << ',' << e.StartTicks << ',' << e.EndTicks << ',' << e.Frequency << ',' << latency << '\n';
    }
    if (!error.empty()) {
        error = "log2csv: " + error;
        return false;
    }
    return true;
}

}  // namespace cli
