#pragma once

#include <string>
#include <vector>

namespace setupaid {

// What a finished command left.
struct CommandResult {
    bool started = false;  // false: the program could not be run at all
    int exitStatus = -1;   // exit status, or 128 + signal number
    std::string output;    // standard output and standard error together

    bool Succeeded() const { return started && exitStatus == 0; }
};

// Runs system commands (testparm, net, systemctl, ufw, nft) from an argument
// list, never through a shell. The one real runner searches PATH; tests put
// their own in place to record commands they cannot run here.
class CommandRunner {
  public:
    virtual ~CommandRunner() = default;
    // True when the program can be found.
    virtual bool Has(const std::string& program) = 0;
    // Runs argv (argv[0] is the program) to its end, standard input empty.
    virtual CommandResult Run(const std::vector<std::string>& argv) = 0;
};

// The runner the library uses: the real one unless a test set another.
CommandRunner& Commands();
// Puts a runner in place (nullptr: the real one again). Not for use by the
// library's callers; the library's exports never call it.
void SetCommandRunner(CommandRunner* runner);

// The real runner.
class SystemCommandRunner : public CommandRunner {
  public:
    bool Has(const std::string& program) override;
    CommandResult Run(const std::vector<std::string>& argv) override;
};

// The C string pointers of texts, ended by a null pointer, for exec calls.
std::vector<char*> ArgumentPointers(std::vector<std::string>& texts);

// The full path of an executable program: itself when it holds a slash,
// otherwise the first match in PATH. Empty when there is none.
std::string FindProgram(const std::string& program);

}  // namespace setupaid
