#include "core/elevation/elevated_protocol.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <utility>

namespace ElevatedProtocol {
namespace {

std::string_view OperationCode(const Request& request) {
    switch (request.op) {
        case Operation::WriteString:
            return "WS";
        case Operation::WriteInt:
            return "WI";
        case Operation::DeleteValue:
            return "DV";
        case Operation::WritePeersEntry:
            switch (request.replace) {
                case PeersReplace::None:
                    return "WN";
                case PeersReplace::OwnEntries:
                    return "WP";
                case PeersReplace::Agreed:
                    return "WR";
            }
            break;
    }
    return "??";
}

// A length: decimal digits only, no sign, no leading zero except "0" itself,
// at most 10 digits so that the value fits comfortably.
bool ParseLength(std::string_view text, size_t& value) {
    if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0')) {
        return false;
    }
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        result = result * 10 + static_cast<uint64_t>(c - '0');
    }
    value = static_cast<size_t>(result);
    return true;
}

bool ParseInt32(std::string_view text, int32_t& value) {
    if (text.empty() || text[0] == '+') {
        return false;
    }
    int32_t result = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), result);
    if (error != std::errc() || end != text.data() + text.size()) {
        return false;
    }
    value = result;
    return true;
}

// Splits at single spaces; false if there are not exactly `count` fields.
bool SplitFields(std::string_view line, std::string_view* fields, size_t count) {
    size_t found = 0;
    size_t start = 0;
    while (found < count) {
        size_t space = line.find(' ', start);
        std::string_view field = line.substr(
            start, space == std::string_view::npos ? std::string_view::npos : space - start);
        fields[found++] = field;
        if (space == std::string_view::npos) {
            break;
        }
        start = space + 1;
    }
    if (found != count) {
        return false;
    }
    // The last field must have consumed the rest of the line.
    return fields[count - 1].data() + fields[count - 1].size() == line.data() + line.size();
}

bool Discard(int fd, size_t count) {
    char buffer[4096];
    while (count > 0) {
        size_t chunk = count < sizeof buffer ? count : sizeof buffer;
        if (!ReadExact(fd, buffer, chunk)) {
            return false;
        }
        count -= chunk;
    }
    return true;
}

}  // namespace

std::string EncodeRequest(const Request& request) {
    std::string out(OperationCode(request));
    out += ' ';
    out += std::to_string(request.keyPath.size());
    out += ' ';
    out += std::to_string(request.name.size());
    out += ' ';
    switch (request.op) {
        case Operation::WriteString:
        case Operation::WritePeersEntry:
            out += std::to_string(request.value.size());
            break;
        case Operation::WriteInt:
            out += std::to_string(request.number);
            break;
        case Operation::DeleteValue:
            out += '0';
            break;
    }
    out += '\n';
    out += request.keyPath;
    out += request.name;
    if (request.op == Operation::WriteString || request.op == Operation::WritePeersEntry) {
        out += request.value;
    }
    return out;
}

std::string EncodeReply(int32_t result) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    uint32_t bits = static_cast<uint32_t>(result);
    std::string out(9, '\n');
    for (int i = 7; i >= 0; --i) {
        out[static_cast<size_t>(i)] = kHex[bits & 0xFu];
        bits >>= 4;
    }
    return out;
}

bool DecodeReply(std::string_view line, int32_t& result) {
    if (line.size() != 8) {
        return false;
    }
    uint32_t bits = 0;
    for (char c : line) {
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return false;
        }
        bits = (bits << 4) | digit;
    }
    result = static_cast<int32_t>(bits);
    return true;
}

bool ReadLine(int fd, size_t maxBytes, std::string& line) {
    // One byte at a time: the payload follows the header directly and must not
    // be swallowed by a read-ahead buffer. Requests are rare and short.
    line.clear();
    while (line.size() < maxBytes) {
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        if (c == '\n') {
            return true;
        }
        line.push_back(c);
    }
    return false;
}

bool ReadExact(int fd, char* bytes, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = read(fd, bytes + done, count - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

ReadStatus ReadRequest(int fd, Request& request) {
    // Tell a clean end (nothing at all) from a request cut short.
    char first;
    for (;;) {
        ssize_t n = read(fd, &first, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return ReadStatus::End;
        }
        break;
    }
    std::string line;
    if (first == '\n') {
        return ReadStatus::Malformed;
    }
    if (!ReadLine(fd, kMaxHeaderBytes - 1, line)) {
        return ReadStatus::Malformed;
    }
    line.insert(line.begin(), first);

    std::string_view fields[4];
    if (!SplitFields(line, fields, 4)) {
        return ReadStatus::Malformed;
    }
    Request parsed;
    if (fields[0] == "WS") {
        parsed.op = Operation::WriteString;
    } else if (fields[0] == "WI") {
        parsed.op = Operation::WriteInt;
    } else if (fields[0] == "DV") {
        parsed.op = Operation::DeleteValue;
    } else if (fields[0] == "WN" || fields[0] == "WP" || fields[0] == "WR") {
        parsed.op = Operation::WritePeersEntry;
        parsed.replace = fields[0] == "WN"   ? PeersReplace::None
                         : fields[0] == "WP" ? PeersReplace::OwnEntries
                                             : PeersReplace::Agreed;
    } else {
        return ReadStatus::Malformed;
    }
    size_t keyLength = 0;
    size_t nameLength = 0;
    size_t valueLength = 0;
    if (!ParseLength(fields[1], keyLength) || !ParseLength(fields[2], nameLength)) {
        return ReadStatus::Malformed;
    }
    switch (parsed.op) {
        case Operation::WriteString:
        case Operation::WritePeersEntry:
            if (!ParseLength(fields[3], valueLength)) {
                return ReadStatus::Malformed;
            }
            break;
        case Operation::WriteInt:
            if (!ParseInt32(fields[3], parsed.number)) {
                return ReadStatus::Malformed;
            }
            break;
        case Operation::DeleteValue:
            if (fields[3] != "0") {
                return ReadStatus::Malformed;
            }
            break;
    }

    // Each length is below 10^10, so the sum cannot overflow.
    uint64_t total = static_cast<uint64_t>(keyLength) + nameLength + valueLength;
    if (keyLength > kMaxKeyPathBytes || nameLength > kMaxValueNameBytes ||
        valueLength > kMaxStringValueBytes) {
        if (total > kMaxDiscardBytes) {
            return ReadStatus::Malformed;
        }
        return Discard(fd, static_cast<size_t>(total)) ? ReadStatus::Oversized
                                                       : ReadStatus::Malformed;
    }

    parsed.keyPath.resize(keyLength);
    parsed.name.resize(nameLength);
    parsed.value.resize(valueLength);
    if (!ReadExact(fd, parsed.keyPath.data(), keyLength) ||
        !ReadExact(fd, parsed.name.data(), nameLength) ||
        !ReadExact(fd, parsed.value.data(), valueLength)) {
        return ReadStatus::Malformed;
    }
    request = std::move(parsed);
    return ReadStatus::Ok;
}

}  // namespace ElevatedProtocol
