#include "DemoSettings.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <vector>

#include "AppTrace.h"
#include "DemoLayout.h"
#include "DemoScenarios.h"
#include "U_DecodeFileMot.h"
#include "U_Messages.h"

namespace {

struct TKindName {
  const char* Token;
  TTermFaultKind Kind;
  bool HasValue;
};

const TKindName kKinds[] = {
    {"sansreponse", TTermFaultKind::NoAnswer, false},
    {"nak", TTermFaultKind::Nak, false},
    {"ack", TTermFaultKind::Ack, false},
    {"autrecode", TTermFaultKind::OtherCode, true},
    {"statut", TTermFaultKind::Status, true},
    {"mauvaiscontrole", TTermFaultKind::BadChecksum, false},
    {"octetsentete", TTermFaultKind::LeadingBytes, true},
    {"troplong", TTermFaultKind::Overlong, true},
    {"debranche", TTermFaultKind::Unplug, false},
    {"debrancheapres", TTermFaultKind::UnplugAfterAnswer, false},
    {"debranchemilieu", TTermFaultKind::UnplugMidFrame, false},
};

struct TCommandName {
  const char* Token;
  TTermCommand Command;
};

const TCommandName kCommands[] = {
    {"identite", TTermCommand::Identity},      {"fermeture", TTermCommand::Close},
    {"motdepasse", TTermCommand::Password},    {"boot", TTermCommand::EnterLoader},
    {"sortieboot", TTermCommand::LeaveLoader},
};

bool ParseInt(const QString& text, int lo, int hi, int& out) {
  bool ok = false;
  const int v = text.trimmed().toInt(&ok, 0);
  if (!ok || v < lo || v > hi) return false;
  out = v;
  return true;
}

// Checks the options of the command line before the parser does, so that a
// mistake names the whole option, dashes included, in « » (the parser's own
// messages drop the dashes). Options take their value after "=" or as the
// next argument; one dash only before a one-letter name.
bool CheckOptionNames(const QStringList& arguments, const std::vector<const QCommandLineOption*>& options,
                      QString& error) {
  for (int i = 1; i < arguments.size(); ++i) {
    const QString& a = arguments[i];
    if (a == QLatin1String("--")) break;
    if (!a.startsWith(QLatin1Char('-')) || a == QLatin1String("-")) continue;
    const int eq = a.indexOf(QLatin1Char('='));
    const QString written = eq < 0 ? a : a.left(eq);
    const bool longForm = written.startsWith(QLatin1String("--"));
    const QString name = written.mid(longForm ? 2 : 1);
    const QCommandLineOption* found = nullptr;
    for (const QCommandLineOption* o : options)
      if (o->names().contains(name) && (longForm || name.size() == 1)) found = o;
    if (!found) {
      error = QStringLiteral("Option inconnue « %1 ».").arg(written);
      return false;
    }
    if (found->valueName().isEmpty()) {
      if (eq >= 0) {
        error = QStringLiteral("« %1 » ne prend pas de valeur.").arg(written);
        return false;
      }
    } else if (eq < 0) {
      if (i + 1 >= arguments.size()) {
        error = QStringLiteral("Valeur manquante après « %1 ».").arg(written);
        return false;
      }
      ++i;
    }
  }
  return true;
}

// Whether the tour can write its pictures into `dir`, made when missing:
// the folder, or the nearest folder above it that exists, takes a file.
// Nothing is left behind.
bool TourDirWritable(const QString& dir) {
  QFileInfo at(QDir(dir).absolutePath());
  while (!at.exists()) {
    const QString up = at.absolutePath();
    if (up == at.absoluteFilePath()) return false;
    at = QFileInfo(up);
  }
  if (!at.isDir()) return false;
  QTemporaryFile probe(QDir(at.absoluteFilePath()).filePath(QStringLiteral(".velmora-tour-XXXXXX")));
  return probe.open();
}

}  // namespace

TVirtualTerminalConfig DefaultDemoTerminal() {
  TVirtualTerminalConfig c;
  c.Application = TTermIdentity{2, 9, "fv0104", "15/06/2009"};
  c.UsbVersion = 4;
  c.RestartOnEndBlock = true;
  c.LatencyMs = 20;
  return c;
}

