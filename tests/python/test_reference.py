"""Embeddings equal, bit for bit, a plain NumPy computation of the same formula.

The reference below re-derives everything independently of the native code:
the per-row generator (SplitMix64 seeding, xoshiro256++ steps, top 24 bits as
the uniform draw), the sign projection, the node-feature blend, A + A^T, and
the float32 propagation with every product and sum rounded in order.
"""

import hashlib

import numpy as np
import pytest

import graphripple

U64 = np.uint64
GOLDEN = 0x9E3779B97F4A7C15
F32 = np.float32
PLUS = np.array([0x3FDDB3D7], dtype=np.uint32).view(np.float32)[0]  # float32 sqrt(3)


# ---- randomness ------------------------------------------------------------------

def _rotl(x, k):
    return (x << U64(k)) | (x >> U64(64 - k))


def seeded_states(seeds):
    """SplitMix64 expansion of each seed into a xoshiro256++ state."""
    seeds = np.asarray(seeds, dtype=U64)
    state = []
    for k in range(1, 5):
        x = seeds + U64(k * GOLDEN % 2**64)
        z = (x ^ (x >> U64(30))) * U64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> U64(27))) * U64(0x94D049BB133111EB)
        state.append(z ^ (z >> U64(31)))
    return state


def next_u64(state):
    s0, s1, s2, s3 = state
    result = _rotl(s0 + s3, 23) + s0
    t = s1 << U64(17)
    s2 = s2 ^ s0
    s3 = s3 ^ s1
    s1 = s1 ^ s2
    s0 = s0 ^ s3
    s2 = s2 ^ t
    s3 = _rotl(s3, 45)
    state[:] = [s0, s1, s2, s3]
    return result


def projection(rows, cols, base):
    """rows x cols sign projection; row i drawn from seed base + i."""
    out = np.zeros((rows, cols), dtype=F32)
    if rows == 0:
        return out
    state = seeded_states(U64(base) + np.arange(rows, dtype=U64))
    for j in range(cols):
        top = next_u64(state) >> U64(40)
        out[top < 2796203, j] = PLUS
        out[(top >= 2796203) & (top < 5592406), j] = -PLUS
    return out


# ---- the embedding formula -------------------------------------------------------

def canonical_rows(n, entries):
    """Per-row sorted columns with repeated (row, column) weights summed in order."""
    rows = [dict() for _ in range(n)]
    for r, c, w in entries:
        rows[r][c] = w + rows[r][c] if c in rows[r] else w
    return [sorted(row.items()) for row in rows]


def symmetrised(rows):
    n = len(rows)
    forward = [dict(row) for row in rows]
    backward = [dict() for _ in range(n)]
    for r, row in enumerate(rows):
        for c, w in row:
            backward[c][r] = w
    result = []
    for i in range(n):
        merged = []
        for j in sorted(set(forward[i]) | set(backward[i])):
            if j in forward[i] and j in backward[i]:
                value = forward[i][j] + backward[i][j]
            else:
                value = forward[i].get(j, backward[i].get(j)) + 0.0
            if value != 0.0:
                merged.append((j, value))
        result.append(merged)
    return result


def propagate(rows, current):
    nxt = np.zeros_like(current)
    for r, row in enumerate(rows):
        if not row:
            continue
        inv = F32(1.0) / F32(len(row))
        for c, w in row:
            nxt[r] = nxt[r] + current[c] * (F32(w) * inv)
    return nxt


def initial_embedding(n, dim, seed, features, feature_weight):
    x0 = projection(n, dim, seed)
    if features is None or features.shape[1] == 0:
        return x0
    f = projection(features.shape[1], dim, (seed + GOLDEN) % 2**64)
    beta = F32(feature_weight)
    with np.errstate(invalid="ignore", over="ignore"):
        rounded = features.astype(F32)
        for a in range(n):
            total = np.zeros(dim, dtype=F32)
            for j in range(features.shape[1]):
                x = rounded[a, j]
                if x == 0.0:
                    continue
                m = f[j]
                total = np.where(m != 0.0, total + m * x, total)
            x0[a] = total * beta + x0[a]
    return x0


def reference_fit(n, entries, dim, weights, seed, undirected=True, features=None, feature_weight=1.0):
    rows = canonical_rows(n, entries)
    if undirected:
        rows = symmetrised(rows)
    current = initial_embedding(n, dim, seed, features, feature_weight)
    accumulator = np.zeros((n, dim), dtype=F32)
    with np.errstate(invalid="ignore", over="ignore"):
        for i, w in enumerate(weights):
            if w != 0.0:
                accumulator = accumulator + current * F32(w)
            if i == len(weights) - 1:
                break
            current = propagate(rows, current)
    return accumulator


def assert_bitwise_equal(got, expected):
    assert got.dtype == np.float32 and got.shape == expected.shape
    nan = np.isnan(expected)
    np.testing.assert_array_equal(np.isnan(got), nan)
    np.testing.assert_array_equal(got.view(np.uint32)[~nan], expected.view(np.uint32)[~nan])


# ---- the reference itself, against published values ------------------------------

def test_generator_reference_values():
    state = seeded_states([0])
    assert [int(s[0]) for s in state] == [
        0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4, 0x06C45D188009454F, 0xF88BB8A8724C81EC]
    assert [int(next_u64(state)[0]) for _ in range(3)] == [
        0x53175D61490B23DF, 0x61DA6F3DC380D507, 0x5C0FDF91EC9A7BFC]


