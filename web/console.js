// The live console: reads /.orvelle/events (the browser reconnects on its own, with the last id
// it saw), lists the records with time, direction, text and hex, and plots the numbers that the
// device's lines carry. Device text only ever reaches the page as textContent.
'use strict';
(function () {
  const $ = (id) => document.getElementById(id);
  const kMaxRows = 2000;          // rows kept in the list
  const kMaxPoints = 20000;       // points kept per series
  const kMaxSeries = 8;           // fields plotted per line
  const kMaxPartial = 4096;       // an unfinished line longer than this is dropped
  const kDrawMs = 250;            // the plot is redrawn at most this often
  const kColours = ['#1f77b4', '#d62728', '#2ca02c', '#ff7f0e', '#9467bd', '#8c564b', '#e377c2', '#17becf'];
  const kNumber = /[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?/g;

  const rows = [];                // every record kept, shown or not
  const series = new Map();       // name -> [[time ms, value], ...]
  let paused = false;
  let partial = '';               // received text after the last line end
  let latest = 0;                 // the newest record's time, the plot's right edge
  let drawPending = false;

  function hexPairs(hex) { return hex.replace(/(..)(?!$)/g, '$1 '); }
  function bytesOf(hex) {
    const out = new Uint8Array(hex.length / 2);
    for (let i = 0; i < out.length; i++) out[i] = parseInt(hex.substr(2 * i, 2), 16);
    return out;
  }
  const decoder = new TextDecoder('utf-8');
  function textOf(record) { return decoder.decode(bytesOf(record.hex)); }

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
    dir.textContent = row.kind.toUpperCase().padEnd(4) + row.text.replace(/\r\n|\n|\r/g, '↵');
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

  // "T=21.5 H=40" gives T and H; "12,40,7" gives #1..#3; a line without numbers nothing.
  function fieldsOf(line) {
    const named = [...line.matchAll(/([A-Za-z_][\w.]*)\s*[=:]\s*([-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?)/g)];
    if (named.length) return named.slice(0, kMaxSeries).map((m) => [m[1], Number(m[2])]);
    return (line.match(kNumber) || []).slice(0, kMaxSeries).map((v, i) => ['#' + (i + 1), Number(v)]);
  }

  function plotLine(line, time) {
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

  function windowMs() { return Number($('window').value) * 1000; }

  function scheduleDraw() {
    if (drawPending) return;
    drawPending = true;
    setTimeout(() => { drawPending = false; if (!paused) draw(); }, kDrawMs);
  }

  function draw() {
    const canvas = $('plot');
    const g = canvas.getContext('2d');
    const w = canvas.width, h = canvas.height, left = 60, bottom = 24, top = 10, right = 10;
    const from = latest - windowMs();
    let lo = Infinity, hi = -Infinity, count = 0;
    for (const points of series.values()) {
      for (const [t, v] of points) {
        if (t < from) continue;
        lo = Math.min(lo, v); hi = Math.max(hi, v); count++;
      }
    }
    $('plot-points').textContent = String(count);
    g.clearRect(0, 0, w, h);
    g.font = '12px sans-serif';
    g.strokeStyle = '#d5dbe5';
    g.fillStyle = '#5b6472';
    if (count === 0) { g.fillText('waiting for numbers…', left, h / 2); return; }
    if (hi === lo) { hi += 1; lo -= 1; }
    const x = (t) => left + (t - from) / windowMs() * (w - left - right);
    const y = (v) => top + (hi - v) / (hi - lo) * (h - top - bottom);
    for (let i = 0; i <= 4; i++) {
      const v = lo + (hi - lo) * i / 4;
      g.beginPath(); g.moveTo(left, y(v)); g.lineTo(w - right, y(v)); g.stroke();
      g.fillText(v.toPrecision(4), 4, y(v) + 4);
    }
    g.fillText('-' + $('window').selectedOptions[0].textContent, left, h - 6);
    g.fillText('now', w - right - 24, h - 6);
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
      item.style.color = c;
      item.textContent = name;
      legend.push(item);
    }
    g.lineWidth = 1;
    $('legend').replaceChildren(...legend);
  }

  function listen(kind) {
    return (event) => {
      let record;
      try { record = JSON.parse(event.data); } catch (e) { return; }
      const time = Date.parse(record.t);
      if (Number.isFinite(time)) latest = Math.max(latest, time);
      const text = kind === 'log' ? record.text : textOf(record);
      add({ kind: kind, time: record.t || '', text: text, hex: kind === 'log' ? '' : record.hex || '' });
      if (kind === 'rx') received(record, time);
    };
  }

  const events = new EventSource('/.orvelle/events');
  for (const kind of ['rx', 'tx', 'ev', 'log']) events.addEventListener(kind, listen(kind));
  events.addEventListener('open', () => { $('conn').textContent = 'live'; $('conn').className = 'dir-rx'; });
  events.addEventListener('error', () => { $('conn').textContent = 'reconnecting…'; $('conn').className = 'dir-ev'; });

  $('pause').addEventListener('click', () => {
    paused = !paused;
    $('pause').textContent = paused ? 'Resume' : 'Pause';
    if (!paused) { render(); draw(); }
  });
  for (const id of ['filter', 'show-log', 'show-hex']) $(id).addEventListener('input', render);
  $('window').addEventListener('change', draw);
  $('clear').addEventListener('click', () => { rows.length = 0; series.clear(); render(); draw(); });
  draw();
})();
