// Worker loop against a bare pread loop: 4 KiB random reads of a file in the page cache (/dev/shm), the
// worst case for our bookkeeping. Rounds alternate A B A B; each reports operations per second.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/worker.h"
#include "platform/clock.h"

namespace {

constexpr int kBlock = 4096;
constexpr int64_t kBlocks = 64 * 1024;  // 256 MiB
constexpr double kSeconds = 3.0;

class NoDialogs : public engine::IDialogs {
  public:
    void SystemError(const std::string& c, const std::string& b) override {
        std::fprintf(stderr, "%s: %s\n", c.c_str(), b.c_str());
        std::exit(1);
    }
};

double BareLoop(const std::string& path, int threads) {
    std::atomic<bool> stop{false};
    std::atomic<int64_t> total{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            const int fd = ::open(path.c_str(), O_RDONLY);
            void* buf = std::aligned_alloc(4096, kBlock);
            std::mt19937 rng(static_cast<unsigned>(t + 1));
            int64_t ops = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                const int64_t p = static_cast<int64_t>(rng() % (kBlocks - 2));
                if (::pread(fd, buf, kBlock, p * kBlock) < 0) std::abort();
                ++ops;
            }
            total += ops;
            std::free(buf);
            ::close(fd);
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds));
    stop = true;
    for (auto& th : pool) th.join();
    return static_cast<double>(total.load()) / kSeconds;
}

double WorkerLoop(const std::string& path, int threads) {
    NoDialogs dialogs;
    platform::VolumeMap map;
    map.devicePath[2] = path;
    auto shared =
        std::make_shared<engine::SharedState>(platform::MakeVolumeSystem(map), dialogs, engine::kLogCapacity);
    shared->Volumes[2] = std::make_unique<engine::VolumeStats>();
    engine::VolumeStats& v = *shared->Volumes[2];
    v.BlockSize = kBlock;
    v.BlockCount = kBlocks;
    v.TestMethod = engine::kRandom;
    v.ReadsPerPortion = 1;
    v.PeriodTicks = platform::CounterFrequency();
    std::vector<std::unique_ptr<engine::TDiskTest>> workers;
    for (int n = 1; n <= threads; ++n) {
        auto ev = std::make_shared<platform::ManualResetEvent>("ThreadManage" + std::to_string(n), true);
        workers.push_back(std::make_unique<engine::TDiskTest>(shared, n, ev));
        workers.back()->Assign(2, 1);
    }
    const auto t0 = std::chrono::steady_clock::now();
    shared->GoRun.store(1);
    shared->CurrentRun.store(1);
    shared->Testing.store(true);
    std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds));
    shared->EndRun();
    workers.clear();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    int64_t ops = 0;
    for (int j = 1; j <= v.CurInterval; ++j) ops += v.Intervals[j].IOCount;
    return static_cast<double>(ops) / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : "/dev/shm/volstress-bench.img";
    {
        std::vector<char> chunk(1 << 20);
        std::mt19937 rng(7);
        for (auto& c : chunk) c = static_cast<char>(rng());
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) {
            std::perror(path.c_str());
            return 1;
        }
        for (int64_t i = 0; i < kBlocks * kBlock / static_cast<int64_t>(chunk.size()); ++i)
            std::fwrite(chunk.data(), 1, chunk.size(), f);
        std::fclose(f);
    }
    std::printf("%-8s %14s %14s %8s\n", "workers", "bare ops/s", "worker ops/s", "ratio");
    for (int threads : {1, 2, 10}) {
        double bare = 0, worker = 0;
        for (int round = 0; round < 2; ++round) {
            bare += BareLoop(path, threads);
            worker += WorkerLoop(path, threads);
        }
        std::printf("%-8d %14.0f %14.0f %8.3f\n", threads, bare / 2, worker / 2, worker / bare);
    }
    std::remove(path.c_str());
    return 0;
}
