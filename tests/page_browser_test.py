#!/usr/bin/python3
"""The page in a real browser (headless chromium through chromedriver and
selenium), as a user works with it:

- the tables open on the publication CIF's rows, against NAME.json's
  "paper" flag, with every row one click away; a row marked while the
  next view's rows are on their way is marked in that view;
- bonds: one marked by its box, one by a click on the drawing, one more by
  its box, the first unmarked again; the publication CIF written. Exactly
  the two bonds are then marked on disk and flagged in the CIF;
- a torsion angle and a hydrogen bond the same way (a second torsion
  marked and unmarked); Write CIF and Quit clicked while marks are still
  on their way wait for them;
- the sorting, the atom filter and the value(su) digits against a
  reference computed here with Python's decimal arithmetic;
- the program killed (SIGKILL) between two clicks: the mark answered
  before (while the drawing's marks were on their way) is on disk and
  drawn, the click after it is refused on the page and its box
  goes back;
- selection: an element filter and several atoms against a reference
  filter computed here; "mark shown" on a filtered table marks exactly
  its rows in the files (the filter changed and the next rows still on
  their way, the rows shown), Ctrl+Z puts the files back byte for byte and
  Ctrl+Shift+Z makes the change again; a shift-click marks a range; the
  keyboard moves and ticks; "marked only" shows the marked rows; zooming
  and turning the drawing leave rows, marks and files as they were;
- 120 random actions (seeded: ticks, shift-ticks, views, sorts, filters,
  mark shown, undo, redo, the drawing), the answers late by random
  amounts: the page ends showing exactly the program's marks.

  page_browser_test.py VORTAN CIF2EXP SOURCE_DIR [SCREENSHOT.png]

on `vortan S --serve`; the marks are read back from S.VORTAN, S.TORHB,
S_geom.cif and a later run's S.json. Exit status 77 (skipped) without
chromium, chromedriver or python3-selenium.
"""
import decimal
import itertools
import json
import os
import re
import subprocess
import sys
import tempfile
import time

import numpy

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import page_support  # noqa: E402

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.actions.wheel_input import ScrollOrigin
    from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
except ImportError:
    print("python3-selenium is not installed: skipped")
    sys.exit(page_support.SKIP)

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
failures = []


def expect(what, condition, detail=""):
    if not condition:
        failures.append(f"{what} {detail}")


def wait_for(what, condition, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def fresh(act, timeout=15):
    """Runs act() again while the page redraws under it: a view may draw its
    rows twice (at once, then with the program's answer), so a box found in
    the first drawing can be gone when it is used."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            return act()
        except (StaleElementReferenceException, NoSuchElementException):
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def settle(what, get, want, timeout=15):
    """Polls get() until it equals want (the page answers asynchronously);
    a failure when it never does."""
    deadline = time.monotonic() + timeout
    got = get()
    while got != want and time.monotonic() < deadline:
        time.sleep(0.05)
        got = get()
    expect(what, got == want, f"got {str(got)[:300]}, want {str(want)[:300]}")
    return got


def all_rows(server, kind, query=""):
    """The rows of a kind as the program serves them, in the model's order."""
    answer = json.loads(server.request("GET", f"/rows?phase=1&kind={kind}&count=10000{query}")[2])
    return answer["rows"]


def results_of(server):
    """The phases' document with every row, as NAME.json gives it."""
    results = json.loads(server.request("GET", "/phases.json")[2])
    for phase in results["phases"]:
        for key, kind in KINDS:
            phase[key] = all_rows(server, kind)
    return results


KINDS = [("bonds", "bond"), ("angles", "angle"), ("torsions", "torsion"), ("hydrogen_bonds", "hbond")]


def shown_rows(driver, kind):
    return driver.execute_script(
        "return [...document.querySelectorAll(`tr[data-kind='${arguments[0]}']`)]"
        ".map(tr => tr.dataset.atoms + '|' + tr.dataset.siteCodes)", kind)


def row_key(row):
    return " ".join(row["atoms"]) + "|" + " ".join(row["site_codes"])


def type_filter(driver, text):
    box = driver.find_element(By.ID, "filter")
    driver.execute_script("arguments[0].value = arguments[1]; arguments[0].dispatchEvent(new Event('input'))", box, text)


def drawing_point(driver, kind, row, code=None):
    """Client pixels of an atom (row: its label) or a bond's middle."""
    return driver.execute_script("return page.phases[0].drawing.whereIs(arguments[0], arguments[1], arguments[2])",
                                 kind, row, code)


def click_at(driver, point, shift=False):
    """A real click of the mouse at client pixels of the drawing's canvas."""
    canvas = driver.find_element(By.CSS_SELECTOR, "figure.drawing canvas")
    left, top, width, height = driver.execute_script(
        "const b = arguments[0].getBoundingClientRect(); return [b.left, b.top, b.width, b.height]", canvas)
    actions = ActionChains(driver).move_to_element_with_offset(canvas, round(point["x"] - left - width / 2),
                                                               round(point["y"] - top - height / 2))
    if shift:
        actions = actions.key_down(Keys.SHIFT)
    actions = actions.click()
    if shift:
        actions = actions.key_up(Keys.SHIFT)
    actions.perform()


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    for argument in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1400,1000", "--no-first-run", "--disable-extensions"]:
        options.add_argument(argument)
    return webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)


# Holds back the answers to the requests whose path begins with a prefix
# until released; the requests themselves go out at once, so an answer
# held is one the program gave before whatever the test does meanwhile.
HOLD = """
    if (!window.held) {
      const plainFetch = window.fetch.bind(window);
      window.fetch = (path, options) => {
        const answer = plainFetch(path, options);
        if (window.held.prefix === null || !String(path).startsWith(window.held.prefix)) return answer;
        answer.then(() => { window.held.arrived += 1; }, () => {});
        return new Promise((resolve, reject) => window.held.answers.push(() => answer.then(resolve, reject)));
      };
    }
    window.held = { prefix: %s, answers: [], arrived: 0 };"""


