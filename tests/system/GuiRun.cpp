#include "GuiRun.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include "Frames.h"
#include "Sandbox.h"

namespace {

using TClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const TBytes kEnterLoaderFrame = BuildFrame(LoaderPayload(true), kCmdLoader);

// The title of each kind of box: the application title ("Velmoraupgrade"
// for the executable "VelmoraUpgrade") or the toolkit's French captions.
std::string BoxTitle(const std::string& kind) {
  if (kind == "Warning") return "Avertissement";
  if (kind == "Error") return "Erreur";
  if (kind == "TransmissionError") return "Erreur de transmission";
  return kind == "Information" ? kind : "Velmoraupgrade";
}

bool TitleIs(const std::string& title, const std::string& want) {
  // The toolkit may append the application's display name after a dash.
  return title == want || title.rfind(want + " \xE2\x80\x94 ", 0) == 0;
}

TTraceLine ParseTraceLine(const std::string& line) {
  TTraceLine t;
  // Date and time stamp: two fields.
  const size_t pos = line.find(' ', line.find(' ') + 1);
  t.Raw = pos == std::string::npos ? line : line.substr(pos + 1);
  std::istringstream in(t.Raw);
  std::string mark;
  in >> mark;
  if (mark == "TERM<" || mark == "TERM>") {
    t.Kind = mark == "TERM<" ? TTraceLine::ToTerminal : TTraceLine::FromTerminal;
    for (std::string hex; in >> hex;) t.Bytes.push_back(static_cast<uint8_t>(std::stoul(hex, nullptr, 16)));
  } else if (mark == "MSG") {
    t.Kind = TTraceLine::Message;
    in >> t.MsgKind >> t.Key >> std::ws;
    std::getline(in, t.Text);
  }
  return t;
}

// A child process with the harness's environment plus `env`, its output
// into `logFile`, killed when the harness dies; -1 when it cannot start.
pid_t Spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            const std::string& logFile, int keepFd = -1) {
  std::vector<std::string> envStore;
  for (const auto& kv : env) envStore.push_back(kv.first + "=" + kv.second);
  for (char** e = environ; *e; ++e)
    if (env.count(std::string(*e, std::strcspn(*e, "="))) == 0) envStore.emplace_back(*e);
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  for (auto& e : envStore) envp.push_back(e.data());
  args.push_back(nullptr);
  envp.push_back(nullptr);
  const int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(log, 1);
    dup2(log, 2);
    if (keepFd >= 0) dup2(keepFd, 3);  // without close-on-exec
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
  }
  if (log >= 0) close(log);
  return pid;
}

void Kill(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

// X errors (a window that went away between two requests) are expected
// here; they must not end the harness.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

}  // namespace

struct TGuiRun::TPendingBox {
  TTraceLine Line;
  TBoxAction Action;
  TClock::time_point Seen;
  Window Id = 0;
  TClock::time_point Shown;
  int Presses = 0;
  TClock::time_point LastPress;
};

struct TGuiRun::TSession {
  ~TSession() {
    Kill(Program);
    if (Trace >= 0) close(Trace);
    if (Inotify >= 0) close(Inotify);
    if (X) XCloseDisplay(X);
    Kill(Server);
  }

  // ---- the X server and its client --------------------------------------------

  // Takes the events that wait: windows mapped, unmapped, destroyed.
  void Pump() {
    while (XPending(X) > 0) {
      XEvent e;
      XNextEvent(X, &e);
      if (e.type == MapNotify && e.xmap.event == Root && !e.xmap.override_redirect)
        Mapped.push_back(e.xmap.window);
      else if ((e.type == UnmapNotify && e.xunmap.event == Root) || e.type == DestroyNotify)
        Mapped.erase(std::remove(Mapped.begin(), Mapped.end(), e.xunmap.window), Mapped.end());
    }
  }

  std::string Title(Window id) {
    const Atom utf8 = XInternAtom(X, "UTF8_STRING", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(X, id, XInternAtom(X, "_NET_WM_NAME", False), 0, 1024, False, utf8, &type, &format,
                           &count, &after, &data) == Success &&
        data != nullptr && type == utf8)
      title.assign(reinterpret_cast<char*>(data), count);
    if (data) XFree(data);
    return title;
  }

