#include "app/QtDialogs.h"

#include <dlfcn.h>
#include <qpa/qplatformnativeinterface.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QEvent>
#include <QInputDialog>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QTranslator>
#include <QWidget>
#include <QWindow>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/Codec.h"
#include "platform/Dialogs.h"

namespace {

QString FromCp1251(const std::string& text) { return QString::fromStdString(Cp1251ToUtf8(text)); }

int QtMessageBox(const std::string& text, const std::string& caption, TMsgDlgType type,
                 TMsgDlgButtons buttons) {
  QMessageBox::Icon icon = QMessageBox::Warning;
  switch (type) {
    case mtWarning:
      icon = QMessageBox::Warning;
      break;
    case mtError:
      icon = QMessageBox::Critical;
      break;
    case mtInformation:
      icon = QMessageBox::Information;
      break;
    case mtConfirmation:
      icon = QMessageBox::Question;
      break;
  }
  QMessageBox box(icon, FromCp1251(caption), FromCp1251(text),
                  buttons == mbYesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok,
                  QApplication::activeWindow());
  int answer = box.exec();
  if (buttons == mbYesNo) return answer == QMessageBox::Yes ? mrYes : mrNo;
  return mrOk;
}

// The entry holds at most 255 characters, as the stored list items do.
constexpr int kInputMaxLength = 255;

bool QtInputBox(const std::string& caption, const std::string& prompt, std::string& value) {
  QInputDialog dialog(QApplication::activeWindow());
  dialog.setWindowTitle(FromCp1251(caption));
  dialog.setLabelText(FromCp1251(prompt));
  dialog.setInputMode(QInputDialog::TextInput);
  dialog.setTextValue(FromCp1251(value));
  if (auto* edit = dialog.findChild<QLineEdit*>()) edit->setMaxLength(kInputMaxLength);
  if (dialog.exec() != QDialog::Accepted) return false;
  value = Utf8ToCp1251(dialog.textValue().toStdString());
  return true;
}

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
  const xcb_atom_t atom = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
  std::free(reply);
  return atom;
}

// The title of a Wayland window is set again, empty, on the toplevel Qt made for it: Qt's Wayland
// platform offers no other way. The request is sent through the client library Qt already loaded.
void ClearWaylandTitle(QWidget* w) {
  if (!w->windowTitle().isEmpty() || !w->windowHandle()) return;
  QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
  void* toplevel =
      native ? native->nativeResourceForWindow("xdg_toplevel", w->windowHandle()) : nullptr;
  if (!toplevel) return;
  using TMarshal = void (*)(void* proxy, uint32_t opcode, ...);
  static TMarshal marshal = [] {
    void* library = dlopen("libwayland-client.so.0", RTLD_NOW | RTLD_NOLOAD);
    return library ? reinterpret_cast<TMarshal>(dlsym(library, "wl_proxy_marshal")) : nullptr;
  }();
  constexpr uint32_t kXdgToplevelSetTitle = 2;
  if (marshal) marshal(toplevel, kXdgToplevelSetTitle, "");
}

// Qt puts the application's name where a window has no caption; an empty caption (a question
// titled with an empty variable name) is shown empty, so the X properties, or the Wayland
// toplevel's title, are set by hand.
class TEmptyCaptions : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Show && event->type() != QEvent::WindowTitleChange) return false;
    auto* w = qobject_cast<QWidget*>(watched);
    if (!w || !w->isWindow() || !w->windowTitle().isEmpty() ||
        !w->testAttribute(Qt::WA_WState_Created))
      return false;
    if (QGuiApplication::platformName().startsWith(QStringLiteral("wayland"))) {
      // The toplevel is made, and titled, just after the show event.
      QTimer::singleShot(0, w, [window = QPointer<QWidget>(w)] {
        if (window) ClearWaylandTitle(window);
      });
      return false;
    }
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection()) return false;
    xcb_connection_t* c = x11->connection();
    const auto window = static_cast<xcb_window_t>(w->winId());
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, Atom(c, "_NET_WM_NAME"),
                        Atom(c, "UTF8_STRING"), 8, 0, nullptr);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, 0,
                        nullptr);
    xcb_flush(c);
    return false;
  }
};

QTranslator* gQtTranslator = nullptr;

}  // namespace

bool LoadQtTranslations(const QLocale& locale) {
  if (gQtTranslator) {
    QCoreApplication::removeTranslator(gQtTranslator);
    delete gQtTranslator;
    gQtTranslator = nullptr;
  }
  auto* translator = new QTranslator(qApp);
  if (!translator->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return false;
  }
  QCoreApplication::installTranslator(translator);
  gQtTranslator = translator;
  return true;
}

void InstallQtDialogs() {
  SetMessageBoxHandler(QtMessageBox);
  SetInputBoxHandler(QtInputBox);
  // The window system appends the display name to every caption but one that ends with it;
  // captions are shown exactly as given.
  QGuiApplication::setApplicationDisplayName(QString());
  static TEmptyCaptions* emptyCaptions = nullptr;
  if (!emptyCaptions) {
    emptyCaptions = new TEmptyCaptions(qApp);
    qApp->installEventFilter(emptyCaptions);
  }
  // The boxes' standard buttons speak the desktop's language, as the system's own boxes do.
  LoadQtTranslations(QLocale::system());
}
