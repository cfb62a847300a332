#include "GuiRun.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "Sandbox.h"

namespace {

const std::vector<uint8_t> kEnterLoaderFrame = {0x55, 0x88, 0xFF, 0x08, 0x00, 0x88, 0x00};

// The title of each kind of box: the application title ("Velmoraupgrade"
// for the executable "VelmoraUpgrade") or the toolkit's French captions.
std::string BoxTitle(const std::string& kind) {
  if (kind == "Information") return "Information";
  if (kind == "Warning") return "Avertissement";
  if (kind == "Error") return "Erreur";
  if (kind == "TransmissionError") return "Erreur de transmission";
  return "Velmoraupgrade";
}

bool TitleIs(const std::string& title, const std::string& want) {
  // The toolkit may append the application's display name after a dash.
  return title == want || title.rfind(want + " \xE2\x80\x94 ", 0) == 0;
}

std::string Elapsed(std::chrono::steady_clock::time_point since) {
  using namespace std::chrono;
  return std::to_string(duration_cast<milliseconds>(steady_clock::now() - since).count()) + " ms";
}

}  // namespace

TGuiRun::TGuiRun(std::string dir) : FDir(std::move(dir)), FLastActivity(TClock::now()) {
  mkdir(FDir.c_str(), 0755);
  FLog = std::fopen((FDir + "/harness.log").c_str(), "w");
}

TGuiRun::~TGuiRun() {
  StopProgram();
  if (FLog) std::fclose(FLog);
}

void TGuiRun::Log(const std::string& text) {
  if (!FLog) return;
  std::fprintf(FLog, "%s\n", text.c_str());
  std::fflush(FLog);
}

bool TGuiRun::StartX(std::string& error) {
  if (!FServer.Start(error)) return false;
  return FX.Open(FServer.Display(), error);
}

bool TGuiRun::StartProgram(const std::string& firmware, std::string& error, const std::string& traceName) {
  StopProgram();
  FLines.clear();
  FPending.clear();
  FTrace = std::make_unique<TTraceFollower>();
  const std::string trace = FDir + "/" + traceName;
  if (!FTrace->Open(trace, error)) return false;
  FProgram = std::make_unique<TProgramRun>();
  const std::string log = FDir + "/" + traceName.substr(0, traceName.rfind('.')) + ".out";
  Log("--- program started: " + traceName);
  FLastActivity = TClock::now();
  return FProgram->Start(KVZ_SYSTEM_PROGRAM, {"--trace", trace, firmware},
                         {{"DISPLAY", FServer.Display()},
                          {"QT_QPA_PLATFORM", "xcb"},
                          {"XDG_RUNTIME_DIR", kSandboxRuntimeDir},
                          {"KVZ_SYSTEM_STAGE", ""}},
                         log, error);
}

void TGuiRun::StopProgram() {
  if (FProgram) FProgram->Terminate();
}

bool TGuiRun::ProgramAlive() { return FProgram && FProgram->Alive(); }

void TGuiRun::TakeLines() {
  if (!FTrace) return;
  for (TTraceLine& l : FTrace->Take()) {
    FLastActivity = TClock::now();
    Log(l.Raw);
    FLines.push_back(l);
    if (OnLine) OnLine(FLines.back());
    if (l.Kind == TTraceLine::Message) {
      TPendingBox b;
      b.Line = l;
      b.Seen = TClock::now();
      b.Action = OnBox ? OnBox(l) : TBoxAction();
      FPending.push_back(b);
    }
  }
}

void TGuiRun::ServeTopBox() {
  TPendingBox& b = FPending.back();
  const auto now = TClock::now();
  if (b.Window == 0) {
    // The newest window with the box's title that no other box has taken.
    const std::string title = BoxTitle(b.Line.MsgKind);
    std::vector<TXWindow> mapped = FX.Mapped();
    for (auto it = mapped.rbegin(); it != mapped.rend() && b.Window == 0; ++it) {
      bool taken = false;
      for (const TPendingBox& o : FPending) taken = taken || o.Window == it->Id;
      if (!taken && TitleIs(it->Title, title)) b.Window = it->Id;
    }
    if (b.Window != 0) {
      b.Shown = now;
      Log("    box " + b.Line.Key + " shown after " + Elapsed(b.Seen));
    } else if (now - b.Seen > std::chrono::seconds(10)) {
      FProblems.push_back("the box " + b.Line.Key + " (" + b.Line.MsgKind +
                          ") announced in the trace was never shown");
      FPending.pop_back();
    }
    return;
  }
  if (!FX.IsMapped(b.Window)) {
    if (b.Presses == 0) FProblems.push_back("the box " + b.Line.Key + " closed before it was answered");
    Log("    box " + b.Line.Key + " closed");
    FLastActivity = now;
    FPending.pop_back();
    return;
  }
  if (b.Presses == 0) {
    const bool ready = !b.Action.When || b.Action.When() || now - b.Shown >= b.Action.MaxWait;
    if (!ready) return;
  } else if (now - b.LastPress < std::chrono::seconds(2)) {
    return;
  } else if (b.Presses >= 5) {
    FProblems.push_back("the box " + b.Line.Key + " does not close when " + b.Action.Key + " is pressed");
    FPending.pop_back();
    return;
  }
  Log("    box " + b.Line.Key + ": " + b.Action.Key + (b.Presses ? " (again)" : ""));
  FX.PressKey(b.Window, b.Action.Key);
  ++b.Presses;
  b.LastPress = now;
}

