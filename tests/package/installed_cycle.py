"""The package's whole life in a scratch root, run by test_installed.py inside
fresh mount, network and process namespaces as root:

    installed_cycle.py PACKAGE.deb

The scratch root is a copy-on-write overlay of this machine's root file
system on a tmpfs, so the maintainer scripts run for real (the service user,
the spool, the unit enabled) and nothing of it reaches the machine. Exits
with SKIP_STATUS, the reason on stdout, where the system refuses the overlay.
"""
import grp
import os
import pwd
import shutil
import stat
import subprocess
import sys
import unittest

from service_check import exercise_service, read_unit, unit_command, unit_environment

SKIP_STATUS = 77
UNIT = "/lib/systemd/system/marrowby.service"
SPOOL = "/var/lib/marrowby"
SETTINGS = "/etc/marrowby/Marrowby.ini"


def run(*argv, env=None):
    """Runs a command; fails with its output when it fails."""
    r = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, env=env)
    if r.returncode != 0:
        raise AssertionError("%s failed (%d)\nstdout=%s\nstderr=%s"
                             % (" ".join(argv), r.returncode, r.stdout.decode(errors="replace"),
                                r.stderr.decode(errors="replace")))
    return r.stdout.decode()


def enter_scratch_root(deb, scratch):
    """Mounts the overlay on the empty directory `scratch`, and the file
    systems a system has at run time, puts the package in its /tmp and
    changes root into it."""
    run("mount", "-t", "tmpfs", "tmpfs", scratch)
    for name in ("upper", "work", "root"):
        os.mkdir(os.path.join(scratch, name))
    root = os.path.join(scratch, "root")
    r = subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                        "lowerdir=/,upperdir=%s/upper,workdir=%s/work" % (scratch, scratch),
                        root], capture_output=True)
    if r.returncode != 0:
        print("no overlay file system here: " + r.stderr.decode(errors="replace").strip())
        sys.exit(SKIP_STATUS)
    run("mount", "-t", "proc", "proc", root + "/proc")
    run("mount", "--rbind", "/dev", root + "/dev")
    # An empty /run: no /run/systemd/system, so the scripts enable the unit
    # without asking a service manager to start it.
    for where in ("/tmp", "/run"):
        run("mount", "-t", "tmpfs", "tmpfs", root + where)
    shutil.copy(deb, root + "/tmp/marrowby.deb")
    run("ip", "link", "set", "lo", "up")
    os.chroot(root)
    os.chdir("/")


def dpkg(*args):
    return run("dpkg", *args, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive",
                                       PATH="/usr/sbin:/usr/bin:/sbin:/bin"))


class PackageLifeTest(unittest.TestCase):
    def test_install_serve_upgrade_remove_purge(self):
        dpkg("--install", "/tmp/marrowby.deb")
        self.check_installed()
        self.check_unit_verifies()
        self.check_service_runs()
        self.check_upgrade_keeps_settings_and_spool()
        dpkg("--remove", "marrowby")
        self.assertFalse(os.path.exists("/usr/sbin/marrowby"))
        self.assertTrue(os.path.exists(SETTINGS), "remove keeps the settings")
        self.assertTrue(os.path.exists(SPOOL + "/local.general/1"), "remove keeps the spool")
        dpkg("--purge", "marrowby")
        self.assertFalse(os.path.exists("/etc/marrowby"), "purge removes the settings")
        self.assertFalse(os.path.exists(SPOOL), "purge removes the spool")
        self.assertFalse(os.path.lexists("/etc/systemd/system/marrowby.service"),
                         "purge leaves no mask behind")
        # The account stays: files it owns elsewhere must not pass to a new one.
        pwd.getpwnam("marrowby")

    def check_installed(self):
        user = pwd.getpwnam("marrowby")
        self.assertLess(user.pw_uid, 1000, "a system user")
        self.assertEqual((user.pw_dir, user.pw_shell), (SPOOL, "/usr/sbin/nologin"))
        group = grp.getgrnam("marrowby").gr_gid
        self.assert_owner(SPOOL, user.pw_uid, group, 0o750)
        self.assert_owner(SETTINGS, 0, group, 0o640)
        self.assertEqual(os.readlink(SPOOL + "/Marrowby.ini"), SETTINGS)
        self.assertIn(SETTINGS + " ", run("dpkg-query", "-W", "-f", "${Conffiles}", "marrowby"))
        self.assertEqual(os.readlink("/etc/systemd/system/multi-user.target.wants/"
                                     "marrowby.service"), UNIT)

    def assert_owner(self, path, uid, gid, mode):
        st = os.stat(path)
        self.assertEqual((st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)), (uid, gid, mode), path)

    def check_unit_verifies(self):
        if not shutil.which("systemd-analyze"):
            return
        r = subprocess.run(["systemd-analyze", "verify", "marrowby.service"], capture_output=True)
        self.assertEqual((r.returncode, r.stdout + r.stderr), (0, b""))

    def check_service_runs(self):
        """ExecStart as the unit runs it: its environment, the service user
        with only the capability to bind low ports, no new privileges, and
        the sandbox's view of the system (everything read-only but the
        spool, a private /tmp, a /proc showing only the process's own)."""
        service = read_unit(UNIT)["Service"]
        user = service["User"][0]
        argv = ["setpriv", "--reuid=" + user, "--regid=" + service["Group"][0], "--init-groups",
                "--inh-caps=+net_bind_service", "--ambient-caps=+net_bind_service",
                "--bounding-set=-all,+net_bind_service", "--no-new-privs", "--"]
        argv += unit_command(service)
        env = unit_environment(service)
        self.assertEqual(env["MARROWBY_HOME"], SPOOL)
        # The packaged executable is stripped: a sanitizer build's leak
        # report could no longer be matched against its suppressions.
        env["ASAN_OPTIONS"] = "detect_leaks=0"
        os.mkdir("/run/notify-test")
        sandbox = [("mount", "--bind", SPOOL, SPOOL), ("mount", "-o", "remount,bind,ro", "/"),
                   ("mount", "-t", "tmpfs", "tmpfs", "/tmp"),
                   ("mount", "-t", "proc", "-o", "hidepid=invisible,subset=pid", "proc", "/proc")]
        for command in sandbox:
            run(*command)
        try:
            exercise_service(self, argv, env, 119, "/run/notify-test/notify")
        finally:
            for where in ("/proc", "/tmp"):
                run("umount", where)
            run("mount", "-o", "remount,bind,rw", "/")
            run("umount", SPOOL)
        article = os.stat(SPOOL + "/local.general/1")
        self.assertEqual(article.st_uid, pwd.getpwnam(user).pw_uid)

    def check_upgrade_keeps_settings_and_spool(self):
        with open(SETTINGS, "a") as f:
            f.write("local.operator\t0\tadded by the operator\n")
        dpkg("--install", "/tmp/marrowby.deb")
        with open(SETTINGS) as f:
            self.assertIn("local.operator", f.read())
        self.assertTrue(os.path.exists(SPOOL + "/local.general/1"))
        self.assertEqual(os.readlink(SPOOL + "/Marrowby.ini"), SETTINGS)
        self.assert_owner(SETTINGS, 0, grp.getgrnam("marrowby").gr_gid, 0o640)


if __name__ == "__main__":
    enter_scratch_root(sys.argv[1], sys.argv[2])
    unittest.main(argv=sys.argv[:1], verbosity=2)
