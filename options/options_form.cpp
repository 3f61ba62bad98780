#include "options/options_form.h"

#include <QCheckBox>
#include <QFrame>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "options/option_dialogs.h"
#include "options/options_pages.h"
#include "text/text_ids.h"
#include "text/text_table.h"
#include "ui/dialog_fonts.h"
#include "ui/task_registry.h"
#include "ui/window_icons.h"

namespace {

constexpr int kRoleNode = Qt::UserRole;
constexpr int kRoleGroup = Qt::UserRole + 1;
// Page area in points; the window adds the tree and the buttons around it.
constexpr int kPageWidthPoints = 295;
constexpr int kPageHeightPoints = 235;

KtPageNode* NodeOf(QTreeWidgetItem* item) {
    return item != nullptr ? static_cast<KtPageNode*>(item->data(0, kRoleNode).value<void*>())
                           : nullptr;
}

bool IsGroup(QTreeWidgetItem* item) {
    return item != nullptr && item->data(0, kRoleGroup).toBool();
}

}  // namespace

QString OptionText(int id) {
    return QString::fromStdString(GetText(id));
}

KtOptionsPage::KtOptionsPage(KtPropertyEditor& editor, const KtOptionsContext& context,
                             QWidget* parent)
    : QWidget(parent), editor_(editor), context_(context) {
    setFont(GetDialogFont());
}

void KtOptionsPage::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

QLabel* AddSectionLabel(QWidget* page, QVBoxLayout* layout, int textId) {
    // The label sits on an etched line that shows after its text.
    auto* row = new QHBoxLayout;
    auto* label = new QLabel(OptionText(textId), page);
    auto* line = new QFrame(page);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    row->addWidget(label);
    row->addWidget(line, 1);
    layout->addLayout(row);
    return label;
}

void NameControl(QWidget* control, const QString& text) {
    QString name = text;
    name.remove(QLatin1Char('&'));
    control->setAccessibleName(name);
}

void MarkEveryChange(QLineEdit* edit) {
    QObject::connect(edit, &QLineEdit::textChanged, edit, [edit] { edit->setModified(true); });
}

QCheckBox* AddSettingCheck(KtOptionsPage* page, QVBoxLayout* layout, int textId, int32_t id) {
    auto* box = new QCheckBox(OptionText(textId), page);
    NameControl(box, box->text());
    box->setChecked(page->GetInt(id) != 0);
    // toggled, not clicked: a screen reader's toggle action and the space bar
    // change the box without a click, and the change must still be stored.
    QObject::connect(box, &QCheckBox::toggled, page,
                     [page, id](bool checked) { page->SetInt(id, checked ? 1 : 0); });
    layout->addWidget(box);
    return box;
}

void KtTreeCtrl::mousePressEvent(QMouseEvent* event) {
    // A press on a group heading selects the group's first page and is
    // consumed; anything else is the tree's usual business.
    QTreeWidgetItem* item = itemAt(event->position().toPoint());
    if (item != nullptr && item != currentItem() && IsGroup(item) && item->childCount() > 0) {
        setCurrentItem(item->child(0));
        event->accept();
        return;
    }
    QTreeWidget::mousePressEvent(event);
}

