// What the technician sees: every text of every form and box whole in its
// room at the fonts of the display, every title whole in the title bar, the
// keyboard focus shown and told from the default button, the wait box out
// of the way of every other box, and the main window back with its boxes.
//
// The fonts: this Qt resolves fonts through fontconfig on the offscreen
// platform as on X11, so the forms get the display's DejaVu faces; the first
// test proves it, and CTest runs these tests once more on an Xvfb display
// and once at 125 % scaling.
#include <gtest/gtest.h>

#include <QAbstractScrollArea>
#include <QApplication>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleOptionButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <utility>

#include "F_CommonDlg.h"
#include "F_ErrorDlg.h"
#include "F_Main.h"
#include "F_PasswordFirmware.h"
#include "F_VMUpgrade.h"
#include "F_VirtualTerminal.h"
#include "F_Wait.h"
#include "LoadRig.h"
#include "ModalDriver.h"
#include "TestCatalogue.h"
#include "U_ConstDlg.h"
#include "U_Messages.h"
#include "U_Paths.h"
#include "U_QtShell.h"
#include "U_Textes.h"

namespace {

// The part of `w` that its ancestors up to its window leave on screen, in
// window coordinates (scrolled content counts whole).
QRect Visible(QWidget* w) {
  QWidget* win = w->window();
  QRect r(w->mapTo(win, QPoint(0, 0)), w->size());
  for (QWidget* a = w->parentWidget(); a && a != win; a = a->parentWidget()) {
    auto* scroll = qobject_cast<QAbstractScrollArea*>(a->parentWidget());
    if (scroll && scroll->viewport() == a) break;
    r &= QRect(a->mapTo(win, QPoint(0, 0)), a->size());
  }
  return r & win->rect();
}

// Whether `size` aligned in `room` (widget coordinates) lies wholly in it and
// in what the ancestors leave of the widget; an empty size: the whole widget.
bool Fits(QWidget* w, QSize size, QRect room, Qt::Alignment align = Qt::AlignCenter) {
  if (size.isEmpty()) size = room.size();
  const QRect at = QStyle::alignedRect(w->layoutDirection(), align, size, room);
  return room.contains(at) && Visible(w).contains(QRect(w->mapTo(w->window(), at.topLeft()), at.size()));
}

// Every text of `win` that its room cuts, one line each. The title: the
// openbox title bar of the tour's display ("sans 8 bold", theme Clearlooks)
// centres it clear of its three buttons, so it needs 112 pixels more
// (measured under Xvfb at 96 dpi).
QStringList Cut(QWidget* win) {
  QStringList cut;
  QFont bar(QStringLiteral("Sans"), 8, QFont::Bold);
  if (win->width() < QFontMetrics(bar).horizontalAdvance(win->windowTitle()) + 112)
    cut << QStringLiteral("title « %1 »").arg(win->windowTitle());
  for (QWidget* w : win->findChildren<QWidget*>()) {
    if (!w->isVisibleTo(win)) continue;
    const QFontMetrics fm = w->fontMetrics();
    QString text;
    bool whole = true;
    if (auto* l = qobject_cast<QLabel*>(w)) {
      text = l->text();
      const QRect room =
          l->contentsRect().marginsRemoved(QMargins(l->margin(), l->margin(), l->margin(), l->margin()));
      whole = (l->pixmap().isNull() || Fits(l, {}, l->rect())) &&
              (text.isEmpty() ||
               Fits(l, fm.boundingRect(room, int(l->alignment()), text).size(), room, l->alignment()));
    } else if (auto* b = qobject_cast<QPushButton*>(w)) {
      text = b->text();
      QStyleOptionButton opt;
      opt.initFrom(b);
      whole = Fits(b, QSize(fm.horizontalAdvance(QString(text).remove(QLatin1Char('&'))), fm.height()),
                   b->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, b));
    } else if (auto* c = qobject_cast<QAbstractButton*>(w)) {  // check boxes
      text = c->text();
      whole = c->width() >= c->sizeHint().width() && Fits(c, {}, c->rect());
    } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
      text = g->title();
      whole = g->width() >= fm.horizontalAdvance(text) + 12;
    } else if (auto* e = qobject_cast<QPlainTextEdit*>(w)) {
      text = e->toPlainText();
      whole = e->verticalScrollBar()->maximum() == 0 && e->horizontalScrollBar()->maximum() == 0;
    }
    if (!whole)
      cut << QStringLiteral("%1 « %2 » (%3 x %4)")
                 .arg(w->objectName(), text)
                 .arg(w->width())
                 .arg(w->height());
  }
  return cut;
}

QStringList ShownCut(QWidget* w) {
  w->show();
  QApplication::processEvents();
  return Cut(w);
}

