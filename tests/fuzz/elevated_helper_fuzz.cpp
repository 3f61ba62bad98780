// Feeds arbitrary bytes as one session's request stream to the helper's own
// request loop, against a temporary machine-wide store and autostart folder,
// and checks the allow-list from outside after every request the helper
// carries out and again at the end of the session:
//   - a carried-out WriteString is the Run value "Line Watchman" holding
//     exactly the installed program's quoted path, and the autostart entry
//     it leaves runs exactly that program, without arguments;
//   - a carried-out WriteInt is WanEndpoints, 1..100, in an adapter class
//     instance key that existed before;
//   - a carried-out DeleteValue is the Run value;
//   - a carried-out WritePeersEntry leaves one regular file, mode 0640, under
//     a valid entry name in the peers folder, whose words read back with one
//     pppoe-ac word equal to the AC-Name sent; the peers folder never holds
//     anything else, and nothing appears beside it;
//   - the store has no new key and no changed value other than WanEndpoints
//     1..100 in an existing instance key;
//   - a session carries out at most kMaxRequestsPerSession requests, and
//     every log line is printable.
// Any violation traps. The store is reset from a template before each input,
// so every run starts from the same state; the folder is removed at exit (a
// trap leaves it for inspection).
//
//   LW_FUZZ_DIR  folder for the temporary store (default /tmp)

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "connections/peers_entry.h"
#include "connections/pppd_words.h"
#include "core/elevation/admin_operation.h"
#include "core/storage/autostart.h"
#include "core/storage/registry.h"
#include "core/storage/registry_store.h"
#include "core/unique_fd.h"
#include "elevated/local_machine_writer.h"
#include "elevated/request_loop.h"
#include "test_support.h"

namespace {

constexpr std::string_view kRunKey = "software\\microsoft\\windows\\currentversion\\run";
constexpr std::string_view kClassKey =
    "system\\currentcontrolset\\control\\class\\{4d36e972-e325-11ce-bfc1-08002be10318}\\";

void Require(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

bool IsInstanceKey(std::string_view path) {
    const std::string lower = Lower(path);
    if (lower.size() != kClassKey.size() + 4 ||
        lower.compare(0, kClassKey.size(), kClassKey) != 0) {
        return false;
    }
    for (char c : lower.substr(kClassKey.size())) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    Require(out.good());
}

// Rows of the store: keys as (id, parent, name), values as (key, name) -> (type, data).
using KeyRows = std::vector<std::tuple<int64_t, int64_t, std::string>>;
using ValueRows = std::map<std::pair<int64_t, std::string>, std::pair<int64_t, std::string>>;

struct Paths {
    std::string dir;
    std::string database;
    std::string autostart;
    std::string desktopFile;
    std::string peers;
    std::string templateBytes;
    KeyRows templateKeys;
    ValueRows templateValues;
};

void ReadRows(const std::string& database, KeyRows& keys, ValueRows& values) {
    sqlite3* db = nullptr;
    Require(sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    Require(sqlite3_prepare_v2(db, "SELECT id, parent, name FROM keys ORDER BY id", -1, &stmt,
                               nullptr) == SQLITE_OK);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        keys.emplace_back(sqlite3_column_int64(stmt, 0), sqlite3_column_int64(stmt, 1),
                          reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2)));
    }
    sqlite3_finalize(stmt);
    Require(sqlite3_prepare_v2(db, "SELECT key, name, type, data FROM vals", -1, &stmt, nullptr) ==
            SQLITE_OK);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        const auto* data = static_cast<const char*>(sqlite3_column_blob(stmt, 3));
        const int size = sqlite3_column_bytes(stmt, 3);
        values[{sqlite3_column_int64(stmt, 0),
                Lower(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)))}] = {
            sqlite3_column_int64(stmt, 2),
            data == nullptr ? std::string() : std::string(data, static_cast<size_t>(size))};
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}

