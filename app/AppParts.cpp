#include "AppParts.h"

#include <QWidget>

namespace {

// Stand-ins until the firmware file, the device dialogue, the upgrade
// window and the driver installation are connected.
class TFileMotStandIn : public IMainFileMot {
 public:
  bool Load() override { return true; }
  std::string VersionName() const override { return "fvXXXX"; }
};

class TCommonDlgStandIn : public IMainDeviceDialogue {
 public:
  bool HasDevice() const override { return false; }
};

}  // namespace

TMainParts MakeApplicationParts() {
  TMainParts p;
  p.CreateFileMot = [] { return std::make_unique<TFileMotStandIn>(); };
  p.CreateCommonDlg = [](TfrmMain*) { return std::make_unique<TCommonDlgStandIn>(); };
  return p;
}