def hold_answers(driver, prefix, before_loading=False):
    script = HOLD % json.dumps(prefix)
    if before_loading:
        driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": script})
    else:
        driver.execute_script(script)


def held_answers(driver, count):
    wait_for(f"{count} answers held", lambda: driver.execute_script("return window.held.arrived") >= count)


def release_answers(driver):
    driver.execute_script("window.held.prefix = null; window.held.answers.forEach((release) => release());")


def leaving_asks(driver):
    """Whether the page would ask before it is left."""
    return driver.execute_script(
        "const event = new Event('beforeunload', { cancelable: true }); window.dispatchEvent(event);"
        "return event.defaultPrevented;")


def open_page(driver, server, every_row=True):
    """Opens the page; with `every_row`, each table shows every row of its
    kind, not only the publication CIF's."""
    driver.get(server.url)
    wait_for("the page", lambda: driver.execute_script("return document.body.dataset.ready === 'true'"))
    if every_row:
        show_every_row(driver)


def show_every_row(driver):
    for box in driver.find_elements(By.CSS_SELECTOR, "[data-action=paper-only]"):
        if box.is_selected():
            driver.execute_script("arguments[0].click()", box)
    wait_for("every row shown", lambda: driver.execute_script(
        "return page.phases.every(p => p.markable.every(t => !t.paperOnly && t.total === t.rowsOfKind))"))


def table_count(driver, key):
    return driver.find_element(By.CSS_SELECTOR, f'table[data-table="{key}"] caption .count').text


def check_paper_view(driver, server, results):
    """The tables open on the publication CIF's rows (NAME.json's "paper"),
    every row one click away, the filter and "chemical bonds only" within
    them; a row marked is in the paper, and leaves it when cleared."""
    phase = results["phases"][0]
    for key, kind in KINDS:
        paper = [row_key(row) for row in phase[key] if row["paper"] or kind == "hbond"]
        settle(f"the {key} open on the paper's rows,", lambda: shown_rows(driver, kind), paper[:100])
        rows = len(phase[key])
        want = f"({len(paper)} rows, 0 marked)" if len(paper) == rows else f"({len(paper)} of {rows} rows, 0 marked)"
        settle(f"the {key}' count says so,", lambda: table_count(driver, key), want)
    expect("the structure has distances outside the paper,", not all(row["paper"] for row in phase["bonds"]))
    type_filter(driver, "C1")
    settle("the filter keeps to the paper's bonds,", lambda: shown_rows(driver, "bond"),
           [row_key(b) for b in phase["bonds"] if b["paper"] and "C1" in b["atoms"]])
    type_filter(driver, "")
    table = driver.find_element(By.CSS_SELECTOR, 'table[data-table="bonds"]')
    chemical = table.find_element(By.CSS_SELECTOR, "input.chemical-only")
    chemical.click()
    settle("chemical bonds only within the paper's,", lambda: shown_rows(driver, "bond"),
           [row_key(b) for b in phase["bonds"] if b["paper"] and b["chemical_bond"]])
    chemical.click()
    # A contact marked from the view of every row is in the paper; cleared
    # there, it leaves the paper's view.
    paper_box = table.find_element(By.CSS_SELECTOR, "[data-action=paper-only]")
    paper_box.click()
    contact = next(b for b in phase["bonds"] if not b["paper"])
    settle("every bond one click away,", lambda: len(shown_rows(driver, "bond")), min(100, len(phase["bonds"])))
    click_box(driver, "bond", contact["atoms"], contact["site_codes"], True)
    paper_box.click()
    paper = [b for b in phase["bonds"] if b["paper"]]
    settle("the paper's view counts the marked contact,", lambda: table_count(driver, "bonds"),
           f"({len(paper) + 1} of {len(phase['bonds'])} rows, 1 marked)")
    settle("the marked contact is in the paper's view,", lambda: row_key(contact) in shown_rows(driver, "bond"), True)
    # Its answer takes the row away, box and all.
    press_box(driver, "bond", contact["atoms"], contact["site_codes"])
    settle("cleared, it leaves the paper's view,", lambda: row_key(contact) in shown_rows(driver, "bond"), False)
    expect("and the results file holds no mark,", server_marked(server, "bond") == [])


def check_mark_while_loading(driver, server, results):
    """A box clicked in a view being replaced: the rows of the next view,
    answered before the mark, must not show the row unmarked."""
    bond = next(b for b in results["phases"][0]["bonds"] if b["paper"])
    hold_answers(driver, "/rows?")
    table = driver.find_element(By.CSS_SELECTOR, 'table[data-table="bonds"]')
    table.find_element(By.CSS_SELECTOR, "[data-action=paper-only]").click()
    held_answers(driver, 1)
    click_box(driver, "bond", bond["atoms"], bond["site_codes"], True)
    release_answers(driver)
    settle("every bond shown,", lambda: table_count(driver, "bonds"), f"({len(results['phases'][0]['bonds'])} rows, 1 marked)")
    settle("the row marked while they loaded is marked in the view,",
           lambda: box_state(driver, "bond", bond["atoms"], bond["site_codes"]), (True, True))
    click_box(driver, "bond", bond["atoms"], bond["site_codes"], False)
    expect("and cleared again,", server_marked(server, "bond") == [])


def row_selector(kind, atoms, codes):
    return (f'tr[data-kind="{kind}"][data-atoms="{" ".join(atoms)}"]'
            f'[data-site-codes="{" ".join(codes)}"]')


def box_of(driver, kind, atoms, codes):
    return driver.find_element(By.CSS_SELECTOR, row_selector(kind, atoms, codes) + " input[type=checkbox]")