// What `check` finds in the box or dialog that `show` puts up through the
// real presenter; the box is then answered with Escape.
QStringList OnBox(const std::function<void()>& show, const std::function<QStringList(QWidget*)>& check) {
  TQtMessagePresenter real;
  IMessagePresenter* old = SetMessagePresenter(&real);
  QStringList found;
  WhenShown([](QWidget* w) { return qobject_cast<QMessageBox*>(w) || qobject_cast<TfrmErrorDlg*>(w); },
            [&](QWidget* w) {
              found = check(w);
              QTest::keyClick(w, Qt::Key_Escape);
            });
  show();
  SetMessagePresenter(old);
  return found;
}

// Pixels that differ clearly between two pictures of the same widget.
int Marked(const QImage& a, const QImage& b) {
  int n = 0;
  for (int y = 0; y < std::min(a.height(), b.height()); ++y)
    for (int x = 0; x < std::min(a.width(), b.width()); ++x) {
      const QColor p = a.pixelColor(x, y), q = b.pixelColor(x, y);
      n += std::abs(p.red() - q.red()) + std::abs(p.green() - q.green()) + std::abs(p.blue() - q.blue()) > 96;
    }
  return n;
}

QImage Shot(QWidget* w) {
  QApplication::processEvents();
  return w->grab().toImage();
}

// The buttons and fields of `win` whose focus does not show: each pictured
// with and without it.
QStringList FocusUnseen(QWidget* win) {
  win->activateWindow();
  EXPECT_TRUE(QTest::qWaitForWindowActive(win));
  QStringList unseen;
  for (QWidget* w : win->findChildren<QWidget*>()) {
    if (!(qobject_cast<QPushButton*>(w) || qobject_cast<QLineEdit*>(w)) || !w->isVisible() || !w->isEnabled())
      continue;
    win->setFocus();
    const QImage without = Shot(w);
    w->setFocus();
    if (!w->hasFocus() || Marked(Shot(w), without) < (w->width() + w->height()) / 2)
      unseen << w->objectName();
  }
  return unseen;
}

}  // namespace

TEST(View, SeesTheDisplaysFonts) {
  // The faces the forms ask for are the ones fontconfig gives the display.
  for (const char* family : {"MS Sans Serif", "Sans Serif", "Sans"}) {
    QProcess fc;
    fc.start(QStringLiteral("/usr/bin/fc-match"),
             {QStringLiteral("-f"), QStringLiteral("%{family[0]}"), QString::fromLatin1(family)});
    ASSERT_TRUE(fc.waitForFinished(10000)) << "fc-match tells the display's fonts";
    EXPECT_EQ(QFontInfo(QFont(QString::fromLatin1(family), 8)).family(),
              QString::fromUtf8(fc.readAllStandardOutput()))
        << family;
  }
  EXPECT_EQ(QApplication::primaryScreen()->logicalDotsPerInch(), 96);
}

TEST(View, EveryTextIsWholeInItsRoom) {
  auto box = [](const std::function<void()>& show) { return OnBox(show, &Cut); };
  const std::vector<std::pair<const char*, std::function<QStringList()>>> views{
      {"main window",
       [] {
         TLoadRig rig;
         rig.Start(TLoadRig::TerminalConfig(), false);
         return ShownCut(rig.Main.get());
       }},
      {"upgrade window in the main window, every application name",
       [] {
         TLoadRig rig;
         rig.Start();
         EXPECT_TRUE(rig.WaitLoadEnd());
         QStringList cut;
         for (int code = -1; rig.Upgrade() && code <= 255; ++code) {
           rig.Upgrade()->lblNameAppli->setText(QString::fromStdString(AppTypeText(code)));
           cut << ShownCut(rig.Main.get());
         }
         return cut;
       }},
      {"password dialog", [] { return ShownCut(std::make_unique<TfrmPasswordFirmware>(nullptr).get()); }},
      {"wait dialog",
       [] {
         QWidget owner;
         return ShownCut(std::make_unique<TfrmWait>(&owner).get());
       }},
      {"transmission error dialog, every status",
       [box] {
         QStringList cut = box([] {
           ShowErrorText(StatusText(16) + "\r\n" + GetTexte("_MSG_PWDCrypt") + " '" + std::string(32, 'D') +
                         "'");
         });
         for (int code = -5; code <= 300; code += code == 29 ? 226 : code == 255 ? 45 : 1)
           cut << box([code] { PresentTransmissionError(StatusText(code), true); });
         return cut;
       }},
      {"message boxes of every kind",
       [box] {
         SetExecutablePathForTesting("/opt/VelmoraUpgrade");
         QStringList cut;
         for (const char* text : {"Erreur inconnue", "Ok"})
           cut << box([&] { ShowPlain(text); }) << box([&] { ShowInformation(text); })
               << box([&] { ConfirmWarning(text); }) << box([&] { ShowErrorReport(text); });
         SetExecutablePathForTesting(std::string());
         return cut;
       }},
      {"control window of the demo",
       [] {
         TfrmVirtualTerminal control(nullptr);
         control.resize(control.WantedClientSize());
         return ShownCut(&control);
       }},
  };
  for (const auto& v : views) {
    if (!CatalogueLoaded()) LoadShippedCatalogue();  // a main window releases it as it goes
    EXPECT_EQ(v.second().join(QLatin1Char('\n')).toStdString(), "") << v.first;
  }
}

