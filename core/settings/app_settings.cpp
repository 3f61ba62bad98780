#include "core/settings/app_settings.h"

namespace {

const std::string& EmptyText() {
    static const std::string empty;
    return empty;
}

std::map<int32_t, KtSettingDescriptor> BuildDescriptors() {
    auto text = [](int32_t id, std::string_view key, std::string_view def) {
        return KtSettingDescriptor{id, kGroupOption, key, kTypeString, KtPropertyValue(def), {}};
    };
    auto number = [](int32_t id, std::string_view key, int32_t def, KtSettingRange range) {
        return KtSettingDescriptor{id,           kGroupOption,         key,
                                   kTypeInteger, KtPropertyValue(def), range};
    };
    constexpr KtSettingRange kFlag{0, 1};
    const KtSettingDescriptor rows[] = {
        {kPropLaunchOnStartup, kGroupDerived, "", kTypeInteger, KtPropertyValue(0),
         KtSettingRange{0, 2}},
        text(kPropSysLanguageFile, "SysLanguageFile", ""),
        number(kPropSndEvtEnabled, "SndEvtEnabled", 0, kFlag),
        text(kPropSndEvtCableUnplugFileName, "SndEvtCableUnplugFileName", ""),
        text(kPropSndEvtNewACFileName, "SndEvtNewACFileName", ""),
        number(kPropMonPADISendInterval, "MonPADISendInterval", 30, {1, 3600}),
        number(kPropMonPADOWaitTime, "MonPADOWaitTime", 500, {100, 1000}),
        number(kPropMonStateDownAfterUnanswer, "MonStateDownAfterUnanswer", 1, {1, 100}),
        number(kPropMonTrayShowTooltips, "MonTrayShowTooltips", 0, kFlag),
        number(kPropMonTrayShowACState, "MonTrayShowACState", 0, kFlag),
        number(kPropMonEvtWaitUserAction, "MonEvtWaitUserAction", 0, kFlag),
        number(kPropLogPADINodesEnabled, "LogPADINodesEnabled", 0, kFlag),
        number(kPropLogPADILinewatchEnabled, "LogPADILinewatchEnabled", 0, kFlag),
        number(kPropLogGenWriteToFile, "LogGenWriteToFile", 0, kFlag),
        number(kPropLogACWriteToFile, "LogACWriteToFile", 0, kFlag),
        text(kPropLogDirectory, "LogDirectory", kDefaultLogDirectory),
        text(kPropPcapDeviceName, "PcapDeviceName", ""),
        number(kPropPcapUseSourceMAC, "PcapUseSourceMAC", 0, kFlag),
        text(kPropPcapSourceMAC, "PcapSourceMAC", ""),
        number(kPropPcapPromiscuousMode, "PcapPromiscuousMode", 0, kFlag),
    };
    std::map<int32_t, KtSettingDescriptor> table;
    for (const auto& row : rows) table.emplace(row.id, row);
    return table;
}

}  // namespace

int32_t KtPropertyValue::AsInt() const {
    const auto* number = std::get_if<int32_t>(&value_);
    return number != nullptr ? *number : 0;
}

const std::string& KtPropertyValue::AsString() const {
    const auto* text = std::get_if<std::string>(&value_);
    return text != nullptr ? *text : EmptyText();
}

const std::map<int32_t, KtSettingDescriptor>& SettingDescriptors() {
    static const std::map<int32_t, KtSettingDescriptor> table = BuildDescriptors();
    return table;
}

std::optional<KtSettingRange> SettingRange(int32_t id) {
    const auto& table = SettingDescriptors();
    const auto it = table.find(id);
    return it != table.end() ? it->second.range : std::nullopt;
}

KtAppPropertiesIterator::KtAppPropertiesIterator(const KtPropertyMap* map) : map_(map) {
    if (map_ != nullptr) position_ = map_->begin();
}

void KtAppPropertiesIterator::Reset() {
    if (map_ != nullptr) position_ = map_->begin();
}

bool KtAppPropertiesIterator::Next(int32_t& id, KtPropertyValue& value) {
    if (map_ == nullptr || position_ == map_->end()) return false;
    id = position_->first;
    value = position_->second;
    ++position_;
    return true;
}

KtPropertyValue KtAppPropertyList::GetProperty(int32_t id) {
    const auto it = values_.find(id);
    return it != values_.end() ? it->second : KtPropertyValue(0);
}

void KtAppPropertyList::SetProperty(int32_t id, const KtPropertyValue& value) {
    values_.insert_or_assign(id, value);
}

void KtAppPropertyList::ApplyChanges(KtPropertyIterator& changes) {
    changes.Reset();
    int32_t id = 0;
    KtPropertyValue value;
    while (changes.Next(id, value)) values_.insert_or_assign(id, value);
    if (listener_ != nullptr) listener_->Invoke(changes);
}

KtPropertyValue KtAppPropertyEditor::GetProperty(int32_t id) {
    const auto it = changes_.find(id);
    if (it != changes_.end()) return it->second;
    return list_ != nullptr ? list_->GetProperty(id) : KtPropertyValue(0);
}

void KtAppPropertyEditor::SetProperty(int32_t id, const KtPropertyValue& value) {
    changes_.insert_or_assign(id, value);
}

void KtAppPropertyEditor::Commit() {
    if (list_ == nullptr) return;
    KtAppPropertiesIterator iterator(&changes_);
    list_->ApplyChanges(iterator);
}

void KtAppPropertyEditor::Discard() {
    changes_.clear();
}
