"""A real systemd user manager for a test, on a machine where systemd is not
PID 1: its own control groups, a private mount namespace, its own session
bus, and nothing of the machine touched.

    with UserManager() as manager:
        manager.systemctl("start", "some.service")

The manager runs in fresh control groups made below the test's own (another
name in the controller hierarchies, so that it finds no controller it could
use and leaves those alone), started from a shell that joins them before it
does anything else; only then, inside a private mount namespace, is a tmpfs
put over /run/systemd with the "booted" marker in it, the manager's log sent
into a FIFO instead of the console, and the manager started. A watch checks
every second that no process of the machine changed its control groups,
that nothing foreign entered the fresh ones and that nothing of the manager
left them; on a finding everything made here is killed and the test fails.
At the end the manager is stopped as at the end of a session (SIGTERM: it
stops its units), whatever is left is killed by pidfd, and the control
groups and the work directory are removed.

Raises Unavailable, with its reason, where it cannot run (not root, no
CAP_SYS_ADMIN, a read-only cgroup file system, systemd already PID 1, a tool
missing): the test then skips."""
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time

SYSTEMD = "/lib/systemd/systemd"
CAP_SYS_ADMIN = 21


class Unavailable(Exception):
    pass


class SafetyStop(Exception):
    pass


def _read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return None


def _processes():
    """{pid: (start time, /proc/PID/cgroup text)} of every process now."""
    table = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        stat, groups = _read("/proc/%s/stat" % name), _read("/proc/%s/cgroup" % name)
        if stat and groups:
            table[int(name)] = (stat.rsplit(")", 1)[1].split()[19], groups)
    return table


def _state(pid):
    stat = _read("/proc/%d/stat" % pid)
    return stat.rsplit(")", 1)[1].split()[0] if stat else None


def _parent(pid):
    stat = _read("/proc/%d/stat" % pid)
    return int(stat.rsplit(")", 1)[1].split()[1]) if stat else 0


def _hierarchies():
    """(mount point, selector of its /proc/self/cgroup line, is a systemd
    hierarchy) for each mounted cgroup hierarchy, with the check that all
    are writable."""
    found, seen = [], set()
    for line in open("/proc/self/mountinfo"):
        left, right = line.split(" - ")
        fstype, _, options = right.split()
        if fstype not in ("cgroup", "cgroup2"):
            continue
        mount_point, mount_options = left.split()[4], left.split()[5]
        if options in seen:
            continue
        seen.add(options)
        if "ro" in mount_options.split(","):
            raise Unavailable("the cgroup file system at %s is read-only" % mount_point)
        if fstype == "cgroup2":
            found.append((mount_point, "", True))
        else:
            known = {l.split()[0] for l in open("/proc/cgroups") if not l.startswith("#")}
            controllers = sorted(o for o in options.split(",")
                                 if o in known or o.startswith("name="))
            found.append((mount_point, ",".join(controllers), "name=systemd" in controllers))
    return found


def _own_path(selector):
    for line in open("/proc/self/cgroup"):
        _, controllers, path = line.rstrip("\n").split(":", 2)
        if ",".join(sorted(controllers.split(","))) == selector or controllers == selector:
            return path
    raise Unavailable("no line for cgroup hierarchy '%s' in /proc/self/cgroup" % selector)


