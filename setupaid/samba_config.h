#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace setupaid {

// The text of an smb.conf file, read and changed the way Samba reads it:
// "[section]" headers, "name = value" parameters whose names are compared
// without case, blanks or underscores, "#" and ";" comment lines, and a
// backslash at the end of a line continuing it. Only the parameters changed
// are touched: every other line, comment and blank stays as it was.
class SambaConfig {
  public:
    explicit SambaConfig(std::string_view text);

    // The value of a parameter of [global] (parameters before the first
    // section count as global); the last one wins, as in Samba.
    std::optional<std::string> Global(std::string_view name) const;
    // Sets a parameter of [global]: its first line takes the value and later
    // ones are dropped; a new parameter goes at the end of the [global]
    // section, and a missing [global] section is added at the top.
    void SetGlobal(std::string_view name, std::string_view value);

    std::string Text() const;

    // Parameter names as Samba compares them: "Bind_Interfaces Only" and
    // "bindinterfacesonly" are the same parameter.
    static std::string NormalName(std::string_view name);

  private:
    struct Line {
        std::string text;     // the logical line, continuations included
        bool global = false;  // inside [global] (or before any section), or its header
        std::string key;      // normal name when it is a parameter
        std::string value;    // its value when it is a parameter
        bool header = false;  // a "[section]" line
    };
    std::vector<Line> lines_;
    bool finalNewline_ = true;
};

// Samba's boolean values: yes/true/on/1 and no/false/off/0, any case.
std::optional<bool> SambaBoolean(std::string_view value);

// The changes to [global] that switch NetBIOS on for an interface:
// "disable netbios = no", and the interface added to "interfaces" when that
// list exists. Without a list Samba, nmbd included, serves every interface
// already, and a new list would cut off all the others; for the same reason
// "bind interfaces only" is left as it is. current gives a parameter's
// present value. Empty when everything is in place already.
struct SambaChange {
    std::string name;
    std::string value;
};
template <typename Lookup>
std::vector<SambaChange> NetbiosChanges(Lookup current, const std::string& interfaceName);

// The interface list with interfaceName added, or nothing when there is no
// list (absent or empty: every interface) or one of its entries already is
// that interface (entries are separated by blanks or commas; ";options"
// after a name do not count).
std::optional<std::string> InterfacesWith(const std::optional<std::string>& list,
                                          const std::string& interfaceName);

template <typename Lookup>
std::vector<SambaChange> NetbiosChanges(Lookup current, const std::string& interfaceName) {
    std::vector<SambaChange> changes;
    const auto disabled = current("disable netbios");
    if (!disabled || SambaBoolean(*disabled).value_or(true)) {
        changes.push_back({"disable netbios", "no"});
    }
    if (const auto interfaces = InterfacesWith(current("interfaces"), interfaceName)) {
        changes.push_back({"interfaces", *interfaces});
    }
    return changes;
}

}  // namespace setupaid
