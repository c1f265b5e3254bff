// The Foxglove endpoint of `travik web --foxglove` through the protocol's
// own client (@foxglove/ws-protocol over ws): a `travik device` streams
// known files; the test checks that every advertised schema is a protobuf
// descriptor set that decodes the messages, that a RawImage carries the
// exact pixels and the JPEG variant a JPEG, that the command service
// switches a channel off at the device, that unsubscribing stops the
// encoding (the stats service's counters), that /travik/channel/N/h264
// carries H.264 access units (keyframe with SPS and PPS first, again after
// resubscribing; their decoding is the gtest's, tests/video), and the Origin check; then
// wss with a token (a certificate made with the openssl command line) and
// the command line's refusals.
//
//   node foxglove_test.js TRAVIK_BINARY
// Exit 0 on success, 1 on failure. Every wait has a deadline and the whole
// run is stopped after 60 s.
'use strict';

const { spawn } = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');
const readline = require('readline');

const [travik] = process.argv.slice(2);
const children = [];
const sockets = [];
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'travik-foxglove-'));
const ORIGIN = 'https://app.foxglove.dev';

function log(...args) { console.log('[foxglove_test]', ...args); }

function cleanup() {
  for (const ws of sockets) ws.terminate();
  for (const child of children) if (child.exitCode === null) child.kill('SIGKILL');
  fs.rmSync(tmp, { recursive: true, force: true });
}

function fail(message) {
  console.error(`[foxglove_test] FAIL: ${message}`);
  for (const child of children) console.error(`--- ${child.name} stderr (tail) ---\n${child.err.slice(-2000)}`);
  cleanup();
  process.exit(1);
}

const watchdog = setTimeout(() => fail('the whole test took over 60 s'), 60000);

let deps;
try {
  deps = {
    ws: require('ws'),
    fox: require('@foxglove/ws-protocol'),
    protobuf: require('protobufjs'),
    descriptor: require('protobufjs/ext/descriptor'),
  };
} catch (e) {
  fail(`npm packages missing (${e.message}): run ./travik.sh deps (npm ci in tests/web)`);
}

// One file per channel, streamed in name order: gray, RGB, gray, opaque.
const W = 96, H = 64;
const grayPixels = Buffer.alloc(W * H);
const rgbPixels = Buffer.alloc(W * H * 3);
for (let i = 0; i < W * H; i++) {
  grayPixels[i] = (i * 7) & 0xff;
  rgbPixels.set([i & 0xff, (i >> 3) & 0xff, 200], i * 3);
}
fs.writeFileSync(path.join(tmp, '0.pgm'), Buffer.concat([Buffer.from(`P5\n${W} ${H}\n255\n`), grayPixels]));
fs.writeFileSync(path.join(tmp, '1.ppm'), Buffer.concat([Buffer.from(`P6\n${W} ${H}\n255\n`), rgbPixels]));
fs.writeFileSync(path.join(tmp, '2.pgm'), Buffer.concat([Buffer.from(`P5\n${W} ${H}\n255\n`), grayPixels]));
fs.writeFileSync(path.join(tmp, '3.bin'), Buffer.alloc(500, 7));

