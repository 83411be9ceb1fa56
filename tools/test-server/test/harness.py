"""Runs velmora-server on a free loopback port and plays the client against it."""

import os
import queue
import signal
import socket
import subprocess
import threading

SERVER = os.environ.get("VELMORA_SERVER", "velmora-server")
# Only a guard against a hung test, never a measurement.
GUARD = 60


class Server:
    """velmora-server on port 0; its transcript is read line by line as it comes."""

    def __init__(self, *args, stdin=subprocess.DEVNULL):
        self.proc = subprocess.Popen(
            [SERVER, "--port", "0", *args],
            stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self._lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._pump, daemon=True).start()
        first = self.next_line()
        assert first.startswith("LISTENING 127.0.0.1:"), first
        self.port = int(first.rsplit(":", 1)[1])

    def _pump(self):
        for raw in self.proc.stdout:
            self._lines.put(raw.decode("utf-8", "replace").rstrip("\n"))
        self._lines.put(None)

    def next_line(self):
        line = self._lines.get(timeout=GUARD)
        if line is None:
            raise AssertionError("transcript ended; so far: %r" % self.seen)
        self.seen.append(line)
        return line

    def wait_for(self, text):
        """Reads the transcript up to the line text."""
        while self.next_line() != text:
            pass

    def finish(self):
        """Waits for the server to exit; returns its code and whole transcript."""
        code = self.proc.wait(timeout=GUARD)
        while (line := self._lines.get(timeout=GUARD)) is not None:
            self.seen.append(line)
        return code, self.seen

    def stop(self):
        os.kill(self.proc.pid, signal.SIGTERM)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if stream:
                stream.close()


class Client:
    """The client's side of the wire, reduced to what the tests need."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=GUARD)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.address = "127.0.0.1:%d" % self.sock.getsockname()[1]
        self._buffer = b""

    def read_line(self):
        """The next line with its newline, or b"" once the server has closed."""
        while b"\n" not in self._buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                rest, self._buffer = self._buffer, b""
                return rest
            self._buffer += chunk
        line, _, self._buffer = self._buffer.partition(b"\n")
        return line + b"\n"

    def read_exactly(self, count):
        while len(self._buffer) < count:
            chunk = self.sock.recv(65536)
            assert chunk, "server closed early"
            self._buffer += chunk
        data, self._buffer = self._buffer[:count], self._buffer[count:]
        return data

    def waiting(self):
        """What the server has sent that is not read yet, without blocking."""
        # A socket with a timeout waits for data even when asked not to.
        self.sock.settimeout(0)
        try:
            self._buffer += self.sock.recv(65536)
        except BlockingIOError:
            pass
        finally:
            self.sock.settimeout(GUARD)
        return self._buffer

    def send(self, data):
        self.sock.sendall(data)

    def answer(self, replies):
        """Reads one command and sends the reply the table has for it."""
        command = self.read_line().rstrip(b"\n")
        self.send(replies[command] + b"\n")
        return command

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
