#include "connections/ui/connection_actions.h"

#include <QString>

#include "connections/phonebook.h"
#include "connections/ui/isp_name_dlg.h"
#include "connections/ui/message_boxes.h"

namespace {

constexpr const char* kCaption = "Line Watchman";

}  // namespace

bool CreateConnectionOrTell(KtMessageBoxes& boxes, QWidget* parent, const std::string& acName,
                            const std::string& name, const std::string& interface) {
    const int32_t result = CreateConnection(acName, name, interface, TakeAgreedReplacement(name));
    if (Succeeded(result)) {
        return true;
    }
    boxes.ShowError(parent, QString::fromLatin1(kCaption),
                    QString::fromStdString(DescribeCreateFailure(result)));
    return false;
}

void TellPeersFolderUnreadable(KtMessageBoxes& boxes, QWidget* parent) {
    boxes.ShowError(parent, QString::fromLatin1(kCaption),
                    QString::fromStdString(UnreadableFolderAdvice()));
}
