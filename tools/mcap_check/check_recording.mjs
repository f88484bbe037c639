#!/usr/bin/env node
// Checks an MCAP recording written by run_demo (replay.mcap) with libraries written outside this
// project: @mcap/core reads it through its summary and chunk indexes (summary CRC) and streams
// it record by record (chunk CRCs); the data-section CRC is recomputed and every message index
// entry followed to its message; every message is decoded by rosmsg2-serialization from the schema text the
// file carries, and compared with what run_demo says the node published (EXPECTED_JSON,
// replay_expected.json: per topic its type, count and per message log time, stamp and digest).
//
// usage: node check_recording.mjs MCAP_FILE EXPECTED_JSON
import assert from "node:assert/strict";
import fs from "node:fs";
import { McapIndexedReader, McapStreamReader } from "@mcap/core";
import { MessageReader } from "@foxglove/rosmsg2-serialization";
import { crc32 } from "@foxglove/crc";
import { parseDefinition, zstdCodec } from "./ros2.mjs";

const [mcapFile, expectedFile] = process.argv.slice(2);
if (!mcapFile || !expectedFile) {
  console.error("usage: node check_recording.mjs MCAP_FILE EXPECTED_JSON");
  process.exit(2);
}
const bytes = fs.readFileSync(mcapFile);
const expected = JSON.parse(fs.readFileSync(expectedFile, "utf8"));
const zstd = await zstdCodec();
const decompressHandlers = { zstd: (data, size) => zstd.decompress(data, Number(size)) };

// The same figures run_demo computed from the messages it recorded (tools/demo/recording.cpp).
const byteSum = (data) => data.reduce((sum, b) => sum + b, 0);
// The reader gives builtin_interfaces/Time as @foxglove/rostime's {sec, nsec}.
const stamp = (header) => [header.stamp.sec, header.stamp.nsec];
const digests = {
  "sensor_msgs/msg/Image": (m) => ({
    stamp: stamp(m.header),
    height: m.height,
    width: m.width,
    encoding: m.encoding,
    step: m.step,
    data_sum: byteSum(m.data),
  }),
  "sensor_msgs/msg/CameraInfo": (m) => ({
    stamp: stamp(m.header),
    height: m.height,
    width: m.width,
    k: Array.from(m.k),
  }),
  "sensor_msgs/msg/PointCloud2": (m) => ({
    stamp: stamp(m.header),
    points: m.width * m.height,
    fields: m.fields.map((f) => f.name),
    data_sum: byteSum(m.data),
  }),
  "tf2_msgs/msg/TFMessage": (m) => ({
    transforms: m.transforms.map((t) => ({
      child: t.child_frame_id,
      stamp: stamp(t.header),
      translation: [t.transform.translation.x, t.transform.translation.y, t.transform.translation.z],
    })),
  }),
  "veltrax_protocol/msg/Trashes": (m) => ({
    stamp: stamp(m.header),
    trashes: m.trashes.map((t) => ({
      x: t.x,
      y: t.y,
      crop_stamp: stamp(t.image.header),
      crop_size: [t.image.width, t.image.height],
    })),
  }),
};

