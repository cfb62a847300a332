#include "U_QtShell.h"

#include <jpeglib.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTranslator>
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

void SetMessageBoxOwner(QWidget* w) { gBoxOwner = w; }
QWidget* MessageBoxOwner() { return gBoxOwner; }

void CenterOnScreen(QWidget* w) {
  if (QScreen* s = w->screen()) {
    const QRect r = s->availableGeometry();
    w->move(r.center() - QPoint(w->width() / 2, w->height() / 2));
  }
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
