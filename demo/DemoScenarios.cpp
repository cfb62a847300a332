#include "DemoScenarios.h"

#include "DemoSettings.h"
#include "DemoTour.h"
#include "U_DecodeFileMot.h"
#include "U_Textes.h"

namespace {

using A = TDemoTour::TAnswer;

constexpr int kStatusNoAnswer = -1;
constexpr int kStatusWrongPassword = 16;

// The block left unanswered on the roads that need one.
constexpr int kSilentBlock = 5;
constexpr int kSilentBlockInBoxes = 3;

TDemoFault Fault(const char* spec) {
  TDemoFault f;
  QString error;
  ParseFaultSpec(QString::fromLatin1(spec), f, error);
  return f;
}

// The terminal's application is newer than the sample firmware (fv0105 of
// 02/03/2010) in its version name and in its date.
void NewerApplication(TVirtualTerminalConfig& c) {
  c.Application.VersionName = "fv0107";
  c.Application.AppDate = "20/09/2011";
}

void NeedsPassword(TVirtualTerminalConfig& c) {
  c.Password = kScenarioPassword;
  c.PasswordForLoader = true;
}

void PromptsToUnplug(TVirtualTerminalConfig& c) {
  c.UsbVersion = 3;
  c.RestartOnEndBlock = false;
}

TBoxMatch Success() { return TBoxMatch::Key(TMsgKind::Plain, "_LoadVelmoraOk"); }
TBoxMatch UnplugPrompt() { return TBoxMatch::Key(TMsgKind::Plain, "_DeconnectUSB"); }
TBoxMatch ReplugPrompt() { return TBoxMatch::Key(TMsgKind::Plain, "_ReconnectUSB"); }
TBoxMatch OlderVersion() { return TBoxMatch::Starting(TMsgKind::Warning, "_OldVersion1"); }
TBoxMatch OlderDate() { return TBoxMatch::Starting(TMsgKind::Warning, "_OldDateAppli1"); }
TBoxMatch Password() { return TBoxMatch::PasswordDialog(); }
TBoxMatch NoAnswer() { return TBoxMatch::Status(kStatusNoAnswer, true); }

// How often the terminal received block `number`.
int BlockSent(const TVirtualTerminal& t, int number) {
  int n = 0;
  for (const TTermBytes& f : t.FramesReceived())
    if (TVirtualTerminal::CommandOf(f) == TTermCommand::Block && f.size() >= 9 &&
        (f[7] | f[8] << 8) == number)
      ++n;
  return n;
}

// The end of every road that loads: success answered, the identity shown
// again, and the whole image in the terminal, under the file's identity.
void EndsLoaded(TDemoTour& tour, const TObjFileMot& file, int firstPicture) {
  const QString version = QString::fromStdString(Cp1252ToUtf8(file.VersionName));
  tour.ExpectBox(Success(), QStringLiteral("%1-message-succes").arg(firstPicture, 2, 10, QLatin1Char('0')));
  tour.Answer(A::Ok);
  tour.WaitUntil(QStringLiteral("fin du chargement"), [&tour] { return tour.Idle(); });
  tour.Shot(QStringLiteral("%1-identite-apres").arg(firstPicture + 1, 2, 10, QLatin1Char('0')));
  tour.Check(QStringLiteral("le terminal a reçu toute l'image du fichier, bloc de fin compris"),
             [&tour, &file] { return TDemoTour::TerminalHasFile(tour.Terminal(), file); });
  tour.Check(
      QStringLiteral("la fenêtre montre la version du fichier, %1, que le terminal exécute").arg(version),
      [&tour, version] {
        return TDemoTour::ShownVersionName() == version &&
               QString::fromStdString(tour.Terminal().RunningIdentity().VersionName) == version &&
               !tour.Terminal().InLoader();
      });
}

// Unplugs the terminal from the control window while the box is up, waits
// for `unplugged`, replugs it and waits for `replugged`; a picture of both
// windows after each.
void UnplugAndReplugUnder(TDemoTour& tour, const QString& picture, const QString& whatUnplugged,
                          std::function<bool()> unplugged, const QString& whatReplugged,
                          std::function<bool()> replugged) {
  tour.PressOnControl(QStringLiteral("btnUnplug"), QStringLiteral("débrancher le terminal"));
  tour.WaitUntil(whatUnplugged, std::move(unplugged));
  tour.ShotWithControl(picture + QStringLiteral("-debranche"));
  tour.PressOnControl(QStringLiteral("btnPlug"), QStringLiteral("rebrancher le terminal"));
  tour.WaitUntil(whatReplugged, std::move(replugged));
  tour.ShotWithControl(picture + QStringLiteral("-rebranche"));
}

bool SeesAbsence() { return TDemoTour::SeesTerminal(false); }
bool SeesPresence() { return TDemoTour::SeesTerminal(true); }

}  // namespace

