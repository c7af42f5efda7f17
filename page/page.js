// The page of `vortan NAME --serve`: each phase's drawing beside its
// tables. The rows of bonds, angles, torsion angles and hydrogen bonds stay
// in the program; a table asks for the part of its view it shows (GET
// /rows), and every change of marks is saved at once (POST /mark,
// /mark-shown, /undo, /redo): a box keeps its new state only when the
// program answered that the marks file on disk has it. The other tables of
// the listing come with the phase (GET /phases.json) and are read only.
'use strict';

const token = new URLSearchParams(location.search).get('token') || '';

// ---------------------------------------------------------------- values

// value(su) with the su in one digit, two when it starts with 1 (the
// convention of Acta Cryst. and of CIF), for a quantity that does not bring
// its text. The digits come from the decimal rounding of
// toExponential/toFixed, not from scaled floats.
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

// The text of a quantity: the program's own value(su) when it gives one.
function quantityText(quantity, plainDecimals) {
  if (quantity && typeof quantity.text === 'string') return quantity.text;
  return formatQuantity(quantity, plainDecimals);
}

// ---------------------------------------------------------------- plumbing

async function request(method, path, body) {
  const options = { method, headers: { 'X-Token': token } };
  if (body !== undefined) {
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body);
  } else if (method === 'POST') {
    options.body = '';
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

const collator = new Intl.Collator(undefined, { numeric: true, sensitivity: 'base' });

function compareKeys(x, y) {
  if (x === y) return 0;
  if (x === null || x === undefined) return 1;
  if (y === null || y === undefined) return -1;
  return typeof x === 'number' && typeof y === 'number' ? x - y : collator.compare(String(x), String(y));
}

// Every change of marks, one after the other, in the order asked; writing
// the CIF and quitting wait for the changes asked before them.
let changes = Promise.resolve();
let changesWaiting = 0;
function oneAtATime(task) {
  changesWaiting += 1;
  changes = changes.then(task, task).finally(() => { changesWaiting -= 1; });
  return changes;
}

// Leaving the page before a change is answered asks first: it may not be
// saved.
window.addEventListener('beforeunload', (event) => {
  if (changesWaiting === 0) return;
  event.preventDefault();
  event.returnValue = '';
});

const page = { filter: '', phases: [], undo: 0, redo: 0 };

// ---------------------------------------------------------------- marking

// A change the program answered: the rows it names now have its "publish".
function applyChange(answer) {
  const phase = page.phases.find((view) => view.phase === answer.phase);
  const table = phase && phase.markable.find((t) => t.def.kind === answer.kind);
  if (table) table.changed(answer.rows, answer.publish, answer.marked);
  if (phase && phase.drawing) phase.drawing.changed(answer.kind, answer.rows, answer.publish);
  setHistory(answer);
}

function setHistory(counts) {
  page.undo = counts.undo;
  page.redo = counts.redo;
  document.getElementById('undo').disabled = page.undo === 0;
  document.getElementById('redo').disabled = page.redo === 0;
}

function rowsWord(count, kindTitle) {
  return count + ' ' + (count === 1 ? 'row' : 'rows') + ' of ' + kindTitle.toLowerCase();
}

// Marks (publish) or clears rows of a table named by their indices.
function markRows(table, indices, publish) {
  return oneAtATime(async () => {
    table.saving(indices, true);
    try {
      const answer = await request('POST', '/mark', { phase: table.phase, kind: table.def.kind, rows: indices, publish });
      applyChange(answer);
      const what = indices.length === 1 ? table.describe(indices[0]) : rowsWord(indices.length, table.def.title);
      showStatus((publish ? 'Marked ' : 'Unmarked ') + what + '.', false);
    } catch (error) {
      showStatus('Not saved: ' + error.message, true);
    } finally {
      table.saving(indices, false);
    }
  });
}

function markShown(table, publish) {
  return oneAtATime(async () => {
    try {
      const answer = await request('POST', '/mark-shown?' + table.shownQuery, { publish });
      applyChange(answer);
      showStatus((publish ? 'Marked ' : 'Unmarked ') + rowsWord(answer.changed, table.def.title) +
        ' (of ' + table.total + ' shown). Undo with Ctrl+Z.', false);
    } catch (error) {
      showStatus('Not saved: ' + error.message, true);
    }
  });
}

function undoRedo(undo) {
  return oneAtATime(async () => {
    if ((undo ? page.undo : page.redo) === 0) return;
    try {
      const answer = await request('POST', undo ? '/undo' : '/redo');
      applyChange(answer);
      const phase = page.phases.find((view) => view.phase === answer.phase);
      const table = phase && phase.markable.find((t) => t.def.kind === answer.kind);
      showStatus((undo ? 'Undone: ' : 'Redone: ') + (answer.publish ? 'marked ' : 'unmarked ') +
        rowsWord(answer.changed, table ? table.def.title : answer.kind) + '.', false);
    } catch (error) {
      showStatus((undo ? 'Not undone: ' : 'Not redone: ') + error.message, true);
    }
  });
}

// ---------------------------------------------------------------- the filter

// What the filter's words name in a phase, as the program reads them: per
// word the labels (none: any atom) and the site code.
async function filterTerms(phase) {
  if (page.filter.trim() === '') return { terms: [], unknown: [] };
  return request('GET', '/filter?' + new URLSearchParams({ phase: String(phase), text: page.filter }));
}

// Whether a row's atoms ([label, site code] each) can be given to the
// words, an atom to each word (as the program filters the marked rows).
function holdsTerms(atoms, terms) {
  if (terms.length > atoms.length) return false;
  const fits = (term, atom) => (term.any_atom || term.labels.includes(atom[0])) &&
    (term.site_code === null || atom[1] === term.site_code);
  const assign = (k, taken) => {
    if (k === terms.length) return true;
    return atoms.some((atom, i) => !taken.has(i) && fits(terms[k], atom) && assign(k + 1, new Set([...taken, i])));
  };
  return assign(0, new Set());
}

// ---------------------------------------------------------------- tables of rows to mark

const MARKABLE = [
  { key: 'bonds', kind: 'bond', title: 'Bonds', atoms: 2, paperFirst: true, values: [['distance', 'Distance (\u00c5)', 4]] },
  { key: 'angles', kind: 'angle', title: 'Angles', atoms: 3, paperFirst: true, values: [['angle', 'Angle (\u00b0)', 2]] },
  { key: 'torsions', kind: 'torsion', title: 'Torsion angles', atoms: 4, paperFirst: true, values: [['angle', 'Angle (\u00b0)', 2]] },
  { key: 'hydrogen_bonds', kind: 'hbond', title: 'Hydrogen bonds', atoms: 3, paperFirst: false,
    values: [['d_h', 'D\u2013H (\u00c5)', 4], ['h_a', 'H\u00b7\u00b7\u00b7A (\u00c5)', 4],
      ['d_a', 'D\u00b7\u00b7\u00b7A (\u00c5)', 4], ['angle', 'D\u2013H\u00b7\u00b7\u00b7A (\u00b0)', 2]] },
];

// A table shows this many rows at first, and this many more at a time.
const FIRST_ROWS = 100;
const MORE_ROWS = 1000;
const MOST_AT_ONCE = 10000;  // the program's limit per request

const siteCodes = (codes) => codes.map((code) => (code === null ? '?' : code));

class MarkableTable {
  constructor(phaseView, def) {
    this.phaseView = phaseView;
    this.phase = phaseView.phase;
    this.def = def;
    this.sort = 'model';
    this.descending = false;
    this.chemicalOnly = false;
    // Bonds, angles and torsion angles open on the publication CIF's rows.
    this.paperOnly = def.paperFirst;
    this.markedOnly = false;
    this.limit = FIRST_ROWS;
    this.rows = [];         // {index, data, tr}
    this.byIndex = new Map();
    this.busy = new Set();  // indices being saved
    this.total = 0;
    this.rowsOfKind = 0;
    this.marked = 0;
    this.anchor = null;     // the row a shift-click ranges from
    this.generation = 0;
    this.shownQuery = null;
    this.markChanges = 0;   // marks answered, so a view fetched before one is fetched again

    const headings = [['Publish', 'publish'], ...Array.from({ length: def.atoms }, (_, i) => ['Atom ' + (i + 1), 'atom' + (i + 1)]),
      ['Site codes', 'site_codes'], ...def.values.map(([, heading], i) => [heading, 'value' + (i + 1)])];
    this.headRow = element('tr', {}, headings.map(([heading, sort]) => {
      const th = element('th', { scope: 'col', 'data-sort': sort }, [heading]);
      th.addEventListener('click', () => this.sortBy(th, sort));
      return th;
    }));
    this.count = element('span', { class: 'count' });
    const marked = element('input', { type: 'checkbox', 'data-action': 'marked-only' });
    marked.addEventListener('change', () => {
      this.markedOnly = marked.checked;
      this.reload();
    });
    this.markButton = element('button', { type: 'button', 'data-action': 'mark-shown' }, ['Mark shown']);
    this.markButton.addEventListener('click', () => markShown(this, true));
    this.unmarkButton = element('button', { type: 'button', 'data-action': 'unmark-shown' }, ['Unmark shown']);
    this.unmarkButton.addEventListener('click', () => markShown(this, false));
    const caption = [def.title, this.count];
    if (def.paperFirst) {
      // The rows the publication CIF holds, or every row of the listing.
      const paper = element('input', { type: 'checkbox', 'data-action': 'paper-only' });
      paper.checked = true;
      paper.addEventListener('change', () => {
        this.paperOnly = paper.checked;
        this.reload();
      });
      caption.push(element('label', { title: 'the rows the publication CIF holds; untick for every row' },
        [paper, 'in the paper']));
    }
    caption.push(element('label', {}, [marked, 'marked only']));
    if (def.kind === 'bond') {
      // Every distance of the listing, or the chemical bonds alone.
      const only = element('input', { type: 'checkbox', class: 'chemical-only', 'data-action': 'chemical-only' });
      only.addEventListener('change', () => {
        this.chemicalOnly = only.checked;
        this.reload();
      });
      caption.push(element('label', {}, [only, 'chemical bonds only']));
    }
    caption.push(this.markButton, this.unmarkButton);
    this.body = element('tbody');
    this.body.addEventListener('keydown', (event) => this.key(event));
    this.more = element('button', { type: 'button', class: 'more' });
    this.more.addEventListener('click', () => {
      this.limit += MORE_ROWS;
      this.reload();
    });
    this.foot = element('tfoot', {}, [element('tr', {}, [element('td', { colspan: String(headings.length) }, [this.more])])]);
    this.node = element('table', { 'data-table': def.key, 'data-kind': def.kind }, [
      element('caption', {}, caption), element('thead', {}, [this.headRow]), this.body, this.foot]);
    this.node.hidden = true;
  }

  viewQuery() {
    const query = { phase: String(this.phase), kind: this.def.kind };
    if (page.filter.trim() !== '') query.filter = page.filter;
    if (this.chemicalOnly) query.chemical = '1';
    if (this.paperOnly) query.paper = '1';
    if (this.markedOnly) query.marked = '1';
    if (this.sort !== 'model') query.sort = this.sort;
    if (this.descending) query.descending = '1';
    return new URLSearchParams(query).toString();
  }

  // The view's first rows, as many as the table shows.
  async reload() {
    const generation = ++this.generation;
    const markChanges = this.markChanges;
    const query = this.viewQuery();
    const rows = [];
    let answer = null;
    try {
      for (let first = 0; first < this.limit; first += MOST_AT_ONCE) {
        const count = Math.min(MOST_AT_ONCE, this.limit - first);
        answer = await request('GET', '/rows?' + query + '&first=' + first + '&count=' + count);
        if (generation !== this.generation) return;
        answer.indices.forEach((index, k) => rows.push({ index, data: answer.rows[k], tr: null }));
        if (answer.indices.length < count) break;
      }
    } catch (error) {
      if (generation === this.generation) showStatus('The ' + this.def.title.toLowerCase() + ' cannot be shown: ' + error.message, true);
      return;
    }
    // A mark answered while the rows were on their way: they may show it
    // as it was, so they are asked for again.
    if (markChanges !== this.markChanges) return this.reload();
    this.rows = rows;
    this.shownQuery = query;  // what "Mark shown" marks: the rows shown, not the next view's
    this.byIndex = new Map(rows.map((row) => [row.index, row]));
    this.total = answer.total;
    this.rowsOfKind = answer.rows_of_kind;
    this.marked = answer.marked;
    this.node.hidden = this.rowsOfKind === 0;
    this.render();
  }

  render() {
    const focused = document.activeElement && this.body.contains(document.activeElement) ? document.activeElement.row : null;
    this.body.replaceChildren(...this.rows.map((row) => this.rowNode(row)));
    this.foot.hidden = this.rows.length >= this.total;
    this.more.textContent = 'Show more of the ' + this.total + ' rows';
    this.paintCounts();
    if (focused && this.byIndex.has(focused.index)) this.byIndex.get(focused.index).tr.focus();
    this.phaseView.lightRows();
  }

  paintCounts() {
    this.count.textContent = '(' + this.total + (this.total === this.rowsOfKind ? '' : ' of ' + this.rowsOfKind) +
      ' rows, ' + this.marked + ' marked)';
    this.markButton.disabled = this.unmarkButton.disabled = this.total === 0;
    this.markButton.textContent = 'Mark shown (' + this.total + ')';
    this.unmarkButton.textContent = 'Unmark shown (' + this.total + ')';
  }

  rowNode(row) {
    if (row.tr) return row.tr;
    const labels = row.data.atoms;
    const codes = siteCodes(row.data.site_codes);
    const tr = element('tr', { 'data-kind': this.def.kind, 'data-atoms': labels.join(' '), 'data-site-codes': codes.join(' '),
      'data-phase': String(this.phase), 'data-index': String(row.index), tabindex: '-1' });
    tr.labels = labels;
    tr.row = row;
    const box = element('input', { type: 'checkbox', title: 'publish' });
    box.addEventListener('click', (event) => this.clickBox(row, box, event));
    row.box = box;
    tr.append(element('td', {}, [box]));
    for (const label of labels) tr.append(element('td', {}, [label]));
    tr.append(element('td', {}, [codes.join(' ')]));
    for (const [name, , decimals] of this.def.values)
      tr.append(element('td', { class: 'number' }, [quantityText(row.data[name], decimals)]));
    tr.addEventListener('focus', () => this.phaseView.showRowAtoms(row.data));
    tr.addEventListener('mouseenter', () => this.phaseView.showRowAtoms(row.data));
    tr.addEventListener('mouseleave', () => this.phaseView.showRowAtoms(null));
    row.tr = tr;
    this.paintRow(row);
    return tr;
  }

  paintRow(row) {
    if (!row.tr) return;
    row.box.checked = Boolean(row.data.publish);
    row.box.disabled = this.busy.has(row.index);
    row.tr.classList.toggle('marked', Boolean(row.data.publish));
  }

  describe(index) {
    const row = this.byIndex.get(index);
    if (!row) return this.def.kind + ' ' + index;
    return this.def.kind + ' ' + row.data.atoms.join(' ') + ' (' + siteCodes(row.data.site_codes).join(' ') + ')';
  }

  // A click on a box marks its row; with Shift, every row from the last
  // one clicked to this one, in the order shown.
  clickBox(row, box, event) {
    const publish = box.checked;
    box.checked = !publish;  // until the program answers
    let indices = [row.index];
    if (event.shiftKey && this.anchor !== null && this.byIndex.has(this.anchor)) {
      const from = this.rows.indexOf(this.byIndex.get(this.anchor));
      const to = this.rows.indexOf(row);
      indices = this.rows.slice(Math.min(from, to), Math.max(from, to) + 1).map((r) => r.index);
    }
    this.anchor = row.index;
    markRows(this, indices, publish);
  }

  saving(indices, busy) {
    for (const index of indices) {
      if (busy) this.busy.add(index);
      else this.busy.delete(index);
      const row = this.byIndex.get(index);
      if (row) this.paintRow(row);
    }
  }

  // The program changed these rows' marks; `marked` rows of the kind are
  // marked now (counted there: rows shown may already hold the change).
  changed(indices, publish, marked) {
    this.markChanges += 1;
    for (const index of indices) {
      const row = this.byIndex.get(index);
      if (row) {
        row.data.publish = publish;
        this.paintRow(row);
      }
    }
    this.marked = marked;
    this.paintCounts();
    // A view of the marks shows other rows now; a row cleared may have
    // been in the paper for its mark alone.
    if (this.markedOnly || this.sort === 'publish' || (this.paperOnly && !publish)) this.reload();
  }

  sortBy(th, sort) {
    const descending = th.classList.contains('ascending');
    this.headRow.querySelectorAll('th').forEach((other) => other.classList.remove('ascending', 'descending'));
    th.classList.add(descending ? 'descending' : 'ascending');
    this.sort = sort;
    this.descending = descending;
    this.reload();
  }

  // The arrow keys, Home, End and the page keys move among the rows shown;
  // Space ticks the row (with Shift, every row from the last one ticked).
  key(event) {
    const tr = event.target.closest('tr');
    if (!tr || !tr.row) return;
    const at = this.rows.indexOf(tr.row);
    const steps = { ArrowDown: 1, ArrowUp: -1, PageDown: 20, PageUp: -20, Home: -Infinity, End: Infinity };
    if (event.key in steps) {
      event.preventDefault();
      const to = Math.max(0, Math.min(this.rows.length - 1, at + steps[event.key]));
      if (this.rows[to]) this.rows[to].tr.focus();
    } else if (event.key === ' ' || event.key === 'Enter') {
      event.preventDefault();
      const publish = !tr.row.data.publish;
      let indices = [tr.row.index];
      if (event.shiftKey && this.anchor !== null && this.byIndex.has(this.anchor)) {
        const from = this.rows.indexOf(this.byIndex.get(this.anchor));
        indices = this.rows.slice(Math.min(from, at), Math.max(from, at) + 1).map((r) => r.index);
      }
      this.anchor = tr.row.index;
      markRows(this, indices, publish);
    }
  }
}

// ---------------------------------------------------------------- tables to read

const quantityCell = (quantity, decimals) => ({
  text: quantityText(quantity, decimals),
  sort: quantity && typeof quantity.value === 'number' ? quantity.value : null,
  number: true,
});
const textCell = (text) => ({ text: text === null || text === undefined ? '' : String(text), sort: text });
const numberCell = (value) => ({ text: value === null || value === undefined ? '' : String(value), sort: value, number: true });
const named = (label, code) => (code && code !== '.' ? label + '_' + code : label);
const atomsCell = (labels, codes) => textCell(labels.map((label, i) => named(label, codes && codes[i])).join(' '));
const atomsOf = (labels, codes) => labels.map((label, i) => [label, (codes && codes[i]) || '.']);

// The tables of a phase that are not marked: what the listing shows, when
// the phase has it. Each row names its atoms ([label, site code]) for the
// filter.
const READ_ONLY = [
  { key: 'rings', title: 'Rings and their puckering',
    headings: ['Ring', 'Atoms', 'Q (\u00c5)', '\u03b8 (\u00b0)', '\u03c6\u2082 (\u00b0)', 'Conformation'],
    rows: (phase) => (phase.rings || []).map((ring, i) => {
      const puckering = ring.puckering || {};
      return { atoms: atomsOf(ring.atoms, ring.site_codes), cells: [numberCell(i + 1), atomsCell(ring.atoms, ring.site_codes),
        quantityCell(puckering.Q, 4), quantityCell(puckering.theta, 2), quantityCell(puckering.phi, 2),
        textCell(puckering.conformation)] };
    }) },
  { key: 'planes', title: 'Least-squares planes', headings: ['Plane', 'Atoms', 'Normal (h k l)', 'RMS deviation (\u00c5)'],
    rows: (phase) => (phase.planes || []).map((plane, i) => ({ atoms: atomsOf(plane.atoms, plane.site_codes),
      cells: [numberCell(i + 1), atomsCell(plane.atoms, plane.site_codes),
        textCell(plane.normal_reciprocal ? plane.normal_reciprocal.map((x) => x.toFixed(4)).join(' ') : 'atoms on a line'),
        quantityCell(plane.rms_deviation, 4)] })) },
  { key: 'plane_deviations', title: 'Deviations from the planes',
    headings: ['Plane', 'Atom', 'Deviation (\u00c5)', 'Defines the plane'],
    rows: (phase) => (phase.planes || []).flatMap((plane, i) => (plane.deviations || []).map((d) => ({
      atoms: [[d.atom, d.site_code || '.']],
      cells: [numberCell(i + 1), textCell(named(d.atom, d.site_code)), quantityCell(d.deviation, 4),
        textCell(d.defining ? '*' : '')] }))) },
  { key: 'plane_angles', title: 'Angles between planes',
    headings: ['Planes', 'Second plane at', 'Relation', 'Angle (\u00b0)', 'Centroids apart (\u00c5)'],
    rows: (phase) => (phase.plane_angles || []).map((angle) => {
      const planes = phase.planes || [];
      const atoms = angle.planes.flatMap((p) => (planes[p] ? atomsOf(planes[p].atoms, planes[p].site_codes) : []));
      return { atoms, cells: [textCell(angle.planes.map((p) => p + 1).join(' and ')), textCell(angle.site_code || ''),
        textCell(angle.relation || ''), quantityCell(angle.angle, 2), quantityCell(angle.centroid_distance, 3)] };
    }) },
  { key: 'rigid_bond', title: 'Rigid-bond test',
    headings: ['Atoms', 'z\u00b2 of the first (\u00c5\u00b2)', 'z\u00b2 of the second (\u00c5\u00b2)', '\u0394 (\u00c5\u00b2)', 'Flagged'],
    rows: (phase) => (phase.rigid_bond || []).map((r) => ({ atoms: atomsOf(r.atoms, r.site_codes), flagged: r.flagged,
      cells: [atomsCell(r.atoms, r.site_codes), quantityCell(r.msda[0], 4), quantityCell(r.msda[1], 4),
        quantityCell(r.delta, 4), textCell(r.flagged ? '***' : '')] })) },
  { key: 'polyhedra', title: 'Coordination polyhedra',
    headings: ['Atom', 'Ligands', 'CN', 'Mean bond (\u00c5)', 'Volume (\u00c5\u00b3)', 'Distortion index',
      'Quadratic elongation', 'Angle variance (\u00b0\u00b2)'],
    rows: (phase) => (phase.polyhedra || []).map((polyhedron) => {
      const ligands = polyhedron.ligands || [];
      return { atoms: [[polyhedron.atom, '.'], ...ligands.map((l) => [l.atom, l.site_code || '.'])],
        cells: [textCell(polyhedron.atom), atomsCell(ligands.map((l) => l.atom), ligands.map((l) => l.site_code)),
          numberCell(polyhedron.coordination_number), quantityCell(polyhedron.mean_bond, 4),
          quantityCell(polyhedron.volume, 3), quantityCell(polyhedron.distortion_index, 5),
          quantityCell(polyhedron.quadratic_elongation, 5), quantityCell(polyhedron.angle_variance, 2)] };
    }) },
  { key: 'bond_valences', title: 'Bond-valence sums',
    headings: ['Atom', 'Oxidation state', 'Sum (v.u.)', 'Deviation (v.u.)', 'Checked'],
    rows: (phase) => (phase.bond_valences || []).map((atom) => ({ atoms: [[atom.atom, '.']],
      cells: [textCell(atom.atom), numberCell(atom.oxidation_state), quantityCell(atom.sum, 3),
        quantityCell(atom.deviation, 3),
        textCell(atom.checked === false ? 'no: ' + [].concat(atom.not_checked || []).join('; ') : '')] })) },
  { key: 'bond_valence_bonds', title: 'Bond valences',
    headings: ['Atoms', 'Distance (\u00c5)', 'R0 (\u00c5)', 'b (\u00c5)', 'Valence (v.u.)'],
    rows: (phase) => (phase.bond_valences || []).flatMap((atom) => (atom.bonds || []).map((bond) => ({
      atoms: atomsOf(bond.atoms, bond.site_codes),
      cells: [atomsCell(bond.atoms, bond.site_codes), quantityCell(bond.distance, 4), numberCell(bond.r0),
        numberCell(bond.b), quantityCell(bond.valence, 3)] }))) },
  { key: 'bond_valences_left_out', title: 'Atoms without a bond-valence sum', headings: ['Atom', 'Why'],
    rows: (phase) => (phase.bond_valences_left_out || []).map((atom) => ({ atoms: [[atom.atom, '.']],
      cells: [textCell(atom.atom), textCell(atom.reason)] })) },
  { key: 'checks', title: 'Checks', headings: ['Level', 'Rule', 'Atoms', 'What'],
    rows: (phase) => (phase.checks || []).map((check) => ({ atoms: atomsOf(check.atoms || [], check.site_codes),
      flagged: check.level === 'A',
      cells: [textCell(check.level), textCell(check.rule), atomsCell(check.atoms || [], check.site_codes),
        { text: check.text || '', sort: check.text, wrap: true }] })) },
];

class ReadOnlyTable {
  constructor(phaseView, def, phase) {
    this.phaseView = phaseView;
    this.def = def;
    this.rows = def.rows(phase);
    this.order = this.rows;
    this.terms = [];
    this.limit = FIRST_ROWS;
    this.count = element('span', { class: 'count' });
    this.headRow = element('tr', {}, def.headings.map((heading, column) => {
      const th = element('th', { scope: 'col' }, [heading]);
      th.addEventListener('click', () => this.sortBy(th, column));
      return th;
    }));
    this.body = element('tbody');
    this.more = element('button', { type: 'button', class: 'more' });
    this.more.addEventListener('click', () => {
      this.limit += MORE_ROWS;
      this.render();
    });
    this.foot = element('tfoot', {}, [element('tr', {}, [element('td', { colspan: String(def.headings.length) }, [this.more])])]);
    this.node = element('table', { 'data-table': def.key, class: 'read-only' }, [
      element('caption', {}, [def.title, this.count]), element('thead', {}, [this.headRow]), this.body, this.foot]);
  }

  setTerms(terms, unknown) {
    this.terms = terms;
    this.unknown = unknown.length > 0;
    this.render();
  }

  render() {
    const passing = this.unknown ? [] : this.terms.length === 0 ? this.order
      : this.order.filter((row) => holdsTerms(row.atoms, this.terms));
    const shown = passing.slice(0, this.limit);
    this.body.replaceChildren(...shown.map((row) => this.rowNode(row)));
    this.foot.hidden = shown.length === passing.length;
    this.more.textContent = 'Show more of the ' + passing.length + ' rows';
    this.count.textContent = '(' + passing.length + (passing.length === this.rows.length ? '' : ' of ' + this.rows.length) + ' rows)';
  }

  rowNode(row) {
    if (row.tr) return row.tr;
    const tr = element('tr', { 'data-atoms': row.atoms.map((atom) => atom[0]).join(' ') });
    tr.labels = row.atoms.map((atom) => atom[0]);
    if (row.flagged) tr.classList.add('flagged');
    for (const cell of row.cells)
      tr.append(element('td', cell.number ? { class: 'number' } : cell.wrap ? { class: 'text' } : {}, [cell.text]));
    tr.addEventListener('mouseenter', () => this.phaseView.showAtoms(row.atoms));
    tr.addEventListener('mouseleave', () => this.phaseView.showAtoms([]));
    row.tr = tr;
    return tr;
  }

  sortBy(th, column) {
    const ascending = !th.classList.contains('ascending');
    this.headRow.querySelectorAll('th').forEach((other) => other.classList.remove('ascending', 'descending'));
    th.classList.add(ascending ? 'ascending' : 'descending');
    this.order = this.rows.slice().sort((a, b) => {
      const order = compareKeys(a.cells[column].sort, b.cells[column].sort);
      return ascending ? order : -order;
    });
    this.render();
  }
}

// ---------------------------------------------------------------- the drawing

// The phase's drawing, projected here from the atoms' Cartesian
// coordinates, so that it can be turned: R takes a vector of the crystal's
// Cartesian frame to the screen's (x right, y up, z towards the viewer).
// It is painted on a canvas, which a large structure (some 16000 atoms and
// 40000 bonds at 5000 atoms in the asymmetric unit) keeps responsive; a
// click finds the atom or bond under it, and a bond carries the index of
// its row.
const LABEL_PIXELS = 12;
const TURN_STEP = Math.PI / 12;
// Up to this many atoms and bonds each is painted in its own turn from the
// back to the front; above it, bonds first, then atoms by colour.
const EXACT_ORDER = 6000;

const multiply = (a, b) => a.map((row) => [0, 1, 2].map((j) => row[0] * b[0][j] + row[1] * b[1][j] + row[2] * b[2][j]));

// The rows made orthonormal again (Gram-Schmidt, the third their cross
// product): a view read with four decimals, or many small turns, drift.
function orthonormal(m) {
  const unit = (v) => {
    const length = Math.hypot(v[0], v[1], v[2]) || 1;
    return v.map((x) => x / length);
  };
  const x = unit(m[0]);
  const along = m[1][0] * x[0] + m[1][1] * x[1] + m[1][2] * x[2];
  const y = unit([0, 1, 2].map((i) => m[1][i] - along * x[i]));
  return [x, y, [x[1] * y[2] - x[2] * y[1], x[2] * y[0] - x[0] * y[2], x[0] * y[1] - x[1] * y[0]]];
}

// A turn about the screen's x (0), y (1) or z (2) axis.
function turnAbout(axis, angle) {
  const c = Math.cos(angle);
  const s = Math.sin(angle);
  const [i, j] = [[1, 2], [2, 0], [0, 1]][axis];
  const m = [[1, 0, 0], [0, 1, 0], [0, 0, 1]];
  m[i][i] = c;
  m[j][j] = c;
  m[i][j] = -s;
  m[j][i] = s;
  return m;
}

// The outline of a 50 % ellipsoid (U scaled, [U11, U22, U33, U12, U13,
// U23]) seen along the screen's z: the ellipse of the 2 x 2 block of
// R U R^T, its angle from x towards y; written into `into`.
function outline(u, r, into) {
  const [r0, r1] = r;
  // U r0 and U r1.
  const a0 = u[0] * r0[0] + u[3] * r0[1] + u[4] * r0[2];
  const a1 = u[3] * r0[0] + u[1] * r0[1] + u[5] * r0[2];
  const a2 = u[4] * r0[0] + u[5] * r0[1] + u[2] * r0[2];
  const b0 = u[0] * r1[0] + u[3] * r1[1] + u[4] * r1[2];
  const b1 = u[3] * r1[0] + u[1] * r1[1] + u[5] * r1[2];
  const b2 = u[4] * r1[0] + u[5] * r1[1] + u[2] * r1[2];
  const a = r0[0] * a0 + r0[1] * a1 + r0[2] * a2;
  const b = r1[0] * a0 + r1[1] * a1 + r1[2] * a2;
  const d = r1[0] * b0 + r1[1] * b1 + r1[2] * b2;
  const mean = (a + d) / 2;
  const spread = Math.hypot((a - d) / 2, b);
  into.major = Math.sqrt(Math.max(mean + spread, 0));
  into.minor = Math.sqrt(Math.max(mean - spread, 0));
  into.angle = 0.5 * Math.atan2(2 * b, a - d);
  return into;
}

// The distance from an atom's centre to its outline towards (dx, dy).
function reach(atom, dx, dy) {
  if (!atom.ellipse) return atom.radius;
  const { major, minor, angle } = atom.ellipse;
  if (minor <= 0) return 0;
  const c = dx * Math.cos(angle) + dy * Math.sin(angle);
  const s = -dx * Math.sin(angle) + dy * Math.cos(angle);
  return 1 / Math.sqrt((c * c) / (major * major) + (s * s) / (minor * minor));
}

const COLOURS = { H: '#ffffff', D: '#ffffff', C: '#b0b0b0', N: '#9db4ff', O: '#ff9d9d', F: '#b8f0a0', Si: '#e8c890',
  P: '#ffc080', S: '#fff080', Cl: '#a0f0a0', Fe: '#ffa860', Mg: '#a0e8a0', Al: '#d0c0e0', Na: '#c0a0f0', Ca: '#a0d0d0' };
const MARKED = '#c04000';
const LIT = '#e08000';
const SELECTED = '#0060c0';

class Drawing {
  constructor(phaseView, figure, model) {
    this.phaseView = phaseView;
    this.model = model;
    this.atoms = model.atoms.map((atom, k) => ({ ...atom, k, x: 0, y: 0, z: 0, radius: atom.r || 0.25, ellipse: null,
      fill: atom.shape === 'peak' ? null : COLOURS[atom.element] || '#e0e0e0' }));
    const n = Math.max(this.atoms.length, 1);
    this.centre = [0, 1, 2].map((i) => this.atoms.reduce((sum, atom) => sum + atom.xyz[i], 0) / n);
    this.bonds = model.bonds.map(([first, second, row, code]) => ({ p: this.atoms[first], q: this.atoms[second], row,
      code: code === null || code === undefined ? '?' : code, kind: 'bond', shown: false }));
    this.hbonds = model.hydrogen_bonds.map(([donor, h, a, row]) => ({ d: this.atoms[donor], p: this.atoms[h],
      q: this.atoms[a], row, kind: 'hbond', shown: false }));
    // Labels once per site: atoms that share one (a disorder) share it.
    const sites = new Map();
    for (const atom of this.atoms) {
      const key = atom.xyz.map((x) => x.toFixed(2)).join(' ');
      const first = sites.get(key);
      if (first) first.text += '/' + atom.label;
      else sites.set(key, atom);
      atom.text = atom.label + (atom.site_code !== '.' ? '\u2032' : '');
      atom.labelled = !first;
    }
    this.byName = new Map();
    for (const atom of this.atoms) {
      const key = atom.label + ' ' + atom.site_code;
      if (!this.byName.has(key)) this.byName.set(key, []);
      this.byName.get(key).push(atom);
    }
    this.allBonds = this.bonds.concat(this.hbonds);
    this.exact = this.atoms.length + this.allBonds.length <= EXACT_ORDER;
    this.initial = orthonormal(model.view);
    this.rotation = this.initial.map((row) => row.slice());
    this.zoom = 1;
    this.pan = [0, 0];
    this.markedBonds = new Set();
    this.markedHbonds = new Set();
    this.lit = new Set();
    this.selected = null;
    this.order = [];

    this.canvas = element('canvas', { class: 'drawing', role: 'img', tabindex: '0',
      'aria-label': 'Drawing of phase ' + model.phase + ': ' + this.atoms.length + ' atoms' });
    const tools = element('div', { class: 'tools' });
    const tool = (text, action, title, run) => {
      const button = element('button', { type: 'button', 'data-action': action, title }, [text]);
      button.addEventListener('click', run);
      tools.append(button);
    };
    tool('\u2190', 'turn-left', 'Turn left', () => this.turn(1, -TURN_STEP));
    tool('\u2192', 'turn-right', 'Turn right', () => this.turn(1, TURN_STEP));
    tool('\u2191', 'turn-up', 'Turn up', () => this.turn(0, -TURN_STEP));
    tool('\u2193', 'turn-down', 'Turn down', () => this.turn(0, TURN_STEP));
    tool('\u21ba', 'turn-anticlockwise', 'Turn anticlockwise', () => this.turn(2, TURN_STEP));
    tool('\u21bb', 'turn-clockwise', 'Turn clockwise', () => this.turn(2, -TURN_STEP));
    tool('+', 'zoom-in', 'Zoom in', () => this.zoomAt(this.width / 2, this.height / 2, 1.25));
    tool('\u2212', 'zoom-out', 'Zoom out', () => this.zoomAt(this.width / 2, this.height / 2, 0.8));
    tool('Reset', 'reset-view', 'The view as it opened', () => this.reset());
    figure.append(tools, this.canvas, element('figcaption', {}, [
      (model.network ? 'Coordination shells of the asymmetric unit' : 'Molecules of the asymmetric unit') + ', ' +
      this.atoms.length + ' atoms; ellipsoids at 50 % probability; hydrogen bonds dashed; marked rows in orange; ' +
      'images of the atoms primed.']));
    this.resize();
    this.fit();
    this.project(true);
    this.listen();
    new ResizeObserver(() => {
      if (this.resize()) this.draw();
    }).observe(this.canvas);
  }

  // The canvas's pixels follow its size on the page.
  resize() {
    const width = Math.max(1, this.canvas.clientWidth);
    const height = Math.max(1, this.canvas.clientHeight);
    const ratio = window.devicePixelRatio || 1;
    if (width === this.width && height === this.height && ratio === this.ratio) return false;
    this.width = width;
    this.height = height;
    this.ratio = ratio;
    this.canvas.width = Math.round(width * ratio);
    this.canvas.height = Math.round(height * ratio);
    return true;
  }

  // The scale that shows every atom.
  fit() {
    let [minX, maxX, minY, maxY] = [Infinity, -Infinity, Infinity, -Infinity];
    const r = this.rotation;
    for (const atom of this.atoms) {
      const v = [0, 1, 2].map((i) => atom.xyz[i] - this.centre[i]);
      const x = r[0][0] * v[0] + r[0][1] * v[1] + r[0][2] * v[2];
      const y = -(r[1][0] * v[0] + r[1][1] * v[1] + r[1][2] * v[2]);
      minX = Math.min(minX, x - 1);
      maxX = Math.max(maxX, x + 1);
      minY = Math.min(minY, y - 1);
      maxY = Math.max(maxY, y + 1);
    }
    if (!isFinite(minX)) [minX, maxX, minY, maxY] = [-1, 1, -1, 1];
    this.scale = Math.min(this.width / (maxX - minX), this.height / (maxY - minY), 90);
    this.pan = [-(minX + maxX) / 2 * this.scale, -(minY + maxY) / 2 * this.scale];
  }

  reset() {
    this.rotation = this.initial.map((row) => row.slice());
    this.zoom = 1;
    this.fit();
    this.project(true);
  }

  // Every atom and bond where the rotation puts it (Angstrom, y down);
  // `order` sorts them again from the back to the front.
  project(order) {
    this.projections = (this.projections || 0) + 1;
    const r = this.rotation;
    for (const atom of this.atoms) {
      const v0 = atom.xyz[0] - this.centre[0];
      const v1 = atom.xyz[1] - this.centre[1];
      const v2 = atom.xyz[2] - this.centre[2];
      atom.x = r[0][0] * v0 + r[0][1] * v1 + r[0][2] * v2;
      atom.y = -(r[1][0] * v0 + r[1][1] * v1 + r[1][2] * v2);
      atom.z = r[2][0] * v0 + r[2][1] * v1 + r[2][2] * v2;
      if (atom.shape === 'ellipsoid') {
        if (!atom.ellipse) {
          atom.ellipse = { major: 0, minor: 0, angle: 0 };
          atom.axisEnds = atom.axes.map(() => [0, 0]);
        }
        outline(atom.u, r, atom.ellipse);
        atom.ellipse.angle = -atom.ellipse.angle;  // y runs down
        atom.radius = atom.ellipse.major;
        for (let k = 0; k < 3; ++k) {
          const axis = atom.axes[k];
          atom.axisEnds[k][0] = r[0][0] * axis[0] + r[0][1] * axis[1] + r[0][2] * axis[2];
          atom.axisEnds[k][1] = -(r[1][0] * axis[0] + r[1][1] * axis[1] + r[1][2] * axis[2]);
        }
      }
    }
    for (const bond of this.allBonds) {
      const { p, q } = bond;
      const dx = q.x - p.x;
      const dy = q.y - p.y;
      const length = Math.hypot(dx, dy);
      const from = length > 0 ? reach(p, dx / length, dy / length) : 0;
      const to = length > 0 ? reach(q, -dx / length, -dy / length) : 0;
      // Seen end on, a bond hides behind its atoms.
      bond.shown = length > 0 && from + to < length;
      if (!bond.shown) continue;
      bond.x1 = p.x + dx / length * from;
      bond.y1 = p.y + dy / length * from;
      bond.x2 = q.x - dx / length * to;
      bond.y2 = q.y - dy / length * to;
      bond.z = (p.z + q.z) / 2;
    }
    if (order) {
      // Above EXACT_ORDER only the atoms are painted from the back.
      const items = this.exact ? [...this.allBonds, ...this.atoms] : this.atoms.slice();
      items.sort((a, b) => a.z - b.z || (a.kind ? 0 : 1) - (b.kind ? 0 : 1));
      this.order = items;
    }
    this.draw();
  }

  // Screen pixels of a point of the scene.
  screenX(x) {
    return this.width / 2 + this.pan[0] + x * this.scale * this.zoom;
  }

  screenY(y) {
    return this.height / 2 + this.pan[1] + y * this.scale * this.zoom;
  }

  // A large drawing keeps its picture without the lit and selected atoms
  // as a layer, made again only when the view or the marks change: lighting
  // a row's atoms (a pointer over the rows) then costs a copy of the layer
  // and a few outlines, not the whole drawing.
  draw() {
    if (this.exact) return this.drawAll(this.canvas.getContext('2d'), true);
    const key = [this.width, this.height, this.ratio, this.zoom, this.pan[0], this.pan[1], this.projections,
      this.marksVersion || 0].join(' ');
    if (!this.layer || this.layerKey !== key) {
      this.layer = this.layer || document.createElement('canvas');
      this.layer.width = this.canvas.width;
      this.layer.height = this.canvas.height;
      this.drawAll(this.layer.getContext('2d'), false);
      this.layerKey = key;
    }
    const ctx = this.canvas.getContext('2d');
    ctx.setTransform(1, 0, 0, 1, 0, 0);
    ctx.drawImage(this.layer, 0, 0);
    const s = this.scale * this.zoom;
    ctx.setTransform(this.ratio * s, 0, 0, this.ratio * s, this.ratio * (this.width / 2 + this.pan[0]),
      this.ratio * (this.height / 2 + this.pan[1]));
    const pixel = 1 / s;
    for (const atom of [...this.lit, this.selected]) {
      if (!atom || atom.shape === 'cross') continue;
      ctx.beginPath();
      if (atom.ellipse) ctx.ellipse(atom.x, atom.y, Math.max(atom.ellipse.major, pixel), Math.max(atom.ellipse.minor, pixel),
        atom.ellipse.angle, 0, 2 * Math.PI);
      else ctx.arc(atom.x, atom.y, atom.radius, 0, 2 * Math.PI);
      this.outlineAtom(ctx, atom, pixel);
      ctx.stroke();
    }
  }

  // The whole picture; `outlines`: with the lit and selected atoms.
  drawAll(ctx, outlines) {
    this.outlines = outlines;
    const s = this.scale * this.zoom;
    ctx.setTransform(this.ratio, 0, 0, this.ratio, 0, 0);
    ctx.fillStyle = '#ffffff';
    ctx.fillRect(0, 0, this.width, this.height);
    ctx.setTransform(this.ratio * s, 0, 0, this.ratio * s, this.ratio * (this.width / 2 + this.pan[0]),
      this.ratio * (this.height / 2 + this.pan[1]));
    const pixel = 1 / s;
    // Round ends cost much for many bonds; a thin line is a hairline.
    const bondWidth = this.exact ? Math.max(0.08, 1.5 * pixel) : Math.max(0.08, pixel);
    ctx.lineCap = this.exact ? 'round' : 'butt';
    if (this.exact) {
      for (const item of this.order) {
        if (item.kind) this.drawBonds(ctx, [item], bondWidth, pixel);
        else this.drawAtoms(ctx, [item], pixel);
      }
    } else {
      this.drawBonds(ctx, this.bonds, bondWidth, pixel);
      this.drawBonds(ctx, this.hbonds, bondWidth, pixel);
      this.drawAtoms(ctx, this.order, pixel);
    }
    this.drawLabels(ctx, s);
  }

  drawBonds(ctx, bonds, width, pixel) {
    // One path per look: plain, marked; hydrogen bonds dashed.
    const looks = new Map();
    for (const bond of bonds) {
      if (!bond.shown) continue;
      const marked = bond.kind === 'bond' ? bond.row !== null && this.markedBonds.has(bond.row) : this.markedHbonds.has(bond.row);
      const look = bond.kind + (marked ? ' marked' : '');
      if (!looks.has(look)) looks.set(look, []);
      looks.get(look).push(bond);
    }
    for (const [look, list] of looks) {
      ctx.beginPath();
      for (const bond of list) {
        ctx.moveTo(bond.x1, bond.y1);
        ctx.lineTo(bond.x2, bond.y2);
      }
      const hbond = look.startsWith('hbond');
      ctx.strokeStyle = look.endsWith('marked') ? MARKED : hbond ? '#2060c0' : '#303030';
      ctx.lineWidth = hbond ? width * 0.6 : width;
      ctx.setLineDash(hbond ? [0.12, 0.1] : []);
      ctx.stroke();
    }
    ctx.setLineDash([]);
  }

  drawAtoms(ctx, atoms, pixel) {
    const path = (atom) => {
      if (atom.ellipse) ctx.ellipse(atom.x, atom.y, Math.max(atom.ellipse.major, pixel), Math.max(atom.ellipse.minor, pixel),
        atom.ellipse.angle, 0, 2 * Math.PI);
      else ctx.arc(atom.x, atom.y, atom.radius, 0, 2 * Math.PI);
    };
    if (atoms.length === 1) {
      const atom = atoms[0];
      if (atom.shape === 'cross') return this.drawCross(ctx, atom, pixel);
      ctx.beginPath();
      path(atom);
      if (atom.fill) {
        ctx.fillStyle = atom.fill;
        ctx.fill();
      }
      this.outlineAtom(ctx, atom, pixel);
      ctx.lineWidth = 1.2 * pixel;
      ctx.setLineDash(atom.shape === 'peak' ? [3 * pixel, 2 * pixel] : []);
      ctx.stroke();
      ctx.setLineDash([]);
      if (atom.axisEnds) this.drawAxes(ctx, [atom], pixel);
      return;
    }
    // Many atoms: one path per fill colour, outlines in one stroke; atoms
    // too small to show an outline as squares of their colour.
    const byFill = new Map();
    const dots = new Map();
    for (const atom of atoms) {
      if (atom.shape === 'cross') continue;
      if (atom.radius < 2.5 * pixel) {
        const fill = atom.fill || '#808080';
        if (!dots.has(fill)) dots.set(fill, []);
        dots.get(fill).push(atom);
        continue;
      }
      const fill = atom.fill || 'none';
      if (!byFill.has(fill)) byFill.set(fill, []);
      byFill.get(fill).push(atom);
    }
    for (const [fill, list] of byFill) {
      ctx.beginPath();
      for (const atom of list) {
        ctx.moveTo(atom.x + (atom.ellipse ? 0 : atom.radius), atom.y);
        path(atom);
      }
      if (fill !== 'none') {
        ctx.fillStyle = fill;
        ctx.fill();
      }
      ctx.strokeStyle = '#000000';
      ctx.lineWidth = 1.2 * pixel;
      ctx.stroke();
    }
    for (const [fill, list] of dots) {
      ctx.fillStyle = fill === '#ffffff' ? '#808080' : fill;
      for (const atom of list) {
        const r = Math.max(atom.radius, pixel);
        ctx.fillRect(atom.x - r, atom.y - r, 2 * r, 2 * r);
      }
    }
    this.drawAxes(ctx, atoms.filter((atom) => atom.axisEnds && atom.radius >= 2.5 * pixel), pixel);
    for (const atom of atoms) {
      if (atom.shape === 'cross') this.drawCross(ctx, atom, pixel);
      else if (this.outlines && (this.lit.has(atom) || this.selected === atom)) {
        ctx.beginPath();
        path(atom);
        this.outlineAtom(ctx, atom, pixel);
        ctx.stroke();
      }
    }
  }

  // The outline's colour and width: lit or selected atoms stand out.
  outlineAtom(ctx, atom, pixel) {
    const special = this.selected === atom ? SELECTED : this.lit.has(atom) ? LIT : null;
    ctx.strokeStyle = special || '#000000';
    ctx.lineWidth = (special ? 3 : 1.2) * pixel;
  }

  drawAxes(ctx, atoms, pixel) {
    if (atoms.length === 0) return;
    ctx.beginPath();
    for (const atom of atoms)
      for (const [ax, ay] of atom.axisEnds) {
        ctx.moveTo(atom.x - ax, atom.y - ay);
        ctx.lineTo(atom.x + ax, atom.y + ay);
      }
    ctx.strokeStyle = '#000000';
    ctx.lineWidth = 0.7 * pixel;
    ctx.stroke();
  }

  drawCross(ctx, atom, pixel) {
    ctx.beginPath();
    ctx.moveTo(atom.x - 0.25, atom.y - 0.25);
    ctx.lineTo(atom.x + 0.25, atom.y + 0.25);
    ctx.moveTo(atom.x - 0.25, atom.y + 0.25);
    ctx.lineTo(atom.x + 0.25, atom.y - 0.25);
    ctx.strokeStyle = '#d00000';
    ctx.lineWidth = 3 * pixel;
    ctx.stroke();
  }

  // Labels in screen pixels, of the atoms on the canvas, once they are far
  // enough apart to be read (or few).
  drawLabels(ctx, s) {
    const visible = this.atoms.filter((atom) => {
      const x = this.screenX(atom.x);
      const y = this.screenY(atom.y);
      return atom.labelled && x > -20 && x < this.width + 20 && y > -20 && y < this.height + 20;
    });
    if (visible.length > 400 && s < 25) return;
    ctx.setTransform(this.ratio, 0, 0, this.ratio, 0, 0);
    ctx.font = LABEL_PIXELS + 'px sans-serif';
    ctx.lineWidth = 3;
    ctx.strokeStyle = '#ffffff';
    ctx.fillStyle = '#000000';
    ctx.lineJoin = 'round';
    for (const atom of visible.slice(0, 2000)) {
      const x = this.screenX(atom.x) + 0.6 * atom.radius * s + 1;
      const y = this.screenY(atom.y) - 0.6 * atom.radius * s - 1;
      ctx.strokeText(atom.text, x, y);
      ctx.fillText(atom.text, x, y);
    }
  }

  turn(axis, angle) {
    this.rotation = orthonormal(multiply(turnAbout(axis, angle), this.rotation));
    this.project(true);
  }

  zoomAt(x, y, factor) {
    const zoom = Math.min(400, Math.max(0.05, this.zoom * factor));
    const applied = zoom / this.zoom;
    // The point under the cursor stays where it is.
    this.pan = [x - this.width / 2 - (x - this.width / 2 - this.pan[0]) * applied,
      y - this.height / 2 - (y - this.height / 2 - this.pan[1]) * applied];
    this.zoom = zoom;
    this.draw();
  }

  local(event) {
    const box = this.canvas.getBoundingClientRect();
    return { x: event.clientX - box.left, y: event.clientY - box.top };
  }

  // The atom or bond under a point of the canvas: atoms from the front,
  // then bonds, within a few pixels.
  hit(point) {
    const s = this.scale * this.zoom;
    const x = (point.x - this.width / 2 - this.pan[0]) / s;
    const y = (point.y - this.height / 2 - this.pan[1]) / s;
    const slack = 4 / s;
    let best = null;
    for (const atom of this.atoms) {
      const d = Math.hypot(atom.x - x, atom.y - y);
      if (d <= Math.max(atom.radius, slack) && (!best || atom.z > best.z)) best = atom;
    }
    if (best) return best;
    let nearest = slack;
    for (const bond of this.allBonds) {
      if (!bond.shown) continue;
      const dx = bond.x2 - bond.x1;
      const dy = bond.y2 - bond.y1;
      const t = Math.max(0, Math.min(1, ((x - bond.x1) * dx + (y - bond.y1) * dy) / (dx * dx + dy * dy || 1)));
      const d = Math.hypot(bond.x1 + t * dx - x, bond.y1 + t * dy - y);
      if (d <= nearest) {
        nearest = d;
        best = bond;
      }
    }
    return best;
  }

  // Where an atom (by label and site code) or a bond or hydrogen bond (by
  // its row) is on the page, for scripts and tests: client pixels.
  whereIs(kind, row, code) {
    const box = this.canvas.getBoundingClientRect();
    let x;
    let y;
    if (kind === 'atom') {
      const atom = (this.byName.get(row + ' ' + (code || '.')) || [])[0];
      if (!atom) return null;
      [x, y] = [atom.x, atom.y];
    } else {
      const bond = (kind === 'hbond' ? this.hbonds : this.bonds).find((b) => b.row === row && b.shown);
      if (!bond) return null;
      [x, y] = [(bond.x1 + bond.x2) / 2, (bond.y1 + bond.y2) / 2];
    }
    return { x: box.left + this.screenX(x), y: box.top + this.screenY(y) };
  }

  listen() {
    this.canvas.addEventListener('wheel', (event) => {
      event.preventDefault();
      const at = this.local(event);
      this.zoomAt(at.x, at.y, Math.exp(-event.deltaY * (event.deltaMode === 1 ? 0.05 : 0.002)));
    }, { passive: false });
    let drag = null;
    let frame = 0;
    const later = (task) => {
      if (!frame) frame = requestAnimationFrame(() => {
        frame = 0;
        task();
      });
    };
    this.canvas.addEventListener('pointerdown', (event) => {
      if (event.button !== 0) return;
      const at = this.local(event);
      drag = { start: at, last: at, turn: event.shiftKey || event.altKey, moved: false, id: event.pointerId };
    });
    this.canvas.addEventListener('pointermove', (event) => {
      const at = this.local(event);
      if (!drag) {
        // What is under the pointer, as a tooltip.
        later(() => {
          const item = this.hit(at);
          this.canvas.style.cursor = item ? 'pointer' : '';
          this.canvas.title = !item ? '' : item.kind ? this.describeBond(item) : item.label +
            (item.site_code !== '.' ? ' (' + item.site_code + ')' : '');
        });
        return;
      }
      if (!drag.moved && Math.hypot(at.x - drag.start.x, at.y - drag.start.y) < 4) return;
      if (!drag.moved) {
        drag.moved = true;
        this.canvas.setPointerCapture(drag.id);
        this.canvas.classList.add('dragging');
      }
      const [dx, dy] = [at.x - drag.last.x, at.y - drag.last.y];
      drag.last = at;
      if (drag.turn) {
        this.rotation = orthonormal(multiply(turnAbout(0, dy * 0.01), multiply(turnAbout(1, dx * 0.01), this.rotation)));
        later(() => this.project(false));
      } else {
        this.pan = [this.pan[0] + dx, this.pan[1] + dy];
        later(() => this.draw());
      }
    });
    const end = (event) => {
      if (!drag) return;
      if (drag.moved) {
        this.canvas.classList.remove('dragging');
        if (drag.turn) this.project(true);
      } else if (event.type === 'pointerup') {
        this.click(this.local(event));
      }
      drag = null;
    };
    this.canvas.addEventListener('pointerup', end);
    this.canvas.addEventListener('pointercancel', end);
  }

  describeBond(bond) {
    return bond.kind === 'bond' ? bond.p.label + '\u2013' + bond.q.label + ' (. ' + bond.code + ')'
      : bond.d.label + '\u2013' + bond.p.label + '\u00b7\u00b7\u00b7' + bond.q.label;
  }

  // A click on an atom lights its rows; on a bond, marks or clears its row.
  click(point) {
    const item = this.hit(point);
    if (!item) return;
    if (!item.kind) {
      this.selected = this.selected === item ? null : item;
      this.phaseView.selectAtom(this.selected);
      this.draw();
      return;
    }
    if (item.row === null) {
      showStatus('The bond ' + this.describeBond(item) + ' has no row to mark.', true);
      return;
    }
    const table = this.phaseView.markable.find((t) => t.def.kind === item.kind);
    const marked = (item.kind === 'hbond' ? this.markedHbonds : this.markedBonds).has(item.row);
    if (table) markRows(table, [item.row], !marked);
  }

  async loadMarks() {
    const version = this.marksVersion;
    const [bonds, hbonds] = await Promise.all(['bond', 'hbond'].map((kind) =>
      request('GET', '/marked?' + new URLSearchParams({ phase: String(this.model.phase), kind }))));
    // A mark of a bond answered meanwhile may be missing from these: asked again.
    if (this.marksVersion !== version) return this.loadMarks();
    this.markedBonds = new Set(bonds.indices);
    this.markedHbonds = new Set(hbonds.indices);
    this.marksVersion = (this.marksVersion || 0) + 1;
    this.draw();
  }

  changed(kind, rows, publish) {
    const set = kind === 'bond' ? this.markedBonds : kind === 'hbond' ? this.markedHbonds : null;
    if (!set) return;
    for (const row of rows) {
      if (publish) set.add(row);
      else set.delete(row);
    }
    this.marksVersion = (this.marksVersion || 0) + 1;
    this.drawSoon();
  }

  // A repaint after the next frame is painted, so that the tables' and the
  // status line's change shows before the drawing is painted again.
  drawSoon() {
    if (this.pending) return;
    this.pending = requestAnimationFrame(() => setTimeout(() => {
      this.pending = 0;
      this.draw();
    }, 0));
  }

  // Lights the atoms named [label, site code].
  light(atoms) {
    this.lit = new Set(atoms.flatMap(([label, code]) => this.byName.get(label + ' ' + code) || []));
    this.drawSoon();
  }
}

// ---------------------------------------------------------------- a phase

class PhaseView {
  constructor(phase) {
    this.phase = phase.phase;
    this.data = phase;
    this.markable = [];
    this.readOnly = [];
    this.drawing = null;
    this.selectedLabel = null;
    this.section = element('section', { class: 'phase', 'data-phase': String(phase.phase) });
    this.section.append(element('h2', {}, ['Phase ' + phase.phase + ': ' + (phase.name || '') +
      (phase.space_group ? ' (' + phase.space_group + ')' : '')]));
    this.figure = element('figure', { class: 'drawing' });
    const tables = element('div', { class: 'tables' });
    for (const def of MARKABLE) {
      const table = new MarkableTable(this, def);
      this.markable.push(table);
      tables.append(table.node);
    }
    for (const def of READ_ONLY) {
      const table = new ReadOnlyTable(this, def, phase);
      if (table.rows.length === 0) continue;
      table.render();
      this.readOnly.push(table);
      tables.append(table.node);
    }
    this.section.append(this.figure, tables);
  }

  async loadDrawing() {
    try {
      const model = await request('GET', '/drawing/' + this.phase + '.json');
      this.drawing = new Drawing(this, this.figure, model);
      await this.drawing.loadMarks();
    } catch (error) {
      if (/no drawing/.test(error.message)) this.figure.remove();
      else this.figure.textContent = 'The drawing cannot be shown: ' + error.message;
    }
  }

  // The filter changed: every table again.
  async applyFilter() {
    for (const table of this.markable) table.reload();
    const asked = page.filter;
    try {
      const { terms, unknown } = await filterTerms(this.phase);
      if (page.filter !== asked) return;  // a later filter's answer rules
      for (const table of this.readOnly) table.setTerms(terms, unknown);
      if (unknown.length > 0) showStatus('No atom, element or site code is named ' + unknown.join(', ') + '.', true);
    } catch (error) {
      if (page.filter === asked) showStatus('The filter cannot be read: ' + error.message, true);
    }
  }

  // An atom clicked on the drawing lights the rows shown that hold it
  // (none: nothing).
  selectAtom(atom) {
    this.selectedLabel = atom ? atom.label : null;
    this.lightRows();
  }

  lightRows() {
    for (const tr of this.section.querySelectorAll('.tables tbody tr'))
      tr.classList.toggle('highlight', this.selectedLabel !== null && tr.labels.includes(this.selectedLabel));
  }

  showRowAtoms(data) {
    if (!this.drawing) return;
    this.drawing.light(data ? data.atoms.map((label, i) => [label, data.site_codes[i] === null ? '?' : data.site_codes[i]]) : []);
  }

  showAtoms(atoms) {
    if (this.drawing) this.drawing.light(atoms);
  }
}

// ---------------------------------------------------------------- start

function listen() {
  let waiting = 0;
  document.getElementById('filter').addEventListener('input', (event) => {
    clearTimeout(waiting);
    waiting = setTimeout(() => {
      page.filter = event.target.value;
      showStatus('', false);
      for (const view of page.phases) view.applyFilter();
    }, 200);
  });
  document.getElementById('undo').addEventListener('click', () => undoRedo(true));
  document.getElementById('redo').addEventListener('click', () => undoRedo(false));
  document.addEventListener('keydown', (event) => {
    if (!(event.ctrlKey || event.metaKey) || event.altKey) return;
    // In the filter's box the keys undo the typing.
    if (event.target.closest && event.target.closest('input[type=search]')) return;
    const key = event.key.toLowerCase();
    if (key === 'z' || key === 'y') {
      event.preventDefault();
      undoRedo(key === 'z' && !event.shiftKey);
    }
  });
  document.getElementById('write-cif').addEventListener('click', () => oneAtATime(async () => {
    try {
      const answer = await request('POST', '/write-cif');
      showStatus('The publication CIF is written: ' + answer.file, false);
    } catch (error) {
      showStatus('The publication CIF is not written: ' + error.message, true);
    }
  }));
  document.getElementById('quit').addEventListener('click', () => oneAtATime(async () => {
    try {
      await request('POST', '/quit');
      document.getElementById('phases').replaceChildren(element('p', {}, ['vortan has stopped; this page can be closed.']));
      document.querySelectorAll('header button, header input').forEach((control) => { control.disabled = true; });
      showStatus('', false);
    } catch (error) {
      showStatus('Quit failed: ' + error.message, true);
    }
  }));
  const hint = document.getElementById('hint');
  let seen = false;
  try {
    seen = localStorage.getItem('vortan-hint-seen') === 'yes';
  } catch (error) {
    seen = false;
  }
  hint.hidden = seen;
  hint.querySelector('[data-action=dismiss-hint]').addEventListener('click', () => {
    hint.hidden = true;
    try {
      localStorage.setItem('vortan-hint-seen', 'yes');
    } catch (error) {
      // A browser that keeps nothing shows the hint again next time.
    }
  });
}

async function start() {
  listen();
  const main = document.getElementById('phases');
  let results;
  try {
    [results] = await Promise.all([request('GET', '/phases.json'),
      request('GET', '/history').then(setHistory)]);
  } catch (error) {
    main.textContent = 'The results cannot be loaded: ' + error.message;
    return;
  }
  document.title = 'vortan \u2013 ' + results.experiment;
  document.getElementById('title').textContent = 'vortan \u2013 ' + results.experiment;
  main.replaceChildren();
  for (const phase of results.phases || []) {
    const view = new PhaseView(phase);
    page.phases.push(view);
    main.append(view.section);
  }
  // The moments the first rows and the drawings are shown, for the
  // benchmark: performance marks "rows" and "drawn".
  const rows = Promise.all(page.phases.flatMap((view) => view.markable.map((table) => table.reload()))).then(() => {
    performance.mark('rows');
    document.body.dataset.rows = 'true';
  });
  const drawings = Promise.all(page.phases.map((view) => view.loadDrawing())).then(() => {
    performance.mark('drawn');
    document.body.dataset.drawn = 'true';
  });
  await Promise.all([rows, drawings]);
  document.body.dataset.ready = 'true';
}

document.addEventListener('DOMContentLoaded', start);
