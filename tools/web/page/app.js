// travik live page: one WebSocket to the web process carries images
// (binary), log lines, state and errors (JSON text) down, and commands up.
// The message layout is described in tools/web/protocol.h.
'use strict';

(function () {
  const HEADER = 40;
  const ENCODINGS = { 0: 'opaque', 1: 'JPEG', 2: 'PNG' };
  const MIME = { 1: 'image/jpeg', 2: 'image/png' };
  const MAX_LOG_LINES = 2000;
  const HOUR_US = 3600e6;

  // What tests and the curious can read from the console.
  const stats = {
    frames: [0, 0, 0, 0],      // images drawn per channel
    sequence: [0, 0, 0, 0],    // last sequence number drawn
    latencyUs: [],             // device stage -> drawn, recent samples
    logLines: 0,
    droppedLogLines: 0,
    errors: [],
    page: 'connecting',
    device: 'connecting',
  };
  window.travik = stats;

  const $ = (sel) => document.querySelector(sel);
  const channels = [0, 1, 2, 3].map((c) => {
    const fig = document.querySelector(`.channel[data-channel="${c}"]`);
    return {
      fig,
      canvas: fig.querySelector('canvas'),
      caption: fig.querySelector('figcaption'),
      busy: false,       // a decode is running
      next: null,        // the newest message waiting for it (latest wins)
      times: [],         // draw times of the last second, for frames/s
      latencyMs: null,
      header: null,
    };
  });
  channels.forEach((ch, c) => { ch.caption.textContent = `ch ${c} · waiting for images`; ch.fig.classList.add('idle'); });

  // ---- connection to the web process ----
  let ws = null;
  let sent = null;  // the state last sent to the device, as the server reports it

  function setLink(id, text, cls) {
    const el = $(id);
    el.querySelector('b').textContent = text;
    el.classList.remove('up', 'down', 'wait');
    el.classList.add(cls);
  }

  function connect() {
    // wss from an https page; the token's cookie goes with the upgrade.
    ws = new WebSocket(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/ws`);
    ws.binaryType = 'arraybuffer';
    setLink('#link-page', 'connecting', 'wait');
    ws.onopen = () => { stats.page = 'connected'; setLink('#link-page', 'connected', 'up'); };
    ws.onclose = () => {
      stats.page = 'disconnected';
      setLink('#link-page', 'disconnected, retrying', 'down');
      setLink('#link-device', 'unknown', 'wait');
      setTimeout(connect, 1000);
    };
    ws.onmessage = (ev) => {
      if (typeof ev.data === 'string') onText(ev.data);
      else onImage(ev.data);
    };
  }

  function send(command) {
    if (!ws || ws.readyState !== WebSocket.OPEN) return showMessage('not connected to the web process');
    ws.send(JSON.stringify(Object.assign({ type: 'command' }, command)));
  }

  function showMessage(text) {
    $('#message').textContent = text;
  }

  // ---- text messages ----
  function onText(text) {
    let msg;
    try { msg = JSON.parse(text); } catch (e) { return; }
    if (msg.type === 'logs') onLogs(msg);
    else if (msg.type === 'state') onState(msg);
    else if (msg.type === 'error') { stats.errors.push(msg.message); showMessage(msg.message); }
    else if (msg.type === 'hello') document.title = `travik live · ${msg.device}`;
    else if (window.travikOnMessage) window.travikOnMessage(msg, send);  // page extensions (nats.js)
  }

  function onState(msg) {
    stats.device = msg.link;
    const label = msg.link === 'connected' ? `connected ${msg.device}`
      : msg.link === 'lost' ? `lost ${msg.device}, retrying` : `connecting ${msg.device}`;
    setLink('#link-device', label, msg.link === 'connected' ? 'up' : msg.link === 'lost' ? 'down' : 'wait');
    sent = msg.sent;
    stats.sent = sent;
    setToggle($('#ctl-logs'), sent.logs);
    setToggle($('#ctl-images'), sent.images);
    document.querySelectorAll('button.ch').forEach((b) => setToggle(b, sent.channels[+b.dataset.channel]));
    const input = $('#ctl-interval');
    if (document.activeElement !== input) input.value = sent.interval;
    showMessage('');
  }

  function setToggle(button, on) {
    button.classList.toggle('on', !!on);
    button.classList.toggle('off', !on);
  }

  // ---- controls ----
  $('#ctl-logs').onclick = () => sent && send({ logs: !sent.logs });
  $('#ctl-images').onclick = () => sent && send({ images: !sent.images });
  document.querySelectorAll('button.ch').forEach((b) => {
    b.onclick = () => sent && send({ channel: +b.dataset.channel, on: !sent.channels[+b.dataset.channel] });
  });
  function sendInterval() {
    const value = Number($('#ctl-interval').value);
    if (!Number.isInteger(value) || value < 1 || value > 3600000) return showMessage('interval: 1..3600000 ms');
    send({ interval: value });
  }
  $('#ctl-interval-send').onclick = sendInterval;
  $('#ctl-interval').addEventListener('keydown', (e) => { if (e.key === 'Enter') sendInterval(); });

  // ---- log pane ----
  const logEl = $('#log');
  let paused = false;
  let held = [];  // lines that arrived while paused
  let filter = '';

  function onLogs(msg) {
    stats.logLines += msg.lines.length;
    if (msg.dropped > stats.droppedLogLines) {
      const lost = msg.dropped - stats.droppedLogLines;
      stats.droppedLogLines = msg.dropped;
      msg.lines.unshift(`[${lost} line(s) dropped: this tab fell behind]`);
    }
    if (paused) {
      held = held.concat(msg.lines).slice(-MAX_LOG_LINES);
    } else {
      appendLines(msg.lines);
    }
    updateLogCount();
  }

  function appendLines(lines) {
    const atBottom = logEl.scrollHeight - logEl.scrollTop - logEl.clientHeight < 30;
    const frag = document.createDocumentFragment();
    for (const line of lines.slice(-MAX_LOG_LINES)) {
      const div = document.createElement('div');
      div.textContent = line;
      if (line.startsWith('[') && line.includes('dropped')) div.className = 'dropped';
      if (filter && !line.toLowerCase().includes(filter)) div.classList.add('hidden');
      frag.appendChild(div);
    }
    logEl.appendChild(frag);
    while (logEl.childElementCount > MAX_LOG_LINES) logEl.firstElementChild.remove();
    if (atBottom) logEl.scrollTop = logEl.scrollHeight;
  }

  function updateLogCount() {
    const dropped = stats.droppedLogLines ? `, ${stats.droppedLogLines} dropped` : '';
    const pausedText = paused ? `, ${held.length} held` : '';
    $('#log-count').textContent = `${stats.logLines} lines${dropped}${pausedText}`;
  }

  $('#log-pause').onclick = () => {
    paused = !paused;
    $('#log-pause').textContent = paused ? 'resume' : 'pause';
    $('#log-pause').classList.toggle('on', paused);
    if (!paused) { appendLines(held); held = []; }
    updateLogCount();
  };
  $('#log-filter').addEventListener('input', (e) => {
    filter = e.target.value.toLowerCase();
    for (const div of logEl.children) {
      div.classList.toggle('hidden', !!filter && !div.textContent.toLowerCase().includes(filter));
    }
  });

  // ---- images ----
  function readHeader(buffer) {
    if (buffer.byteLength < HEADER) return null;
    const v = new DataView(buffer);
    if (v.getUint8(0) !== 1) return null;
    return {
      channel: v.getUint8(1) & 3,
      encoding: v.getUint8(2),
      sequence: v.getUint32(4, true),
      width: v.getUint32(8, true),
      height: v.getUint32(12, true),
      attr2: v.getInt32(16, true),
      rawLength: v.getUint32(20, true),
      tag: v.getUint32(24, true) + v.getUint32(28, true) * 4294967296,
      encodeUs: v.getUint32(32, true),
    };
  }

  function onImage(buffer) {
    const h = readHeader(buffer);
    if (!h) return;
    const ch = channels[h.channel];
    if (ch.busy) { ch.next = buffer; return; }  // latest wins while a decode runs
    draw(ch, h, buffer);
  }

  async function draw(ch, h, buffer) {
    ch.busy = true;
    try {
      if (h.encoding === 1 || h.encoding === 2) {
        const blob = new Blob([new Uint8Array(buffer, HEADER)], { type: MIME[h.encoding] });
        const bitmap = await createImageBitmap(blob);
        if (ch.canvas.width !== bitmap.width || ch.canvas.height !== bitmap.height) {
          ch.canvas.width = bitmap.width;
          ch.canvas.height = bitmap.height;
        }
        ch.canvas.getContext('2d').drawImage(bitmap, 0, 0);
        bitmap.close();
      } else {
        drawPlaceholder(ch.canvas, h);
      }
      drawn(ch, h);
    } catch (e) {
      stats.errors.push(`ch ${h.channel}: ${e}`);
    }
    ch.busy = false;
    if (ch.next) {
      const next = ch.next;
      ch.next = null;
      onImage(next);
    }
  }

  function drawPlaceholder(canvas, h) {
    if (canvas.width !== 640 || canvas.height !== 360) { canvas.width = 640; canvas.height = 360; }
    const g = canvas.getContext('2d');
    g.fillStyle = '#23272f';
    g.fillRect(0, 0, canvas.width, canvas.height);
    g.fillStyle = '#8a93a3';
    g.font = '28px system-ui, sans-serif';
    g.textAlign = 'center';
    g.fillText(`opaque data (attr2 ${h.attr2})`, canvas.width / 2, canvas.height / 2 - 10);
    g.fillText(`${h.rawLength.toLocaleString()} bytes`, canvas.width / 2, canvas.height / 2 + 30);
  }

  function drawn(ch, h) {
    const now = performance.now();
    const c = h.channel;
    stats.frames[c] += 1;
    stats.sequence[c] = h.sequence;
    ch.times.push(now);
    while (ch.times.length && now - ch.times[0] > 1000) ch.times.shift();
    const latencyUs = Date.now() * 1000 - h.tag;
    ch.latencyMs = null;
    if (h.tag > 0 && latencyUs > -60e6 && latencyUs < HOUR_US) {
      ch.latencyMs = latencyUs / 1000;
      stats.latencyUs.push(Math.round(latencyUs));
      if (stats.latencyUs.length > 10000) stats.latencyUs.splice(0, 5000);
    }
    ch.header = h;
    ch.fig.classList.remove('idle');
    caption(ch, c);
  }

  function caption(ch, c) {
    const h = ch.header;
    if (!h) return;
    const format = h.encoding === 0 ? `opaque attr2 ${h.attr2}`
      : `${h.attr2 === 1 ? 'gray' : 'RGB'} ${ENCODINGS[h.encoding]}`;
    const size = h.encoding === 0 ? `${h.rawLength} bytes` : `${h.width}×${h.height}`;
    const now = performance.now();
    const fps = ch.times.filter((t) => now - t <= 1000).length;
    const latency = ch.latencyMs === null ? '–' : `${ch.latencyMs.toFixed(1)} ms`;
    ch.caption.textContent = `ch ${c} · ${size} · ${format} · ${fps} fps · #${h.sequence} · latency ${latency}`;
  }

  // Frames/s falls to 0 when a channel stops: refresh the captions.
  setInterval(() => channels.forEach(caption), 500);

  connect();
})();
