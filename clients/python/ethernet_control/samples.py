"""Where the sample host application, its demo folder and the locustfile are.

The Debian package puts them in /usr/share/doc/ethernet-terminal-emulator/samples;
``make install PREFIX=P`` in P/share/doc/ethernet-terminal-emulator/samples. The
folder is found beside the prefix this package is installed under, else in the
source tree this package is imported from (``PYTHONPATH=clients/python``).

    from ethernet_control import samples
    samples.path("shopfloor_host.py")     # the sample host application
    samples.path("demo")                  # its demo folder: Config.ini, Codigo.txt, Balanca.txt

``python3 -m ethernet_control.samples`` prints the folder, for shell scripts.
"""

from __future__ import annotations

import os
from typing import List

__all__ = ["folder", "path"]

PACKAGE = "ethernet-terminal-emulator"
#: A file every samples folder holds, to tell it from a folder of the same name.
MARKER = "shopfloor_host.py"


def _candidates() -> List[str]:
    here = os.path.dirname(os.path.realpath(__file__))      # .../ethernet_control
    site = os.path.dirname(here)                            # .../dist-packages or clients/python
    found = []
    # Installed: PREFIX/lib/python3[.N]/{dist,site}-packages/ethernet_control
    lib = os.path.dirname(os.path.dirname(site))
    if os.path.basename(site) in ("dist-packages", "site-packages") and os.path.basename(lib) == "lib":
        found.append(os.path.join(os.path.dirname(lib), "share", "doc", PACKAGE, "samples"))
    # The source tree: clients/python/ethernet_control
    if os.path.basename(site) == "python" and os.path.basename(os.path.dirname(site)) == "clients":
        found.append(os.path.join(os.path.dirname(os.path.dirname(site)), "samples"))
    found += [os.path.join(prefix, "share", "doc", PACKAGE, "samples") for prefix in ("/usr", "/usr/local")]
    return found


def folder() -> str:
    """The samples folder; raises FileNotFoundError when there is none."""
    candidates = _candidates()
    for candidate in candidates:
        if os.path.isfile(os.path.join(candidate, MARKER)):
            return candidate
    raise FileNotFoundError("no samples folder of the ethernet terminal emulator in " + ", ".join(candidates))


def path(name: str) -> str:
    """The sample ``name`` (``"shopfloor_host.py"``, ``"demo"``, ``"locustfile.py"``)."""
    found = os.path.join(folder(), name)
    if not os.path.exists(found):
        raise FileNotFoundError(f"no sample {name!r} in {os.path.dirname(found)}")
    return found


if __name__ == "__main__":
    print(folder())