function start(name, args) {
  const child = spawn(travik, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  child.name = name;
  child.err = '';
  child.stderr.on('data', (d) => { child.err = (child.err + d).slice(-20000); });
  children.push(child);
  return child;
}

function lines(child, count) {
  return new Promise((resolve, reject) => {
    const got = [];
    const rl = readline.createInterface({ input: child.stdout });
    rl.on('line', (line) => {
      got.push(line.trim());
      if (got.length === count) resolve(got);
    });
    child.once('exit', (code) => reject(new Error(`${child.name} exited with ${code}`)));
  });
}

// A port for the device that no other socket can be handed while the test
// waits to start it: below the kernel's range for ports of its own choosing
// (every other test binds port 0), and free now.
// NAL unit types of an Annex B unit in order; null when it does not start
// with a start code.
function nalTypes(bytes) {
  const types = [];
  for (let i = 0; i + 3 < bytes.length && types.length < 64; i++) {
    if (bytes[i] === 0 && bytes[i + 1] === 0 && bytes[i + 2] === 1) {
      types.push(bytes[i + 3] & 0x1f);
      i += 3;
    } else if (types.length === 0 && bytes[i] !== 0) {
      return null;
    }
  }
  return types.length ? types : null;
}

async function freePort() {
  let low = 32768;
  try {
    low = Number(fs.readFileSync('/proc/sys/net/ipv4/ip_local_port_range', 'utf8').trim().split(/\s+/)[0]);
  } catch (e) { /* the usual default */ }
  low = Math.max(low, 2048);
  for (let attempt = 0; attempt < 50; attempt += 1) {
    const candidate = 1024 + Math.floor(Math.random() * (low - 1024));
    const ok = await new Promise((resolve) => {
      const server = net.createServer();
      server.once('error', () => resolve(false));
      server.listen(candidate, '127.0.0.1', () => server.close(() => resolve(true)));
    });
    if (ok) return candidate;
  }
  throw new Error('no free port below the ephemeral range');
}

async function waitFor(what, fn, timeout = 20000) {
  const deadline = Date.now() + timeout;
  while (!fn()) {
    if (Date.now() > deadline) fail(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 20));
  }
}

// Resolves true when the handshake succeeds, false when it is refused.
function tryConnect(url, origin) {
  return new Promise((resolve) => {
    const ws = new deps.ws.WebSocket(url, [deps.fox.FoxgloveClient.SUPPORTED_SUBPROTOCOL], origin ? { origin } : {});
    sockets.push(ws);
    ws.on('open', () => { ws.close(); resolve(true); });
    ws.on('unexpected-response', () => resolve(false));
    ws.on('error', () => resolve(false));
  });
}

// Resolves with the exit code and stderr of a travik run expected to end by itself.
function exitOf(name, args, env) {
  return new Promise((resolve) => {
    const child = spawn(travik, args, { stdio: ['ignore', 'pipe', 'pipe'], env });
    child.name = name;
    child.err = '';
    child.stderr.on('data', (d) => { child.err += d; });
    children.push(child);
    // 'close', not 'exit': only then has all of stderr been read.
    child.once('close', (code) => resolve({ code, err: child.err }));
  });
}

// Over wss with a token: the CLI's refusals, then the protocol's own client
// with the token in the URL's query (trusting a certificate made now), and
// a client without it refused with 401.
async function secured(devicePort) {
  require('child_process').execFileSync('sh', [path.join(__dirname, '..', 'support', 'make_test_certs.sh'), tmp],
    { stdio: 'ignore' });
  const cert = path.join(tmp, 'device.pem'), key = path.join(tmp, 'device.key');
  const token = 'foxglove-test-token-0123456789';
  const open = { ...process.env };
  delete open.TRAVIK_WEB_TOKEN;
  const target = `127.0.0.1:${devicePort}`;
  for (const [args, says] of [
    [['--http', '0.0.0.0:0'], 'TRAVIK_WEB_TOKEN'],
    [['--http', '127.0.0.1:0', '--foxglove', '0.0.0.0:0'], 'TRAVIK_WEB_TOKEN'],
    [['--http', '127.0.0.1:0', '--https-cert', cert, '--https-key', path.join(tmp, 'nokey.pem')], 'nokey.pem'],
    [['--http', '127.0.0.1:0', '--https-cert', key, '--https-key', key], key],
  ]) {
    const { code, err } = await exitOf('refused', ['web', target, ...args], open);
    if (code !== 2 || !err.includes(says)) return fail(`travik web ${args.join(' ')}: exit ${code}, ${err}`);
  }
  const env = { ...process.env, TRAVIK_WEB_TOKEN: token };
  const web = spawn(travik, ['web', target, '--http', '127.0.0.1:0', '--foxglove', '127.0.0.1:0', '--https-cert', cert,
    '--https-key', key, '--interval', '20'], { stdio: ['ignore', 'pipe', 'pipe'], env });
  web.name = 'web (wss)';
  web.err = '';
  web.stderr.on('data', (d) => { web.err = (web.err + d).slice(-20000); });
  children.push(web);
  let page, url;
  try {
    [page, url] = await lines(web, 2);
  } catch (e) {
    return fail(`travik web over TLS did not print its URLs: ${e.message}`);
  }
  if (!page.startsWith('https://127.0.0.1:') || !url.startsWith('wss://127.0.0.1:')) return fail(`URLs: ${page} ${url}`);
  const ca = fs.readFileSync(path.join(tmp, 'ca.pem'));
  const refused = await new Promise((resolve) => {
    const ws = new deps.ws.WebSocket(url, [deps.fox.FoxgloveClient.SUPPORTED_SUBPROTOCOL], { ca });
    sockets.push(ws);
    ws.on('open', () => resolve('open'));
    ws.on('unexpected-response', (req, res) => resolve(res.statusCode));
    ws.on('error', (e) => resolve(e.message));
  });
  if (refused !== 401) return fail(`a client without the token got ${refused}, not 401`);
  const ws = new deps.ws.WebSocket(`${url}/?token=${token}`, [deps.fox.FoxgloveClient.SUPPORTED_SUBPROTOCOL], { ca });
  sockets.push(ws);
  const client = new deps.fox.FoxgloveClient({ ws });
  let advertised = null, got = 0;
  client.on('advertise', (c) => { advertised = c; });
  client.on('error', (e) => fail(`wss client error: ${e && e.message}`));
  client.on('message', () => { got += 1; });
  await waitFor('advertise over wss', () => advertised);
  client.subscribe(advertised.find((c) => c.topic === '/travik/channel/0').id);
  await waitFor('an image over wss', () => got > 0);
  if (web.err.includes(token)) return fail('the token appeared on stderr');
  log('wss with the token passed');
}

