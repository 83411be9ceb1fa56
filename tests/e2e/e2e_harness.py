"""End-to-end harness: a private pcscd with simulated readers, the server
peer on a free loopback port, and the real client binary (offscreen), driven
through the test build's control channel.

VELMORA_E2E_PLATFORM=windows runs the same scenarios against the Windows
client under Wine: Client is then WineClient and PrivatePcscd is
WindowsReaders (the simulated readers inside the project's winscard.dll),
with the same methods, so one scenario list serves both shells."""

import atexit
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
sys.path.insert(0, os.path.join(ROOT, "tools", "test-server", "test"))

from pcscd_private import PrivatePcscd  # noqa: E402

PLATFORM = os.environ.get("VELMORA_E2E_PLATFORM", "linux")
WINDOWS = PLATFORM == "windows"
LINUX_BUILD = os.path.join(ROOT, "build", "linux")
BUILD = os.environ.get("VELMORA_BUILD", os.path.join(ROOT, "build", "mingw" if WINDOWS else "linux"))
CLIENT = os.environ.get("VELMORA_CLIENT", os.path.join(
    BUILD, "src", *(("win32", "velmora-client-e2e.exe") if WINDOWS else ("qt", "velmora-client-e2e"))))
# The server peer is a Linux program on either platform.
SERVER = os.environ.get("VELMORA_SERVER", os.path.join(LINUX_BUILD if WINDOWS else BUILD, "tools", "test-server",
                                                         "velmora-server"))
os.environ.setdefault("SIMREADER_DRIVER", os.path.join(BUILD, "tools", "simreader", "libsimreader.so"))
os.environ["VELMORA_SERVER"] = SERVER

import harness as server_harness  # noqa: E402

# The text for a refused connect: the system's own where it has one (Wine
# words it so), the core's table otherwise.
REFUSED_TEXT = ("Connection refused." if WINDOWS else
                "No connection could be made because the target machine actively refused it.")

# Guards against a hung test, never measurements.
GUARD = 20.0


def wait_until(predicate, what, limit=GUARD):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


class Server(server_harness.Server):
    """velmora-server in interactive mode: one command in, its reply out."""

    def __init__(self, *args):
        super().__init__("--interactive", "--quiet-rtt", "--greeting-delay-ms", "100", *args,
                         stdin=subprocess.PIPE)

    def send(self, command):
        self.proc.stdin.write(command.encode("latin-1") + b"\n")
        self.proc.stdin.flush()

    def command(self, command):
        """Sends one command and returns the client's reply line."""
        self.send(command)
        while True:
            line = self.next_line()
            if line.startswith("< "):
                return line[2:]
            if line.startswith("# timeout"):
                raise AssertionError(line)

    def wait_connected(self):
        while not self.next_line().startswith("# client connected"):
            pass

    def expect(self, prefix):
        """Reads the transcript up to the first line that starts with prefix."""
        while True:
            line = self.next_line()
            if line.startswith(prefix):
                return line


