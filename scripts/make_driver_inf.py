#!/usr/bin/env python3
"""Writes resources/driver/Termkvz.inf: the terminal's INF text, Windows-1252,
lines ended by CR LF, one empty line after every section and banner.

Usage: make_driver_inf.py [output]   (default: resources/driver/Termkvz.inf)
"""
import os
import sys

EXPECTED_SIZE = 1634

DASHES = ";" + "-" * 78


def banner(title):
    return [DASHES, ";  " + title, DASHES]


BLOCKS = [
    ["[Version]", "Signature=$CHICAGO$", "Class=USB", "Provider=%MFGNAME%"],
    ["[Manufacturer]", "%MFGNAME%=DeviceList"],
    ["[DestinationDirs]", "DefaultDestDir=10,System32\\Drivers"],
    ["[SourceDisksFiles]", "termkvz.sys=1", "generic.sys=1"],
    ["[SourceDisksNames]", "1=%INSTDISK%,,,"],
    ["[DeviceList]", "%DESCRIPTION%=DriverInstall, USB\\VID_1072&PID_0003"],
    banner("Windows 2000 Sections"),
    ["[DriverInstall.NT]", "CopyFiles=DriverCopyFiles"],
    ["[DriverCopyFiles]", "10720003.hex,,,2", "termkvz.sys,,,2", "generic.sys,,,2"],
    ["[DriverInstall.NT.Services]", "AddService=termkvz,2,DriverService"],
    ["[DriverService]", "ServiceType=1", "StartType=3", "ErrorControl=1",
     "ServiceBinary=%10%\\system32\\drivers\\termkvz.sys"],
    ["[DriverInstall.nt.hw]", "AddReg=DriverHwAddReg"],
    ["[DriverHwAddReg]", "HKR,,FriendlyName,,%FRIENDLYNAME%"],
    banner("Windows 98 Sections"),
    ["[DriverInstall]", "AddReg=DriverAddReg", "CopyFiles=DriverCopyFiles"],
    ["[DriverAddReg]", "HKR,,DevLoader,,*ntkern", "HKR,,NTMPDriver,,termkvz.sys"],
    ["[DriverInstall.HW]", "AddReg=DriverHwAddReg"],
    banner("String Definitions"),
    ["[Strings]",
     'MFGNAME="KVZ-DORNAVE"',
     'INSTDISK="R\u00e9pertoire d\'installation du Terminal"',
     'DESCRIPTION="Terminal KVZ-DORNAVE"',
     'FRIENDLYNAME="Terminal KVZ-DORNAVE"'],
]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        here, "..", "resources", "driver", "Termkvz.inf")
    lines = []
    for block in BLOCKS:
        lines += block + [""]
    data = "".join(line + "\r\n" for line in lines).encode("cp1252")
    if len(data) != EXPECTED_SIZE:
        sys.exit("Termkvz.inf: %d bytes instead of %d" % (len(data), EXPECTED_SIZE))
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
