// The viewer page of "hvdiag serve". Everything it shows comes from the
// server's /api/ answers, which the library formatted; the filter lives in the
// page's address so that a view can be shared.
'use strict';

const $ = (selector) => document.querySelector(selector);
const form = $('#filters');
const tbody = $('#messages tbody');
const kTextFields = ['from', 'before', 'max-verbosity', 'text', 'location', 'provider', 'user'];
const kPrefixFields = ['location', 'provider', 'user'];
const kMaxRows = 2000;  // live rows beyond this fall off the bottom

const state = {
  cursor: null, offset: 0, events: null, paused: false, pending: [], labels: {}, selected: null, generation: 0,
};

// ---- the filter: form <-> address <-> request ----

function filterParams() {
  const params = new URLSearchParams();
  for (const kind of ['severity', 'audience']) {
    const checked = [...form.querySelectorAll(`input[name=${kind}]:checked`)].map((box) => box.value);
    if (checked.length > 0 && checked.length < 4) params.set(kind, checked.join('|'));
  }
  for (const name of kTextFields) {
    const value = form.elements[name].value.trim();
    if (!value) continue;
    const prefix = kPrefixFields.includes(name) && form.elements[`${name}-prefix`].checked;
    params.set(prefix ? `${name}-prefix` : name, value);
  }
  const lang = $('#lang').value;
  if (lang) params.set('lang', lang);
  return params;
}

function formFromAddress() {
  const params = new URLSearchParams(location.search);
  for (const kind of ['severity', 'audience']) {
    const names = (params.get(kind) || '').toLowerCase().split(/[|,+]/).map((word) => word.trim());
    form.querySelectorAll(`input[name=${kind}]`).forEach((box) => { box.checked = names.includes(box.value.toLowerCase()); });
  }
  for (const name of kTextFields) {
    const prefix = kPrefixFields.includes(name) && params.has(`${name}-prefix`);
    form.elements[name].value = params.get(prefix ? `${name}-prefix` : name) || '';
    if (kPrefixFields.includes(name)) form.elements[`${name}-prefix`].checked = prefix;
  }
  $('#lang').value = ['en', 'de'].includes(params.get('lang')) ? params.get('lang') : '';
}

// The language messages are formatted in: the selector's, else the browser's.
function language() {
  return $('#lang').value || (navigator.language || 'en').split('-')[0].toLowerCase();
}

function query(extra = {}) {
  const params = filterParams();
  params.set('lang', language());
  for (const [name, value] of Object.entries(extra)) params.set(name, value);
  return params.toString();
}

// ---- errors ----

// Every problem of the current view, once each; a new view starts without.
function showError(text) {
  const box = $('#error');
  if (!text) box.replaceChildren();
  else if (![...box.children].some((line) => line.textContent === text)) box.appendChild(document.createElement('div')).textContent = text;
  box.hidden = box.children.length === 0;
}

async function getJson(url) {
  let response;
  try {
    response = await fetch(url);
  } catch (failure) {
    throw new Error(`hvdiag serve cannot be reached (${failure.message}). The page keeps what it shows.`);
  }
  const body = await response.json().catch(() => ({ error: `${response.status} ${response.statusText}` }));
  if (response.status === 502) throw new Error(`The stored messages cannot be read: ${body.error}`);
  if (response.status === 400) throw new Error(`The filter was refused: ${body.error}`);
  if (!response.ok || body.error) throw new Error(body.error || `${response.status} ${response.statusText}`);
  return body;
}

// ---- the table ----

const kSeverities = [[1, 'Error'], [2, 'Warning'], [4, 'Info'], [8, 'Audit']];

function severityCell(message) {
  const span = document.createElement('span');
  const first = kSeverities.find(([bit]) => message.severity & bit);
  span.className = `sev sev-${first ? first[1].toLowerCase() : 'none'}`;
  span.textContent = message.severity_names;
  return span;
}

function messageText(message) {
  if (message.message) return message.message;
  return message.message_id === null ? '' : `(resource ${message.message_id})`;
}

function row(message, isNew) {
  const tr = document.createElement('tr');
  if (isNew) tr.className = 'new';
  const cells = [message.time, null, message.audience_names, String(message.verbosity), message.location,
    message.provider, message.user, messageText(message)];
  cells.forEach((text, i) => {
    const td = document.createElement('td');
    if (i === 0) td.className = 'time';
    if (i === 1) td.appendChild(severityCell(message));
    else td.textContent = text;
    tr.appendChild(td);
  });
  tr.addEventListener('click', () => {
    if (state.selected) state.selected.classList.remove('selected');
    state.selected = tr;
    tr.classList.add('selected');
    showDetails(message);
  });
  return tr;
}

