#include "text/text_table.h"

#include "text/language_file.h"

KtTextTable& KtTextTable::Instance() {
    static KtTextTable* const table = new KtTextTable;
    return *table;
}

void KtTextTable::Initialise(std::span<const KtTextRow> rows) {
    for (const KtTextRow& row : rows) {
        entries_.try_emplace(row.id, Entry{std::string(row.text), row.section});
    }
}

bool KtTextTable::LoadLanguageFile(const std::string& path) {
    KtLanguageFile file(path);
    if (!file.Loaded()) return false;
    for (auto& [id, entry] : entries_) {
        entry.text = file.ReadString(entry.section, std::to_string(id), entry.text);
    }
    return true;
}

std::string KtTextTable::GetText(int id) const {
    const auto found = entries_.find(id);
    return found == entries_.end() ? std::string() : found->second.text;
}

std::string_view KtTextTable::SectionOf(int id) const {
    const auto found = entries_.find(id);
    return found == entries_.end() ? std::string_view() : found->second.section;
}

std::vector<int> KtTextTable::Ids() const {
    std::vector<int> ids;
    ids.reserve(entries_.size());
    for (const auto& entry : entries_) ids.push_back(entry.first);
    return ids;
}

std::string GetText(int id) {
    return KtTextTable::Instance().GetText(id);
}

bool LoadInterfaceTexts(KtTextTable& table, std::string_view languageFileName) {
    table.Initialise(BuiltInTexts());
    const std::string path = FindLanguageFile(languageFileName);
    return !path.empty() && table.LoadLanguageFile(path);
}
