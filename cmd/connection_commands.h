#pragma once

#include <optional>
#include <string>

// The terminal's connection commands, which write or list dial entries and
// exit instead of monitoring:
//
//   linewatch-cli --create-connection NAME --ac AC-NAME [-i IFACE] [--peers-dir DIR]
//                 [--replace]
//   linewatch-cli --list-connections AC-NAME [--peers-dir DIR]
//
// Nothing when the command line asks for neither (the monitor runs), else the
// exit code. defaultInterface is the adapter being monitored (the stored
// setting), used when -i is not given and it is an Ethernet adapter here.
std::optional<int> RunConnectionCommand(int argc, char** argv, const std::string& defaultInterface);

// Their lines of the usage text.
extern const char* const kConnectionCommandsUsage;
