// The page of `vortan NAME --serve`: each phase's drawing beside its
// tables, a "publish" box on every row of bonds, angles, torsion angles and
// hydrogen bonds. A change of a box is saved at once (POST /mark); the box
// keeps its new state only when the program answered that the marks file
// on disk has it.
'use strict';

const token = new URLSearchParams(location.search).get('token') || '';

// value(su) with the su in one digit, two when it starts with 1 (the
// convention of Acta Cryst. and of CIF). The digits come from the decimal
// rounding of toExponential/toFixed, not from scaled floats.
function formatQuantity(quantity, plainDecimals) {
  if (quantity === null || quantity === undefined) return '';
  const value = quantity.value;
  const su = quantity.su;
  if (typeof value !== 'number' || !isFinite(value)) return '';
  if (typeof su !== 'number' || !isFinite(su) || su <= 0) return fixedWithoutMinusZero(value, plainDecimals);
  let [mantissa, exponent] = su.toExponential(1).split('e');
  let digits;
  if (mantissa.startsWith('1')) {
    digits = mantissa.replace('.', '');
  } else {
    [mantissa, exponent] = su.toExponential(0).split('e');
    digits = mantissa;
  }
  const decimals = digits.length - 1 - Number(exponent);
  if (decimals >= 0) return fixedWithoutMinusZero(value, decimals) + '(' + digits + ')';
  // An su of 10 or more: the value to the su's last digit, both as integers.
  const unit = 10 ** -decimals;
  const rounded = Math.round(Math.abs(value) / unit) * unit;
  return (value < 0 && rounded !== 0 ? '-' : '') + String(rounded) + '(' + String(Number(digits) * unit) + ')';
}

function fixedWithoutMinusZero(value, decimals) {
  const text = value.toFixed(decimals);
  return /^-0(\.0*)?$/.test(text) ? text.slice(1) : text;
}

async function request(method, path, body) {
  const options = { method, headers: { 'X-Token': token } };
  if (body !== undefined) {
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body);
  }
  const response = await fetch(path, options);
  let answer = null;
  try {
    answer = await response.json();
  } catch (error) {
    answer = null;
  }
  if (!response.ok) {
    const message = answer && answer.error ? answer.error : response.status + ' ' + response.statusText;
    throw new Error(message);
  }
  return answer;
}

function showStatus(text, isError) {
  const status = document.getElementById('status');
  status.textContent = text;
  status.classList.toggle('error', Boolean(isError));
}

function element(tag, attributes, children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes || {})) node.setAttribute(name, value);
  for (const child of children || []) node.append(child);
  return node;
}

// A cell: its text and what it sorts by.
const quantityCell = (quantity, plainDecimals) => ({
  text: formatQuantity(quantity, plainDecimals),
  sort: quantity && typeof quantity.value === 'number' ? quantity.value : null,
  number: true,
});
const textCell = (text) => ({ text: text === null || text === undefined ? '' : String(text), sort: text });
const atomsCell = (labels, codes) =>
  textCell(labels.map((label, i) => (codes[i] && codes[i] !== '.' ? label + '_' + codes[i] : label)).join(' '));