def press_box(driver, kind, atoms, codes, shift=False):
    """Scrolls the row's box into view and clicks it, finding it afresh if a
    redraw replaced it."""
    def press():
        box = box_of(driver, kind, atoms, codes)
        driver.execute_script("arguments[0].scrollIntoView({block: 'center'})", box)
        if shift:
            ActionChains(driver).key_down(Keys.SHIFT).click(box).key_up(Keys.SHIFT).perform()
        else:
            box.click()
    fresh(press)


def box_state(driver, kind, atoms, codes):
    """(ticked, enabled) of the row's box as the page shows it now."""
    def state():
        box = box_of(driver, kind, atoms, codes)
        return box.is_selected(), box.is_enabled()
    return fresh(state)


def click_box(driver, kind, atoms, codes, want):
    """Clicks the row's box and waits for the answer; the box then shows `want`."""
    press_box(driver, kind, atoms, codes)
    wait_for("the mark's answer", lambda: box_state(driver, kind, atoms, codes)[1])
    expect(f"the box of {kind} {atoms} {codes} shows {want},", box_state(driver, kind, atoms, codes)[0] == want,
           driver.find_element(By.ID, "status").text)


# value(su): the su rounded to two significant digits decides whether it
# keeps two (a leading 1) or one; the value is rounded to the su's last
# digit, halves away from zero, as JavaScript's toFixed does on the exact
# binary value.
def reference_format(value, su, plain_decimals):
    def rounded(number, last):
        return number.quantize(decimal.Decimal(1).scaleb(last), decimal.ROUND_HALF_UP)

    def without_minus_zero(text):
        return text[1:] if re.fullmatch(r"-0(\.0*)?", text) else text

    exact = decimal.Decimal(value)
    if su is None or su <= 0:
        return without_minus_zero(f"{rounded(exact, -plain_decimals):f}")
    exact_su = decimal.Decimal(su)
    two = rounded(exact_su, exact_su.adjusted() - 1)
    if two.as_tuple().digits[0] == 1:
        last = two.adjusted() - 1
    else:
        last = rounded(exact_su, exact_su.adjusted()).adjusted()
    digits = int(rounded(exact_su, last).scaleb(-last))
    if last <= 0:
        return f"{without_minus_zero(f'{rounded(exact, last):f}')}({digits})"
    return f"{int(rounded(exact, last))}({digits * 10 ** last})"


def check_formatter(driver):
    cases = [(1.456236720085144, 0.004034037236124277, 4), (110.15153760983537, 0.23529253900051117, 2),
             (178.69664001464844, 0.18377938866615295, 2), (2.0, 0.0015, 4), (2.0, 0.00196, 4),
             (2.0, 0.00149, 4), (2.0, 0.00095, 4), (2.0, 0.000996, 4), (-59.850486755371094, 0.27505338191986084, 2),
             (115.43096550185165, 370.8700114707782, 2), (-0.00004, 0.0003, 4), (180.0, 0.0, 2),
             (1.2345, None, 4), (0.5501413386531002, 0.0006255301280530385, 3), (1234.5, 15.0, 2),
             (-0.04, 0.3, 2), (12.25, 0.05, 2), (2.0119662284851074, 0.003305468475446105, 4)]
    for value, su, plain in cases:
        got = driver.execute_script("return formatQuantity({value: arguments[0], su: arguments[1]}, arguments[2])",
                                    value, su, plain)
        want = reference_format(value, su, plain)
        expect(f"value(su) of {value} {su},", got == want, f"page {got!r}, reference {want!r}")


def check_projection(driver):
    """The page's outline of an ellipsoid seen along the screen's z against
    numpy's eigenvectors of the 2 x 2 block of R U R^T, and its
    re-orthonormalised views against the rotations they come from."""
    generator = numpy.random.default_rng(7)
    for case in range(8):
        a = generator.normal(size=(3, 3))
        u = a @ a.T * 0.01 + numpy.eye(3) * 0.001
        r, _ = numpy.linalg.qr(generator.normal(size=(3, 3)))
        r[2] *= numpy.sign(numpy.linalg.det(r))  # a proper rotation
        got = driver.execute_script("return outline(arguments[0], arguments[1], {})",
                                    [u[0, 0], u[1, 1], u[2, 2], u[0, 1], u[0, 2], u[1, 2]], r.tolist())
        values, vectors = numpy.linalg.eigh((r @ u @ r.T)[:2, :2])
        major, minor = numpy.sqrt(values[1]), numpy.sqrt(values[0])
        along = vectors[:, 1]
        turned = numpy.array([numpy.cos(got["angle"]), numpy.sin(got["angle"])])
        expect(f"the outline of ellipsoid {case},", abs(got["major"] - major) < 1e-9 and abs(got["minor"] - minor) < 1e-9
               and abs(abs(turned @ along) - 1) < 1e-9, f"{got}, want {major} {minor} {along}")
        rounded = numpy.round(r, 4)
        mended = numpy.array(driver.execute_script("return orthonormal(arguments[0])", rounded.tolist()))
        expect(f"view {case} made orthonormal,", numpy.abs(mended @ mended.T - numpy.eye(3)).max() < 1e-12
               and numpy.abs(mended - r).max() < 1e-3 and numpy.linalg.det(mended) > 0, str(mended))


