// One statistics refresh at its worst: 26 volumes, 1000 intervals each, every histogram bucket in use.
// Also how long a refresh holds one volume's lock, which is how long that volume's workers may wait.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "engine/engine.h"
#include "stats/aggregation.h"

namespace {

class NoDialogs : public engine::IDialogs {
  public:
    void SystemError(const std::string&, const std::string&) override {}
};

class NullSink : public stats::RefreshSink {
  public:
    void SetDebugText(int, const std::string&) override {}
    void Show(int, const stats::StatsView& view) override { benchmark::DoNotOptimize(view.labels[0].data()); }
};

struct Fixture {
    std::filesystem::path dir;
    NoDialogs dialogs;
    std::unique_ptr<engine::Engine> eng;

    Fixture() {
        dir = std::filesystem::temp_directory_path() / ("volstress-bench-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        platform::VolumeMap map;
        for (int i = 0; i < engine::kDiskCount; ++i) {
            map.devicePath[i] = (dir / (std::to_string(i) + ".img")).string();
            std::ofstream(map.devicePath[i]) << "x";
        }
        eng = std::make_unique<engine::Engine>(platform::MakeVolumeSystem(map), dialogs, 16);
        eng->Volumes().EnumerateVolumes();
        for (int i = 0; i < engine::kDiskCount; ++i) {
            engine::VolumeStats& v = *eng->Volume(i);
            v.CurInterval = engine::kIntervalCount;
            for (int j = 1; j <= engine::kIntervalCount; ++j)
                v.Intervals[j] = {1000 + j,        4096LL * (1000 + j),       77 * j, 900 + j, 10 + j,
                                  1'000'000LL * j, 1'000'000LL * j + 999'000, j % 3};
            for (int k = 0; k < engine::kHistogramBuckets; ++k)
                v.LatencyHistogram[k] = static_cast<uint64_t>(k % 7 + 1);
        }
    }
    ~Fixture() {
        eng.reset();
        std::filesystem::remove_all(dir);
    }
};

void BM_RefreshAllVolumes(benchmark::State& state) {
    Fixture f;
    std::array<bool, engine::kDiskCount> ticked;
    ticked.fill(true);
    stats::StatisticsRefresher refresher;
    NullSink sink;
    for (auto _ : state) refresher.Refresh(f.eng->Volumes(), f.eng->TimerFreq(), ticked, sink);
}
BENCHMARK(BM_RefreshAllVolumes)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LockHeldPerVolume(benchmark::State& state) {
    Fixture f;
    auto copy = std::make_unique<engine::VolumeStats>();
    for (auto _ : state) stats::SnapshotCounters(*f.eng->Volume(2), *copy);
}
BENCHMARK(BM_LockHeldPerVolume)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
