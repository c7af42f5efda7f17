#!/usr/bin/python3
"""The page server refuses what is not its page's: requests without the
token or with a wrong one, a foreign Host (DNS rebinding), a write with a
foreign Origin, any path outside its routes, a body that is not a mark, a
mark for a row the model does not have; an answered mark is on disk at the
moment of the answer; SIGTERM and POST /quit end it with status 0. Idle
connections and clients that send a header line now and then never keep
the owner's requests waiting, and SIGINT, SIGTERM and Quit end the page
within 2 s whatever they do.

  page_refusals_test.py VORTAN CIF2EXP SOURCE_DIR
"""
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import page_support  # noqa: E402

failures = []


def expect(what, condition, detail=""):
    if not condition:
        failures.append(f"{what} {detail}")


def marks_on_disk(folder):
    """The marked records of S.VORTAN and S.TORHB."""
    marked = []
    for name in ["S.VORTAN", "S.TORHB"]:
        with open(os.path.join(folder, name), encoding="latin-1") as f:
            marked += [line for line in f if line.startswith("Y")]
    return marked


def main():
    vortan, cif2exp, source_dir = sys.argv[1:4]
    with tempfile.TemporaryDirectory() as folder:
        page_support.write_p41(folder, source_dir, cif2exp)
        with open(os.path.join(folder, "S.EXP"), encoding="latin-1") as f:
            experiment_head = f.read(40)
        server = page_support.Server(vortan, folder)
        try:
            check_server(server, folder, experiment_head)
        finally:
            status = server.terminate()
        expect("SIGTERM ends the page with status 0,", status == 0, f"got {status}: {server.output[-500:]!r}")

        # On a desktop the browser is opened on a file of the user's alone
        # that leads to the address: the token is on no command line. POST
        # /quit ends the page, after its answer, and the file goes.
        environment = page_support.quiet_environment()
        environment.update(DISPLAY=":99", PATH=os.path.join(folder, "bin") + ":" + environment["PATH"],
                           TMPDIR=folder, OPENED=os.path.join(folder, "opened"))
        os.mkdir(os.path.join(folder, "bin"))
        with open(os.path.join(folder, "bin", "xdg-open"), "w", encoding="utf-8") as f:
            f.write('#!/bin/sh\n{ echo "$@"; stat -c %a "$1"; cat "$1"; } > "$OPENED.part"; mv "$OPENED.part" "$OPENED"\n')
        os.chmod(os.path.join(folder, "bin", "xdg-open"), 0o755)
        server = page_support.Server(vortan, folder, environment)
        deadline = time.monotonic() + 30
        while not os.path.exists(environment["OPENED"]) and time.monotonic() < deadline:
            time.sleep(0.05)
        opened = open(environment["OPENED"], encoding="utf-8").read().split("\n", 2) if os.path.exists(
            environment["OPENED"]) else ["", "", ""]
        expect("xdg-open is started on a desktop,", opened[0] != "", str(opened))
        expect("the browser's command line has no token,", server.token not in opened[0], opened[0])
        expect("the file for the browser is the user's alone,", opened[1] == "600", opened[1])
        expect("the file leads to the address,", f'url={server.url}"' in opened[2], opened[2])
        answer = server.request("POST", "/quit")
        expect("/quit answers 200,", answer[0] == 200, str(answer))
        status = server.finish()
        expect("/quit ends the page with status 0,", status == 0, f"got {status}")
        expect("the file for the browser goes with the page,", not os.path.exists(opened[0]) if opened[0] else True)

        for ending in ["SIGINT", "SIGTERM", "Quit"]:
            check_bounds(vortan, folder, ending)

    for failure in failures:
        print("FAILED:", failure)
    print(f"{len(failures)} failures")
    return 1 if failures else 0