def check_sort_and_filter(driver, results):
    bonds = results["phases"][0]["bonds"]
    table = driver.find_element(By.CSS_SELECTOR, 'table[data-table="bonds"]')
    heading = [th for th in table.find_elements(By.CSS_SELECTOR, "th") if th.text.startswith("Distance")][0]
    heading.click()
    by_distance = sorted(bonds, key=lambda b: b["distance"]["value"])
    settle("a click on Distance sorts the bonds by distance,", lambda: shown_rows(driver, "bond"),
           [row_key(b) for b in by_distance])
    heading.click()
    settle("a second click sorts the other way,", lambda: shown_rows(driver, "bond")[:1], [row_key(by_distance[-1])])
    table.find_element(By.CSS_SELECTOR, 'th[data-sort="atom1"]').click()

    phase = results["phases"][0]

    def visible():
        return sorted(driver.execute_script(
            "return [...document.querySelectorAll('tr[data-kind]')].map(tr => tr.dataset.kind + '|' + tr.dataset.atoms)"))

    type_filter(driver, "c1")
    want = sorted(f"{kind}|{' '.join(row['atoms'])}" for key, kind in KINDS for row in phase[key] if "C1" in row["atoms"])
    settle("the filter c1 shows the rows with C1,", visible, want)
    type_filter(driver, "o1 C1")
    want = sorted(f"{kind}|{' '.join(row['atoms'])}" for key, kind in KINDS for row in phase[key]
                  if "O1" in row["atoms"] and "C1" in row["atoms"])
    settle("the filter o1 C1 shows the rows with both,", visible, want)
    type_filter(driver, "")
    # The answer for a filter cleared before it came must not filter again.
    terms = "return page.phases[0].readOnly.map((table) => table.terms.length)"
    expect("the structure has a table the page filters itself,", len(driver.execute_script(terms)) > 0)
    settle("the filter cleared,", lambda: driver.execute_script(terms), [0] * len(driver.execute_script(terms)))
    hold_answers(driver, "/filter?")
    type_filter(driver, "C1")
    held_answers(driver, 1)
    type_filter(driver, "")
    time.sleep(0.5)
    release_answers(driver)
    time.sleep(0.5)
    expect("a filter cleared before its answer came stays clear,",
           not any(driver.execute_script(terms)), str(driver.execute_script(terms)))

    only = table.find_element(By.CSS_SELECTOR, "input.chemical-only")
    only.click()
    want = sum(1 for b in bonds if b["chemical_bond"])
    settle("chemical bonds only shows the bond graph's,", lambda: len(shown_rows(driver, "bond")), want)
    expect("the structure has other distances,", 0 < want < len(bonds), f"{want} of {len(bonds)}")
    only.click()
    settle("all distances again,", lambda: len(shown_rows(driver, "bond")), len(bonds))


def drawn_bond(driver, taken):
    """A bond of the drawing whose row is not among `taken`: its row's index,
    atoms and site codes."""
    for row, atoms, codes in driver.execute_script(
            "return page.phases[0].drawing.bonds.filter(b => b.row !== null && b.shown)"
            ".map(b => [b.row, [b.p.label, b.q.label], ['.', b.code]])"):
        if (tuple(atoms), tuple(codes)) not in taken:
            return row, atoms, codes
    return None


def marked_rows(results, key):
    return sorted((tuple(row["atoms"]), tuple(row["site_codes"])) for phase in results["phases"]
                  for row in phase.get(key, []) if row["publish"])


def cif_flagged(path, category):
    """(labels, codes) of the rows of the _geom_CATEGORY loop flagged yes; an
    atom without a site-symmetry column is at ".", as the first of a bond."""
    text = open(path, encoding="utf-8").read()
    flagged = []
    for loop in re.split(r"\nloop_\n", text)[1:]:
        lines = loop.split("\n")
        tags = [line.strip() for line in lines if line.startswith("_")]
        if not tags or not tags[0].startswith(f"_geom_{category}_"):
            continue
        rows = [row for row in (line.split() for line in lines[len(tags):] if line.strip()) if len(row) == len(tags)]
        label_prefix = f"_geom_{category}_atom_site_label_"
        ends = [tag[len(label_prefix):] for tag in tags if tag.startswith(label_prefix)]
        code_of = {end: tags.index(f"_geom_{category}_site_symmetry_{end}") for end in ends
                   if f"_geom_{category}_site_symmetry_{end}" in tags}
        flag = tags.index(f"_geom_{category}_publ_flag")
        for row in rows:
            if row[flag] == "yes":
                flagged.append((tuple(row[tags.index(label_prefix + end)] for end in ends),
                                tuple(row[code_of[end]] if end in code_of else "." for end in ends)))
        break
    return sorted(flagged)


def y_records(path):
    with open(path, encoding="latin-1") as f:
        return sum(1 for line in f if line.startswith("Y"))


def run_json(vortan, folder):
    """S.json of a later run, with --cif so that its site codes are numbered
    as the page's are (the paper's, which S.CIFSRC names)."""
    subprocess.run([vortan, "S", "--json", "--cif"], cwd=folder, check=True, capture_output=True, timeout=120,
                   env=page_support.quiet_environment())
    with open(os.path.join(folder, "S.json"), encoding="utf-8") as f:
        return json.load(f)


