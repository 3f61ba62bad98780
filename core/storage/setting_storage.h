#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// One small interface for reading and writing named settings, whatever holds
// them: a registry key, a section of an INI file, or the elevated helper.
// Names and values are 8-bit strings.
//
// Backends are used as local variables of the function that reads or writes,
// never deleted through this base, so the destructor is protected and not
// virtual; backends that need a virtual destructor declare their own.
class KtSettingStorage {
  public:
    virtual bool ValueExists(std::string_view name) = 0;
    virtual std::string ReadString(std::string_view name, std::string_view defaultValue) = 0;
    virtual std::string ReadString(std::string_view name) = 0;
    virtual int32_t ReadInt(std::string_view name, int32_t defaultValue) = 0;
    virtual int32_t ReadInt(std::string_view name) = 0;
    virtual void WriteString(std::string_view name, std::string_view value) = 0;
    virtual void WriteInt(std::string_view name, int32_t value) = 0;
    virtual bool DeleteValue(std::string_view name) = 0;

  protected:
    KtSettingStorage() = default;
    KtSettingStorage(const KtSettingStorage&) = default;
    KtSettingStorage& operator=(const KtSettingStorage&) = default;
    ~KtSettingStorage() = default;
};