// The tables of a phase. A markable table has a kind and rows with atoms
// and site codes; the others show what the JSON has when it has them.
const TABLES = [
  { key: 'bonds', kind: 'bond', title: 'Bonds', atoms: 2, headings: ['Distance (\u00c5)'],
    cells: (row) => [quantityCell(row.distance, 4)] },
  { key: 'angles', kind: 'angle', title: 'Angles', atoms: 3, headings: ['Angle (\u00b0)'],
    cells: (row) => [quantityCell(row.angle, 2)] },
  { key: 'torsions', kind: 'torsion', title: 'Torsion angles', atoms: 4, headings: ['Angle (\u00b0)'],
    cells: (row) => [quantityCell(row.angle, 2)] },
  { key: 'hydrogen_bonds', kind: 'hbond', title: 'Hydrogen bonds', atoms: 3,
    headings: ['D\u2013H (\u00c5)', 'H\u00b7\u00b7\u00b7A (\u00c5)', 'D\u00b7\u00b7\u00b7A (\u00c5)', 'D\u2013H\u00b7\u00b7\u00b7A (\u00b0)'],
    cells: (row) => [quantityCell(row.d_h, 4), quantityCell(row.h_a, 4), quantityCell(row.d_a, 4), quantityCell(row.angle, 2)] },
  { key: 'rings', title: 'Rings', headings: ['Atoms', 'Q (\u00c5)', '\u03b8 (\u00b0)', '\u03c6\u2082 (\u00b0)', 'Conformation'],
    rows: (phase) => (phase.rings || []).map((ring) => {
      const puckering = ring.puckering || {};
      return { labels: ring.atoms, cells: [atomsCell(ring.atoms, ring.site_codes), quantityCell(puckering.Q, 4),
        quantityCell(puckering.theta, 2), quantityCell(puckering.phi, 2), textCell(puckering.conformation)] };
    }) },
  { key: 'planes', title: 'Least-squares planes', headings: ['Atoms', 'RMS deviation (\u00c5)'],
    rows: (phase) => (phase.planes || []).map((plane) => ({ labels: plane.atoms,
      cells: [atomsCell(plane.atoms, plane.site_codes), quantityCell(plane.rms_deviation, 4)] })) },
  { key: 'polyhedra', title: 'Coordination polyhedra',
    headings: ['Atom', 'Ligands', 'CN', 'Mean bond (\u00c5)', 'Volume (\u00c5\u00b3)', 'Distortion index',
      'Quadratic elongation', 'Angle variance (\u00b0\u00b2)'],
    rows: (phase) => (phase.polyhedra || []).map((polyhedron) => {
      const ligands = polyhedron.ligands || [];
      return { labels: [polyhedron.atom, ...ligands.map((ligand) => ligand.atom)],
        cells: [textCell(polyhedron.atom),
          atomsCell(ligands.map((l) => l.atom), ligands.map((l) => l.site_code || '.')),
          { text: String(polyhedron.coordination_number), sort: polyhedron.coordination_number, number: true },
          quantityCell(polyhedron.mean_bond, 4), quantityCell(polyhedron.volume, 3),
          quantityCell(polyhedron.distortion_index, 5), quantityCell(polyhedron.quadratic_elongation, 5),
          quantityCell(polyhedron.angle_variance, 2)] };
    }) },
  { key: 'bond_valences', title: 'Bond-valence sums',
    headings: ['Atom', 'Oxidation state', 'Sum (v.u.)', 'Deviation (v.u.)'],
    rows: (phase) => (phase.bond_valences || []).map((atom) => ({ labels: [atom.atom],
      cells: [textCell(atom.atom), { text: String(atom.oxidation_state), sort: atom.oxidation_state, number: true },
        quantityCell(atom.sum, 3), quantityCell(atom.deviation, 3)] })) },
  { key: 'bond_valence_bonds', title: 'Bond valences',
    headings: ['Atoms', 'Distance (\u00c5)', 'R0 (\u00c5)', 'b (\u00c5)', 'Valence (v.u.)'],
    rows: (phase) => (phase.bond_valences || []).flatMap((atom) => (atom.bonds || []).map((bond) => ({
      labels: bond.atoms,
      cells: [atomsCell(bond.atoms, bond.site_codes), quantityCell(bond.distance, 4),
        { text: String(bond.r0), sort: bond.r0, number: true }, { text: String(bond.b), sort: bond.b, number: true },
        quantityCell(bond.valence, 3)] }))) },
];

// A table shows at most this many rows at a time (a large structure has
// hundred thousands of torsion angles); a button shows more. Sorting and the
// atom filter work on all rows, shown or not.
const ROWS_SHOWN = 500;
const tableViews = [];

function currentFilter() {
  return document.getElementById('filter').value.trim().toLowerCase().split(/[\s,]+/).filter(Boolean);
}

