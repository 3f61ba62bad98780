#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "engine/monitor_view.h"

// Records every call as one readable entry, in order.
class RecordingView : public MonitorView {
  public:
    void RowAdded(size_t row, const KtAcRecord&) override { Add("add " + std::to_string(row)); }
    void RowChanged(size_t row, const KtAcRecord&) override {
        ++rowChanges;
        (void)row;
    }
    void RowRemoved(size_t row) override { Add("remove " + std::to_string(row)); }
    void RowsCleared() override { Add("clear"); }
    void RowSelected(int row) override { Add("select " + std::to_string(row)); }
    void LogAppended(std::string_view line) override { log.emplace_back(line); }
    void ShowBalloon(std::string_view title, BalloonIcon icon, std::string_view text) override {
        balloons.push_back(std::string(title) + "|" + std::to_string(static_cast<int>(icon)) + "|" +
                           std::string(text));
    }
    void SetTrayState(bool up) override { tray.push_back(up); }
    void PlaySound(const std::string& file, bool loop) override {
        Add("play " + file + (loop ? " loop" : " once"));
    }
    void StopSound() override { Add("stop sound"); }
    void RefreshGraphs() override { ++graphRefreshes; }
    void SetStatusText(int id, std::string_view text) override {
        status = std::to_string(id) + " " + std::string(text);
    }
    void SetSelectedAcLabel(std::string_view text) override { labels.emplace_back(text); }
    void ShowAdapters(const std::vector<AdapterEntry>& adapters, int selected,
                      bool enabled) override {
        Add("adapters " + std::to_string(adapters.size()) + " " + std::to_string(selected) +
            (enabled ? " enabled" : " disabled"));
    }
    void ProbeCycleEnded() override { ++cycles; }

    void Add(std::string entry) { events.push_back(std::move(entry)); }
    size_t Count(std::string_view entry) const {
        return static_cast<size_t>(std::count(events.begin(), events.end(), entry));
    }
    // Log texts without stamp and line end.
    std::vector<std::string> LogTexts() const {
        std::vector<std::string> texts;
        for (const std::string& line : log) texts.push_back(line.substr(22, line.size() - 24));
        return texts;
    }
    size_t LogCount(std::string_view text) const {
        const auto texts = LogTexts();
        return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
    }
    std::string Everything() const {
        std::string all;
        for (const auto* list : {&events, &log, &balloons, &labels})
            for (const std::string& item : *list) all += item + "\n";
        return all;
    }

    std::vector<std::string> events;
    std::vector<std::string> log;
    std::vector<std::string> balloons;
    std::vector<std::string> labels;
    std::vector<bool> tray;
    std::string status;
    int rowChanges = 0;
    int graphRefreshes = 0;
    int cycles = 0;
};
