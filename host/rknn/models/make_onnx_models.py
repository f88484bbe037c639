#!/usr/bin/python3
"""Writes the ONNX models of the host NPU runtime's onnx backend (host/rknn/README.md) and
their host model files, so no test or demo downloads a network.

  key_detector_640.onnx   batch 1, 640 x 640 RGB in 0..1, 8 classes: a detector with hand-set
                          weights that finds the regions painted in the class key colours
  yolov5s_random_640.onnx batch 2, the YOLOv5s 640 layout with seeded random weights
  bad_*.onnx              models the runtime must refuse or survive

Usage: make_onnx_models.py OUT_DIR
"""
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

SIZE = 640
CLASSES = 8
ANCHORS = [(10, 13), (16, 30), (33, 23), (30, 61), (62, 45), (59, 119), (116, 90), (156, 198),
           (373, 326)]
STRIDES = (8, 16, 32)
# Class key colours, R, G, B (the colour-key backend's table) and its per-channel tolerance.
KEY_COLOURS = [(255, 0, 128), (0, 255, 128), (128, 0, 255), (255, 128, 0), (0, 128, 255),
               (128, 255, 0), (255, 0, 255), (0, 255, 255)]
KEY_TOLERANCE = 4
# Logit written for "yes" and "no" in objectness and class channels.
YES_LOGIT = 2.0


class Graph:
    """A small builder of ONNX graphs restricted to what OpenCV 4.6's importer runs: constants
    broadcast only when they carry every dimension but the batch."""

    def __init__(self):
        self.nodes = []
        self.initializers = []
        self.count = 0

    def name(self, prefix):
        self.count += 1
        return "%s_%d" % (prefix, self.count)

    def const(self, array):
        name = self.name("c")
        self.initializers.append(numpy_helper.from_array(np.asarray(array, np.float32), name))
        return name

    def op(self, op_type, inputs, **attributes):
        out = self.name(op_type.lower())
        self.nodes.append(helper.make_node(op_type, inputs, [out], **attributes))
        return out

    def conv(self, x, weight, bias=None, stride=1, pad=0, group=1):
        weight = np.asarray(weight, np.float32)
        inputs = [x, self.const(weight)]
        if bias is not None:
            inputs.append(self.const(bias))
        k = weight.shape[2]
        return self.op("Conv", inputs, kernel_shape=[k, weight.shape[3]], strides=[stride, stride],
                       pads=[pad] * 4, group=group)

    def linear(self, x, matrix, bias):
        """1 x 1 convolution: out[o] = sum_i matrix[o][i] x[i] + bias[o]."""
        matrix = np.asarray(matrix, np.float32)
        return self.conv(x, matrix.reshape(matrix.shape[0], matrix.shape[1], 1, 1), bias)

    def relu(self, x):
        return self.op("Relu", [x])

    def max_pool(self, x, kernel, stride, pad=(0, 0)):
        return self.op("MaxPool", [x], kernel_shape=list(kernel), strides=list(stride),
                       pads=[pad[0], pad[1], pad[0], pad[1]])

    def concat(self, xs):
        return self.op("Concat", list(xs), axis=1)

    def save(self, path, inputs, outputs):
        graph = helper.make_graph(self.nodes, "g", inputs, outputs, self.initializers)
        model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 11)],
                                  producer_name="make_onnx_models.py")
        model.ir_version = 6
        onnx.checker.check_model(model)
        onnx.save(model, path)


def tensor_info(name, shape):
    return helper.make_tensor_value_info(name, TensorProto.FLOAT, list(shape))


def head_channels(classes):
    return 3 * (5 + classes)


# --- The key-colour detector ------------------------------------------------------------------
#
# Per class a binary mask scores the key colour (two 1 x 1 convolutions). Max-pooling the mask
# times a coordinate ramp gives, per stride-8 block, the class's rightmost, leftmost, lowest and
# highest pixel; pooling on gives the same per 16 and 32 px cell. Each head then looks at a
# window of cells around each cell: a class region lies wholly inside it when widening the
# window by one cell changes none of the four extents. The cell that holds the region's box
# centre and some of its pixels, in the finest head whose window holds the region whole, writes
# the box in YOLOv5 form on one anchor (larger regions only reach the coarser heads).