// Indexed read: footer, summary (its CRC), schemas, channels, statistics, chunk indexes.
const reader = await McapIndexedReader.Initialize({
  readable: {
    size: async () => BigInt(bytes.length),
    read: async (offset, length) => bytes.subarray(Number(offset), Number(offset + length)),
  },
  decompressHandlers,
});
assert.equal(reader.header.profile, "ros2", "header profile");
const dataEndOffset = Number(reader.footer.summaryStart) - (1 + 8 + 4);
assert.equal(bytes[dataEndOffset], 0x0f, "a DataEnd record ends the data section");
assert.equal(crc32(bytes.subarray(0, dataEndOffset)), reader.dataSectionCrc, "data section CRC");
// Each chunk index and message index, followed as a seeking reader follows them: every entry
// names a Message record of its channel and time inside the decompressed chunk.
let indexed = 0;
for (const chunk of reader.chunkIndexes) {
  let at = Number(chunk.chunkStartOffset);
  assert.equal(bytes[at], 0x06, `chunk at ${at}`);
  at += 1 + 8 + 8 + 8;
  const uncompressedSize = bytes.readBigUInt64LE(at);
  at += 8 + 4;
  at += 4 + bytes.readUInt32LE(at);
  const stored = bytes.subarray(at + 8, at + 8 + Number(bytes.readBigUInt64LE(at)));
  const records = Buffer.from(decompressHandlers[chunk.compression](stored, uncompressedSize));
  for (const [channelId, offset] of chunk.messageIndexOffsets) {
    let entry = Number(offset);
    assert.equal(bytes[entry], 0x07, `message index of channel ${channelId} at ${offset}`);
    assert.equal(bytes.readUInt16LE(entry + 9), channelId, `message index at ${offset}`);
    const end = entry + 9 + 2 + 4 + bytes.readUInt32LE(entry + 11);
    for (entry += 9 + 2 + 4; entry < end; entry += 16, ++indexed) {
      const message = Number(bytes.readBigUInt64LE(entry + 8));
      assert.equal(records[message], 0x05, `indexed message at ${message} of chunk ${at}`);
      assert.equal(records.readUInt16LE(message + 9), channelId, `channel at ${message}`);
      assert.equal(records.readBigUInt64LE(message + 9 + 2 + 4), bytes.readBigUInt64LE(entry));
    }
  }
}

// Streamed read: every record in file order and every chunk's CRC.
const stream = new McapStreamReader({ decompressHandlers, validateCrcs: true });
stream.append(bytes);
while (stream.nextRecord()) {}
assert.ok(stream.done(), "the file ends with footer and magic");

// Every message decoded with the definitions the file carries.
const readers = new Map();
for (const [id, schema] of reader.schemasById) {
  assert.equal(schema.encoding, "ros2msg", `schema ${schema.name}`);
  readers.set(id, new MessageReader(parseDefinition(new TextDecoder().decode(schema.data))));
}
const received = new Map();
for await (const message of reader.readMessages()) {
  const channel = reader.channelsById.get(message.channelId);
  const schema = reader.schemasById.get(channel.schemaId);
  const digest = digests[schema.name](readers.get(channel.schemaId).readMessage(message.data));
  const list = received.get(channel.topic) ?? [];
  list.push({ sequence: message.sequence, log_time_ns: String(message.logTime), ...digest });
  received.set(channel.topic, list);
}

const channels = new Map([...reader.channelsById.values()].map((c) => [c.topic, c]));
let total = 0;
for (const [topic, want] of Object.entries(expected.topics)) {
  const channel = channels.get(topic);
  assert.ok(channel, `${topic} is declared`);
  assert.equal(reader.schemasById.get(channel.schemaId).name, want.type, `${topic} type`);
  assert.equal(channel.messageEncoding, "cdr", `${topic} encoding`);
  assert.match(channel.metadata.get("offered_qos_profiles") ?? "", /reliability: 1/, topic);
  const got = (received.get(topic) ?? []).sort((a, b) => a.sequence - b.sequence);
  assert.equal(got.length, want.count, `${topic}: message count`);
  got.forEach(({ sequence, ...message }, i) =>
    assert.deepEqual(message, want.messages[i], `${topic}: message ${i}`),
  );
  total += got.length;
  console.log(`${topic}: ${got.length} ${want.type} messages as published`);
}
assert.equal(channels.size, Object.keys(expected.topics).length, "no topic beyond the expected");
assert.equal(Number(reader.statistics.messageCount), total, "statistics message count");
assert.equal(indexed, total, "every message is in a message index");
console.log(`${mcapFile}: ${total} messages in ${reader.chunkIndexes.length} chunks check out`);