function passesFilter(row, terms) {
  const labels = row.labels.map((label) => label.toLowerCase());
  return terms.every((term) => labels.includes(term));
}

function markableRows(phase, table) {
  return (phase[table.key] || []).map((row) => ({
    labels: row.atoms,
    codes: row.site_codes,
    publish: Boolean(row.publish),
    chemical: row.chemical_bond !== false,
    cells: [...row.atoms.map((label) => textCell(label)), textCell(row.site_codes.join(' ')), ...table.cells(row)],
  }));
}

class TableView {
  constructor(phase, table, view) {
    this.phase = phase.phase;
    this.table = table;
    this.view = view;
    this.markable = Boolean(table.kind);
    this.rows = this.markable ? markableRows(phase, table) : table.rows(phase);
    this.order = this.rows;
    this.limit = ROWS_SHOWN;
    const headings = this.markable
      ? ['Publish', ...Array.from({ length: table.atoms }, (_, i) => 'Atom ' + (i + 1)), 'Site codes', ...table.headings]
      : table.headings;
    this.count = element('span', { class: 'count' });
    this.headRow = element('tr', {}, headings.map((heading) => element('th', { scope: 'col' }, [heading])));
    this.body = element('tbody');
    this.more = element('button', { type: 'button', class: 'more' });
    this.more.addEventListener('click', () => {
      this.limit += 10 * ROWS_SHOWN;
      this.render();
    });
    this.foot = element('tfoot', {}, [element('tr', {}, [element('td', { colspan: String(headings.length) }, [this.more])])]);
    // Bonds: every distance of the listing, or the chemical bonds alone.
    this.chemicalOnly = false;
    const captionItems = [table.title + ' (' + this.rows.length + ')', this.count];
    if (table.kind === 'bond') {
      const only = element('input', { type: 'checkbox', class: 'chemical-only' });
      only.addEventListener('change', () => {
        this.chemicalOnly = only.checked;
        this.render();
      });
      captionItems.push(element('label', { class: 'count' }, [only, 'chemical bonds only']));
    }
    this.node = element('table', { 'data-table': table.key }, [
      element('caption', {}, captionItems),
      element('thead', {}, [this.headRow]), this.body, this.foot]);
    this.makeSortable(this.markable ? 1 : 0);
    this.render();
  }

  rowNode(row) {
    if (row.tr) return row.tr;
    const attributes = this.markable
      ? { 'data-kind': this.table.kind, 'data-atoms': row.labels.join(' '), 'data-site-codes': row.codes.join(' '),
          'data-phase': String(this.phase) }
      : {};
    const tr = element('tr', attributes);
    tr.labels = row.labels;
    if (this.markable) {
      const box = element('input', { type: 'checkbox', title: 'publish' });
      box.addEventListener('change', () => saveMark(this, row, box.checked));
      row.box = box;
      tr.append(element('td', {}, [box]));
    }
    for (const cell of row.cells) tr.append(element('td', cell.number ? { class: 'number' } : {}, [cell.text]));
    row.tr = tr;
    this.paintRow(row);
    return tr;
  }

  paintRow(row) {
    if (!row.tr) return;
    if (row.box) {
      row.box.checked = row.publish;
      row.box.disabled = Boolean(row.saving);
    }
    row.tr.classList.toggle('marked', Boolean(row.publish));
    const lit = this.view.litRow === row || (this.view.litLabel !== null && row.labels.includes(this.view.litLabel));
    row.tr.classList.toggle('highlight', lit);
  }

  render() {
    const terms = currentFilter();
    const passing = terms.length === 0 && !this.chemicalOnly ? this.order
      : this.order.filter((row) => passesFilter(row, terms) && (!this.chemicalOnly || row.chemical));
    const shown = passing.slice(0, this.limit);
    for (const row of shown) this.paintRow(row);
    this.body.replaceChildren(...shown.map((row) => this.rowNode(row)));
    this.foot.hidden = shown.length === passing.length;
    this.more.textContent = 'Show more of the ' + passing.length + ' rows';
    this.updateCount();
  }