  // The top-level windows mapped now with their titles, newest first.
  std::vector<std::pair<Window, std::string>> Windows() {
    Pump();
    std::vector<std::pair<Window, std::string>> out;
    for (auto it = Mapped.rbegin(); it != Mapped.rend(); ++it) out.emplace_back(*it, Title(*it));
    return out;
  }

  // Gives `window` the keyboard focus and presses and releases the key (an
  // X keysym name: "Return", "Escape", "space").
  void PressKey(Window window, const std::string& keysym) {
    const KeyCode code = XKeysymToKeycode(X, XStringToKeysym(keysym.c_str()));
    XSetInputFocus(X, window, RevertToPointerRoot, CurrentTime);
    XSync(X, False);
    XTestFakeKeyEvent(X, code, True, CurrentTime);
    XTestFakeKeyEvent(X, code, False, CurrentTime);
    XSync(X, False);
  }

  // Moves the pointer to (x, y) of `window` and clicks the left button.
  void Click(Window window, int x, int y) {
    int rx = 0, ry = 0;
    Window child;
    if (!XTranslateCoordinates(X, window, Root, x, y, &rx, &ry, &child)) return;
    XSetInputFocus(X, window, RevertToPointerRoot, CurrentTime);
    XTestFakeMotionEvent(X, -1, rx, ry, CurrentTime);
    XSync(X, False);
    XTestFakeButtonEvent(X, 1, True, CurrentTime);
    XTestFakeButtonEvent(X, 1, False, CurrentTime);
    XSync(X, False);
  }

  // Pixels of the rectangle (window coordinates) darker than 0x50 in all
  // three colours: the text of an enabled button is black, a disabled one's
  // grey. -1 when the rectangle cannot be read.
  long DarkPixels(Window window, int x, int y, int width, int height) {
    XImage* img = XGetImage(X, window, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height),
                            AllPlanes, ZPixmap);
    if (img == nullptr) return -1;
    long dark = 0;
    for (int j = 0; j < height; ++j) {
      for (int i = 0; i < width; ++i) {
        const unsigned long p = XGetPixel(img, i, j);
        dark += ((p & img->red_mask) >> 16) < 0x50 && ((p & img->green_mask) >> 8) < 0x50 &&
                (p & img->blue_mask) < 0x50;
      }
    }
    XDestroyImage(img);
    return dark;
  }

  // ---- the program and its trace -------------------------------------------------

  // The complete lines written since the last call.
  std::vector<TTraceLine> TakeTrace() {
    char buf[4096];
    while (read(Inotify, buf, sizeof buf) > 0) {
    }
    for (ssize_t n; (n = read(Trace, buf, sizeof buf)) > 0;) Partial.append(buf, static_cast<size_t>(n));
    std::vector<TTraceLine> out;
    size_t start = 0;
    for (size_t nl; (nl = Partial.find('\n', start)) != std::string::npos; start = nl + 1)
      out.push_back(ParseTraceLine(Partial.substr(start, nl - start)));
    Partial.erase(0, start);
    return out;
  }

  // False once the program has ended (how is then in Exit).
  bool Alive() {
    int status = 0;
    if (Program <= 0 || waitpid(Program, &status, WNOHANG) != Program) return Program > 0;
    Program = -1;
    Exit = WIFEXITED(status) ? "exited with code " + std::to_string(WEXITSTATUS(status))
                             : std::string("killed by signal ") + strsignal(WTERMSIG(status));
    return false;
  }

  pid_t Server = -1;
  std::string DisplayName;
  Display* X = nullptr;
  Window Root = 0;
  std::vector<Window> Mapped;  // top-level windows, in the order they were mapped
  pid_t Program = -1;
  std::string Exit = "not started";
  int Trace = -1;    // the trace file, read as it grows
  int Inotify = -1;  // readable when it changed
  std::string Partial;
};

TGuiRun::TGuiRun(std::string dir) : FDir(std::move(dir)), F(new TSession), FLastActivity(TClock::now()) {
  mkdir(FDir.c_str(), 0755);
}

TGuiRun::~TGuiRun() = default;

void TGuiRun::Log(const std::string& text) {
  if (std::FILE* f = std::fopen((FDir + "/harness.log").c_str(), "a")) {
    std::fprintf(f, "%s\n", text.c_str());
    std::fclose(f);
  }
}

