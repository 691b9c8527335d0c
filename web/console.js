// The live console: reads the port's records through live.js (which retries when the server
// turns it away), lists them with time, direction, text and hex, and plots the numbers that the
// device's lines carry. Device text only ever reaches the page as textContent.
'use strict';
(function () {
  const $ = (id) => document.getElementById(id);
  const kMaxRows = 2000;          // rows kept in the list
  const kMaxPoints = 20000;       // points kept per series
  const kMaxSeries = 8;           // fields plotted per line
  const kMaxPartial = 4096;       // an unfinished line longer than this is dropped
  const kDrawMs = 250;            // the plot is redrawn at most this often
  const kTicks = 5;               // about this many value labels on the plot's axis
  // Dark enough to read on white as lines and as legend swatches.
  const kColours = ['#1f5fbf', '#b42318', '#1d7a3a', '#a34d00',
                    '#6b3fa0', '#7a4a3a', '#b0277a', '#00707a'];
  const kMaxPlotLine = 256;       // longer lines are text, not readings; and regexes stay cheap
  // One way only to read a number, so a hostile line cannot make the match backtrack long.
  const kNumberText = '[-+]?(?:\\d+(?:\\.\\d*)?|\\.\\d+)(?:[eE][-+]?\\d+)?';
  const kNamed = new RegExp('([A-Za-z_][\\w.]*)\\s*[=:]\\s*(' + kNumberText + ')', 'g');
  const kNumberOnly = new RegExp('^' + kNumberText + '$');

  const rows = [];                // every record kept, shown or not
  const series = new Map();       // name -> [[time ms, value], ...]
  let paused = false;
  let partial = '';               // received text after the last line end
  let latest = 0;                 // the newest record's time, the plot's right edge
  let drawPending = false;
  let plottedPort = '';           // the port whose numbers the series hold

  function hexPairs(hex) { return hex.replace(/(..)(?!$)/g, '$1 '); }
  function bytesOf(hex) {
    const out = new Uint8Array(hex.length / 2);
    for (let i = 0; i < out.length; i++) out[i] = parseInt(hex.substr(2 * i, 2), 16);
    return out;
  }
  const decoder = new TextDecoder('utf-8');
  function textOf(record) { return decoder.decode(bytesOf(record.hex)); }

  // Line ends as ↵, the other control bytes as <01>: nothing the device sends is invisible.
  function readable(text) {
    return text.replace(/\r\n|\n|\r/g, '↵').replace(/[\x00-\x1F\x7F-\x9F]/g,
      (c) => '<' + c.charCodeAt(0).toString(16).toUpperCase().padStart(2, '0') + '>');
  }

  function shown(row) {
    if (row.kind === 'log' && !$('show-log').checked) return false;
    const filter = $('filter').value.toLowerCase();
    return !filter || row.text.toLowerCase().includes(filter) || row.hex.toLowerCase().includes(filter);
  }

  function rowNode(row) {
    const node = document.createElement('div');
    const time = document.createElement('span');
    time.className = 't';
    time.textContent = row.time.slice(11, 26) + ' ';
    const dir = document.createElement('span');
    dir.className = 'dir-' + row.kind;
    dir.textContent = row.kind.toUpperCase().padEnd(4) + readable(row.text);
    node.append(time, dir);
    if ($('show-hex').checked && row.hex) {
      const hex = document.createElement('span');
      hex.className = 'h';
      hex.textContent = '  ' + hexPairs(row.hex);
      node.append(hex);
    }
    return node;
  }

  function render() {
    const pane = $('traffic');
    pane.replaceChildren(...rows.filter(shown).slice(-500).map(rowNode));
    pane.scrollTop = pane.scrollHeight;
  }

  function add(row) {
    rows.push(row);
    if (rows.length > kMaxRows) rows.splice(0, rows.length - kMaxRows);
    if (paused || !shown(row)) return;
    const pane = $('traffic');
    pane.append(rowNode(row));
    while (pane.childElementCount > 500) pane.firstChild.remove();
    pane.scrollTop = pane.scrollHeight;
  }

  // "T=21.5 H=40" gives T and H; "12,40,7" gives #1..#3; a line with anything else besides its
  // numbers (an identity such as "MAKER,MODEL,0,1.0") gives nothing.
  function fieldsOf(line) {
    const named = [...line.matchAll(kNamed)];
    if (named.length) return named.slice(0, kMaxSeries).map((m) => [m[1], Number(m[2])]);
    // A line of numbers only, between blanks, commas, semicolons or tabs.
    const numbers = line.trim().split(/[\s,;]+/);
    if (numbers[0] === '' || !numbers.every((n) => kNumberOnly.test(n))) return [];
    return numbers.slice(0, kMaxSeries).map((v, i) => ['#' + (i + 1), Number(v)]);
  }

  function plotLine(line, time) {
    if (line.length > kMaxPlotLine) return;
    for (const [name, value] of fieldsOf(line)) {
      if (!Number.isFinite(value)) continue;
      if (!series.has(name)) {
        if (series.size >= kMaxSeries) continue;
        series.set(name, []);
      }
      const points = series.get(name);
      points.push([time, value]);
      if (points.length > kMaxPoints) points.splice(0, points.length - kMaxPoints);
    }
  }

  function received(record, time) {
    partial += textOf(record);
    const lines = partial.split(/\r\n|\r|\n/);
    partial = lines.pop();
    if (partial.length > kMaxPartial) partial = '';
    for (const line of lines) plotLine(line, time);
    scheduleDraw();
  }

  // Another port's numbers are other quantities: its series start afresh.
  function portEvent(text) {
    if (!text.startsWith('open ')) return;
    const port = text.slice(5);
    if (plottedPort !== '' && port.toUpperCase() !== plottedPort.toUpperCase()) {
      series.clear();
      partial = '';
      scheduleDraw();
    }
    plottedPort = port;
  }

  function windowMs() { return Number($('window').value) * 1000; }

  function scheduleDraw() {
    if (drawPending) return;
    drawPending = true;
    setTimeout(() => { drawPending = false; if (!paused) draw(); }, kDrawMs);
  }

  // Axis labels in round steps (1, 2 or 5 times a power of ten) that cover lo..hi.
  function roundTicks(lo, hi) {
    const rough = (hi - lo) / kTicks;
    const power = Math.pow(10, Math.floor(Math.log10(rough)));
    const step = [1, 2, 5, 10].map((m) => m * power).find((s) => s >= rough) || 10 * power;
    const first = Math.floor(lo / step) * step;
    const last = Math.ceil(hi / step) * step;
    const decimals = Math.max(0, -Math.floor(Math.log10(step)));
    const ticks = [];
    for (let i = 0; first + i * step <= last + step / 2; i++) ticks.push(first + i * step);
    return { ticks: ticks, lo: first, hi: last, text: (v) => v.toFixed(decimals) };
  }

  // The canvas is drawn at the size it is shown, so its text stays 12 px on a phone too.
  function fitCanvas(canvas) {
    const ratio = window.devicePixelRatio || 1;
    const w = Math.max(1, Math.round(canvas.clientWidth * ratio));
    const h = Math.max(1, Math.round(canvas.clientHeight * ratio));
    if (canvas.width !== w || canvas.height !== h) { canvas.width = w; canvas.height = h; }
    const g = canvas.getContext('2d');
    g.setTransform(ratio, 0, 0, ratio, 0, 0);
    return { g: g, w: canvas.clientWidth, h: canvas.clientHeight };
  }

  function visibleRange(from) {
    let lo = Infinity, hi = -Infinity, count = 0;
    for (const points of series.values()) {
      for (const [t, v] of points) {
        if (t < from) continue;
        lo = Math.min(lo, v); hi = Math.max(hi, v); count++;
      }
    }
    if (hi === lo) { hi += 1; lo -= 1; }
    return { lo: lo, hi: hi, count: count };
  }

  function draw() {
    const { g, w, h } = fitCanvas($('plot'));
    const from = latest - windowMs();
    const range = visibleRange(from);
    $('plot-points').textContent = String(range.count);
    g.clearRect(0, 0, w, h);
    g.font = '12px system-ui, sans-serif';
    g.fillStyle = '#5b6475';
    if (range.count === 0) { g.fillText('waiting for numbers…', 12, h / 2); return; }
    const axis = roundTicks(range.lo, range.hi);
    const left = 8 + Math.max(...axis.ticks.map((v) => g.measureText(axis.text(v)).width));
    const bottom = 22, top = 10, right = 10;
    const x = (t) => left + (t - from) / windowMs() * (w - left - right);
    const y = (v) => top + (axis.hi - v) / (axis.hi - axis.lo) * (h - top - bottom);
    g.strokeStyle = '#d6dbe4';
    for (const v of axis.ticks) {
      g.beginPath(); g.moveTo(left, y(v)); g.lineTo(w - right, y(v)); g.stroke();
      g.fillText(axis.text(v), 4, y(v) + 4);
    }
    g.fillText('-' + $('window').selectedOptions[0].textContent, left, h - 6);
    g.fillText('now', w - right - g.measureText('now').width, h - 6);
    const legend = [];
    let colour = 0;
    for (const [name, points] of series) {
      const c = kColours[colour++ % kColours.length];
      g.strokeStyle = c;
      g.lineWidth = 1.5;
      g.beginPath();
      let started = false;
      for (const [t, v] of points) {
        if (t < from) continue;
        started ? g.lineTo(x(t), y(v)) : g.moveTo(x(t), y(v));
        started = true;
      }
      g.stroke();
      const item = document.createElement('span');
      item.style.setProperty('--swatch', c);
      item.textContent = name;
      legend.push(item);
    }
    g.lineWidth = 1;
    $('legend').replaceChildren(...legend);
  }

  function onRecord(kind, record) {
    const time = Date.parse(record.t);
    if (Number.isFinite(time)) latest = Math.max(latest, time);
    const text = kind === 'log' ? record.text : textOf(record);
    add({ kind: kind, time: record.t || '', text: text, hex: kind === 'log' ? '' : record.hex || '' });
    if (kind === 'rx') received(record, time);
    if (kind === 'ev') portEvent(record.text);
  }

  const kStateText = { connecting: 'connecting…', live: 'live', reconnecting: 'reconnecting…' };
  function onState(state, retryMs) {
    $('conn').className = 'link-' + state;
    $('conn').textContent = kStateText[state] ||
      'not connected (viewers full or server away); retrying in ' + Math.ceil(retryMs / 1000) +
      ' s';
  }

  window.orvelleLive(['rx', 'tx', 'ev', 'log'], onRecord, onState);

  $('pause').addEventListener('click', () => {
    paused = !paused;
    $('pause').textContent = paused ? 'Resume' : 'Pause';
    if (!paused) { render(); draw(); }
  });
  for (const id of ['filter', 'show-log', 'show-hex']) $(id).addEventListener('input', render);
  $('window').addEventListener('change', draw);
  $('clear').addEventListener('click', () => { rows.length = 0; series.clear(); render(); draw(); });
  window.addEventListener('resize', scheduleDraw);
  draw();
})();
