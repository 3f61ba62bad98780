#include "core/settings/app_settings.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(SettingDescriptors, HoldEveryIdentifierWithItsKeyTypeAndDefault) {
    struct Row {
        int32_t id;
        int32_t group;
        const char* key;
        int32_t type;
        KtPropertyValue def;
    };
    const std::vector<Row> expected = {
        {1, 2, "", 1, KtPropertyValue(0)},
        {2, 1, "SysLanguageFile", 0, KtPropertyValue("")},
        {5, 1, "SndEvtEnabled", 1, KtPropertyValue(0)},
        {6, 1, "SndEvtCableUnplugFileName", 0, KtPropertyValue("")},
        {7, 1, "SndEvtNewACFileName", 0, KtPropertyValue("")},
        {8, 1, "MonPADISendInterval", 1, KtPropertyValue(30)},
        {9, 1, "MonPADOWaitTime", 1, KtPropertyValue(500)},
        {10, 1, "MonStateDownAfterUnanswer", 1, KtPropertyValue(1)},
        {11, 1, "MonTrayShowTooltips", 1, KtPropertyValue(0)},
        {12, 1, "MonTrayShowACState", 1, KtPropertyValue(0)},
        {13, 1, "MonEvtWaitUserAction", 1, KtPropertyValue(0)},
        {14, 1, "LogPADINodesEnabled", 1, KtPropertyValue(0)},
        {15, 1, "LogPADILinewatchEnabled", 1, KtPropertyValue(0)},
        {16, 1, "LogGenWriteToFile", 1, KtPropertyValue(0)},
        {17, 1, "LogACWriteToFile", 1, KtPropertyValue(0)},
        {18, 1, "LogDirectory", 0, KtPropertyValue("%APPDATA%\\Tarnweld Lab\\Line Watchman")},
        {19, 1, "PcapDeviceName", 0, KtPropertyValue("")},
        {20, 1, "PcapUseSourceMAC", 1, KtPropertyValue(0)},
        {21, 1, "PcapSourceMAC", 0, KtPropertyValue("")},
        {22, 1, "PcapPromiscuousMode", 1, KtPropertyValue(0)},
    };
    const auto& table = SettingDescriptors();
    ASSERT_EQ(table.size(), expected.size());
    auto it = table.begin();
    for (const Row& row : expected) {
        SCOPED_TRACE(row.id);
        ASSERT_EQ(it->first, row.id);  // ascending identifier order
        EXPECT_EQ(it->second.id, row.id);
        EXPECT_EQ(it->second.group, row.group);
        EXPECT_EQ(it->second.keyName, row.key);
        EXPECT_EQ(it->second.type, row.type);
        EXPECT_EQ(it->second.defaultValue, row.def);
        // A string default is of the string kind, an integer default of the integer kind.
        EXPECT_EQ(it->second.defaultValue.IsString(), row.type == kTypeString);
        ++it;
    }
}

TEST(SettingDescriptors, RangesAreThoseTheOptionsPagesEnforce) {
    EXPECT_EQ(SettingRange(kPropMonPADISendInterval), std::make_pair(1, 3600));
    EXPECT_EQ(SettingRange(kPropMonPADOWaitTime), std::make_pair(100, 1000));
    EXPECT_EQ(SettingRange(kPropMonStateDownAfterUnanswer), std::make_pair(1, 100));
    EXPECT_EQ(SettingRange(kPropPcapPromiscuousMode), std::make_pair(0, 1));
    EXPECT_FALSE(SettingRange(kPropLogDirectory).has_value());
}

TEST(PropertyValue, KindsAndForeignReads) {
    KtPropertyValue none;
    EXPECT_TRUE(none.IsNone());
    EXPECT_EQ(none.AsInt(), 0);
    EXPECT_EQ(none.AsString(), "");
    KtPropertyValue number(-42);
    EXPECT_EQ(number.GetKind(), KtPropertyValue::kInteger);
    EXPECT_EQ(number.AsString(), "");
    KtPropertyValue text("eth0");
    EXPECT_EQ(text.GetKind(), KtPropertyValue::kString);
    EXPECT_EQ(text.AsInt(), 0);
}

TEST(PropertyValue, AStringIsAPrivateCopy) {
    char buffer[] = "00:11:22:33:44:55";
    KtAppPropertyList list;
    list.SetProperty(kPropPcapSourceMAC, KtPropertyValue(buffer));
    buffer[0] = 'f';
    buffer[1] = 'f';
    EXPECT_EQ(list.GetProperty(kPropPcapSourceMAC).AsString(), "00:11:22:33:44:55");

    KtPropertyValue copy = list.GetProperty(kPropPcapSourceMAC);
    copy = KtPropertyValue(7);
    EXPECT_EQ(list.GetProperty(kPropPcapSourceMAC).AsString(), "00:11:22:33:44:55");
}

