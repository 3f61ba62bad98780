// A save killed with SIGKILL at any moment must leave the old or the new
// settings, never a mixture and never a store that no longer opens. A forked
// child saves 20 values as one batch, generation after generation, and
// reports each step through a pipe; the parent kills it right after a step it
// picked at random (plus a random extra delay, so that kills also land inside
// the commit itself) and then checks what the store holds.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <string_view>

#include "core/storage/autostart.h"
#include "core/storage/ini_file.h"
#include "core/storage/registry.h"
#include "core/storage/registry_store.h"

namespace {

constexpr const char* kOptionsKey = "\\Software\\Tarnweld Software\\Line Watchman\\Options";
constexpr int kValueCount = 20;

enum class Step : uint32_t { Begin = 1, Wrote = 2, Committed = 3, CommitFailed = 4 };

struct Report {
    Step step;
    uint32_t generation;
    uint32_t index;
};

std::string ValueName(int index) {
    return "Option" + std::to_string(index);
}

// Even values are strings, odd ones integers, as in the real settings.
std::string StringFor(uint32_t generation, int index) {
    return "generation " + std::to_string(generation) + " value " + std::to_string(index) + " " +
           std::string(static_cast<size_t>(index) * 7, '.');
}

// Generation a string value was written by, 0 if it is not such a value.
uint32_t GenerationOf(const std::string& text, int index) {
    constexpr std::string_view kPrefix = "generation ";
    if (text.rfind(kPrefix, 0) != 0) return 0;
    const auto generation =
        static_cast<uint32_t>(std::strtoul(text.c_str() + kPrefix.size(), nullptr, 10));
    return text == StringFor(generation, index) ? generation : 0;
}

void Send(int fd, Step step, uint32_t generation, uint32_t index) {
    const Report report{step, generation, index};
    if (write(fd, &report, sizeof report) != static_cast<ssize_t>(sizeof report)) _exit(3);
}

using Saver = std::function<void(int fd, uint32_t generation)>;
// Reads the store: the one generation all values come from (0: none stored)
// through `seen`, or a description of what is wrong.
using Reader = std::function<std::string(uint32_t& seen)>;

struct KillStatistics {
    int iterations = 0;
    int killedInsideCommit = 0;  // killed after the last write, before the commit was reported
    int newerThanReported = 0;   // the commit had landed but was not reported yet
};

// Each iteration forks a child that saves generations base+1, base+2, ...
// and kills it at a random step of generation base+1 or base+2. Afterwards
// the store must hold the last generation the child reported as committed
// or the one after it (committed but not reported yet); with no commit
// reported, what it held before or base+1. Half of the time the store is
// removed afterwards, so that kills also hit its creation.
KillStatistics KillWhileSaving(int iterations, const Saver& save, const Reader& read,
                               const std::function<void()>& remove) {
    std::mt19937 random(std::random_device{}());
    KillStatistics stats;
    uint32_t held = 0;
    for (int iteration = 0; iteration < iterations; ++iteration) {
        const auto base = static_cast<uint32_t>(iteration + 1) * 1000u;
        int fds[2];
        if (pipe(fds) != 0) {
            ADD_FAILURE() << "pipe: " << std::strerror(errno);
            return stats;
        }
        const pid_t child = fork();
        if (child < 0) {
            ADD_FAILURE() << "fork: " << std::strerror(errno);
            return stats;
        }
        if (child == 0) {
            close(fds[0]);
            for (uint32_t generation = base + 1; generation < base + 1000; ++generation) {
                save(fds[1], generation);
            }
            _exit(0);
        }
        close(fds[1]);

        const uint32_t targetGeneration =
            base + std::uniform_int_distribution<uint32_t>(1, 2)(random);
        const uint32_t targetStep = std::uniform_int_distribution<uint32_t>(
            0, kValueCount + 1)(random);  // 0 begin, 21 commit
        // Not a wait for anything: it only moves the kill to a random moment.
        const auto extra =
            std::chrono::microseconds(std::uniform_int_distribution<int>(0, 3000)(random));

        uint32_t committed = 0;
        bool killed = false;
        bool lastWasFinalWrite = false;
        Report report{};
        size_t have = 0;
        auto* bytes = reinterpret_cast<char*>(&report);
        for (;;) {
            const ssize_t got = ::read(fds[0], bytes + have, sizeof report - have);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            have += static_cast<size_t>(got);
            if (have < sizeof report) continue;
            have = 0;
            if (report.step == Step::Committed) committed = report.generation;
            if (report.step == Step::CommitFailed) ADD_FAILURE() << "a commit failed in the child";
            lastWasFinalWrite = report.step == Step::Wrote &&
                                report.index == static_cast<uint32_t>(kValueCount - 1);
            if (killed) continue;  // draining what the child said before it died
            uint32_t step = 0;
            if (report.step == Step::Wrote) step = report.index + 1;
            if (report.step == Step::Committed) step = kValueCount + 1;
            if (report.generation == targetGeneration && step == targetStep) {
                const auto until = std::chrono::steady_clock::now() + extra;
                while (std::chrono::steady_clock::now() < until) {
                }
                kill(child, SIGKILL);
                killed = true;
            }
        }
        close(fds[0]);
        int status = 0;
        waitpid(child, &status, 0);
        if (!killed || !WIFSIGNALED(status)) {
            ADD_FAILURE() << "the child ended on its own, status " << status;
            return stats;
        }
        ++stats.iterations;
        if (lastWasFinalWrite) ++stats.killedInsideCommit;
        const uint32_t oldGeneration = committed != 0 ? committed : held;
        const uint32_t newGeneration = committed != 0 ? committed + 1 : base + 1;
        uint32_t seen = 0;
        const std::string problem = read(seen);
        if (problem.empty() && seen != oldGeneration && seen != newGeneration) {
            ADD_FAILURE() << "iteration " << iteration << ": holds generation " << seen << " where "
                          << oldGeneration << " or " << newGeneration << " was due";
            return stats;
        }
        if (!problem.empty()) {
            ADD_FAILURE() << "iteration " << iteration << ", " << oldGeneration << " or "
                          << newGeneration << " due: " << problem;
            return stats;
        }
        if (committed != 0 && seen == newGeneration) ++stats.newerThanReported;
        held = seen;
        if (std::uniform_int_distribution<int>(0, 1)(random) == 0) {
            remove();
            held = 0;
        }
    }
    return stats;
}

// Reads the 20 values through any storage; all must come from one generation.
std::string ReadValues(KtSettingStorage& storage, uint32_t& seen) {
    seen = 0;
    for (int index = 0; index < kValueCount; ++index) {
        uint32_t generation = 0;
        if (index % 2 == 1) {
            generation = static_cast<uint32_t>(storage.ReadInt(ValueName(index), 0));
        } else if (storage.ValueExists(ValueName(index))) {
            generation = GenerationOf(storage.ReadString(ValueName(index)), index);
            if (generation == 0) return "value " + std::to_string(index) + " is garbled";
        }
        if (index == 0) seen = generation;
        if (generation != seen) {
            return "a mixture: value 0 from generation " + std::to_string(seen) + ", value " +
                   std::to_string(index) + " from " + std::to_string(generation);
        }
    }
    return "";
}

class StorageDurability : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/lw-durability-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        KtRegistryStore::SetDatabasePath(RegistryRoot::CurrentUser, dir_ + "/registry.db");
        XdgAutostart::SetFolder(RegistryRoot::CurrentUser, dir_ + "/autostart");
    }
    void TearDown() override {
        KtRegistryStore::SetDatabasePath(RegistryRoot::CurrentUser, "");
        XdgAutostart::SetFolder(RegistryRoot::CurrentUser, "");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    int CountNamesStartingWith(const std::string& prefix) const {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            if (entry.path().filename().string().rfind(prefix, 0) == 0) ++count;
        }
        return count;
    }

    std::string dir_;
};

