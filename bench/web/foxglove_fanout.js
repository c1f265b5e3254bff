// For the benchmark: N Foxglove clients on a running `travik web --foxglove`
// endpoint, each subscribed to one topic of channel 0 and to its info
// topic. Reports, as one JSON line, images/s per client (slowest and mean)
// and device stage -> client receive latency p50/p99 (the image's receive
// time minus the capture tag that its info message, same log time,
// carries), over a window of SECONDS.
//   node bench/web/foxglove_fanout.js WS_URL CLIENTS SECONDS TOPIC
'use strict';
const path = require('path');
// Installed for the endpoint's test (npm ci in tests/web).
const from = { paths: [path.join(__dirname, '..', '..', 'tests', 'web')] };
const { WebSocket } = require(require.resolve('ws', from));
const { FoxgloveClient } = require(require.resolve('@foxglove/ws-protocol', from));
const protobuf = require(require.resolve('protobufjs', from));
const descriptor = require(require.resolve('protobufjs/ext/descriptor', from));

function pct(values, p) {
  if (!values.length) return 0;
  const sorted = values.slice().sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.round((p / 100) * (sorted.length - 1)))];
}

const [url, clientsText, secondsText, topic] = process.argv.slice(2);
const clients = Math.min(Math.max(Number(clientsText) || 1, 1), 64);
const seconds = Math.min(Math.max(Number(secondsText) || 5, 1), 60);
setTimeout(() => { console.error('foxglove_fanout: no result within the deadline'); process.exit(1); },
  (seconds + 20) * 1000);

function openClient(stats) {
  return new Promise((resolve) => {
    const client = new FoxgloveClient({ ws: new WebSocket(url, [FoxgloveClient.SUPPORTED_SUBPROTOCOL]) });
    const received = new Map();  // log time -> receive time (ms), a few kept until the info comes
    let infoSub = -1, infoType = null;
    client.on('advertise', (channels) => {
      const image = channels.find((c) => c.topic === topic);
      const info = channels.find((c) => c.topic === '/travik/channel/0/info');
      infoType = protobuf.Root.fromDescriptor(descriptor.FileDescriptorSet.decode(Buffer.from(info.schema, 'base64')))
        .lookupType(info.schemaName);
      client.subscribe(image.id);
      infoSub = client.subscribe(info.id);
      resolve(client);
    });
    client.on('message', ({ subscriptionId, timestamp, data }) => {
      const now = Date.now() + (performance.now() % 1);
      if (!stats.measuring) return;
      if (subscriptionId !== infoSub) {
        stats.images += 1;
        received.set(timestamp, now);
        if (received.size > 64) received.delete(received.keys().next().value);
        return;
      }
      const at = received.get(timestamp);
      if (at === undefined) return;
      received.delete(timestamp);
      const tag = Number(infoType.decode(new Uint8Array(data.buffer, data.byteOffset, data.byteLength)).tag);
      if (tag > 0) stats.latency.push(at - tag / 1000);
    });
  });
}

(async () => {
  const all = [];
  for (let i = 0; i < clients; i++) all.push({ images: 0, latency: [], measuring: false });
  const open = await Promise.all(all.map(openClient));
  await new Promise((r) => setTimeout(r, 1500));  // warm up
  for (const s of all) s.measuring = true;
  await new Promise((r) => setTimeout(r, seconds * 1000));
  for (const s of all) s.measuring = false;
  for (const c of open) c.close();
  const rates = all.map((s) => s.images / seconds);
  const latency = all.flatMap((s) => s.latency);
  console.log(JSON.stringify({
    clients,
    slowest: Math.min(...rates),
    mean: rates.reduce((a, b) => a + b, 0) / rates.length,
    p50Ms: pct(latency, 50),
    p99Ms: pct(latency, 99),
    samples: latency.length,
  }));
  process.exit(0);
})();
