// The shell's Qt side: the presenter that shows real message boxes and the
// transmission error dialog, the embedded resources, the French texts of
// the toolkit, and the JPEG decoding of the form pictures.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <initializer_list>

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
// none: the active window. Minimised, it comes back whenever a box or
// dialog of the program comes up.
void SetMessageBoxOwner(QWidget* w);
QWidget* MessageBoxOwner();

// The width a window needs for its title to stand whole in the title bar
// that the desktop draws: the title in a bold face of the general font (no
// smaller than what title bars use), centred clear of three title-bar
// buttons on either side.
int TitleBarWidth(const QString& title);
// The extra width `w` needs for its title (0: wide enough).
int TitleBarExtra(const QWidget* w);
// Widens a window laid out at fixed positions by `extra` pixels: the
// widgets of `stretch` grow with it, those of `right` keep their distance
// to its right edge, those of `centre` stay in its middle.
void WidenFixedLayout(QWidget* w, int extra, std::initializer_list<QWidget*> stretch,
                      std::initializer_list<QWidget*> right, std::initializer_list<QWidget*> centre = {});

// Shows where the keyboard focus is on every button, check box and field of
// the application, whether it came by the keyboard or not: the style's
// focus frame drawn plainly (a dotted frame inside the button), and a
// thicker highlight around a focused field. Installed once over the
// application's style.
void ShowKeyboardFocus();

// The catalogue text of `key` as a QString.
QString QTexte(const char* key);