bool CheckVersionName(const QString& text, QString& error) {
  bool printable = true;
  for (QChar c : text) printable = printable && c.unicode() >= 0x20 && c.unicode() <= 0x7E;
  if (text.size() == 6 && printable) return true;
  error = QStringLiteral(
              "--version-name : « %1 » ne convient pas : un nom de version compte exactement 6 caractères "
              "ASCII imprimables (par exemple fv0104).")
              .arg(text);
  return false;
}

bool CheckPassword(const QString& text, QString& error) {
  static const QRegularExpression form(QStringLiteral("^[A-Za-z0-9]{0,16}$"));
  if (form.match(text).hasMatch()) return true;
  error = QStringLiteral(
              "--password : « %1 » ne convient pas : un mot de passe compte au plus 16 lettres (A à Z, "
              "a à z) et chiffres, sans accent, espace ni signe ; le programme ne laisse rien d'autre "
              "être tapé.")
              .arg(text);
  return false;
}

bool CheckDate(const QString& text, QString& error) {
  if (IsDemoDate(text)) return true;
  error = QStringLiteral("--date : « %1 » n'est pas une date JJ/MM/AAAA (par exemple 15/06/2009).").arg(text);
  return false;
}

bool ParseFaultSpec(const QString& spec, TDemoFault& out, QString& error) {
  const QStringList parts = spec.trimmed().toLower().split(QLatin1Char(':'));
  if (parts.size() < 2 || parts.size() > 3) {
    error = QStringLiteral("Défaut « %1 » : forme attendue COMMANDE:DÉFAUT[=VALEUR][:toujours].").arg(spec);
    return false;
  }
  TDemoFault f;
  const QString& cmd = parts[0];
  bool found = false;
  for (const TCommandName& c : kCommands)
    if (cmd == QLatin1String(c.Token)) {
      f.Command = c.Command;
      found = true;
    }
  if (!found && cmd.startsWith(QLatin1String("bloc"))) {
    const QString n = cmd.mid(4);
    f.Command = TTermCommand::Block;
    if (n == QLatin1String("fin"))
      f.BlockNumber = 0xFFFF, found = true;
    else
      found = !n.isEmpty() && ParseInt(n, 0, 0xFFFF, f.BlockNumber);
  }
  if (!found) {
    error = QStringLiteral("Défaut « %1 » : commande inconnue « %2 ».").arg(spec, cmd);
    return false;
  }
  QString kind = parts[1];
  QString value;
  const int eq = kind.indexOf(QLatin1Char('='));
  if (eq >= 0) {
    value = kind.mid(eq + 1);
    kind = kind.left(eq);
  }
  found = false;
  for (const TKindName& k : kKinds) {
    if (kind != QLatin1String(k.Token)) continue;
    found = true;
    f.Fault.Kind = k.Kind;
    if (!value.isEmpty() && !k.HasValue) {
      error = QStringLiteral("Défaut « %1 » : « %2 » ne prend pas de valeur.").arg(spec, kind);
      return false;
    }
    if (k.HasValue && value.isEmpty() && k.Kind != TTermFaultKind::Overlong) {
      error = QStringLiteral("Défaut « %1 » : « %2 » demande une valeur (%2=N).").arg(spec, kind);
      return false;
    }
    // A status is the one byte of the answer; the other values are 16 bits.
    const int most = k.Kind == TTermFaultKind::Status ? 0xFF : 0xFFFF;
    if (!value.isEmpty() && !ParseInt(value, 0, most, f.Fault.Value)) {
      error = QStringLiteral("Défaut « %1 » : valeur « %2 » incorrecte (0 à %3 attendu).")
                  .arg(spec, value)
                  .arg(most);
      return false;
    }
  }
  if (!found) {
    error = QStringLiteral("Défaut « %1 » : défaut inconnu « %2 ».").arg(spec, kind);
    return false;
  }
  if (parts.size() == 3) {
    if (parts[2] != QLatin1String("toujours")) {
      error = QStringLiteral("Défaut « %1 » : « toujours » attendu après le défaut.").arg(spec);
      return false;
    }
    f.Fault.Always = true;
  }
  out = f;
  return true;
}

QString FaultSpecText(const TDemoFault& fault) {
  QString s;
  if (fault.Command == TTermCommand::Block)
    s = fault.BlockNumber == 0xFFFF ? QStringLiteral("blocfin")
                                    : QStringLiteral("bloc%1").arg(fault.BlockNumber);
  for (const TCommandName& c : kCommands)
    if (c.Command == fault.Command) s = QLatin1String(c.Token);
  for (const TKindName& k : kKinds)
    if (k.Kind == fault.Fault.Kind) {
      s += QLatin1Char(':') + QLatin1String(k.Token);
      if (k.HasValue && (fault.Fault.Value != 0 || k.Kind != TTermFaultKind::Overlong))
        s += QLatin1Char('=') + QString::number(fault.Fault.Value);
    }
  if (fault.Fault.Always) s += QStringLiteral(":toujours");
  return s;
}

