// The About box, built in code; its texts are replaced by the language handler.
#include "ui/Unit3.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "core/ServerCore.h"
#include "ui/Icons.h"
#include "ui/Languages.h"

const char* const TAboutBox::Version = kVersionText;

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About program"));
  setModal(true);
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

  ProgramIcon = new QLabel(this);
  ProgramIcon->setPixmap(BrevoxaIcon().pixmap(48, 48));
  ProgramIcon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);

  Label2 = new QLabel(QStringLiteral("Vyn Brevoxa, a home web server"), this);
  QFont big = Label2->font();
  big.setBold(true);
  big.setPointSizeF(big.pointSizeF() * 1.25);
  Label2->setFont(big);
  Label1 = new QLabel(QStringLiteral("Version ") + QString::fromLatin1(Version), this);
  Author = new QLabel(QStringLiteral("Serves the files of one folder of this computer over HTTP."),
                      this);
  Label3 = new QLabel(
      QStringLiteral(
          "No passwords, no encryption: share only what anyone on your network may see."),
      this);
  Freeware = new QLabel(QStringLiteral("Free to use and to pass on."), this);
  Label4 = new QLabel(QStringLiteral("Your site on this computer:"), this);
  MyForum = new QLabel(this);
  MyForum->setTextFormat(Qt::RichText);
  MyForum->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  MyForum->setToolTip(QString::fromLatin1(kOwnSiteUrl));
  connect(MyForum, &QLabel::linkActivated, this, [this](const QString&) { MyForumClick(); });
  SetLinkText(QStringLiteral("Open http://localhost/"));
  for (QLabel* label : {Author, Label3, Freeware}) label->setWordWrap(true);

  OKButton = new QPushButton(QStringLiteral("OK"), this);
  OKButton->setDefault(true);
  connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

  auto* text = new QVBoxLayout;
  text->addWidget(Label2);
  text->addWidget(Label1);
  text->addSpacing(8);
  text->addWidget(Author);
  text->addWidget(Label3);
  text->addWidget(Freeware);
  text->addSpacing(8);
  text->addWidget(Label4);
  text->addWidget(MyForum);
  text->addStretch(1);

  auto* top = new QHBoxLayout;
  top->addWidget(ProgramIcon, 0, Qt::AlignTop);
  top->addSpacing(12);
  top->addLayout(text, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(OKButton);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top, 1);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  // Wide enough that the longest notice wraps in two lines rather than in a narrow column.
  for (QLabel* label : {Author, Label3, Freeware}) label->setMinimumWidth(340);
}

void TAboutBox::SetLinkText(const QString& text) {
  FLinkText = text;
  MyForum->setText(QStringLiteral("<a href=\"%1\">%2</a>")
                       .arg(QString::fromLatin1(kOwnSiteUrl), text.toHtmlEscaped()));
}

void TAboutBox::MyForumClick() {
  QDesktopServices::openUrl(QUrl(QString::fromLatin1(kOwnSiteUrl)));
}

void TAboutBox::ApplyLanguage(int language) {
  ForEachLanguageRow(TLangWindow::About, language, [this](int row, const char* utf8) {
    const QString text = QString::fromUtf8(utf8);
    switch (row) {
      case lrAboutCaption:
        setWindowTitle(text);
        break;
      case lrAboutOK:
        OKButton->setText(text);
        break;
      case lrAboutProduct:
        Label2->setText(text);
        break;
      case lrAboutVersion:
        Label1->setText(text + QString::fromLatin1(Version));
        break;
      case lrAboutAuthor:
        Author->setText(text);
        break;
      case lrAboutNotice:
        Label3->setText(text);
        break;
      case lrAboutSiteLabel:
        Label4->setText(text);
        break;
      case lrAboutFreeware:
        Freeware->setText(text);
        break;
      case lrAboutLink:
        SetLinkText(text);
        break;
      default:
        break;
    }
  });
}
