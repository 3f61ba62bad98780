#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "core/elevation/elevated_protocol.h"

// The helper's request loop: greets, then reads requests from one descriptor
// and answers each on another, until its input ends. linewatch-elevated runs
// it on its standard input and output; the tests and the fuzzer run the same
// function on descriptors of their own.

// One approval serves at most this many requests; the program needs a handful
// per run. The request past it is answered with E_FAIL and ends the session,
// so the next change asks for approval again.
constexpr size_t kMaxRequestsPerSession = 256;

enum class SessionEnd {
    InputEnded,       // clean end of input (or the reply could not be sent)
    Malformed,        // a request out of step: answered E_INVALIDARG, then ended
    TooManyRequests,  // kMaxRequestsPerSession used up: answered E_FAIL, then ended
};

// Receives one line for every request the writer carried out (a success
// result): who asked, the operation, key path and value name, escaped. The
// value itself is not in the line, except for a peers entry, whose line names
// the entry, the adapter and the AC-Name it is aimed at.
using AcceptedRequestNote = std::function<void(const std::string& line)>;

// requester names the user the helper acts for ("uid 1000").
SessionEnd ServeRequests(int in, int out, KtElevatedInterface& writer, std::string_view requester,
                         const AcceptedRequestNote& note);

// The line passed to the note for an accepted request.
std::string DescribeAcceptedRequest(std::string_view requester,
                                    const ElevatedProtocol::Request& request);

// Text fit for one log line: printable ASCII stays, a backslash is doubled,
// a double quote and every other byte become \xHH.
std::string EscapeLogText(std::string_view text);