bool CheckFaultBlocks(const std::vector<TDemoFault>& faults, const std::string& folder, QString& error) {
  std::vector<const TDemoFault*> numbered;
  for (const TDemoFault& f : faults)
    if (f.Command == TTermCommand::Block && f.BlockNumber != 0xFFFF) numbered.push_back(&f);
  if (numbered.empty()) return true;
  // Read quietly: the program reports a file it cannot use.
  struct TQuiet : IMessagePresenter {
    TMsgResult Present(const TMessage&) override { return TMsgResult::Cancel; }
  } quiet;
  IMessagePresenter* old = SetMessagePresenter(&quiet);
  TObjFileMot file;
  const bool loaded = file.Load(folder);
  SetMessagePresenter(old);
  if (!loaded) return true;
  std::set<int> numbers;
  for (int i = 0; i < file.Blocks.Count(); ++i)
    if (!file.Blocks.GetItem(i).IsEndBlock()) numbers.insert(file.Blocks.GetItem(i).BlockNumber);
  for (const TDemoFault* f : numbered) {
    if (numbers.count(f->BlockNumber)) continue;
    error =
        QStringLiteral("--fault : « %1 » : le fichier %2 n'a pas de bloc %3 (blocs %4 à %5, puis blocfin).")
            .arg(FaultSpecText(*f),
                 QString::fromStdString(std::filesystem::u8path(file.FileName).filename().u8string()))
            .arg(f->BlockNumber)
            .arg(numbers.empty() ? 0 : *numbers.begin())
            .arg(numbers.empty() ? 0 : *numbers.rbegin());
    return false;
  }
  return true;
}

void AddDemoFaults(TVirtualTerminal& terminal, const std::vector<TDemoFault>& faults) {
  for (const TDemoFault& f : faults) {
    if (f.Command == TTermCommand::Block)
      terminal.AddBlockFault(f.BlockNumber, f.Fault);
    else
      terminal.AddFault(f.Command, f.Fault);
  }
}

QStringList FaultKindNames() {
  return {QStringLiteral("Pas de réponse"),
          QStringLiteral("NAK"),
          QStringLiteral("ACK"),
          QStringLiteral("Autre code (valeur : le code)"),
          QStringLiteral("Statut (valeur : l'octet de statut)"),
          QStringLiteral("Mauvais octet de contrôle"),
          QStringLiteral("Octets en tête (valeur : leur nombre)"),
          QStringLiteral("Réponse trop longue (valeur : sa longueur)"),
          QStringLiteral("Débranché au lieu de répondre"),
          QStringLiteral("Débranché après sa réponse"),
          QStringLiteral("Débranché au milieu d'une trame")};
}

QStringList CommandNames() {
  return {QStringLiteral("Identité"),
          QStringLiteral("Fermeture"),
          QStringLiteral("Mot de passe"),
          QStringLiteral("Entrée en programme de démarrage"),
          QStringLiteral("Sortie du programme de démarrage"),
          QStringLiteral("Bloc")};
}

