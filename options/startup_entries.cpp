#include "options/startup_entries.h"

#include <memory>

#include "core/elevation/admin_operation.h"
#include "core/program_paths.h"
#include "core/storage/autostart.h"
#include "core/storage/registry.h"
#include "core/storage/storage_names.h"

namespace {

// One autostart entry (the current user's or all users'), written and removed
// here or through the elevated helper.
struct RunSide {
    std::unique_ptr<KtRegistry> direct;
    bool elevated = false;

    bool Write(const std::string& value) {
        if (direct) return direct->SetStringValue(kRunValueName, value);
        return elevated && Succeeded(KtAdminOperation::WriteString(XdgAutostart::kRunKeyPath,
                                                                   kRunValueName, value));
    }
    bool Remove() {
        if (direct) return direct->DeleteValue(kRunValueName);
        return elevated &&
               Succeeded(KtAdminOperation::DeleteValue(XdgAutostart::kRunKeyPath, kRunValueName));
    }
};

bool EntryExists(RegistryRoot root) {
    KtRegistry run(root);
    return run.Open(kRunKeyAbsolutePath, false, false) && run.ValueExists(kRunValueName);
}

// Opens the entry of a root for a change: the current user's must be writable
// here; the all users' entry is changed here when it can be, else through the
// elevated helper.
StartupChange OpenSide(RegistryRoot root, RunSide& side) {
    auto key = std::make_unique<KtRegistry>(root);
    if (key->Open(kRunKeyAbsolutePath, true, true)) {
        side.direct = std::move(key);
        return StartupChange::kChanged;
    }
    if (root == RegistryRoot::CurrentUser) return StartupChange::kFailed;
    if (KtAdminOperation::GetElevatedInterface() == nullptr) return StartupChange::kDeclined;
    side.elevated = true;
    return StartupChange::kChanged;
}

}  // namespace

int ReadStartupMode() {
    if (EntryExists(RegistryRoot::LocalMachine)) return 2;
    return EntryExists(RegistryRoot::CurrentUser) ? 1 : 0;
}

std::string UserRunCommand() {
    const std::string program = GetProgramPath();
    // A quote cannot stand inside the quoted program name of the command line.
    if (program.empty() || program.find('"') != std::string::npos) return {};
    return "\"" + program + "\"";
}

StartupChange ChangeStartupEntry(int newMode) {
    if (newMode < 0 || newMode > 2) return StartupChange::kFailed;
    if (newMode == ReadStartupMode()) return StartupChange::kUnchanged;
    const bool wantUser = newMode == 1;
    const bool wantMachine = newMode == 2;
    const bool hasUser = EntryExists(RegistryRoot::CurrentUser);
    const bool hasMachine = EntryExists(RegistryRoot::LocalMachine);
    // Every entry that must change is opened first: a refused prompt or an
    // unwritable folder stops the change before anything is touched.
    RunSide user;
    RunSide machine;
    if (wantMachine != hasMachine) {
        if (StartupChange opened = OpenSide(RegistryRoot::LocalMachine, machine);
            opened != StartupChange::kChanged) {
            return opened;
        }
    }
    if (wantUser || hasUser) {
        if (OpenSide(RegistryRoot::CurrentUser, user) != StartupChange::kChanged)
            return StartupChange::kFailed;
    }
    // The new entry first; the others go only when it is there, so a failed
    // write never leaves the program without the entry it had. The user's own
    // entry starts the program that is running now; the all users' entry
    // starts the installed program (the only one the helper lets in).
    if (wantUser) {
        const std::string command = UserRunCommand();
        if (command.empty() || !user.Write(command)) return StartupChange::kFailed;
    }
    if (wantMachine && !hasMachine && !machine.Write(KtAdminOperation::ProgramRunCommand()))
        return StartupChange::kFailed;
    bool removed = true;
    if (!wantUser && hasUser) removed = user.Remove() && removed;
    if (!wantMachine && hasMachine) removed = machine.Remove() && removed;
    return removed ? StartupChange::kChanged : StartupChange::kFailed;
}