// The instance keys 0001 (WanEndpoints 1, as installed) and 0002 (no value
// yet, a driver description), and machine-wide options left by an older
// release, which must stay as they are.
Paths& Setup() {
    static Paths paths = [] {
        Paths p;
        const char* base = std::getenv("LW_FUZZ_DIR");
        std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") +
                              "/lw-elevated-fuzz-XXXXXX";
        Require(mkdtemp(pattern.data()) != nullptr);
        p.dir = pattern;
        // Outlives the static being built, whose destructor runs first.
        static const auto* const kDir = new std::string(p.dir);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(*kDir, ignored);
        });
        p.database = p.dir + "/hklm.db";
        p.autostart = p.dir + "/autostart";
        p.desktopFile = p.autostart + "/" + std::string(XdgAutostart::kFileName);
        p.peers = p.dir + "/peers";
        Require(mkdir(p.peers.c_str(), 0750) == 0);
        KtRegistryStore::SetDatabasePath(RegistryRoot::LocalMachine, p.database);
        XdgAutostart::SetFolder(RegistryRoot::LocalMachine, p.autostart);
        KtRegistry machine(RegistryRoot::LocalMachine);
        const std::string instance =
            "\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002bE10318}\\";
        Require(machine.Open(instance + "0001", true, true));
        Require(machine.SetIntValue("WanEndpoints", 1));
        Require(machine.Open(instance + "0002", true, true));
        Require(machine.SetStringValue("DriverDesc", "WAN Miniport (PPPOE)"));
        Require(machine.Open("\\Software\\Tarnweld Software\\Line Watchman\\Options", true, true));
        Require(machine.SetStringValue("LogDirectory", "/var/log/linewatch"));
        machine.Close();
        p.templateBytes = ReadFile(p.database);
        Require(!p.templateBytes.empty());
        ReadRows(p.database, p.templateKeys, p.templateValues);
        return p;
    }();
    return paths;
}

// The autostart entry, if there is one, runs exactly the program.
void CheckAutostart(const Paths& paths) {
    struct stat info {};
    if (lstat(paths.desktopFile.c_str(), &info) != 0) {
        return;
    }
    Require(S_ISREG(info.st_mode));
    const std::string text = ReadFile(paths.desktopFile);
    size_t execLines = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Exec=", 0) == 0) {
            ++execLines;
            std::vector<std::string> args;
            Require(XdgAutostart::SplitExec(XdgAutostart::UnescapeString(line.substr(5)), args));
            Require(args == std::vector<std::string>{KtAdminOperation::ProgramPath()});
        }
    }
    Require(execLines == 1);
    std::string value;
    Require(XdgAutostart(RegistryRoot::LocalMachine).Read(value));
    Require(value == KtAdminOperation::ProgramRunCommand());
}

// The peers folder holds only regular files under valid entry names, and the
// fuzz folder nothing but the store, the autostart folder and the peers folder.
void CheckPeers(const Paths& paths) {
    for (const auto& entry : std::filesystem::directory_iterator(paths.peers)) {
        Require(IsValidEntryName(entry.path().filename().string()) && entry.is_regular_file() &&
                !entry.is_symlink());
    }
    for (const auto& entry : std::filesystem::directory_iterator(paths.dir)) {
        const std::string name = entry.path().filename().string();
        Require(name == "peers" || name == "autostart" || name.rfind("hklm.db", 0) == 0);
    }
}

void ClearPeers(const Paths& paths) {
    for (const auto& entry : std::filesystem::directory_iterator(paths.peers)) {
        std::filesystem::remove(entry.path());
    }
}

// The real writer, checked from outside after each request it carries out.
class CheckedWriter final : public KtElevatedInterface {
  public:
    explicit CheckedWriter(const Paths& paths) : paths_(paths) {}