  updateCount() {
    if (this.markable) this.count.textContent = this.rows.filter((row) => row.publish).length + ' marked';
  }

  // Clicking a heading sorts by that column, again the other way round.
  makeSortable(firstDataColumn) {
    const collator = new Intl.Collator(undefined, { numeric: true });
    this.headRow.querySelectorAll('th').forEach((th, column) => {
      const cellIndex = column - firstDataColumn;
      th.addEventListener('click', () => {
        const ascending = !th.classList.contains('ascending');
        this.headRow.querySelectorAll('th').forEach((other) => other.classList.remove('ascending', 'descending'));
        th.classList.add(ascending ? 'ascending' : 'descending');
        const key = (row) => (cellIndex < 0 ? (row.publish ? 1 : 0) : row.cells[cellIndex].sort);
        this.order = this.rows.slice().sort((a, b) => {
          const x = key(a);
          const y = key(b);
          if (x === y) return 0;
          if (x === null || x === undefined) return 1;
          if (y === null || y === undefined) return -1;
          const order = typeof x === 'number' && typeof y === 'number' ? x - y : collator.compare(String(x), String(y));
          return ascending ? order : -order;
        });
        this.render();
      });
    });
  }
}

async function saveMark(tableView, row, publish) {
  if (row.saving) return;
  row.saving = true;
  tableView.paintRow(row);
  if (row.box) row.box.checked = publish;
  const what = tableView.table.kind + ' ' + row.labels.join(' ') + ' (' + row.codes.join(' ') + ')';
  try {
    await request('POST', '/mark', { kind: tableView.table.kind, atoms: row.labels, site_codes: row.codes,
                                     phase: tableView.phase, publish });
    row.publish = publish;
    showStatus((publish ? 'Marked ' : 'Unmarked ') + what + '.', false);
  } catch (error) {
    showStatus('Not saved: ' + error.message, true);
  } finally {
    row.saving = false;
    tableView.paintRow(row);
    tableView.updateCount();
    if (tableView.table.kind === 'bond') paintMarkedBonds(tableView.view);
  }
}

// The bond row of a bond of the drawing: the same atoms and site codes in
// either order, else the one bond row between these two labels.
function bondRowOf(view, labels, codes) {
  const rows = view.bonds ? view.bonds.rows : [];
  const same = (row, order) => order.every((i, k) => row.labels[k] === labels[i] && row.codes[k] === codes[i]);
  const exact = rows.find((row) => same(row, [0, 1]) || same(row, [1, 0]));
  if (exact) return exact;
  const byLabels = rows.filter((row) => (row.labels[0] === labels[0] && row.labels[1] === labels[1]) ||
    (row.labels[0] === labels[1] && row.labels[1] === labels[0]));
  return byLabels.length === 1 ? byLabels[0] : null;
}

function paintMarkedBonds(view) {
  for (const [node, row] of view.drawnBonds) node.classList.toggle('marked', Boolean(row && row.publish));
}

function renderPhase(view) {
  for (const tableView of view.tables) tableView.render();
}

function highlightAtom(view, label, node) {
  const again = view.selected === node;
  view.section.querySelectorAll('.selected').forEach((other) => other.classList.remove('selected'));
  view.selected = again ? null : node;
  view.litLabel = again ? null : label;
  view.litRow = null;
  if (!again) node.classList.add('selected');
  renderPhase(view);
}

function clickOnDrawing(view, event) {
  const node = event.target.closest('[data-atoms]');
  if (!node) return;
  const labels = node.getAttribute('data-atoms').split(/\s+/).filter(Boolean);
  const codes = (node.getAttribute('data-site-codes') || '').split(/\s+/).filter(Boolean);
  if (labels.length === 1) {
    highlightAtom(view, labels[0], node);
    return;
  }
  if (labels.length !== 2 || !view.bonds) return;
  const row = bondRowOf(view, labels, codes);
  if (!row) {
    showStatus('No bond row for ' + labels.join(' ') + ' (' + codes.join(' ') + ').', true);
    return;
  }
  view.litRow = row;
  view.litLabel = null;
  renderPhase(view);
  saveMark(view.bonds, row, !row.publish);
}