# Per head: anchor index used, window radius in cells.
KEY_HEADS = [(2, 3), (2, 4), (1, 6)]


def clip01(g, x, channels, scale, threshold):
    """Step of (x - threshold) * scale to 0 .. 1 per channel (threshold an array per channel or
    a full-shape array)."""
    threshold = np.asarray(threshold, np.float32)
    if threshold.ndim <= 1:
        shifted = g.linear(x, np.eye(channels) * scale,
                           -np.broadcast_to(threshold, channels) * scale)
    else:
        shifted = g.linear(x, np.eye(channels) * scale, np.zeros(channels))
        shifted = g.op("Sub", [shifted, g.const(threshold * scale)])
    upper = g.linear(shifted, np.eye(channels), -np.ones(channels))
    return g.op("Sub", [g.relu(shifted), g.relu(upper)])


def key_detector(path, pixel_range):
    g = Graph()
    c = CLASSES
    # |pixel - key| - tolerance per class and channel, both signs: zero inside the tolerance.
    weight = np.zeros((6 * c, 3))
    bias = np.zeros(6 * c)
    for k, colour in enumerate(KEY_COLOURS):
        for ch in range(3):
            for sign_index, sign in enumerate((1.0, -1.0)):
                row = 6 * k + 2 * ch + sign_index
                weight[row, ch] = sign * 255.0 / pixel_range
                bias[row] = -sign * colour[ch] - KEY_TOLERANCE
    excess = g.relu(g.linear("images", weight, bias))
    mask_weight = np.zeros((c, 6 * c))
    for k in range(c):
        mask_weight[k, 6 * k:6 * k + 6] = -1.0
    mask = g.relu(g.linear(excess, mask_weight, np.ones(c)))  # 1 on the key colour, else 0

    blocks = SIZE // 8
    x = np.arange(SIZE, dtype=np.float32)
    # Rows of each block first, then the ramp, then the block's columns (and the transpose).
    rows = g.max_pool(mask, (8, 1), (8, 1))
    ramp_x = np.concatenate([np.broadcast_to(x + 1, (c, blocks, SIZE)),
                             np.broadcast_to(SIZE - x, (c, blocks, SIZE))])[None]
    right_left = g.max_pool(g.op("Mul", [g.concat([rows, rows]), g.const(ramp_x)]), (1, 8), (1, 8))
    cols = g.max_pool(mask, (1, 8), (1, 8))
    ramp_y = np.concatenate([np.broadcast_to((x + 1)[:, None], (c, SIZE, blocks)),
                             np.broadcast_to((SIZE - x)[:, None], (c, SIZE, blocks))])[None]
    bottom_top = g.max_pool(g.op("Mul", [g.concat([cols, cols]), g.const(ramp_y)]), (8, 1), (8, 1))
    # Channels per class group: max(x + 1), max(640 - x), max(y + 1), max(640 - y).
    extents = g.concat([right_left, bottom_top])
    presence = g.max_pool(mask, (8, 8), (8, 8))

    outputs = []
    previous_limit = 0  # regions up to this size are whole in the previous head's window
    for head, (stride, (anchor_index, radius)) in enumerate(zip(STRIDES, KEY_HEADS)):
        if head > 0:
            extents = g.max_pool(extents, (2, 2), (2, 2))
            presence = g.max_pool(presence, (2, 2), (2, 2))
        grid = SIZE // stride
        window = g.max_pool(extents, (2 * radius + 1,) * 2, (1, 1), (radius, radius))
        wider = g.max_pool(window, (3, 3), (1, 1), (1, 1))
        growth = g.op("Sub", [wider, window])

        # Per class: width, height, 2 * centre x, 2 * centre y.
        lin = np.zeros((4 * c, 4 * c))
        lin_bias = np.zeros(4 * c)
        for k in range(c):
            r, l, b, t = k, c + k, 2 * c + k, 3 * c + k
            lin[k, [r, l]] = 1.0
            lin[c + k, [b, t]] = 1.0
            lin[2 * c + k, r], lin[2 * c + k, l] = 1.0, -1.0
            lin[3 * c + k, b], lin[3 * c + k, t] = 1.0, -1.0
        lin_bias[:2 * c] = -SIZE
        lin_bias[2 * c:4 * c] = SIZE
        geometry = g.linear(window, lin, lin_bias)
        growth_sum = np.zeros((c, 4 * c))
        for k in range(c):
            growth_sum[k, [k, c + k, 2 * c + k, 3 * c + k]] = 1.0
        grown = g.linear(growth, growth_sum, np.zeros(c))

        # Indicators, each exactly 0 or 1 (extents are whole pixels).
        cell = np.arange(grid, dtype=np.float32) * stride
        low_x = np.broadcast_to(2 * cell - 0.5, (c, grid, grid))
        low_y = np.broadcast_to((2 * cell - 0.5)[:, None], (c, grid, grid))
        centre_x = g.linear(geometry, np.eye(4 * c)[2 * c:3 * c], np.zeros(c))
        centre_y = g.linear(geometry, np.eye(4 * c)[3 * c:4 * c], np.zeros(c))
        in_x = g.op("Sub", [clip01(g, centre_x, c, 4.0, low_x[None]),
                            clip01(g, centre_x, c, 4.0, low_x[None] + 2 * stride)])
        in_y = g.op("Sub", [clip01(g, centre_y, c, 4.0, low_y[None]),
                            clip01(g, centre_y, c, 4.0, low_y[None] + 2 * stride)])
        cut = clip01(g, grown, c, 4.0, 0.25)  # 1: the window cuts the region
        here = clip01(g, presence, c, 4.0, 0.25)  # 1: the region has pixels in this cell
        count = 3
        fire = g.op("Sub", [g.op("Add", [g.op("Add", [in_x, in_y]), here]), cut])
        if previous_limit > 0:
            # max(w, h) beyond what the previous head holds whole.
            w = g.linear(geometry, np.eye(4 * c)[:c], np.zeros(c))
            h = g.linear(geometry, np.eye(4 * c)[c:2 * c], np.zeros(c))
            longest = g.op("Add", [w, g.relu(g.op("Sub", [h, w]))])
            fire = g.op("Add", [fire, clip01(g, longest, c, 4.0, previous_limit + 0.25)])
            count += 1
        # fires_k = 1 when every indicator holds, else 0.
        fires = g.relu(g.linear(fire, np.eye(c), -np.full(c, count - 1.0)))

        # The firing class's geometry: every other class's value is pushed below zero first.
        big = 8.0 * SIZE
        gate = g.linear(fires, np.vstack([np.eye(c)] * 4) * big, np.full(4 * c, -big))
        selected = g.relu(g.op("Add", [geometry, gate]))
        pick = np.zeros((4, 4 * c))
        for q in range(4):
            pick[q, q * c:(q + 1) * c] = 1.0
        anchor_w, anchor_h = ANCHORS[3 * head + anchor_index]
        # Sigmoids the decoder must see: (2 s - 0.5 + cell) * stride = centre and
        # (2 s)^2 * anchor = size.
        size_ratio = g.linear(selected, np.array([pick[0] / anchor_w, pick[1] / anchor_h]),
                              np.zeros(2))
        size_sigmoid = g.linear(g.op("Sqrt", [g.relu(size_ratio)]), np.eye(2) * 0.5, np.zeros(2))
        centre_sigmoid = g.linear(selected, np.array([pick[2], pick[3]]) / (4.0 * stride),
                                  np.zeros(2))
        cell_index = np.arange(grid, dtype=np.float32)
        cell_term = np.stack([np.broadcast_to(0.25 - cell_index / 2, (grid, grid)),
                              np.broadcast_to((0.25 - cell_index / 2)[:, None], (grid, grid))])
        centre_sigmoid = g.op("Add", [centre_sigmoid, g.const(cell_term[None])])
        sigmoid = g.concat([centre_sigmoid, size_sigmoid])
        # Kept inside (0, 1) so the logit stays finite on cells that do not fire.
        low, high = 0.12, 0.88
        sigmoid = g.linear(g.op("Sub", [g.relu(g.linear(sigmoid, np.eye(4), -np.full(4, low))),
                                        g.relu(g.linear(sigmoid, np.eye(4), -np.full(4, high)))]),
                           np.eye(4), np.full(4, low))
        box = g.op("Sub", [g.op("Log", [sigmoid]),
                           g.op("Log", [g.linear(sigmoid, -np.eye(4), np.ones(4))])])
        scores = g.linear(fires, np.vstack([np.ones((1, c)), np.eye(c)]) * 2 * YES_LOGIT,
                          np.full(1 + c, -YES_LOGIT))
        blocks_per_anchor = []
        for a in range(3):
            if a == anchor_index:
                blocks_per_anchor += [box, scores]
            else:
                blocks_per_anchor.append(g.linear(fires, np.zeros((5 + c, c)),
                                                  np.r_[np.zeros(4), np.full(1 + c, -YES_LOGIT)]))
        name = "head%d" % stride
        g.nodes.append(helper.make_node("Concat", blocks_per_anchor, [name], axis=1))
        outputs.append(tensor_info(name, [1, head_channels(c), grid, grid]))
        previous_limit = 2 * radius * stride
    g.save(path, [tensor_info("images", [1, 3, SIZE, SIZE])], outputs)