    int32_t WriteString(std::string_view keyPath, std::string_view name,
                        std::string_view value) override {
        ++calls;
        const int32_t result = writer_.WriteString(keyPath, name, value);
        if (Succeeded(result)) {
            Require(Lower(keyPath) == kRunKey && Lower(name) == "line watchman");
            Require(value == KtAdminOperation::ProgramRunCommand());
            CheckAutostart(paths_);
        }
        return result;
    }
    int32_t WriteInt(std::string_view keyPath, std::string_view name, int32_t value) override {
        ++calls;
        const int32_t result = writer_.WriteInt(keyPath, name, value);
        if (Succeeded(result)) {
            Require(IsInstanceKey(keyPath) && Lower(name) == "wanendpoints");
            Require(value >= 1 && value <= 100);
        }
        return result;
    }
    int32_t DeleteValue(std::string_view keyPath, std::string_view name) override {
        ++calls;
        const int32_t result = writer_.DeleteValue(keyPath, name);
        if (Succeeded(result)) {
            Require(Lower(keyPath) == kRunKey && Lower(name) == "line watchman");
        }
        return result;
    }

    int32_t WritePeersEntry(std::string_view entryName, std::string_view interface,
                            std::string_view acName, PeersReplace replace) override {
        ++calls;
        writer_.SetPeersFolder(paths_.peers);
        const int32_t result = writer_.WritePeersEntry(entryName, interface, acName, replace);
        if (Succeeded(result)) {
            Require(IsValidEntryName(entryName) && IsValidInterfaceName(interface));
            const std::string path = paths_.peers + "/" + std::string(entryName);
            struct stat info {};
            Require(lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
                    (info.st_mode & 07777) == 0640);
            size_t targets = 0;
            const auto words = PppdWords::ReadWords(ReadFile(path));
            for (size_t i = 0; i + 1 < words.size(); ++i) {
                if (words[i].text == "pppoe-ac" || words[i].text == "rp_pppoe_ac") {
                    Require(words[i + 1].text == acName);
                    ++targets;
                }
            }
            Require(targets == 1);
        }
        CheckPeers(paths_);
        return result;
    }

    size_t calls = 0;

  private:
    const Paths& paths_;
    KtLocalMachineWriter writer_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Paths& paths = Setup();
    WriteWholeFile(paths.database, paths.templateBytes);
    unlink(paths.desktopFile.c_str());
    ClearPeers(paths);

    UniqueFd in(memfd_create("requests", MFD_CLOEXEC));
    UniqueFd out(open("/dev/null", O_WRONLY | O_CLOEXEC));
    Require(in.Valid() && out.Valid());
    Require(WriteAll(in.Get(), std::string_view(reinterpret_cast<const char*>(data), size)));
    Require(lseek(in.Get(), 0, SEEK_SET) == 0);

    CheckedWriter writer(paths);
    size_t notes = 0;
    ServeRequests(in.Get(), out.Get(), writer, "uid 1000", [&](const std::string& line) {
        ++notes;
        for (char c : line) {
            Require(static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F);
        }
    });
    Require(writer.calls <= kMaxRequestsPerSession && notes <= writer.calls);

    // The whole store afterwards: the same keys, and only WanEndpoints values
    // of instance keys may differ from the template.
    KeyRows keys;
    ValueRows values;
    ReadRows(paths.database, keys, values);
    Require(keys == paths.templateKeys);
    std::map<int64_t, std::string> keyNames;
    for (const auto& [id, parent, name] : keys) {
        keyNames[id] = name;
    }
    for (const auto& [where, what] : values) {
        const auto before = paths.templateValues.find(where);
        if (before != paths.templateValues.end() && before->second == what) {
            continue;
        }
        Require(where.second == "wanendpoints" && what.first == REG_DWORD &&
                what.second.size() == 4);
        const std::string& instance = keyNames[where.first];
        Require(instance.size() == 4 &&
                instance.find_first_not_of("0123456789") == std::string::npos);
        const auto* bytes = reinterpret_cast<const unsigned char*>(what.second.data());
        const uint32_t endpoints =
            bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
        Require(endpoints >= 1 && endpoints <= 100);
    }
    Require(values.size() <= paths.templateValues.size() + 1);
    CheckAutostart(paths);
    CheckPeers(paths);
    return 0;
}
