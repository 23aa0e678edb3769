#!/usr/bin/env python3
"""Writes the small seed corpus of each fuzz target into fuzz/corpus/<target>/.

Each seed is the sequence of values its target decodes, in decoding order.
The targets read every value from the end of the input backwards, so a
seed is the reversed sequence of its bytes (64-bit values most significant
byte first in reading order).
"""
import pathlib

ONE, HALF, FIVE, MINUS_TWO = 122, 121, 130, 116  # decoded weights 1.0, 0.5, 5.0, -2.0
NAN, INF, NEG_ZERO = 0xF4, 0xF2, 0xF1


def seed(*values):
    out = bytearray()
    for v in values:
        if isinstance(v, tuple):  # (value, byte count): wide integers
            value, width = v
            out += value.to_bytes(width, "big")
        else:
            out.append(v)
    return bytes(reversed(out))


def csr_seeds():
    # flags, size, then per row: length, (column, weight) per entry, then
    # the perturbation amounts.
    unsorted = [0x00, 3, 3, 2, ONE, 0, FIVE, 2, HALF, 0, 1, 1, NAN]
    long_row = [0x00, 2, 0xF5] + [b for k in range(26) for b in ((7 * k) % 2, ONE)] + [0]
    return {
        "empty_graph": seed(0x00, 0),
        "unsorted_repeated": seed(*unsorted),
        "long_row": seed(*long_row),
        "wrong_row_ptrs_length": seed(0x01, *unsorted[1:], 1),
        "values_too_short": seed(0x02, *unsorted[1:], 1),
        "nonzero_start": seed(0x04, *unsorted[1:], 2),
        "wrong_end": seed(0x08, *unsorted[1:], 0, 1),
        "decreasing": seed(0x10, *unsorted[1:], 1, 2),
        "column_out_of_range": seed(0x00, 2, 2, 0, ONE, 0xFF, ONE, 0),
        "largest_num_nodes": seed(0x80, 0),
    }


def adj_seeds():
    # n, then per list: length, (target, weight) per pair.
    return {
        "empty_list": seed(0),
        "three_without_edges": seed(3, 0, 0, 0),
        "repeated_targets": seed(3, 3, 2, ONE, 0, ONE, 2, 0x80 + 6, 0, 0),
        "self_loop_and_nan": seed(2, 2, 0, ONE, 1, NAN, 1, 0, INF),
        "out_of_bounds": seed(3, 1, 0xFC, ONE, 1, 0xFF, ONE, 0),
        "long_list": seed(2, 0xF8, *[b for k in range(29) for b in ((k * 5) % 2, HALF)], 0),
    }


def dense_seeds():
    # shape, layout, elements (a byte below 0x7F is 0.0, 0x7F is -0.0, else
    # a weight byte follows), dim, weight count, weights, seed, undirected,
    # feature byte [, feature layout and elements, feature weight].
    tail = [4, 3, 0, ONE, ONE, (42, 8), 1]
    two = [2, 0, 0, 0x80, FIVE, 0x7F, 0]
    return {
        "empty_matrix": seed(0, 0, *tail, 0),
        "two_nodes_row_major": seed(*two, *tail, 0),
        "two_nodes_column_major": seed(2, 1, 0, 0x80, FIVE, 0x7F, 0, *tail, 0),
        "three_nodes_padded_directed": seed(3, 3, 0x80, ONE, 0, 0x80, MINUS_TWO, 0x80, NAN, 0, 0x80, HALF, 0, 0,
                                            8, 2, ONE, ONE, (7, 8), 0, 0),
        "with_features": seed(*two, *tail, 0x05, 0, 0x80, ONE, 0x80, HALF, 0, 0x80, MINUS_TWO, ONE),
        "feature_rows_mismatch": seed(*two, *tail, 0xF9, 0, *([0x80, ONE] * 12), ONE),
        "not_square": seed(0xF1, 0, *([0] * 6)),
    }


def main():
    root = pathlib.Path(__file__).resolve().parent / "corpus"
    for target, seeds in (("from_csr_fuzz", csr_seeds()), ("adj_list_fuzz", adj_seeds()),
                          ("dense_fit_fuzz", dense_seeds())):
        folder = root / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
