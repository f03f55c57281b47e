"""The Debian package made from this build directory (MARROWBY_DEB): what
lintian and systemd-analyze say of it, what a scratch root receives from it,
and the unit's command line run as the service manager would run it. Needs
no root; tools that are missing skip their test, saying so."""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "blackbox"))
from harness import free_port  # noqa: E402
from service_check import exercise_service, read_unit, unit_command, unit_environment  # noqa: E402

DEB = os.environ.get("MARROWBY_DEB", "")
ROOT = None  # the scratch root the package was unpacked into
UNIT = "lib/systemd/system/marrowby.service"


def setUpModule():
    """Unpacks the package with dpkg into an empty root of its own."""
    global ROOT
    if not os.path.isfile(DEB):
        raise AssertionError("MARROWBY_DEB names no package: %r" % DEB)
    ROOT = tempfile.mkdtemp(prefix="marrowby-deb-")
    admin = os.path.join(ROOT, "var/lib/dpkg")
    os.makedirs(os.path.join(admin, "info"))
    os.makedirs(os.path.join(admin, "updates"))
    open(os.path.join(admin, "status"), "w").close()
    # Unpacking runs no maintainer script (the package has no preinst); its
    # dependencies are this machine's, not the empty root's.
    subprocess.run(["dpkg", "--root=" + ROOT, "--force-not-root", "--force-depends", "--unpack",
                    DEB], check=True, capture_output=True)


def tearDownModule():
    shutil.rmtree(ROOT, ignore_errors=True)


def control(field):
    return subprocess.run(["dpkg-deb", "--field", DEB, field], check=True,
                          capture_output=True, text=True).stdout.strip()


class PackageTest(unittest.TestCase):
    def test_file_name_carries_version_and_architecture(self):
        self.assertEqual(os.path.basename(DEB), "marrowby_%s_%s.deb"
                         % (control("Version"), control("Architecture")))

    def test_files_land_where_debian_keeps_them(self):
        installed = sorted(os.path.relpath(p, ROOT) for p in glob.glob(ROOT + "/**", recursive=True)
                           if not os.path.isdir(p) and "/var/lib/dpkg/" not in p)
        self.assertEqual(installed, [
            "etc/marrowby/Marrowby.ini.dpkg-new",  # a conffile until configured
            UNIT,
            "usr/sbin/marrowby",
            "usr/share/doc/marrowby/changelog.gz",
            "usr/share/doc/marrowby/copyright",
            "usr/share/man/man8/marrowby.8.gz",
        ])
        self.assertTrue(os.path.isdir(os.path.join(ROOT, "var/lib/marrowby")))
        self.assertTrue(os.access(os.path.join(ROOT, "usr/sbin/marrowby"), os.X_OK))
        with open(os.path.join(ROOT, "var/lib/dpkg/status")) as f:
            self.assertIn("Conffiles:\n /etc/marrowby/Marrowby.ini ", f.read())

    def test_dependencies_come_from_the_libraries_and_hold_the_offscreen_platform(self):
        depends = [d.split()[0] for d in control("Depends").split(", ")]
        # libqt6gui6 holds the offscreen platform plugin; adduser makes the
        # service user; nothing of X or OpenGL is linked directly (libxxhash0,
        # the store's hash, is neither).
        for needed in ("adduser", "libc6", "libqt6core6", "libqt6gui6", "libqt6widgets6"):
            self.assertIn(needed, depends)
        self.assertEqual([d for d in depends if re.match(r"libx11|libxcb|libxext|libxrender|libxkb|libgl|libopengl|libegl", d)], [])

    @unittest.skipUnless(shutil.which("lintian"), "lintian is missing")
    def test_lintian_reports_no_errors(self):
        r = subprocess.run(["lintian", "--fail-on", "error", DEB], capture_output=True, text=True)
        errors = [line for line in r.stdout.splitlines() if line.startswith("E:")]
        self.assertEqual((r.returncode, errors), (0, []), r.stdout + r.stderr)


@unittest.skipUnless(shutil.which("systemd-analyze"), "systemd-analyze is missing")
class UnitTest(unittest.TestCase):
    def test_systemd_analyze_verify_accepts_the_unit(self):
        # The unit's own targets come from this machine, its executable and
        # manual page from the package.
        targets = os.path.join(ROOT, "lib/systemd/system")
        copied = [shutil.copy(t, targets) for t in glob.glob("/lib/systemd/system/*.target")]
        self.addCleanup(lambda: [os.remove(t) for t in copied])
        r = subprocess.run(["systemd-analyze", "verify", "--root=" + ROOT, "marrowby.service"],
                           env=dict(os.environ, MANPATH=os.path.join(ROOT, "usr/share/man")),
                           capture_output=True, text=True)
        # Warnings leave the status at 0, so the output must be empty too.
        self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""))

    def test_sandbox_keeps_the_exposure_low(self):
        r = subprocess.run(["systemd-analyze", "security", "--offline=yes", "--threshold=20",
                            os.path.join(ROOT, UNIT)], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

    def test_home_directory_is_the_one_writable_path(self):
        service = read_unit(os.path.join(ROOT, UNIT))["Service"]
        self.assertEqual(service["ProtectSystem"], ["strict"])
        self.assertEqual(service["ReadWritePaths"], [unit_environment(service)["MARROWBY_HOME"]])


class ServiceCommandLineTest(unittest.TestCase):
    def test_unit_command_line_reports_readiness_serves_and_stops(self):
        """ExecStart with the unit's environment as this user, the spool
        moved to a directory of the test's, laid out as postinst lays it,
        and the packaged settings on a free port."""
        service = read_unit(os.path.join(ROOT, UNIT))["Service"]
        argv = unit_command(service)
        argv[0] = os.path.join(ROOT, argv[0].lstrip("/"))
        env = unit_environment(service)
        work = tempfile.mkdtemp(prefix="marrowby-service-")
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        spool = os.path.join(work, "spool")
        os.mkdir(spool)
        port = free_port()
        with open(os.path.join(ROOT, "etc/marrowby/Marrowby.ini.dpkg-new")) as f:
            settings = re.sub(r"(?m)^PortNo\s+119$", "PortNo\t%d" % port, f.read())
        with open(os.path.join(work, "Marrowby.ini"), "w") as f:
            f.write(settings)
        os.symlink(os.path.join(work, "Marrowby.ini"), os.path.join(spool, "Marrowby.ini"))
        env["MARROWBY_HOME"] = spool
        # The packaged executable is stripped: a sanitizer build's leak
        # report could no longer be matched against its suppressions.
        env["ASAN_OPTIONS"] = "detect_leaks=0"
        exercise_service(self, argv, env, port, os.path.join(work, "notify"))
        self.assertTrue(os.path.isfile(os.path.join(spool, "local.general", "1")))


if __name__ == "__main__":
    unittest.main()