TEST_F(StorageDurability, RegistryBatchKilledAnywhereLeavesOldOrNewSettings) {
    const Saver save = [](int fd, uint32_t generation) {
        KtRegistry reg(RegistryRoot::CurrentUser);
        if (!reg.Open(kOptionsKey, true, true) || !reg.BeginBatch()) _exit(4);
        Send(fd, Step::Begin, generation, 0);
        for (int index = 0; index < kValueCount; ++index) {
            if (index % 2 == 1) {
                reg.WriteInt(ValueName(index), static_cast<int32_t>(generation));
            } else {
                reg.WriteString(ValueName(index), StringFor(generation, index));
            }
            Send(fd, Step::Wrote, generation, static_cast<uint32_t>(index));
        }
        Send(fd, reg.CommitBatch() ? Step::Committed : Step::CommitFailed, generation, 0);
    };
    const Reader read = [&](uint32_t& seen) -> std::string {
        // Read-only first, as the machine-wide store is read, then writable, as
        // the program's load opens its own store.
        uint32_t readOnly = 0;
        KtRegistry reader(RegistryRoot::CurrentUser);
        if (reader.Open(kOptionsKey, false, false)) {
            std::string problem = ReadValues(reader, readOnly);
            if (!problem.empty()) return "read-only: " + problem;
        }
        KtRegistry writer(RegistryRoot::CurrentUser);
        if (!writer.Open(kOptionsKey, true, true))
            return "the options key does not open for writing";
        std::string problem = ReadValues(writer, seen);
        if (!problem.empty()) return problem;
        if (seen != readOnly) return "read-only and writable reads differ";
        if (CountNamesStartingWith("registry.db.corrupt-") != 0)
            return "the store was found damaged";
        return "";
    };
    // Fewer rounds than for the INI file: every commit here syncs the journal
    // and the database several times.
    const KillStatistics run =
        KillWhileSaving(200, save, read, [&] { std::filesystem::remove(dir_ + "/registry.db"); });
    EXPECT_EQ(run.iterations, 200);
    std::printf(
        "[ figures  ] registry: %d kills, %d between the last write and the reported "
        "commit, %d found the commit already durable\n",
        run.iterations, run.killedInsideCommit, run.newerThanReported);
}