def bonds_session(vortan, folder, screenshot):
    server = page_support.Server(vortan, folder)
    driver = browser()
    try:
        open_page(driver, server, every_row=False)
        results = results_of(server)
        check_paper_view(driver, server, results)
        check_mark_while_loading(driver, server, results)
        show_every_row(driver)
        check_formatter(driver)
        check_projection(driver)
        check_sort_and_filter(driver, results)
        bonds = results["phases"][0]["bonds"]
        first = (bonds[0]["atoms"], bonds[0]["site_codes"])
        click_box(driver, "bond", *first, True)
        index, *second = drawn_bond(driver, {(tuple(first[0]), tuple(first[1]))})
        click_at(driver, drawing_point(driver, "bond", index))
        wait_for("the drawing's mark", lambda: box_state(driver, "bond", *second) == (True, True))
        expect("the bond clicked on the drawing is painted as marked,",
               driver.execute_script("return page.phases[0].drawing.markedBonds.has(arguments[0])", index))
        taken = {(tuple(first[0]), tuple(first[1])), (tuple(second[0]), tuple(second[1]))}
        third = next((b["atoms"], b["site_codes"]) for b in bonds
                     if (tuple(b["atoms"]), tuple(b["site_codes"])) not in taken)
        click_box(driver, "bond", *third, True)
        click_box(driver, "bond", *first, False)
        count = driver.find_element(By.CSS_SELECTOR, 'table[data-table="bonds"] caption .count').text
        expect("the bonds' count says 2 marked,", count.endswith(" 2 marked)"), count)
        # A click on an atom of the drawing lights its rows.
        label = "C1"
        click_at(driver, drawing_point(driver, "atom", label))
        lit = driver.execute_script(
            "return [...document.querySelectorAll('tr.highlight')].map(tr => tr.labels.includes(arguments[0]))", label)
        expect(f"a click on {label} lights its rows and only those,", lit and all(lit), str(lit[:5]))
        click_at(driver, drawing_point(driver, "atom", label))
        driver.find_element(By.ID, "write-cif").click()
        status = wait_for("the CIF", lambda: re.search(r"written: (\S+)", driver.find_element(By.ID, "status").text))
        cif = os.path.join(folder, status.group(1))
        # A refused script, style or request (the Content-Security-Policy)
        # shows only in the browser's console.
        errors = [entry["message"] for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]
        expect("the page runs without an error in the console,", not errors, str(errors))
        if screenshot:
            # The page as it opens, with the marks of this session and the
            # rows of one atom of the drawing lit.
            open_page(driver, server)
            click_at(driver, drawing_point(driver, "atom", "C9"))
            driver.save_screenshot(screenshot)
        driver.find_element(By.ID, "quit").click()
        expect("the page ends with status 0 after Quit,", server.finish() == 0, server.output[-300:])
    finally:
        driver.quit()
        server.kill()
    want = sorted([(tuple(second[0]), tuple(second[1])), (tuple(third[0]), tuple(third[1]))])
    expect("S.VORTAN has one Y record per marked bond,", y_records(os.path.join(folder, "S.VORTAN")) == 2,
           str(y_records(os.path.join(folder, "S.VORTAN"))))
    # A chemical bond is in the bond loop, another distance in the contacts.
    flagged = sorted(cif_flagged(cif, "bond") + cif_flagged(cif, "contact"))
    expect("the CIF flags exactly the two bonds,", flagged == want, str(flagged))
    results = run_json(vortan, folder)
    expect("the next run reads exactly the two bonds,", marked_rows(results, "bonds") == want,
           str(marked_rows(results, "bonds")))
    expect("the next run has no other mark,", not marked_rows(results, "angles") and not marked_rows(results, "torsions"))


def torsions_session(vortan, folder):
    server = page_support.Server(vortan, folder)
    driver = browser()
    try:
        open_page(driver, server)
        phase = results_of(server)["phases"][0]
        torsion, other = [(t["atoms"], t["site_codes"]) for t in phase["torsions"][:2]]
        hbond = (phase["hydrogen_bonds"][-1]["atoms"], phase["hydrogen_bonds"][-1]["site_codes"])
        third = (phase["torsions"][2]["atoms"], phase["torsions"][2]["site_codes"])
        click_box(driver, "torsion", *other, True)
        click_box(driver, "torsion", *torsion, True)
        # Two clicks, the second waiting for the first's answer, and at
        # once Write CIF: the CIF holds both.
        hold_answers(driver, "/mark")
        press_box(driver, "hbond", *hbond)
        held_answers(driver, 1)
        press_box(driver, "torsion", *other)
        driver.find_element(By.ID, "write-cif").click()
        time.sleep(0.5)
        release_answers(driver)
        # (Written before the clicks' answers, its status would be gone.)
        status = wait_for("the CIF written after the clicks before it",
                          lambda: re.search(r"written: (\S+)", driver.find_element(By.ID, "status").text))
        cif = os.path.join(folder, status.group(1))
        # The same with Quit: the click before it is saved.
        expect("the page is left without asking when every mark is answered,", not leaving_asks(driver))
        hold_answers(driver, "/mark")
        press_box(driver, "torsion", *other)
        held_answers(driver, 1)
        press_box(driver, "torsion", *third)
        expect("leaving the page asks first while marks are on their way,", leaving_asks(driver))
        driver.find_element(By.ID, "quit").click()
        time.sleep(0.5)
        release_answers(driver)
        expect("the page ends with status 0 after Quit,", server.finish() == 0, server.output[-300:])
    finally:
        driver.quit()
        server.kill()
    key = lambda row: (tuple(row[0]), tuple(row[1]))  # noqa: E731
    expect("S.TORHB has a Y record each for the three torsions and the H bond,",
           y_records(os.path.join(folder, "S.TORHB")) == 4, str(y_records(os.path.join(folder, "S.TORHB"))))
    expect("the CIF flags the torsion,", cif_flagged(cif, "torsion") == [key(torsion)], str(cif_flagged(cif, "torsion")))
    expect("the CIF flags the H bond,", cif_flagged(cif, "hbond") == [key(hbond)], str(cif_flagged(cif, "hbond")))
    results = run_json(vortan, folder)
    want = sorted(key(row) for row in [torsion, other, third])
    expect("the next run reads the torsions, those clicked before Quit too,",
           sorted(marked_rows(results, "torsions")) == want, f"{marked_rows(results, 'torsions')}, want {want}")
    expect("the next run reads the H bond,", marked_rows(results, "hydrogen_bonds") == [key(hbond)],
           f"{marked_rows(results, 'hydrogen_bonds')}, want {key(hbond)}")


