#pragma once

#include <sys/types.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Dials a peers entry: runs `pppd call NAME updetach` with the user name as
// pppd's `user` option and the password handed over through pppd's
// passwordfd plugin on a pipe, never on a command line (where every user
// could read it). The entry loads that plugin itself: pppd takes `plugin`
// from root's command line only, and from a peers entry for anyone in dip. pppd's own output is
// passed on line by line while it runs; the dial can be cancelled (pppd is told to end); at the end
// the runner says how pppd ended.

struct DialRequest {
    std::string entryName;
    std::string user;      // no `user` option when empty
    std::string password;  // no password plugin when empty
    // The peers folder the entry is in. pppd's `call` reads the system's
    // folder only; an entry elsewhere is named by its path with `file`.
    std::string peersFolder = "/etc/ppp/peers";
    std::string pppdPath = "/usr/sbin/pppd";
    std::string pppDevice = "/dev/ppp";  // checked when pppd fails, to say what is missing
};

struct DialOutcome {
    bool started = false;    // pppd could be run at all
    bool cancelled = false;  // Cancel was asked before pppd ended
    int exitCode = -1;       // pppd's exit status when it exited
    int signal = 0;          // the signal that ended it, else 0
    // What the user is told at the end, one line each: how pppd ended and,
    // where it applies, what is missing on this machine.
    std::vector<std::string> summary;
};

// How the password of a dial reaches pppd.
enum class PasswordRoute {
    Entry,        // the entry loads the password plugin (or there is no password)
    CommandLine,  // an entry without the plugin, dialled by root: the plugin on the command line
    Refused,      // an entry without the plugin, dialled by anyone else: pppd would refuse it
};

// The route for the request's entry as this user (root or not). An entry that
// cannot be read is taken to load the plugin: pppd reads it, not we.
PasswordRoute ChoosePasswordRoute(const DialRequest& request, bool root);

// What the user is told instead of dialling when the route is Refused.
std::string RecreateEntryAdvice(const std::string& entryName);

// pppd's command line for the request; the password travels on descriptor
// passwordFd, through the plugin the entry loads or, on the route
// CommandLine, one the command line loads.
std::vector<std::string> DialArguments(const DialRequest& request, int passwordFd,
                                       PasswordRoute route = PasswordRoute::Entry);

// The meaning of pppd's exit status, as its manual lists them.
std::string DescribePppdExit(int exitCode);

class KtDialRunner {
  public:
    // Both run on the runner's own thread.
    using LineHandler = std::function<void(const std::string& line)>;
    using EndHandler = std::function<void(const DialOutcome& outcome)>;

    KtDialRunner() = default;
    // Cancels a dial still running and waits for pppd to end.
    ~KtDialRunner();
    KtDialRunner(const KtDialRunner&) = delete;
    KtDialRunner& operator=(const KtDialRunner&) = delete;

    // Starts pppd. False (and the reason in error) when it cannot be started
    // or would be refused (an entry that does not load the password plugin,
    // dialled with a password by anyone but root); then no handler is called.
    // One dial per runner at a time.
    bool Start(const DialRequest& request, LineHandler onLine, EndHandler onEnd,
               std::string& error);
    // Asks pppd to end (SIGTERM, which makes it hang up and exit). Safe to
    // call at any time, also after the end.
    void Cancel();
    // Waits until pppd has ended and the end handler has run.
    void Wait();
    pid_t ProcessId() const;

  private:
    void Run(int outFd, int pidFd, const DialRequest& request, const LineHandler& onLine,
             const EndHandler& onEnd);

    mutable std::mutex mutex_;
    pid_t pid_ = -1;
    bool ended_ = true;
    bool cancelled_ = false;
    std::thread thread_;
};
