// The RS232 terminal's browser side: calls the script pages in term/ one at a time (the server
// runs one script at a time and answers a second one with a "busy" page), shows received bytes
// as text and hex, echoes what was sent, keeps the user's choices in this browser, and keeps
// the port indicator apart from the message about the last action.
'use strict';
(function () {
  const $ = (id) => document.getElementById(id);
  const kRetries = 25;       // tries for one request while another script holds the server
  const kRetryMs = 120;
  const kPollMs = 400;
  const kPaneLimit = 20000;  // characters kept in each pane
  const kHistoryLimit = 50;  // sent lines remembered for Up and Down
  const kStoreKey = 'orvelle.terminal';  // localStorage: the choices and the sent lines
  const kRemembered = ['baud', 'data', 'parity', 'stop', 'flow', 'eol', 'hex', 'stamps',
                       'autopoll'];
  const kClosedHint = 'Port is closed \u2014 press Open';
  let queue = Promise.resolve();
  let polling = false;
  let current = null;  // the open port as the user wrote it, with its settings; null: closed
  const decoder = new TextDecoder('utf-8');

  const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

  // ---- the user's choices, kept in this browser

  function loadStore() {
    try {
      return JSON.parse(localStorage.getItem(kStoreKey)) || {};
    } catch (e) {
      return {};
    }
  }
  const store = loadStore();
  store.history = Array.isArray(store.history) ? store.history.slice(-kHistoryLimit) : [];

  function saveStore() {
    for (const id of kRemembered) {
      const field = $(id);
      store[id] = field.type === 'checkbox' ? field.checked : field.value;
    }
    store.port = portName();
    try {
      localStorage.setItem(kStoreKey, JSON.stringify(store));
    } catch (e) {
      // Private windows may refuse storage; the page works without it.
    }
  }

  function restoreChoices() {
    for (const id of kRemembered) {
      if (!(id in store)) continue;
      const field = $(id);
      if (field.type === 'checkbox') {
        field.checked = Boolean(store[id]);
      } else if (field.tagName !== 'SELECT' ||
                 Array.from(field.options).some((o) => o.value === String(store[id]))) {
        field.value = String(store[id]);
      }
    }
  }

  // ---- requests

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

  // ---- the indicator and the message line

  // "8 None 1" as the usual short form "8N1".
  function frame(data, parity, stop) {
    return data + parity.charAt(0).toUpperCase() + stop;
  }

  function showState() {
    const indicator = $('indicator');
    if (current) {
      indicator.className = 'open';
      indicator.textContent = 'Connected: ' + current.port + ' \u2014 ' + current.baud + ' ' +
        frame(current.data, current.parity, current.stop) + ', flow ' + current.flow;
    } else {
      indicator.className = 'closed';
      indicator.textContent = 'Closed \u2014 choose a port and press Open';
    }
    for (const id of ['send', 'close', 'flush']) {
      $(id).disabled = !current;
      $(id).title = current ? '' : kClosedHint;
    }
  }

  // The message about the last action; a success replaces an old failure, and `text` is only
  // ever set as text.
  function say(text, kind) {
    const message = $('message');
    message.textContent = text || '';
    message.className = kind || '';
  }

  // ---- the panes

  let atLineStart = true;

  function stamp() {
    const now = new Date();
    const two = (n) => String(n).padStart(2, '0');
    return '[' + two(now.getHours()) + ':' + two(now.getMinutes()) + ':' + two(now.getSeconds()) +
      '.' + String(now.getMilliseconds()).padStart(3, '0') + '] ';
  }

  function trim(node) {
    let excess = node.textContent.length - kPaneLimit;
    while (excess > 0 && node.firstChild) {
      excess -= node.firstChild.textContent.length;
      node.removeChild(node.firstChild);
    }
  }

  function add(pane, text, kind) {
    const node = $(pane);
    const span = document.createElement('span');
    if (kind) span.className = kind;
    span.textContent = text;
    node.appendChild(span);
    trim(node);
    if (!$('pause').checked) node.scrollTop = node.scrollHeight;
  }

  // Received text, with a time in front of each line when timestamps are on.
  function addReceived(text) {
    if (!$('stamps').checked) {
      add('rx-text', text);
    } else {
      const pieces = text.split(/(?<=\n)/);
      for (const piece of pieces) {
        add('rx-text', (atLineStart ? stamp() : '') + piece);
        atLineStart = piece.endsWith('\n');
      }
    }
    if (text.length) atLineStart = text.endsWith('\n');
  }

  function addSent(shown) {
    const head = (atLineStart ? '' : '\n') + ($('stamps').checked ? stamp() : '');
    add('rx-text', head + '> ' + shown + '\n', 'tx');
    atLineStart = true;
  }

  function hexToBytes(hex) {
    const pairs = hex.trim() === '' ? [] : hex.trim().split(/\s+/);
    return new Uint8Array(pairs.map((pair) => parseInt(pair, 16)));
  }

  function showBytes(hex) {
    add('rx-hex', hex + ' ');
    const text = decoder.decode(hexToBytes(hex), { stream: true });
    addReceived(text.replace(/\r\n/g, '\n').replace(/\r/g, '\n'));
  }

  // ---- the port

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
    const chosen = select.value;
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
    if (chosen === '' || Array.from(select.options).some((o) => o.value === chosen)) {
      select.value = chosen;
    }
  }

  // Shows `port` as chosen: its entry in the list when it has one (case aside, since the
  // server names open ports upper-cased), else the "other" field.
  function choosePort(port) {
    const same = Array.from($('port').options)
      .find((o) => o.value !== '' && o.value.toUpperCase() === port.toUpperCase());
    if (same) {
      $('port').value = same.value;
      return same.value;
    }
    $('port').value = '';
    $('custom').value = port;
    return port;
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

  function chosenSettings(port) {
    return { port: port, baud: $('baud').value, data: $('data').value,
             parity: $('parity').value, stop: $('stop').value, flow: $('flow').value };
  }

  async function openPort() {
    const port = portName();
    if (!port) { say('Choose a port, or type one under "Other port".', 'fail'); return; }
    saveStore();
    const wanted = chosenSettings(port);
    const before = current;
    const r = await call('open.ovs', wanted);
    if (r.word === 'OK') {
      current = wanted;
      store.opened = port;
      saveStore();
      showState();
      say('Opened ' + port + '.', 'ok');
      return;
    }
    // A failed open of another port has closed the one that was open: open it again.
    const why = await whyNotOpened(port);
    let text = 'Not opened: ' + port + ': ' + r.rest + (why ? ' \u2014 ' + why : '') + '.';
    current = null;
    if (before) {
      const again = await call('open.ovs', before);
      if (again.word === 'OK') {
        current = before;
        text += ' Still connected to ' + before.port + '.';
      } else {
        text += ' ' + before.port + ' was closed by this attempt and could not be opened again.';
      }
    }
    showState();
    say(text, 'fail');
  }

  async function closePort() {
    const r = await call('close.ovs');
    const was = current;
    current = null;
    showState();
    if (r.word === 'OK') {
      say(was ? 'Closed ' + was.port + '.' : 'Closed.', 'ok');
    } else {
      say('Close failed: ' + r.rest, 'fail');
    }
  }

  // The first piece that is not a hex byte, with its place, or null when all are.
  function firstBadHex(text) {
    const pieces = text.trim() === '' ? [] : text.trim().split(/ +/);
    const bad = pieces.findIndex((piece) => !/^[0-9A-Fa-f]{2}$/.test(piece));
    return bad < 0 ? null : { piece: pieces[bad], place: bad + 1, count: pieces.length };
  }

  let historyAt = -1;  // place in the history while Up and Down walk it; -1: not walking

  function remember(text) {
    if (text === '' || store.history[store.history.length - 1] === text) return;
    store.history.push(text);
    store.history = store.history.slice(-kHistoryLimit);
  }

  async function send() {
    if (!current) { say(kClosedHint, 'fail'); return; }
    const text = $('text').value;
    const hex = $('hex').checked;
    const bad = hex ? firstBadHex(text) : null;
    if (bad) {
      say('Not sent: "' + bad.piece + '" (piece ' + bad.place + ' of ' + bad.count +
          ') is not a hex byte; write bytes as pairs such as 4F 4B.', 'fail');
      return;
    }
    const r = await call('send.ovs', { text: text, eol: $('eol').value, hex: hex ? '1' : '0' });
    if (r.word !== 'OK') {
      const closed = /error sending data/.test(r.rest);
      if (closed) { current = null; showState(); }
      say(closed ? kClosedHint : 'Send failed: ' + r.rest, 'fail');
      return;
    }
    addSent(text);
    remember(text);
    historyAt = -1;
    saveStore();
    say('');
    $('text').select();
    await poll();
  }

  function walkHistory(event) {
    if (event.key !== 'ArrowUp' && event.key !== 'ArrowDown') return;
    const list = store.history;
    if (list.length === 0) return;
    event.preventDefault();
    if (event.key === 'ArrowUp') {
      historyAt = historyAt < 0 ? list.length - 1 : Math.max(0, historyAt - 1);
    } else if (historyAt >= 0) {
      historyAt = historyAt + 1 < list.length ? historyAt + 1 : -1;
    }
    $('text').value = historyAt < 0 ? '' : list[historyAt];
  }

  async function flushBuffer() {
    const r = await call('flush.ovs');
    if (r.word !== 'OK') { say('Flush failed: ' + r.rest, 'fail'); return; }
    const count = r.rest === '?' ? 'the bytes' : r.rest + (r.rest === '1' ? ' byte' : ' bytes');
    say('Flushed: ' + count + ' waiting in the receive buffer thrown away (the view is kept).', 'ok');
  }

  // ---- copy and save of what the view shows

  async function copyLog() {
    const text = $('rx-text').textContent;
    try {
      await navigator.clipboard.writeText(text);
    } catch (e) {
      // Pages served over plain HTTP from another machine have no clipboard API.
      const range = document.createRange();
      range.selectNodeContents($('rx-text'));
      const selection = window.getSelection();
      selection.removeAllRanges();
      selection.addRange(range);
      if (!document.execCommand('copy')) { say('Copy: press Ctrl+C to copy the selection.'); return; }
      selection.removeAllRanges();
    }
    say('Copied ' + text.length + ' characters.', 'ok');
  }

  function saveLog() {
    const blob = new Blob([$('rx-text').textContent], { type: 'text/plain' });
    const link = document.createElement('a');
    link.href = URL.createObjectURL(blob);
    link.download = 'orvelle-terminal-' + new Date().toISOString().replace(/[:.]/g, '-') + '.txt';
    link.click();
    setTimeout(() => URL.revokeObjectURL(link.href), 0);
    say('Saved the view as ' + link.download + '.', 'ok');
  }

  // ---- receiving

  // What arrives is shown from the live stream; while it is down the terminal polls instead.
  // With the stream up a poll now and then empties the buffer that scripts read (its bytes are
  // on the page already) and notices a port that closed, say by an unplugged adapter.
  const kStreamPollMs = 5000;  // with the stream up: how often the port is looked at
  let streaming = false;
  let lastPoll = 0;
  const stream = new EventSource('/.orvelle/events');
  stream.addEventListener('open', () => { streaming = true; });
  stream.addEventListener('error', () => { streaming = false; });
  stream.addEventListener('rx', (event) => {
    showBytes(JSON.parse(event.data).hex.replace(/(..)(?!$)/g, '$1 '));
  });

  async function poll() {
    const shown = !streaming;
    if (!shown && Date.now() - lastPoll < kStreamPollMs) return;
    if (polling) return;
    polling = true;
    lastPoll = Date.now();
    try {
      const r = await call('poll.ovs');
      if (r.word === 'CLOSED') {
        if (current) say('The port was closed.', 'fail');
        current = null;
        showState();
      } else if (!shown) {
        // The stream has shown these bytes already.
      } else if (r.word === 'UNREADABLE') {
        addReceived('\n[received text with ")" cannot be read by a script: discarded]\n');
      } else if (r.word === 'OK' && Number(r.rest) > 0) {
        showBytes(r.lines[0] || '');
      }
    } finally {
      polling = false;
    }
  }

  // ---- start

  // The port the server has open, as the user wrote it: the remembered spelling when it is the
  // same port, since the server gives names upper-cased.
  function adoptOpenPort() {
    const shown = $('open-port');
    if (!shown) return;
    const words = shown.textContent.trim().split(' ');
    const [name, baud, data, parity, stop, flow] = words.length >= 6
      ? [words.slice(0, words.length - 5).join(' ')].concat(words.slice(-5)) : [words[0]];
    const written = store.opened && store.opened.toUpperCase() === name.toUpperCase()
      ? store.opened : name;
    const port = choosePort(written);
    current = { port: port, baud: baud || '', data: data || '', parity: parity || '',
                stop: stop || '', flow: flow || '' };
    for (const [id, value] of [['baud', baud], ['data', data], ['parity', parity],
                               ['stop', stop], ['flow', flow]]) {
      if (value && Array.from($(id).options).some((o) => o.value === value)) $(id).value = value;
    }
  }

  restoreChoices();
  adoptOpenPort();
  if (!current && store.port) {
    // The demo device the page selected wins over a remembered port that is not in the list.
    const listed = Array.from($('port').options).some((o) => o.value === store.port);
    if (listed) $('port').value = store.port;
  }
  showState();

  $('open').addEventListener('click', openPort);
  $('close').addEventListener('click', closePort);
  $('sender').addEventListener('submit', send);
  $('text').addEventListener('keydown', walkHistory);
  $('poll').addEventListener('click', poll);
  $('flush').addEventListener('click', flushBuffer);
  $('clear').addEventListener('click', () => {
    $('rx-text').textContent = '';
    $('rx-hex').textContent = '';
    atLineStart = true;
    say('');
  });
  $('copy').addEventListener('click', copyLog);
  $('save').addEventListener('click', saveLog);
  $('port').addEventListener('change', () => { if (!$('port').value) $('custom').focus(); });
  // Typing a port means that port, whatever the list shows.
  $('custom').addEventListener('input', () => { $('port').value = ''; });
  for (const id of kRemembered) $(id).addEventListener('change', saveStore);
  setInterval(() => { if (current && $('autopoll').checked) poll(); }, kPollMs);
  listPorts().then(() => { if (current) choosePort(current.port); });
})();
