// linewatch-elevated run as a real process against a temporary machine-wide
// store, spoken to over its standard input and output.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/elevation/admin_operation.h"
#include "core/elevation/elevated_protocol.h"
#include "core/storage/autostart.h"
#include "core/storage/registry.h"
#include "core/storage/registry_store.h"
#include "core/unique_fd.h"
#include "elevated/local_machine_writer.h"
#include "elevated/request_loop.h"
#include "test_support.h"

#ifndef LW_TEST_ELEVATED_HELPER
#error "LW_TEST_ELEVATED_HELPER must name the built linewatch-elevated"
#endif

using ElevatedProtocol::Operation;
using ElevatedProtocol::Request;

namespace {

constexpr const char* kOptionsKey = "Software\\Tarnweld Software\\Line Watchman\\Options";
constexpr const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char* kClassKey =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002bE10318}";

// One helper process with pipes on its three standard streams.
class HelperProcess {
  public:
    // wrapper: a command that runs the helper (e.g. to drop privileges).
    HelperProcess(const std::vector<std::string>& arguments, const std::vector<std::string>& env,
                  const std::vector<std::string>& wrapper = {}) {
        int in[2];
        int out[2];
        int err[2];
        EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<std::string> argvText = wrapper;
        argvText.push_back(LW_TEST_ELEVATED_HELPER);
        argvText.insert(argvText.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& a : argvText) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        std::vector<std::string> envText = env;
        std::vector<char*> envp;
        for (std::string& e : envText) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        close(err[1]);
        in_ = in[1];
        out_ = out[0];
        err_ = err[0];
    }

    ~HelperProcess() {
        CloseInput();
        Wait();
        close(out_);
        close(err_);
    }

    bool Greeted() {
        std::string line;
        return ElevatedProtocol::ReadLine(out_, 64, line) &&
               line + "\n" == ElevatedProtocol::kGreeting;
    }

    bool Send(std::string_view bytes) { return WriteAll(in_, bytes); }

    // The next reply, or nothing if the helper ended first.
    std::optional<int32_t> Reply() {
        std::string line;
        int32_t result = 0;
        if (!ElevatedProtocol::ReadLine(out_, 9, line) ||
            !ElevatedProtocol::DecodeReply(line, result)) {
            return std::nullopt;
        }
        return result;
    }

    std::optional<int32_t> Call(const Request& request) {
        if (!Send(ElevatedProtocol::EncodeRequest(request))) {
            return std::nullopt;
        }
        return Reply();
    }

    void CloseInput() {
        if (in_ >= 0) {
            close(in_);
            in_ = -1;
        }
    }

    // Exit code, or -1 if it did not exit normally.
    int Wait() {
        if (pid_ > 0) {
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
            exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return exit_;
    }

    std::string Errors() {
        std::string text;
        char buffer[512];
        ssize_t n;
        while ((n = read(err_, buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<size_t>(n));
        }
        return text;
    }

    bool InputEnded() {
        char c;
        return read(out_, &c, 1) == 0;
    }

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    int exit_ = -1;
};

Request WriteString(std::string key, std::string name, std::string value) {
    Request r;
    r.op = Operation::WriteString;
    r.keyPath = std::move(key);
    r.name = std::move(name);
    r.value = std::move(value);
    return r;
}

Request WriteInt(std::string key, std::string name, int32_t value) {
    Request r;
    r.op = Operation::WriteInt;
    r.keyPath = std::move(key);
    r.name = std::move(name);
    r.number = value;
    return r;
}

Request DeleteValue(std::string key, std::string name) {
    Request r;
    r.op = Operation::DeleteValue;
    r.keyPath = std::move(key);
    r.name = std::move(name);
    return r;
}

class ElevatedHelperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/lw-helper-XXXXXX";
        dir_ = mkdtemp(pattern);
        database_ = dir_ + "/hklm.db";
        autostart_ = dir_ + "/autostart";
        KtRegistryStore::SetDatabasePath(RegistryRoot::LocalMachine, database_);
        XdgAutostart::SetFolder(RegistryRoot::LocalMachine, autostart_);
    }
    void TearDown() override {
        KtRegistryStore::SetDatabasePath(RegistryRoot::LocalMachine, "");
        XdgAutostart::SetFolder(RegistryRoot::LocalMachine, "");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::vector<std::string> TestStore() const {
        return {"--serve", "--hklm-db", database_, "--system-autostart-dir", autostart_};
    }

    // True if the key exists in the temporary store.
    bool KeyExists(const std::string& path) {
        KtRegistry machine(RegistryRoot::LocalMachine);
        return machine.Open("\\" + path, false, false);
    }

    std::string dir_;
    std::string database_;
    std::string autostart_;
};

}  // namespace

