#include "U_QtShell.h"

#include <jpeglib.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QStyleOption>
#include <QTranslator>
#include <algorithm>
#include <csetjmp>
#include <cstdio>

#include "F_ErrorDlg.h"
#include "U_Textes.h"

namespace {

QPointer<QWidget> gBoxOwner;

QMessageBox::StandardButton RunBox(QMessageBox::Icon icon, const QString& title, const QString& text,
                                   bool withCancel) {
  QWidget* owner = gBoxOwner ? gBoxOwner.data() : QApplication::activeWindow();
  QMessageBox box(icon, title, text, QMessageBox::NoButton, owner);
  QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
  QPushButton* cancel = nullptr;
  if (withCancel) cancel = box.addButton(QStringLiteral("Annuler"), QMessageBox::RejectRole);
  box.setDefaultButton(ok);
  box.setEscapeButton(cancel ? static_cast<QAbstractButton*>(cancel) : ok);
  // A short text makes a narrow box whose title the title bar would cut:
  // the box is at least as wide as its title needs.
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    const QMargins m = grid->contentsMargins();
    grid->addItem(new QSpacerItem(TitleBarWidth(title) - m.left() - m.right(), 0, QSizePolicy::Minimum,
                                  QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }
  box.exec();
  return box.clickedButton() == ok ? QMessageBox::Ok : QMessageBox::Cancel;
}

}  // namespace

TMsgResult TQtMessagePresenter::Present(const TMessage& msg) {
  const QString text = QString::fromStdString(msg.Text);
  switch (msg.Kind) {
    case TMsgKind::Plain:
      RunBox(QMessageBox::NoIcon, QString::fromStdString(ApplicationTitle()), text, false);
      return TMsgResult::Ok;
    case TMsgKind::Information:
      RunBox(QMessageBox::Information, QStringLiteral("Information"), text, false);
      return TMsgResult::Ok;
    case TMsgKind::Warning:
      return RunBox(QMessageBox::Warning, QStringLiteral("Avertissement"), text, true) == QMessageBox::Ok
                 ? TMsgResult::Ok
                 : TMsgResult::Cancel;
    case TMsgKind::Error:
      RunBox(QMessageBox::Critical, QStringLiteral("Erreur"), text, false);
      return TMsgResult::Ok;
    case TMsgKind::TransmissionError:
      return RunErrorDialog(msg.Text, msg.RetryVisible) ? TMsgResult::Retry : TMsgResult::Cancel;
  }
  return TMsgResult::Ok;
}

QByteArray ReadRawResource(const QString& name) {
  const QDir dir(QStringLiteral(":/rcdata"));
  const QStringList entries = dir.entryList(QDir::Files);
  for (const QString& e : entries) {
    if (e.compare(name, Qt::CaseInsensitive) == 0) {
      QFile f(dir.filePath(e));
      if (f.open(QIODevice::ReadOnly)) return f.readAll();
    }
  }
  return QByteArray();
}

void LoadCatalogueFromResource() {
  const QByteArray bytes = ReadRawResource(QStringLiteral("Txt"));
  LoadCatalogue(std::string(bytes.constData(), static_cast<size_t>(bytes.size())));
}

void InstallFrenchTranslations() {
  auto* tr = new QTranslator(qApp);
  if (tr->load(QLocale(QLocale::French), QStringLiteral("qtbase"), QStringLiteral("_"),
               QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QCoreApplication::installTranslator(tr);
  else
    delete tr;
}

namespace {

// A box or dialog that comes up while the window it belongs to is
// minimised would stand alone on the screen, and the desktop would not give
// the window back while the box holds it: the window comes back first.
class TOwnerComesBack : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (e->type() == QEvent::Show && gBoxOwner && gBoxOwner->isMinimized() && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->isWindow() && qobject_cast<QDialog*>(watched))
      gBoxOwner->setWindowState(gBoxOwner->windowState() & ~Qt::WindowMinimized);
    return false;
  }
};

}  // namespace

void SetMessageBoxOwner(QWidget* w) {
  static QPointer<QObject> watcher;
  if (w && !watcher) {
    watcher = new TOwnerComesBack;
    watcher->setParent(qApp);
    qApp->installEventFilter(watcher);
  }
  gBoxOwner = w;
}
QWidget* MessageBoxOwner() { return gBoxOwner; }

void CenterOnScreen(QWidget* w) {
  if (QScreen* s = w->screen()) {
    const QRect r = s->availableGeometry();
    w->move(r.center() - QPoint(w->width() / 2, w->height() / 2));
  }
}

int TitleBarWidth(const QString& title) {
  QFont font = QApplication::font();
  font.setBold(true);
  const QFontMetrics fm(font);
  return fm.horizontalAdvance(title) + 2 * 3 * (fm.height() + 6);
}

int TitleBarExtra(const QWidget* w) { return std::max(0, TitleBarWidth(w->windowTitle()) - w->width()); }

void WidenFixedLayout(QWidget* w, int extra, std::initializer_list<QWidget*> stretch,
                      std::initializer_list<QWidget*> right, std::initializer_list<QWidget*> centre) {
  if (extra <= 0) return;
  w->setFixedWidth(w->width() + extra);
  for (QWidget* c : stretch) c->resize(c->width() + extra, c->height());
  for (QWidget* c : right) c->move(c->x() + extra, c->y());
  for (QWidget* c : centre) c->move(c->x() + extra / 2, c->y());
}

namespace {

// The application's style, with the focus shown whenever a widget has it.
class TFocusFrameStyle : public QProxyStyle {
 public:
  using QProxyStyle::QProxyStyle;

