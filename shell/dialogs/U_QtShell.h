// The shell's Qt side: the presenter that shows real message boxes and the
// transmission error dialog, the embedded resources, the French texts of
// the toolkit, and the JPEG decoding of the form pictures.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

#include "U_Messages.h"

class QWidget;

// Real boxes: plain (caption: the application title, OK), information
// ("Information", OK), warning ("Avertissement", OK and Annuler), error
// ("Erreur", OK) and the transmission error dialog.
class TQtMessagePresenter : public IMessagePresenter {
 public:
  TMsgResult Present(const TMessage& msg) override;
};

// The raw-data resource of that name, compared without regard to case;
// empty when there is none.
QByteArray ReadRawResource(const QString& name);

// Loads lstTextes from the embedded "TXT" resource.
void LoadCatalogueFromResource();

// Installs the toolkit's French texts (qtbase_fr) when they can be found.
void InstallFrenchTranslations();

// Decodes JPEG bytes with libjpeg; a null image when they are not JPEG.
QImage DecodeJpeg(const QByteArray& bytes);

// Places a window in the middle of its screen.
void CenterOnScreen(QWidget* w);

// The window message boxes belong to and are centred on (the main window);
// none: the active window.
void SetMessageBoxOwner(QWidget* w);
QWidget* MessageBoxOwner();

// The catalogue text of `key` as a QString.
QString QTexte(const char* key);
