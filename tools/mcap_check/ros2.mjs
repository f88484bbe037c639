// What both scripts share: the node's topic names, the ROS 2 definitions of the recorded types
// in the recorder's "ros2msg" form, a CRC-32, and zstd through wasm.
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { ros2humble } from "@foxglove/rosmsg-msgs-common";
import { parse } from "@foxglove/rosmsg";
import zstd from "@foxglove/wasm-zstd";

export const workspace = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");

// The node's topic table (harness/include/veltrax_harness/topics.hpp), read rather than copied.
export function nodeTopics() {
  const text = fs.readFileSync(
    path.join(workspace, "harness/include/veltrax_harness/topics.hpp"),
    "utf8",
  );
  const topics = {};
  for (const [, name, values] of text.matchAll(/const char \* (k\w+)(?:\[2\])? =\s*([^;]+);/g)) {
    const names = [...values.matchAll(/"([^"]+)"/g)].map((m) => m[1]);
    topics[name] = names.length === 1 ? names[0] : names;
  }
  return topics;
}

// "sensor_msgs/msg/Image" -> the .msg text of it and of every type it uses, each dependency
// after a line of 80 '=' and "MSG: pkg/Type", depth first in name order, as rosbag2 writes it.
export function ros2msgDefinition(type) {
  const shortName = (name) => name.replace("/msg/", "/");
  const fieldText = (field) => {
    const fieldType = field.type === "time" ? "builtin_interfaces/Time" : field.type;
    const array = field.isArray ? `[${field.arrayLength ?? ""}]` : "";
    if (field.isConstant) {
      return `${fieldType} ${field.name} = ${field.valueText ?? field.value}`;
    }
    return `${fieldType}${array} ${field.name}`;
  };
  const dependencies = (definition) =>
    [
      ...new Set(
        definition.definitions
          .filter((f) => f.isComplex || f.type === "time")
          .map((f) => (f.type === "time" ? "builtin_interfaces/Time" : f.type)),
      ),
    ].sort();
  const seen = new Set([shortName(type)]);
  let text = "";
  const append = (name) => {
    const definition = ros2humble[name];
    if (definition === undefined) {
      throw new Error(`no definition of ${name}`);
    }
    if (text !== "") {
      text += `\n${"=".repeat(80)}\nMSG: ${name}\n`;
    }
    text += definition.definitions.map(fieldText).join("\n") + "\n";
    for (const dependency of dependencies(definition)) {
      if (!seen.has(dependency)) {
        seen.add(dependency);
        append(dependency);
      }
    }
  };
  append(shortName(type));
  return text;
}

// The definitions rosmsg2-serialization works from, parsed from a schema's text.
export function parseDefinition(text) {
  return parse(text, { ros2: true });
}

// As Humble's recorder stores a publisher's offered QoS (reliable; volatile or transient local).
export function offeredQos(transientLocal) {
  const infinite = "    sec: 2147483647\n    nsec: 4294967295\n";
  return (
    `- history: 3\n  depth: 0\n  reliability: 1\n  durability: ${transientLocal ? 1 : 2}\n` +
    `  deadline:\n${infinite}  lifespan:\n${infinite}  liveliness: 1\n` +
    `  liveliness_lease_duration:\n${infinite}  avoid_ros_namespace_conventions: false`
  );
}

export async function zstdCodec() {
  await zstd.isLoaded;
  return zstd;
}
