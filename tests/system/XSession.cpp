#include "XSession.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// X errors (a window that went away between two requests) are expected
// here; they must not end the harness.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

Display* Dpy(void* p) { return static_cast<Display*>(p); }

}  // namespace

// ---- server --------------------------------------------------------------------

TXServer::~TXServer() {
  if (FPid <= 0) return;
  kill(FPid, SIGTERM);
  int status;
  for (int i = 0; i < 300; ++i) {
    if (waitpid(FPid, &status, WNOHANG) == FPid) return;
    usleep(10000);
  }
  kill(FPid, SIGKILL);
  waitpid(FPid, &status, 0);
}

bool TXServer::Start(std::string& error) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    error = std::string("fork: ") + std::strerror(errno);
    return false;
  }
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(devnull, 1);
    dup2(devnull, 2);
    dup2(fds[1], 3);  // without close-on-exec
    execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset",
           static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  FPid = pid;
  std::string number;
  for (;;) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 15000) <= 0) break;
    char c;
    if (read(fds[0], &c, 1) != 1 || c == '\n') break;
    number.push_back(c);
  }
  close(fds[0]);
  if (number.empty()) {
    error = "Xvfb did not start (is the xvfb package installed?)";
    return false;
  }
  FDisplay = ":" + number;
  return true;
}

// ---- client --------------------------------------------------------------------

TXDriver::~TXDriver() {
  if (FDisplay) XCloseDisplay(Dpy(FDisplay));
}

bool TXDriver::Open(const std::string& display, std::string& error) {
  XSetErrorHandler(IgnoreXError);
  Display* d = XOpenDisplay(display.c_str());
  if (d == nullptr) {
    error = "cannot connect to the X server " + display;
    return false;
  }
  int ev, er, major, minor;
  if (!XTestQueryExtension(d, &ev, &er, &major, &minor)) {
    XCloseDisplay(d);
    error = "the X server has no XTEST extension";
    return false;
  }
  FDisplay = d;
  FRoot = DefaultRootWindow(d);
  XSelectInput(d, FRoot, SubstructureNotifyMask);
  // Windows mapped before we listened.
  Window root, parent, *children = nullptr;
  unsigned int n = 0;
  if (XQueryTree(d, FRoot, &root, &parent, &children, &n)) {
    for (unsigned int i = 0; i < n; ++i) {
      XWindowAttributes a;
      if (XGetWindowAttributes(d, children[i], &a) && a.map_state == IsViewable && !a.override_redirect)
        FMapped[children[i]] = ++FSeq;
    }
    if (children) XFree(children);
  }
  XSync(d, False);
  return true;
}

int TXDriver::Fd() const { return FDisplay ? ConnectionNumber(Dpy(FDisplay)) : -1; }

void TXDriver::Pump() {
  if (!FDisplay) return;
  Display* d = Dpy(FDisplay);
  while (XPending(d) > 0) {
    XEvent e;
    XNextEvent(d, &e);
    switch (e.type) {
      case MapNotify:
        if (e.xmap.event == FRoot && !e.xmap.override_redirect) FMapped[e.xmap.window] = ++FSeq;
        break;
      case UnmapNotify:
        if (e.xunmap.event == FRoot) FMapped.erase(e.xunmap.window);
        break;
      case DestroyNotify: FMapped.erase(e.xdestroywindow.window); break;
      default: break;
    }
  }
}

bool TXDriver::IsMapped(unsigned long id) const { return FMapped.count(id) > 0; }

std::string TXDriver::TitleOf(unsigned long id) {
  Display* d = Dpy(FDisplay);
  const Atom netName = XInternAtom(d, "_NET_WM_NAME", False);
  const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  std::string title;
  if (XGetWindowProperty(d, id, netName, 0, 1024, False, utf8, &type, &format, &count, &after, &data) ==
          Success &&
      data != nullptr && type == utf8) {
    title.assign(reinterpret_cast<char*>(data), count);
  }
  if (data) XFree(data);
  if (title.empty()) {
    char* name = nullptr;
    if (XFetchName(d, id, &name) && name) {
      title = name;
      XFree(name);
    }
  }
  return title;
}

std::vector<TXWindow> TXDriver::Mapped() {
  Pump();
  std::vector<TXWindow> out;
  for (const auto& kv : FMapped) out.push_back({kv.first, kv.second, TitleOf(kv.first)});
  std::sort(out.begin(), out.end(), [](const TXWindow& a, const TXWindow& b) { return a.MapSeq < b.MapSeq; });
  return out;
}

bool TXDriver::PressKey(unsigned long window, const std::string& keysym) {
  if (!FDisplay) return false;
  Display* d = Dpy(FDisplay);
  const KeySym sym = XStringToKeysym(keysym.c_str());
  const KeyCode code = XKeysymToKeycode(d, sym);
  if (sym == NoSymbol || code == 0) return false;
  XSetInputFocus(d, window, RevertToPointerRoot, CurrentTime);
  XSync(d, False);
  XTestFakeKeyEvent(d, code, True, CurrentTime);
  XTestFakeKeyEvent(d, code, False, CurrentTime);
  XSync(d, False);
  return true;
}

bool TXDriver::Click(unsigned long window, int x, int y) {
  if (!FDisplay) return false;
  Display* d = Dpy(FDisplay);
  int rx = 0, ry = 0;
  Window child;
  if (!XTranslateCoordinates(d, window, FRoot, x, y, &rx, &ry, &child)) return false;
  XSetInputFocus(d, window, RevertToPointerRoot, CurrentTime);
  XTestFakeMotionEvent(d, -1, rx, ry, CurrentTime);
  XSync(d, False);
  XTestFakeButtonEvent(d, 1, True, CurrentTime);
  XTestFakeButtonEvent(d, 1, False, CurrentTime);
  XSync(d, False);
  return true;
}

bool TXDriver::Size(unsigned long window, int& width, int& height) {
  XWindowAttributes a;
  if (!FDisplay || !XGetWindowAttributes(Dpy(FDisplay), window, &a)) return false;
  width = a.width;
  height = a.height;
  return true;
}

long TXDriver::DarkPixels(unsigned long window, int x, int y, int width, int height, int level) {
  if (!FDisplay) return -1;
  Display* d = Dpy(FDisplay);
  XImage* img = XGetImage(d, window, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height),
                          AllPlanes, ZPixmap);
  if (img == nullptr) return -1;
  long dark = 0;
  for (int j = 0; j < height; ++j) {
    for (int i = 0; i < width; ++i) {
      const unsigned long p = XGetPixel(img, i, j);
      const int r = static_cast<int>((p & img->red_mask) >> 16);
      const int g = static_cast<int>((p & img->green_mask) >> 8);
      const int b = static_cast<int>(p & img->blue_mask);
      dark += r < level && g < level && b < level;
    }
  }
  XDestroyImage(img);
  return dark;
}
