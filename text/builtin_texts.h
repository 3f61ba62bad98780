#pragma once

#include <span>
#include <string_view>

// One row of the built-in interface texts: id, English text, language-file section.
struct KtTextRow {
    int id;
    std::string_view text;
    std::string_view section;
};

// The built-in rows in their fixed order (103 rows, 102 distinct ids).
std::span<const KtTextRow> BuiltInTexts();
