#pragma once

#include <cstddef>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "text/builtin_texts.h"

// The interface text table: every text the windows show, by text id, filled
// with the built-in English texts and then overlaid from a language file.
// Filled on the user-interface thread before any window reads it; no lock.
class KtTextTable {
  public:
    // The process-wide table, created on first use and never destroyed.
    static KtTextTable& Instance();

    // Inserts the rows in order; a row whose id is already present is skipped.
    void Initialise(std::span<const KtTextRow> rows);

    // For every entry in ascending id order, reads the key named by the id in
    // decimal from the entry's section, with the current text as the default.
    // Missing keys and sections keep their texts; keys of unknown ids are never
    // read. A missing, empty, unreadable or undecodable file changes nothing.
    // Returns whether the file was read.
    bool LoadLanguageFile(const std::string& path);

    // The current text of the id, or the empty text for an unknown id.
    std::string GetText(int id) const;
    std::string_view SectionOf(int id) const;
    std::vector<int> Ids() const;
    size_t Count() const { return entries_.size(); }

  private:
    struct Entry {
        std::string text;
        std::string_view section;
    };
    std::map<int, Entry> entries_;
};

// The text of the id in the process-wide table.
std::string GetText(int id);

// Fills table for the start of the program: the built-in texts, then the
// language file of that name from the language folders (none for an empty
// name). Never fails; returns whether a language file was read.
bool LoadInterfaceTexts(KtTextTable& table, std::string_view languageFileName);
