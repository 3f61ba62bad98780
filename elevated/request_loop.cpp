#include "elevated/request_loop.h"

#include "core/unique_fd.h"

namespace {

std::string_view OperationName(ElevatedProtocol::Operation op) {
    switch (op) {
        case ElevatedProtocol::Operation::WriteString:
            return "WriteString";
        case ElevatedProtocol::Operation::WriteInt:
            return "WriteInt";
        case ElevatedProtocol::Operation::DeleteValue:
            return "DeleteValue";
        case ElevatedProtocol::Operation::WritePeersEntry:
            return "WritePeersEntry";
    }
    return "?";
}

int32_t Carry(KtElevatedInterface& writer, const ElevatedProtocol::Request& request) {
    switch (request.op) {
        case ElevatedProtocol::Operation::WriteString:
            return writer.WriteString(request.keyPath, request.name, request.value);
        case ElevatedProtocol::Operation::WriteInt:
            return writer.WriteInt(request.keyPath, request.name, request.number);
        case ElevatedProtocol::Operation::DeleteValue:
            return writer.DeleteValue(request.keyPath, request.name);
        case ElevatedProtocol::Operation::WritePeersEntry:
            return writer.WritePeersEntry(request.keyPath, request.name, request.value,
                                          request.replace);
    }
    return E_FAIL;
}

}  // namespace

std::string EscapeLogText(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7F && c != '"') {
            out += c;
        } else {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
    }
    return out;
}

std::string DescribeAcceptedRequest(std::string_view requester,
                                    const ElevatedProtocol::Request& request) {
    std::string line = "accepted ";
    line += OperationName(request.op);
    line += " for ";
    line += EscapeLogText(requester);
    if (request.op == ElevatedProtocol::Operation::WritePeersEntry) {
        line += ": peers entry \"";
        line += EscapeLogText(request.keyPath);
        line += "\" on adapter \"";
        line += EscapeLogText(request.name);
        line += "\" for AC-Name \"";
        line += EscapeLogText(request.value);
        line += '"';
        if (request.replace == PeersReplace::Agreed) {
            line += ", replacing what was there";
        }
        return line;
    }
    line += ": key \"";
    line += EscapeLogText(request.keyPath);
    line += "\" value name \"";
    line += EscapeLogText(request.name);
    line += '"';
    return line;
}

SessionEnd ServeRequests(int in, int out, KtElevatedInterface& writer, std::string_view requester,
                         const AcceptedRequestNote& note) {
    if (!WriteAll(out, ElevatedProtocol::kGreeting)) {
        return SessionEnd::InputEnded;
    }
    size_t served = 0;
    for (;;) {
        ElevatedProtocol::Request request;
        const ElevatedProtocol::ReadStatus status = ElevatedProtocol::ReadRequest(in, request);
        if (status == ElevatedProtocol::ReadStatus::End) {
            return SessionEnd::InputEnded;
        }
        if (status == ElevatedProtocol::ReadStatus::Malformed) {
            // The stream is out of step: answer once, then stop listening.
            WriteAll(out, ElevatedProtocol::EncodeReply(E_INVALIDARG));
            return SessionEnd::Malformed;
        }
        if (served == kMaxRequestsPerSession) {
            WriteAll(out, ElevatedProtocol::EncodeReply(E_FAIL));
            return SessionEnd::TooManyRequests;
        }
        ++served;
        int32_t result = E_INVALIDARG;  // oversized: refused, the stream still in step
        if (status == ElevatedProtocol::ReadStatus::Ok) {
            result = Carry(writer, request);
            if (Succeeded(result) && note) {
                note(DescribeAcceptedRequest(requester, request));
            }
        }
        if (!WriteAll(out, ElevatedProtocol::EncodeReply(result))) {
            return SessionEnd::InputEnded;
        }
    }
}
