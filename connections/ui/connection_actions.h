#pragma once

#include <string>

class KtMessageBoxes;
class QWidget;

// The steps the monitor window's connection commands are made of, so that
// its wiring only picks the AC-Name from the selected row's record (never
// from the displayed, escaped and cut column text) and calls these.

// Writes the entry and tells the user in one of the boxes when it fails.
// True when the entry was written; a caller dials only then.
bool CreateConnectionOrTell(KtMessageBoxes& boxes, QWidget* parent, const std::string& acName,
                            const std::string& name, const std::string& interface);

// Tells the user that the peers folder cannot be read and to join the dip
// group.
void TellPeersFolderUnreadable(KtMessageBoxes& boxes, QWidget* parent);
