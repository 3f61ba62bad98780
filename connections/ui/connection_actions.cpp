#include "connections/ui/connection_actions.h"

#include <QString>

#include "connections/ui/isp_name_dlg.h"
#include "connections/ui/message_boxes.h"
#include "connections/phonebook.h"

namespace {

constexpr const char* kCaption = "Line Watchman";

}  // namespace

bool CreateConnectionOrTell(QWidget* parent, const std::string& acName, const std::string& name,
                            const std::string& interface) {
    const int32_t result = CreateConnection(acName, name, interface, TakeAgreedReplacement(name));
    if (Succeeded(result)) {
        return true;
    }
    KtMessageBoxes::Current().ShowError(parent, QString::fromLatin1(kCaption),
                                        QString::fromStdString(DescribeCreateFailure(result)));
    return false;
}

void TellPeersFolderUnreadable(QWidget* parent) {
    KtMessageBoxes::Current().ShowError(parent, QString::fromLatin1(kCaption),
                                        QString::fromStdString(UnreadableFolderAdvice()));
}
