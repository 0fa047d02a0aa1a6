// The About box: product, version, a notice and a link to the site this server serves.
#pragma once
#include <QDialog>

class QLabel;
class QPushButton;

// The address the About box's link opens: this machine's own site.
inline constexpr const char* kOwnSiteUrl = "http://localhost/";

class TAboutBox : public QDialog {
  Q_OBJECT

 public:
  explicit TAboutBox(QWidget* parent = nullptr);

  // Shown after the version line's text; the server reports the same version.
  static const char* const Version;

  QLabel* ProgramIcon = nullptr;
  QLabel* Label2 = nullptr;    // product line
  QLabel* Label1 = nullptr;    // version line
  QLabel* Author = nullptr;    // what the program does
  QLabel* Label3 = nullptr;    // notice
  QLabel* Freeware = nullptr;  // licence line
  QLabel* Label4 = nullptr;    // caption of the link
  QLabel* MyForum = nullptr;   // the link to kOwnSiteUrl
  QPushButton* OKButton = nullptr;

  // The link's visible text; the address stays kOwnSiteUrl.
  void SetLinkText(const QString& text);
  [[nodiscard]] QString LinkText() const { return FLinkText; }
  // Opens kOwnSiteUrl in the default browser.
  void MyForumClick();
  // Relabels the box with its rows of the language table.
  void ApplyLanguage(int language);

 private:
  QString FLinkText;
};