class Profile:
    """A user of the client's own: settings and runtime directories that no
    settings of this machine's user or system reach, and where the
    one-instance socket meets only clients of the same profile."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="velmora-profile.", dir="/tmp")
        os.makedirs(os.path.join(self.dir, "config"))
        os.makedirs(os.path.join(self.dir, "xdg"))

    def env(self):
        return {"XDG_RUNTIME_DIR": self.dir, "XDG_CONFIG_HOME": os.path.join(self.dir, "config"),
                "XDG_CONFIG_DIRS": os.path.join(self.dir, "xdg")}

    def write_settings(self, values, system=False):
        """values: key to text or number; system: the system-wide source."""
        path = os.path.join(self.dir, "xdg" if system else "config", "velmora-client.conf")
        with open(path, "w") as f:
            f.write("".join("%s=%s\n" % (k, v) for k, v in values.items()))

    def path(self, name):
        """A file of this profile, as the client names it."""
        return os.path.join(self.dir, name)

    def read(self, name):
        with open(os.path.join(self.dir, name), errors="replace") as f:
            return f.read()

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class Client:
    """The Linux client binary with its control channel. args go on its
    command line; test_port=False leaves the server port to the settings;
    a profile is shared with other clients, otherwise the client has one of
    its own."""

    def __init__(self, port, pcscd, wrapper=(), args=(), test_port=True, profile=None):
        self.dir = tempfile.mkdtemp(prefix="velmora-client.", dir="/tmp")
        self.hook_path = os.path.join(self.dir, "hook.sock")
        self.own_profile = profile is None
        self.profile = profile or Profile()
        self.env = dict(os.environ, **pcscd.env())
        self.env.update(QT_QPA_PLATFORM="offscreen", VELMORA_TEST_HOOK=self.hook_path, **self.profile.env())
        if test_port:
            self.env["VELMORA_TEST_PORT"] = str(port)
        self.log = open(os.path.join(self.dir, "client.log"), "wb")
        self.proc = subprocess.Popen([*wrapper, CLIENT, *args], env=self.env, stdin=subprocess.DEVNULL,
                                     stdout=self.log, stderr=subprocess.STDOUT)
        self.sock = None
        wait_until(self._connect_hook, "the client's control channel")

    def _connect_hook(self):
        if self.proc.poll() is not None:
            raise AssertionError("client ended at start: " + self.output())
        s = socket.socket(socket.AF_UNIX)
        try:
            s.settimeout(GUARD)
            s.connect(self.hook_path)
        except OSError:
            s.close()
            return False
        self.sock = s
        self.reader = s.makefile("rb")
        return True

    def hook(self, line):
        self.sock.sendall(line.encode() + b"\n")
        return self.reader.readline().decode().rstrip("\n")

    def state(self):
        return json.loads(self.hook("state"))

    def wait_state(self, predicate, what):
        return wait_until(lambda: (lambda s: s if predicate(s) else None)(self.state()), what)

    def output(self):
        self.log.flush()
        with open(os.path.join(self.dir, "client.log"), errors="replace") as f:
            return f.read()

    def wait_exit(self):
        return self.proc.wait(GUARD)

    def close(self):
        if self.sock is not None:
            self.reader.close()
            self.sock.close()
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(GUARD)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)
        if self.own_profile:
            self.profile.close()


def run_client(args, profile, pcscd=None, env=None):
    """Runs the client to its end (for options that end it at once, or a
    second instance); returns its exit code and everything it wrote."""
    full_env = dict(os.environ, **(pcscd.env() if pcscd else {}))
    full_env.update(QT_QPA_PLATFORM="offscreen", **profile.env())
    full_env.update(env or {})
    command = [CLIENT]
    if WINDOWS:
        # Beside the project's winscard.dll, as WineClient runs it.
        exe = os.path.join(profile.dir, os.path.basename(CLIENT))
        shutil.copy(CLIENT, exe)
        shutil.copy(SIMREADER_DLL, os.path.join(profile.dir, "winscard.dll"))
        command = ["wine", exe]
        # The usage and version come in message boxes: read out and closed.
        full_env.update(WineSession.env(), VELMORA_TEST_CLOSE_BOXES="1")
        if pcscd is not None:
            full_env["VELMORA_SIMREADER_DIR"] = pcscd.env()["VELMORA_SIMREADER_DIR"]
    done = subprocess.run([*command, *args], env=full_env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=3 * GUARD, check=False)
    return done.returncode, done.stdout.decode("utf-8", "replace")


def idle_controls(state):
    """Host, port and Connect offered; Disconnect off."""
    return (state["link"] == 0 and state["1001"]["enabled"] and state["1002"]["enabled"]
            and state["1003"]["enabled"] and not state["1004"]["enabled"])


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# --- Windows: the client under Wine ------------------------------------------

SIMREADER_DLL = os.environ.get("VELMORA_WINSCARD_DLL", os.path.join(BUILD, "tools", "winscard-sim", "winscard.dll"))

# Scenarios of the shared list that cannot hold under Wine, and why.
WINDOWS_SKIPS = {
    "NameLookup.test_unresolvable_name":
        "the lookup must stay on this machine, and a network namespace of its own would also cut the "
        "Wine client off from its control channel on loopback",
    "TrayAndDialogs.test_without_a_tray_minimize_only_minimizes":
        "Windows always has a notification area: minimizing closes the dialog to the tray",
    "ReaderFaults.test_pcscd_restarted_while_a_reader_is_open":
        "the Windows readers live in the client's own winscard.dll: there is no resource manager to restart",
    "ServerMisbehaves.test_ten_thousand_lines_without_a_pause":
        "Wine's edit control lays out the whole log on each insert, a few ms per command under Xvfb, so the "
        "flood outlasts the test's half-second pause and its marker lands in the flood's last read",
}


def _skip_listed(skips):
    run = unittest.TestCase.run

    def run_or_skip(self, result=None):
        name = ".".join(self.id().split(".")[-2:])
        if name in skips:
            setattr(self, self._testMethodName, unittest.skip(skips[name])(lambda: None))
        return run(self, result)

    unittest.TestCase.run = run_or_skip


def windows_path(path):
    """The Wine path of a Unix path (drive Z: is the Unix root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineSession:
    """A display and a Wine prefix for this process's clients: the caller's
    (DISPLAY, WINEPREFIX, as scripts/test-windows.sh sets them up) or, when
    not given, a private Xvfb and prefix, stopped by process id and with
    wineserver -k at exit. The prefix shows windows in a virtual desktop, so
    captions are drawn without a window manager and the tray has a home."""

    _env = None

    @classmethod
    def env(cls):
        if cls._env is None:
            cls._env = cls._start()
        return cls._env

    @classmethod
    def _start(cls):
        env = {"WINEDEBUG": os.environ.get("WINEDEBUG", "-all"), "WINEDLLOVERRIDES": "winscard=n"}
        env["DISPLAY"] = os.environ.get("DISPLAY") or cls._start_xvfb()
        prefix = os.environ.get("WINEPREFIX")
        if not prefix:
            prefix = tempfile.mkdtemp(prefix="velmora-wine.", dir="/tmp")
            atexit.register(cls._remove_prefix, prefix, dict(os.environ, **env))
        env["WINEPREFIX"] = prefix
        if not os.path.exists(os.path.join(prefix, "system.reg")):
            prepare_prefix(dict(os.environ, **env))
        return env

    @staticmethod
    def _start_xvfb():
        read, write = os.pipe()
        proc = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x1024x24", "-nolisten",
                                 "tcp"], pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as f:
            number = f.readline().strip()
        atexit.register(lambda: (proc.terminate(), proc.wait()))
        return ":" + number

    @staticmethod
    def _remove_prefix(prefix, env):
        subprocess.run(["wineserver", "-k"], env=env, check=False)
        shutil.rmtree(prefix, ignore_errors=True)


