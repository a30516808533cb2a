#include "engine/worker_pool.h"

#include <string>

namespace engine {

WorkerPool::WorkerPool(std::shared_ptr<SharedState> shared) : shared_(std::move(shared)) {}

WorkerPool::~WorkerPool() {
    Shutdown(std::chrono::seconds(3));
}

void WorkerPool::Assign(const std::vector<int>& volumeOf, uint64_t run) {
    count_ = static_cast<int32_t>(volumeOf.size());
    for (int n = 1; n <= count_; ++n) {
        if (!workers_[n]) {
            events_[n] =
                std::make_shared<platform::ManualResetEvent>("ThreadManage" + std::to_string(n), true);
            shared_->BusyFlags[n].store(0, std::memory_order_release);
            workers_[n] = std::make_unique<TDiskTest>(shared_, n, events_[n]);
            created_ = n;
        }
        workers_[n]->Assign(volumeOf[static_cast<size_t>(n - 1)], run);
    }
}

void WorkerPool::Release() {
    for (int n = 1; n <= count_; ++n) events_[n]->Set();
}

void WorkerPool::ResetEvents() {
    for (int n = 1; n <= count_; ++n) events_[n]->Reset();
}

bool WorkerPool::AnyReleased() const {
    for (int n = 1; n <= count_; ++n)
        if (events_[n]->IsSet()) return true;
    return false;
}

int WorkerPool::BusyCount() const {
    int busy = 0;
    for (int n = 1; n <= created_; ++n) busy += Busy(n);
    return busy;
}

bool WorkerPool::Busy(int n) const {
    return Valid(n) && shared_->BusyFlags[n].load(std::memory_order_seq_cst) != 0;
}

bool WorkerPool::Shutdown(std::chrono::milliseconds timeout) {
    shared_->EndRun();
    for (auto& w : workers_)
        if (w) w->RequestTerminate();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool all = true;
    for (auto& w : workers_) {
        if (!w) continue;
        all = w->Finish(deadline) && all;
        w.reset();
    }
    count_ = created_ = 0;
    return all;
}

}  // namespace engine
