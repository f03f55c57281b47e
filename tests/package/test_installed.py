"""The package installed, run as its service user on port 119, upgraded,
removed and purged in a scratch root (installed_cycle.py). Needs root and
unshare; skips, saying why, without them."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from installed_cycle import SKIP_STATUS

DEB = os.environ.get("MARROWBY_DEB", "")


class InstalledPackageTest(unittest.TestCase):
    def test_package_life_in_a_scratch_root(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to install into a scratch root; run as root")
        if not shutil.which("unshare"):
            self.skipTest("unshare (util-linux) is missing")
        self.assertTrue(os.path.isfile(DEB), "MARROWBY_DEB names no package: %r" % DEB)
        here = os.path.dirname(os.path.abspath(__file__))
        # Mounted on only inside the namespace: out here it stays empty, and
        # goes when the test ends.
        scratch = tempfile.mkdtemp(prefix="marrowby-root-")
        self.addCleanup(os.rmdir, scratch)
        # Private mounts, loopback and processes: the overlay, port 119 and
        # every process started inside end with the namespaces.
        r = subprocess.run(["unshare", "--mount", "--net", "--pid", "--fork", "--kill-child",
                            sys.executable, os.path.join(here, "installed_cycle.py"), DEB,
                            scratch],
                           cwd=here, stdin=subprocess.DEVNULL, capture_output=True, timeout=240)
        output = (r.stdout + r.stderr).decode(errors="replace")
        if r.returncode == SKIP_STATUS:
            self.skipTest(output.strip())
        self.assertEqual(r.returncode, 0, output)


if __name__ == "__main__":
    unittest.main()
