// Decodes every message of a travik recording the way a generic MCAP viewer
// does: @mcap/core reads the records, protobufjs builds each schema's types
// from the FileDescriptorSet in the schema record itself (nothing of travik's
// own), and decodes the message with it. Prints one line per message:
//   image TOPIC SCHEMA FRAME WIDTH HEIGHT ENCODING STEP HEX
//   compressed TOPIC SCHEMA FRAME FORMAT HEX
//   blob TOPIC SCHEMA FRAME HEX
//   info TOPIC SCHEMA FRAME ATTR1 ATTR2 ATTR3 ATTR4 ATTR5 TAG SIZE
//   log TOPIC SCHEMA LEVEL NAME HEX
// HEX is the data (or the log text) in hexadecimal, "-" when empty. Each
// message's timestamp must equal its log time, or the script fails.
import { McapStreamReader } from "@mcap/core";
import { decompress } from "fzstd";
import { readFile } from "node:fs/promises";
import { createRequire } from "node:module";

const require = createRequire(import.meta.url);
const protobuf = require("protobufjs");
const descriptor = require("protobufjs/ext/descriptor");

const reader = new McapStreamReader({
  decompressHandlers: { zstd: (data, size) => decompress(data, new Uint8Array(Number(size))) },
});
reader.append(await readFile(process.argv[2]));
const types = new Map(); // schema id -> { name, type }
const channels = new Map(); // channel id -> { topic, schema }
const hex = (bytes) => (bytes.length ? Buffer.from(bytes).toString("hex") : "-");
const out = [];
for (let r; (r = reader.nextRecord()); ) {
  if (r.type === "Schema") {
    if (r.encoding !== "protobuf") throw new Error(`schema ${r.name}: encoding ${r.encoding}`);
    const root = protobuf.Root.fromDescriptor(descriptor.FileDescriptorSet.decode(r.data));
    types.set(r.id, { name: r.name, type: root.lookupType(r.name) });
  } else if (r.type === "Channel") {
    if (r.messageEncoding !== "protobuf") throw new Error(`${r.topic}: message encoding ${r.messageEncoding}`);
    channels.set(r.id, { topic: r.topic, schema: types.get(r.schemaId) });
  } else if (r.type === "Message") {
    const { topic, schema } = channels.get(r.channelId);
    const m = schema.type.toObject(schema.type.decode(r.data), { longs: String, enums: String, defaults: true });
    const nanos = BigInt(m.timestamp.seconds) * 1000000000n + BigInt(m.timestamp.nanos);
    if (nanos !== r.logTime) throw new Error(`${topic}: timestamp ${nanos} is not the log time ${r.logTime}`);
    const head = `${topic} ${schema.name}`;
    switch (schema.name) {
      case "foxglove.RawImage":
        out.push(`image ${head} ${m.frame_id} ${m.width} ${m.height} ${m.encoding} ${m.step} ${hex(m.data)}`);
        break;
      case "foxglove.CompressedImage":
        out.push(`compressed ${head} ${m.frame_id} ${m.format} ${hex(m.data)}`);
        break;
      case "travik.Blob":
        out.push(`blob ${head} ${m.frame_id} ${hex(m.data)}`);
        break;
      case "travik.ImageInfo":
        out.push(`info ${head} ${m.frame_id} ${m.attr1} ${m.attr2} ${m.attr3} ${m.attr4} ${m.attr5} ${m.tag} ${m.size}`);
        break;
      case "foxglove.Log":
        out.push(`log ${head} ${m.level} ${m.name} ${hex(Buffer.from(m.message, "utf8"))}`);
        break;
      default:
        throw new Error(`unexpected schema ${schema.name}`);
    }
  }
}
console.log(out.join("\n"));