KtOptionsForm::KtOptionsForm(KtAppPropertyList& properties, KtOptionsContext context)
    : editor_(&properties), context_(std::move(context)) {
    if (context_.dialogs == nullptr) context_.dialogs = &DesktopOptionsDialogs();
    setWindowTitle(QStringLiteral("Options"));
    setFont(GetDialogFont());

    client_ = new QWidget(this);
    setCentralWidget(client_);

    tree_ = new KtTreeCtrl(client_);
    tree_->setObjectName(QStringLiteral("tree"));
    tree_->setHeaderHidden(true);
    tree_->setRootIsDecorated(true);
    tree_->setFrameShape(QFrame::StyledPanel);
    tree_->setFocusPolicy(Qt::StrongFocus);
    tree_->setAccessibleName(OptionText(TextId::kOptionsTitle));
    connect(tree_, &QTreeWidget::currentItemChanged, this, &KtOptionsForm::OnCurrentItemChanged);

    title_ = new QLabel(client_);
    title_->setAlignment(Qt::AlignCenter);
    title_->setFont(GetDialogTitleFont());
    title_->setAutoFillBackground(true);
    QPalette band = title_->palette();
    band.setColor(QPalette::Window, QColor(128, 128, 128));
    band.setColor(QPalette::WindowText, Qt::white);
    title_->setPalette(band);

    separator_ = new QFrame(client_);
    separator_->setFrameShape(QFrame::HLine);
    separator_->setFrameShadow(QFrame::Sunken);

    ok_ = new QPushButton(QStringLiteral("OK"), client_);
    ok_->setObjectName(QStringLiteral("ok"));
    ok_->setFont(GetDialogFont());
    cancel_ = new QPushButton(QStringLiteral("Cancel"), client_);
    cancel_->setObjectName(QStringLiteral("cancel"));
    cancel_->setFont(GetDialogFont());
    connect(ok_, &QPushButton::clicked, this, &KtOptionsForm::OnOk);
    connect(cancel_, &QPushButton::clicked, this, &KtOptionsForm::OnCancel);

    // The page area in points at the screen's resolution, plus the tree and
    // the buttons: 593 by 403 pixels at 96 pixels per inch.
    const int width = kPageWidthPoints * logicalDpiX() / 72 + 200;
    const int height = kPageHeightPoints * logicalDpiY() / 72 + 90;
    resize(width, height);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width / 2, height / 2));
    }
    Layout();
}

KtOptionsForm::~KtOptionsForm() {
    // The page goes with its window; nothing pending reaches the settings.
    delete page_;
    page_ = nullptr;
}

void KtOptionsForm::AddGroup(std::unique_ptr<KtPageNode> group) {
    root_.children.push_back(std::move(group));
}

void KtOptionsForm::FillTree() {
    for (const auto& group : root_.children) {
        auto* groupItem = new QTreeWidgetItem(tree_, QStringList(group->treeText));
        groupItem->setData(0, kRoleNode, QVariant::fromValue<void*>(group.get()));
        groupItem->setData(0, kRoleGroup, !group->makePage);
        for (const auto& page : group->children) {
            auto* pageItem = new QTreeWidgetItem(groupItem, QStringList(page->treeText));
            pageItem->setData(0, kRoleNode, QVariant::fromValue<void*>(page.get()));
            pageItem->setData(0, kRoleGroup, false);
        }
        groupItem->setExpanded(true);
    }
    // The first page of the first group shows; the tree selection stays unset
    // until the user picks a page.
    if (!root_.children.empty() && !root_.children.front()->children.empty()) {
        ShowPage(root_.children.front()->children.front().get());
    }
}

void KtOptionsForm::ShowPage(KtPageNode* node) {
    if (node == nullptr || !node->makePage) return;
    if (page_ != nullptr) {
        // Switching pages need not take the focus from an edit first: store
        // what was typed before the page goes.
        page_->StoreEdits();
        delete page_;
        page_ = nullptr;
    }
    page_ = node->makePage(editor_, context_);
    page_->setParent(client_);
    title_->setText(node->title);
    Layout();
    page_->show();
}

bool KtOptionsForm::SelectPage(const QString& treeText) {
    const auto found = tree_->findItems(treeText, Qt::MatchExactly | Qt::MatchRecursive);
    if (found.isEmpty()) return false;
    QTreeWidgetItem* item = found.front();
    if (IsGroup(item) && item->childCount() > 0) item = item->child(0);
    tree_->setCurrentItem(item);
    return true;
}

void KtOptionsForm::OnCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous) {
    if (redirecting_ || current == nullptr) return;
    if (IsGroup(current)) {
        // The selection never rests on a group heading: moving up from below
        // the group goes on to the page above it, anything else to the
        // group's first page, so the keyboard reaches every page.
        QTreeWidgetItem* target = nullptr;
        QTreeWidgetItem* above = tree_->itemAbove(current);
        const bool movingUp =
            previous != nullptr && previous != current &&
            tree_->indexFromItem(previous).row() >= 0 &&
            tree_->visualItemRect(previous).top() > tree_->visualItemRect(current).top();
        if (movingUp && above != nullptr && !IsGroup(above)) target = above;
        if (target == nullptr && current->childCount() > 0) target = current->child(0);
        if (target == nullptr) target = previous;
        redirecting_ = true;
        tree_->setCurrentItem(target);
        redirecting_ = false;
        if (target != nullptr && target != previous) ShowPage(NodeOf(target));
        return;
    }
    ShowPage(NodeOf(current));
}

