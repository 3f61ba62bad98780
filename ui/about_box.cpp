#include "ui/about_box.h"

#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "core/program_paths.h"
#include "core/version_info.h"
#include "ui/dialog_fonts.h"
#include "ui/static_link.h"
#include "text/text_ids.h"
#include "text/text_table.h"
#include "ui/url_opener.h"
#include "ui/window_icons.h"

namespace {

constexpr char kNoticeLine[] = "Free software for watching PPPoE access concentrators.";
constexpr int kIconSize = 32;

// Rectangles as left, top, right, bottom in client coordinates.
QRect Box(int left, int top, int right, int bottom) {
    return QRect(QPoint(left, top), QPoint(right - 1, bottom - 1));
}

// Screen readers name the control by the text the user sees.
void SetShownText(QLabel* label, const QString& text) {
    label->setText(text);
    label->setAccessibleName(text);
}

}  // namespace

KtFormAboutBox::KtFormAboutBox(QWidget* parent)
    : KtFormBase(parent), urlOpener_(&DesktopUrlOpener()) {
    // Caption and system menu only: no sizing border, no minimise or maximise.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    openWebSite_.Bind(this, &KtFormAboutBox::OpenWebSite);
    mailToSupport_.Bind(this, &KtFormAboutBox::MailToSupport);

    auto* client = new QWidget(this);
    setCentralWidget(client);
    icon_ = new QLabel(client);
    icon_->setGeometry(Box(20, 18, 57, 50));
    icon_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    icon_->setTextFormat(Qt::PlainText);
    name_ = AddText(Box(70, 18, 418, 34));
    description_ = AddText(Box(70, 35, 418, 51));
    version_ = AddText(Box(70, 52, 418, 68));
    webLabel_ = AddText(Box(70, 85, 210, 101));
    webLink_ = new KtStaticLink(client);
    webLink_->setGeometry(Box(211, 85, 418, 101));
    supportLabel_ = AddText(Box(70, 102, 210, 118));
    supportLink_ = new KtStaticLink(client);
    supportLink_->setGeometry(Box(211, 102, 418, 118));
    for (KtStaticLink* link : {webLink_, supportLink_}) link->setFont(GetDialogLinkFont());
    webLink_->SetClickAction(&openWebSite_);
    supportLink_->SetClickAction(&mailToSupport_);
    notice_ = AddText(Box(70, 139, 418, 155));
    separator_ = new QFrame(client);
    separator_->setGeometry(Box(8, 283, 412, 285));
    separator_->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    ok_ = new QPushButton(client);
    ok_->setGeometry(Box(335, 290, 410, 313));
    ok_->setFont(GetDialogFont());
    ok_->setFocusPolicy(Qt::StrongFocus);
    ok_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, &QWidget::close);
    ok_->setFocus();

    setFixedSize(kClientWidth, kClientHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect whole = screen->geometry();
        move(whole.x() + (whole.width() - kClientWidth) / 2,
             whole.y() + (whole.height() - kClientHeight) / 2);
    }
}

QLabel* KtFormAboutBox::AddText(const QRect& rect) {
    auto* label = new QLabel(centralWidget());
    label->setGeometry(rect);
    label->setFont(GetDialogFont());
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

void KtFormAboutBox::FillTexts(const std::string& programPath) {
    setWindowTitle(QString::fromStdString(GetText(TextId::kAboutTitle)));
    icon_->setPixmap(RenderWindowIcon(KtWindowIcon::Application, kIconSize));
    const QString productName = QString::fromStdString(GetText(TextId::kAboutName));
    icon_->setAccessibleName(productName);
    SetShownText(name_, productName);
    SetShownText(description_, QString::fromStdString(GetText(TextId::kAboutDescription)));
    SetShownText(version_, QString::fromStdString(AboutVersionLine(programPath)));
    SetShownText(webLabel_, QString::fromStdString(GetText(TextId::kAboutWebSite)));
    SetShownText(webLink_, QString::fromLatin1(kWebSiteAddress));
    SetShownText(supportLabel_, QString::fromStdString(GetText(TextId::kAboutSupport)));
    SetShownText(supportLink_, QString::fromLatin1(kSupportAddress));
    SetShownText(notice_, QString::fromLatin1(kNoticeLine));
    const QString ok = QString::fromStdString(GetText(TextId::kOk));
    ok_->setText(ok);
    ok_->setAccessibleName(ok);
}

void KtFormAboutBox::keyPressEvent(QKeyEvent* event) {
    // Enter answers OK wherever the focus is, as in a dialog.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        ok_->click();
        return;
    }
    KtFormBase::keyPressEvent(event);
}

void KtFormAboutBox::OpenWebSite() {
    urlOpener_->Open(QUrl(webLink_->text(), QUrl::StrictMode));
}

void KtFormAboutBox::MailToSupport() {
    urlOpener_->Open(QUrl(QStringLiteral("mailto:") + supportLink_->text(), QUrl::StrictMode));
}

std::string AboutVersionLine(const std::string& programPath) {
    std::string productVersion;
    std::string fileVersion;
    ReadVersionStrings(programPath, productVersion, fileVersion);
    return GetText(TextId::kAboutVersion) + " " + productVersion + " (" + fileVersion + ")";
}

KtTaskAbout::KtTaskAbout() {
    auto* box = new KtFormAboutBox(KtTaskRegistry::Get().MainWindow());
    box->show();
    box->SetOwnerTask(this);
    SetWindow(box);
    box->FillTexts(GetProgramPath());
}

KtFormAboutBox* KtTaskAbout::AboutBox() const {
    return static_cast<KtFormAboutBox*>(Window());
}
