#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace setupaid {

// Base64 over bytes with the alphabet A-Z a-z 0-9 "-" "_" and "," as the
// padding character: "abc" -> "YWJj", "a" -> "YQ,,", "" -> "".
std::string FeedbackEncode(std::string_view bytes);

// Query value text: every byte except letters, digits, "-", ".", "_", "~"
// and "," becomes %XX, so that no "&", "#", "=" or blank in a value can start
// another field. Encoded values (FeedbackEncode) stay unchanged.
std::string PercentEncode(std::string_view text);

// The texts the installer passes to the feedback page.
struct FeedbackFields {
    std::string_view pageAddress;
    std::string_view p;
    std::string_view v;
    std::string_view e;
    std::string_view r;
    std::string_view message;
};

// The message cut to its first 384 characters and split after 192 of them
// into d1 and d2 (d2 empty for a message of 192 characters or fewer).
// Characters are UTF-8 characters; bytes that are not become U+FFFD.
struct MessageParts {
    std::string d1;
    std::string d2;
};
MessageParts SplitMessage(std::string_view message);

// The feedback page address with its query: "p=" then, each only when not
// empty and in this order, v, r, e, d1 and d2; e, d1 and d2 encoded with
// FeedbackEncode over their UTF-8 bytes; every value percent-encoded. The
// fields start the query with "?", or join a query the page already has
// with "&"; a fragment ("#...") of the page stays at the end.
std::string FeedbackAddress(const FeedbackFields& fields);

// True for an http or https address without blanks or control characters:
// the only kind handed to the opener, which would otherwise open files or
// take the text as its own option.
bool IsWebAddress(std::string_view address);

// Opens an address in the desktop user's browser.
class AddressOpener {
  public:
    virtual ~AddressOpener() = default;
    // Answers a result code.
    virtual int Open(const std::vector<std::string>& argv) = 0;
};

// The opener the library uses: xdg-open as the desktop user, unless a test
// put another in place (nullptr puts the real one back).
AddressOpener& Opener();
void SetAddressOpener(AddressOpener* opener);

// Opens the feedback page: nothing for an empty page address (0), 6 for an
// address that is not a web address, else the opener's answer.
int SendFeedbackPage(const FeedbackFields& fields);

}  // namespace setupaid