def prepare_prefix(env):
    """A new Wine prefix with a virtual desktop of 1024x768."""
    # Without .NET and HTML engines, so nothing offers to download them.
    boot = dict(env, WINEDLLOVERRIDES="mscoree=;mshtml=")
    subprocess.run(["wineboot", "-i"], env=boot, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for key, name, value in ((r"HKCU\Software\Wine\Explorer", "Desktop", "Default"),
                             (r"HKCU\Software\Wine\Explorer\Desktops", "Default", "1024x768")):
        subprocess.run(["wine", "reg", "add", key, "/v", name, "/d", value, "/f"], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, check=False)


def reader_settings(options):
    """A reader's start settings from its --reader options of pcscd-private.sh."""
    card, pinpad, lines = "t1", "off", []
    for field in options.split(","):
        key, _, value = field.partition("=")
        if key == "card":
            card = value
        elif key == "pinpad":
            pinpad = value
        elif key in ("atr", "pin", "vendor", "notify", "atrattr", "pinblock"):
            lines.append("%s %s" % (key.upper(), value))
        elif key != "name":
            raise ValueError("unknown reader setting " + key)
    lines.append("PINPAD " + pinpad)
    if card != "none":
        if "atr=" not in options:
            lines.append("CARD " + card)
        lines.append("INSERT")
    return "".join(line + "\n" for line in lines)


class TcpSimReader:
    """The control channel of one reader in winscard.dll: a loopback port,
    known once the client has loaded the dll."""

    def __init__(self, port_file):
        self.port_file = port_file

    def command(self, line):
        try:
            port = int(wait_until(self._port, "the simulated reader's control port"))
            with socket.create_connection(("127.0.0.1", port), timeout=GUARD) as s:
                s.sendall(line.encode() + b"\n")
                reply = b""
                while not reply.endswith(b"\n"):
                    chunk = s.recv(4096)
                    if not chunk:
                        return "ERR connection lost"
                    reply += chunk
        except (OSError, AssertionError) as e:
            return "ERR cannot reach the reader: %s" % e
        return reply.decode().rstrip("\n")

    def _port(self):
        try:
            with open(self.port_file) as f:
                return f.read().strip()
        except OSError:
            return None

    def status(self):
        reply = self.command("STATUS")
        return dict(field.split("=", 1) for field in reply[3:].split()) if reply.startswith("OK ") else {}


class WindowsReaders:
    """Simulated readers for the Windows client: a settings directory that
    the project's winscard.dll reads when the client loads it. The readers
    live inside the client process, so their control ports exist while a
    client runs."""

    def __init__(self, readers=("card=t1",), debug=False):
        self.options = list(readers)
        self.dir = None
        self.error = ""

    def start(self):
        self.dir = tempfile.mkdtemp(prefix="velmora-readers.", dir="/tmp")
        names = []
        for i, options in enumerate(self.options):
            name = dict(f.partition("=")[::2] for f in options.split(",")).get("name", "Sim Reader %d" % i)
            names.append(name)
            with open(os.path.join(self.dir, "reader%d.conf" % i), "w") as f:
                f.write(reader_settings(options))
        with open(os.path.join(self.dir, "readers"), "w") as f:
            f.write("".join(n + "\n" for n in names))
        return True

    def env(self):
        return {"VELMORA_SIMREADER_DIR": windows_path(self.dir)}

    def readers(self):
        with open(os.path.join(self.dir, "readers")) as f:
            return ["%s %02d 00" % (name, i) for i, name in enumerate(f.read().splitlines())]

    def reader(self, index):
        return TcpSimReader(os.path.join(self.dir, "reader%d.port" % index))

    def log(self):
        return ""

    def stop(self):
        if self.dir is not None:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None


class WineProfile(Profile):
    """A user of the Windows client's own: a tag that names its registry
    subkeys (under HKLM\\Software\\Policies\\Velmora Client and
    HKCU\\Software\\Velmora Client) and its one-instance mutex, and a
    directory for its files."""

    ROOTS = {True: r"HKLM\Software\Policies\Velmora Client", False: r"HKCU\Software\Velmora Client"}

    def __init__(self):
        super().__init__()
        self.tag = os.path.basename(self.dir)
        self.written = set()

    def env(self):
        return {"VELMORA_TEST_INSTANCE": self.tag}

    def write_settings(self, values, system=False):
        """Numbers as REG_DWORD, texts as REG_SZ, as the installer writes them."""
        key = self.ROOTS[system] + "\\" + self.tag
        self.written.add(key)
        for name, value in values.items():
            kind = "REG_DWORD" if isinstance(value, int) else "REG_SZ"
            self._reg("add", key, "/v", name, "/t", kind, "/d", str(value), "/f")

    def _reg(self, *args):
        subprocess.run(["wine", "reg", *args], env=dict(os.environ, **WineSession.env()), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def path(self, name):
        return windows_path(os.path.join(self.dir, name))

    def close(self):
        for key in self.written:
            self._reg("delete", key, "/f")
        super().close()


class WineClient(Client):
    """The Windows client's test build under Wine, with the project's
    winscard.dll beside it; its control channel is a loopback port."""

    def __init__(self, port, pcscd, wrapper=(), args=(), test_port=True, profile=None):
        if wrapper:
            raise unittest.SkipTest("the Wine client runs without a wrapper")
        self.dir = tempfile.mkdtemp(prefix="velmora-client.", dir="/tmp")
        self.own_profile = profile is None
        self.profile = profile or WineProfile()
        self.hook_file = os.path.join(self.dir, "hook.port")
        exe = os.path.join(self.dir, os.path.basename(CLIENT))
        shutil.copy(CLIENT, exe)
        shutil.copy(SIMREADER_DLL, os.path.join(self.dir, "winscard.dll"))
        env = dict(os.environ, **WineSession.env())
        env.update(pcscd.env())
        env.update(VELMORA_TEST_HOOK=windows_path(self.hook_file), **self.profile.env())
        if test_port:
            env["VELMORA_TEST_PORT"] = str(port)
        self.log = open(os.path.join(self.dir, "client.log"), "wb")
        self.proc = subprocess.Popen(["wine", exe, *args], env=env, cwd=self.dir, stdin=subprocess.DEVNULL,
                                     stdout=self.log, stderr=subprocess.STDOUT)
        self.sock = None
        wait_until(self._connect_hook, "the client's control channel", limit=3 * GUARD)

    def _connect_hook(self):
        if self.proc.poll() is not None:
            raise AssertionError("client ended at start: " + self.output())
        try:
            with open(self.hook_file) as f:
                port = int(f.read().strip())
            s = socket.create_connection(("127.0.0.1", port), timeout=GUARD)
        except (OSError, ValueError):
            return False
        self.sock = s
        self.reader = s.makefile("rb")
        return True

    def wait_exit(self):
        """The exit code; the tray icon must have been removed on the way out."""
        code = self.proc.wait(GUARD)
        if "exit: tray icon still shown" in self.output():
            raise AssertionError("the tray icon was left behind")
        return code


if WINDOWS:
    Client = WineClient  # noqa: F811
    PrivatePcscd = WindowsReaders  # noqa: F811
    Profile = WineProfile  # noqa: F811
    _skip_listed(WINDOWS_SKIPS)