def kill_session(vortan, folder):
    server = page_support.Server(vortan, folder)
    driver = browser()
    try:
        # The drawing's marks are held back until a bond is marked: the
        # drawing must not lose that mark to the answer given before it.
        hold_answers(driver, "/marked?", before_loading=True)
        driver.get(server.url)
        wait_for("the rows", lambda: driver.execute_script("return document.body.dataset.rows === 'true'"))
        show_every_row(driver)
        held_answers(driver, 2)
        bonds = all_rows(server, "bond")
        answered = (bonds[-1]["atoms"], bonds[-1]["site_codes"])
        late = (bonds[-2]["atoms"], bonds[-2]["site_codes"])
        click_box(driver, "bond", *answered, True)
        release_answers(driver)
        wait_for("the page", lambda: driver.execute_script("return document.body.dataset.ready === 'true'"))
        expect("the drawing keeps the bond marked while its marks loaded,",
               driver.execute_script("return page.phases[0].drawing.markedBonds.size") == 1)
        server.process.kill()
        server.process.wait(timeout=30)
        press_box(driver, "bond", *late)
        wait_for("the refused click", lambda: box_state(driver, "bond", *late)[1])
        expect("a click after the kill goes back,", not box_state(driver, "bond", *late)[0])
        expect("a click after the kill says it is not saved,",
               "Not saved" in driver.find_element(By.ID, "status").text, driver.find_element(By.ID, "status").text)
    finally:
        driver.quit()
        server.kill()
    want = [(tuple(answered[0]), tuple(answered[1]))]
    results = run_json(vortan, folder)
    expect("the answered mark survives the kill,", marked_rows(results, "bonds") == want,
           str(marked_rows(results, "bonds")))


def element_of(atom_type):
    return re.match(r"[A-Z][a-z]?", atom_type).group(0)


def reference_filter(words, labels_elements, row):
    """Whether the row holds every word, a site each: a word names the
    atoms of its label (any case) or its element, or a site code."""
    sites = list(zip(row["atoms"], row["site_codes"]))

    def fits(word, site):
        label, code = site
        if re.fullmatch(r"\d+_\d{3}", word):
            return code == word
        return label.lower() == word.lower() or labels_elements[label].lower() == word.lower()
    return any(all(fits(word, site) for word, site in zip(words, chosen))
               for chosen in itertools.permutations(sites, len(words)))


def file_bytes(folder, name):
    with open(os.path.join(folder, name), "rb") as f:
        return f.read()


def server_marked(server, kind):
    return sorted(row_key(row) for row in all_rows(server, kind, "&marked=1"))


def press(driver, *keys, shift=False):
    """Keys with Ctrl held (and Shift), on the page outside the filter."""
    driver.find_element(By.ID, "title").click()
    actions = ActionChains(driver).key_down(Keys.CONTROL)
    if shift:
        actions = actions.key_down(Keys.SHIFT)
    for key in keys:
        actions = actions.send_keys(key)
    if shift:
        actions = actions.key_up(Keys.SHIFT)
    actions.key_up(Keys.CONTROL).perform()