TEST_F(ElevatedHelperTest, DemandsExactlyServe) {
    const std::vector<std::vector<std::string>> refused = {
        {},
        {"--bogus"},
        {"--serve", "--bogus"},
        {"--hklm-db", "/tmp/x.db"},
        {"--serve", "--hklm-db"},
        {"--serve", "--hklm-db", "relative.db"},
        {"--serve", "--hklm-db", "/tmp/a.db", "--hklm-db", "/tmp/b.db"},
        {"serve"},
    };
    for (const auto& arguments : refused) {
        HelperProcess helper(arguments, {});
        EXPECT_EQ(helper.Wait(), 2) << (arguments.empty() ? "" : arguments.back());
        EXPECT_NE(helper.Errors().find("usage: linewatch-elevated --serve"), std::string::npos);
    }
}

TEST_F(ElevatedHelperTest, RefusesStoreLocationsWhenStartedByPkexec) {
    HelperProcess helper(TestStore(), {"PKEXEC_UID=1000"});
    EXPECT_EQ(helper.Wait(), 2);
    EXPECT_NE(helper.Errors().find("cannot be changed"), std::string::npos);
    struct stat info {};
    EXPECT_NE(stat(database_.c_str(), &info), 0);
}

TEST_F(ElevatedHelperTest, GreetsAndEndsCleanlyAtEndOfInput) {
    HelperProcess helper(TestStore(), {});
    ASSERT_TRUE(helper.Greeted());
    helper.CloseInput();
    EXPECT_EQ(helper.Wait(), 0);
}

TEST_F(ElevatedHelperTest, IgnoresStoreOverridesFromTheEnvironment) {
    // Without the test options the helper must use the fixed store, whatever
    // the environment says. It runs as an ordinary user, for whom the fixed
    // store is read-only and the folder of the overrides is writable, so a
    // write that obeyed the environment would show.
    std::vector<std::string> wrapper;
    if (geteuid() == 0) {
        wrapper = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    }
    HelperProcess helper(
        {"--serve"}, {"LW_HKLM_DB=" + database_, "LW_SYSTEM_AUTOSTART_DIR=" + autostart_}, wrapper);
    ASSERT_TRUE(helper.Greeted());
    std::optional<int32_t> result =
        helper.Call(WriteInt(std::string(kClassKey) + "\\0001", "WanEndpoints", 1));
    ASSERT_TRUE(result.has_value());
    EXPECT_FALSE(Succeeded(*result));
    std::optional<int32_t> run =
        helper.Call(WriteString(kRunKey, "Line Watchman", KtAdminOperation::ProgramRunCommand()));
    ASSERT_TRUE(run.has_value());
    EXPECT_FALSE(Succeeded(*run));
    struct stat info {};
    EXPECT_NE(stat(database_.c_str(), &info), 0);
    EXPECT_NE(stat(autostart_.c_str(), &info), 0);
}

TEST_F(ElevatedHelperTest, RefusesKeysOffTheAllowList) {
    HelperProcess helper(TestStore(), {});
    ASSERT_TRUE(helper.Greeted());
    const std::vector<std::string> keys = {
        "Software\\Evil",
        "Software\\Tarnweld Software\\Line Watchman",
        "Software\\Tarnweld Software\\Line Watchman\\Options\\Sub",
        "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce",
        "SYSTEM\\CurrentControlSet\\Services\\Tcpip",
        std::string(kClassKey) + "\\001",
        std::string(kClassKey) + "\\00012",
        std::string(kClassKey) + "\\00a1",
        "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E973-E325-11CE-BFC1-08002BE10318}\\0001",
    };
    for (const std::string& key : keys) {
        EXPECT_EQ(helper.Call(WriteInt(key, "WanEndpoints", 3)), E_ACCESSDENIED) << key;
        EXPECT_EQ(helper.Call(WriteString(key, "X", "y")), E_ACCESSDENIED) << key;
        EXPECT_EQ(helper.Call(DeleteValue(key, "X")), E_ACCESSDENIED) << key;
        EXPECT_FALSE(KeyExists(key)) << key;
    }
}

