#!/usr/bin/python3
"""The page of `vortan NAME --serve` at 5000 atoms, in headless chromium,
against `vortan NAME --json` on the same experiment:

- the time from the start of `vortan BIG --serve` to the first rows of
  every table on the page and to the drawing (the page's own moments,
  body[data-rows] and body[data-drawn]), against the time of
  `vortan BIG --json` alone;
- the peak resident memory (VmHWM) of `--serve` over the session (the
  load, a mark, an undo, "mark shown" on a filtered table and its undo,
  a zoom and a turn of the drawing) against that of the `--json` run;
- the time from a click on a row's box to its box answered (the mark on
  disk), and from Ctrl+Z to the undo answered, for a bond (the results
  file) and a torsion angle (the marks file, the larger).

  bench/page_bench.py VORTAN SEARCH_BENCH [FOLDER]

The experiment is search_bench's 5000-atom P 21/c phase with its 3000
variables (`search_bench --write-covariance-run FOLDER`). Wall-clock
figures: run it on a quiet machine, and read them as ratios.
"""
import os
import re
import resource
import select
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys


def environment():
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


def wait_for(condition, timeout=900, step=0.01):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(step)
    raise RuntimeError("timed out")


def json_run(vortan, folder):
    """Seconds and peak kB of `vortan BIG --json`."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    start = time.monotonic()
    subprocess.run([vortan, "BIG", "--json"], cwd=folder, check=True, capture_output=True, env=environment())
    seconds = time.monotonic() - start
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    if peak <= before:
        print("note: the --json run's peak is not above an earlier child's; its figure is a bound")
    return seconds, peak


def peak_kb(pid):
    with open(f"/proc/{pid}/status", encoding="ascii") as f:
        return int(re.search(r"VmHWM:\s+(\d+) kB", f.read()).group(1))


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1400,1000", "--no-first-run", "--disable-extensions"]:
        options.add_argument(argument)
    return webdriver.Chrome(service=Service(executable_path="/usr/bin/chromedriver"), options=options)


def main():
    vortan, search_bench = (os.path.abspath(program) for program in sys.argv[1:3])  # run in the folder
    own = None if len(sys.argv) > 3 else tempfile.TemporaryDirectory()
    folder = sys.argv[3] if len(sys.argv) > 3 else own.name
    if not os.path.exists(os.path.join(folder, "BIG.EXP")):
        subprocess.run([search_bench, "--write-covariance-run", folder], check=True)
    for name in ["BIG.VORTAN", "BIG.TORHB"]:
        if os.path.exists(os.path.join(folder, name)):
            os.remove(os.path.join(folder, name))
    json_seconds, json_peak = json_run(vortan, folder)
    print(f"vortan BIG --json: {json_seconds:.2f} s, peak {json_peak / 1024:.0f} MB")

    driver = browser()
    start = time.monotonic()
    server = subprocess.Popen([vortan, "BIG", "--serve"], cwd=folder, env=environment(), stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    output = b""
    while not (match := re.search(rb"Open (http://127\.0\.0\.1:\d+/\?token=[0-9a-f]+)\n", output)):
        select.select([server.stdout], [], [], 900)
        chunk = os.read(server.stdout.fileno(), 65536)
        if not chunk:
            raise RuntimeError(output.decode(errors="replace"))
        output += chunk
    ready = time.monotonic() - start
    try:
        driver.get(match.group(1).decode())
        wait_for(lambda: driver.execute_script("return document.body.dataset.rows === 'true'"))
        rows = time.monotonic() - start
        wait_for(lambda: driver.execute_script("return document.body.dataset.drawn === 'true'"))
        drawn = time.monotonic() - start
        counts = driver.execute_script(
            "const d = page.phases[0].drawing; return [d.atoms.length, d.bonds.length, d.hbonds.length,"
            " page.phases[0].markable.map(t => t.rowsOfKind)]")

        def timed_answer(act):
            status = driver.find_element(By.ID, "status")
            before = status.text
            page_began = driver.execute_script("return performance.now()")
            began = time.monotonic()
            act()
            wait_for(lambda: status.text != before and not status.text.startswith("Saving"), step=0.002)
            seconds = time.monotonic() - began
            # Of which the request itself, from the page's sending it to the
            # whole answer (the program's work and the loopback).
            entry = driver.execute_script(
                "const e = performance.getEntriesByType('resource').filter(e => /\\/(mark|undo|redo)/.test(e.name));"
                " return e.length ? [e[e.length - 1].startTime, e[e.length - 1].responseEnd, performance.now()] : null")
            # Inside the page: from the click's (or key's) event to the
            # answer on the page, without the driver's round trips.
            inside = driver.execute_script("return window.benchMoments.status - window.benchMoments.input")
            text = f"{status.text}; in the page {inside:.0f} ms"
            if entry is not None and entry[0] >= page_began:
                text += f", of which the request {entry[1] - entry[0]:.0f} ms"
            return seconds, text

        driver.execute_script(
            "window.benchMoments = {};"
            "for (const type of ['click', 'keydown'])"
            "  document.addEventListener(type, () => { window.benchMoments.input = performance.now(); }, true);"
            "new MutationObserver(() => { window.benchMoments.status = performance.now(); })"
            "  .observe(document.getElementById('status'), {childList: true, characterData: true, subtree: true});")
        # A table whose paper's view is empty shows every row, to be marked.
        for kind in ["bond", "torsion"]:
            table = driver.find_element(By.CSS_SELECTOR, f'table[data-kind="{kind}"]')
            if not table.find_elements(By.CSS_SELECTOR, "tbody tr"):
                paper = table.find_element(By.CSS_SELECTOR, "[data-action=paper-only]")
                driver.execute_script("arguments[0].scrollIntoView({block: 'center'})", paper)
                paper.click()
                wait_for(lambda: table.find_elements(By.CSS_SELECTOR, "tbody tr"))
        def mark_and_undo(kind):
            box = driver.find_element(By.CSS_SELECTOR, f'tr[data-kind="{kind}"] input[type=checkbox]')
            driver.execute_script("arguments[0].scrollIntoView({block: 'center'})", box)
            mark = timed_answer(box.click)
            driver.find_element(By.ID, "title").click()
            return mark + timed_answer(
                lambda: ActionChains(driver).key_down(Keys.CONTROL).send_keys("z").key_up(Keys.CONTROL).perform())

        mark_seconds, mark_status, undo_seconds, undo_status = mark_and_undo("bond")
        # The same for a torsion angle, whose marks file holds most records.
        torsion_seconds, torsion_status, torsion_undo_seconds, torsion_undo_status = mark_and_undo("torsion")
        # A filtered table marked and unmarked in one action each, a zoom
        # and a turn: the session the memory is measured over.
        box = driver.find_element(By.ID, "filter")
        driver.execute_script("arguments[0].value = 'A1'; arguments[0].dispatchEvent(new Event('input'))", box)
        table = driver.find_element(By.CSS_SELECTOR, 'table[data-table="bonds"]')
        wait_for(lambda: "of" in table.find_element(By.CSS_SELECTOR, "caption .count").text)
        shown = table.find_element(By.CSS_SELECTOR, "[data-action=mark-shown]")
        driver.execute_script("arguments[0].scrollIntoView({block: 'center'})", shown)
        shown_seconds, shown_status = timed_answer(shown.click)
        driver.find_element(By.ID, "title").click()
        shown_undo_seconds, shown_undo_status = timed_answer(driver.find_element(By.CSS_SELECTOR, "[data-action=undo]").click)
        began = time.monotonic()
        for action in ["zoom-in", "turn-left", "turn-up"]:
            driver.find_element(By.CSS_SELECTOR, f"figure.drawing [data-action={action}]").click()
        driver.execute_script("return 0")
        turn_seconds = (time.monotonic() - began) / 3
        serve_peak = peak_kb(server.pid)
        driver.find_element(By.ID, "quit").click()
        server.wait(timeout=60)
    finally:
        driver.quit()
        if server.poll() is None:
            server.kill()
    print(f"drawing: {counts[0]} atoms, {counts[1]} bonds, {counts[2]} hydrogen bonds; rows of the tables {counts[3]}")
    print(f"--serve address printed: {ready:.2f} s")
    print(f"first rows on the page: {rows:.2f} s ({rows / json_seconds:.2f} x the --json run)")
    print(f"drawing on the page: {drawn:.2f} s ({drawn / json_seconds:.2f} x the --json run)")
    print(f"peak memory of --serve: {serve_peak / 1024:.0f} MB ({serve_peak / json_peak:.2f} x the --json run)")
    print(f"one mark answered: {mark_seconds * 1000:.0f} ms ({mark_status})")
    print(f"its undo (Ctrl+Z) answered: {undo_seconds * 1000:.0f} ms ({undo_status})")
    print(f"one torsion angle marked answered: {torsion_seconds * 1000:.0f} ms ({torsion_status})")
    print(f"its undo (Ctrl+Z) answered: {torsion_undo_seconds * 1000:.0f} ms ({torsion_undo_status})")
    print(f"mark shown on the bonds of A1 answered: {shown_seconds * 1000:.0f} ms ({shown_status})")
    print(f"its undo answered: {shown_undo_seconds * 1000:.0f} ms ({shown_undo_status})")
    print(f"a zoom or turn of the drawing, to the next script call: {turn_seconds * 1000:.0f} ms")
    if own:
        own.cleanup()
    return 0


if __name__ == "__main__":
    sys.exit(main())
