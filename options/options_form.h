#pragma once

#include <QString>
#include <QTreeWidget>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/settings/app_settings.h"
#include "ui/form_base.h"

class KtOptionsDialogs;
class QLabel;
class QLineEdit;
class QPushButton;
class QFrame;

// What the pages need besides the settings: the dialogs that ask the user and
// the MAC address of the adapter the monitor uses ("" when none is known).
struct KtOptionsContext {
    KtOptionsDialogs* dialogs = nullptr;
    std::string adapterMacText;
};

// Base of every options page. Reads and writes go through the window's
// property editor; nothing reaches the settings before OK.
class KtOptionsPage : public QWidget {
    Q_OBJECT

  public:
    KtOptionsPage(KtPropertyEditor& editor, const KtOptionsContext& context,
                  QWidget* parent = nullptr);

    KtPropertyValue GetProperty(int32_t id) { return editor_.GetProperty(id); }
    void SetProperty(int32_t id, const KtPropertyValue& value) { editor_.SetProperty(id, value); }
    int32_t GetInt(int32_t id) { return GetProperty(id).AsInt(); }
    std::string GetString(int32_t id) { return GetProperty(id).AsString(); }
    void SetInt(int32_t id, int32_t value) { SetProperty(id, KtPropertyValue(value)); }
    void SetString(int32_t id, const std::string& text) { SetProperty(id, KtPropertyValue(text)); }

    // Stores what the user typed into edits that store on focus loss. The
    // window calls it before OK commits and before the page goes away, since
    // neither needs to take the focus from the edit first.
    virtual void StoreEdits() {}

  protected:
    KtOptionsDialogs& Dialogs() const { return *context_.dialogs; }
    const KtOptionsContext& Context() const { return context_; }
    // Escape never ends a page.
    void keyPressEvent(QKeyEvent* event) override;

  private:
    KtPropertyEditor& editor_;
    const KtOptionsContext& context_;
};

// An interface text of the process-wide text table.
QString OptionText(int id);

// Shared look of the pages: a section label followed by an etched line.
// NameControl makes the text the user sees for a control its accessible name.
QLabel* AddSectionLabel(QWidget* page, class QVBoxLayout* layout, int textId);
void NameControl(QWidget* control, const QString& text);
// Marks the edit modified on every change of its text, not only on the
// user's keys: text set by a screen reader or dictation through the
// accessibility bus must be stored like typed text. Where the program itself
// sets the text, it clears the mark after.
void MarkEveryChange(class QLineEdit* edit);
// A check box for the setting id that stores 1 when checked and 0 when not,
// on every change.
class QCheckBox* AddSettingCheck(KtOptionsPage* page, class QVBoxLayout* layout, int textId,
                                 int32_t id);

// A node of the page tree: a group heading (no page) or a page.
struct KtPageNode {
    using Factory = std::function<KtOptionsPage*(KtPropertyEditor&, const KtOptionsContext&)>;
    QString treeText;
    QString title;
    Factory makePage;  // empty for a group
    std::vector<std::unique_ptr<KtPageNode>> children;
};

// The tree of page names: a press on a group heading selects the group's
// first page instead.
class KtTreeCtrl : public QTreeWidget {
    Q_OBJECT

  public:
    using QTreeWidget::QTreeWidget;

  protected:
    void mousePressEvent(QMouseEvent* event) override;
};

// The options window framework: tree, title band, current page, OK and Cancel.
// It knows nothing of the program's settings.
class KtOptionsForm : public KtFormBase {
    Q_OBJECT

  public:
    // Control ids of the window.
    static constexpr int kIdOk = 1;
    static constexpr int kIdCancel = 2;
    static constexpr int kIdTree = 100;

    explicit KtOptionsForm(KtAppPropertyList& properties, KtOptionsContext context);
    ~KtOptionsForm() override;

    KtAppPropertyEditor& Editor() { return editor_; }
    KtTreeCtrl* Tree() const { return tree_; }
    KtOptionsPage* CurrentPage() const { return page_; }
    QLabel* TitleLabel() const { return title_; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }

    // Shows the page of the node (a group shows nothing).
    void ShowPage(KtPageNode* node);
    // Selects the tree item whose text is treeText, as a click would.
    bool SelectPage(const QString& treeText);
    // OK: stores the edits of the page, commits every pending change in one
    // batch and closes. Cancel closes and drops them.
    void OnOk();
    void OnCancel();

  protected:
    void AddGroup(std::unique_ptr<KtPageNode> group);
    // Fills the tree from the nodes and shows the first page of the first group.
    void FillTree();
    void resizeEvent(QResizeEvent* event) override;

  private:
    void OnCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous);
    void Layout();

    KtAppPropertyEditor editor_;
    KtOptionsContext context_;
    KtPageNode root_;
    QWidget* client_ = nullptr;
    KtTreeCtrl* tree_ = nullptr;
    QLabel* title_ = nullptr;
    QFrame* separator_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
    KtOptionsPage* page_ = nullptr;
    bool redirecting_ = false;
};

// The program's options window with its five pages.
class COptionsForm : public KtOptionsForm {
    Q_OBJECT

  public:
    static constexpr const char* kWindowName = "COptionsForm";

    COptionsForm(KtAppPropertyList& properties, KtOptionsContext context);
    ~COptionsForm() override;
};

// Opens the options window over the live settings: the one already open is
// shown and raised; otherwise a new one is made, registered under
// "COptionsForm", shown and raised. OK commits to `properties` (whose listener,
// the settings persistence, applies and saves). context.dialogs null means the
// desktop dialogs.
COptionsForm* OpenOptionsForm(KtAppPropertyList& properties, KtOptionsContext context = {});
