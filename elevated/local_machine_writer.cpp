#include "elevated/local_machine_writer.h"

#include <string>

#include "connections/phonebook.h"
#include "core/elevation/admin_operation.h"
#include "core/storage/registry.h"
#include "core/storage/storage_names.h"

namespace {

// Key paths below the machine-wide root come without the leading backslash.
constexpr std::string_view kRunKey = kRunKeyAbsolutePath.substr(1);
constexpr std::string_view kRunValue = kRunValueName;
constexpr std::string_view kAdapterClassKey =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002bE10318}\\";
constexpr std::string_view kEndpointsValue = "WanEndpoints";
constexpr size_t kMaxComponentBytes = 255;

enum class KeyKind { None, Run, AdapterClass };
enum class Operation { WriteString, WriteInt, DeleteValue };

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<char>(x - 'A' + 'a');
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<char>(y - 'A' + 'a');
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

bool HasControlCharacter(std::string_view text) {
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return true;
        }
    }
    return false;
}

// Every component present, none "." or "..", none overlong, no control
// characters and no slash (which would read as a separator elsewhere).
bool IsWellFormedKeyPath(std::string_view path) {
    if (path.empty() || path.size() > ElevatedProtocol::kMaxKeyPathBytes ||
        HasControlCharacter(path)) {
        return false;
    }
    size_t start = 0;
    while (true) {
        size_t end = path.find('\\', start);
        std::string_view component = path.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (component.empty() || component == "." || component == ".." ||
            component.size() > kMaxComponentBytes ||
            component.find('/') != std::string_view::npos) {
            return false;
        }
        if (end == std::string_view::npos) {
            return true;
        }
        start = end + 1;
    }
}

bool IsWellFormedName(std::string_view name) {
    return !name.empty() && name.size() <= ElevatedProtocol::kMaxValueNameBytes &&
           !HasControlCharacter(name);
}

KeyKind Classify(std::string_view path) {
    if (EqualsIgnoringCase(path, kRunKey)) {
        return KeyKind::Run;
    }
    if (path.size() == kAdapterClassKey.size() + 4 &&
        EqualsIgnoringCase(path.substr(0, kAdapterClassKey.size()), kAdapterClassKey)) {
        for (char c : path.substr(kAdapterClassKey.size())) {
            if (c < '0' || c > '9') {
                return KeyKind::None;
            }
        }
        return KeyKind::AdapterClass;
    }
    return KeyKind::None;
}

// The Run value becomes the Exec line of the system autostart entry, so it
// must be what the program writes there: the installed program's own path,
// quoted, no arguments.
bool IsProgramRunCommand(std::string_view value) {
    return value == KtAdminOperation::ProgramRunCommand();
}

// Checks a request against the allow-list. S_OK if it may go ahead.
int32_t Check(Operation op, std::string_view path, std::string_view name, KeyKind& kind) {
    if (!IsWellFormedKeyPath(path) || !IsWellFormedName(name)) {
        return E_INVALIDARG;
    }
    kind = Classify(path);
    switch (kind) {
        case KeyKind::None:
            return E_ACCESSDENIED;
        case KeyKind::Run:
            return EqualsIgnoringCase(name, kRunValue) && op != Operation::WriteInt
                       ? S_OK
                       : E_ACCESSDENIED;
        case KeyKind::AdapterClass:
            return EqualsIgnoringCase(name, kEndpointsValue) && op == Operation::WriteInt
                       ? S_OK
                       : E_ACCESSDENIED;
    }
    return E_ACCESSDENIED;
}

// Opens the key below the machine root. The driver's class key is never
// created: the driver owns it, and the unelevated path does not create it
// either.
int32_t OpenKey(KtRegistry& machine, std::string_view path, KeyKind kind) {
    std::string absolute = "\\" + std::string(path);
    bool create = kind != KeyKind::AdapterClass;
    if (machine.Open(absolute, create, true)) {
        return S_OK;
    }
    // Tell a missing driver key from a store this process cannot write.
    if (!create && !machine.Open(absolute, false, false)) {
        return E_NOT_FOUND;
    }
    return E_FAIL;
}

}  // namespace

int32_t KtLocalMachineWriter::WriteString(std::string_view keyPath, std::string_view name,
                                          std::string_view value) {
    KeyKind kind = KeyKind::None;
    int32_t checked = Check(Operation::WriteString, keyPath, name, kind);
    if (checked != S_OK) {
        return checked;
    }
    if (value.size() > ElevatedProtocol::kMaxStringValueBytes || HasControlCharacter(value) ||
        (kind == KeyKind::Run && !IsProgramRunCommand(value))) {
        return E_INVALIDARG;
    }
    KtRegistry machine(RegistryRoot::LocalMachine);
    if (int32_t opened = OpenKey(machine, keyPath, kind); opened != S_OK) {
        return opened;
    }
    return machine.SetStringValue(name, value) ? S_OK : E_FAIL;
}

int32_t KtLocalMachineWriter::WriteInt(std::string_view keyPath, std::string_view name,
                                       int32_t value) {
    KeyKind kind = KeyKind::None;
    int32_t checked = Check(Operation::WriteInt, keyPath, name, kind);
    if (checked != S_OK) {
        return checked;
    }
    if (value < kMinEndpoints || value > kMaxEndpoints) {
        return E_INVALIDARG;
    }
    KtRegistry machine(RegistryRoot::LocalMachine);
    if (int32_t opened = OpenKey(machine, keyPath, kind); opened != S_OK) {
        return opened;
    }
    return machine.SetIntValue(name, value) ? S_OK : E_FAIL;
}

int32_t KtLocalMachineWriter::DeleteValue(std::string_view keyPath, std::string_view name) {
    KeyKind kind = KeyKind::None;
    int32_t checked = Check(Operation::DeleteValue, keyPath, name, kind);
    if (checked != S_OK) {
        return checked;
    }
    KtRegistry machine(RegistryRoot::LocalMachine);
    if (int32_t opened = OpenKey(machine, keyPath, kind); opened != S_OK) {
        return opened;
    }
    if (!machine.ValueExists(name)) {
        return E_NOT_FOUND;
    }
    return machine.DeleteValue(name) ? S_OK : E_FAIL;
}

int32_t KtLocalMachineWriter::WritePeersEntry(std::string_view entryName,
                                              std::string_view interface, std::string_view acName,
                                              PeersReplace replace) {
    // WritePeersEntryFile checks the name and the fields, builds the text and
    // keeps to what the request allows to be replaced.
    return WritePeersEntryFile(peersFolder_, entryName,
                               PeersEntryFields{std::string(acName), std::string(interface)},
                               replace);
}
