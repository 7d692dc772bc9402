"""What the browser tests and the screenshots share: the built service in a program folder of its
own, with its web administration on the loopback, client programs from other loopback addresses,
and headless Chromium.

Everything here waits with a bound: a wait that runs out raises, a process left behind is ended by
its own id."""

import importlib.util
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time

WEB_USER = "ana"
WEB_PASSWORD = "secreto123"

# The client programs' text is 8-bit, in the Windows code page.
WIRE_ENCODING = "cp1252"

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


def missing_tools():
    """What the browser tests need that this machine lacks, as a list of names."""
    missing = [path for path in (CHROMIUM, CHROMEDRIVER) if not os.access(path, os.X_OK)]
    if importlib.util.find_spec("selenium") is None:
        missing.append("python3-selenium")
    return missing


def wait_until(condition, timeout, what):
    """condition() until it is true; past `timeout` seconds raises TimeoutError naming `what` (a
    text, or a function giving it, called then so that it can tell what was there in the end)."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError("timed out waiting for " + (what() if callable(what) else what))
        time.sleep(0.05)


def free_port():
    """A TCP port nobody listens on now, on any IPv4 address (the session port listens on all)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("0.0.0.0", 0))
        return probe.getsockname()[1]


class Server:
    """oskserverd in a temporary program folder with the product database oskdemo: the session
    service on one free port for at most 20 users, the web administration on another of 127.0.0.1,
    and the web user ana added once it runs."""

    def __init__(self, build_dir):
        self.daemon = os.environ.get("OSKSERVERD") or os.path.join(build_dir, "src/app/oskserverd")
        self.ctl = os.environ.get("OSKSERVERCTL") or os.path.join(build_dir, "src/app/oskserverctl")
        self.home = tempfile.mkdtemp(prefix="osk-browser-")
        self.port = free_port()
        self.web_port = free_port()
        while self.web_port == self.port:
            self.web_port = free_port()
        self.process = None
        self.output = None

    @property
    def url(self):
        return "http://127.0.0.1:%d/" % self.web_port

    def start(self):
        with open(os.path.join(self.home, "OskServer.INI"), "w", newline="") as ini:
            ini.write("[Main]\r\nPort=%d\r\nMaxUsers=20\r\n[Web]\r\nEnabled=1\r\nAddress=127.0.0.1\r\nPort=%d\r\n"
                      % (self.port, self.web_port))
        # A product database, so that the lists of databases have one.
        made = subprocess.run([self.daemon, "--home", self.home, "--create-database", "oskdemo"],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
        if made.returncode != 0:
            raise RuntimeError("--create-database failed: " + made.stdout + made.stderr)
        self.output = open(os.path.join(self.home, "oskserverd.out"), "wb")
        self.process = subprocess.Popen([self.daemon, "--home", self.home], stdin=subprocess.DEVNULL,
                                        stdout=self.output, stderr=subprocess.STDOUT)
        wait_until(self._listening, 20, "the web administration to listen on port %d" % self.web_port)
        added = self.ctl_run(["web-user", "add", WEB_USER], stdin=WEB_PASSWORD + "\n")
        if added.returncode != 0:
            raise RuntimeError("web-user add failed: " + added.stdout + added.stderr)

    def _listening(self):
        if self.process.poll() is not None:
            raise RuntimeError("oskserverd ended with %d:\n%s" % (self.process.returncode, self.printed()))
        try:
            with socket.create_connection(("127.0.0.1", self.web_port), timeout=1):
                return True
        except OSError:
            return False

    def ctl_run(self, args, stdin=None):
        return subprocess.run([self.ctl, "--home", self.home] + args, input=stdin, capture_output=True,
                              text=True, timeout=20)

    def logged(self, text):
        """Whether today's event log, as the control socket gives it, has a line holding `text`."""
        log = self.ctl_run(["log"])
        return log.returncode == 0 and text in log.stdout

    def printed(self):
        try:
            with open(os.path.join(self.home, "oskserverd.out"), "rb") as out:
                return out.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=5)
        if self.output is not None:
            self.output.close()
        shutil.rmtree(self.home, ignore_errors=True)


class Client:
    """A client program from computer `address` (any of 127.0.0.0/8): one message per send, no
    terminator; everything the server sends is kept, by a reader thread, until the test looks."""

    def __init__(self, server, address):
        self.server = server
        self.address = address
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind((address, 0))
        self.sock.settimeout(10)
        self.sock.connect(("127.0.0.1", server.port))
        self.sock.settimeout(None)
        self._received = b""
        self._closed = False
        self._lock = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        while True:
            try:
                data = self.sock.recv(4096)
            except OSError:
                data = b""
            with self._lock:
                if not data:
                    self._closed = True
                    self._lock.notify_all()
                    return
                self._received += data
                self._lock.notify_all()

    def received(self):
        with self._lock:
            return self._received.decode(WIRE_ENCODING, "replace")

    def closed(self):
        with self._lock:
            return self._closed

    def wait_for(self, text, timeout=10, start=0):
        """Waits until what arrived from offset `start` on holds `text`."""
        return wait_until(lambda: text in self.received()[start:], timeout,
                          lambda: "%r to reach the client at %s (it got %r)" % (text, self.address, self.received()))

    def wait_closed(self, timeout=10):
        """Waits until the server has closed the connection (the reader saw its end)."""
        return wait_until(self.closed, timeout, "the server to close the connection of " + self.address)

    def send(self, text):
        self.sock.sendall(text.encode(WIRE_ENCODING))

    def sign_in(self, session, user):
        """Starts session `session` and validates `user`, each in an arrival of its own: the
        session text goes first and the user only once the server has logged that session."""
        self.wait_for("CONNECTED")
        self.send(session)
        wait_until(lambda: self.server.logged("Inicio de sesión para [%s] completado." % session), 10,
                   "the session %s to start" % session)
        self.send("USER=" + user)
        self.wait_for("USER_OK")
        return self

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self._reader.join(timeout=5)


class Relay:
    """A TCP relay on the loopback to the web administration, whose connections the test can cut
    as a network would, while the server and its sessions stay."""

    def __init__(self, target_port):
        self.target_port = target_port
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self._lock = threading.Lock()
        self._open = []
        threading.Thread(target=self._accept, daemon=True).start()

    @property
    def url(self):
        return "http://127.0.0.1:%d/" % self.port

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return  # closed
            try:
                server = socket.create_connection(("127.0.0.1", self.target_port), timeout=10)
            except OSError:
                client.close()  # the server is gone: refused, as it would be
                continue
            with self._lock:
                self._open += [client, server]
            for source, sink in ((client, server), (server, client)):
                threading.Thread(target=self._pump, args=(source, sink), daemon=True).start()

    @staticmethod
    def _pump(source, sink):
        try:
            while data := source.recv(65536):
                sink.sendall(data)
        except OSError:
            pass
        for end in (source, sink):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def cut(self):
        """Ends every connection relayed now; new ones are relayed as before."""
        with self._lock:
            cut, self._open = self._open, []
        for end in cut:
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            end.close()

    def close(self):
        self.listener.close()
        self.cut()


def start_browser(width, height):
    """Headless Chromium through Debian's chromedriver, with the window of the given size."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    options.add_argument("--headless=new")
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")
    options.add_argument("--disable-dev-shm-usage")
    options.add_argument("--disable-gpu")
    options.add_argument("--lang=es")
    options.add_argument("--window-size=%d,%d" % (width, height))
    driver = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)
    driver.set_window_size(width, height)
    driver.set_page_load_timeout(30)
    driver.set_script_timeout(30)
    return driver
