#include "core/settings/app_settings.h"

namespace {

const std::string& EmptyText() {
    static const std::string empty;
    return empty;
}

std::map<int32_t, KtSettingDescriptor> BuildDescriptors() {
    auto text = [](int32_t id, std::string_view key, std::string_view def) {
        return KtSettingDescriptor{id, kGroupOption, key, kTypeString, KtPropertyValue(def)};
    };
    auto number = [](int32_t id, std::string_view key, int32_t def) {
        return KtSettingDescriptor{id, kGroupOption, key, kTypeInteger, KtPropertyValue(def)};
    };
    const KtSettingDescriptor rows[] = {
        {kPropLaunchOnStartup, kGroupDerived, "", kTypeInteger, KtPropertyValue(0)},
        text(kPropSysLanguageFile, "SysLanguageFile", ""),
        number(kPropSndEvtEnabled, "SndEvtEnabled", 0),
        text(kPropSndEvtCableUnplugFileName, "SndEvtCableUnplugFileName", ""),
        text(kPropSndEvtNewACFileName, "SndEvtNewACFileName", ""),
        number(kPropMonPADISendInterval, "MonPADISendInterval", 30),
        number(kPropMonPADOWaitTime, "MonPADOWaitTime", 500),
        number(kPropMonStateDownAfterUnanswer, "MonStateDownAfterUnanswer", 1),
        number(kPropMonTrayShowTooltips, "MonTrayShowTooltips", 0),
        number(kPropMonTrayShowACState, "MonTrayShowACState", 0),
        number(kPropMonEvtWaitUserAction, "MonEvtWaitUserAction", 0),
        number(kPropLogPADINodesEnabled, "LogPADINodesEnabled", 0),
        number(kPropLogPADILinewatchEnabled, "LogPADILinewatchEnabled", 0),
        number(kPropLogGenWriteToFile, "LogGenWriteToFile", 0),
        number(kPropLogACWriteToFile, "LogACWriteToFile", 0),
        text(kPropLogDirectory, "LogDirectory", kDefaultLogDirectory),
        text(kPropPcapDeviceName, "PcapDeviceName", ""),
        number(kPropPcapUseSourceMAC, "PcapUseSourceMAC", 0),
        text(kPropPcapSourceMAC, "PcapSourceMAC", ""),
        number(kPropPcapPromiscuousMode, "PcapPromiscuousMode", 0),
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

std::optional<std::pair<int32_t, int32_t>> SettingRange(int32_t id) {
    switch (id) {
        case kPropLaunchOnStartup:
            return std::pair{0, 2};
        case kPropMonPADISendInterval:
            return std::pair{1, 3600};
        case kPropMonPADOWaitTime:
            return std::pair{100, 1000};
        case kPropMonStateDownAfterUnanswer:
            return std::pair{1, 100};
        case kPropSndEvtEnabled:
        case kPropMonTrayShowTooltips:
        case kPropMonTrayShowACState:
        case kPropMonEvtWaitUserAction:
        case kPropLogPADINodesEnabled:
        case kPropLogPADILinewatchEnabled:
        case kPropLogGenWriteToFile:
        case kPropLogACWriteToFile:
        case kPropPcapUseSourceMAC:
        case kPropPcapPromiscuousMode:
            return std::pair{0, 1};
        default:
            return std::nullopt;
    }
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