QStringList ScenarioNames() {
  return {QStringLiteral("nominal"),      QStringLiteral("mot-de-passe"),   QStringLiteral("debranchement"),
          QStringLiteral("sans-reponse"), QStringLiteral("retrogradation"), QStringLiteral("boites")};
}

bool ApplyScenario(const QString& name, TDemoSettings& s) {
  if (!ScenarioNames().contains(name)) return false;
  s.Terminal = DefaultDemoTerminal();
  s.Faults.clear();
  TVirtualTerminalConfig& c = s.Terminal;
  if (name == QLatin1String("mot-de-passe")) {
    NeedsPassword(c);
  } else if (name == QLatin1String("debranchement")) {
    PromptsToUnplug(c);
  } else if (name == QLatin1String("sans-reponse")) {
    s.Faults.push_back(Fault("bloc5:sansreponse"));
  } else if (name == QLatin1String("retrogradation")) {
    NewerApplication(c);
  } else if (name == QLatin1String("boites")) {
    NewerApplication(c);
    NeedsPassword(c);
    PromptsToUnplug(c);
    s.Faults.push_back(Fault("identite:sansreponse"));
    s.Faults.push_back(Fault("bloc3:sansreponse"));
  }
  return true;
}

void BuildScenario(const QString& name, TDemoTour& tour, const TObjFileMot& file) {
  tour.CaptureControl(QStringLiteral("00-terminal-virtuel"));

  if (name == QLatin1String("mot-de-passe")) {
    tour.ExpectBox(Password(), QStringLiteral("04-mot-de-passe"));
    tour.TypePassword(QString::fromLatin1(kScenarioWrongPassword));
    tour.ShotBoxes(QStringLiteral("04-mot-de-passe-tape"));
    tour.Answer(A::Ok);
    tour.ExpectBox(TBoxMatch::Status(kStatusWrongPassword, false), QStringLiteral("05-mot-de-passe-refuse"));
    tour.Answer(A::Cancel);
    // A refused password leaves the dialog open, with what was typed.
    tour.WaitUntil(QStringLiteral("le dialogue du mot de passe reste ouvert avec le texte tapé"), [&tour] {
      return tour.PasswordDialogUp() &&
             TDemoTour::PasswordText() == QString::fromLatin1(kScenarioWrongPassword);
    });
    tour.TypePassword(QString::fromLatin1(kScenarioPassword));
    tour.Answer(A::Ok);
    EndsLoaded(tour, file, 6);
    tour.ExpectLog({Password(), TBoxMatch::Status(kStatusWrongPassword, false), Success()});
    tour.Check(QStringLiteral("le terminal a reçu deux mots de passe, le faux puis le bon"),
               [&tour] { return tour.Terminal().CommandCount(TTermCommand::Password) == 2; });
    return;
  }

  if (name == QLatin1String("debranchement")) {
    tour.ExpectBox(UnplugPrompt(), QStringLiteral("04-deconnecter"));
    tour.PressOnControl(QStringLiteral("btnUnplug"), QStringLiteral("débrancher le terminal"));
    tour.WaitUntil(QStringLiteral("le programme voit le terminal débranché"), SeesAbsence);
    tour.ShotWithControl(QStringLiteral("05-terminal-debranche"));
    tour.Answer(A::Ok);
    tour.ExpectBox(ReplugPrompt(), QStringLiteral("06-reconnecter"));
    tour.PressOnControl(QStringLiteral("btnPlug"), QStringLiteral("rebrancher le terminal"));
    tour.WaitUntil(QStringLiteral("le programme voit le terminal rebranché"), SeesPresence);
    tour.ShotWithControl(QStringLiteral("07-terminal-rebranche"));
    tour.Answer(A::Ok);
    EndsLoaded(tour, file, 8);
    tour.ExpectLog({UnplugPrompt(), ReplugPrompt(), Success()});
    return;
  }

  if (name == QLatin1String("sans-reponse")) {
    tour.ExpectBox(NoAnswer(), QStringLiteral("04-pas-de-reponse"));
    tour.Answer(A::Retry);
    EndsLoaded(tour, file, 5);
    tour.ExpectLog({NoAnswer(), Success()});
    tour.Check(QStringLiteral("le bloc %1 a été envoyé deux fois").arg(kSilentBlock),
               [&tour] { return BlockSent(tour.Terminal(), kSilentBlock) == 2; });
    return;
  }

  if (name == QLatin1String("retrogradation")) {
    tour.ExpectBox(OlderVersion(), QStringLiteral("04-version-anterieure"));
    tour.Answer(A::Ok);
    tour.ExpectBox(OlderDate(), QStringLiteral("05-date-anterieure"));
    tour.Answer(A::Ok);
    EndsLoaded(tour, file, 6);
    tour.ExpectLog({OlderVersion(), OlderDate(), Success()});
    return;
  }

  if (name == QLatin1String("boites")) {
    const QString unplugged =
        QStringLiteral("le programme voit le terminal débranché (bouton de chargement grisé)");
    const QString replugged =
        QStringLiteral("le programme voit le terminal rebranché (bouton de chargement actif)");
    const QString cleared = QStringLiteral("le programme voit le terminal débranché et efface son identité");
    auto clearedIdentity = [] {
      return SeesAbsence() && TDemoTour::ShownVersionName() == TDemoTour::UnknownText();
    };

    // 1. An information box: the first identity request goes unanswered.
    tour.ExpectBox(TBoxMatch::Key(TMsgKind::Information, "_NoDialog"), QStringLiteral("04-information"));
    UnplugAndReplugUnder(tour, QStringLiteral("05-information"), unplugged, SeesAbsence, replugged,
                         SeesPresence);
    tour.Answer(A::Ok);

    // 2. The password dialog: the unplug closes it as not accepted and the
    //    load ends.
    tour.ClickLoad();
    tour.ExpectBox(Password(), QStringLiteral("06-mot-de-passe"));
    tour.PressOnControl(QStringLiteral("btnUnplug"), QStringLiteral("débrancher le terminal"));
    tour.WaitUntil(QStringLiteral("le dialogue du mot de passe se ferme et le chargement s'arrête"),
                   [&tour] { return SeesAbsence() && !tour.PasswordDialogUp() && tour.Idle(); });
    tour.ShotWithControl(QStringLiteral("07-mot-de-passe-debranche"));
    tour.PressOnControl(QStringLiteral("btnPlug"), QStringLiteral("rebrancher le terminal"));
    tour.WaitUntil(replugged, [&tour] { return SeesPresence() && tour.Idle(); });

    // 3. A warning: unplugged and replugged under it, then refused.
    tour.ClickLoad();
    tour.ExpectBox(Password(), QString());
    tour.TypePassword(QString::fromLatin1(kScenarioPassword));
    tour.Answer(A::Ok);
    tour.ExpectBox(OlderVersion(), QStringLiteral("08-avertissement"));
    UnplugAndReplugUnder(tour, QStringLiteral("09-avertissement"), cleared, clearedIdentity, replugged,
                         SeesPresence);
    tour.Answer(A::Cancel);
    tour.WaitUntil(QStringLiteral("le chargement s'arrête, le terminal a quitté son programme de démarrage"),
                   [&tour] { return tour.Idle() && !tour.Terminal().InLoader(); });

    // 4. The transmission error dialog with "Réessayer": the block is sent
    //    again once the terminal is back.
    tour.ClickLoad();
    tour.ExpectBox(Password(), QString());
    tour.TypePassword(QString::fromLatin1(kScenarioPassword));
    tour.Answer(A::Ok);
    tour.ExpectBox(OlderVersion(), QString());
    tour.Answer(A::Ok);
    tour.ExpectBox(OlderDate(), QString());
    tour.Answer(A::Ok);
    tour.ExpectBox(NoAnswer(), QStringLiteral("10-erreur-transmission"));
    UnplugAndReplugUnder(tour, QStringLiteral("11-erreur-transmission"), cleared, clearedIdentity, replugged,
                         SeesPresence);
    tour.Answer(A::Retry);

    // 5. The plain prompts, answered by unplugging and replugging.
    tour.ExpectBox(UnplugPrompt(), QStringLiteral("12-deconnecter"));
    tour.PressOnControl(QStringLiteral("btnUnplug"), QStringLiteral("débrancher le terminal"));
    tour.WaitUntil(unplugged, SeesAbsence);
    tour.Answer(A::Ok);
    tour.ExpectBox(ReplugPrompt(), QStringLiteral("13-reconnecter"));
    tour.PressOnControl(QStringLiteral("btnPlug"), QStringLiteral("rebrancher le terminal"));
    tour.WaitUntil(replugged, SeesPresence);
    tour.Answer(A::Ok);
    EndsLoaded(tour, file, 14);
    tour.ExpectLog({TBoxMatch::Key(TMsgKind::Information, "_NoDialog"), Password(), Password(),
                    OlderVersion(), Password(), OlderVersion(), OlderDate(), NoAnswer(), UnplugPrompt(),
                    ReplugPrompt(), Success()});
    tour.Check(QStringLiteral("le bloc %1 a été envoyé deux fois").arg(kSilentBlockInBoxes),
               [&tour] { return BlockSent(tour.Terminal(), kSilentBlockInBoxes) == 2; });
    // This road ends by closing "Terminal virtuel", which ends the demo.
    tour.EndThroughControlWindow();
    return;
  }

  // nominal
  EndsLoaded(tour, file, 4);
  tour.ExpectLog({Success()});
}