async function loadPage(first) {
  const generation = state.generation;
  const extra = first ? {} : { offset: state.offset, ...(state.cursor ? { cursor: state.cursor } : {}) };
  try {
    const page = await getJson(`api/messages?${query(extra)}`);
    if (generation !== state.generation) return;
    if (first) tbody.replaceChildren();
    page.messages.forEach((message) => tbody.appendChild(row(message, false)));
    state.cursor = page.cursor || null;
    state.offset = (first ? 0 : state.offset) + page.messages.length;
    $('#more').hidden = !page.more;
    $('#empty').hidden = tbody.children.length > 0;
  } catch (failure) {
    showError(failure.message);
  }
}

// ---- details ----

function definitionLabels(definition) {
  const doc = new DOMParser().parseFromString(definition, 'application/xml');
  const group = doc.querySelector('DisplayName')?.textContent || '';
  for (const field of doc.querySelectorAll('Field')) {
    const name = field.querySelector('Name')?.textContent;
    if (!name) continue;
    const values = {};
    field.querySelectorAll('EnumMap > *').forEach((value) => {
      const text = value.querySelector('Text')?.textContent;
      if (value.getAttribute('value') !== null && text) values[value.getAttribute('value')] = text;
    });
    state.labels[name.toLowerCase()] = { label: field.querySelector('Label')?.textContent || name, group, values };
  }
}

async function loadGroups() {
  state.labels = {};
  try {
    (await getJson(`api/groups?lang=${encodeURIComponent(language())}`)).forEach((g) => definitionLabels(g.definition));
  } catch (failure) {
    showError(failure.message);
  }
}

function fieldList(pairs) {
  const dl = document.createElement('dl');
  for (const [name, value] of pairs) {
    const dt = document.createElement('dt');
    const dd = document.createElement('dd');
    dt.textContent = name;
    dd.textContent = value;
    dl.append(dt, dd);
  }
  return dl;
}

function parameterPairs(parameters) {
  return Object.entries(parameters).map(([name, value]) => {
    const known = state.labels[name.toLowerCase()];
    if (!known) return [name, value];
    const shown = known.values[value] ? `${known.values[value]} (${value})` : value;
    return [`${known.label} (${name}${known.group ? `, ${known.group}` : ''})`, shown];
  });
}

function itemBlock(message, title) {
  const block = document.createElement('div');
  const h = document.createElement('h3');
  h.textContent = title;
  block.appendChild(h);
  const fields = [['Time (UTC)', message.time], ['Severity', message.severity_names],
    ['Audience', message.audience_names], ['Verbosity', message.verbosity], ['Location', message.location],
    ['Provider', message.provider], ['User', message.user], ['Message', messageText(message)],
    ['Message id', message.message_id === null ? '(text)' : message.message_id]];
  if (message.user_description) fields.push(['User description', message.user_description]);
  block.appendChild(fieldList(fields));
  const parameters = parameterPairs(message.parameters || {});
  if (parameters.length) {
    const p = document.createElement('h3');
    p.textContent = 'Extended parameters';
    block.append(p, fieldList(parameters));
  }
  return block;
}

function showDetails(message) {
  const body = $('#details-body');
  body.replaceChildren(itemBlock(message, 'Message'));
  (message.children || []).forEach((child, i) => {
    const block = itemBlock(child, `Child ${i + 1}`);
    block.className = 'child';
    body.appendChild(block);
  });
  $('#details').hidden = false;
}

// ---- live follow ----

function setLive(text, kind) {
  const live = $('#live');
  live.textContent = text;
  live.className = `live ${kind || ''}`;
}

function pausedText() {
  return `paused: ${state.pending.length} new`;
}

function follow() {
  if (state.events) state.events.close();
  const events = new EventSource(`api/events?${query()}`);
  state.events = events;
  setLive('connecting…');
  events.addEventListener('ready', () => {
    if (state.paused) setLive(pausedText(), 'paused');
    else setLive('live', 'on');
  });
  events.addEventListener('failure', (event) => {
    events.close();
    setLive('not following');
    showError(`New messages cannot be followed: ${JSON.parse(event.data).error}`);
    // The service may come back: try again while this view stands.
    const generation = state.generation;
    setTimeout(() => { if (generation === state.generation && state.events === events) follow(); }, 5000);
  });
  events.onerror = () => { if (events.readyState !== EventSource.CLOSED) setLive('reconnecting…'); };
  events.onmessage = (event) => {
    const message = JSON.parse(event.data);
    if (state.paused) {
      state.pending.push(message);
      setLive(pausedText(), 'paused');
    } else {
      addNew([message]);
    }
  };
}

