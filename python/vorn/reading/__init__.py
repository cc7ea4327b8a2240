"""Reading trace files: files, identities, companions of precise times, archives, runs and the timeline."""

import os
import sys

# The native reader (vorn.reading._native) is built beside the package's
# sources in a source tree, under <build dir>/vorn/reading: the package's
# path takes in every vorn/reading directory on sys.path after its own.
# Installed, the extension sits in this directory.
__path__ += [
    found
    for found in (os.path.join(entry, "vorn", "reading") for entry in sys.path if isinstance(entry, str) and entry)
    if os.path.isdir(found) and os.path.realpath(found) not in map(os.path.realpath, __path__)
]
