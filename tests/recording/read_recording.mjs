// Independent reader of a travik recording: @mcap/core (with fzstd for zstd
// chunks) reads FILE and prints, per topic, the message count, the data
// bytes and an FNV-1a hash of the data in file order:
//   mode indexed|stream
//   TOPIC COUNT BYTES HASH
// A file with a summary is read through its index; one without (a recorder
// that was killed) with the streaming reader, up to its last whole record.
import { McapIndexedReader, McapStreamReader } from "@mcap/core";
import { decompress } from "fzstd";
import { open, readFile } from "node:fs/promises";

const file = process.argv[2];
const handlers = { zstd: (data, size) => decompress(data, new Uint8Array(Number(size))) };
const topics = new Map();

function add(topic, data) {
  let t = topics.get(topic);
  if (!t) topics.set(topic, (t = { count: 0, bytes: 0, hash: 0x811c9dc5 }));
  t.count += 1;
  t.bytes += data.length;
  let h = t.hash;
  for (let i = 0; i < data.length; i++) h = Math.imul(h ^ data[i], 0x01000193) >>> 0;
  t.hash = h;
}

async function readIndexed() {
  const handle = await open(file, "r");
  try {
    const readable = {
      size: async () => BigInt((await handle.stat()).size),
      read: async (offset, length) => {
        const buf = new Uint8Array(Number(length));
        await handle.read(buf, 0, buf.length, Number(offset));
        return buf;
      },
    };
    const reader = await McapIndexedReader.Initialize({ readable, decompressHandlers: handlers });
    for await (const m of reader.readMessages()) add(reader.channelsById.get(m.channelId).topic, m.data);
  } finally {
    await handle.close();
  }
}

function readStream(bytes) {
  const reader = new McapStreamReader({ decompressHandlers: handlers });
  reader.append(bytes);
  const channels = new Map();
  for (let r; (r = reader.nextRecord()); ) {
    if (r.type === "Channel") channels.set(r.id, r.topic);
    if (r.type === "Message") add(channels.get(r.channelId), r.data);
  }
}

const bytes = await readFile(file);
const magic = [0x89, 0x4d, 0x43, 0x41, 0x50, 0x30, 0x0d, 0x0a];
const closed = bytes.length >= 16 && magic.every((b, i) => bytes[bytes.length - 8 + i] === b);
if (closed) await readIndexed();
else readStream(bytes);
console.log(`mode ${closed ? "indexed" : "stream"}`);
for (const [topic, t] of [...topics].sort()) console.log(`${topic} ${t.count} ${t.bytes} ${t.hash}`);
