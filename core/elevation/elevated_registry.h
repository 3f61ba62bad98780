#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/elevation/elevated_protocol.h"
#include "core/storage/setting_storage.h"

// A write-only view of one machine-wide key whose writes are carried out by
// the elevated helper, for when the program cannot write the key itself.
// Reads cannot be answered and give their defaults.
class KtElevatedRegistry : public KtSettingStorage {
  public:
    KtElevatedRegistry() = default;
    virtual ~KtElevatedRegistry() = default;

    // Stores the key path (relative to the machine-wide root, no leading
    // backslash, e.g. "Software\Microsoft\Windows\CurrentVersion\Run"). The
    // helper is not contacted, so this always succeeds.
    bool Open(std::string_view path);

    // Set by the creator (from KtAdminOperation::GetElevatedInterface); not owned.
    void SetElevatedInterface(KtElevatedInterface* elevated) { elevated_ = elevated; }
    KtElevatedInterface* ElevatedInterface() const { return elevated_; }
    const std::string& KeyPath() const { return keyPath_; }

    bool ValueExists(std::string_view name) override;
    std::string ReadString(std::string_view name, std::string_view defaultValue) override;
    std::string ReadString(std::string_view name) override;
    int32_t ReadInt(std::string_view name, int32_t defaultValue) override;
    int32_t ReadInt(std::string_view name) override;
    // Results of the writes are not examined: a failed write leaves the old value.
    void WriteString(std::string_view name, std::string_view value) override;
    void WriteInt(std::string_view name, int32_t value) override;
    // True only if the helper reports the value gone; false without a helper.
    bool DeleteValue(std::string_view name) override;

  private:
    std::string keyPath_;
    KtElevatedInterface* elevated_ = nullptr;
};
