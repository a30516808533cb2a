#pragma once
// TDiskTest: one worker thread that loads one volume, run after run, until the program ends.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

#include "engine/shared_state.h"
#include "platform/event.h"

namespace engine {

class TDiskTest {
  public:
    // Starts the thread at once. number is the worker's number 1..1024, which indexes BusyFlags.
    TDiskTest(std::shared_ptr<SharedState> shared, int32_t number,
              std::shared_ptr<platform::ManualResetEvent> event);
    // Asks the thread to end and joins it, waiting at most a few seconds (see Finish).
    ~TDiskTest();
    TDiskTest(const TDiskTest&) = delete;
    TDiskTest& operator=(const TDiskTest&) = delete;

    // The volume the worker tests and the run it takes part in; set by the window thread only while the
    // worker is not inside a run, before the run's Testing is set.
    void Assign(int32_t index, uint64_t run);
    int32_t TestedDisk() const;

    // Termination is our own shutdown path: ends the idle loop, a run and a pause; the call in hand
    // and an open error box (once the dialogs let go) complete first.
    void RequestTerminate();
    // Joins when the thread has ended by the deadline; otherwise detaches it (it keeps the shared state
    // alive and ends with the process) and returns false.
    bool Finish(std::chrono::steady_clock::time_point deadline);

  private:
    struct Core;
    std::shared_ptr<Core> core_;
    std::thread thread_;
};

}  // namespace engine
