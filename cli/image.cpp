#include "cli/image.h"

#include <algorithm>
#include <vector>

#include "engine/random.h"
#include "engine/system_error.h"
#include "platform/clock.h"
#include "platform/file.h"

namespace cli {

bool CreateImage(const std::string& path, int64_t size, const std::function<bool()>& stop,
                 const std::function<void(int)>& progress, std::string& error) {
    platform::OutputFile file;
    uint32_t code = 0;
    auto fail = [&](const std::string& what) {
        error = "--create: " + what + " " + path + ":" + engine::SystemErrorText(code);
        return false;
    };
    if (!file.Open(path, code)) return fail("cannot create");
    engine::WorkerRandom rnd;
    rnd.Seed(static_cast<uint64_t>(platform::CounterNow()));
    std::vector<uint32_t> chunk(1 << 18);  // 1 MiB
    int shown = -1;
    for (int64_t done = 0; done < size;) {
        if (stop()) {
            file.Abort();
            error = "--create: interrupted; " + path + " was not created";
            return false;
        }
        for (auto& w : chunk) w = rnd.Next32();
        const int64_t n = std::min<int64_t>(size - done, static_cast<int64_t>(chunk.size() * 4));
        if (!file.Write(chunk.data(), static_cast<size_t>(n), code)) return fail("cannot write");
        done += n;
        const int pct = static_cast<int>(done * 100 / size);
        if (pct != shown && progress) progress(shown = pct);
    }
    if (!file.Commit(code)) return fail("cannot write");
    return true;
}

}  // namespace cli
