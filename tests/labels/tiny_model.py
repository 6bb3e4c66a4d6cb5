#!/usr/bin/python3
"""Writes tiny ONNX detection networks whose outputs are known, for the label tests:
good.onnx  - input 1x3x64x64, output 1x2x7 in the single-output YOLO layout (cx, cy, w, h,
             objectness, two class scores), the same whatever the picture: a zero-weight
             convolution whose bias is the output.
wrong.onnx - the same with an output of shape 1x14.
Usage: tiny_model.py <folder>"""
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

ROWS = np.array([[32, 32, 16, 32, 0.9, 0.1, 0.8],   # a "car" (class 1), score 0.72
                 [10, 10, 8, 8, 0.2, 0.5, 0.5]],     # too weak
                dtype=np.float32)


def write(path, shape):
    n = ROWS.size
    weight = numpy_helper.from_array(np.zeros((n, 3, 64, 64), np.float32), "w")
    bias = numpy_helper.from_array(ROWS.reshape(-1), "b")
    target = numpy_helper.from_array(np.array(shape, np.int64), "shape")
    nodes = [helper.make_node("Conv", ["images", "w", "b"], ["c"], kernel_shape=[64, 64]),
             helper.make_node("Reshape", ["c", "shape"], ["output"])]
    graph = helper.make_graph(
        nodes, "tiny", [helper.make_tensor_value_info("images", TensorProto.FLOAT, [1, 3, 64, 64])],
        [helper.make_tensor_value_info("output", TensorProto.FLOAT, shape)], [weight, bias, target])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 11)])
    model.ir_version = 6
    onnx.checker.check_model(model)
    onnx.save(model, path)


write(sys.argv[1] + "/good.onnx", [1, 2, 7])
write(sys.argv[1] + "/wrong.onnx", [1, 14])
