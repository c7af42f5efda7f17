#!/usr/bin/python3
"""The page in a real browser (headless chromium through chromedriver and
selenium), as a user works with it:

- bonds: one marked by its box, one by a click on the drawing, one more by
  its box, the first unmarked again; the publication CIF written. Exactly
  the two bonds are then marked on disk and flagged in the CIF;
- a torsion angle and a hydrogen bond the same way (a second torsion
  marked and unmarked);
- the sorting, the atom filter and the value(su) digits against a
  reference computed here with Python's decimal arithmetic;
- the program killed (SIGKILL) between two clicks: the mark answered
  before is on disk, the click after it is refused on the page and its box
  goes back.

  page_browser_test.py VORTAN CIF2EXP SOURCE_DIR [SCREENSHOT.png]

on `vortan S --serve`; the marks are read back from S.VORTAN, S.TORHB,
S_geom.cif and a later run's S.json. Exit status 77 (skipped) without
chromium, chromedriver or python3-selenium.
"""
import decimal
import json
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import page_support  # noqa: E402

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
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


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    for argument in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1400,1000", "--no-first-run", "--disable-extensions"]:
        options.add_argument(argument)
    return webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)


def open_page(driver, server):
    driver.get(server.url)
    wait_for("the page", lambda: driver.execute_script("return document.body.dataset.ready === 'true'"))


def row_selector(kind, atoms, codes):
    return (f'tr[data-kind="{kind}"][data-atoms="{" ".join(atoms)}"]'
            f'[data-site-codes="{" ".join(codes)}"]')


def box_of(driver, kind, atoms, codes):
    return driver.find_element(By.CSS_SELECTOR, row_selector(kind, atoms, codes) + " input[type=checkbox]")


