// The port's live records (/.orvelle/events) for the terminal and the console. The browser
// reconnects a dropped stream by itself, but a refusal (503 while every viewer seat is taken)
// ends an EventSource for good: then a new one is made after a pause that grows with each
// failure. A new stream replays what the server holds, so records already handed on are skipped.
'use strict';
window.orvelleLive = function (kinds, onRecord, onState) {
  const kFirstRetryMs = 1000;   // the first pause after a refusal
  const kLongestRetryMs = 30000; // pauses double up to this
  const url = new URL('/.orvelle/events', location.origin).href;  // never with user:pass@
  let failures = 0;
  let lastSeq = 0;   // the newest record handed on, by number and time: a restarted server
  let lastTime = '';  // numbers its records from 1 again, with later times
  let source = null;

  function seen(record) {
    return record.seq > 0 && record.seq <= lastSeq && String(record.t) <= lastTime;
  }

  function deliver(kind, event) {
    let record;
    try {
      record = JSON.parse(event.data);
    } catch (e) {
      return;
    }
    if (seen(record)) return;
    if (record.seq > 0) {
      lastSeq = record.seq;
      lastTime = String(record.t);
    }
    onRecord(kind, record);
  }

  function connect() {
    source = new EventSource(url);
    for (const kind of kinds) source.addEventListener(kind, (event) => deliver(kind, event));
    source.addEventListener('open', () => {
      failures = 0;
      onState('live', 0);
    });
    source.addEventListener('error', () => {
      if (source.readyState !== EventSource.CLOSED) {
        onState('reconnecting', 0);  // the browser tries again by itself
        return;
      }
      const pause = Math.min(kLongestRetryMs, kFirstRetryMs * 2 ** failures++);
      const jittered = Math.round(pause * (0.8 + 0.4 * Math.random()));
      onState('retrying', jittered);
      setTimeout(connect, jittered);
    });
  }

  onState('connecting', 0);
  connect();
};