void KtOptionsForm::OnOk() {
    if (page_ != nullptr) page_->StoreEdits();
    editor_.Commit();
    close();
}

void KtOptionsForm::OnCancel() {
    close();
}

void KtOptionsForm::resizeEvent(QResizeEvent* event) {
    KtFormBase::resizeEvent(event);
    Layout();
}

void KtOptionsForm::Layout() {
    const int w = client_->width() > 0 ? client_->width() : width();
    const int h = client_->height() > 0 ? client_->height() : height();
    tree_->setGeometry(7, 7, 190 - 7, h - 40 - 7);
    title_->setGeometry(195, 7, w - 10 - 195, 20);
    separator_->setGeometry(195, h - 40, w - 10 - 195, 2);
    ok_->setGeometry(w - 160, h - 30, 75, 25);
    cancel_->setGeometry(w - 80, h - 30, 75, 25);
    if (page_ != nullptr) page_->setGeometry(200, 30, w - 200, h - 70);
}

namespace {

template <class Page>
KtPageNode::Factory MakeFactory() {
    return [](KtPropertyEditor& editor, const KtOptionsContext& context) -> KtOptionsPage* {
        return new Page(editor, context);
    };
}

std::unique_ptr<KtPageNode> Node(int treeTextId, int titleId, KtPageNode::Factory factory) {
    auto node = std::make_unique<KtPageNode>();
    node->treeText = OptionText(treeTextId);
    if (titleId != 0) node->title = OptionText(titleId);
    node->makePage = std::move(factory);
    return node;
}

}  // namespace

COptionsForm::COptionsForm(KtAppPropertyList& properties, KtOptionsContext context)
    : KtOptionsForm(properties, std::move(context)) {
    setWindowTitle(OptionText(TextId::kOptionsTitle));
    setWindowIcon(LoadWindowIcon(KtWindowIcon::Application));
    OkButton()->setText(OptionText(TextId::kOk));
    CancelButton()->setText(OptionText(TextId::kCancel));

    auto general = Node(TextId::kOptionsGeneral, 0, {});
    general->children.push_back(
        Node(TextId::kOptionsSystem, TextId::kSysCaption, MakeFactory<COptionsFormPgGenDlg>()));
    auto interface = Node(TextId::kOptionsInterface, 0, {});
    interface->children.push_back(Node(TextId::kOptionsSoundEvents, TextId::kSoundCaption,
                                       MakeFactory<COptionsFormDlgSound>()));
    auto behaviour = Node(TextId::kOptionsBehaviour, 0, {});
    behaviour->children.push_back(Node(TextId::kOptionsMonitor, TextId::kMonitorPageCaption,
                                       MakeFactory<COptionsFormPgPopWndDlg>()));
    behaviour->children.push_back(
        Node(TextId::kOptionsLogs, TextId::kLogsCaption, MakeFactory<COptionsFormPgLogs>()));
    behaviour->children.push_back(Node(TextId::kOptionsPppoeDriver, TextId::kDriverCaption,
                                       MakeFactory<COptionsFormPgNet>()));
    behaviour->children.push_back(Node(TextId::kOptionsPacketCapture, TextId::kPcapCaption,
                                       MakeFactory<COptionsFormPgPcap>()));
    AddGroup(std::move(general));
    AddGroup(std::move(interface));
    AddGroup(std::move(behaviour));
    FillTree();
}

COptionsForm::~COptionsForm() {
    KtTaskRegistry::Get().UnregisterNamedWindow(this);
}

COptionsForm* OpenOptionsForm(KtAppPropertyList& properties, KtOptionsContext context) {
    KtTaskRegistry& registry = KtTaskRegistry::Get();
    if (QWidget* open = registry.FindNamedWindow(COptionsForm::kWindowName)) {
        open->showNormal();
        open->raise();
        open->activateWindow();
        return qobject_cast<COptionsForm*>(open);
    }
    auto* form = new COptionsForm(properties, std::move(context));
    registry.RegisterNamedWindow(COptionsForm::kWindowName, form);
    form->show();
    form->raise();
    form->activateWindow();
    return form;
}
