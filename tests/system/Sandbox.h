// The private world of the system test: the process leaves the host's mount
// and network namespaces and gets its own /dev, /sys, /run and /tmp, so that
// the emulated terminal (its device node, its sysfs view and its udev
// notices) is seen by the program under test and by nothing on the host.
//
// EnterSandbox() must run while the process has a single thread. On success
// the process (and every child it starts) sees:
//   /dev   a tmpfs holding copies of the host's character devices (no
//          hidraw node of the host), a fresh /dev/shm, and the emulated
//          nodes /dev/hidrawN as they come and go;
//   /sys   a tmpfs with the skeleton libudev walks (bus, class, dev/char,
//          devices) and the emulated devices' entries;
//   /run   a tmpfs with /run/udev/control (the mark that udev runs, without
//          which libudev's monitor stays deaf), the FUSE mount point of the
//          device nodes and a runtime directory for the X clients;
//   /tmp   a tmpfs (X server sockets and locks);
//   except that the directories named in `keep` (the test's own files: the
//   program, the shim, the artifacts) stay where they are, also when they
//   lie under /run or /tmp;
//   a network namespace of its own, where the udev notices are multicast.
#pragma once

#include <string>
#include <vector>

// Paths inside the sandbox.
extern const char* const kSandboxFuseDir;     // FUSE mount point of the hidraw nodes
extern const char* const kSandboxRuntimeDir;  // XDG_RUNTIME_DIR of the clients

// Empty when the sandbox is ready; otherwise why the system test cannot run
// here (not root, no FUSE, namespaces refused...).
std::string EnterSandbox(const std::vector<std::string>& keep);

// Why the tests cannot run here (empty once the sandbox is up), for their
// skip messages.
std::string& SandboxSkipReason();
