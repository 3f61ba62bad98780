#include "engine/monitor_settings.h"

#include <gtest/gtest.h>

#include <set>
#include <type_traits>

namespace {

// Changes one member of the settings, whatever its type.
void Change(const MonitorSettingMember& member, MonitorSettings& settings) {
    std::visit(
        [&](auto pointer) {
            auto& value = settings.*pointer;
            using T = std::remove_reference_t<decltype(value)>;
            if constexpr (std::is_same_v<T, bool>)
                value = !value;
            else if constexpr (std::is_same_v<T, int32_t>)
                value += 1;
            else
                value += "x";
        },
        member);
}

}  // namespace

// Each monitor setting is described once; comparison and the settings'
// descriptors must agree with that description.
TEST(MonitorSettingRows, EachMemberIsOneRowOfAStoredSettingAndComparisonFollowsTheRows) {
    std::set<int32_t> ids;
    int32_t previous = 0;
    for (const MonitorSettingRow& row : MonitorSettingRows()) {
        EXPECT_GT(row.id, previous) << "rows ascend by identifier";
        previous = row.id;
        ids.insert(row.id);
        const auto descriptor = SettingDescriptors().find(row.id);
        ASSERT_NE(descriptor, SettingDescriptors().end()) << row.id;
        EXPECT_EQ(descriptor->second.group, kGroupOption) << row.id;
        // Numbers have bounds, texts none.
        const bool text = std::holds_alternative<std::string MonitorSettings::*>(row.member);
        EXPECT_EQ(descriptor->second.type, text ? kTypeString : kTypeInteger) << row.id;
        EXPECT_EQ(descriptor->second.range.has_value(), !text) << row.id;
        EXPECT_EQ(FindMonitorSetting(row.id), &row);

        MonitorSettings changed;
        Change(row.member, changed);
        EXPECT_EQ(ChangedSettingIds(MonitorSettings{}, changed), std::vector<int32_t>{row.id});
    }
    // Every stored option but the language file (used once at start) is a
    // monitor setting.
    for (const auto& [id, descriptor] : SettingDescriptors()) {
        if (descriptor.group == kGroupOption && id != kPropSysLanguageFile) {
            EXPECT_TRUE(ids.count(id)) << id;
        }
    }
    EXPECT_EQ(FindMonitorSetting(kPropSysLanguageFile), nullptr);
}

TEST(MonitorSettingRows, TheWorkingDefaultsAreTheDescriptorDefaults) {
    KtAppPropertyList properties;
    for (const auto& [id, descriptor] : SettingDescriptors())
        properties.SetProperty(id, descriptor.defaultValue);
    EXPECT_EQ(WorkingSettingsFrom(properties, true), MonitorSettings{});
}
