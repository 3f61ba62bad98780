#include "setupaid/samba_config.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using setupaid::InterfacesWith;
using setupaid::NetbiosChanges;
using setupaid::SambaConfig;

std::string Enabled(const std::string& text, const std::string& interfaceName) {
    SambaConfig config(text);
    for (const auto& change : NetbiosChanges(
             [&](std::string_view name) { return config.Global(name); }, interfaceName)) {
        config.SetGlobal(change.name, change.value);
    }
    return config.Text();
}

TEST(SambaConfig, ChangesOnlyTheParametersOfGlobal) {
    const std::string before =
        "# Samba configuration\n"
        "[global]\n"
        "   workgroup = WORKGROUP\n"
        ";  interfaces = 127.0.0.0/8 eth0\n"
        "   Disable_NetBIOS = Yes\n"
        "   interfaces = lo eth1 \\\n"
        "      eth2\n"
        "   bind interfaces only = no\n"
        "   bindinterfacesonly = no\n"
        "\n"
        "[homes]\n"
        "   interfaces = not global\n"
        "   read only = yes\n";
    EXPECT_EQ(Enabled(before, "eth0"),
              "# Samba configuration\n"
              "[global]\n"
              "   workgroup = WORKGROUP\n"
              ";  interfaces = 127.0.0.0/8 eth0\n"
              "   disable netbios = no\n"
              "   interfaces = lo eth1       eth2 eth0\n"
              "   bind interfaces only = no\n"
              "   bindinterfacesonly = no\n"
              "\n"
              "[homes]\n"
              "   interfaces = not global\n"
              "   read only = yes\n");
    // Already in place: nothing changes.
    const std::string after = Enabled(before, "eth0");
    EXPECT_EQ(Enabled(after, "eth0"), after);
    EXPECT_EQ(Enabled(after, "eth2"), after);
}

TEST(SambaConfig, AddsParametersAndAMissingGlobalSectionButNoInterfaceList) {
    EXPECT_EQ(
        Enabled("[GLOBAL]\n\tworkgroup = W\n\tinterfaces =\n[data]\n\tpath = /srv\n", "enp3s0"),
        "[GLOBAL]\n"
        "\tworkgroup = W\n"
        "\tinterfaces =\n"
        "   disable netbios = no\n"
        "[data]\n\tpath = /srv\n");
    EXPECT_EQ(Enabled("[data]\n\tpath = /srv", "eth0"),
              "[global]\n"
              "   disable netbios = no\n"
              "[data]\n\tpath = /srv");
}

TEST(SambaConfig, FindsAnInterfaceOnlyAsAWholeEntry) {
    EXPECT_EQ(InterfacesWith(std::string("eth0;speed=1000,eth1"), "eth0"), std::nullopt);
    EXPECT_EQ(InterfacesWith(std::string("eth00, 10.0.0.0/8"), "eth0"),
              std::optional<std::string>("eth00, 10.0.0.0/8 eth0"));
    EXPECT_EQ(InterfacesWith(std::nullopt, "eth0"), std::nullopt);
    EXPECT_EQ(InterfacesWith(std::string(" "), "eth0"), std::nullopt);
    EXPECT_EQ(SambaConfig("a = 1\n[global]\nA = 2\n").Global("a"), "2");
}

}  // namespace
