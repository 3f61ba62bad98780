#include "core/storage/registry.h"

#include "core/debug_output.h"
#include "core/storage/autostart.h"

namespace {

bool IsStringType(uint32_t type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

}  // namespace

KtRegistry::KtRegistry(RegistryRoot root)
    : root_(root),
      store_(std::make_unique<KtRegistryStore>(KtRegistryStore::DatabasePath(root), root)) {}

KtRegistry::~KtRegistry() = default;

bool KtRegistry::ParseKeyPath(std::string_view path, RegistryKeyPath& key) {
    key.clear();
    if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
    if (path.empty()) return true;
    for (;;) {
        const size_t separator = path.find('\\');
        const std::string_view part = path.substr(0, separator);
        if (part.empty() || part.size() > kMaxRegistryKeyNameBytes ||
            part.find('\0') != std::string_view::npos || key.size() >= kMaxRegistryKeyDepth) {
            key.clear();
            return false;
        }
        key.emplace_back(part);
        if (separator == std::string_view::npos) return true;
        path.remove_prefix(separator + 1);
    }
}

bool KtRegistry::Open(std::string_view path, bool create, bool writable) {
    const bool absolute = !path.empty() && path.front() == '\\';
    if (absolute) path.remove_prefix(1);
    RegistryKeyPath relative;
    if (!ParseKeyPath(path, relative)) return false;
    RegistryKeyPath full;
    if (!absolute && open_) full = key_;
    if (full.size() + relative.size() > kMaxRegistryKeyDepth) return false;
    full.insert(full.end(), relative.begin(), relative.end());

    const bool runKey = XdgAutostart::IsRunKey(full);
    if (writable && !(runKey ? XdgAutostart(root_).CanWrite() : store_->CanWrite())) return false;
    // The Run key always exists: its program value is a file, not a database row.
    if (!runKey && !full.empty()) {
        if (store_->FindKey(full) != KtRegistryStore::Lookup::Found) {
            if (!create || !store_->CreateKey(full)) return false;
        }
    }
    key_ = std::move(full);
    open_ = true;
    writable_ = writable;
    return true;
}

void KtRegistry::Close() {
    open_ = false;
    writable_ = false;
    key_.clear();
}

std::string KtRegistry::KeyPath() const {
    std::string path;
    for (const std::string& part : key_) {
        if (!path.empty()) path += '\\';
        path += part;
    }
    return path;
}

bool KtRegistry::IsMounted(std::string_view name) const {
    return XdgAutostart::IsRunKey(key_) && XdgAutostart::IsMountedValue(name);
}

bool KtRegistry::QueryValue(std::string_view name, uint32_t& type, std::string& data) {
    if (!open_) return false;
    if (IsMounted(name)) {
        std::string value;
        if (!XdgAutostart(root_).Read(value)) return false;
        type = REG_SZ;
        data = value;
        data += '\0';
        return true;
    }
    return store_->QueryValue(key_, name, type, data);
}

bool KtRegistry::SetValue(std::string_view name, uint32_t type, std::string_view data) {
    if (!open_ || !writable_) return false;
    if (IsMounted(name)) {
        if (type != REG_SZ && type != REG_EXPAND_SZ) {
            DebugOutput(
                "The autostart entry holds a command line; a value of another type is refused.\n");
            return false;
        }
        return XdgAutostart(root_).Write(data.substr(0, data.find('\0')));
    }
    return store_->SetValue(key_, name, type, data);
}

bool KtRegistry::SetStringValue(std::string_view name, std::string_view value) {
    std::string data(value);
    data += '\0';
    return SetValue(name, REG_SZ, data);
}

bool KtRegistry::SetIntValue(std::string_view name, int32_t value) {
    const auto bits = static_cast<uint32_t>(value);
    const char data[4] = {static_cast<char>(bits & 0xffu), static_cast<char>((bits >> 8) & 0xffu),
                          static_cast<char>((bits >> 16) & 0xffu),
                          static_cast<char>((bits >> 24) & 0xffu)};
    return SetValue(name, REG_DWORD, std::string_view(data, sizeof data));
}

bool KtRegistry::ValueExists(std::string_view name) {
    uint32_t type = REG_NONE;
    std::string data;
    return QueryValue(name, type, data);
}

std::string KtRegistry::ReadString(std::string_view name, std::string_view defaultValue) {
    uint32_t type = REG_NONE;
    std::string data;
    if (!QueryValue(name, type, data) || data.empty() || !IsStringType(type)) {
        return std::string(defaultValue);
    }
    data.resize(data.size() - 1);  // the terminating NUL
    // The text ends at its first NUL, as a C string read from the registry does.
    const size_t nul = data.find('\0');
    if (nul != std::string::npos) data.resize(nul);
    return data;
}

std::string KtRegistry::ReadString(std::string_view name) {
    return ReadString(name, "");
}

int32_t KtRegistry::ReadInt(std::string_view name, int32_t defaultValue) {
    uint32_t type = REG_NONE;
    std::string data;
    if (!QueryValue(name, type, data) || data.empty()) return defaultValue;
    uint32_t bits = 0;
    for (size_t i = 0; i < data.size() && i < 4; ++i) {
        bits |= static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    }
    return static_cast<int32_t>(bits);
}

int32_t KtRegistry::ReadInt(std::string_view name) {
    return ReadInt(name, 0);
}

void KtRegistry::WriteString(std::string_view name, std::string_view value) {
    SetStringValue(name, value);
}

void KtRegistry::WriteInt(std::string_view name, int32_t value) {
    SetIntValue(name, value);
}

bool KtRegistry::DeleteValue(std::string_view name) {
    if (!open_ || !writable_) return false;
    if (IsMounted(name)) return XdgAutostart(root_).Remove();
    return store_->DeleteValue(key_, name);
}

bool KtRegistry::BeginBatch() {
    return open_ && writable_ && store_->Begin();
}

bool KtRegistry::CommitBatch() {
    return store_->Commit();
}

void KtRegistry::DiscardBatch() {
    store_->Rollback();
}

bool KtRegistry::InBatch() const {
    return store_->InBatch();
}
