#include "cli/log2csv.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "cli/names.h"
#include "engine/records.h"

namespace cli {

bool Log2Csv(const std::string& path, std::ostream& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "log2csv: cannot open " + path;
        return false;
    }
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size % sizeof(engine::LogEntry) != 0) {
        error = "log2csv: " + path + " is not an operation log: its size is not a multiple of 32 bytes";
        return false;
    }
    out << "slot,volume,request_size,success,start_ticks,end_ticks,frequency,latency_us\n";
    engine::LogEntry e;
    for (uint64_t slot = 1; in.read(reinterpret_cast<char*>(&e), sizeof e); ++slot) {
        const double us = e.Frequency > 0 ? static_cast<double>(e.EndTicks - e.StartTicks) * 1e6 /
                                                static_cast<double>(e.Frequency)
                                          : 0;
        char latency[64];
        std::snprintf(latency, sizeof latency, "%.3f", us);
        const std::string letter = VolumeLetter(e.VolumeIndex);
        out << slot << ',' << letter << ',' << e.RequestSize << ',' << e.Success << ',' << e.StartTicks << ','
            << e.EndTicks << ',' << e.Frequency << ',' << latency << '\n';
    }
    return true;
}

}  // namespace cli
