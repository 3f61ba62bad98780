#include "engine/helper_capture_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "core/debug_output.h"

namespace {

// The descriptor the helper finds its end of the socket pair on.
constexpr int kHelperSocketDescriptor = 3;
// Opening an adapter takes milliseconds; a helper silent this long is stuck.
constexpr int kOpenAnswerTimeoutMs = 10000;
// The answer to a send request comes back behind the frames captured
// meanwhile, read by the receive thread.
constexpr auto kSendAnswerTimeout = std::chrono::seconds(2);
// How long a closed helper gets to end before it is killed.
constexpr auto kHelperEndTimeout = std::chrono::seconds(2);

// Waits a little for the helper to end, kills it when it does not, and
// describes how it ended.
std::string ReapHelper(pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + kHelperEndTimeout;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return "the capture helper ended without an answer";
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return "the capture helper did not end and was killed";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFSIGNALED(status)) {
        return "the capture helper was ended by signal " + std::to_string(WTERMSIG(status));
    }
    return "the capture helper ended without an answer (exit status " +
           std::to_string(WEXITSTATUS(status)) + ")";
}

}  // namespace

HelperCaptureChannel::Opening HelperCaptureChannel::Start(const std::string& helperPath,
                                                          const std::string& device,
                                                          bool promiscuous) {
    Opening opening;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        opening.errorText = std::string("socketpair: ") + std::strerror(errno);
        return opening;
    }
    UniqueFd ours(pair[0]);
    // Above the descriptor the helper expects, so that dup2 makes a new
    // descriptor there (without close-on-exec) instead of keeping this one.
    UniqueFd theirs(fcntl(pair[1], F_DUPFD_CLOEXEC, kHelperSocketDescriptor + 1));
    close(pair[1]);
    if (!theirs) {
        opening.errorText = std::string("fcntl: ") + std::strerror(errno);
        return opening;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, theirs.Get(), kHelperSocketDescriptor);
    posix_spawn_file_actions_addclosefrom_np(&actions, kHelperSocketDescriptor + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // The helper starts with default signal handling and nothing blocked,
    // whatever this process set up for its own threads.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::string promiscuousArgument = promiscuous ? "1" : "0";
    std::string path = helperPath;
    std::string deviceArgument = device;
    char* argv[] = {path.data(), deviceArgument.data(), promiscuousArgument.data(), nullptr};
    // Nothing of this process's environment reaches the helper.
    char* envp[] = {nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    theirs.Reset();
    if (spawned != 0) {
        opening.permissionDenied = spawned == EACCES || spawned == EPERM;
        opening.errorText =
            spawned == ENOENT
                ? "the capture helper " + helperPath + " is not installed"
                : "cannot start the capture helper " + helperPath + ": " + std::strerror(spawned);
        return opening;
    }

    std::vector<uint8_t> answer(kCaptureReplyHeaderSize + kMaxCaptureTextSize);
    pollfd wait{ours.Get(), POLLIN, 0};
    int ready;
    while ((ready = poll(&wait, 1, kOpenAnswerTimeoutMs)) < 0 && errno == EINTR) {
    }
    ssize_t length = -1;
    if (ready > 0) {
        while ((length = recv(ours.Get(), answer.data(), answer.size(), MSG_DONTWAIT)) < 0 &&
               errno == EINTR) {
        }
    }
    if (length <= 0) {
        ours.Reset();
        const std::string ended = ReapHelper(pid);
        opening.errorText = ready == 0 ? "the capture helper did not answer" : ended;
        return opening;
    }
    const CaptureReply reply =
        ReadCaptureReply(std::span(answer.data(), static_cast<size_t>(length)), 0);
    if (reply.kind != CaptureReply::Kind::Opened) {
        opening.errorText = "the capture helper answered out of turn";
    } else if (reply.result != CaptureResult::Ok) {
        // A helper that lacks the capability is the installation's fault,
        // not the user's: joining the group would not help.
        opening.errorText = std::string(CaptureResultText(reply.result));
        if (!reply.text.empty()) opening.errorText += ": " + std::string(reply.text);
    } else if (reply.value != DLT_EN10MB) {
        opening.errorText = std::string(CaptureResultText(CaptureResult::NotEthernet));
    }
    if (!opening.errorText.empty()) {
        ours.Reset();
        ReapHelper(pid);
        return opening;
    }
    opening.channel.reset(new HelperCaptureChannel(std::move(ours), pid));
    return opening;
}

HelperCaptureChannel::HelperCaptureChannel(UniqueFd socket, pid_t pid)
    : socket_(std::move(socket)),
      pid_(pid),
      buffer_(kCaptureFrameHeaderSize + static_cast<size_t>(kCaptureSnapLength) + 1) {}

HelperCaptureChannel::~HelperCaptureChannel() {
    // The helper ends when its caller's end of the pair closes.
    socket_.Reset();
    ReapHelper(pid_);
}

int HelperCaptureChannel::Read(pcap_pkthdr** header, const u_char** data) {
    for (;;) {
        const ssize_t length =
            recv(socket_.Get(), buffer_.data(), buffer_.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (length < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            MarkGone();
            return -1;
        }
        if (length == 0) {
            // The helper ended: nothing will come any more.
            MarkGone();
            return -1;
        }
        if (static_cast<size_t>(length) > buffer_.size()) return -1;
        const CaptureReply reply =
            ReadCaptureReply(std::span(buffer_.data(), static_cast<size_t>(length)),
                             static_cast<size_t>(kCaptureSnapLength));
        switch (reply.kind) {
            case CaptureReply::Kind::Frame:
                header_.ts.tv_sec = static_cast<time_t>(reply.seconds);
                header_.ts.tv_usec = static_cast<suseconds_t>(reply.microseconds);
                header_.caplen = reply.capturedLength;
                header_.len = reply.wireLength;
                *header = &header_;
                *data = reply.data.data();
                return 1;
            case CaptureReply::Kind::SendResult:
                Deliver(reply.value, reply.result);
                continue;
            case CaptureReply::Kind::ReadFailed:
            case CaptureReply::Kind::Opened:
            case CaptureReply::Kind::Malformed:
                // A failed read is reported by the engine once per change
                // from working to failing, as a failed read in process is.
                return -1;
        }
    }
}

int HelperCaptureChannel::Send(const uint8_t* frame, size_t length) {
    std::scoped_lock sending(sendLock_);
    const uint32_t id = ++lastId_;
    const std::vector<uint8_t> request = EncodeSendRequest(id, std::span(frame, length));
    if (send(socket_.Get(), request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        return -1;
    }
    std::unique_lock lock(resultLock_);
    const bool answered = resultArrived_.wait_for(lock, kSendAnswerTimeout, [&] {
        while (!results_.empty() && results_.front().first != id) results_.pop_front();
        return gone_ || !results_.empty();
    });
    if (!answered || results_.empty()) return -1;
    const CaptureResult result = results_.front().second;
    results_.pop_front();
    lastSendResult_ = result;
    if (result != CaptureResult::Ok) {
        DebugOutput("linewatch-capture: " + std::string(CaptureResultText(result)) + "\n");
        return -1;
    }
    return 0;
}

CaptureResult HelperCaptureChannel::LastSendResult() {
    std::scoped_lock lock(resultLock_);
    return lastSendResult_;
}

void HelperCaptureChannel::Deliver(uint32_t id, CaptureResult result) {
    {
        std::scoped_lock lock(resultLock_);
        results_.emplace_back(id, result);
        // Only the latest request waits; older answers are never taken.
        while (results_.size() > 16) results_.pop_front();
    }
    resultArrived_.notify_all();
}

void HelperCaptureChannel::MarkGone() {
    {
        std::scoped_lock lock(resultLock_);
        gone_ = true;
    }
    resultArrived_.notify_all();
}
