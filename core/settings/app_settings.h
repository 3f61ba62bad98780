#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "core/threads/functors.h"

// Property identifiers of the settings model. Fixed: stored settings, the
// options pages and the monitor all address settings by these numbers.
constexpr int32_t kPropLaunchOnStartup = 1;
constexpr int32_t kPropSysLanguageFile = 2;
constexpr int32_t kPropSndEvtEnabled = 5;
constexpr int32_t kPropSndEvtCableUnplugFileName = 6;
constexpr int32_t kPropSndEvtNewACFileName = 7;
constexpr int32_t kPropMonPADISendInterval = 8;
constexpr int32_t kPropMonPADOWaitTime = 9;
constexpr int32_t kPropMonStateDownAfterUnanswer = 10;
constexpr int32_t kPropMonTrayShowTooltips = 11;
constexpr int32_t kPropMonTrayShowACState = 12;
constexpr int32_t kPropMonEvtWaitUserAction = 13;
constexpr int32_t kPropLogPADINodesEnabled = 14;
constexpr int32_t kPropLogPADILinewatchEnabled = 15;
constexpr int32_t kPropLogGenWriteToFile = 16;
constexpr int32_t kPropLogACWriteToFile = 17;
constexpr int32_t kPropLogDirectory = 18;
constexpr int32_t kPropPcapDeviceName = 19;
constexpr int32_t kPropPcapUseSourceMAC = 20;
constexpr int32_t kPropPcapSourceMAC = 21;
constexpr int32_t kPropPcapPromiscuousMode = 22;

// Default log folder; environment variables are expanded when it is used.
constexpr std::string_view kDefaultLogDirectory = "%APPDATA%\\Tarnweld Lab\\Line Watchman";

// A tagged value: none, an 8-bit string (a private copy) or a 32-bit integer.
class KtPropertyValue {
  public:
    enum Kind : int32_t { kNone = 0, kString = 1, kInteger = 2 };

    KtPropertyValue() = default;
    explicit KtPropertyValue(int32_t number) : value_(number) {}
    explicit KtPropertyValue(std::string_view text) : value_(std::string(text)) {}
    explicit KtPropertyValue(const char* text) : value_(std::string(text != nullptr ? text : "")) {}

    Kind GetKind() const { return static_cast<Kind>(value_.index()); }
    bool IsNone() const { return GetKind() == kNone; }
    bool IsString() const { return GetKind() == kString; }
    bool IsInteger() const { return GetKind() == kInteger; }

    // The integer, or 0 for another kind.
    int32_t AsInt() const;
    // The text, or empty for another kind: callers expecting a string treat
    // anything else as empty.
    const std::string& AsString() const;

    bool operator==(const KtPropertyValue& other) const = default;

  private:
    std::variant<std::monostate, std::string, int32_t> value_;
};

// Descriptor group: stored under its key in the options storage, or derived at
// load time and never stored there.
constexpr int32_t kGroupOption = 1;
constexpr int32_t kGroupDerived = 2;
// Descriptor type codes (not the value kinds).
constexpr int32_t kTypeString = 0;
constexpr int32_t kTypeInteger = 1;

using KtSettingRange = std::pair<int32_t, int32_t>;

struct KtSettingDescriptor {
    int32_t id;
    int32_t group;
    std::string_view keyName;  // empty for the derived group
    int32_t type;
    KtPropertyValue defaultValue;
    // Accepted integers, lowest and highest, as the options pages enforce
    // them; nothing for strings.
    std::optional<KtSettingRange> range;
};

// Every setting, by ascending identifier; built once and kept for the run.
const std::map<int32_t, KtSettingDescriptor>& SettingDescriptors();

// The accepted range of an integer setting as the options pages enforce it
// (the model and the loader enforce none); nothing for strings.
std::optional<KtSettingRange> SettingRange(int32_t id);

class KtPropertyIterator {
  public:
    virtual void Reset() = 0;
    // False at the end; otherwise yields the next entry and advances.
    virtual bool Next(int32_t& id, KtPropertyValue& value) = 0;

  protected:
    ~KtPropertyIterator() = default;
};

class KtPropertyList {
  public:
    virtual KtPropertyValue GetProperty(int32_t id) = 0;
    virtual void SetProperty(int32_t id, const KtPropertyValue& value) = 0;

  protected:
    ~KtPropertyList() = default;
};

class KtPropertyEditor {
  public:
    virtual KtPropertyValue GetProperty(int32_t id) = 0;
    virtual void SetProperty(int32_t id, const KtPropertyValue& value) = 0;
    virtual void Commit() = 0;
    virtual void Discard() = 0;

  protected:
    ~KtPropertyEditor() = default;
};

using KtPropertyMap = std::map<int32_t, KtPropertyValue>;

// Iterates an identifier-to-value map in ascending identifier order.
class KtAppPropertiesIterator final : public KtPropertyIterator {
  public:
    explicit KtAppPropertiesIterator(const KtPropertyMap* map = nullptr);
    void Reset() override;
    bool Next(int32_t& id, KtPropertyValue& value) override;

  private:
    const KtPropertyMap* map_;
    KtPropertyMap::const_iterator position_;
};

using KtPropertyListener = KtUnaryFunction<void, KtPropertyIterator&>;

// The live settings. Its single listener hears of every committed batch.
class KtAppPropertyList final : public KtPropertyList {
  public:
    // The stored value, or the integer 0 when the identifier is absent.
    KtPropertyValue GetProperty(int32_t id) override;
    // Inserts or replaces; tells nobody.
    void SetProperty(int32_t id, const KtPropertyValue& value) override;
    void Commit() {}

    // Stores every change the iterator yields, then tells the listener with
    // the same iterator (the listener resets it before reading).
    void ApplyChanges(KtPropertyIterator& changes);

    // Not owned; may be null.
    void SetListener(KtPropertyListener* listener) { listener_ = listener; }

  private:
    KtPropertyMap values_;
    KtPropertyListener* listener_ = nullptr;
};

// Collects edits of a list and hands them over in one batch on Commit.
class KtAppPropertyEditor final : public KtPropertyEditor {
  public:
    explicit KtAppPropertyEditor(KtAppPropertyList* list = nullptr) : list_(list) {}
    void SetList(KtAppPropertyList* list) { list_ = list; }

    // The pending change, else the list's value, else the integer 0.
    KtPropertyValue GetProperty(int32_t id) override;
    void SetProperty(int32_t id, const KtPropertyValue& value) override;
    // Applies the pending changes to the list; they stay recorded.
    void Commit() override;
    void Discard() override;

  private:
    KtPropertyMap changes_;
    KtAppPropertyList* list_;
};
