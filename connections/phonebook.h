#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "connections/peers_entry.h"
#include "core/elevation/elevated_protocol.h"

// The dial-up phonebook: pppd's peers folder, one file per entry. Finds the
// PPPoE entries aimed at an access concentrator and writes new ones. Keeps no
// state but the folder's path; the folder is the store.

// One entry found by FindConnections: its name (the file name in the folder).
class KtRasConnection {
  public:
    KtRasConnection() = default;
    explicit KtRasConnection(std::string name) : name_(std::move(name)) {}
    virtual ~KtRasConnection() = default;
    KtRasConnection(const KtRasConnection&) = default;
    KtRasConnection& operator=(const KtRasConnection&) = default;

    const std::string& Name() const { return name_; }

  private:
    std::string name_;
};

constexpr std::string_view kDefaultPeersFolder = "/etc/ppp/peers";

// The folder every operation uses; default kDefaultPeersFolder. An empty path
// restores the default. Set before the first use (the terminal's --peers-dir,
// tests).
std::string PeersFolder();
void SetPeersFolder(std::string folder);

enum class PhonebookStatus {
    Ok,
    FolderUnreadable,  // the folder exists but this user may not read it
};

// Appends, in the folder's order (file names sorted by their bytes), every
// entry whose device type equals deviceType ignoring letter case and whose
// target is exactly acName with no Service-Name. Files that are no valid
// entry names (editor backups with a leading dot, say), that are no regular
// files or cannot be read are passed over. A missing folder holds no entries.
PhonebookStatus FindConnections(std::string_view deviceType, std::string_view acName,
                                std::vector<KtRasConnection>& result);

// What the entry `name` in folder is aimed at; nothing when it cannot be read
// (no such entry, no regular file, no permission, too large).
std::optional<PeersEntryTarget> ReadPeersEntryFile(const std::string& folder,
                                                   std::string_view name);

// Whether this user may look names up in the folder (a missing folder can be:
// it holds nothing).
bool CanSearchPeersFolder();

// The sentence that tells the user why the folder could not be read and what
// to do: join the group that owns it.
std::string UnreadableFolderAdvice();

// The answers of the name check, as the name dialog needs them.
enum class EntryNameCheck {
    Ok,
    Invalid,
    AlreadyExists,
    FolderUnreadable,  // this user may not look into the folder: cannot tell
};
EntryNameCheck CheckEntryName(std::string_view name);

// The name the name dialog suggests for the AC-Name acName: its suggestion
// base (EntryNameSuggestionBase) if free, else the first free of "base (1)" to
// "base (8)"; empty when all are taken or the base is no valid name. When the
// folder cannot be read the base itself is suggested: whether it is taken is
// for the writer to find out.
std::string SuggestConnectionName(std::string_view acName);

// Writes the entry `name` in folder from the fields: the text is built here,
// written to a new file beside it with mode 0640 (owner root, group dip when
// running as root), flushed and renamed to the entry's name. An existing
// regular file is replaced only as `replace` allows; a file that appears
// while a new entry is written is never replaced. A symbolic link or
// anything else than a regular file at the entry's place is refused, and the
// folder itself is opened without following a link.
// S_OK; E_INVALIDARG for a name or field that cannot be written;
// E_ALREADY_EXISTS for an existing file `replace` does not let go;
// E_ACCESSDENIED when something else than a regular file is in the way or
// the folder refuses; E_FAIL for other failures.
int32_t WritePeersEntryFile(const std::string& folder, std::string_view name,
                            const PeersEntryFields& fields,
                            PeersReplace replace = PeersReplace::OwnEntries);

// Creates the entry `name` aimed at acName on the adapter interface in the
// current peers folder, replacing an existing file only as `replace` allows:
// directly when this process may write the folder (root), else, for the
// system's folder only, through linewatch-elevated. Another folder this user
// may not write is refused with E_ACCESSDENIED, never written elsewhere. The
// result code as above (E_FAIL also when the helper cannot be had).
int32_t CreateConnection(std::string_view acName, std::string_view name, std::string_view interface,
                         PeersReplace replace = PeersReplace::OwnEntries);

// A failed create said in one sentence for the user.
std::string DescribeCreateFailure(int32_t result);