TEST_F(StorageDurability, IniBatchKilledAnywhereLeavesOldOrNewSettings) {
    const std::string path = dir_ + "/linewatch.ini";
    const Saver save = [&](int fd, uint32_t generation) {
        KtIniFile ini(path);
        ini.SetSection("Options");
        if (!ini.BeginBatch()) _exit(4);
        Send(fd, Step::Begin, generation, 0);
        for (int index = 0; index < kValueCount; ++index) {
            if (index % 2 == 1) {
                ini.WriteInt(ValueName(index), static_cast<int32_t>(generation));
            } else {
                ini.WriteString(ValueName(index), StringFor(generation, index));
            }
            Send(fd, Step::Wrote, generation, static_cast<uint32_t>(index));
        }
        Send(fd, ini.CommitBatch() ? Step::Committed : Step::CommitFailed, generation, 0);
    };
    const Reader read = [&](uint32_t& seen) -> std::string {
        KtIniFile ini(path);
        ini.SetSection("Options");
        std::string problem = ReadValues(ini, seen);
        if (!problem.empty()) return problem;
        if (CountNamesStartingWith("linewatch.ini.corrupt-") != 0)
            return "the file was found damaged";
        return "";
    };
    const KillStatistics run =
        KillWhileSaving(300, save, read, [&] { std::filesystem::remove(path); });
    EXPECT_EQ(run.iterations, 300);
    std::printf(
        "[ figures  ] INI: %d kills, %d between the last write and the reported commit, "
        "%d found the commit already durable, %d temporary files left by kills\n",
        run.iterations, run.killedInsideCommit, run.newerThanReported,
        CountNamesStartingWith(".linewatch.ini.tmp-"));
}

TEST_F(StorageDurability, AutostartEntryKilledWhileWrittenIsOldOrNew) {
    constexpr const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    const Saver save = [](int fd, uint32_t generation) {
        KtRegistry reg(RegistryRoot::CurrentUser);
        if (!reg.Open(kRunKey, false, true)) _exit(4);
        Send(fd, Step::Begin, generation, 0);
        for (int index = 0; index < kValueCount; ++index) {
            Send(fd, Step::Wrote, generation, static_cast<uint32_t>(index));
        }
        const bool ok = reg.SetStringValue("Line Watchman",
                                           "\"/opt/gen " + std::to_string(generation) + "/lw\"");
        Send(fd, ok ? Step::Committed : Step::CommitFailed, generation, 0);
    };
    const Reader read = [&](uint32_t& seen) -> std::string {
        seen = 0;
        KtRegistry reg(RegistryRoot::CurrentUser);
        if (!reg.Open(kRunKey, false, false)) return "the Run key does not open";
        if (!reg.ValueExists("Line Watchman")) return "";
        const std::string value = reg.ReadString("Line Watchman");
        constexpr std::string_view kPrefix = "\"/opt/gen ";
        if (value.rfind(kPrefix, 0) != 0) return "holds " + value;
        seen = static_cast<uint32_t>(std::strtoul(value.c_str() + kPrefix.size(), nullptr, 10));
        if (value != "\"/opt/gen " + std::to_string(seen) + "/lw\"") return "holds " + value;
        return "";
    };
    const KillStatistics run = KillWhileSaving(
        150, save, read, [&] { std::filesystem::remove(dir_ + "/autostart/linewatch.desktop"); });
    EXPECT_EQ(run.iterations, 150);
}

}  // namespace
