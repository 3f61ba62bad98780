#include "elevated/package_seed.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "core/storage/registry.h"
#include "core/storage/registry_store.h"

namespace PackageSeed {

namespace {

RegistryKeyPath KeyPath(const char* text) {
    RegistryKeyPath key;
    KtRegistry::ParseKeyPath(text, key);
    return key;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool Exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

std::string StringData(std::string_view text) {
    std::string data(text);
    data += '\0';
    return data;
}

std::string DwordData(int value) {
    const auto bits = static_cast<uint32_t>(value);
    return {static_cast<char>(bits & 0xffu), static_cast<char>((bits >> 8) & 0xffu),
            static_cast<char>((bits >> 16) & 0xffu), static_cast<char>((bits >> 24) & 0xffu)};
}

}  // namespace

bool Seed(std::vector<std::string>& added, std::string& error) {
    added.clear();
    const std::string path = KtRegistryStore::DatabasePath(RegistryRoot::LocalMachine);
    const std::string folder = FolderOf(path);
    const bool folderExisted = Exists(folder);
    const bool storeExisted = Exists(path);
    if (!folderExisted && mkdir(folder.c_str(), 0755) != 0) {
        error = "cannot create " + folder + ": " + std::strerror(errno);
        return false;
    }

    KtRegistryStore store(path, RegistryRoot::LocalMachine);
    const RegistryKeyPath deviceKey = KeyPath(kDeviceKey);
    const RegistryKeyPath classKey = KeyPath(kClassKey);
    uint32_t type = 0;
    std::string data;
    const bool driverPresent = store.QueryValue(deviceKey, "Driver", type, data);
    // A Driver value naming another class key is someone else's set-up: the
    // page reads that key, so nothing is planted beside it.
    const bool driverOurs = !driverPresent || (type == REG_SZ && data == StringData(kDriverText));
    const bool endpointsPresent =
        !driverOurs || store.QueryValue(classKey, "WanEndpoints", type, data);
    if (store.IsDamaged()) {
        error = "the machine-wide store " + path + " is damaged; it is left as it is";
        return false;
    }

    // Both values in one transaction: a failure leaves the store as it was.
    bool written = store.Begin();
    if (written && !driverPresent) {
        written = store.SetValue(deviceKey, "Driver", REG_SZ, StringData(kDriverText));
    }
    if (written && !endpointsPresent) {
        written = store.SetValue(classKey, "WanEndpoints", REG_DWORD, DwordData(kSeededEndpoints));
    }
    if (!written || !store.Commit()) {
        store.Rollback();
        error = "cannot write the machine-wide store " + path;
        return false;
    }
    if (!folderExisted) added.emplace_back("folder");
    if (!storeExisted && Exists(path)) added.emplace_back("store");
    if (!driverPresent) added.emplace_back("driver");
    if (!endpointsPresent) added.emplace_back("endpoints");
    return true;
}

bool Remove(const std::vector<std::string>& items, std::string& error) {
    bool folder = false;
    bool storeFile = false;
    bool driver = false;
    bool endpoints = false;
    for (const std::string& item : items) {
        if (item == "folder") {
            folder = true;
        } else if (item == "store") {
            storeFile = true;
        } else if (item == "driver") {
            driver = true;
        } else if (item == "endpoints") {
            endpoints = true;
        } else {
            error = "unknown item '" + item + "'";
            return false;
        }
    }

    const std::string path = KtRegistryStore::DatabasePath(RegistryRoot::LocalMachine);
    bool ok = true;
    {
        KtRegistryStore store(path, RegistryRoot::LocalMachine);
        const RegistryKeyPath deviceKey = KeyPath(kDeviceKey);
        const RegistryKeyPath classKey = KeyPath(kClassKey);
        if (driver) {
            uint32_t type = 0;
            std::string data;
            // A Driver value someone changed since is theirs.
            if (store.QueryValue(deviceKey, "Driver", type, data) && type == REG_SZ &&
                data == StringData(kDriverText)) {
                store.DeleteValue(deviceKey, "Driver");
            }
        }
        if (endpoints) store.DeleteValue(classKey, "WanEndpoints");
        if (driver || endpoints) {
            ok = store.DeleteEmptyKeys(deviceKey) && store.DeleteEmptyKeys(classKey);
        }
        // The file goes only when nothing is left in it; the connection is
        // closed first, at the end of this block.
        bool empty = false;
        storeFile = storeFile && store.ReadEmpty(empty) && empty;
        if (store.IsDamaged()) ok = false;
    }
    if (!ok) {
        error = "cannot update the machine-wide store " + path;
        return false;
    }
    if (storeFile && unlink(path.c_str()) != 0 && errno != ENOENT) {
        error = "cannot remove " + path + ": " + std::strerror(errno);
        return false;
    }
    if (folder) {
        // Only an empty folder goes: anything else in it is not ours.
        const std::string folderPath = FolderOf(path);
        if (rmdir(folderPath.c_str()) != 0 && errno != ENOENT && errno != ENOTEMPTY &&
            errno != EEXIST) {
            error = "cannot remove " + folderPath + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace PackageSeed
