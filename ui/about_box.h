#pragma once

#include <string>

#include "core/threads/functors.h"
#include "ui/form_base.h"
#include "ui/task_registry.h"

class QFrame;
class QKeyEvent;
class QLabel;
class QPushButton;
class KtStaticLink;
class KtUrlOpener;

// The fixed-size about box: icon, name, description, version, the web site and
// support links, and OK.
class KtFormAboutBox : public KtFormBase {
    Q_OBJECT

  public:
    static constexpr int kClientWidth = 420;
    static constexpr int kClientHeight = 320;
    static constexpr int kOkId = 1;
    static constexpr const char* kWebSiteAddress = "https://linewatch.example.org/";
    static constexpr const char* kSupportAddress = "support@linewatch.example.org";

    explicit KtFormAboutBox(QWidget* parent = nullptr);

    // Sets the title and every text from the interface text table; the version
    // line is read from the executable at programPath.
    void FillTexts(const std::string& programPath);

    // Where the links are opened; the desktop's handler unless set.
    void SetUrlOpener(KtUrlOpener* opener) { urlOpener_ = opener; }

    QLabel* VersionLabel() const { return version_; }
    KtStaticLink* WebLink() const { return webLink_; }
    KtStaticLink* SupportLink() const { return supportLink_; }
    QPushButton* OkButton() const { return ok_; }

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void OpenWebSite();
    void MailToSupport();
    QLabel* AddText(const QRect& rect);

    QLabel* icon_ = nullptr;
    QLabel* name_ = nullptr;
    QLabel* description_ = nullptr;
    QLabel* version_ = nullptr;
    QLabel* webLabel_ = nullptr;
    KtStaticLink* webLink_ = nullptr;
    QLabel* supportLabel_ = nullptr;
    KtStaticLink* supportLink_ = nullptr;
    QLabel* notice_ = nullptr;
    QFrame* separator_ = nullptr;
    QPushButton* ok_ = nullptr;
    KtVoidNullaryMemberFunction<KtFormAboutBox> openWebSite_;
    KtVoidNullaryMemberFunction<KtFormAboutBox> mailToSupport_;
    KtUrlOpener* urlOpener_;
};

// "Version 1.1.7 (1.1.7.208)" from the version record of the file; "Version  ()"
// when the file has none. "Version" is the interface text.
std::string AboutVersionLine(const std::string& programPath);

// The task that owns the about box; at most one lives under a name.
class KtTaskAbout : public KtTaskWindowed {
  public:
    // Opens the box as a child window of the application's main window.
    KtTaskAbout();
    KtFormAboutBox* AboutBox() const;
};
