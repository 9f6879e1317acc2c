# SPDX-License-Identifier: MIT
"""Build hooks of the zodm wheel; the metadata is in pyproject.toml.

A source install (pip install ./python) is pure Python, for any platform,
and loads the system's libzodm.so.2. scripts/wheel first puts a target's
libzodm.so.2 into the package and names the platform with bdist_wheel's
--plat-name: the wheel is then a platform wheel (its files go to platlib,
Root-Is-Purelib false) that still suits any Python 3 (py3-none), since the
library is loaded by ctypes, not as an extension module. bdist_wheel would
otherwise tag it for the running interpreter only, refuse a platform that
is not the running one, and turn the "." between the tags of a platform
set into "_".
"""

import os

from setuptools import Distribution, setup

try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # no wheel package: nothing to build a wheel with
    bdist_wheel = None

LIBRARY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "zodm",
                       "libzodm.so.2")

options = {}
if bdist_wheel is not None and os.path.exists(LIBRARY):
    class DistributionWithLibrary(Distribution):
        """Native code inside: every file goes to platlib."""

        def has_ext_modules(self):
            return True

    class bdist_wheel_with_library(bdist_wheel):
        def get_tag(self):
            if not self.plat_name_supplied:
                raise SystemExit("zodm: a wheel with the library needs "
                                 "--plat-name (see scripts/wheel)")
            return "py3", "none", self.plat_name

    options = {"distclass": DistributionWithLibrary,
               "cmdclass": {"bdist_wheel": bdist_wheel_with_library}}

setup(**options)