TEST_F(ElevatedHelperTest, RefusesMalformedPathsAndNames) {
    HelperProcess helper(TestStore(), {});
    ASSERT_TRUE(helper.Greeted());
    const std::string options = kOptionsKey;
    const std::vector<std::string> keys = {
        "",
        "\\" + options,
        options + "\\",
        options + "\\..",
        options + "\\..\\..\\..\\Evil",
        "Software\\\\Tarnweld Software\\Line Watchman\\Options",
        "Software\\.\\Tarnweld Software\\Line Watchman\\Options",
        "Software\\Tarnweld Software\\Line Watchman\\Options\nX",
        std::string("Software\\Tarnweld Software\\Line Watchman\\Options\0", 49),
        "Software/Tarnweld Software/Line Watchman/Options",
    };
    for (const std::string& key : keys) {
        EXPECT_EQ(helper.Call(WriteString(key, "A", "b")), E_INVALIDARG) << key;
    }
    EXPECT_EQ(helper.Call(WriteString(options, "", "b")), E_INVALIDARG);
    EXPECT_EQ(helper.Call(WriteString(options, "A\tB", "b")), E_INVALIDARG);
    EXPECT_EQ(helper.Call(WriteInt(options, std::string("A\0B", 3), 1)), E_INVALIDARG);
    EXPECT_EQ(helper.Call(WriteString(kRunKey, "Line Watchman", "line\nnext")), E_INVALIDARG);
    EXPECT_EQ(helper.Call(WriteString(kRunKey, "Line Watchman", std::string("a\0b", 3))),
              E_INVALIDARG);
    EXPECT_FALSE(KeyExists(options));
}

TEST_F(ElevatedHelperTest, OversizedFieldsAreRefusedAndTheSessionGoesOn) {
    HelperProcess helper(TestStore(), {});
    ASSERT_TRUE(helper.Greeted());
    EXPECT_EQ(helper.Call(WriteString(kOptionsKey, "A", std::string(4097, 'v'))), E_INVALIDARG);
    EXPECT_EQ(helper.Call(WriteString(kOptionsKey, std::string(256, 'n'), "v")), E_INVALIDARG);
    EXPECT_EQ(helper.Call(WriteInt(kOptionsKey + std::string(300, 'k'), "A", 1)), E_INVALIDARG);
    EXPECT_FALSE(KeyExists(kOptionsKey));
    // At the limits exactly, the same requests reach the allow-list, and the
    // session still serves what is allowed.
    EXPECT_EQ(helper.Call(WriteString(kRunKey, std::string(255, 'n'), std::string(4096, 'v'))),
              E_ACCESSDENIED);
    EXPECT_EQ(
        helper.Call(WriteString(kRunKey, "Line Watchman", KtAdminOperation::ProgramRunCommand())),
        S_OK);
}

TEST_F(ElevatedHelperTest, UnboundedOrMalformedRequestEndsTheSession) {
    const std::vector<std::string> frames = {
        "WS 10 10 4294967295\n",       // a value far beyond what is discarded
        "WS 1 1\n",                    // missing field
        "XX 1 1 0\nab",                // unknown operation
        "WS 01 1 1\nabc",              // leading zero
        "WS -1 1 1\nabc",              // sign on a length
        "WI 1 1 2147483648\nab",       // integer out of range
        "WI 1 1 +5\nab",               // explicit plus sign
        "DV 1 1 7\nab",                // delete with an argument
        "WS  1 1 1\nabc",              // double space
        "\n",                          // empty header
        std::string(100, 'W') + "\n",  // overlong header
    };
    for (const std::string& frame : frames) {
        HelperProcess helper(TestStore(), {});
        ASSERT_TRUE(helper.Greeted());
        ASSERT_TRUE(helper.Send(frame));
        EXPECT_EQ(helper.Reply(), E_INVALIDARG) << frame;
        EXPECT_TRUE(helper.InputEnded()) << frame;
        EXPECT_EQ(helper.Wait(), 3) << frame;
    }
}

TEST_F(ElevatedHelperTest, RequestCutShortEndsTheSessionWithoutWriting) {
    HelperProcess helper(TestStore(), {});
    ASSERT_TRUE(helper.Greeted());
    std::string frame = ElevatedProtocol::EncodeRequest(
        WriteString(kRunKey, "Line Watchman", KtAdminOperation::ProgramRunCommand()));
    ASSERT_TRUE(helper.Send(frame.substr(0, frame.size() - 2)));
    helper.CloseInput();
    EXPECT_EQ(helper.Reply(), E_INVALIDARG);
    EXPECT_EQ(helper.Wait(), 3);
    struct stat info {};
    EXPECT_NE(stat(autostart_.c_str(), &info), 0);
}