bool ParseDemoCommandLine(const QStringList& arguments, TDemoSettings& out, QString& error) {
  QCommandLineParser p;
  p.setApplicationDescription(QStringLiteral(
      "Démonstration du programme de mise à jour sur un terminal virtuel : le programme réel, "
      "un bus USB simulé et la fenêtre « Terminal virtuel » (un processus à part, que les boîtes "
      "du programme ne bloquent pas) pour brancher, débrancher et régler le terminal.\n"
      "Chaque trame reçue (TERM<) et envoyée (TERM>) par le terminal est écrite sur la sortie standard."));
  const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                QStringLiteral("Affiche cette aide."));
  p.addOption(help);
  const QCommandLineOption plugged(QStringLiteral("plugged"),
                                   QStringLiteral("Terminal branché au démarrage (par défaut)."));
  const QCommandLineOption unplugged(QStringLiteral("unplugged"),
                                     QStringLiteral("Terminal débranché au démarrage."));
  const QCommandLineOption appType(QStringLiteral("app-type"),
                                   QStringLiteral("Type d'application du terminal, 0 à 255 (par défaut 9)."),
                                   QStringLiteral("type"));
  const QCommandLineOption versionName(
      QStringLiteral("version-name"),
      QStringLiteral(
          "Nom de version de l'application : exactement 6 caractères ASCII imprimables (par défaut fv0104)."),
      QStringLiteral("nom"));
  const QCommandLineOption date(
      QStringLiteral("date"),
      QStringLiteral(
          "Date de l'application, une date du calendrier écrite JJ/MM/AAAA (par défaut 15/06/2009)."),
      QStringLiteral("date"));
  const QCommandLineOption frameVersion(QStringLiteral("frame-version"),
                                        QStringLiteral("Version de trame, 0 à 255 (par défaut 2)."),
                                        QStringLiteral("version"));
  const QCommandLineOption usbVersion(
      QStringLiteral("usb-version"),
      QStringLiteral("Version USB du terminal (par défaut 4 : il redémarre seul après le dernier bloc, "
                     "sans demande de débranchement)."),
      QStringLiteral("version"));
  const QCommandLineOption restart(
      QStringLiteral("restart"),
      QStringLiteral("Redémarre seul après le dernier bloc, quelle que soit la version USB."));
  const QCommandLineOption noRestart(QStringLiteral("no-restart"),
                                     QStringLiteral("Ne redémarre pas seul après le dernier bloc."));
  const QCommandLineOption password(
      QStringLiteral("password"),
      QStringLiteral("Mot de passe du terminal : 16 lettres et chiffres au plus (par défaut aucun)."),
      QStringLiteral("mot de passe"));
  const QCommandLineOption switchOn(QStringLiteral("switch"),
                                    QStringLiteral("Commutateur du terminal actif (mot de passe refusé)."));
  const QCommandLineOption latency(
      QStringLiteral("latency"),
      QStringLiteral("Délai avant chaque réponse, en millisecondes (par défaut 20)."), QStringLiteral("ms"));
  const QCommandLineOption fault(
      QStringList{QStringLiteral("fault")},
      QStringLiteral(
          "Défaut à injecter, répétable : COMMANDE:DÉFAUT[=VALEUR][:toujours]. COMMANDE : identite, "
          "fermeture, motdepasse, boot, sortieboot, blocN, blocfin. DÉFAUT : sansreponse, nak, ack, "
          "autrecode=CODE, statut=N, mauvaiscontrole, octetsentete=N, troplong[=N], debranche, "
          "debrancheapres, debranchemilieu. Exemple : bloc3:sansreponse."),
      QStringLiteral("défaut"));
  const QCommandLineOption tour(
      QStringLiteral("tour"),
      QStringLiteral(
          "Déroule seul une mise à jour (voir --scenario), enregistre des captures PNG des fenêtres "
          "et de chaque boîte dans DOSSIER, ainsi que la trace (trace.txt), et se termine : 0 quand le "
          "chargement s'est déroulé comme prévu."),
      QStringLiteral("dossier"));
  const QCommandLineOption scenario(
      QStringLiteral("scenario"),
      QStringLiteral(
          "Le chemin du tour : %1 (par défaut nominal). Il règle le terminal de départ ; les options "
          "du terminal données à côté le changent.")
          .arg(ScenarioNames().join(QStringLiteral(", "))),
      QStringLiteral("nom"));
  const QCommandLineOption fast(
      QStringLiteral("rapide"),
      QStringLiteral("Raccourcit les pauses du chargement et du tour (pour les tests)."));
  const QCommandLineOption tourLimit(QStringLiteral("tour-limit"),
                                     QStringLiteral("Durée maximale du tour, en secondes (par défaut 90)."),
                                     QStringLiteral("s"));
  const std::vector<const QCommandLineOption*> options{
      &help,      &plugged,  &unplugged, &appType, &versionName, &date, &frameVersion, &usbVersion, &restart,
      &noRestart, &password, &switchOn,  &latency, &fault,       &tour, &scenario,     &tourLimit,  &fast};
  for (const auto* o : options)
    if (o != &help) p.addOption(*o);

  if (!CheckOptionNames(arguments, options, error)) return false;
  if (!p.parse(arguments)) {
    error = p.errorText();
    return false;
  }
  if (p.isSet(help)) {
    std::fputs(p.helpText().toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
    std::exit(0);
  }
  if (!p.positionalArguments().isEmpty()) {
    error = QStringLiteral("Argument inattendu « %1 ».").arg(p.positionalArguments().first());
    return false;
  }

  TDemoSettings s;
  s.Terminal = DefaultDemoTerminal();
  if (p.isSet(scenario) && !p.isSet(tour)) {
    error = QStringLiteral("--scenario : un chemin se parcourt en tour, --tour DOSSIER attendu.");
    return false;
  }
  if (p.isSet(tour)) {
    s.TourDir = p.value(tour);
    if (s.TourDir.isEmpty()) {
      error = QStringLiteral("--tour : dossier attendu.");
      return false;
    }
    if (!TourDirWritable(s.TourDir)) {
      error = QStringLiteral("--tour : impossible d'écrire dans le dossier « %1 ».").arg(s.TourDir);
      return false;
    }
    s.Scenario = p.isSet(scenario) ? p.value(scenario) : QStringLiteral("nominal");
    if (!ApplyScenario(s.Scenario, s)) {
      error = QStringLiteral("--scenario : « %1 » inconnu (%2).")
                  .arg(s.Scenario, ScenarioNames().join(QStringLiteral(", ")));
      return false;
    }
  }
  s.Fast = p.isSet(fast);
  TVirtualTerminalConfig& c = s.Terminal;
  if (p.isSet(plugged) && p.isSet(unplugged)) {
    error = QStringLiteral("--plugged et --unplugged s'excluent.");
    return false;
  }
  s.Plugged = !p.isSet(unplugged);
  auto intOption = [&](const QCommandLineOption& o, int lo, int hi, int& target) {
    if (!p.isSet(o)) return true;
    if (ParseInt(p.value(o), lo, hi, target)) return true;
    error = QStringLiteral("--%1 : valeur « %2 » incorrecte (%3 à %4 attendu).")
                .arg(o.names().first(), p.value(o))
                .arg(lo)
                .arg(hi);
    return false;
  };
  int usb = c.UsbVersion;
  if (!intOption(appType, 0, 255, c.Application.AppType) ||
      !intOption(frameVersion, 0, 255, c.Application.FrameVersion) ||
      !intOption(usbVersion, 0, 0xFFFF, usb) || !intOption(latency, 0, 60000, c.LatencyMs) ||
      !intOption(tourLimit, 5, 3600, s.TourLimitSeconds))
    return false;
  c.UsbVersion = static_cast<uint16_t>(usb);
  if (p.isSet(versionName)) {
    if (!CheckVersionName(p.value(versionName), error)) return false;
    c.Application.VersionName = p.value(versionName).toStdString();
  }
  if (p.isSet(date)) {
    if (!CheckDate(p.value(date), error)) return false;
    c.Application.AppDate = p.value(date).toStdString();
  }
  if (p.isSet(restart) && p.isSet(noRestart)) {
    error = QStringLiteral("--restart et --no-restart s'excluent.");
    return false;
  }
  if (p.isSet(restart))
    c.RestartOnEndBlock = true;
  else if (p.isSet(noRestart))
    c.RestartOnEndBlock = false;
  else if (p.isSet(usbVersion))
    c.RestartOnEndBlock = c.UsbVersion == 4;
  if (p.isSet(password)) {
    if (!CheckPassword(p.value(password), error)) return false;
    c.Password = p.value(password).toStdString();
  }
  if (p.isSet(switchOn)) c.SwitchActive = true;
  for (const QString& spec : p.values(fault)) {
    TDemoFault f;
    if (!ParseFaultSpec(spec, f, error)) return false;
    s.Faults.push_back(f);
  }
  out = s;
  return true;
}

std::string TraceLine(bool received, const TTermBytes& frame) {
  // The program's own form, the password hidden.
  return TAppTrace::FrameText(received, frame);
}

void InstallTrace(TVirtualTerminal& terminal, std::FILE* out, std::FILE* copy) {
  // The callbacks come from the writer's thread and the terminal's worker:
  // one line at a time, on its way at once.
  static std::mutex lock;
  auto print = [out, copy](bool received, const TTermBytes& frame) {
    const std::string line = TraceLine(received, frame) + "\n";
    std::lock_guard<std::mutex> guard(lock);
    for (std::FILE* f : {out, copy}) {
      if (!f) continue;
      std::fwrite(line.data(), 1, line.size(), f);
      std::fflush(f);
    }
  };
  terminal.OnFrameReceived = [print](const TTermBytes& f) { print(true, f); };
  terminal.OnFrameSent = [print](const TTermBytes& f) { print(false, f); };
}
