#pragma once

// A throw-away network namespace for tests that need real interfaces: veth
// pairs created inside it, and a way to run test code on a thread that lives
// in it with its own view of /sys/class/net (as `ip netns exec` gives a
// process), so that sysfs, libpcap and the engines' threads all see the
// namespace's interfaces. Needs root; SkipReason() says why it cannot run.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <utility>

class NetnsSandbox {
  public:
    NetnsSandbox() {
        static std::atomic<int> counter{0};
        const int id = counter++;
        // Interface names are at most 15 characters.
        tag_ = std::to_string(getpid() % 100000) + "x" + std::to_string(id);
        name_ = "lwtest-" + tag_;
        if (!SkipReason().empty()) {
            return;
        }
        ok_ = Run("ip netns add " + name_);
    }

    ~NetnsSandbox() {
        if (ok_) {
            Run("ip netns del " + name_);
        }
    }

    NetnsSandbox(const NetnsSandbox&) = delete;
    NetnsSandbox& operator=(const NetnsSandbox&) = delete;

    // Empty when the sandbox can be built here.
    static std::string SkipReason() {
        if (geteuid() != 0) {
            return "needs root to create network namespaces and veth pairs";
        }
        if (std::system("command -v ip >/dev/null 2>&1") != 0) {
            return "needs the ip command (iproute2)";
        }
        return {};
    }

    bool ok() const { return ok_; }
    const std::string& name() const { return name_; }
    // A short unique suffix for interface names ("lwa" + Tag()).
    const std::string& Tag() const { return tag_; }

    // Runs "ip -n <namespace> <arguments>"; true on success.
    bool Ip(const std::string& arguments) { return Run("ip -n " + name_ + " " + arguments); }

    // Adds a veth pair, both ends up, with the given MACs.
    bool AddVethPair(const std::string& a, const std::string& aMac, const std::string& b,
                     const std::string& bMac) {
        return Ip("link add " + a + " address " + aMac + " type veth peer name " + b + " address " +
                  bMac) &&
               Ip("link set " + a + " up") && Ip("link set " + b + " up");
    }

    // Runs body on a new thread inside the namespace, with a private mount
    // namespace holding a fresh sysfs; threads the body starts inherit both.
    // False (and the body not run) when the thread could not switch.
    bool RunInside(const std::function<void()>& body) {
        bool switched = false;
        std::thread worker([&] {
            const std::string path = "/run/netns/" + name_;
            const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                return;
            }
            const bool entered = unshare(CLONE_NEWNS) == 0 &&
                                 mount(nullptr, "/", nullptr, MS_SLAVE | MS_REC, nullptr) == 0 &&
                                 setns(fd, CLONE_NEWNET) == 0;
            close(fd);
            if (!entered) {
                return;
            }
            umount2("/sys", MNT_DETACH);
            if (mount(name_.c_str(), "/sys", "sysfs", 0, nullptr) != 0) {
                return;
            }
            switched = true;
            body();
        });
        worker.join();
        return switched;
    }

  private:
    static bool Run(const std::string& command) {
        return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
    }

    bool ok_ = false;
    std::string tag_;
    std::string name_;
};

// A test with one veth pair in its own sandbox: ours_ is the end under test,
// peer_ the far end. Skips, saying why, where the sandbox cannot be built.
class VethPairTest : public ::testing::Test {
  protected:
    VethPairTest(std::string ourMac, std::string peerMac)
        : ourMac_(std::move(ourMac)), peerMac_(std::move(peerMac)) {}

    void SetUp() override {
        const std::string reason = NetnsSandbox::SkipReason();
        if (!reason.empty()) GTEST_SKIP() << reason;
        ours_ = "lwa" + sandbox_.Tag();
        peer_ = "lwb" + sandbox_.Tag();
        ASSERT_TRUE(sandbox_.ok());
        ASSERT_TRUE(sandbox_.AddVethPair(ours_, ourMac_, peer_, peerMac_));
    }

    NetnsSandbox sandbox_;
    std::string ours_;
    std::string peer_;

  private:
    const std::string ourMac_;
    const std::string peerMac_;
};