TEST(View, FocusShowsAndIsToldFromTheDefaultButtonABoxBringsTheMinimisedMainBack) {
  TLoadRig rig;
  rig.Start();
  ASSERT_TRUE(rig.WaitLoadEnd());
  rig.Person->Habits.Answer = false;  // the boxes below are answered here
  TfrmVMUpgrade* w = rig.Upgrade();
  EXPECT_EQ(FocusUnseen(rig.Main.get()), QStringList()) << "main and upgrade windows";
  // "Charger" with the focus against "Charger" as the default button.
  w->btnLoad->setFocus();
  const QImage focused = Shot(w->btnLoad);
  rig.Main->setFocus();
  w->btnBack->setDefault(false);
  w->btnLoad->setDefault(true);
  EXPECT_GE(Marked(focused, Shot(w->btnLoad)), (w->btnLoad->width() + w->btnLoad->height()) / 2);
  w->btnLoad->setDefault(false);
  w->btnBack->setDefault(true);
  {
    TfrmPasswordFirmware password(nullptr);
    password.show();
    EXPECT_EQ(FocusUnseen(&password), QStringList()) << "password dialog";
  }
  {
    TfrmErrorDlg error;
    error.SetRetryVisible(true);
    error.show();
    EXPECT_EQ(FocusUnseen(&error), QStringList()) << "transmission error dialog";
  }
  EXPECT_EQ(OnBox([] { ConfirmWarning("Confirmer ?"); }, &FocusUnseen), QStringList()) << "message box";
  // A box that comes up while the main window is minimised brings it back:
  // alone on the screen it would hold a window the desktop cannot restore.
  for (const auto& show : std::vector<std::function<void()>>{[] { ShowPlainKey(kUnplug); },
                                                             [] { ShowErrorText("Pas de réponse"); }}) {
    rig.Main->showMinimized();
    ASSERT_TRUE(WaitUntil([&] { return rig.Main->isMinimized(); }, 2000));
    EXPECT_EQ(
        OnBox(show,
              [&](QWidget*) { return rig.Main->isMinimized() ? QStringList{"minimised"} : QStringList(); }),
        QStringList());
  }
}

// While a box or dialog is up during the wait for the boot program, the
// always-on-top wait box stands aside; it comes back when the wait goes on.
TEST(View, TheWaitBoxStandsAsideForEveryOtherBox) {
  for (const bool password : {false, true}) {
    SCOPED_TRACE(password ? "password asked, the wait goes on" : "unplugged during the boot request");
    // The person answers every box and types the password; it shows the
    // real boxes.
    TLoadRig rig;
    rig.Person->Habits.Password = "x1";
    auto cfg = TLoadRig::TerminalConfig();
    if (password) cfg.Password = "x1";
    rig.Start(cfg);
    rig.Terminal->AddFault(TTermCommand::EnterLoader, {TTermFaultKind::NoAnswer, 0, !password});
    // Every 10 ms: a box up while the wait box shows is counted.
    int boxes = 0, covered = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
      if (!QApplication::activeModalWidget()) return;
      ++boxes;
      covered += frmWait && frmWait->isVisible();
    });
    watch.start(10);
    if (!password)
      rig.Person->When([&] { return frmWait && frmWait->isVisible(); }, [&] { rig.Terminal->Unplug(); });
    bool back = false;
    rig.Person->OnShown = [&](const TPerson::TShown& s) {
      if (!s.Password) return;
      // Whole above the wait box, at its place in the load.
      EXPECT_EQ(Cut(frmPasswordFirmware).join(QLatin1Char('\n')).toStdString(), "");
      // Asked for again after the password, the boot program is unanswered a while.
      rig.Terminal->AddFault(TTermCommand::EnterLoader, {TTermFaultKind::NoAnswer, 0, true});
      const int asked = rig.Terminal->CommandCount(TTermCommand::EnterLoader);
      rig.Person->When(
          [&rig, asked] { return rig.Terminal->CommandCount(TTermCommand::EnterLoader) > asked + 3; },
          [&] {
            back = frmWait && frmWait->isVisible();
            rig.Terminal->ClearFaults();
          });
    };
    EXPECT_TRUE(rig.WaitLoadEnd());
    EXPECT_GT(boxes, 0);
    EXPECT_EQ(covered, 0);
    EXPECT_EQ(back, password);
    EXPECT_EQ(frmWait, nullptr);
    if (password) {
      EXPECT_EQ(rig.Keys(), (std::vector<std::string>{"password", kOk}));
      EXPECT_TRUE(rig.TerminalHasImage());
      EXPECT_EQ(frmPasswordFirmware, nullptr);
    }
  }
}
