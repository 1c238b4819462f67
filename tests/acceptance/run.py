# SPDX-License-Identifier: Apache-2.0
"""Runs acceptance test modules inside a private network namespace made for
the run (unshare), so no traffic ever leaves this machine's namespaces."""

import os
import sys
import unittest

here = os.path.dirname(os.path.abspath(__file__))


def main():
    if os.environ.get("KELD4_IN_NETNS") != "1":
        flags = ["-n"] if os.geteuid() == 0 else ["-r", "-n"]
        os.environ["KELD4_IN_NETNS"] = "1"
        os.execvp("unshare", ["unshare", *flags, sys.executable, *sys.argv])
    sys.path.insert(0, here)
    import harness

    harness.setup_network()
    names = sys.argv[1:] or [f[:-3] for f in sorted(os.listdir(here)) if f.startswith("test_") and f.endswith(".py")]
    suite = unittest.defaultTestLoader.loadTestsFromNames(names)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
