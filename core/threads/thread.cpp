#include "core/threads/thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <system_error>

#include "core/debug_output.h"

KtThread::KtThread() = default;

KtThread::~KtThread() {
    StopAndWait();
}

bool KtThread::CreateThread() {
    if (thread_.joinable()) return false;
    running_ = true;
    KtEvent started(true, false);
    try {
        thread_ = std::thread([this, &started] {
            tid_ = static_cast<pid_t>(::syscall(SYS_gettid));
            started.Set();
            Run();
        });
    } catch (const std::system_error&) {
        running_ = false;
        DebugOutput("KtThread: the thread could not be created\n");
        return false;
    }
    // The thread id is needed for priority changes; it is known once the thread runs.
    started.Wait(kInfinite);
    return true;
}

void KtThread::Run() {
    InitInstance();
    running_ = false;
    exited_.Set();
}

bool KtThread::InitInstance() {
    Execute();
    return false;
}

void KtThread::RequestStop() {
    stopEvent_.Set();
    SetThreadPriority(kThreadPriorityAboveNormal);
}

void KtThread::WaitForExit() {
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        // A body that ends its own object cannot wait for itself.
        thread_.detach();
        return;
    }
    thread_.join();
}

void KtThread::StopAndWait() {
    if (!thread_.joinable()) return;
    if (running_) RequestStop();
    WaitForExit();
}

bool KtThread::IsStopRequested() {
    return stopEvent_.IsSet();
}

KtWaitResult KtThread::WaitForStop(uint32_t ms) {
    return stopEvent_.Wait(ms) ? KtWaitResult::kSignalled : KtWaitResult::kTimeout;
}

bool KtThread::WaitForObjectOrStop(KtEvent& event, uint32_t ms) {
    return WaitForAnyEvent({&event, &stopEvent_}, ms) == 0;
}

bool KtThread::SetThreadPriority(int priority) {
    const pid_t tid = tid_;
    if (tid == 0 || !running_) return false;
    // A lower nice value is a higher priority; raising it needs CAP_SYS_NICE,
    // and a refusal leaves the thread as it was.
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), -priority) == 0;
}