async function main() {
  // The web process starts first: it keeps retrying until the device is up.
  const devicePort = await freePort();
  const web = start('web', ['web', `127.0.0.1:${devicePort}`, '--http', '127.0.0.1:0', '--foxglove', '127.0.0.1:0',
    '--allow-origin', ORIGIN, '--logs', '--interval', '20']);
  let url;
  try {
    url = (await lines(web, 2))[1];
  } catch (e) {
    return fail(`travik web did not print its URLs: ${e.message}`);
  }
  if (!url.startsWith('ws://127.0.0.1:')) return fail(`second line is not the Foxglove URL: ${url}`);
  log(`endpoint ${url}, device on port ${devicePort}`);
  const device = start('device', ['device', '--port', String(devicePort), '--images', tmp, '--fps', '20',
    '--log-rate', '10']);

  if (await tryConnect(url, 'https://evil.example')) return fail('a page of another origin was let in');
  if (!(await tryConnect(url, ORIGIN))) return fail(`the allowed origin ${ORIGIN} was refused`);

  const ws = new deps.ws.WebSocket(url, [deps.fox.FoxgloveClient.SUPPORTED_SUBPROTOCOL]);
  sockets.push(ws);
  const client = new deps.fox.FoxgloveClient({ ws });
  let channels = null, services = null, serverInfo = null;
  const statuses = [];
  const received = new Map();  // subscription id -> decoded messages (newest last, a few kept)
  const counts = new Map();
  const types = new Map();     // subscription id -> protobuf type
  const pendingCalls = new Map();
  const videoUnits = new Map();  // video subscription id -> every message, in order
  client.on('serverInfo', (m) => { serverInfo = m; });
  client.on('advertise', (c) => { channels = c; });
  client.on('advertiseServices', (s) => { services = s; });
  client.on('status', (s) => statuses.push(s));
  client.on('error', (e) => fail(`client error: ${e && e.message}`));
  client.on('message', ({ subscriptionId, timestamp, data }) => {
    const bytes = new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
    const decoded = types.get(subscriptionId).decode(bytes);
    const list = received.get(subscriptionId) || [];
    list.push({ timestamp, decoded });
    if (list.length > 3) list.shift();
    if (videoUnits.has(subscriptionId)) videoUnits.get(subscriptionId).push(decoded);
    received.set(subscriptionId, list);
    counts.set(subscriptionId, (counts.get(subscriptionId) || 0) + 1);
  });
  client.on('serviceCallResponse', (r) => {
    const done = pendingCalls.get(r.callId);
    pendingCalls.delete(r.callId);
    if (done) done.resolve(JSON.parse(Buffer.from(r.data.buffer, r.data.byteOffset, r.data.byteLength).toString()));
  });
  client.on('serviceCallFailure', (f) => {
    const done = pendingCalls.get(f.callId);
    pendingCalls.delete(f.callId);
    if (done) done.reject(new Error(f.message));
  });

  await waitFor('serverInfo, advertise and advertiseServices', () => serverInfo && channels && services);
  if (!serverInfo.capabilities.includes('services')) return fail('serverInfo lacks the services capability');

  // Every channel: protobuf, and a descriptor set that defines its schema.
  const byTopic = new Map();
  for (const c of channels) {
    if (c.encoding !== 'protobuf' || c.schemaEncoding !== 'protobuf') return fail(`channel ${c.topic} not protobuf`);
    const set = deps.descriptor.FileDescriptorSet.decode(Buffer.from(c.schema, 'base64'));
    const root = deps.protobuf.Root.fromDescriptor(set);
    byTopic.set(c.topic, { id: c.id, type: root.lookupType(c.schemaName) });
  }
  for (const t of ['/travik/log', '/travik/channel/0', '/travik/channel/0/jpeg', '/travik/channel/0/info',
    '/travik/channel/3/blob', '/travik/channel/3/compressed']) {
    if (!byTopic.has(t)) return fail(`topic ${t} not advertised (got ${[...byTopic.keys()].join(', ')})`);
  }
  const subscribe = (topic) => {
    const { id, type } = byTopic.get(topic);
    const sub = client.subscribe(id);
    types.set(sub, type);
    return sub;
  };
  let nextCall = 1;
  const call = (name, request) => new Promise((resolve, reject) => {
    const service = services.find((s) => s.name === name);
    if (!service) return reject(new Error(`service ${name} not advertised`));
    const callId = nextCall++;
    pendingCalls.set(callId, { resolve, reject });
    client.sendServiceCallRequest({ serviceId: service.id, callId, encoding: 'json',
      data: new Uint8Array(Buffer.from(JSON.stringify(request))) });
  });
  const count = (sub) => counts.get(sub) || 0;
  const latest = (sub) => received.get(sub).at(-1).decoded;
  let base = 0;

  const gray = subscribe('/travik/channel/0');
  const rgb = subscribe('/travik/channel/1');
  const ch2 = subscribe('/travik/channel/2');
  const jpeg = subscribe('/travik/channel/0/jpeg');
  const logs = subscribe('/travik/log');
  await waitFor('3 messages on each subscription', () => [gray, rgb, ch2, jpeg].every((s) => count(s) >= 3));
  await waitFor('a device log line', () => count(logs) > 0);

  for (const [sub, encoding, pixels, step] of [[gray, 'mono8', grayPixels, W], [rgb, 'rgb8', rgbPixels, W * 3]]) {
    const m = latest(sub);
    if (m.width !== W || m.height !== H || m.encoding !== encoding || m.step !== step || m.frameId === '')
      return fail(`RawImage header: ${JSON.stringify({ ...m, data: undefined })}`);
    if (!Buffer.from(m.data).equals(pixels)) return fail(`${encoding} pixels differ from the staged file`);
  }
  const j = latest(jpeg);
  if (j.format !== 'jpeg' || j.data[0] !== 0xff || j.data[1] !== 0xd8) return fail('the JPEG variant is not JPEG');
  const line = latest(logs);
  if (line.name !== 'device' || line.level !== 2 || line.message === '') return fail(`Log: ${JSON.stringify(line)}`);

  // H.264 of the RGB channel: each message one access unit in Annex B,
  // the first a keyframe with its parameter sets, the rest slices.
  const videoTopic = '/travik/channel/1/h264';
  if (!byTopic.has(videoTopic)) return fail(`${videoTopic} not advertised`);
  const videoSchema = channels.find((c) => c.topic === videoTopic).schemaName;
  if (videoSchema !== 'foxglove.CompressedVideo') return fail(`${videoTopic} schema ${videoSchema}`);
  const checkVideo = (units, what) => {
    if (units.length === 0) return `${what}: no messages`;
    for (const [i, m] of units.entries()) {
      const frame = m.frame_id ?? m.frameId;
      if (m.format !== 'h264' || frame !== 'channel1') return `${what}: message ${i}: ${m.format} ${frame}`;
      const types = nalTypes(Buffer.from(m.data));
      if (types === null) return `${what}: message ${i} is not Annex B`;
      const key = types.includes(5);
      if (i === 0 && !(key && types[0] === 7 && types[1] === 8)) return `${what}: first message NAL types ${types}`;
      if (!key && !types.every((t) => t === 1)) return `${what}: message ${i} NAL types ${types}`;
      if (key && !(types[0] === 7 && types[1] === 8)) return `${what}: keyframe ${i} without SPS/PPS: ${types}`;
    }
    return '';
  };
  let video = subscribe(videoTopic);
  videoUnits.set(video, []);
  await waitFor('5 H.264 messages', () => videoUnits.get(video).length >= 5);
  let bad = checkVideo(videoUnits.get(video), 'first subscription');
  if (bad) return fail(bad);
  client.unsubscribe(video);
  base = count(rgb);
  await waitFor('ch 1 to go on after unsubscribing H.264', () => count(rgb) >= base + 5);
  const videoStopped = (await call('/travik/stats', {})).encodings[videoTopic];
  base = count(rgb);
  await waitFor('ch 1 to go on further', () => count(rgb) >= base + 10);
  if ((await call('/travik/stats', {})).encodings[videoTopic] !== videoStopped)
    return fail('H.264 went on after unsubscribing');
  video = subscribe(videoTopic);  // a resubscription starts with a keyframe again
  videoUnits.set(video, []);
  await waitFor('3 H.264 messages after resubscribing', () => videoUnits.get(video).length >= 3);
  bad = checkVideo(videoUnits.get(video), 'resubscription');
  if (bad) return fail(bad);
  client.unsubscribe(video);

  // Channel 2 off at the device through the command service.
  const state = await call('/travik/command', { channels: [0, 1, 3] });
  if (JSON.stringify(state.channels) !== '[0,1,3]' || state.connected !== true)
    return fail(`command answer: ${JSON.stringify(state)}`);
  base = count(gray);
  await waitFor('ch 0 to go on', () => count(gray) >= base + 10);
  const stopped = count(ch2);
  await waitFor('ch 0 to go on further', () => count(gray) >= base + 25);
  if (count(ch2) !== stopped) return fail(`ch 2 kept coming after it was switched off (${stopped} -> ${count(ch2)})`);
  await call('/travik/command', { interval: 0 }).then(
    () => fail('a bad interval was accepted'), () => {});

  // Unsubscribing the JPEG variant stops its encoding; the raw topic goes on.
  const jpegTopic = '/travik/channel/0/jpeg';
  const before = (await call('/travik/stats', {})).encodings[jpegTopic];
  if (!(before >= 3)) return fail(`stats show ${before} JPEG encodings while subscribed`);
  client.unsubscribe(jpeg);
  base = count(gray);
  await waitFor('ch 0 to go on after unsubscribing', () => count(gray) >= base + 5);
  const settled = await call('/travik/stats', {});
  if (settled.subscribers[jpegTopic] !== 0) return fail(`subscribers after unsubscribe: ${settled.subscribers[jpegTopic]}`);
  base = count(gray);
  await waitFor('ch 0 to go on further', () => count(gray) >= base + 20);
  const after = await call('/travik/stats', {});
  if (after.encodings[jpegTopic] !== settled.encodings[jpegTopic])
    return fail(`JPEG encoding went on after unsubscribing (${settled.encodings[jpegTopic]} -> ${after.encodings[jpegTopic]})`);
  if (!(after.encodings['/travik/channel/0'] > settled.encodings['/travik/channel/0']))
    return fail('the raw topic stopped too');
  if (after.encodings['/travik/channel/3/blob'] !== 0) return fail('an unsubscribed topic was encoded');

  if (web.exitCode !== null || device.exitCode !== null) return fail('a travik process exited early');
  await secured(devicePort);
  clearTimeout(watchdog);
  cleanup();
  log(`passed (statuses seen: ${statuses.length})`);
  process.exit(0);
}

main().catch((e) => fail(e && e.stack ? e.stack : String(e)));