bool TGuiRun::Drive(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = TClock::now() + timeout;
  for (;;) {
    TakeLines();
    FX.Pump();
    if (!FPending.empty()) ServeTopBox();
    if (FPending.empty() && done()) return true;
    if (!ProgramAlive()) {
      TakeLines();
      if (FPending.empty() && done()) return true;
      FProblems.push_back("the program ended: " +
                          (FProgram ? FProgram->ExitText() : std::string("not started")));
      return false;
    }
    if (TClock::now() > deadline) return false;
    pollfd fds[2] = {{FTrace ? FTrace->Fd() : -1, POLLIN, 0}, {FX.Fd(), POLLIN, 0}};
    poll(fds, 2, 10);
  }
}

bool TGuiRun::Settle(std::chrono::milliseconds quiet, std::chrono::milliseconds timeout) {
  return Drive([&] { return TClock::now() - FLastActivity >= quiet; }, timeout);
}

unsigned long TGuiRun::MainWindow() {
  for (const TXWindow& w : FX.Mapped())
    if (w.Title.rfind("VelmoraUpgrade - ", 0) == 0) return w.Id;
  return 0;
}

bool TGuiRun::WaitMainWindow(std::chrono::milliseconds timeout) {
  return Drive([&] { return MainWindow() != 0; }, timeout);
}

bool TGuiRun::ClickMain(int x, int y) {
  const unsigned long w = MainWindow();
  return w != 0 && FX.Click(w, x, y);
}

bool TGuiRun::PressLoad(std::chrono::milliseconds timeout) {
  const auto deadline = TClock::now() + timeout;
  for (int attempt = 0; TClock::now() < deadline; ++attempt) {
    const unsigned long w = MainWindow();
    int width = 0, height = 0;
    if (w == 0 || !FX.Size(w, width, height)) {
      Drive([] { return false; }, std::chrono::milliseconds(200));
      continue;
    }
    // The main window's load button (pnlDatas at the window's origin), or,
    // when the upgrade window covers that panel, its "Charger" button at
    // the right end of its bottom bar. A click on the other spot lands on
    // an empty part of whichever window is shown.
    const bool upgradeButton = attempt % 2 == 1;
    const int x = upgradeButton ? width - 131 : 231 + 200;
    const int y = upgradeButton ? height - 41 - 20 : 304 + 30;
    Log(std::string("    click on ") + (upgradeButton ? "Charger" : "the main load button"));
    const size_t mark = FLines.size();
    const size_t boxes = Boxes().size();
    ClickMain(x, y);
    const bool started = Drive(
        [&] {
          return FindFrame(TTraceLine::ToTerminal, kEnterLoaderFrame, mark) >= 0 || Boxes().size() > boxes;
        },
        std::chrono::milliseconds(3000));
    if (started) return true;
    if (!ProgramAlive()) return false;
  }
  FProblems.push_back("no load could be started with the load buttons");
  return false;
}

int TGuiRun::MainButtonEnabled(const std::string& which) {
  const unsigned long w = MainWindow();
  if (w == 0) return -1;
  // btnLoad and btnPilote of pnlDatas (at the window's origin), inside
  // their frames.
  const int top = which == "load" ? 304 : 144;
  const long dark = FX.DarkPixels(w, 231 + 8, top + 8, 400 - 16, 60 - 16);
  Log("    " + which + " button: " + std::to_string(dark) + " dark pixels");
  // Dark all over: not painted yet (a loaded machine draws late).
  return dark < 0 || dark > (400 - 16) * (60 - 16) / 2 ? -1 : dark > 20 ? 1 : 0;
}

std::vector<std::string> TGuiRun::Boxes(size_t from) const {
  std::vector<std::string> out;
  for (size_t i = from; i < FLines.size(); ++i)
    if (FLines[i].Kind == TTraceLine::Message)
      out.push_back(FLines[i].Key == "-" ? FLines[i].Text : FLines[i].Key);
  return out;
}

int TGuiRun::CountFrames(TTraceLine::EKind kind, size_t from) const {
  int n = 0;
  for (size_t i = from; i < FLines.size(); ++i) n += FLines[i].Kind == kind;
  return n;
}

long TGuiRun::FindFrame(TTraceLine::EKind kind, const std::vector<uint8_t>& prefix, size_t from) const {
  for (size_t i = from; i < FLines.size(); ++i) {
    const TTraceLine& l = FLines[i];
    if (l.Kind == kind && l.Bytes.size() >= prefix.size() &&
        std::equal(prefix.begin(), prefix.end(), l.Bytes.begin()))
      return static_cast<long>(i);
  }
  return -1;
}

std::string TGuiRun::Describe(size_t from) const {
  std::ostringstream s;
  s << "trace (" << FDir << "):\n";
  for (size_t i = from; i < FLines.size(); ++i) {
    std::string raw = FLines[i].Raw;
    if (raw.size() > 100) raw = raw.substr(0, 97) + "...";
    s << "  " << raw << "\n";
  }
  for (const std::string& p : FProblems) s << "harness: " << p << "\n";
  return s.str();
}

void TGuiRun::Screenshot(const std::string& name) {
  const std::string cmd = "import -display " + FServer.Display() + " -window root '" + FDir + "/" + name +
                          ".png' >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) Log("    screenshot " + name + " failed");
}