function addNew(messages) {
  for (const message of messages) {
    tbody.insertBefore(row(message, true), tbody.firstChild);
    state.offset += 1;  // the page's reader counts from the newest end
  }
  while (tbody.children.length > kMaxRows) tbody.lastChild.remove();
  $('#empty').hidden = tbody.children.length > 0;
}

$('#pause').addEventListener('click', () => {
  state.paused = !state.paused;
  $('#pause').textContent = state.paused ? 'Resume' : 'Pause';
  if (state.paused) {
    setLive(pausedText(), 'paused');
  } else {
    addNew(state.pending);
    state.pending = [];
    setLive('live', 'on');
  }
});

// ---- the chart ----

let chart = null;
const kColors = ['#c62828', '#e0a000', '#1565c0', '#6a1b9a'];
const kChartLimit = 20000;

function isoTime(seconds) {
  return new Date(seconds * 1000).toISOString();
}

async function loadChart() {
  const generation = state.generation;
  let counts;
  try {
    counts = await getJson(`api/counts?${query({ limit: kChartLimit })}`);
  } catch (failure) {
    showError(failure.message);
    return;
  }
  if (generation !== state.generation) return;
  const caption = $('#chart-caption');
  if (!counts.counted) {
    caption.textContent = 'Chart: no messages match.';
    if (chart) { chart.destroy(); chart = null; }
    return;
  }
  const complete = counts.counted < counts.limit;
  caption.textContent = `${complete ? 'All' : 'The newest'} ${counts.counted} matching messages, ` +
    `${isoTime(counts.from)} to ${isoTime(counts.to)}, per ${counts.width} s. Drag across the chart to narrow the time range.`;
  // Stacked: each series is drawn as the sum of itself and those below it.
  const names = ['Error', 'Warning', 'Info', 'Audit'];
  const raw = counts.severities;  // Error, Warning, Info, Audit
  const stacked = raw.map((_, i) => counts.times.map((__, t) => raw.slice(i).reduce((sum, s) => sum + s[t], 0)));
  const bars = uPlot.paths.bars({ size: [0.9, Infinity], align: 1 });
  const options = {
    width: Math.max(400, $('#chart-box').clientWidth - 20), height: 160,
    cursor: { drag: { x: true, y: false } },
    scales: { x: { time: true, range: (u, min, max) => [min, max + counts.width] } },
    series: [{ label: 'UTC' }, ...names.map((name, i) => ({
      label: name, stroke: kColors[i], fill: kColors[i], paths: bars, points: { show: false },
      value: (u, v, s, idx) => (idx === null ? '' : raw[i][idx]),
    }))],
    hooks: {
      setSelect: [(u) => {
        if (u.select.width < 2) return;
        const from = u.posToVal(u.select.left, 'x');
        const before = u.posToVal(u.select.left + u.select.width, 'x');
        form.elements.from.value = isoTime(Math.floor(from));
        form.elements.before.value = isoTime(Math.ceil(before) + 1);
        apply();
      }],
    },
    tzDate: (ts) => uPlot.tzDate(new Date(ts * 1000), 'Etc/UTC'),
  };
  if (chart) chart.destroy();
  chart = new uPlot(options, [counts.times, ...stacked], $('#chart'));
}

// ---- exports ----

function updateExports() {
  $('#export-xml').href = `api/export.xml?${query()}`;
  $('#export-json').href = `api/export.jsonl?${query()}`;
}

// ---- putting it together ----

function apply(pushAddress = true) {
  state.generation += 1;
  state.cursor = null;
  state.offset = 0;
  state.pending = [];
  if (pushAddress) {
    const params = filterParams().toString();
    history.replaceState(null, '', params ? `?${params}` : location.pathname);
  }
  document.documentElement.lang = language();
  showError('');
  $('#details').hidden = true;
  updateExports();
  loadPage(true);
  loadChart();
  follow();
}

form.addEventListener('submit', (event) => { event.preventDefault(); apply(); });
form.addEventListener('change', (event) => { if (event.target.type === 'checkbox') apply(); });
$('#clear').addEventListener('click', () => { form.reset(); apply(); });
$('#lang').addEventListener('change', async () => { await loadGroups(); apply(); });
$('#more').addEventListener('click', () => loadPage(false));
$('#close-details').addEventListener('click', () => { $('#details').hidden = true; });

formFromAddress();
loadGroups().then(() => apply(false));
