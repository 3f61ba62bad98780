#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace setupaid {

// The rules that let Samba through an nftables input chain, each carrying a
// comment that marks it as ours so that it is added once.
struct SambaRule {
    std::string_view tag;    // the comment text
    std::string_view match;  // what the rule accepts
};
inline constexpr SambaRule kSambaRules[] = {
    {"linewatch-setupaid: Samba TCP", "tcp dport { 139, 445 }"},
    {"linewatch-setupaid: Samba UDP", "udp dport { 137, 138 }"},
};

// A base chain on the input hook of an ip, ip6 or inet table, as found in the
// output of "nft list ruleset", and which of our rules it holds already.
// Every base chain on the hook sees each packet, and an accept ends only the
// chain it is in: Samba gets through only when each chain that may drop it
// accepts it first. A chain may drop a packet when its policy is drop, or a
// rule of it drops, rejects, queues or hands the packet to another chain.
struct InputChain {
    std::string family;
    std::string table;
    std::string chain;
    std::vector<std::string_view> presentTags;
    bool mayDrop = false;
};

// The input chains of a ruleset listing. Chains whose table or chain name is
// not a plain name (letters, digits, "_", "-", ".") are left out.
std::vector<InputChain> InputChains(std::string_view listing);

// "insert rule FAMILY TABLE CHAIN <match> accept comment \"<tag>\"" as words.
std::vector<std::string> InsertRuleWords(const InputChain& chain, const SambaRule& rule);

}  // namespace setupaid
