// The RS232 terminal's browser side: calls the script pages in term/ one at a time (the server
// runs one script at a time and answers a second one with a "busy" page), polls for received
// bytes, and shows them as text and as the hex pairs that poll.ovs makes with tohex.
'use strict';
(function () {
  const $ = (id) => document.getElementById(id);
  const kRetries = 25;       // tries for one request while another script holds the server
  const kRetryMs = 120;
  const kPollMs = 400;
  const kPaneLimit = 20000;  // characters kept in each pane
  let queue = Promise.resolve();
  let open = $('status').classList.contains('open');
  let polling = false;
  const decoder = new TextDecoder('utf-8');

  const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

  // One script page request; resolves to its first line split into a word and the rest, plus
  // the remaining lines.
  async function callNow(page, params) {
    const url = 'term/' + page + '?' + new URLSearchParams(params).toString();
    for (let attempt = 0; attempt < kRetries; attempt++) {
      const response = await fetch(url, { cache: 'no-store' });
      const body = await response.text();
      if (body.includes('Another script is running')) { await sleep(kRetryMs); continue; }
      const lines = body.split('\r\n');
      const first = lines[0] || '';
      const blank = first.indexOf(' ');
      return { word: blank < 0 ? first : first.slice(0, blank),
               rest: blank < 0 ? '' : first.slice(blank + 1), lines: lines.slice(1) };
    }
    return { word: 'ERR', rest: 'the server stayed busy with another script', lines: [] };
  }

  // Requests go out one after another, never two at once.
  function call(page, params) {
    const result = queue.then(() => callNow(page, params || {}));
    queue = result.catch(() => {});
    return result;
  }

  function setStatus(text, kind) {
    const status = $('status');
    status.textContent = text;
    status.className = kind || '';
  }

  function append(pane, text) {
    const node = $(pane);
    node.textContent = (node.textContent + text).slice(-kPaneLimit);
    node.scrollTop = node.scrollHeight;
  }

  function hexToBytes(hex) {
    const pairs = hex.trim() === '' ? [] : hex.trim().split(' ');
    return new Uint8Array(pairs.map((pair) => parseInt(pair, 16)));
  }

  function portName() {
    return $('port').value || $('custom').value.trim();
  }

  // The server's port list (/.orvelle/ports), or null when it does not answer.
  async function fetchPorts() {
    try {
      const response = await fetch('/.orvelle/ports', { cache: 'no-store' });
      return response.ok ? await response.json() : null;
    } catch (e) {
      return null;
    }
  }

  // "Maker Product — /dev/serial/by-id/... (ttyUSB0)", or just the path.
  function portLabel(p) {
    const maker = [p.manufacturer, p.product].filter((t) => t).join(' ');
    const name = p.stable_names.length ? p.stable_names[0] + ' (' + p.name + ')' : p.path;
    return (maker ? maker + ' \u2014 ' : '') + name + (p.open ? ' [open]' : '');
  }

  // Replaces the script's list with the server's, stable names first; the demo device (selected
  // by the page) and "other:" stay. Without an answer the script's list stays as it is.
  async function listPorts() {
    const list = await fetchPorts();
    if (!list || !Array.isArray(list.ports)) return;
    const select = $('port');
    for (const option of Array.from(select.options)) {
      if (!option.defaultSelected && option.value !== '') option.remove();
    }
    const other = Array.from(select.options).find((option) => option.value === '');
    const stable = (p) => (p.stable_names.length > 0 ? 1 : 0);
    const ports = list.ports.slice().sort((a, b) => stable(b) - stable(a));
    for (const p of ports) {
      const option = document.createElement('option');
      option.value = p.stable_names.length ? p.stable_names[0] : p.path;
      option.textContent = portLabel(p);
      if (p.reason) option.title = p.reason;
      select.insertBefore(option, other || null);
    }
  }

  // Why the server could not open `port`: its last failure when that was this port, else what
  // the list says of it.
  async function whyNotOpened(port) {
    const list = await fetchPorts();
    if (!list) return '';
    const wanted = port.toUpperCase();
    const failure = list.last_open_failure;
    if (failure && failure.port === wanted) return failure.reason;
    const named = (p) => [p.path].concat(p.stable_names).some((n) => n.toUpperCase() === wanted);
    const found = (list.ports || []).find(named);
    return found ? found.reason : '';
  }

  async function openPort() {
    const port = portName();
    if (!port) { setStatus('Choose a port, or type one under "Other port".', 'fail'); return; }
    const r = await call('open.ovs', { port: port, baud: $('baud').value, data: $('data').value,
      parity: $('parity').value, stop: $('stop').value, flow: $('flow').value });
    open = r.word === 'OK';
    if (open) { setStatus('Open: ' + r.rest, 'open'); return; }
    const why = await whyNotOpened(port);
    setStatus('Not opened: ' + r.rest + (why ? ' \u2014 ' + why : ''), 'fail');
  }

  async function closePort() {
    const r = await call('close.ovs');
    open = false;
    setStatus(r.word === 'OK' ? 'Closed.' : 'Close failed: ' + r.rest, r.word === 'OK' ? '' : 'fail');
  }

  async function send() {
    const r = await call('send.ovs', { text: $('text').value, eol: $('eol').value,
      hex: $('hex').checked ? '1' : '0' });
    if (r.word !== 'OK') { setStatus('Send failed: ' + r.rest, 'fail'); return; }
    $('text').select();
    await poll();
  }

  // What arrives is shown from the live stream; while it is down the terminal polls instead.
  // With the stream up the buffer that scripts read is only emptied now and then.
  const kFlushMs = 5000;
  let streaming = false;
  let lastFlush = 0;
  const stream = new EventSource('/.orvelle/events');
  stream.addEventListener('open', () => { streaming = true; });
  stream.addEventListener('error', () => { streaming = false; });
  stream.addEventListener('rx', (event) => {
    const hex = JSON.parse(event.data).hex.replace(/(..)(?!$)/g, '$1 ');
    append('rx-hex', hex + ' ');
    const text = decoder.decode(hexToBytes(hex), { stream: true });
    append('rx-text', text.replace(/\r\n/g, '\n').replace(/\r/g, '\n'));
  });

  async function poll() {
    if (streaming) {
      if (Date.now() - lastFlush >= kFlushMs) { lastFlush = Date.now(); await call('flush.ovs'); }
      return;
    }
    if (polling) return;
    polling = true;
    try {
      const r = await call('poll.ovs');
      if (r.word === 'CLOSED') {
        if (open) setStatus('The port is closed.', '');
        open = false;
      } else if (r.word === 'UNREADABLE') {
        append('rx-text', '\n[received text with ")" cannot be read by a script: discarded]\n');
      } else if (r.word === 'OK' && Number(r.rest) > 0) {
        const hex = r.lines[0] || '';
        append('rx-hex', hex + ' ');
        const text = decoder.decode(hexToBytes(hex), { stream: true });
        append('rx-text', text.replace(/\r\n/g, '\n').replace(/\r/g, '\n'));
      }
    } finally {
      polling = false;
    }
  }

  $('open').addEventListener('click', openPort);
  $('close').addEventListener('click', closePort);
  $('sender').addEventListener('submit', send);
  $('poll').addEventListener('click', poll);
  $('flush').addEventListener('click', () => call('flush.ovs'));
  $('clear').addEventListener('click', () => { $('rx-text').textContent = ''; $('rx-hex').textContent = ''; });
  $('port').addEventListener('change', () => { if (!$('port').value) $('custom').focus(); });
  setInterval(() => { if (open && $('autopoll').checked) poll(); }, kPollMs);
  listPorts();
})();