async function loadDrawing(view, figure, phaseNumber) {
  try {
    const response = await fetch('/drawing/' + phaseNumber + '.svg', { headers: { 'X-Token': token } });
    if (!response.ok) {
      figure.remove();
      return;
    }
    const parsed = new DOMParser().parseFromString(await response.text(), 'image/svg+xml');
    if (parsed.documentElement.nodeName !== 'svg') throw new Error('the drawing is not SVG');
    const svg = document.importNode(parsed.documentElement, true);
    svg.removeAttribute('width');
    svg.removeAttribute('height');
    figure.append(svg);
    view.drawnBonds = [];
    svg.querySelectorAll('[data-atoms]').forEach((node) => {
      const labels = node.getAttribute('data-atoms').split(/\s+/).filter(Boolean);
      if (labels.length !== 2) return;
      const codes = (node.getAttribute('data-site-codes') || '').split(/\s+/).filter(Boolean);
      view.drawnBonds.push([node, bondRowOf(view, labels, codes)]);
    });
    paintMarkedBonds(view);
    svg.addEventListener('click', (event) => clickOnDrawing(view, event));
  } catch (error) {
    figure.textContent = 'The drawing cannot be shown: ' + error.message;
  }
}

function applyFilter() {
  for (const tableView of tableViews) tableView.render();
}

async function start() {
  document.getElementById('filter').addEventListener('input', applyFilter);
  document.getElementById('write-cif').addEventListener('click', async () => {
    try {
      const answer = await request('POST', '/write-cif');
      showStatus('The publication CIF is written: ' + answer.file, false);
    } catch (error) {
      showStatus('The publication CIF is not written: ' + error.message, true);
    }
  });
  document.getElementById('quit').addEventListener('click', async () => {
    try {
      await request('POST', '/quit');
      document.getElementById('phases').replaceChildren(element('p', {}, ['vortan has stopped; this page can be closed.']));
      document.querySelectorAll('header button, header input').forEach((control) => { control.disabled = true; });
      showStatus('', false);
    } catch (error) {
      showStatus('Quit failed: ' + error.message, true);
    }
  });

  const main = document.getElementById('phases');
  let results;
  try {
    results = await request('GET', '/results.json');
  } catch (error) {
    main.textContent = 'The results cannot be loaded: ' + error.message;
    return;
  }
  document.title = 'vortan \u2013 ' + results.experiment;
  document.getElementById('title').textContent = 'vortan \u2013 ' + results.experiment;
  main.replaceChildren();
  const drawings = [];
  for (const phase of results.phases || []) {
    const section = element('section', { class: 'phase', 'data-phase': String(phase.phase) });
    const view = { section, tables: [], bonds: null, drawnBonds: [], selected: null, litLabel: null, litRow: null };
    section.append(element('h2', {}, ['Phase ' + phase.phase + ': ' + (phase.name || '') +
      (phase.space_group ? ' (' + phase.space_group + ')' : '')]));
    const figure = element('figure', { class: 'drawing' });
    const tables = element('div', { class: 'tables' });
    for (const table of TABLES) {
      const tableView = new TableView(phase, table, view);
      if (tableView.rows.length === 0) continue;
      view.tables.push(tableView);
      tableViews.push(tableView);
      if (table.kind === 'bond') view.bonds = tableView;
      tables.append(tableView.node);
    }
    section.append(figure, tables);
    main.append(section);
    drawings.push(loadDrawing(view, figure, phase.phase));
  }
  await Promise.all(drawings);
  document.body.dataset.ready = 'true';
}

document.addEventListener('DOMContentLoaded', start);
