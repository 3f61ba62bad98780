#include "setupaid/nft_ruleset.h"

#include <sstream>
#include <string>

namespace setupaid {
namespace {

bool IsPlainName(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
        if (!plain) return false;
    }
    return true;
}

std::vector<std::string> Words(std::string_view line) {
    std::istringstream stream{std::string(line)};
    std::vector<std::string> words;
    for (std::string word; stream >> word;) words.push_back(word);
    return words;
}

// Braces opened minus braces closed on a line, quoted text skipped.
int BraceBalance(std::string_view line) {
    int balance = 0;
    bool quoted = false;
    for (char c : line) {
        if (c == '"') quoted = !quoted;
        if (quoted) continue;
        if (c == '{') ++balance;
        if (c == '}') --balance;
    }
    return balance;
}

// True for a line that drops, rejects, queues or leaves for another chain
// (a verdict map included); a comment naming one counts too, which errs on
// the safe side.
bool MayDrop(std::string_view line) {
    if (line.find("policy drop") != std::string_view::npos) return true;
    for (std::string word : Words(line)) {
        std::erase_if(word, [](char c) { return c == ',' || c == ';' || c == '{' || c == '}'; });
        if (word == "drop" || word == "reject" || word == "queue" || word == "jump" ||
            word == "goto") {
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<InputChain> InputChains(std::string_view listing) {
    std::vector<InputChain> chains;
    int depth = 0;
    InputChain current;
    bool inChain = false;
    bool inputHook = false;
    while (!listing.empty()) {
        const size_t end = listing.find('\n');
        const std::string_view line = listing.substr(0, end);
        listing.remove_prefix(end == std::string_view::npos ? listing.size() : end + 1);

        const std::vector<std::string> words = Words(line);
        if (depth == 0 && words.size() >= 3 && words[0] == "table") {
            current = InputChain{words[1], words[2], {}, {}};
        } else if (depth == 1 && words.size() >= 2 && words[0] == "chain") {
            current.chain = words[1];
            current.presentTags.clear();
            current.mayDrop = false;
            inChain = true;
            inputHook = false;
        } else if (inChain && depth == 2) {
            if (line.find("hook input ") != std::string_view::npos) inputHook = true;
            if (MayDrop(line)) current.mayDrop = true;
            for (const SambaRule& rule : kSambaRules) {
                const std::string comment = "comment \"" + std::string(rule.tag) + "\"";
                if (line.find(comment) != std::string_view::npos) {
                    current.presentTags.push_back(rule.tag);
                }
            }
        }
        depth += BraceBalance(line);
        if (inChain && depth <= 1) {
            inChain = false;
            const bool family =
                current.family == "ip" || current.family == "ip6" || current.family == "inet";
            if (inputHook && family && IsPlainName(current.table) && IsPlainName(current.chain)) {
                chains.push_back(current);
            }
        }
        if (depth < 0) depth = 0;
    }
    return chains;
}

std::vector<std::string> InsertRuleWords(const InputChain& chain, const SambaRule& rule) {
    std::vector<std::string> words = {"insert", "rule", chain.family, chain.table, chain.chain};
    for (std::string& word : Words(rule.match)) words.push_back(std::move(word));
    words.emplace_back("accept");
    words.emplace_back("comment");
    words.push_back("\"" + std::string(rule.tag) + "\"");
    return words;
}

}  // namespace setupaid
