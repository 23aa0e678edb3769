"""
The karate club's two factions
==============================

Zachary's karate club split into two clubs after a dispute between its
instructor and its administrator. The embedding knows nothing about the
split, only who trained with whom; a two-dimensional PCA of it still puts
the two factions on different sides.
"""

import matplotlib.pyplot as plt
import networkx as nx
import numpy as np

import graphripple

graph = nx.karate_club_graph()
emb, nodes = graphripple.embed_labelled(
    graph, dim=64, weights=(0.0, 1.0, 1.0, 1.0), seed=42, normalization="l2"
)
print(emb.shape, emb.dtype)

# %%
# Two principal components, from the singular vectors of the centred rows.
centred = emb - emb.mean(axis=0)
_, _, components = np.linalg.svd(centred, full_matrices=False)
points = centred @ components[:2].T

clubs = [graph.nodes[node]["club"] for node in nodes]
colours = {"Mr. Hi": "tab:blue", "Officer": "tab:orange"}

fig, ax = plt.subplots(figsize=(6, 5))
for u, v in graph.edges():
    ax.plot(*points[[u, v]].T, color="0.85", linewidth=0.6, zorder=1)
for club, colour in colours.items():
    rows = [i for i, c in enumerate(clubs) if c == club]
    ax.scatter(
        *points[rows].T,
        s=60,
        color=colour,
        edgecolor="white",
        label=club,
        zorder=2,
    )
for i, node in enumerate(nodes):
    ax.annotate(
        str(node), points[i], fontsize=7, ha="center", va="center", zorder=3
    )
ax.set_xlabel("first principal component")
ax.set_ylabel("second principal component")
ax.set_title("Karate club: 2-D PCA of a 64-column embedding")
ax.legend(title="club after the split")
fig.tight_layout()

# %%
# How well does one line split them? The sign of the first component,
# compared with the club each member joined:
side = points[:, 0] > 0
joined_hi = np.array([c == "Mr. Hi" for c in clubs])
agreement = max(np.mean(side == joined_hi), np.mean(side != joined_hi))
print(
    f"the first component's sign matches the split for {agreement:.0%}"
    " of the members"
)
