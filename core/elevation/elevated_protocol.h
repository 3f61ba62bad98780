#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Result codes of the elevated operations. They keep the values of the COM
// result codes the rest of the program compares against; a negative value is
// a failure.
constexpr int32_t S_OK = 0;
constexpr int32_t E_FAIL = static_cast<int32_t>(0x80004005u);
constexpr int32_t E_ACCESSDENIED = static_cast<int32_t>(0x80070005u);
constexpr int32_t E_INVALIDARG = static_cast<int32_t>(0x80070057u);
// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND): the key or value does not exist.
constexpr int32_t E_NOT_FOUND = static_cast<int32_t>(0x80070002u);
// HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS): a file of that name is there and
// the request did not allow replacing it.
constexpr int32_t E_ALREADY_EXISTS = static_cast<int32_t>(0x800700B7u);

constexpr bool Succeeded(int32_t result) {
    return result >= 0;
}

// Which existing peers entry a write may replace. A file the user wrote by
// hand (Debian's `provider`, say) is replaced only when the user said so.
enum class PeersReplace {
    None,        // only a new name: an existing file is left alone
    OwnEntries,  // a new name, or an entry the program wrote (its header line)
    Agreed,      // any regular file: the user agreed to overwrite it
};

// The numbers of PPPoE endpoints the driver value may hold. The driver page
// offers, takes and writes this range, and the helper lets in no other, so a
// number is either refused at once or written whichever way it goes.
constexpr int32_t kMinWanEndpoints = 1;
constexpr int32_t kMaxWanEndpoints = 100;

// The three operations the elevated object carries out below the machine-wide
// root. Key paths are relative to that root, without a leading backslash.
class KtElevatedInterface {
  public:
    virtual ~KtElevatedInterface() = default;
    virtual int32_t WriteString(std::string_view keyPath, std::string_view name,
                                std::string_view value) = 0;
    virtual int32_t WriteInt(std::string_view keyPath, std::string_view name, int32_t value) = 0;
    virtual int32_t DeleteValue(std::string_view keyPath, std::string_view name) = 0;
    // Writes the pppd peers entry `entryName` aimed at the access concentrator
    // acName on the adapter `interface`. The writer builds the file itself
    // from these fields, and replaces an existing file only as `replace`
    // allows (else E_ALREADY_EXISTS).
    virtual int32_t WritePeersEntry(std::string_view entryName, std::string_view interface,
                                    std::string_view acName, PeersReplace replace) = 0;
};

// Wire format between the program and linewatch-elevated, over the helper's
// standard input and output.
//
//   helper, once at start:  "LWELEVATED/1 READY\n"
//   request:                "<op> <keyLen> <nameLen> <arg>\n" then keyLen bytes of key
//                           path, nameLen bytes of value name and, for WS only,
//                           arg bytes of value
//       op WS (WriteString): arg = value length
//       op WI (WriteInt):    arg = the 32-bit value in signed decimal
//       op DV (DeleteValue): arg = 0
//       op WN, WP, WR (WritePeersEntry replacing no file, the program's own
//                            entries, any file the user agreed to replace):
//                            key path = entry name, value name = adapter,
//                            arg = length of the AC-Name bytes that follow
//   reply:                  8 upper-case hex digits of the result code, "\n"
//
// Lengths are decimal without sign or leading zeros, and the header line is at
// most kMaxHeaderBytes long, so a reader never has to guess how much to take:
// the payload is bounded before a byte of it is read. Payload bytes are passed
// as they are; whether they may be stored is for the helper to decide.
namespace ElevatedProtocol {

constexpr std::string_view kGreeting = "LWELEVATED/1 READY\n";
constexpr size_t kMaxHeaderBytes = 64;
constexpr size_t kMaxKeyPathBytes = 260;
constexpr size_t kMaxValueNameBytes = 255;
constexpr size_t kMaxStringValueBytes = 4096;
// A request whose fields are too long but whose payload stays below this is
// read and discarded so that the session can go on; anything larger ends it.
constexpr size_t kMaxDiscardBytes = 64 * 1024;

enum class Operation { WriteString, WriteInt, DeleteValue, WritePeersEntry };

struct Request {
    Operation op = Operation::DeleteValue;
    std::string keyPath;
    std::string name;
    std::string value;                          // WriteString; the AC-Name for WritePeersEntry
    int32_t number = 0;                         // WriteInt only
    PeersReplace replace = PeersReplace::None;  // WritePeersEntry only
};

// The bytes of one request, header and payload, as the client sends them.
// Does not enforce the limits: the helper must cope with whatever arrives.
std::string EncodeRequest(const Request& request);

std::string EncodeReply(int32_t result);
// Parses "XXXXXXXX\n" without the newline; false if it is not 8 hex digits.
bool DecodeReply(std::string_view line, int32_t& result);

enum class ReadStatus {
    Ok,         // a complete, well-formed request within the limits
    End,        // clean end of input before a new request
    Oversized,  // well-formed but a field exceeds its limit; payload consumed
    Malformed,  // unusable header, oversized beyond discarding, or input ended early
};

// Reads one request from fd (blocking). After Oversized the stream is still in
// step; after Malformed it is not and the session must end.
ReadStatus ReadRequest(int fd, Request& request);

// Reads one line of at most maxBytes including its "\n"; false on end of input,
// error or overlong line. The newline is not stored.
bool ReadLine(int fd, size_t maxBytes, std::string& line);

// Reads exactly bytes.size() bytes; false on end of input or error.
bool ReadExact(int fd, char* bytes, size_t count);

}  // namespace ElevatedProtocol
