#!/usr/bin/env node
// Writes the two real RGB-D frames (veltrax_cv_model/test/data/rgbd) as a two-camera rosbag2
// recording with MCAP storage, with libraries written outside this project (@mcap/core,
// rosmsg2-serialization), on the node's input topics: OUT_DIR/rgbd.mcap and OUT_DIR/metadata.yaml.
// Camera 1 is milk_cartoon, camera 2 five_people, as `run_demo --real` publishes them: colour
// (rgb8), depth (16UC1, mm) and camera info per frame at 10 Hz, and /tf_static once.
//
// usage: node write_rgbd_recording.mjs OUT_DIR [FRAMES]   (FRAMES: default 3)
import fs from "node:fs";
import path from "node:path";
import { McapWriter } from "@mcap/core";
import { MessageWriter } from "@foxglove/rosmsg2-serialization";
import { decode as decodePng } from "fast-png";
import YAML from "yaml";
import {
  nodeTopics,
  offeredQos,
  parseDefinition,
  ros2msgDefinition,
  workspace,
  zstdCodec,
} from "./ros2.mjs";

const [outDir, framesArg = "3"] = process.argv.slice(2);
const frames = Number(framesArg);
if (!outDir || !Number.isInteger(frames) || frames < 1) {
  console.error("usage: node write_rgbd_recording.mjs OUT_DIR [FRAMES]");
  process.exit(2);
}
const dataDir = path.join(workspace, "veltrax_cv_model/test/data/rgbd");
const fileName = "rgbd.mcap";
const startNs = 1700000000n * 1000000000n;
const periodNs = 100000000n;

// Nearest quaternion (x, y, z, w) of a rotation given row-major, rounded as frame.yaml stores it.
function quaternion(r) {
  const [m00, m01, m02, m10, m11, m12, m20, m21, m22] = r;
  const w = Math.sqrt(Math.max(0, 1 + m00 + m11 + m22)) / 2;
  const x = Math.sqrt(Math.max(0, 1 + m00 - m11 - m22)) / 2;
  const y = Math.sqrt(Math.max(0, 1 - m00 + m11 - m22)) / 2;
  const z = Math.sqrt(Math.max(0, 1 - m00 - m11 + m22)) / 2;
  const q = [
    Math.sign(m21 - m12) * x || x,
    Math.sign(m02 - m20) * y || y,
    Math.sign(m10 - m01) * z || z,
    w,
  ];
  const norm = Math.hypot(...q);
  return q.map((v) => v / norm);
}

function camera(folder, index, topics) {
  const dir = path.join(dataDir, folder);
  const info = YAML.parse(fs.readFileSync(path.join(dir, "camera_info.yaml"), "utf8"));
  const frame = YAML.parse(fs.readFileSync(path.join(dir, "frame.yaml"), "utf8"));
  const color = decodePng(fs.readFileSync(path.join(dir, `${folder}_color.png`)));
  const depth = decodePng(fs.readFileSync(path.join(dir, `${folder}_depth_mm.png`)));
  if (color.channels !== 3 || color.depth !== 8 || depth.channels !== 1 || depth.depth !== 16) {
    throw new Error(`${folder}: expected 8-bit RGB colour and 16-bit depth`);
  }
  const t = frame.T_base_cam;
  return {
    frameId: `camera${index + 1}_depth_optical_frame`,
    topics: {
      info: topics.kCameraInfo[index],
      color: topics.kColor[index],
      depth: topics.kDepth[index],
    },
    info,
    color,
    depth,
    translation: { x: t[3], y: t[7], z: t[11] },
    rotation: quaternion([t[0], t[1], t[2], t[4], t[5], t[6], t[8], t[9], t[10]]),
  };
}

function fileWritable(file) {
  const fd = fs.openSync(file, "w");
  let position = 0n;
  return {
    position: () => position,
    write: async (buffer) => {
      fs.writeSync(fd, buffer);
      position += BigInt(buffer.byteLength);
    },
    close: () => fs.closeSync(fd),
  };
}

const topics = nodeTopics();
const cameras = ["milk_cartoon", "five_people"].map((folder, i) => camera(folder, i, topics));
const zstd = await zstdCodec();
fs.mkdirSync(outDir, { recursive: true });
const writable = fileWritable(path.join(outDir, fileName));
const writer = new McapWriter({
  writable,
  compressChunk: (data) => ({ compression: "zstd", compressedData: zstd.compress(data, 3) }),
});
await writer.start({ profile: "ros2", library: "mcap_check/write_rgbd_recording" });