// Records what the listener saw, traversing the iterator twice as it may.
struct Listener {
    std::vector<std::pair<int32_t, KtPropertyValue>> seen;
    int calls = 0;
    void Apply(KtPropertyIterator& changes) {
        ++calls;
        seen.clear();
        for (int pass = 0; pass < 2; ++pass) {
            changes.Reset();
            int32_t id;
            KtPropertyValue value;
            std::vector<std::pair<int32_t, KtPropertyValue>> now;
            while (changes.Next(id, value)) now.emplace_back(id, value);
            if (pass == 1) seen = now;
        }
    }
};

struct ModelFixture : ::testing::Test {
    KtAppPropertyList list;
    Listener listener;
    KtVoidUnaryMemberFunction<Listener, KtPropertyIterator&> bound{&listener, &Listener::Apply};
    KtAppPropertyEditor editor{&list};
    void SetUp() override {
        list.SetListener(&bound);
        list.SetProperty(kPropMonPADISendInterval, KtPropertyValue(30));
    }
};

TEST_F(ModelFixture, UnsetIdentifiersReadAsTheIntegerZeroFromListAndEditor) {
    EXPECT_EQ(list.GetProperty(99), KtPropertyValue(0));
    EXPECT_TRUE(list.GetProperty(99).IsInteger());
    EXPECT_EQ(editor.GetProperty(99), KtPropertyValue(0));
}

TEST_F(ModelFixture, TheEditorShowsItsChangeWhileTheListKeepsTheOldValue) {
    EXPECT_EQ(editor.GetProperty(kPropMonPADISendInterval).AsInt(), 30);
    editor.SetProperty(kPropMonPADISendInterval, KtPropertyValue(60));
    EXPECT_EQ(editor.GetProperty(kPropMonPADISendInterval).AsInt(), 60);
    EXPECT_EQ(list.GetProperty(kPropMonPADISendInterval).AsInt(), 30);
    EXPECT_EQ(listener.calls, 0);
}

TEST_F(ModelFixture, CommitAppliesTheBatchAndTellsTheListenerInAscendingOrder) {
    editor.SetProperty(kPropPcapPromiscuousMode, KtPropertyValue(1));
    editor.SetProperty(kPropMonPADISendInterval,
                       KtPropertyValue(30));  // same value: still reported
    editor.SetProperty(kPropLogDirectory, KtPropertyValue("logs"));
    editor.SetProperty(kPropPcapPromiscuousMode, KtPropertyValue(0));  // replaces the earlier edit
    editor.Commit();
    ASSERT_EQ(listener.calls, 1);
    ASSERT_EQ(listener.seen.size(), 3u);
    EXPECT_EQ(listener.seen[0], std::make_pair(kPropMonPADISendInterval, KtPropertyValue(30)));
    EXPECT_EQ(listener.seen[1], std::make_pair(kPropLogDirectory, KtPropertyValue("logs")));
    EXPECT_EQ(listener.seen[2], std::make_pair(kPropPcapPromiscuousMode, KtPropertyValue(0)));
    EXPECT_EQ(list.GetProperty(kPropLogDirectory).AsString(), "logs");
    EXPECT_EQ(list.GetProperty(kPropPcapPromiscuousMode).AsInt(), 0);
}

TEST_F(ModelFixture, CommitWithNoChangesStillCallsTheListenerWithNothing) {
    editor.Commit();
    EXPECT_EQ(listener.calls, 1);
    EXPECT_TRUE(listener.seen.empty());
}

TEST_F(ModelFixture, AfterDiscardCommitAppliesNothing) {
    editor.SetProperty(kPropMonPADISendInterval, KtPropertyValue(90));
    editor.Discard();
    editor.Commit();
    EXPECT_EQ(list.GetProperty(kPropMonPADISendInterval).AsInt(), 30);
    EXPECT_EQ(listener.calls, 1);
    EXPECT_TRUE(listener.seen.empty());
}

TEST_F(ModelFixture, TheListDoesNotNotifyOnPlainSets) {
    list.SetProperty(kPropMonPADOWaitTime, KtPropertyValue(200));
    EXPECT_EQ(listener.calls, 0);
}

TEST(PropertyIterator, WithoutAMapYieldsNothing) {
    KtAppPropertiesIterator empty;
    empty.Reset();
    int32_t id;
    KtPropertyValue value;
    EXPECT_FALSE(empty.Next(id, value));
}

}  // namespace