def click_box(driver, kind, atoms, codes, want):
    """Clicks the row's box and waits for the answer; the box then shows `want`."""
    box = box_of(driver, kind, atoms, codes)
    driver.execute_script("arguments[0].scrollIntoView({block: 'center'})", box)
    box.click()
    wait_for("the mark's answer", lambda: box.is_enabled())
    expect(f"the box of {kind} {atoms} {codes} shows {want},", box.is_selected() == want,
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


def check_sort_and_filter(driver, results):
    bonds = results["phases"][0]["bonds"]
    table = driver.find_element(By.CSS_SELECTOR, 'table[data-table="bonds"]')
    heading = [th for th in table.find_elements(By.CSS_SELECTOR, "th") if th.text.startswith("Distance")][0]
    heading.click()
    shown = driver.execute_script(
        "return [...arguments[0].querySelectorAll('tbody tr')].map(tr => tr.dataset.atoms + '|' + tr.dataset.siteCodes)",
        table)
    by_distance = sorted(bonds, key=lambda b: b["distance"]["value"])
    expect("a click on Distance sorts the bonds by distance,",
           shown == [" ".join(b["atoms"]) + "|" + " ".join(b["site_codes"]) for b in by_distance], str(shown[:5]))
    heading.click()
    first = table.find_element(By.CSS_SELECTOR, "tbody tr").get_attribute("data-atoms")
    expect("a second click sorts the other way,", first == " ".join(by_distance[-1]["atoms"]), first)

    box = driver.find_element(By.ID, "filter")
    box.send_keys("c1")
    visible = driver.execute_script(
        "return [...document.querySelectorAll('tr[data-kind]')].filter(tr => !tr.hidden).map(tr => tr.dataset.kind + '|' + tr.dataset.atoms)")
    phase = results["phases"][0]
    want = sorted(f"{kind}|{' '.join(row['atoms'])}" for key, kind in
                  [("bonds", "bond"), ("angles", "angle"), ("torsions", "torsion"), ("hydrogen_bonds", "hbond")]
                  for row in phase[key] if "C1" in row["atoms"])
    expect("the filter C1 shows the rows with C1,", sorted(visible) == want, f"{len(visible)} rows, want {len(want)}")
    box.clear()
    box.send_keys("o1 c1")
    visible = driver.execute_script("return [...document.querySelectorAll('tr[data-kind]')].filter(tr => !tr.hidden).length")
    want = sum(1 for key in ["bonds", "angles", "torsions", "hydrogen_bonds"] for row in phase[key]
               if "O1" in row["atoms"] and "C1" in row["atoms"])
    expect("the filter O1 C1 shows the rows with both,", visible == want, f"{visible}, want {want}")
    box.clear()
    driver.execute_script("arguments[0].dispatchEvent(new Event('input'))", box)

    only = table.find_element(By.CSS_SELECTOR, "input.chemical-only")
    only.click()
    shown = driver.execute_script(
        "return arguments[0].querySelectorAll('tbody tr').length", table)
    want = sum(1 for b in bonds if b["chemical_bond"])
    expect("chemical bonds only shows the bond graph's,", shown == want and 0 < want < len(bonds),
           f"{shown}, want {want} of {len(bonds)}")
    only.click()


def drawn_bond(driver, taken):
    """A bond of the drawing whose row is not among `taken`, and its row."""
    for node in driver.find_elements(By.CSS_SELECTOR, "figure.drawing [data-atoms]"):
        labels = node.get_attribute("data-atoms").split()
        codes = (node.get_attribute("data-site-codes") or "").split()
        if len(labels) != 2:
            continue
        for atoms, site_codes in [(labels, codes), (labels[::-1], codes[::-1])]:
            rows = driver.find_elements(By.CSS_SELECTOR, row_selector("bond", atoms, site_codes))
            if rows and (tuple(atoms), tuple(site_codes)) not in taken:
                return node, atoms, site_codes
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
        open_page(driver, server)
        results = json.loads(server.request("GET", "/results.json")[2])
        check_formatter(driver)
        check_sort_and_filter(driver, results)
        bonds = results["phases"][0]["bonds"]
        first = (bonds[0]["atoms"], bonds[0]["site_codes"])
        click_box(driver, "bond", *first, True)
        node, *second = drawn_bond(driver, {(tuple(first[0]), tuple(first[1]))})
        node.click()
        box = box_of(driver, "bond", *second)
        wait_for("the drawing's mark", lambda: box.is_selected() and box.is_enabled())
        expect("the bond clicked on the drawing is painted as marked,", "marked" in node.get_attribute("class"))
        taken = {(tuple(first[0]), tuple(first[1])), (tuple(second[0]), tuple(second[1]))}
        third = next((b["atoms"], b["site_codes"]) for b in bonds
                     if (tuple(b["atoms"]), tuple(b["site_codes"])) not in taken)
        click_box(driver, "bond", *third, True)
        click_box(driver, "bond", *first, False)
        count = driver.find_element(By.CSS_SELECTOR, 'table[data-table="bonds"] caption .count').text
        expect("the bonds' count says 2 marked,", count == "2 marked", count)
        # A click on an atom of the drawing lights its rows.
        atom = next(n for n in driver.find_elements(By.CSS_SELECTOR, "figure.drawing [data-atoms]")
                    if len(n.get_attribute("data-atoms").split()) == 1)
        label = atom.get_attribute("data-atoms")
        driver.execute_script("arguments[0].dispatchEvent(new MouseEvent('click', {bubbles: true}))", atom)
        lit = driver.execute_script(
            "return [...document.querySelectorAll('tr.highlight')].map(tr => tr.labels.includes(arguments[0]))", label)
        expect(f"a click on {label} lights its rows and only those,", lit and all(lit), str(lit[:5]))
        driver.execute_script("arguments[0].dispatchEvent(new MouseEvent('click', {bubbles: true}))", atom)
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
            atom = driver.find_element(By.CSS_SELECTOR, 'figure.drawing [data-atoms="C9"]')
            driver.execute_script("arguments[0].dispatchEvent(new MouseEvent('click', {bubbles: true}))", atom)
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
        phase = json.loads(server.request("GET", "/results.json")[2])["phases"][0]
        torsion, other = [(t["atoms"], t["site_codes"]) for t in phase["torsions"][:2]]
        hbond = (phase["hydrogen_bonds"][-1]["atoms"], phase["hydrogen_bonds"][-1]["site_codes"])
        click_box(driver, "torsion", *other, True)
        click_box(driver, "torsion", *torsion, True)
        click_box(driver, "hbond", *hbond, True)
        click_box(driver, "torsion", *other, False)
        driver.find_element(By.ID, "write-cif").click()
        status = wait_for("the CIF", lambda: re.search(r"written: (\S+)", driver.find_element(By.ID, "status").text))
        cif = os.path.join(folder, status.group(1))
        driver.find_element(By.ID, "quit").click()
        expect("the page ends with status 0 after Quit,", server.finish() == 0, server.output[-300:])
    finally:
        driver.quit()
        server.kill()
    key = lambda row: (tuple(row[0]), tuple(row[1]))  # noqa: E731
    expect("S.TORHB has a Y record each for the torsion and the H bond,",
           y_records(os.path.join(folder, "S.TORHB")) == 2, str(y_records(os.path.join(folder, "S.TORHB"))))
    expect("the CIF flags the torsion,", cif_flagged(cif, "torsion") == [key(torsion)], str(cif_flagged(cif, "torsion")))
    expect("the CIF flags the H bond,", cif_flagged(cif, "hbond") == [key(hbond)], str(cif_flagged(cif, "hbond")))
    results = run_json(vortan, folder)
    expect("the next run reads the torsion,", marked_rows(results, "torsions") == [key(torsion)],
           str(marked_rows(results, "torsions")))
    expect("the next run reads the H bond,", marked_rows(results, "hydrogen_bonds") == [key(hbond)],
           f"{marked_rows(results, 'hydrogen_bonds')}, want {key(hbond)}")


def kill_session(vortan, folder):
    server = page_support.Server(vortan, folder)
    driver = browser()
    try:
        open_page(driver, server)
        bonds = json.loads(server.request("GET", "/results.json")[2])["phases"][0]["bonds"]
        answered = (bonds[-1]["atoms"], bonds[-1]["site_codes"])
        late = (bonds[-2]["atoms"], bonds[-2]["site_codes"])
        click_box(driver, "bond", *answered, True)
        server.process.kill()
        server.process.wait(timeout=30)
        box = box_of(driver, "bond", *late)
        box.click()
        wait_for("the refused click", lambda: box.is_enabled())
        expect("a click after the kill goes back,", not box.is_selected())
        expect("a click after the kill says it is not saved,",
               "Not saved" in driver.find_element(By.ID, "status").text, driver.find_element(By.ID, "status").text)
    finally:
        driver.quit()
        server.kill()
    want = [(tuple(answered[0]), tuple(answered[1]))]
    results = run_json(vortan, folder)
    expect("the answered mark survives the kill,", marked_rows(results, "bonds") == want,
           str(marked_rows(results, "bonds")))


def main():
    vortan, cif2exp, source_dir = sys.argv[1:4]
    screenshot = os.path.abspath(sys.argv[4]) if len(sys.argv) > 4 else None
    if not (os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER)):
        print("needs Debian's chromium and chromium-driver: skipped")
        return page_support.SKIP
    for session in ["bonds", "torsions", "kill"]:
        with tempfile.TemporaryDirectory() as folder:
            page_support.write_p41(folder, source_dir, cif2exp)
            if session == "bonds":
                bonds_session(vortan, folder, screenshot)
            elif session == "torsions":
                torsions_session(vortan, folder)
            else:
                kill_session(vortan, folder)
    for failure in failures:
        print("FAILED:", failure)
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
