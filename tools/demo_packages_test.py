# SPDX-License-Identifier: MIT
"""scripts/demo installs what the build asks for:

    demo_packages_test.py SOURCE_DIR

Every Debian package that the build's warnings or the tools' refusals tell
a user to install ("install libpcap-dev") must be in scripts/demo's list,
so that the demo's build has every part that the guide's examples use."""

import pathlib
import re
import sys

source = pathlib.Path(sys.argv[1])
demo = (source / "scripts" / "demo").read_text()
listed = set(re.search(r"^packages=\((.*?)\)", demo, re.M | re.S)
             .group(1).split())
named = {}
files = [*source.glob("CMakeLists.txt"), *source.glob("tools/**/CMakeLists.txt"),
         *source.glob("tools/**/*.cpp")]
for path in files:
    text = path.read_text()
    # Strings split over lines ("... (install " "libpcap-dev, ...") join.
    joined = re.sub(r'"\s+"', "", text)
    for package in re.findall(r"install ([a-z0-9][a-z0-9.+-]*?-dev)\b", joined):
        named.setdefault(package, path.relative_to(source))
missing = {p: f for p, f in named.items() if p not in listed}
for package, path in sorted(missing.items()):
    print(f"FAIL: {path} says to install {package}, which scripts/demo "
          "does not install")
if not named:
    sys.exit("FAIL: no package named anywhere: the search is broken")
print(f"named: {', '.join(sorted(named))}; {len(missing)} missing from scripts/demo")
sys.exit(1 if missing else 0)
