#pragma once

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTest>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "core/settings/app_settings.h"
#include "options/number_spin.h"
#include "options/option_dialogs.h"
#include "options/options_form.h"
#include "options/options_pages.h"
#include "ui/ui_test_support.h"

// Answers the dialogs from queues the test fills (an empty text or a negative
// number is a cancelled dialog, as is an empty queue), and records what was
// shown.
class ScriptedDialogs final : public KtOptionsDialogs {
  public:
    void ShowError(QWidget*, const QString& text) override { errors.push_back(text.toStdString()); }
    std::optional<QString> BrowseFolder(QWidget*, const QString&) override { return Text(folders); }
    std::optional<QString> OpenSoundFile(QWidget*) override { return Text(soundFiles); }
    std::optional<int> EditStartupMode(QWidget*, int mode) override {
        startupModesShown.push_back(mode);
        return Number(startupModes);
    }
    std::optional<int> EditNumber(QWidget*, int lower, int upper, int value) override {
        numberDialogs.push_back({lower, upper, value});
        return Number(numbers);
    }

    std::deque<QString> folders;
    std::deque<QString> soundFiles;
    std::deque<int> startupModes;
    std::deque<int> numbers;
    std::vector<std::string> errors;
    std::vector<int> startupModesShown;
    std::vector<std::vector<int>> numberDialogs;

  private:
    static std::optional<QString> Text(std::deque<QString>& queue) {
        if (queue.empty()) return std::nullopt;
        const QString answer = queue.front();
        queue.pop_front();
        if (answer.isEmpty()) return std::nullopt;
        return answer;
    }
    static std::optional<int> Number(std::deque<int>& queue) {
        if (queue.empty()) return std::nullopt;
        const int answer = queue.front();
        queue.pop_front();
        if (answer < 0) return std::nullopt;
        return answer;
    }
};

// A settings list at the defaults whose listener records every batch.
class RecordedList final : public KtPropertyListener {
  public:
    RecordedList() {
        for (const auto& [id, descriptor] : SettingDescriptors()) {
            list.SetProperty(id, descriptor.defaultValue);
        }
        list.SetListener(this);
    }
    void Invoke(KtPropertyIterator& changes) override {
        std::vector<int32_t> ids;
        changes.Reset();
        int32_t id = 0;
        KtPropertyValue value;
        while (changes.Next(id, value)) ids.push_back(id);
        batches.push_back(ids);
    }
    void Call(KtPropertyIterator& changes) override { Invoke(changes); }

    int32_t Int(int32_t id) { return list.GetProperty(id).AsInt(); }
    std::string String(int32_t id) { return list.GetProperty(id).AsString(); }

    KtAppPropertyList list;
    std::vector<std::vector<int32_t>> batches;
};

// Replaces the whole text of an edit as a user typing it does, leaving it
// marked modified and still holding the focus.
inline void TypeInto(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, text);
}

template <class Page>
Page* ShowPage(KtOptionsForm& form, const QString& treeText) {
    form.SelectPage(treeText);
    return qobject_cast<Page*>(form.CurrentPage());
}
