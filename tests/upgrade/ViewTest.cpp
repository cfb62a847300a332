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
#include <QCheckBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyleOptionButton>
#include <QTest>
#include <QTimer>
#include <functional>

#include "F_CommonDlg.h"
#include "F_ErrorDlg.h"
#include "F_Main.h"
#include "F_PasswordFirmware.h"
#include "F_VMUpgrade.h"
#include "F_VirtualTerminal.h"
#include "F_Wait.h"
#include "ModalDriver.h"
#include "TestCatalogue.h"
#include "U_ConstDlg.h"
#include "U_Messages.h"
#include "U_Paths.h"
#include "U_QtShell.h"
#include "U_Textes.h"
#include "UpgradeRig.h"

namespace {

// The part of `w` that its ancestors up to its window leave on screen, in
// window coordinates; scrolled content counts whole.
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

bool WhollyVisible(QWidget* w) { return Visible(w) == QRect(w->mapTo(w->window(), QPoint(0, 0)), w->size()); }

// Whether a text of `size`, aligned in `room` (widget coordinates), lies
// wholly in `room` and in what the ancestors leave of the widget.
bool Fits(QWidget* w, const QSize& size, const QRect& room, Qt::Alignment align) {
  const QRect at = QStyle::alignedRect(w->layoutDirection(), align, size, room);
  return room.contains(at) && Visible(w).contains(QRect(w->mapTo(w->window(), at.topLeft()), at.size()));
}

// The openbox title bar of the tour's display (theme Clearlooks, "sans 8
// bold"): the title is centred on the whole bar and stays clear of the three
// buttons at its right, so it needs the buttons' room on both sides: 112
// pixels in all, measured under Xvfb at 96 dpi.
bool TitleWhole(QWidget* win) {
  QFont f(QStringLiteral("Sans"), 8);
  f.setBold(true);
  return win->width() >= QFontMetrics(f).horizontalAdvance(win->windowTitle()) + 112;
}

// Every text of `win` that its room cuts, one line each.
QStringList Cut(QWidget* win) {
  QStringList cut;
  if (!TitleWhole(win)) cut << QStringLiteral("title « %1 »").arg(win->windowTitle());
  for (QWidget* w : win->findChildren<QWidget*>()) {
    if (!w->isVisibleTo(win)) continue;
    const QFontMetrics fm = w->fontMetrics();
    QString text;
    bool whole = true;
    if (auto* l = qobject_cast<QLabel*>(w)) {
      text = l->text();
      whole = l->pixmap().isNull() || WhollyVisible(l);
      const int m = l->margin();
      const QRect room = l->contentsRect().adjusted(m, m, -m, -m);
      const QSize need = l->wordWrap() ? QSize(room.width(), l->heightForWidth(l->width()))
                                       : fm.boundingRect(room, int(l->alignment()), text).size();
      whole = whole && (text.isEmpty() || Fits(l, need, room, l->alignment()));
    } else if (auto* b = qobject_cast<QPushButton*>(w)) {
      text = b->text();
      QStyleOptionButton opt;
      opt.initFrom(b);
      const QRect room = b->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, b);
      whole = Fits(b, QSize(fm.horizontalAdvance(QString(text).remove(QLatin1Char('&'))), fm.height()), room,
                   Qt::AlignCenter);
    } else if (qobject_cast<QCheckBox*>(w) || qobject_cast<QRadioButton*>(w)) {
      text = static_cast<QAbstractButton*>(w)->text();
      whole = w->width() >= w->sizeHint().width() && WhollyVisible(w);
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

// A message box, shown by `show` through the real presenter, checked by
// `check` once it is up, then answered.
template <typename T>
T OnBox(const std::function<void()>& show, const std::function<T(QWidget*)>& check) {
  TQtMessagePresenter real;
  IMessagePresenter* old = SetMessagePresenter(&real);
  T result{};
  WhenShown([](QWidget* w) { return qobject_cast<QMessageBox*>(w) || qobject_cast<TfrmErrorDlg*>(w); },
            [&](QWidget* w) {
              result = check(w);
              QTest::keyClick(w, Qt::Key_Escape);
            });
  show();
  SetMessagePresenter(old);
  return result;
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

// The buttons and fields of `win` on which the focus does not show: each
// pictured with and without it.
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

std::vector<int> AllStatuses() {
  std::vector<int> codes{255, 300};
  for (int c = -5; c <= 29; ++c) codes.push_back(c);
  return codes;
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
  struct TView {
    const char* Name;
    std::function<QStringList()> Cut;
  };
  auto boxes = [](auto show) { return OnBox<QStringList>(show, [](QWidget* w) { return Cut(w); }); };
  const std::vector<TView> views{
      {"main window",
       [] {
         TUpgradeRig rig;
         rig.Start(TUpgradeRig::TerminalConfig(), false);
         return ShownCut(rig.Main.get());
       }},
      {"upgrade window in the main window, every application name",
       [] {
         TUpgradeRig rig;
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
       [boxes] {
         QStringList cut;
         for (int code : AllStatuses())
           cut << boxes([code] { PresentTransmissionError(StatusText(code), true); });
         cut << boxes([] {
           ShowErrorText(StatusText(16) + "\r\n" + GetTexte("_MSG_PWDCrypt") + " '" + std::string(32, 'D') +
                         "'");
         });
         return cut;
       }},
      {"message boxes of every kind",
       [boxes] {
         SetExecutablePathForTesting("/opt/VelmoraUpgrade");
         QStringList cut;
         for (const char* text : {"Erreur inconnue", "Ok"}) {
           cut << boxes([&] { ShowPlain(text); }) << boxes([&] { ShowInformation(text); })
               << boxes([&] { ConfirmWarning(text); }) << boxes([&] { ShowErrorReport(text); });
         }
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
  for (const TView& v : views) {
    if (!CatalogueLoaded()) LoadShippedCatalogue();  // a main window releases it as it goes
    EXPECT_EQ(v.Cut().join(QLatin1Char('\n')).toStdString(), "") << v.Name;
  }
}

TEST(View, KeyboardFocusShowsAndIsToldFromTheDefaultButton) {
  TUpgradeRig rig;
  rig.Start();
  ASSERT_TRUE(rig.WaitLoadEnd());
  TfrmVMUpgrade* w = rig.Upgrade();
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(FocusUnseen(rig.Main.get()), QStringList()) << "main and upgrade windows";
  // "Charger" with the focus against "Charger" as the default button.
  w->btnLoad->setFocus();
  const QImage focused = Shot(w->btnLoad);
  rig.Main->setFocus();
  w->btnBack->setDefault(false);
  w->btnLoad->setDefault(true);
  const QImage asDefault = Shot(w->btnLoad);
  w->btnLoad->setDefault(false);
  w->btnBack->setDefault(true);
  EXPECT_GE(Marked(focused, asDefault), (w->btnLoad->width() + w->btnLoad->height()) / 2);

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
  EXPECT_EQ(OnBox<QStringList>([] { ConfirmWarning("Confirmer ?"); }, &FocusUnseen), QStringList())
      << "message box";
}

// While a box or dialog is up during the wait for the boot program, the
// always-on-top wait box stands aside; it comes back when the wait goes on.
TEST(View, TheWaitBoxStandsAsideForEveryOtherBox) {
  for (const bool password : {false, true}) {
    SCOPED_TRACE(password ? "password asked, the wait goes on" : "unplugged during the boot request");
    TUpgradeRig rig;
    TQtMessagePresenter real;
    rig.Presenter.Forward = &real;
    auto cfg = TUpgradeRig::TerminalConfig();
    if (password) cfg.Password = "x1";
    rig.Start(cfg);
    rig.Terminal->AddFault(TTermCommand::EnterLoader, {TTermFaultKind::NoAnswer, 0, !password});
    // Every 10 ms: a box up while the wait box shows is counted, then
    // message boxes are answered.
    int boxes = 0, covered = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
      QWidget* box = TopModal();
      if (!box) return;
      ++boxes;
      covered += frmWait && frmWait->isVisible();
      if (qobject_cast<QMessageBox*>(box)) QTest::keyClick(box, Qt::Key_Return);
    });
    watch.start(10);
    if (!password) WhenTrue([&] { return frmWait && frmWait->isVisible(); }, [&] { rig.Terminal->Unplug(); });
    bool back = false;
    WhenShown(
        [](QWidget* w) { return qobject_cast<TfrmPasswordFirmware*>(w) != nullptr; },
        [&](QWidget* box) {
          // Asked for again after the password, the boot program stays unanswered a while.
          rig.Terminal->AddFault(TTermCommand::EnterLoader, {TTermFaultKind::NoAnswer, 0, true});
          const int asked = rig.Terminal->CommandCount(TTermCommand::EnterLoader);
          WhenTrue(
              [&rig, asked] { return rig.Terminal->CommandCount(TTermCommand::EnterLoader) > asked + 3; },
              [&] {
                back = frmWait && frmWait->isVisible();
                rig.Terminal->ClearFaults();
              });
          QTest::keyClicks(static_cast<TfrmPasswordFirmware*>(box)->edtPassword, "x1");
          QTest::keyClick(box, Qt::Key_Return);
        });
    EXPECT_TRUE(rig.WaitLoadEnd());
    EXPECT_GT(boxes, 0);
    EXPECT_EQ(covered, 0);
    EXPECT_EQ(back, password);
    EXPECT_EQ(frmWait, nullptr);
  }
}

// A box that comes up while the main window is minimised brings it back:
// alone on the screen it would hold a window the desktop cannot restore.
TEST(View, ABoxBringsTheMinimisedMainWindowBack) {
  TUpgradeRig rig;
  rig.Start(TUpgradeRig::TerminalConfig(), false);
  for (const std::function<void()>& show : std::vector<std::function<void()>>{
           [] { ShowPlainKey("_DeconnectUSB"); }, [] { ShowErrorText("Pas de réponse"); }}) {
    rig.Main->showMinimized();
    ASSERT_TRUE(WaitUntil([&] { return rig.Main->isMinimized(); }, 2000));
    EXPECT_FALSE(OnBox<bool>(show, [&](QWidget*) { return rig.Main->isMinimized(); }));
  }
}