# --- YOLOv5s, 640 layout, random weights -------------------------------------------------------

class RandomNet:
    """YOLOv5s (v6 layout: width 0.5, depth 0.33, SiLU, SPPF) with seeded random weights."""

    def __init__(self, g, seed):
        self.g = g
        self.rng = np.random.default_rng(seed)

    def conv(self, x, c1, c2, k=1, s=1, p=None, act=True, gain=1.0):
        weight = self.rng.normal(0.0, gain * np.sqrt(2.0 / (c1 * k * k)), (c2, c1, k, k))
        y = self.g.conv(x, weight, np.zeros(c2), stride=s, pad=k // 2 if p is None else p)
        return self.g.op("Mul", [y, self.g.op("Sigmoid", [y])]) if act else y

    def c3(self, x, c1, c2, n, shortcut=True):
        hidden = c2 // 2
        y = self.conv(x, c1, hidden)
        for _ in range(n):
            z = self.conv(self.conv(y, hidden, hidden), hidden, hidden, 3, gain=0.5)
            y = self.g.op("Add", [y, z]) if shortcut else z
        return self.conv(self.g.concat([y, self.conv(x, c1, hidden)]), 2 * hidden, c2)

    def sppf(self, x, c1, c2):
        hidden = c1 // 2
        y = [self.conv(x, c1, hidden)]
        for _ in range(3):
            y.append(self.g.max_pool(y[-1], (5, 5), (1, 1), (2, 2)))
        return self.conv(self.g.concat(y), 4 * hidden, c2)

    def upsample(self, x):
        return self.g.op("Resize", [x, self.g.const(np.zeros(0)), self.g.const([1, 1, 2, 2])],
                         mode="nearest", coordinate_transformation_mode="asymmetric",
                         nearest_mode="floor")


def yolov5s_random(path, batch, classes, seed=5):
    g = Graph()
    n = RandomNet(g, seed)
    x = n.conv("images", 3, 32, 6, 2, 2)
    x = n.conv(x, 32, 64, 3, 2)
    x = n.c3(x, 64, 64, 1)
    x = n.conv(x, 64, 128, 3, 2)
    p3 = n.c3(x, 128, 128, 2)
    x = n.conv(p3, 128, 256, 3, 2)
    p4 = n.c3(x, 256, 256, 3)
    x = n.conv(p4, 256, 512, 3, 2)
    x = n.c3(x, 512, 512, 1)
    x = n.sppf(x, 512, 512)
    h10 = n.conv(x, 512, 256)
    x = n.c3(g.concat([n.upsample(h10), p4]), 512, 256, 1, False)
    h14 = n.conv(x, 256, 128)
    out3 = n.c3(g.concat([n.upsample(h14), p3]), 256, 128, 1, False)
    out4 = n.c3(g.concat([n.conv(out3, 128, 128, 3, 2), h14]), 256, 256, 1, False)
    out5 = n.c3(g.concat([n.conv(out4, 256, 256, 3, 2), h10]), 512, 512, 1, False)
    outputs = []
    for stride, feature, channels in zip(STRIDES, (out3, out4, out5), (128, 256, 512)):
        name = "output%d" % len(outputs)
        head = n.conv(feature, channels, head_channels(classes), act=False, gain=0.1)
        g.nodes.append(helper.make_node("Identity", [head], [name]))
        outputs.append(tensor_info(name, [batch, head_channels(classes), SIZE // stride,
                                          SIZE // stride]))
    g.save(path, [tensor_info("images", [batch, 3, SIZE, SIZE])], outputs)


# --- Models the runtime refuses or survives ----------------------------------------------------

def pooled_heads(path, input_shape, head_count=3, channels=head_channels(CLASSES), nan=False):
    """Heads that average the input over each cell: the right layout at little cost."""
    g = Graph()
    size = input_shape[-1]
    image = "images"
    if len(input_shape) == 3:
        image = g.op("Unsqueeze", ["images"], axes=[0])
    outputs = []
    for stride in STRIDES[:head_count]:
        pooled = g.op("AveragePool", [image], kernel_shape=[stride, stride],
                      strides=[stride, stride])
        head = g.linear(pooled, np.full((channels, 3), 0.1), np.zeros(channels))
        if nan:
            head = g.op("Log", [g.linear(head, -np.eye(channels), -np.ones(channels))])
        name = "head%d" % stride
        g.nodes.append(helper.make_node("Identity", [head], [name]))
        outputs.append(tensor_info(name, [1, channels, size // stride, size // stride]))
    g.save(path, [tensor_info("images", input_shape)], outputs)


def model_file(path, onnx_path, batch, input_range, outputs):
    lines = [
        "# Written by make_onnx_models.py (host/rknn/README.md: backend onnx).",
        "host_rknn_model: 1",
        "input: {dims: [2, %d, %d, 3], fmt: NHWC, type: UINT8}" % (SIZE, SIZE),
        "classes: %d" % CLASSES,
        "outputs:",
    ] + ["  - %s" % o for o in outputs] + [
        "backend: onnx",
        "onnx: {path: %s, batch: %d, input_range: %d}" % (onnx_path, batch, input_range),
    ]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = os.path.abspath(sys.argv[1])
    os.makedirs(out, exist_ok=True)
    key = os.path.join(out, "key_detector_640.onnx")
    key_detector(key, 1.0)
    model_file(os.path.join(out, "key_detector_640.yaml"), key, 1, 1,
               ["{zp: 0, scale: 0.015625}"] * 3)
    yolo = os.path.join(out, "yolov5s_random_640.onnx")
    yolov5s_random(yolo, 2, CLASSES)
    model_file(os.path.join(out, "yolov5s_random_640.yaml"), yolo, 2, 1, ["measured"] * 3)

    with open(os.path.join(out, "bad_not_onnx.onnx"), "w") as f:
        f.write("host_rknn_model: 1  # a model file, not a network\n")
    pooled_heads(os.path.join(out, "bad_input_rank.onnx"), [3, SIZE, SIZE])
    pooled_heads(os.path.join(out, "bad_input_size.onnx"), [1, 3, 320, 320])
    pooled_heads(os.path.join(out, "bad_two_outputs.onnx"), [1, 3, SIZE, SIZE], head_count=2)
    pooled_heads(os.path.join(out, "bad_narrow_heads.onnx"), [1, 3, SIZE, SIZE],
                 channels=head_channels(4))
    pooled_heads(os.path.join(out, "bad_nan_outputs.onnx"), [1, 3, SIZE, SIZE], nan=True)


if __name__ == "__main__":
    main()
