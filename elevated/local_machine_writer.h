#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/elevation/elevated_protocol.h"

// The helper's side of the elevated operations: checks every request against
// a fixed list of what the program may change machine-wide, then writes the
// machine-wide store. Nothing a request carries is trusted.
//
// Allowed, key paths compared without regard to letter case:
//   Software\Microsoft\Windows\CurrentVersion\Run
//       value "Line Watchman" only; WriteString of exactly the installed
//       program's path in double quotes (KtAdminOperation::ProgramRunCommand,
//       fixed at build time), or DeleteValue. The value becomes the Exec line
//       of the autostart entry every user's session runs, so nothing else is
//       let in: no other program, no arguments.
//   SYSTEM\CurrentControlSet\Control\Class\{4D36E972-E325-11CE-BFC1-08002bE10318}\NNNN
//       (the network adapter class, four-digit instance) value "WanEndpoints"
//       only, WriteInt of 1..100 only, and only into a key that already exists
//   WritePeersEntry: one pppd peers entry in the peers folder only (fixed;
//       another only for a helper that runs without privilege), under an
//       entry name that passes the entry-name rules (a plain file name), built
//       here from the AC-Name and adapter with pppd's quoting, or refused;
//       an existing file is replaced only as the request allows (a file the
//       program wrote, or any file the user agreed to overwrite), else
//       E_ALREADY_EXISTS
//
// The program's options are per user and never written machine-wide through
// the helper: a machine-wide option (a log folder, say) would reach every
// user's files.
//
// Results: E_INVALIDARG for a malformed path, name or value (empty or "." or
// ".." components, control characters, oversized parts, a value unfit for its
// key); E_ACCESSDENIED for anything off the list; E_NOT_FOUND for a missing
// driver key or a value that was not there to delete; E_FAIL when the store
// refuses the write.
class KtLocalMachineWriter final : public KtElevatedInterface {
  public:
    static constexpr int32_t kMinEndpoints = kMinWanEndpoints;
    static constexpr int32_t kMaxEndpoints = kMaxWanEndpoints;

    int32_t WriteString(std::string_view keyPath, std::string_view name,
                        std::string_view value) override;
    int32_t WriteInt(std::string_view keyPath, std::string_view name, int32_t value) override;
    int32_t DeleteValue(std::string_view keyPath, std::string_view name) override;
    int32_t WritePeersEntry(std::string_view entryName, std::string_view interface,
                            std::string_view acName, PeersReplace replace) override;

    // The folder peers entries go to; default /etc/ppp/peers.
    void SetPeersFolder(std::string folder) { peersFolder_ = std::move(folder); }
    const std::string& PeersFolder() const { return peersFolder_; }

  private:
    std::string peersFolder_ = "/etc/ppp/peers";
};
