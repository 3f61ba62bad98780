#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "core/threads/event.h"

// Results of WaitForStop: the stop event ended the wait, or the time ran out.
enum class KtWaitResult { kSignalled, kTimeout };

// Priority raised on a stop request so the thread notices it promptly.
constexpr int kThreadPriorityAboveNormal = 1;

// A worker thread with a built-in stop event. The stop event is never reset:
// one object serves for one run. A stop is a request (event plus priority
// boost), never a forced termination; StopAndWait blocks until the body
// returns, so every wait in a body must include the stop event or be bounded.
//
// A derived class that overrides Execute or InitInstance must call
// StopAndWait in its own destructor: the body calls those overrides, which
// must not run while the derived part is being torn down.
class KtThread {
  public:
    KtThread();
    virtual ~KtThread();
    KtThread(const KtThread&) = delete;
    KtThread& operator=(const KtThread&) = delete;

    // Creates the thread, running. False when it could not be started; the
    // object then holds no thread and StopAndWait on it is harmless.
    bool CreateThread();

    // The body; the default does nothing.
    virtual void Execute() {}

    void RequestStop();
    // Blocks until the body has returned (no limit).
    void WaitForExit();
    // Only while the body runs: RequestStop, then WaitForExit. Otherwise nothing
    // (a thread that already ended is only reaped).
    void StopAndWait();

    bool IsStopRequested();
    // An interruptible sleep: kSignalled when a stop came within ms.
    KtWaitResult WaitForStop(uint32_t ms);
    // True only when `event` ended the wait; a stop or the time-out give false.
    bool WaitForObjectOrStop(KtEvent& event, uint32_t ms);

    // Windows-style priority (-2 lowest .. 2 highest) mapped onto the thread's
    // nice value. The system may refuse a raise; that is reported, not an error.
    bool SetThreadPriority(int priority);

    // True from CreateThread until the body has returned.
    bool IsRunning() const { return running_.load(); }
    // Set (manual-reset) when the body has returned; lets an owner wait for the
    // end together with other events.
    KtEvent& ExitedEvent() { return exited_; }

  protected:
    // Runs on the new thread: calls Execute and returns false, ending the thread.
    virtual bool InitInstance();

  private:
    void Run();

    KtEvent stopEvent_{true, false};
    KtEvent exited_{true, false};
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<pid_t> tid_{0};
};

// A thread that runs one member of an object of class T. The creator sets
// `method` and `object` before CreateThread; the member receives this thread.
template <class T>
class KtThreadClassFunction : public KtThread {
  public:
    KtThreadClassFunction() = default;
    ~KtThreadClassFunction() override { StopAndWait(); }

    int (T::*method)(KtThread&) = nullptr;
    T* object = nullptr;

  protected:
    bool InitInstance() override {
        if (object != nullptr && method != nullptr) (object->*method)(*this);
        return false;
    }
};
