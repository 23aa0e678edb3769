"""
A directed citation graph
=========================

In a citation graph an edge u → v means that paper u cites paper v, and the
direction matters: a paper is characterised both by what it cites and by
what cites it. ``undirected=False, direction="both"`` keeps the two apart:
the first ``dim`` columns propagate along the citations (out-edges), the
next ``dim`` against them (in-edges).

The graph here is a growing network with copying (``networkx.gnc_graph``):
each new paper cites an earlier one and everything that one cites, so old
papers collect many citations and new ones cite long chains.
"""

import matplotlib.pyplot as plt
import networkx as nx
import numpy as np

import graphripple

graph = nx.gnc_graph(400, seed=5)
dim = 32
emb, nodes = graphripple.embed_labelled(
    graph,
    dim=dim,
    weights=(0.0, 1.0, 1.0),
    seed=11,
    undirected=False,
    direction="both",
    normalization="l2",
)
print(emb.shape)  # 2 * dim columns: out, then in

# %%
# The two halves are two fits of their own: the out-direction with the
# seed, the in-direction with the seed plus ``DIRECTION_SEED_OFFSET``.
out_only = graphripple.embed(
    graph,
    dim=dim,
    seed=11,
    undirected=False,
    direction="out",
    normalization="l2",
)
in_only = graphripple.embed(
    graph,
    dim=dim,
    seed=(11 + graphripple.DIRECTION_SEED_OFFSET) % 2**64,
    undirected=False,
    direction="in",
    normalization="l2",
)
assert np.array_equal(emb[:, :dim], out_only) and np.array_equal(
    emb[:, dim:], in_only
)


# %%
# Each half seen through its first principal component, against how often a
# paper is cited and how many papers it cites. The in-half sorts papers by
# their citers, the out-half by their references.
def first_component(block):
    centred = block - block.mean(axis=0)
    return centred @ np.linalg.svd(centred, full_matrices=False)[2][0]


cited = np.array([graph.in_degree(n) for n in nodes])
cites = np.array([graph.out_degree(n) for n in nodes])
age = np.arange(len(nodes))  # gnc_graph adds the papers in order

fig, axes = plt.subplots(1, 2, figsize=(10, 4.2))
fig.suptitle("gnc_graph(400): out- and in-embeddings; marker size: references")
for ax, block, title in (
    (axes[0], emb[:, :dim], "out-half (along citations)"),
    (axes[1], emb[:, dim:], "in-half (against citations)"),
):
    shown = ax.scatter(
        first_component(block),
        np.log1p(cited),
        c=age,
        s=12 + 2 * cites,
        cmap="viridis",
    )
    ax.set_title(title)
    ax.set_xlabel("first principal component")
    ax.set_ylabel("log(1 + times cited)")
fig.colorbar(shown, ax=axes, label="paper number (age order)")

# %%
# Papers with the same references are close in the out-half; papers cited by
# the same papers are close in the in-half. The neighbours of the most cited
# paper differ between the two:
hub = int(np.argmax(cited))
out_near, _ = graphripple.most_similar(emb[:, :dim], [hub], k=5)
in_near, _ = graphripple.most_similar(emb[:, dim:], [hub], k=5)
print("most cited paper:", nodes[hub], "cited", cited[hub], "times")
print("nearest by references:", [int(nodes[i]) for i in out_near[0]])
print("nearest by citers:    ", [int(nodes[i]) for i in in_near[0]])