  void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                   const QWidget* widget) const override {
    QProxyStyle::drawControl(element, option, painter, widget);
    // The focus frame of buttons and check boxes, which the desktop's
    // style leaves out or keeps for keyboard moves only.
    SubElement frame = SE_CustomBase;
    if (element == CE_PushButton) frame = SE_PushButtonFocusRect;
    if (element == CE_CheckBox) frame = SE_CheckBoxFocusRect;
    if (element == CE_RadioButton) frame = SE_RadioButtonFocusRect;
    if (frame == SE_CustomBase || !(option->state & State_HasFocus)) return;
    QStyleOptionFocusRect focus;
    focus.QStyleOption::operator=(*option);
    focus.rect = subElementRect(frame, option, widget);
    drawPrimitive(PE_FrameFocusRect, &focus, painter, widget);
  }

  void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
    if (element == PE_FrameFocusRect) {
      // The styles of the desktop draw it only once the keyboard moved the
      // focus, and then faintly: here a dotted frame in the text colour.
      painter->save();
      QPen pen(option->palette.color(QPalette::WindowText), 1, Qt::DotLine);
      painter->setPen(pen);
      painter->setBrush(Qt::NoBrush);
      painter->drawRect(option->rect.adjusted(0, 0, -1, -1));
      painter->restore();
      return;
    }
    QProxyStyle::drawPrimitive(element, option, painter, widget);
    if (element == PE_FrameLineEdit && (option->state & State_HasFocus)) {
      // A field with the focus: its highlighted frame twice as thick.
      painter->save();
      painter->setPen(QPen(option->palette.color(QPalette::Highlight), 1));
      painter->setBrush(Qt::NoBrush);
      painter->drawRect(option->rect.adjusted(1, 1, -2, -2));
      painter->restore();
    }
  }
};

}  // namespace

void ShowKeyboardFocus() {
  if (dynamic_cast<TFocusFrameStyle*>(QApplication::style())) return;
  QApplication::setStyle(new TFocusFrameStyle(QApplication::style()->name()));
}

QString QTexte(const char* key) { return QString::fromStdString(GetTexte(key)); }

namespace {
struct JpegError {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};

void JpegErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<JpegError*>(cinfo->err);
  longjmp(err->jump, 1);
}

void JpegSilence(j_common_ptr, int) {}
void JpegNoOutput(j_common_ptr) {}
}  // namespace

QImage DecodeJpeg(const QByteArray& bytes) {
  if (bytes.size() < 4) return QImage();
  jpeg_decompress_struct cinfo;
  JpegError err;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = JpegErrorExit;
  err.mgr.emit_message = JpegSilence;
  err.mgr.output_message = JpegNoOutput;
  QImage image;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return QImage();
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(bytes.constData()),
               static_cast<unsigned long>(bytes.size()));
  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&cinfo);
    return QImage();
  }
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  QImage out(static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height),
             QImage::Format_RGB888);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = out.scanLine(static_cast<int>(cinfo.output_scanline));
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  image = out;
  return image;
}
