// The library's C interface. Each export hands its work to the module that
// owns it; missing texts count as empty, as the installer may pass none.

#include "setupaid/feedback.h"
#include "setupaid/firewall_setup.h"
#include "setupaid/nic_list.h"
#include "setupaid/search_path.h"
#include "setupaid/setupaid.h"

namespace {

// The connection list lives between calls, as the installer drives it from
// one thread.
setupaid::NicList& Connections() {
    static setupaid::NicList list;
    return list;
}

std::string_view TextOf(const char* text) {
    return text != nullptr ? text : "";
}

}  // namespace

extern "C" {

int OpenNic(void) {
    return Connections().Open();
}

int EnumNic(void) {
    return Connections().Enumerate();
}

int NicCount(void) {
    return Connections().Count();
}

const char* NicName(int index) {
    return Connections().Name(index);
}

int NicEnable(int index) {
    return Connections().Enable(index);
}

void CloseNic(void) {
    Connections().Close();
}

int AddPathVar(const char* folder) {
    return setupaid::AddSearchPathFolder(TextOf(folder));
}

int SetupFirewall(const char* applicationName, const char* imagePath) {
    return setupaid::SetupSambaFirewall(TextOf(applicationName), TextOf(imagePath));
}

int DisableMsgSrvc(void) {
    return SETUPAID_NOTHING_TO_DO;
}

int SendFeedback(const char* pageAddress, const char* p, const char* v, const char* e,
                 const char* r, const char* message) {
    return setupaid::SendFeedbackPage(
        {TextOf(pageAddress), TextOf(p), TextOf(v), TextOf(e), TextOf(r), TextOf(message)});
}

}  // extern "C"