@pytest.mark.parametrize(
    "rows, cols, seed, digest",
    [
        (4, 16, 0, "574c2907746b8029f7df1f9428fbf3ec5909decb7f1e4d7163602bb5c8d0624e"),
        (100, 64, 42, "877a022e5798d750f8d140763e7866c251a4a5278c2d73345455018e5dd3594a"),
        (3, 7, 2**64 - 1, "cbfda1482005577c92f1dc0602f6a84a670b84f83b946f286cf0cf76809af0a2"),
    ],
)
def test_projection_digests(rows, cols, seed, digest):
    assert hashlib.sha256(projection(rows, cols, seed).tobytes()).hexdigest() == digest
    # With one weight of 1.0 the embedding is the projection itself.
    result = graphripple.fit_adj_list([[] for _ in range(rows)], cols, [1.0], seed=seed)
    assert hashlib.sha256(result.tobytes()).hexdigest() == digest


# ---- whole fits ------------------------------------------------------------------

def random_entries(rng, n, count, with_specials=False):
    entries = [(int(rng.integers(n)), int(rng.integers(n)), float(rng.choice([-1.5, 0.0, 0.25, 1.0, 3.0])))
               for _ in range(count)]
    if with_specials and n > 1:
        entries += [(0, 1, 1.0), (1, 0, -1.0), (0, 0, 2.5), (n - 1, 0, 1e40), (1, 1, 1e-50)]
    return entries


def to_csr(n, entries):
    order = sorted(range(len(entries)), key=lambda k: entries[k][0])
    rows = np.array([entries[k][0] for k in order], dtype=np.int64)
    row_ptrs = np.zeros(n + 1, dtype=np.int64)
    np.add.at(row_ptrs, rows + 1, 1)
    return (np.cumsum(row_ptrs), np.array([entries[k][1] for k in order], dtype=np.int64),
            np.array([entries[k][2] for k in order], dtype=np.float64))


CASES = [
    # n, edge count, dim, weights, seed, undirected, feature columns
    (1, 0, 5, [1.0], 0, True, 0),
    (2, 1, 4, [0.0, 1.0], 3, False, 0),
    (5, 9, 8, [0.0, 1.0, 1.0], 11, True, 0),
    (5, 9, 8, [0.5, -1.0, 2.0, 0.25], 11, False, 0),
    (17, 40, 12, [1.0, 1.0, 1.0, 1.0, 1.0], 2**64 - 3, True, 3),
    (17, 40, 12, [0.0, 1.0, 0.0, 1.0], 99, False, 2),
    (30, 120, 16, [1e-50, 1.0, -0.0, 0.3], 5, True, 4),
    (30, 120, 3, [], 5, True, 1),
]


@pytest.mark.parametrize("n, count, dim, weights, seed, undirected, feature_cols", CASES)
def test_fit_matches_reference(n, count, dim, weights, seed, undirected, feature_cols):
    rng = np.random.default_rng(n * 1000 + count)
    entries = random_entries(rng, n, count, with_specials=True)
    features = None
    if feature_cols:
        features = rng.choice([0.0, 1.0, -2.0, 0.5, 1e300], size=(n, feature_cols))
    kwargs = dict(seed=seed, undirected=undirected, node_features=features, feature_weight=0.75)
    expected = reference_fit(n, entries, dim, weights, seed, undirected, features, 0.75)

    row_ptrs, col_indices, values = to_csr(n, entries)
    assert_bitwise_equal(graphripple.fit_csr(row_ptrs, col_indices, values, n, dim, weights, **kwargs),
                         expected)
    adj_list = [[] for _ in range(n)]
    for r, c, w in entries:
        adj_list[r].append((c, w))
    assert_bitwise_equal(graphripple.fit_adj_list(adj_list, dim, weights, **kwargs), expected)


@pytest.mark.parametrize("undirected", [True, False])
def test_dense_matches_reference(undirected):
    rng = np.random.default_rng(4)
    matrix = rng.choice([0.0, 0.0, -0.0, 1.0, -2.0, 0.5], size=(9, 9))
    matrix[3, 4] = np.nan
    entries = [(r, c, matrix[r, c]) for r in range(9) for c in range(9) if matrix[r, c] != 0.0]
    expected = reference_fit(9, entries, 6, [0.2, 1.0, 1.0], 8, undirected)
    result = graphripple.fit_dense(matrix, 6, [0.2, 1.0, 1.0], seed=8, undirected=undirected)
    assert_bitwise_equal(result, expected)
    assert np.isnan(result).any()


def test_single_directed_edge():
    x0 = projection(2, 6, 21)
    directed = graphripple.fit_dense(np.array([[0.0, 2.0], [0.0, 0.0]]), 6, [0.0, 1.0], seed=21,
                                     undirected=False)
    assert_bitwise_equal(directed, np.stack([x0[1] * F32(2.0), np.zeros(6, F32)]))
    both = graphripple.fit_dense(np.array([[0.0, 2.0], [0.0, 0.0]]), 6, [0.0, 1.0], seed=21)
    assert_bitwise_equal(both, np.stack([x0[1] * F32(2.0), x0[0] * F32(2.0)]))
