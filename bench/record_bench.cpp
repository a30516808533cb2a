#include <benchmark/benchmark.h>

#include <memory>

#include "engine/operation_log.h"
#include "engine/pending.h"
#include "engine/records.h"
#include "platform/clock.h"

namespace {

engine::VolumeStats* volume;
engine::OperationLog* oplog;

void Setup(const benchmark::State& state) {
    if (state.thread_index() != 0) return;
    volume = new engine::VolumeStats();
    volume->PeriodTicks = platform::CounterFrequency();
    oplog = new engine::OperationLog();
}

void Teardown(const benchmark::State& state) {
    if (state.thread_index() != 0) return;
    delete volume;
    delete oplog;
}

// What a worker does after its second counter reading: log append, bucket, lock, histogram, interval.
void BM_RecordAndLog(benchmark::State& state) {
    const int64_t f = platform::CounterFrequency();
    int64_t t = platform::CounterNow();
    for (auto _ : state) {
        const int64_t start = t;
        t += 1500;  // 1.5 us operations; every ~667k of them a new interval opens
        oplog->Append(engine::LogEntry{4096, 2, 1, start, t, f});
        engine::RecordOperation(*volume, start, t, f, 0, 4096);
    }
    state.SetItemsProcessed(state.iterations());
}

// The same through a worker's batch, as the workers record now: the lock and the log's counter once per
// batch.
void BM_BatchedRecordAndLog(benchmark::State& state) {
    const int64_t f = platform::CounterFrequency();
    int64_t t = platform::CounterNow();
    engine::PendingRecords pending;
    pending.Attach(*volume, *oplog, 2, 4096, f, f / 1000);
    for (auto _ : state) {
        const int64_t start = t;
        t += 1500;
        pending.Add(start, t, 0, false);
    }
    pending.Detach();
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_BatchedRecordAndLog)
    ->Setup(Setup)
    ->Teardown(Teardown)
    ->Iterations(4'000'000)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();

// Two threads times 4M stays below the log's 10M slots, so every append is a real one.
BENCHMARK(BM_RecordAndLog)
    ->Setup(Setup)
    ->Teardown(Teardown)
    ->Iterations(4'000'000)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();

namespace {
void BM_RecordOnly(benchmark::State& state) {
    const int64_t f = platform::CounterFrequency();
    int64_t t = platform::CounterNow();
    for (auto _ : state) {
        const int64_t start = t;
        t += 1500;
        engine::RecordOperation(*volume, start, t, f, 0, 4096);
    }
}
void BM_AppendOnly(benchmark::State& state) {
    const int64_t f = platform::CounterFrequency();
    int64_t t = 0;
    for (auto _ : state) {
        oplog->Append(engine::LogEntry{4096, 2, 1, t, t + 1, f});
        ++t;
    }
}
void BM_AppendWarm(benchmark::State& state) {
    const int64_t f = platform::CounterFrequency();
    int64_t t = 0;
    for (int i = 0; i < 4'000'000; ++i) oplog->Append(engine::LogEntry{4096, 2, 1, t, t + 1, f});
    oplog->Reset();
    for (auto _ : state) {
        oplog->Append(engine::LogEntry{4096, 2, 1, t, t + 1, f});
        ++t;
    }
}
}  // namespace
BENCHMARK(BM_RecordOnly)->Setup(Setup)->Teardown(Teardown)->Iterations(4'000'000);
BENCHMARK(BM_AppendOnly)->Setup(Setup)->Teardown(Teardown)->Iterations(4'000'000);
BENCHMARK(BM_AppendWarm)->Setup(Setup)->Teardown(Teardown)->Iterations(4'000'000);