def selection_session(vortan, folder):
    server = page_support.Server(vortan, folder)
    driver = browser()
    try:
        open_page(driver, server)
        hint = driver.find_element(By.ID, "hint")
        expect("a first run shows the hint,", hint.is_displayed())
        hint.find_element(By.CSS_SELECTOR, "[data-action=dismiss-hint]").click()
        results = results_of(server)
        phase = results["phases"][0]
        elements = {atom["label"]: element_of(atom["type"]) for atom in phase["atoms"]}
        code = next(c for row in phase["bonds"] for c in row["site_codes"] if c != ".")
        hbond = next(row for row in phase["hydrogen_bonds"] if row["site_codes"][2] != ".")

        # The filter as a chemist types it, against the reference filter.
        def visible():
            return sorted(driver.execute_script(
                "return [...document.querySelectorAll('tr[data-kind]')].map(tr => tr.dataset.kind + '|' + tr.dataset.atoms + '|' + tr.dataset.siteCodes)"))
        for text in ["O", "n", "c1 O", "O o", "C1 o1", code, hbond["atoms"][1].lower() + " " + hbond["site_codes"][2]]:
            words = text.split()
            want = sorted(f"{kind}|{row_key(row)}" for key, kind in KINDS for row in phase[key]
                          if reference_filter(words, elements, row))
            type_filter(driver, text)
            settle(f"the filter {text!r} shows the rows holding all its words,", visible, want)
            expect(f"the filter {text!r} finds something,", want)

        # Mark shown on the filtered bonds: exactly those rows, in the file.
        before = file_bytes(folder, "S.VORTAN")
        type_filter(driver, "O")
        want = sorted(row_key(row) for row in phase["bonds"] if reference_filter(["O"], elements, row))
        settle("the bonds of O,", lambda: sorted(shown_rows(driver, "bond")), want)
        table = driver.find_element(By.CSS_SELECTOR, 'table[data-table="bonds"]')
        # The filter changed and the next rows still on their way: the rows
        # shown are still the ones marked.
        hold_answers(driver, "/rows?")
        type_filter(driver, "C1")
        held_answers(driver, len(KINDS))
        table.find_element(By.CSS_SELECTOR, "[data-action=mark-shown]").click()
        settle("mark shown marks exactly the rows shown,", lambda: server_marked(server, "bond"), want)
        release_answers(driver)
        type_filter(driver, "O")
        settle("the bonds of O again,", lambda: sorted(shown_rows(driver, "bond")), want)
        marked = file_bytes(folder, "S.VORTAN")
        expect("the file has a Y record per row marked,", y_records(os.path.join(folder, "S.VORTAN")) == len(want),
               f"{y_records(os.path.join(folder, 'S.VORTAN'))}, want {len(want)}")
        settle("the boxes show the marks,", lambda: all(driver.execute_script(
            "return [...document.querySelectorAll(`tr[data-kind='bond'] input`)].map(b => b.checked)")), True)

        # Ctrl+Z puts the file back byte for byte, Ctrl+Shift+Z makes it again.
        press(driver, "z")
        settle("Ctrl+Z puts the results file back byte for byte,", lambda: file_bytes(folder, "S.VORTAN") == before, True)
        settle("the undone rows are unmarked,", lambda: server_marked(server, "bond"), [])
        press(driver, "z", shift=True)
        settle("Ctrl+Shift+Z makes the change again,", lambda: file_bytes(folder, "S.VORTAN") == marked, True)

        # Marked only, across the filter's change.
        type_filter(driver, "")
        only = table.find_element(By.CSS_SELECTOR, "[data-action=marked-only]")
        only.click()
        settle("marked only shows the marked rows,", lambda: sorted(shown_rows(driver, "bond")), want)
        count = table.find_element(By.CSS_SELECTOR, "caption .count").text
        expect("the count says how many are marked,", count == f"({len(want)} of {len(phase['bonds'])} rows, "
               f"{len(want)} marked)", count)
        driver.find_element(By.CSS_SELECTOR, "[data-action=undo]").click()
        settle("the undo button empties the marked-only view,", lambda: shown_rows(driver, "bond"), [])
        settle("and puts the file back,", lambda: file_bytes(folder, "S.VORTAN") == before, True)
        only.click()

        # A shift-click marks the range from the row clicked before.
        angles = phase["angles"]
        settle("every angle shown,", lambda: shown_rows(driver, "angle"), [row_key(a) for a in angles])
        first, last = 3, 8
        press_box(driver, "angle", angles[first]["atoms"], angles[first]["site_codes"])
        settle("one angle marked,", lambda: server_marked(server, "angle"), [row_key(angles[first])])
        press_box(driver, "angle", angles[last]["atoms"], angles[last]["site_codes"], shift=True)
        range_keys = sorted(row_key(a) for a in angles[first:last + 1])
        settle("a shift-click marks the range,", lambda: server_marked(server, "angle"), range_keys)
        settle("the range's boxes are ticked,", lambda: driver.execute_script(
            "return [...document.querySelectorAll(`tr[data-kind='angle']`)].filter(tr => tr.querySelector('input').checked)"
            ".map(tr => tr.dataset.atoms + '|' + tr.dataset.siteCodes).sort()"), range_keys)

        # The keyboard: a row, the arrow down, Space.
        row = driver.find_element(By.CSS_SELECTOR, row_selector("angle", angles[10]["atoms"], angles[10]["site_codes"]))
        driver.execute_script("arguments[0].focus()", row)
        ActionChains(driver).send_keys(Keys.ARROW_DOWN).send_keys(Keys.SPACE).perform()
        settle("the arrow and Space mark the next row,", lambda: server_marked(server, "angle"),
               sorted(range_keys + [row_key(angles[11])]))

        # Zoom and turn: rows, marks and files stay as they are, and a bond
        # is still found where it is drawn.
        state = lambda: (shown_rows(driver, "bond"), shown_rows(driver, "angle"), server_marked(server, "angle"),  # noqa: E731
                         file_bytes(folder, "S.VORTAN"), file_bytes(folder, "S.TORHB"))
        kept = state()
        canvas = driver.find_element(By.CSS_SELECTOR, "figure.drawing canvas")
        view = lambda: driver.execute_script(  # noqa: E731
            "const d = page.phases[0].drawing; return [d.zoom, d.rotation.flat(), d.pan]")
        opened = view()
        ActionChains(driver).scroll_from_origin(ScrollOrigin.from_element(canvas), 0, -400).perform()
        for action in ["turn-left", "turn-up", "turn-clockwise", "zoom-in"]:
            driver.find_element(By.CSS_SELECTOR, f"figure.drawing [data-action={action}]").click()
        ActionChains(driver).key_down(Keys.SHIFT).click_and_hold(canvas).move_by_offset(60, 25).release().key_up(
            Keys.SHIFT).perform()
        ActionChains(driver).click_and_hold(canvas).move_by_offset(-30, 10).release().perform()
        turned = view()
        expect("the wheel and the buttons zoom,", turned[0] > opened[0] * 1.5, f"{opened[0]} -> {turned[0]}")
        expect("the buttons and a shift-drag turn,", max(abs(a - b) for a, b in zip(turned[1], opened[1])) > 0.1)
        expect("a drag moves the drawing,", turned[2] != opened[2])
        expect("zoom and turn leave rows, marks and files,", state() == kept)
        rotation = turned[1]
        r = [rotation[0:3], rotation[3:6], rotation[6:9]]
        product = [[sum(r[i][k] * r[j][k] for k in range(3)) for j in range(3)] for i in range(3)]
        expect("the turn is a rotation,", all(abs(product[i][j] - (i == j)) < 1e-9 for i in range(3) for j in range(3)),
               str(product))
        driver.find_element(By.CSS_SELECTOR, "figure.drawing [data-action=reset-view]").click()
        for action in ["turn-right", "turn-down"]:
            driver.find_element(By.CSS_SELECTOR, f"figure.drawing [data-action={action}]").click()
        index, atoms, codes = drawn_bond(driver, set())
        click_at(driver, drawing_point(driver, "bond", index))
        settle("a bond clicked on the turned drawing marks its row,", lambda: server_marked(server, "bond"),
               [f"{' '.join(atoms)}|{' '.join(codes)}"])
        errors = [entry["message"] for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]
        expect("selecting runs without an error in the console,", not errors, str(errors))
        driver.find_element(By.ID, "quit").click()
        expect("the page ends with status 0 after Quit,", server.finish() == 0, server.output[-300:])
    finally:
        driver.quit()
        server.kill()


