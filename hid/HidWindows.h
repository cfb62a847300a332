// Windows backend: the device-setup service (setupapi.dll) lists the HID
// interfaces, the HID service (hid.dll) identifies them, plain file handles
// carry the reports. Both services are bound at run time, every entry point
// or none: the device-setup service first, then the HID service; when an
// entry point of either is missing, both are let go and the platform lists
// nothing.
//
// Handles
//   EHidAccess::None       CreateFileA without access (identification only)
//   EHidAccess::ReadWrite  read and write access, synchronous: WriteFile,
//                          flush, attributes, product string, capabilities
//   EHidAccess::Read       read access, overlapped: input reports
//   Read() starts one ReadFileEx whose completion routine does nothing and
//   waits for it in alertable SleepEx slices on the calling thread. A read
//   that is still pending when the slice ends stays pending and is picked up
//   by the next Read(). CancelRead() cancels the pending read (CancelIoEx)
//   from any thread. A handle destroyed with a read pending cancels it and
//   waits until the system has let go of the read's buffer.
//
// Change notices come through the application's main window
// (WM_DEVICECHANGE with DBT_DEVNODES_CHANGED): the GUI layer asks the
// controller for one pass per notice. ChangeSource() is therefore null.
//
// Device identity: the device-instance handle (DevInst) of the device node.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <setupapi.h>

#include <memory>

#include "HidPlatform.h"

// The entry points the backend uses, with the services' own signatures. The
// preparsed data is opaque.
struct THidWinApi {
  // setupapi.dll
  HDEVINFO(WINAPI* SetupDiGetClassDevsA)(const GUID*, PCSTR, HWND, DWORD) = nullptr;
  BOOL(WINAPI* SetupDiEnumDeviceInterfaces)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                            PSP_DEVICE_INTERFACE_DATA) = nullptr;
  BOOL(WINAPI* SetupDiGetDeviceInterfaceDetailA)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, PDWORD,
                                                 PSP_DEVINFO_DATA) = nullptr;
  BOOL(WINAPI* SetupDiGetDeviceRegistryPropertyA)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD,
                                                  PDWORD) = nullptr;
  BOOL(WINAPI* SetupDiDestroyDeviceInfoList)(HDEVINFO) = nullptr;
  // hid.dll
  void(WINAPI* HidD_GetHidGuid)(GUID*) = nullptr;
  BOOLEAN(WINAPI* HidD_GetAttributes)(HANDLE, void* attributes) = nullptr;  // 12-byte record
  BOOLEAN(WINAPI* HidD_GetProductString)(HANDLE, void* buffer, ULONG length) = nullptr;
  BOOLEAN(WINAPI* HidD_GetPreparsedData)(HANDLE, void** preparsed) = nullptr;
  BOOLEAN(WINAPI* HidD_FreePreparsedData)(void* preparsed) = nullptr;
  LONG(WINAPI* HidP_GetCaps)(void* preparsed, void* caps) = nullptr;  // 64-byte record
  BOOLEAN(WINAPI* HidD_FlushQueue)(HANDLE) = nullptr;
  BOOLEAN(WINAPI* HidD_SetNumInputBuffers)(HANDLE, ULONG) = nullptr;
  BOOLEAN(WINAPI* HidD_GetNumInputBuffers)(HANDLE, PULONG) = nullptr;

  bool SetupComplete() const;
  bool HidComplete() const;
  bool Complete() const { return SetupComplete() && HidComplete(); }
};

// HidP_GetCaps' success code.
constexpr LONG kHidPStatusSuccess = 0x00110000;

// The two services, bound or not. Keeps the modules loaded while any
// platform or handle uses them.
class THidWinServices {
 public:
  // Loads the two modules by name and looks every entry point up.
  static std::shared_ptr<const THidWinServices> Bind(const char* setupModule = "setupapi.dll",
                                                     const char* hidModule = "hid.dll");
  // Entry points given by the caller (tests); bound only when complete.
  static std::shared_ptr<const THidWinServices> FromTable(const THidWinApi& api);
  ~THidWinServices();
  THidWinServices(const THidWinServices&) = delete;
  THidWinServices& operator=(const THidWinServices&) = delete;

  bool Bound() const { return FBound; }
  const THidWinApi& Api() const { return FApi; }

 private:
  THidWinServices() = default;
  THidWinApi FApi;
  HMODULE FSetup = nullptr;
  HMODULE FHid = nullptr;
  bool FBound = false;
};

// The backend over the given services (null: bound from the system's
// modules).
std::shared_ptr<IHidPlatform> CreateWindowsHidPlatform(std::shared_ptr<const THidWinServices> services = nullptr);

// Whether a window message means that some device node was added or
// removed: WM_DEVICECHANGE (0x219) with DBT_DEVNODES_CHANGED (7).
bool IsDevNodesChangedMessage(UINT message, WPARAM wParam);

#endif  // _WIN32