class UserManager:
    def __init__(self):
        self.work = None
        self.cgroups = []  # fresh cgroup directories, in making order
        self.shell = None
        self.failure = None
        self._tests = set()
        self._stop_watch = threading.Event()

    # --- what a test uses ---

    @property
    def env(self):
        """The environment of a client of this manager, outside its namespace."""
        env = dict(os.environ, HOME=self.home, XDG_RUNTIME_DIR=self.runtime,
                   DBUS_SESSION_BUS_ADDRESS="unix:path=%s/bus" % self.runtime,
                   SYSTEMD_OFFLINE="0")
        for name in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"):
            env.pop(name, None)  # into the manager's HOME, as for its units
        return env

    @property
    def manager_log(self):
        return os.path.join(self.work, "manager.log")

    @property
    def pid(self):
        return self.shell.pid  # the shell execs the manager

    def systemctl(self, *args, check=True):
        result = subprocess.run(["systemctl", "--user"] + list(args), env=self.env,
                                capture_output=True, text=True, timeout=60)
        if check and result.returncode != 0:
            raise AssertionError("systemctl %s: %s" % (" ".join(args), result.stderr.strip()))
        return result.stdout.strip()

    def show(self, unit, prop):
        """A property of `unit`, or of the manager for None."""
        return self.systemctl("show", "-p", prop, "--value", *([unit] if unit else []))

    def in_manager_tree(self, pid):
        """The process's path in the cgroup2 (or name=systemd) hierarchy,
        relative to the manager's root."""
        for line in (_read("/proc/%d/cgroup" % pid) or "").splitlines():
            hierarchy, _, path = line.split(":", 2)
            if hierarchy == "0" or "name=systemd" in line:
                return path
        return ""

    def check_safety(self):
        if self.failure:
            raise SafetyStop(self.failure)

    # --- set-up ---

    def __enter__(self):
        self._preconditions()
        self.baseline = _processes()
        try:
            self._start()
        except BaseException:
            self._teardown()
            raise
        return self

    def __exit__(self, *exc):
        self._teardown()
        if self.failure:
            # Also when the test failed: the stop is what made it fail.
            raise SafetyStop(self.failure)

    def _preconditions(self):
        if os.geteuid() != 0:
            raise Unavailable("not root")
        effective = int([l for l in open("/proc/self/status") if l.startswith("CapEff")][0]
                        .split()[1], 16)
        if not effective >> CAP_SYS_ADMIN & 1:
            raise Unavailable("no CAP_SYS_ADMIN")
        if os.path.exists("/run/systemd/system") or (_read("/proc/1/comm") or "").strip() == "systemd":
            raise Unavailable("systemd is PID 1 here: use its own user manager")
        if not os.path.isdir("/run/systemd"):
            raise Unavailable("no /run/systemd to put a private tmpfs over")
        for tool in ("unshare", "setpriv", "mount", "systemctl", "busctl", "dbus-daemon"):
            if not shutil.which(tool):
                raise Unavailable("%s is missing" % tool)
        for path in (SYSTEMD, "/usr/lib/systemd/user/dbus.socket", "/dev/kmsg", "/dev/console"):
            if not os.path.exists(path):
                raise Unavailable("%s is missing" % path)
        self.hierarchies = _hierarchies()
        if not self.hierarchies:
            raise Unavailable("no cgroup hierarchy is mounted")

    def _start(self):
        self.work = tempfile.mkdtemp(prefix="kestrond-user-manager-")
        os.chmod(self.work, 0o755)
        self.home = os.path.join(self.work, "home")
        self.runtime = os.path.join(self.work, "runtime")
        os.makedirs(self.home)
        os.makedirs(self.runtime, mode=0o700)
        os.makedirs(os.path.join(self.work, "xdg-config-dirs"))
        tag = "kestrond-user-manager.%d" % os.getpid()
        for mount_point, selector, systemd_hierarchy in self.hierarchies:
            parent = mount_point + _own_path(selector)
            self._remove_leftovers(parent)
            path = os.path.join(parent, tag if systemd_hierarchy else tag + ".ctl")
            os.mkdir(path)
            self.cgroups.append(path)
            if "cpuset" in selector.split(","):
                for name in ("cpuset.cpus", "cpuset.mems"):
                    with open(os.path.join(path, name), "w") as f:
                        f.write(_read(os.path.join(parent, name)))
        with open(os.path.join(self.work, "cgroups"), "w") as f:
            f.write("".join(path + "\n" for path in self.cgroups))
        os.mkfifo(os.path.join(self.work, "go"))
        os.mkfifo(os.path.join(self.work, "kmsg"))
        # Read by a process of its own, fast enough for the debug log (a full
        # FIFO would hold the manager up at its next line); held open here
        # for writing too, so that the manager reopening it never ends it.
        kmsg = os.path.join(self.work, "kmsg")
        with open(self.manager_log, "wb") as log:
            self._log_reader = subprocess.Popen(["cat", kmsg], stdout=log,
                                                stdin=subprocess.DEVNULL)
        self._kmsg = os.open(kmsg, os.O_WRONLY)

        script = r"""
set -e
while read -r c; do echo $$ > "$c/cgroup.procs"; done < "$1/cgroups"
read -r go < "$1/go"; [ "$go" = go ]
mount -t tmpfs -o mode=0755,size=64m,nosuid,nodev,noexec kestrond-user-manager /run/systemd
mkdir /run/systemd/system
mount --bind "$1/kmsg" /dev/kmsg
mount --bind /dev/null /dev/console
exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$1/home" XDG_RUNTIME_DIR="$1/runtime" \
  XDG_CONFIG_DIRS="$1/xdg-config-dirs" SYSTEMD_OFFLINE=0 LANG=C.UTF-8 USER=root LOGNAME=root \
  DISPLAY="$2" """ + SYSTEMD + r""" --user --unit=basic.target --log-target=kmsg \
  --log-level=debug --default-standard-output=inherit --default-standard-error=inherit
"""
        units_log = open(os.path.join(self.work, "units.log"), "w")
        self.shell = subprocess.Popen(
            ["setpriv", "--pdeathsig", "TERM", "--", "unshare", "--mount", "--propagation",
             "private", "--", "/bin/sh", "-c", script, "sh", self.work,
             os.environ.get("DISPLAY", "")],
            stdin=subprocess.DEVNULL, stdout=units_log, stderr=subprocess.STDOUT)
        units_log.close()
        self._check_shell_joined()
        self._namespace = os.readlink("/proc/%d/ns/mnt" % self.shell.pid)
        with open(os.path.join(self.work, "go"), "w") as f:
            f.write("go\n")

        self._wait("the manager to run", lambda: self.show(None, "SystemState")
                   in ("running", "degraded"), 30)
        self._check_mounts_private()
        self._watch = threading.Thread(target=self._watch_safety, daemon=True)
        self._watch.start()
        self.systemctl("start", "dbus.socket", "dbus.service")
        self._wait("org.freedesktop.systemd1 on the session bus", lambda: subprocess.run(
            ["busctl", "--address=unix:path=%s/bus" % self.runtime, "status",
             "org.freedesktop.systemd1"], capture_output=True).returncode == 0, 30)
        self.systemctl("set-environment", "DBUS_SESSION_BUS_ADDRESS=unix:path=%s/bus" % self.runtime)

    @staticmethod
    def _remove_leftovers(parent):
        """The empty cgroups of an earlier run that was killed (its pid runs
        no more): removed with rmdir only, deepest first."""
        for name in os.listdir(parent):
            if not name.startswith("kestrond-user-manager."):
                continue
            pid = name.split(".")[1]
            if pid.isdigit() and not os.path.exists("/proc/" + pid):
                for root, _, _ in sorted(os.walk(os.path.join(parent, name)),
                                         key=lambda w: -len(w[0])):
                    try:
                        os.rmdir(root)
                    except OSError:
                        break  # not empty: left as it is

    def _wait(self, what, condition, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if self.shell.poll() is not None:
                raise AssertionError("the manager ended while waiting for %s; its log: %s"
                                     % (what, self.manager_log))
            try:
                if condition():
                    return
            except (AssertionError, subprocess.SubprocessError):
                pass
            time.sleep(0.1)
        raise AssertionError("timed out waiting for " + what)

    def _check_shell_joined(self):
        end = time.monotonic() + 10
        while True:
            members = [(_read(os.path.join(c, "cgroup.procs")) or "").split() for c in self.cgroups]
            if all(m == [str(self.shell.pid)] for m in members):
                break
            if time.monotonic() > end or self.shell.poll() is not None:
                raise AssertionError("the manager's shell did not join its cgroups alone: %r"
                                     % members)
            time.sleep(0.02)
        if os.readlink("/proc/%d/ns/mnt" % self.shell.pid) == os.readlink("/proc/self/ns/mnt"):
            raise AssertionError("the manager's shell shares the test's mount namespace")

    def _check_mounts_private(self):
        if "kestrond-user-manager" in open("/proc/self/mountinfo").read():
            raise SafetyStop("the manager's tmpfs shows outside its namespace")

    # --- safety ---

    def _ours(self, pid):
        """The manager's: in its namespace, or it or a descendant of it."""
        try:
            if os.readlink("/proc/%d/ns/mnt" % pid) == self._namespace:
                return True
        except (OSError, AttributeError):
            pass
        while pid > 1:
            if pid == self.shell.pid:
                return True
            pid = _parent(pid)
        return False

    def _started_here(self, pid):
        """The manager's, or the test's: a server a test's monitor started
        may rightly be put in a unit of the manager. A process once seen as
        the test's stays so (by pid and start time) after its parent ends."""
        if self._ours(pid):
            return True
        start = (_read("/proc/%d/stat" % pid) or ")").rsplit(")", 1)[1].split()[19:20]
        if (pid, tuple(start)) in self._tests:
            return True
        ancestor = _parent(pid)
        while ancestor > 1:
            if ancestor == os.getpid():
                self._tests.add((pid, tuple(start)))
                return True
            ancestor = _parent(ancestor)
        return False

    def _findings(self):
        findings = []
        now = _processes()
        for pid, (start, groups) in self.baseline.items():
            if pid in now and now[pid][0] == start and now[pid][1] != groups:
                time.sleep(0.3)  # an exiting process reads as the root cgroup
                current = _read("/proc/%d/cgroup" % pid)
                # Another test's manager moving its own processes is its business.
                another = "kestrond-user-manager." in groups + (current or "")
                if current and current != groups and not another and _state(pid) not in (None, "Z"):
                    findings.append("process %d moved from\n%s to\n%s" % (pid, groups, current))
        for cgroup in self.cgroups:
            for root, _, _ in os.walk(cgroup):
                for pid in (_read(os.path.join(root, "cgroup.procs")) or "").split():
                    if not self._started_here(int(pid)) and _state(int(pid)) not in (None, "Z"):
                        findings.append("foreign process %s in %s" % (pid, root))
        tag = "kestrond-user-manager.%d" % os.getpid()

        def outside(pid):
            groups = _read("/proc/%d/cgroup" % pid) or ""
            return groups if groups and any(tag not in line for line in groups.splitlines()) else ""

        for pid in now:
            if pid != self.shell.pid and self._ours(pid) and _state(pid) not in (None, "Z"):
                if not outside(pid):
                    continue
                # An exiting process reads as the root cgroup of the v1
                # hierarchies (the manager's dbus.service at its stop, seen
                # once): looked at again, it has gone or is back.
                time.sleep(0.3)
                groups = outside(pid)
                if groups and _state(pid) not in (None, "Z"):
                    findings.append("process %d of the manager left its cgroups:\n%s" % (pid, groups))
        return findings

    def _watch_safety(self):
        while not self._stop_watch.wait(1.0):
            findings = self._findings()
            if findings:
                self.failure = "safety stop:\n" + "\n".join(findings)
                self._kill_everything()
                return

    # --- teardown ---

    def stop_manager(self, seconds=60):
        """Stops the manager as at the end of the user's last session: it
        stops every unit, each with its own stop time-out, and exits."""
        if self.shell and self.shell.poll() is None:
            self.shell.send_signal(signal.SIGTERM)
            try:
                self.shell.wait(seconds)
            except subprocess.TimeoutExpired:
                self.shell.kill()
                self.shell.wait()

    def _kill_everything(self):
        if self.shell and self.shell.poll() is None:
            self.shell.kill()
        for pid in list(_processes()):
            if self.shell and pid != self.shell.pid and self._ours(pid):
                try:
                    fd = os.pidfd_open(pid)
                except OSError:
                    continue
                try:
                    if self._ours(pid):
                        signal.pidfd_send_signal(fd, signal.SIGKILL)
                except OSError:
                    pass
                finally:
                    os.close(fd)

    def _teardown(self):
        if self.shell:
            if not self.failure:
                self.stop_manager(30)
            self._stop_watch.set()
            self._kill_everything()
            if self.shell.poll() is None:
                self.shell.wait()
        self._stop_watch.set()
        end = time.monotonic() + 10
        for cgroup in reversed(self.cgroups):
            for root, dirs, _ in sorted(os.walk(cgroup, topdown=False), key=lambda w: -len(w[0])):
                while True:
                    try:
                        os.rmdir(root)
                        break
                    except FileNotFoundError:
                        break
                    except OSError:
                        if time.monotonic() > end:
                            raise
                        self._kill_everything()
                        time.sleep(0.1)
        if not self.failure:
            findings = self._findings() if self.shell else []
            if findings:
                self.failure = "safety stop at the end:\n" + "\n".join(findings)
        if self.work:
            if hasattr(self, "_kmsg"):
                os.close(self._kmsg)  # the last writer: the reader ends
                self._log_reader.wait(10)
            keep = os.environ.get("KESTROND_KEEP_MANAGER_LOGS")
            if keep:
                for name in ("manager.log", "units.log"):
                    shutil.copy(os.path.join(self.work, name), keep)
            shutil.rmtree(self.work, ignore_errors=True)
