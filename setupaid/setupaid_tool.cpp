// setupaid-tool: the installer helper library from the command line, for
// package scripts and administrators. Each command calls one export (the
// connection commands call OpenNic, EnumNic and CloseNic around theirs),
// prints its result and exits with the result code.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "setupaid/setupaid.h"

namespace {

const char* Meaning(int code) {
    switch (code) {
        case SETUPAID_DONE:
            return "done";
        case SETUPAID_NOT_APPLICABLE:
            return "not applicable to this system";
        case SETUPAID_NOTHING_TO_DO:
            return "nothing to do, or the system part is absent";
        case SETUPAID_CANNOT_INITIALISE:
            return "cannot initialise";
        case SETUPAID_NOT_AVAILABLE:
            return "a needed component is not installed";
        case SETUPAID_ACCESS_DENIED:
            return "access denied (run as root; feedback also needs the desktop user who ran sudo "
                   "or pkexec)";
        default:
            return "failed, or a bad argument";
    }
}

int Report(int code) {
    std::printf("%d %s\n", code, Meaning(code));
    return code;
}

void Usage(FILE* out) {
    std::fputs(
        "usage: setupaid-tool COMMAND [ARGUMENTS]\n"
        "  connections                 list the IP-enabled connections: INDEX<tab>NAME\n"
        "  enable-netbios CONNECTION   switch NetBIOS on through Samba for a connection,\n"
        "                              given by its index or its name as listed\n"
        "  add-path FOLDER             add FOLDER to the system search path\n"
        "  setup-firewall NAME IMAGE   let file and printer sharing through the firewall\n"
        "  disable-messenger           disable the messenger service (there is none: 2)\n"
        "  send-feedback ADDRESS P V E R MESSAGE\n"
        "                              open the feedback page in the desktop user's browser\n"
        "Prints the result code and its meaning and exits with the code. System files\n"
        "are taken below $LW_SETUPAID_ROOT when it is set.\n",
        out);
}

// The index of a connection given by index or by name; -1 when none matches.
int ConnectionIndex(const char* given) {
    const int count = NicCount();
    char* end = nullptr;
    const long number = std::strtol(given, &end, 10);
    if (*given != '\0' && *end == '\0')
        return number >= 0 && number < count ? static_cast<int>(number) : -1;
    for (int i = 0; i < count; ++i) {
        if (std::strcmp(NicName(i), given) == 0) return i;
    }
    return -1;
}

int Connections(const char* enableFor) {
    int code = OpenNic();
    if (code != SETUPAID_DONE) return Report(code);
    code = EnumNic();
    if (code == SETUPAID_DONE && enableFor == nullptr) {
        for (int i = 0; i < NicCount(); ++i) std::printf("%d\t%s\n", i, NicName(i));
    } else if (code == SETUPAID_DONE) {
        const int index = ConnectionIndex(enableFor);
        if (index < 0) std::fprintf(stderr, "setupaid-tool: no connection %s\n", enableFor);
        code = NicEnable(index);
    }
    CloseNic();
    return enableFor == nullptr && code == SETUPAID_DONE ? code : Report(code);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        Usage(stderr);
        return SETUPAID_FAILED;
    }
    const std::string command = argv[1];
    const int arguments = argc - 2;
    char** argument = argv + 2;
    if (command == "connections" && arguments == 0) return Connections(nullptr);
    if (command == "enable-netbios" && arguments == 1) return Connections(argument[0]);
    if (command == "add-path" && arguments == 1) return Report(AddPathVar(argument[0]));
    if (command == "setup-firewall" && arguments == 2) {
        return Report(SetupFirewall(argument[0], argument[1]));
    }
    if (command == "disable-messenger" && arguments == 0) return Report(DisableMsgSrvc());
    if (command == "send-feedback" && arguments == 6) {
        return Report(SendFeedback(argument[0], argument[1], argument[2], argument[3], argument[4],
                                   argument[5]));
    }
    if (command == "--help" || command == "-h") {
        Usage(stdout);
        return SETUPAID_DONE;
    }
    Usage(stderr);
    return SETUPAID_FAILED;
}
