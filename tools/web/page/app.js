// travik live page: one WebSocket to the web process carries images
// (binary), log lines, state and errors (JSON text) down, and commands up.
// The message layout is described in tools/web/protocol.h.
'use strict';

(function () {
  const HEADER = 40;
  const ENCODINGS = { 0: 'opaque', 1: 'JPEG', 2: 'PNG', 3: 'H.264' };
  const H264 = 3;
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
    videoFrames: [0, 0, 0, 0], // H.264 frames decoded (WebCodecs) and drawn per channel
    video: { offered: 'none', supported: null, codecs: ['', '', '', ''] },
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
      wantVideo: false,  // the user's choice (or --video h264)
      video: false,      // asked of the server on this connection
      decoder: null,     // WebCodecs VideoDecoder while video is on
      codec: '',
      pending: new Map(),  // chunk timestamp -> header, until its frame comes out
      bytes: [],         // [time, bytes] of the last second's units, for kb/s
      button: null,
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
    channels.forEach((ch) => stopVideo(ch));  // a new connection starts with JPEG
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
    else if (msg.type === 'hello') onHello(msg);
    else if (window.travikOnMessage) window.travikOnMessage(msg, send);  // page extensions (nats.js)
  }

  let helloSeen = false;
  function onHello(msg) {
    document.title = `travik live · ${msg.device}`;
    stats.video.offered = msg.video || 'none';
    channels.forEach((ch) => { if (ch.button) ch.button.hidden = stats.video.offered === 'none'; });
    if (!helloSeen && msg.video === 'h264') channels.forEach((ch) => { ch.wantVideo = true; });
    helloSeen = true;
    channels.forEach((ch, c) => { if (ch.wantVideo) startVideo(ch, c); });
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

  // ---- H.264 video (WebCodecs) ----
  // Whether this browser decodes baseline H.264: where it does not (no
  // WebCodecs, an insecure context, no H.264), channels stay JPEG.
  let support = null;
  function videoSupported() {
    if (!support) {
      support = (async () => {
        if (typeof VideoDecoder === 'undefined') return false;
        try {
          const r = await VideoDecoder.isConfigSupported({ codec: 'avc1.42001f', optimizeForLatency: true });
          return !!r.supported;
        } catch (e) { return false; }
      })().then((ok) => { stats.video.supported = ok; return ok; });
    }
    return support;
  }

  function sendVideo(c, on) {
    if (ws && ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify({ type: 'video', channel: c, on }));
  }

  async function startVideo(ch, c) {
    if (ch.video) return;
    if (!(await videoSupported())) {
      ch.wantVideo = false;
      updateVideoButton(ch);
      return showMessage('this browser cannot decode H.264 (WebCodecs): showing JPEG');
    }
    if (ch.video || !ch.wantVideo) return;
    ch.video = true;
    updateVideoButton(ch);
    sendVideo(c, true);  // the server starts this tab's stream with a keyframe
  }

  function stopVideo(ch) {
    ch.video = false;
    if (ch.decoder && ch.decoder.state !== 'closed') ch.decoder.close();
    ch.decoder = null;
    ch.codec = '';
    ch.pending.clear();
    updateVideoButton(ch);
  }

  // Falls back to JPEG for this channel and tells the server.
  function videoFailed(ch, c, why) {
    stats.errors.push(`ch ${c}: H.264: ${why}`);
    showMessage(`ch ${c}: cannot decode H.264 (${why}): showing JPEG`);
    ch.wantVideo = false;
    stopVideo(ch);
    sendVideo(c, false);
  }

  function updateVideoButton(ch) {
    if (!ch.button) return;
    setToggle(ch.button, ch.wantVideo);
  }

  // "avc1.PPCCLL" from the SPS (NAL type 7) of a keyframe: profile,
  // constraint flags and level.
  function codecOf(bytes) {
    for (let i = 0; i + 6 < bytes.length; i++) {
      if (bytes[i] === 0 && bytes[i + 1] === 0 && bytes[i + 2] === 1 && (bytes[i + 3] & 0x1f) === 7) {
        const hex = (b) => b.toString(16).padStart(2, '0');
        return `avc1.${hex(bytes[i + 4])}${hex(bytes[i + 5])}${hex(bytes[i + 6])}`;
      }
    }
    return '';
  }

  function onVideo(ch, h, buffer) {
    const c = h.channel;
    if (!ch.video) return;  // in flight when video was turned off
    const data = new Uint8Array(buffer, HEADER);
    const now = performance.now();
    ch.bytes.push([now, data.length]);
    while (ch.bytes.length && now - ch.bytes[0][0] > 1000) ch.bytes.shift();
    if (h.keyframe) {
      const codec = codecOf(data);
      if (!codec) return videoFailed(ch, c, 'keyframe without SPS');
      if (!ch.decoder || codec !== ch.codec) {
        if (ch.decoder && ch.decoder.state !== 'closed') ch.decoder.close();
        ch.pending.clear();
        ch.codec = codec;
        stats.video.codecs[c] = codec;
        try {
          ch.decoder = new VideoDecoder({
            output: (frame) => onFrame(ch, frame),
            error: (e) => { if (ch.video) videoFailed(ch, c, `${e.message || e}`); },
          });
          ch.decoder.configure({ codec, optimizeForLatency: true });
        } catch (e) {
          return videoFailed(ch, c, `${e.message || e}`);
        }
      }
    }
    if (!ch.decoder || ch.decoder.state !== 'configured') return;  // waiting for a keyframe
    const timestamp = h.sequence;
    ch.pending.set(timestamp, h);
    if (ch.pending.size > 64) ch.pending.delete(ch.pending.keys().next().value);
    try {
      ch.decoder.decode(new EncodedVideoChunk({ type: h.keyframe ? 'key' : 'delta', timestamp, data }));
    } catch (e) {
      videoFailed(ch, c, `${e.message || e}`);
    }
  }

  function onFrame(ch, frame) {
    const h = ch.pending.get(frame.timestamp);
    ch.pending.delete(frame.timestamp);
    if (!h || !ch.video) { frame.close(); return; }
    // The stream may be padded to even sizes: draw the image's own size.
    const w = Math.min(h.width || frame.displayWidth, frame.displayWidth);
    const hh = Math.min(h.height || frame.displayHeight, frame.displayHeight);
    if (ch.canvas.width !== w || ch.canvas.height !== hh) { ch.canvas.width = w; ch.canvas.height = hh; }
    ch.canvas.getContext('2d').drawImage(frame, 0, 0, w, hh, 0, 0, w, hh);
    frame.close();
    stats.videoFrames[h.channel] += 1;
    drawn(ch, h);
  }

  channels.forEach((ch, c) => {
    const b = document.createElement('button');
    b.className = 'toggle video off';
    b.textContent = 'H.264';
    b.title = 'show this channel as H.264 video (decoded by the browser) instead of JPEG';
    b.hidden = true;
    b.onclick = () => {
      ch.wantVideo = !ch.wantVideo;
      if (ch.wantVideo) {
        startVideo(ch, c);
      } else {
        stopVideo(ch);
        sendVideo(c, false);
      }
      updateVideoButton(ch);
    };
    ch.button = b;
    ch.fig.appendChild(b);
  });

  // ---- images ----
  function readHeader(buffer) {
    if (buffer.byteLength < HEADER) return null;
    const v = new DataView(buffer);
    if (v.getUint8(0) !== 1) return null;
    return {
      channel: v.getUint8(1) & 3,
      encoding: v.getUint8(2),
      keyframe: (v.getUint8(3) & 1) !== 0,
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
    if (h.encoding === H264) return onVideo(ch, h, buffer);  // every unit, in order
    if (ch.video) return;  // a JPEG sent before the server switched this channel
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
    let rate = '';
    if (h.encoding === H264) {
      const bits = ch.bytes.filter(([t]) => now - t <= 1000).reduce((sum, [, n]) => sum + n * 8, 0);
      rate = ` · ${(bits / 1000).toFixed(0)} kb/s`;
    }
    const what = h.encoding === H264 ? `${size} · H.264` : `${size} · ${format}`;
    ch.caption.textContent = `ch ${c} · ${what} · ${fps} fps${rate} · #${h.sequence} · latency ${latency}`;
  }

  // Frames/s falls to 0 when a channel stops: refresh the captions.
  setInterval(() => channels.forEach(caption), 500);

  connect();
})();