std::string TGuiRun::StartX() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::string("pipe: ") + std::strerror(errno);
  F->Server =
      Spawn({"Xvfb", "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset"},
            {{"LD_PRELOAD", ""}}, FDir + "/xvfb.out", fds[1]);  // the server needs no shim
  close(fds[1]);
  std::string number;
  pollfd p{fds[0], POLLIN, 0};
  for (char c; poll(&p, 1, 15000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n';) number.push_back(c);
  close(fds[0]);
  F->DisplayName = ":" + number;
  XSetErrorHandler(IgnoreXError);
  int ev, er, major, minor;
  if (number.empty() || (F->X = XOpenDisplay(F->DisplayName.c_str())) == nullptr)
    return "Xvfb did not start (is the xvfb package installed?)";
  if (!XTestQueryExtension(F->X, &ev, &er, &major, &minor)) return "the X server has no XTEST extension";
  F->Root = DefaultRootWindow(F->X);
  XSelectInput(F->X, F->Root, SubstructureNotifyMask);
  XSync(F->X, False);
  return "";
}

std::string TGuiRun::StartProgram(const std::string& firmware, const std::string& traceName) {
  StopProgram();
  FLines.clear();
  FPending.clear();
  const std::string trace = FDir + "/" + traceName;
  if (F->Trace >= 0) close(F->Trace);
  if (F->Inotify < 0) F->Inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  F->Trace = open(trace.c_str(), O_RDONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  F->Partial.clear();
  if (F->Trace < 0 || inotify_add_watch(F->Inotify, trace.c_str(), IN_MODIFY) < 0)
    return "cannot follow " + trace + ": " + std::strerror(errno);
  Log("--- program started: " + traceName);
  FLastActivity = TClock::now();
  F->Program = Spawn({KVZ_SYSTEM_PROGRAM, "--trace", trace, firmware},
                     {{"DISPLAY", F->DisplayName},
                      {"QT_QPA_PLATFORM", "xcb"},
                      {"XDG_RUNTIME_DIR", kSandboxRuntimeDir},
                      {"KVZ_SYSTEM_STAGE", ""}},
                     FDir + "/" + traceName.substr(0, traceName.rfind('.')) + ".out");
  return F->Program > 0 ? "" : std::string("fork: ") + std::strerror(errno);
}

void TGuiRun::StopProgram() {
  if (F->Program > 0) F->Exit = "stopped by the harness";
  Kill(F->Program);
}

bool TGuiRun::ProgramAlive() { return F->Alive(); }

void TGuiRun::TakeLines() {
  for (TTraceLine& l : F->TakeTrace()) {
    FLastActivity = TClock::now();
    Log(l.Raw);
    FLines.push_back(l);
    if (OnLine) OnLine(FLines.back());
    if (l.Kind == TTraceLine::Message)
      FPending.push_back({l, OnBox ? OnBox(l) : TBoxAction(), TClock::now(), 0, {}, 0, {}});
  }
}

void TGuiRun::ServeTopBox() {
  TPendingBox& b = FPending.back();
  const auto now = TClock::now();
  if (b.Id == 0) {
    // The newest window with the box's title that no other box has taken.
    for (const auto& [id, title] : F->Windows()) {
      const bool taken =
          std::any_of(FPending.begin(), FPending.end(), [&](const auto& o) { return o.Id == id; });
      if (!taken && TitleIs(title, BoxTitle(b.Line.MsgKind))) {
        b.Id = id;
        b.Shown = now;
        Log("    box " + b.Line.Key + " shown after " + std::to_string((now - b.Seen) / 1ms) + " ms");
        return;
      }
    }
    if (now - b.Seen > 10s) {
      FProblems.push_back("the box " + b.Line.Key + " (" + b.Line.MsgKind +
                          ") announced in the trace was never shown");
      FPending.pop_back();
    }
    return;
  }
  if (std::count(F->Mapped.begin(), F->Mapped.end(), b.Id) == 0) {
    if (b.Presses == 0) FProblems.push_back("the box " + b.Line.Key + " closed before it was answered");
    Log("    box " + b.Line.Key + " closed");
    FLastActivity = now;
    FPending.pop_back();
    return;
  }
  if (b.Presses == 0 ? b.Action.When && !b.Action.When() && now - b.Shown < b.Action.MaxWait
                     : now - b.LastPress < 2s)
    return;
  if (b.Presses >= 5) {
    FProblems.push_back("the box " + b.Line.Key + " does not close when Return is pressed");
    FPending.pop_back();
    return;
  }
  Log("    box " + b.Line.Key + ": Return" + (b.Presses ? " (again)" : ""));
  F->PressKey(b.Id, "Return");
  ++b.Presses;
  b.LastPress = now;
}

bool TGuiRun::Drive(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = TClock::now() + timeout;
  for (;;) {
    TakeLines();
    F->Pump();
    if (!FPending.empty()) ServeTopBox();
    if (FPending.empty() && done()) return true;
    if (!ProgramAlive()) {
      TakeLines();
      if (FPending.empty() && done()) return true;
      FProblems.push_back("the program ended: " + F->Exit);
      return false;
    }
    if (TClock::now() > deadline) return false;
    pollfd fds[2] = {{F->Inotify, POLLIN, 0}, {ConnectionNumber(F->X), POLLIN, 0}};
    poll(fds, 2, 10);
  }
}

bool TGuiRun::Settle(std::chrono::milliseconds quiet, std::chrono::milliseconds timeout) {
  return Drive([&] { return TClock::now() - FLastActivity >= quiet; }, timeout);
}

unsigned long TGuiRun::MainWindow() {
  for (const auto& [id, title] : F->Windows())
    if (title.rfind("VelmoraUpgrade - ", 0) == 0) return id;
  return 0;
}

bool TGuiRun::WaitMainWindow(std::chrono::milliseconds timeout) {
  return Drive([&] { return MainWindow() != 0; }, timeout);
}

bool TGuiRun::PressLoad(std::chrono::milliseconds timeout) {
  const auto deadline = TClock::now() + timeout;
  for (int attempt = 0; TClock::now() < deadline; ++attempt) {
    const Window w = MainWindow();
    XWindowAttributes a;
    if (w == 0 || !XGetWindowAttributes(F->X, w, &a)) {
      Drive([] { return false; }, 200ms);
      continue;
    }
    // The main window's load button (pnlDatas at the window's origin), or,
    // when the upgrade window covers that panel, its "Charger" button at
    // the right end of its bottom bar. A click on the other spot lands on
    // an empty part of whichever window is shown.
    const bool upgradeButton = attempt % 2 == 1;
    Log(std::string("    click on ") + (upgradeButton ? "Charger" : "the main load button"));
    const size_t mark = FLines.size(), boxes = Boxes().size();
    F->Click(w, upgradeButton ? a.width - 131 : 231 + 200, upgradeButton ? a.height - 41 - 20 : 304 + 30);
    if (Drive(
            [&] {
              return CountFrames(TTraceLine::ToTerminal, mark, kEnterLoaderFrame) > 0 ||
                     Boxes().size() > boxes;
            },
            3s))
      return true;
    if (!ProgramAlive()) return false;
  }
  FProblems.push_back("no load could be started with the load buttons");
  return false;
}

int TGuiRun::MainButtonEnabled(const std::string& which) {
  const Window w = MainWindow();
  if (w == 0) return -1;
  // btnLoad and btnPilote of pnlDatas (at the window's origin), inside
  // their frames.
  const long dark = F->DarkPixels(w, 231 + 8, (which == "load" ? 304 : 144) + 8, 400 - 16, 60 - 16);
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

int TGuiRun::CountFrames(TTraceLine::EKind kind, size_t from, const std::vector<uint8_t>& prefix) const {
  return static_cast<int>(std::count_if(FLines.begin() + static_cast<long>(std::min(from, FLines.size())),
                                        FLines.end(), [&](const TTraceLine& l) {
                                          return l.Kind == kind && l.Bytes.size() >= prefix.size() &&
                                                 std::equal(prefix.begin(), prefix.end(), l.Bytes.begin());
                                        }));
}

std::string TGuiRun::Describe(size_t from) const {
  std::ostringstream s;
  s << "trace (" << FDir << "):\n";
  for (size_t i = from; i < FLines.size(); ++i)
    s << "  " << (FLines[i].Raw.size() > 100 ? FLines[i].Raw.substr(0, 97) + "..." : FLines[i].Raw) << "\n";
  for (const std::string& p : FProblems) s << "harness: " << p << "\n";
  return s.str();
}

void TGuiRun::Screenshot(const std::string& name) {
  const std::string cmd =
      "import -display " + F->DisplayName + " -window root '" + FDir + "/" + name + ".png' >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) Log("    screenshot " + name + " failed");
}
