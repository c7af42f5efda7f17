"""What the page's tests share: the P 41 structure (COD 2016470, cut to
its heavy atoms and three hydrogen atoms: bonds, torsion angles and two
hydrogen bonds) converted by cif2exp, and `vortan S --serve` started on it.

A server is run with DISPLAY and WAYLAND_DISPLAY removed, so that no
browser of the desktop opens, and its address is read from the line
"Open http://127.0.0.1:PORT/?token=TOKEN" of its terminal output.
"""
import http.client
import json
import os
import re
import select
import signal
import subprocess
import time

SKIP = 77  # CTest's SKIP_RETURN_CODE


def write_p41(folder, source_dir, cif2exp):
    """S.EXP and S.CMT of the P 41 paper in folder."""
    with open(os.path.join(source_dir, "tests", "support", "small_structures.cpp"), encoding="utf-8") as f:
        cif = re.search(r'kP41Cif = R"\((.*?)\)";', f.read(), re.S).group(1)
    with open(os.path.join(folder, "s.cif"), "w", encoding="utf-8") as f:
        f.write(cif)
    subprocess.run([cif2exp, "s.cif", "S"], cwd=folder, check=True, capture_output=True, timeout=120)


def quiet_environment():
    environment = dict(os.environ)
    environment.pop("DISPLAY", None)
    environment.pop("WAYLAND_DISPLAY", None)
    environment["SOURCE_DATE_EPOCH"] = "1700000000"
    return environment


class Server:
    """`vortan S --serve` in a child process, with its port and token."""

    def __init__(self, vortan, folder, environment=None):
        self.folder = folder
        self.process = subprocess.Popen([vortan, "S", "--serve"], cwd=folder, env=environment or quiet_environment(),
                                        stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.output = b""
        deadline = time.monotonic() + 120
        while True:
            match = re.search(rb"Open http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]+)\n", self.output)
            if match:
                self.port = int(match.group(1))
                self.token = match.group(2).decode()
                self.url = f"http://127.0.0.1:{self.port}/?token={self.token}"
                return
            ready, _, _ = select.select([self.process.stdout], [], [], max(0.0, deadline - time.monotonic()))
            chunk = os.read(self.process.stdout.fileno(), 65536) if ready else b""
            if not chunk:
                self.process.kill()
                raise RuntimeError("the server printed no address:\n" + self.output.decode(errors="replace"))
            self.output += chunk

    def request(self, method, path, body=None, headers=None, token=True, host=None):
        """(status, headers, body) of one request; the token as X-Token."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        all_headers = {"Host": host or f"127.0.0.1:{self.port}"}
        if token:
            all_headers["X-Token"] = self.token
        if body is not None:
            body = json.dumps(body) if not isinstance(body, (str, bytes)) else body
            all_headers["Content-Type"] = "application/json"
        elif method == "POST":
            body = b""
        all_headers.update(headers or {})
        connection.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
        for name, value in all_headers.items():
            connection.putheader(name, value)
        payload = body.encode() if isinstance(body, str) else body
        if payload is not None:
            connection.putheader("Content-Length", str(len(payload)))
        connection.endheaders(payload)
        response = connection.getresponse()
        answer = (response.status, dict(response.getheaders()), response.read())
        connection.close()
        return answer

    def mark(self, kind, atoms, codes, publish, phase=1):
        return self.request("POST", "/mark", {"kind": kind, "atoms": atoms, "site_codes": codes,
                                              "phase": phase, "publish": publish})

    def finish(self, timeout=30):
        """The exit status, after the rest of the output is read."""
        rest, _ = self.process.communicate(timeout=timeout)
        self.output += rest
        return self.process.returncode

    def terminate(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        return self.finish()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.communicate(timeout=30)