# What a user may do, quickly and in any order, as scripts run on the page:
# the invariant after any sequence is that the page, once its answers are
# in, shows exactly the program's marks.
RANDOM_ACTIONS = {
    "tick": """const boxes = [...document.querySelectorAll(`table[data-table='${arguments[0]}'] tbody input:enabled`)];
               if (boxes.length) boxes[Math.floor(arguments[1] * boxes.length)].dispatchEvent(
                   new MouseEvent('click', { bubbles: true, cancelable: true, shiftKey: arguments[2] < 0.2 }));""",
    "view": """const boxes = [...document.querySelectorAll(`table[data-table='${arguments[0]}'] caption input`)];
               boxes[Math.floor(arguments[1] * boxes.length)].click();""",
    "sort": """const headings = [...document.querySelectorAll(`table[data-table='${arguments[0]}'] th`)];
               headings[Math.floor(arguments[1] * headings.length)].click();""",
    "mark-shown": """document.querySelector(`table[data-table='${arguments[0]}']
                         [data-action=${arguments[1] < 0.5 ? 'mark-shown' : 'unmark-shown'}]`).click();""",
    "undo": "document.getElementById(arguments[1] < 0.6 ? 'undo' : 'redo').click();",
    "drawing": """const drawing = page.phases[0].drawing;
                  const bonds = drawing.bonds.filter((b) => b.row !== null && b.shown);
                  const bond = bonds[Math.floor(arguments[1] * bonds.length)];
                  drawing.click(drawing.whereIs(bond.kind, bond.row, null));""",
}
FILTERS = ["", "C1", "O", "C1 O1", "N1", "H"]
# Every answer reaches the page 0-150 ms late (a seeded sequence), so that
# answers to requests made together come in any order.
JITTER = """
    let state = %d;
    const next = () => { state = (state * 1103515245 + 12345) %% 2147483648; return state / 2147483648; };
    const plainFetch = window.fetch.bind(window);
    window.fetch = (path, options) => plainFetch(path, options).then((answer) =>
        new Promise((resolve) => setTimeout(() => resolve(answer), next() * 150)));"""


def page_disagreements(driver, server):
    """Where the page, every answer in, does not show the program's marks."""
    wrong = []
    for key, kind in KINDS:
        marked = set(server_marked(server, kind))
        shown = driver.execute_script(
            """const table = document.querySelector(`table[data-table='${arguments[0]}']`);
               return [table.querySelector('caption .count').textContent,
                       [...table.querySelectorAll('tbody tr')].map((tr) => [tr.dataset.atoms + '|' + tr.dataset.siteCodes,
                           tr.querySelector('input').checked, tr.classList.contains('marked')]),
                       table.querySelector('[data-action=marked-only]').checked];""", key)
        count, rows, marked_only = shown
        if not count.endswith(f" {len(marked)} marked)"):
            wrong.append(f"{key}: count {count} with {len(marked)} marked")
        wrong += [f"{key}: {row} shown {ticked}" for row, ticked, painted in rows
                  if ticked != (row in marked) or painted != ticked or (marked_only and not ticked)]
    for kind, name in [("bond", "markedBonds"), ("hbond", "markedHbonds")]:
        want = sorted(json.loads(server.request("GET", f"/marked?phase=1&kind={kind}")[2])["indices"])
        drawn = sorted(driver.execute_script(f"return [...page.phases[0].drawing.{name}]"))
        if drawn != want:
            wrong.append(f"the drawing's {kind} marks {drawn}, the program's {want}")
    return wrong


def random_session(vortan, folder, seed=41, actions=120):
    server = page_support.Server(vortan, folder)
    driver = browser()
    try:
        driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": JITTER % seed})
        open_page(driver, server)
        generator = numpy.random.default_rng(seed)
        done = []
        failed_before = len(failures)
        for _ in range(actions):
            action = str(generator.choice(list(RANDOM_ACTIONS) + ["filter"], p=[0.4, 0.15, 0.08, 0.07, 0.1, 0.1, 0.1]))
            key = KINDS[int(generator.integers(len(KINDS)))][0]
            if action == "filter":
                words = FILTERS[int(generator.integers(len(FILTERS)))]
                type_filter(driver, words)
                done.append(f"filter {words!r}")
            else:
                driver.execute_script(RANDOM_ACTIONS[action], key, float(generator.random()), float(generator.random()))
                done.append(f"{action} {key}")
            time.sleep(float(generator.choice([0, 0, 0.02, 0.1, 0.3])))
            if len(done) % 10 == 0:
                # Every answer in, the page shows the program's marks.
                wait_for("every change answered", lambda: driver.execute_script("return changesWaiting === 0"))
                settle(f"after {len(done)} random actions (seed {seed}) the page shows the program's marks,",
                       lambda: page_disagreements(driver, server), [], timeout=5)
        if len(failures) > failed_before:
            print("actions:", "; ".join(done))
        # A refusal is an answer the page shows (a "mark shown" queued behind
        # clicks that emptied its view is refused); a script's error is not.
        errors = [entry["message"] for entry in driver.get_log("browser")
                  if entry["level"] == "SEVERE" and "Failed to load resource" not in entry["message"]]
        expect("random actions run without a script error in the console,", not errors, str(errors))
    finally:
        driver.quit()
        server.kill()


def main():
    vortan, cif2exp, source_dir = sys.argv[1:4]
    screenshot = os.path.abspath(sys.argv[4]) if len(sys.argv) > 4 else None
    if not (os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER)):
        print("needs Debian's chromium and chromium-driver: skipped")
        return page_support.SKIP
    for session in ["selection", "bonds", "torsions", "kill", "random"]:
        with tempfile.TemporaryDirectory() as folder:
            page_support.write_p41(folder, source_dir, cif2exp)
            if session == "bonds":
                bonds_session(vortan, folder, screenshot)
            elif session == "selection":
                selection_session(vortan, folder)
            elif session == "torsions":
                torsions_session(vortan, folder)
            elif session == "random":
                random_session(vortan, folder)
            else:
                kill_session(vortan, folder)
    for failure in failures:
        print("FAILED:", failure)
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
