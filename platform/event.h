#pragma once
// A named manual-reset event: stays signalled from Set() until Reset(), releasing every waiter.
#include <memory>
#include <string>

namespace platform {

class ManualResetEvent {
  public:
    ManualResetEvent(std::string name, bool initiallySet);
    ~ManualResetEvent();
    ManualResetEvent(const ManualResetEvent&) = delete;
    ManualResetEvent& operator=(const ManualResetEvent&) = delete;

    void Set();
    void Reset();
    // Blocks until the event is signalled.
    void Wait();
    // Time-out 0 poll: true when signalled now.
    bool IsSet() const;
    const std::string& Name() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