def check_server(server, folder, experiment_head):
    port, token = server.port, server.token

    # The page and its parts, with the token in the query as the page's
    # own links carry it, or in X-Token.
    status, headers, body = server.request("GET", f"/?token={token}", token=False)
    expect("the page with its token is served,", status == 200, str(status))
    expect("the page links its script with the token,", f"/page.js?token={token}".encode() in body)
    for name, want in [("Content-Type", "text/html"), ("Cache-Control", "no-store"),
                       ("X-Content-Type-Options", "nosniff"), ("Content-Security-Policy", "default-src 'self'")]:
        expect(f"the page's {name},", want in headers.get(name, ""), repr(headers.get(name)))
    expect("no inline script is allowed,", "unsafe-inline" not in headers.get("Content-Security-Policy", ""))
    for path, kind in [("/page.js", "text/javascript"), ("/page.css", "text/css"), ("/icon.svg", "image/svg+xml"),
                       ("/phases.json", "application/json"), ("/drawing/1.json", "application/json"),
                       ("/rows?phase=1&kind=bond", "application/json")]:
        status, headers, body = server.request("GET", path)
        expect(f"{path} is served,", status == 200 and headers.get("Content-Type", "").startswith(kind),
               f"{status} {headers.get('Content-Type')}")
    results = json.loads(server.request("GET", "/phases.json")[2])
    expect("the results name the experiment,", results.get("experiment") == "S", str(results.get("experiment")))

    # No token, a wrong one, a token of the wrong length, an empty one.
    for what, path, headers in [
            ("no token", "/", {}),
            ("no token on the results", "/phases.json", {}),
            ("a wrong token", "/?token=" + ("0" * 32 if token != "0" * 32 else "1" * 32), {}),
            ("a wrong X-Token", "/rows?phase=1&kind=bond", {"X-Token": token[:-1] + ("a" if token[-1] != "a" else "b")}),
            ("a short token", "/?token=" + token[:16], {}),
            ("an empty token", "/?token=", {})]:
        status, _, body = server.request("GET", path, headers=headers, token=False)
        expect(f"{what} is refused,", status == 403, f"{status} {body[:80]!r}")
    status, _, _ = server.request("POST", "/mark", {"kind": "bond", "atoms": ["O1", "C1"], "site_codes": [".", "."],
                                                    "phase": 1, "publish": True}, token=False)
    expect("a mark without the token is refused,", status == 403, str(status))

    # The Host must be ours: a rebound name brings its own.
    for host in ["evil.example", f"evil.example:{port}", f"127.0.0.1:{port + 1 if port < 65535 else port - 1}",
                 "127.0.0.1", f"localhost.evil.example:{port}", f"[::1]:{port}"]:
        status, _, _ = server.request("GET", "/phases.json", host=host)
        expect(f"Host {host} is refused,", status == 403, str(status))
    status, _, _ = server.request("GET", "/phases.json", host=f"localhost:{port}")
    expect("Host localhost:PORT is served,", status == 200, str(status))

    # A write from another origin, with the token (a leaked one) or not.
    row = {"kind": "bond", "atoms": ["O1", "C1"], "site_codes": [".", "."], "phase": 1, "publish": True}
    for origin in ["http://evil.example", f"http://evil.example:{port}", "null", f"https://127.0.0.1:{port}",
                   f"http://127.0.0.1:{port + 1 if port < 65535 else port - 1}"]:
        for path, body in [("/mark", row), ("/write-cif", None), ("/quit", None)]:
            status, _, _ = server.request("POST", path, body, headers={"Origin": origin})
            expect(f"POST {path} from {origin} is refused,", status == 403, str(status))
    expect("no refused mark reached the disk,", marks_on_disk(folder) == [], str(marks_on_disk(folder)))

    # Only the routes: no path of the request reaches the file system.
    for path in ["/../S.EXP", "/S.EXP", "/%2e%2e/S.EXP", "/..%2fS.EXP", "/drawing/../S.EXP", "/drawing/1.svg/../../S.EXP",
                 "/etc/passwd", "/%2fetc%2fpasswd", "//etc/passwd", "/drawing/2.json", "/drawing/0.json",
                 "/drawing/1.json.bak", "/drawing/1.svg", "/page.js/", "/index.html", "/results.json",
                 "/phases.json/../S.EXP", "/mark"]:
        status, _, body = server.request("GET", path)
        expect(f"GET {path} is not found,", status == 404, f"{status} {body[:80]!r}")
        expect(f"GET {path} shows no file,", experiment_head.encode("latin-1") not in body and b"root:" not in body)
    for path in ["/", "/phases.json", "/quit/..", "/marks"]:
        status, _, _ = server.request("POST", path, {})
        expect(f"POST {path} is not found,", status == 404, str(status))

    # Bodies that are not marks, and rows the model does not have.
    for what, body in [("not JSON", "{kind: bond"), ("an array", "[]"), ("no kind", {**row, "kind": None}),
                       ("an unknown kind", {**row, "kind": "plane"}),
                       ("three atoms for a bond", {**row, "atoms": ["O1", "C1", "C2"], "site_codes": [".", ".", "."]}),
                       ("codes short of the atoms", {**row, "site_codes": ["."]}),
                       ("a number as a label", {**row, "atoms": ["O1", 1]}),
                       ("publish as text", {**row, "publish": "yes"}),
                       ("no publish", {k: v for k, v in row.items() if k != "publish"}),
                       ("a negative phase", {**row, "phase": -1})]:
        status, _, _ = server.request("POST", "/mark", body)
        expect(f"a mark with {what} is a bad request,", status == 400, str(status))
    for what, body in [("atoms that are not bonded", {**row, "atoms": ["O1", "C12"]}),
                       ("an unknown label", {**row, "atoms": ["O1", "X99"]}),
                       ("the wrong image", {**row, "site_codes": [".", "2_655"]}),
                       ("another phase", {**row, "phase": 2}),
                       ("a torsion that is a bond's atoms",
                        {**row, "kind": "torsion", "atoms": ["O1", "C1", "O1", "C1"], "site_codes": ["."] * 4})]:
        status, headers, answer = server.request("POST", "/mark", body)
        expect(f"a mark of {what} is not found,", status == 404, str(status))
        expect(f"a mark of {what} says so in JSON,", headers.get("Content-Type") == "application/json"
               and "error" in json.loads(answer or b"{}"), repr(answer))
    expect("no mark of a missing row reached the disk,", marks_on_disk(folder) == [], str(marks_on_disk(folder)))

    # A mark answered is on disk when the answer comes, from our origin.
    before = marks_on_disk(folder)
    status, _, answer = server.request("POST", "/mark", row, headers={"Origin": f"http://localhost:{port}"})
    expect("a mark of our origin is saved,", status == 200 and json.loads(answer).get("publish") is True,
           f"{status} {answer!r}")
    after = marks_on_disk(folder)
    expect("the answered mark is on disk,", len(after) == len(before) + 1, repr(after))
    bonds = json.loads(server.request("GET", "/rows?phase=1&kind=bond&count=10000")[2])["rows"]
    bond = [b for b in bonds if b["atoms"] == ["O1", "C1"] and b["site_codes"] == [".", "."]]
    expect("the results show the mark,", bond and bond[0]["publish"] is True, str(bond))
    status, _, answer = server.request("POST", "/mark", {**row, "publish": False, "phase": 0})
    expect("phase 0 names the one phase with the row,", status == 200, f"{status} {answer!r}")
    expect("the cleared mark is off the disk,", marks_on_disk(folder) == before, repr(marks_on_disk(folder)))

    # The rows by ranges and their marks by indices: what is not a view, a
    # range or a row is refused, and nothing reaches the disk.
    total = len(bonds)
    for what, query in [("no phase", "kind=bond"), ("phase 0", "phase=0&kind=bond"), ("a phase past 9", "phase=10&kind=bond"),
                        ("an unknown kind", "phase=1&kind=plane"), ("a negative first", "phase=1&kind=bond&first=-1"),
                        ("count 0", "phase=1&kind=bond&count=0"), ("count past the most", "phase=1&kind=bond&count=10001"),
                        ("a count in words", "phase=1&kind=bond&count=ten"), ("marked=2", "phase=1&kind=bond&marked=2"),
                        ("an unknown column", "phase=1&kind=bond&sort=value2"), ("atom 3 of a bond", "phase=1&kind=bond&sort=atom3"),
                        ("a filter of 1001 characters", "phase=1&kind=bond&filter=" + "c" * 1001)]:
        status, _, answer = server.request("GET", "/rows?" + query)
        expect(f"rows with {what} are a bad request,", status == 400 and "error" in json.loads(answer or b"{}"),
               f"{status} {answer[:80]!r}")
    status, _, _ = server.request("GET", "/rows?phase=2&kind=bond")
    expect("rows of a phase the run lacks are not found,", status == 404, str(status))
    status, _, answer = server.request("GET", f"/rows?phase=1&kind=bond&first={total + 5}")
    page = json.loads(answer)
    expect("a range past the rows is empty,", status == 200 and page["rows"] == [] and page["total"] == total, repr(answer))
    by_index = {"kind": "bond", "phase": 1, "publish": True}
    for what, body in [("an index past the rows", {**by_index, "rows": [total]}), ("no rows", {**by_index, "rows": []}),
                       ("a negative index", {**by_index, "rows": [-1]}), ("an index as text", {**by_index, "rows": ["0"]}),
                       ("phase 10", {**by_index, "phase": 10, "rows": [0]}),
                       ("10001 rows", {**by_index, "rows": list(range(10001))})]:
        status, _, answer = server.request("POST", "/mark", body)
        expect(f"a mark of {what} is refused,", status in (400, 404) and "error" in json.loads(answer or b"{}"),
               f"{status} {answer[:80]!r}")
    status, _, _ = server.request("POST", "/mark-shown?phase=1&kind=bond&filter=Xx99", {"publish": True})
    expect("marking an empty view is a bad request,", status == 400, str(status))
    expect("no refused mark by index reached the disk,", marks_on_disk(folder) == before, repr(marks_on_disk(folder)))
    status, _, answer = server.request("POST", "/undo")
    expect("the undo of the cleared mark puts it back,", status == 200 and json.loads(answer)["publish"] is True,
           f"{status} {answer!r}")
    expect("the undone clearing is on disk,", marks_on_disk(folder) == after, repr(marks_on_disk(folder)))
    server.request("POST", "/undo")
    status, _, answer = server.request("POST", "/undo")
    expect("an undo with nothing left is not found,", status == 404 and "error" in json.loads(answer), f"{status}")
    expect("every undo reached the disk,", marks_on_disk(folder) == before, repr(marks_on_disk(folder)))


