// The embedded driver package, held in Qt's resource system under
// ":/driver/<NAME>".
#include <QFile>
#include <QString>
#include <cctype>
#include <stdexcept>

#include "driver.h"

// Outside any namespace, as Q_INIT_RESOURCE requires.
static void InitDriverResources() {
  // The resources live in a static library: referencing them here keeps the
  // linker from dropping them.
  static const bool done = [] {
    Q_INIT_RESOURCE(kvz_driver_files);
    return true;
  }();
  (void)done;
}

namespace {
bool KnownResource(const std::string& upper) {
  return upper == "INF" || upper == "HEX" || upper == "SYSTERM" || upper == "SYSGEN" || upper == "UDEV";
}
}  // namespace

std::string DriverResourceBytes(const std::string& name) {
  InitDriverResources();
  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (!KnownResource(upper)) throw std::runtime_error("Ressource introuvable : " + name);
  QFile f(QStringLiteral(":/driver/") + QString::fromLatin1(upper.c_str()));
  if (!f.open(QIODevice::ReadOnly)) throw std::runtime_error("Ressource introuvable : " + name);
  const QByteArray bytes = f.readAll();
  return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}