TEST_F(ElevatedHelperTest, MachineWideOptionsAreRefusedAndTheStoreIsUnchanged) {
    // Options a machine-wide store already holds (from an older release, say)
    // stay as they are: the helper neither writes nor deletes them.
    {
        KtRegistry machine(RegistryRoot::LocalMachine);
        ASSERT_TRUE(machine.Open(std::string("\\") + kOptionsKey, true, true));
        machine.WriteString("LogDirectory", "/var/log/linewatch");
    }
    const std::string before = ReadFile(database_);
    HelperProcess helper(TestStore(), {});
    ASSERT_TRUE(helper.Greeted());
    EXPECT_EQ(helper.Call(WriteString(kOptionsKey, "LogDirectory", "/home/victim")),
              E_ACCESSDENIED);
    EXPECT_EQ(helper.Call(WriteInt(kOptionsKey, "ProbeInterval", 1)), E_ACCESSDENIED);
    EXPECT_EQ(helper.Call(DeleteValue(kOptionsKey, "LogDirectory")), E_ACCESSDENIED);
    helper.CloseInput();
    EXPECT_EQ(helper.Wait(), 0);
    EXPECT_EQ(ReadFile(database_), before);
    KtRegistry machine(RegistryRoot::LocalMachine);
    ASSERT_TRUE(machine.Open(std::string("\\") + kOptionsKey, false, false));
    EXPECT_EQ(machine.ReadString("LogDirectory", ""), "/var/log/linewatch");
}

TEST_F(ElevatedHelperTest, WritesEndpointsOnlyIntoAnExistingDriverKey) {
    const std::string instance = std::string(kClassKey) + "\\0003";
    {
        KtRegistry machine(RegistryRoot::LocalMachine);
        ASSERT_TRUE(machine.Open("\\" + instance, true, true));
        machine.WriteInt("WanEndpoints", 5);
    }
    HelperProcess helper(TestStore(), {});
    ASSERT_TRUE(helper.Greeted());
    std::string lower = instance;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(helper.Call(WriteInt(lower, "wanendpoints", 10)), S_OK);
    EXPECT_EQ(helper.Call(WriteInt(instance, "WanEndpoints", 100)), S_OK);
    // The driver takes 1..100 endpoints.
    for (int32_t outside : {0, 101, -1, -2147483647 - 1, 2147483647}) {
        EXPECT_EQ(helper.Call(WriteInt(instance, "WanEndpoints", outside)), E_INVALIDARG)
            << outside;
    }

    // Only that value, only as an integer, never deleted, never a new key.
    EXPECT_EQ(helper.Call(WriteInt(instance, "DriverDesc", 1)), E_ACCESSDENIED);
    EXPECT_EQ(helper.Call(WriteString(instance, "WanEndpoints", "7")), E_ACCESSDENIED);
    EXPECT_EQ(helper.Call(DeleteValue(instance, "WanEndpoints")), E_ACCESSDENIED);
    const std::string missing = std::string(kClassKey) + "\\0004";
    EXPECT_EQ(helper.Call(WriteInt(missing, "WanEndpoints", 3)), E_NOT_FOUND);
    EXPECT_FALSE(KeyExists(missing));

    KtRegistry machine(RegistryRoot::LocalMachine);
    ASSERT_TRUE(machine.Open("\\" + instance, false, false));
    EXPECT_EQ(machine.ReadInt("WanEndpoints", 0), 100);
    EXPECT_FALSE(machine.ValueExists("DriverDesc"));
}

TEST_F(ElevatedHelperTest, RunKeyRoundTripWritesAndRemovesSystemAutostartFile) {
    HelperProcess helper(TestStore(), {});
    ASSERT_TRUE(helper.Greeted());
    const std::string file = autostart_ + "/linewatch.desktop";
    const std::string command = KtAdminOperation::ProgramRunCommand();

    EXPECT_EQ(helper.Call(WriteString(kRunKey, "Line Watchman", command)), S_OK);
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("Exec="), std::string::npos);
    EXPECT_NE(text.str().find("Exec=" + KtAdminOperation::ProgramPath() + "\n"), std::string::npos);
    KtRegistry machine(RegistryRoot::LocalMachine);
    ASSERT_TRUE(machine.Open(std::string("\\") + kRunKey, true, false));
    EXPECT_EQ(machine.ReadString("Line Watchman", ""), command);

    EXPECT_EQ(helper.Call(DeleteValue(kRunKey, "line watchman")), S_OK);
    struct stat info {};
    EXPECT_NE(stat(file.c_str(), &info), 0);
    EXPECT_EQ(helper.Call(DeleteValue(kRunKey, "Line Watchman")), E_NOT_FOUND);
}