def check_bounds(vortan, folder, ending):
    """200 idle connections and 40 clients that send a header line every
    half second, then the owner's requests, then the end of the page."""
    server = page_support.Server(vortan, folder)
    idle, slow = [], []
    stop = threading.Event()
    try:
        for _ in range(200):
            idle.append(socket.create_connection(("127.0.0.1", server.port), timeout=10))
        for _ in range(40):
            client = socket.create_connection(("127.0.0.1", server.port), timeout=10)
            client.sendall(b"GET /phases.json HTTP/1.1\r\n")
            slow.append(client)

        def drip():
            while not stop.is_set():
                for client in slow:
                    try:
                        client.sendall(b"X-Slow: 1\r\n")
                    except OSError:
                        pass
                time.sleep(0.5)

        dripping = threading.Thread(target=drip, daemon=True)
        dripping.start()
        time.sleep(1.0)
        for path in ["/phases.json", "/drawing/1.json", f"/?token={server.token}"]:
            started = time.monotonic()
            try:
                status, _, _ = server.request("GET", path, token=path[0:2] != "/?")
            except OSError as error:
                status = f"no answer ({error})"
            took = time.monotonic() - started
            expect(f"{ending} run: GET {path} beside idle and slow clients is answered,", status == 200, str(status))
            expect(f"{ending} run: GET {path} beside idle and slow clients takes under 1.5 s,", took < 1.5,
                   f"{took:.2f} s")
        started = time.monotonic()
        if ending == "Quit":
            try:
                status, _, _ = server.request("POST", "/quit")
            except OSError as error:
                status = f"no answer ({error})"
            expect("Quit beside idle and slow clients is answered,", status == 200, str(status))
        else:
            server.process.send_signal(getattr(signal, ending))
        try:
            server.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            pass  # reported below
        took = time.monotonic() - started
        expect(f"{ending} ends the page beside idle and slow clients within 2 s,", took < 2.0, f"{took:.2f} s")
        expect(f"{ending} ends the page with status 0,", server.process.returncode == 0,
               str(server.process.returncode))
        expect(f"{ending} gives up the experiment's lock,", not os.path.exists(os.path.join(folder, "S.VORTAN.lock")))
    finally:
        stop.set()
        for client in idle + slow:
            client.close()
        server.kill()


if __name__ == "__main__":
    sys.exit(main())
