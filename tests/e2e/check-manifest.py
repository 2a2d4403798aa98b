#!/usr/bin/env python3
"""Reads the application manifest (RT_MANIFEST, id 1) out of a Windows
executable's resources (with icoutils' wrestool), parses it as XML and checks
its entries.

    check-manifest.py gui|console EXE...
"""
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

RT_MANIFEST = 24
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
WS2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
WS2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
WS2019 = "{http://schemas.microsoft.com/SMI/2019/WindowsSettings}"
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # Windows 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # Windows 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # Windows 10 and 11
}


def check(kind, path):
    def wrestool(*args):
        return subprocess.run(["wrestool", "--type=%d" % RT_MANIFEST] + list(args) + [path],
                              check=True, capture_output=True).stdout

    names = re.findall(rb"--name=(\S+)", wrestool("-l"))
    if names != [b"1"]:
        return ["manifest resources %s, not just id 1" % names]
    root = ET.fromstring(wrestool("-x", "--raw", "--name=1"))
    settings = root.find(ASM_V3 + "application/" + ASM_V3 + "windowsSettings")

    def setting(ns, name):
        element = settings.find(ns + name) if settings is not None else None
        return element.text.strip() if element is not None and element.text else None

    level = root.find(".//" + ASM_V3 + "requestedExecutionLevel")
    controls = [
        a.attrib for a in root.iter(ASM_V1 + "assemblyIdentity")
        if a.get("name") == "Microsoft.Windows.Common-Controls"
    ]
    want_controls = [{"type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
                      "processorArchitecture": "*", "publicKeyToken": "6595b64144ccf1df", "language": "*"}]
    gui = kind == "gui"
    got = {
        "root": root.tag,
        "execution level": level.get("level") if level is not None else None,
        "supported OS": {e.get("Id") for e in root.iter(COMPAT + "supportedOS")},
        "activeCodePage": setting(WS2019, "activeCodePage"),
        "longPathAware": setting(WS2016, "longPathAware"),
        "dpiAware": setting(WS2005, "dpiAware"),
        "dpiAwareness": setting(WS2016, "dpiAwareness"),
        "common controls": controls,
    }
    want = {
        "root": ASM_V1 + "assembly",
        "execution level": "asInvoker",
        "supported OS": SUPPORTED_OS,
        "activeCodePage": "UTF-8",
        "longPathAware": "true",
        "dpiAware": "true/pm" if gui else None,
        "dpiAwareness": "PerMonitorV2, PerMonitor" if gui else None,
        "common controls": want_controls if gui else [],
    }
    return ["%s: %r, not %r" % (key, got[key], want[key]) for key in want if got[key] != want[key]]


def main():
    kind, paths = sys.argv[1], sys.argv[2:]
    failed = False
    for path in paths:
        try:
            problems = check(kind, path)
        except (subprocess.CalledProcessError, ET.ParseError, OSError) as e:
            problems = [str(e)]
        for problem in problems:
            print("%s: %s" % (path, problem))
        print("%s: manifest %s" % (path, "wrong" if problems else "ok"))
        failed = failed or bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
