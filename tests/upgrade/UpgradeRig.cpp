#include "UpgradeRig.h"

#include <QFile>
#include <QPushButton>

#include "AppParts.h"
#include "F_CommonDlg.h"
#include "F_Main.h"
#include "F_VMUpgrade.h"
#include "Gauge.h"
#include "KeyedBoxes.h"
#include "ModalDriver.h"
#include "MotTestUtil.h"
#include "U_Paths.h"

TUpgradeRig::TUpgradeRig(const TFileSpec& file) : Bus(std::make_shared<TSimHidBus>()) {
  if (TestsUseRealBoxes()) {
    RealBoxes = std::make_unique<TKeyedBoxes>();
    Presenter.ShowReal = [this](const TMessage& m, TMsgResult r) { return RealBoxes->Show(m, r); };
  }
  // Header page, then pages of a recognisable pattern.
  std::vector<uint8_t> header = HeaderPage(true, file.Date, file.AppliType, file.Version, 256);
  if (file.LongWaitMark) {
    header[10] = 0x11;
    header[11] = 0x00;
    header[12] = 0x00;
    header[13] = 0x11;
  }
  FImage = header;
  for (int p = 1; p < file.Pages; ++p)
    for (int i = 0; i < 256; ++i) FImage.push_back(static_cast<uint8_t>(p * 37 + i * 7));
  QFile f(FDir.filePath(QStringLiteral("firmware.mot")));
  f.open(QIODevice::WriteOnly);
  const std::string text = MotFile(FImage, 0x8000, 32);
  f.write(text.data(), static_cast<qint64>(text.size()));
  f.close();
  SetExecutablePathForTesting(FDir.filePath(QStringLiteral("VelmoraUpgrade")).toStdString());
}

TUpgradeRig::~TUpgradeRig() {
  Main.reset();
  if (Terminal) Terminal->Unplug();
  SetExecutablePathForTesting(std::string());
}

TVirtualTerminalConfig TUpgradeRig::TerminalConfig() {
  TVirtualTerminalConfig c;
  c.Application = TTermIdentity{2, 9, "fv0099", "14/06/2009"};
  c.UsbVersion = 4;
  c.RestartOnEndBlock = true;
  return c;
}

void TUpgradeRig::Start(const TVirtualTerminalConfig& cfg, bool plugged) {
  Terminal = TVirtualTerminal::Create(cfg);
  if (plugged) Terminal->Plug(*Bus);
  Main = std::make_unique<TfrmMain>(MakeApplicationParts(Bus));
  Hook();
  Main->show();
}

bool TUpgradeRig::PlugAndWait(int timeoutMs) {
  Terminal->Plug(*Bus);
  return WaitUntil([this] { return Dialogue() && Dialogue()->Device != nullptr; }, timeoutMs);
}

TfrmVMUpgrade* TUpgradeRig::Upgrade() const { return frmVMUpgrade; }
TCommonDlg* TUpgradeRig::Dialogue() const { return MainCommonDlg(); }

void TUpgradeRig::Hook() {
  TfrmVMUpgrade* w = Upgrade();
  if (!w || w == FHooked) return;
  FHooked = w;
  QObject::connect(w->Gauge, &TGauge::ProgressSet, [this](int v) { Gauge.push_back(v); });
}

bool TUpgradeRig::WaitLoadEnd(int timeoutMs) {
  return WaitUntil(
      [this] {
        Hook();
        TfrmVMUpgrade* w = Upgrade();
        return w && w->btnLoad->isEnabled() && !w->FBusy();
      },
      timeoutMs);
}

bool TUpgradeRig::TerminalHasImage() const {
  if (!Terminal->ImageComplete()) return false;
  const auto blocks = Terminal->Blocks();
  const int pages = static_cast<int>(FImage.size() / 256);
  for (int p = 0; p < pages; ++p) {
    auto it = blocks.find(p);
    if (it == blocks.end()) return false;
    const std::vector<uint8_t> want(FImage.begin() + p * 256, FImage.begin() + (p + 1) * 256);
    if (it->second != want) return false;
  }
  return true;
}

std::vector<std::string> TUpgradeRig::Keys() const {
  std::vector<std::string> out;
  for (const TMessage& m : Presenter.Shown) out.push_back(m.Key.empty() ? m.Text : m.Key);
  return out;
}

bool TUpgradeRig::Shown(const std::string& key) const { return CountShown(key) > 0; }

int TUpgradeRig::CountShown(const std::string& key) const {
  int n = 0;
  for (const TMessage& m : Presenter.Shown)
    if (m.Key == key || m.Text == key) ++n;
  return n;
}