TEST_F(ElevatedHelperTest, RunKeyTakesOnlyTheProgramsOwnQuotedPath) {
    HelperProcess helper(TestStore(), {});
    ASSERT_TRUE(helper.Greeted());
    const std::string program = KtAdminOperation::ProgramPath();
    const std::vector<std::string> values = {
        "\"/tmp/evil\"",               // another program
        "\"" + program + "\" --evil",  // the program with arguments
        "\"" + program + " --evil\"",  // arguments inside the quotes
        "\"" + program + "\" ",        // trailing blank
        program,                       // not quoted
        "\"" + program + "x\"",        // a longer name
        "\"" + program.substr(0, program.size() - 1) + "\"",
        "\"/usr/bin/linewatch\nHidden=true\"",  // a second desktop line
        "\"\"",
        "",
    };
    for (const std::string& value : values) {
        EXPECT_EQ(helper.Call(WriteString(kRunKey, "Line Watchman", value)), E_INVALIDARG) << value;
    }
    EXPECT_EQ(helper.Call(WriteString(kRunKey, "Other Program", "\"/usr/bin/other\"")),
              E_ACCESSDENIED);
    EXPECT_EQ(helper.Call(WriteInt(kRunKey, "Line Watchman", 1)), E_ACCESSDENIED);
    struct stat info {};
    EXPECT_NE(stat((autostart_ + "/linewatch.desktop").c_str(), &info), 0);

    EXPECT_EQ(helper.Call(WriteString(kRunKey, "Line Watchman", "\"" + program + "\"")), S_OK);
    std::vector<std::string> args;
    std::string exec = ReadFile(autostart_ + "/linewatch.desktop");
    exec = exec.substr(exec.find("\nExec=") + 6);
    ASSERT_TRUE(XdgAutostart::SplitExec(exec.substr(0, exec.find('\n')), args));
    EXPECT_EQ(args, std::vector<std::string>{program});
}

TEST_F(ElevatedHelperTest, OneSessionServesABoundedNumberOfRequests) {
    HelperProcess helper(TestStore(), {});
    ASSERT_TRUE(helper.Greeted());
    // Refused requests count too: a session is bounded whatever it asks.
    for (size_t i = 0; i < kMaxRequestsPerSession; ++i) {
        ASSERT_EQ(helper.Call(DeleteValue(kOptionsKey, "X" + std::to_string(i))), E_ACCESSDENIED)
            << i;
    }
    EXPECT_EQ(
        helper.Call(WriteString(kRunKey, "Line Watchman", KtAdminOperation::ProgramRunCommand())),
        E_FAIL);
    EXPECT_TRUE(helper.InputEnded());
    EXPECT_EQ(helper.Wait(), 4);
    EXPECT_NE(helper.Errors().find("request limit"), std::string::npos);
    struct stat info {};
    EXPECT_NE(stat(autostart_.c_str(), &info), 0);
}

TEST_F(ElevatedHelperTest, EachAcceptedRequestIsNotedWithoutItsValue) {
    // The loop the helper runs, on a request stream held in a memory file.
    std::string input;
    for (const Request& request :
         {WriteString(kRunKey, "Line Watchman", KtAdminOperation::ProgramRunCommand()),
          WriteString(kOptionsKey, "LogDirectory", "/tmp"), DeleteValue(kRunKey, "Line Watchman"),
          DeleteValue(kRunKey, "Line Watchman")}) {
        input += ElevatedProtocol::EncodeRequest(request);
    }
    UniqueFd in(memfd_create("requests", MFD_CLOEXEC));
    UniqueFd out(open("/dev/null", O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(WriteAll(in.Get(), input));
    ASSERT_EQ(lseek(in.Get(), 0, SEEK_SET), 0);
    std::vector<std::string> lines;
    KtLocalMachineWriter writer;
    EXPECT_EQ(ServeRequests(in.Get(), out.Get(), writer, "uid 1000",
                            [&](const std::string& line) { lines.push_back(line); }),
              SessionEnd::InputEnded);
    const std::string about =
        " for uid 1000: key \"Software\\\\Microsoft\\\\Windows\\\\"
        "CurrentVersion\\\\Run\" value name \"Line Watchman\"";
    EXPECT_EQ(lines, (std::vector<std::string>{"accepted WriteString" + about,
                                               "accepted DeleteValue" + about}));
    // Whatever a requester or key holds, the line stays one printable line.
    EXPECT_EQ(EscapeLogText("a\nb\"c\\d\x7F\xC3\xA9"), "a\\x0Ab\\x22c\\\\d\\x7F\\xC3\\xA9");
}
