#include <QCheckBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "options/option_dialogs.h"
#include "options/options_pages.h"
#include "text/text_ids.h"
#include "text/text_table.h"

namespace {

// The setting of each row of the list.
constexpr int32_t kRowSettings[] = {kPropSndEvtCableUnplugFileName, kPropSndEvtNewACFileName};

}  // namespace

COptionsFormDlgSound::COptionsFormDlgSound(KtPropertyEditor& editor,
                                           const KtOptionsContext& context)
    : KtOptionsPage(editor, context) {
    auto* layout = new QVBoxLayout(this);
    auto* enable = new QCheckBox(OptionText(TextId::kSoundEnable), this);
    NameControl(enable, enable->text());
    enable->setChecked(GetInt(kPropSndEvtEnabled) == 1);
    connect(enable, &QCheckBox::toggled, this,
            [this](bool checked) { SetInt(kPropSndEvtEnabled, checked ? 1 : 0); });
    layout->addWidget(enable);

    list_ = new QTreeWidget(this);
    list_->setRootIsDecorated(false);
    list_->setAllColumnsShowFocus(true);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setHeaderLabels({OptionText(TextId::kSoundEvent), OptionText(TextId::kSoundFileName)});
    list_->header()->resizeSection(0, 200);
    list_->header()->resizeSection(1, 150);
    NameControl(list_, OptionText(TextId::kSoundEvent));
    for (int row = 0; row < 2; ++row) {
        const int textId = row == 0 ? TextId::kSoundCableUnplugged : TextId::kSoundNewAc;
        new QTreeWidgetItem(
            list_, {OptionText(textId), QString::fromStdString(GetString(kRowSettings[row]))});
    }
    // The event column is 200 pixels, or as wide as its longest text.
    list_->resizeColumnToContents(0);
    list_->header()->resizeSection(0, std::max(200, list_->columnWidth(0)));
    layout->addWidget(list_, 1);

    auto* row = new QHBoxLayout;
    file_ = new QLineEdit(this);
    NameControl(file_, OptionText(TextId::kSoundFileName));
    MarkEveryChange(file_);
    auto* browse = new QPushButton(OptionText(TextId::kBrowse), this);
    NameControl(browse, browse->text());
    row->addWidget(file_, 1);
    row->addWidget(browse);
    layout->addLayout(row);

    // Row 0 is current, though no row is selected and the edit stays empty.
    row_ = 0;
    connect(list_, &QTreeWidget::itemSelectionChanged, this,
            &COptionsFormDlgSound::OnCurrentRowChanged);
    connect(file_, &QLineEdit::editingFinished, this, &COptionsFormDlgSound::StoreEdits);
    connect(browse, &QPushButton::clicked, this, &COptionsFormDlgSound::Browse);
}

void COptionsFormDlgSound::StoreEdits() {
    if (!file_->isModified() || row_ < 0) return;
    const QString text = file_->text();
    list_->topLevelItem(row_)->setText(1, text);
    SetString(kRowSettings[row_], text.toStdString());
    file_->setModified(false);
}

void COptionsFormDlgSound::OnCurrentRowChanged() {
    // What was typed belongs to the row it was typed for.
    StoreEdits();
    const QList<QTreeWidgetItem*> selected = list_->selectedItems();
    row_ = selected.isEmpty() ? -1 : list_->indexOfTopLevelItem(selected.front());
    file_->setText(row_ >= 0 ? list_->topLevelItem(row_)->text(1) : QString());
    file_->setModified(false);
}

void COptionsFormDlgSound::Browse() {
    if (row_ < 0) return;
    const std::optional<QString> file = Dialogs().OpenSoundFile(this);
    if (!file) return;
    file_->setText(*file);
    file_->setModified(false);
    list_->topLevelItem(row_)->setText(1, *file);
    SetString(kRowSettings[row_], file->toStdString());
}