const channels = new Map();
async function declare(topic, type) {
  const text = ros2msgDefinition(type);
  const schemaId = await writer.registerSchema({
    name: type,
    encoding: "ros2msg",
    data: new TextEncoder().encode(text),
  });
  const channelId = await writer.registerChannel({
    topic,
    schemaId,
    messageEncoding: "cdr",
    metadata: new Map([["offered_qos_profiles", offeredQos(topic === topics.kTfStatic)]]),
  });
  channels.set(topic, {
    type,
    channelId,
    writer: new MessageWriter(parseDefinition(text)),
    count: 0,
  });
}
await declare(topics.kTfStatic, "tf2_msgs/msg/TFMessage");
for (const c of cameras) {
  await declare(c.topics.info, "sensor_msgs/msg/CameraInfo");
  await declare(c.topics.color, "sensor_msgs/msg/Image");
  await declare(c.topics.depth, "sensor_msgs/msg/Image");
}

async function publish(topic, timeNs, message) {
  const channel = channels.get(topic);
  await writer.addMessage({
    channelId: channel.channelId,
    sequence: channel.count++,
    logTime: timeNs,
    publishTime: timeNs,
    data: channel.writer.writeMessage(message),
  });
}

const stampOf = (ns) => ({ sec: Number(ns / 1000000000n), nanosec: Number(ns % 1000000000n) });
await publish(topics.kTfStatic, startNs, {
  transforms: cameras.map((c) => ({
    header: { stamp: stampOf(startNs), frame_id: "base_footprint" },
    child_frame_id: c.frameId,
    transform: {
      translation: c.translation,
      rotation: { x: c.rotation[0], y: c.rotation[1], z: c.rotation[2], w: c.rotation[3] },
    },
  })),
});
for (let k = 0; k < frames; ++k) {
  const timeNs = startNs + BigInt(k) * periodNs;
  for (const c of cameras) {
    const header = { stamp: stampOf(timeNs), frame_id: c.frameId };
    const { width, height } = c.color;
    await publish(c.topics.info, timeNs, {
      header,
      height,
      width,
      distortion_model: c.info.distortion_model,
      d: c.info.distortion_coefficients.data,
      k: c.info.camera_matrix.data,
      r: c.info.rectification_matrix.data,
      p: c.info.projection_matrix.data,
      binning_x: 0,
      binning_y: 0,
      roi: { x_offset: 0, y_offset: 0, height: 0, width: 0, do_rectify: false },
    });
    const image = (encoding, pixels, bytesPerPixel) => ({
      header,
      height,
      width,
      encoding,
      is_bigendian: 0,
      step: width * bytesPerPixel,
      data: new Uint8Array(pixels.buffer, pixels.byteOffset, pixels.byteLength),
    });
    await publish(c.topics.color, timeNs, image("rgb8", c.color.data, 3));
    // Little-endian 16-bit words, as the depth drivers publish them on x86 and arm64.
    await publish(c.topics.depth, timeNs, image("16UC1", c.depth.data, 2));
  }
}
await writer.end();
writable.close();

const endNs = startNs + BigInt(frames - 1) * periodNs;
const messageCount = [...channels.values()].reduce((sum, c) => sum + c.count, 0);
const times = {
  starting_time: { nanoseconds_since_epoch: startNs },
  duration: { nanoseconds: endNs - startNs },
  message_count: messageCount,
};
const metadata = {
  rosbag2_bagfile_information: {
    version: 5,
    storage_identifier: "mcap",
    ...times,
    topics_with_message_count: [...channels].map(([name, c]) => ({
      topic_metadata: {
        name,
        type: c.type,
        serialization_format: "cdr",
        offered_qos_profiles: offeredQos(name === topics.kTfStatic),
      },
      message_count: c.count,
    })),
    compression_format: "",
    compression_mode: "",
    relative_file_paths: [fileName],
    files: [{ path: fileName, ...times }],
  },
};
fs.writeFileSync(path.join(outDir, "metadata.yaml"), YAML.stringify(metadata, { aliasDuplicateObjects: false }));
console.log(`${path.join(outDir, fileName)}: ${messageCount} messages on ${channels.size} topics`);
