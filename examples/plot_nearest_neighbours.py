"""
Nearest neighbours of a node
============================

``graphripple.most_similar`` ranks the rows of an embedding by cosine
similarity to a query row. On a graph of communities the nearest rows of a
node are mostly members of its own community, including ones it has no
edge to.
"""

import matplotlib.pyplot as plt
import networkx as nx
import numpy as np

import graphripple

# Six communities of 25 nodes: dense inside, sparse between.
sizes = [25] * 6
graph = nx.stochastic_block_model(
    sizes, np.where(np.eye(6, dtype=bool), 0.3, 0.01), seed=3
)
community = np.repeat(np.arange(6), sizes)

emb = graphripple.embed(
    graph, dim=64, weights=(0.0, 1.0, 1.0, 1.0), seed=1, normalization="l2"
)

query = 0
indices, scores = graphripple.most_similar(emb, [query], k=10)
neighbours, neighbour_scores = indices[0], scores[0]
for node, score in zip(neighbours, neighbour_scores):
    linked = "edge" if graph.has_edge(query, int(node)) else "no edge"
    print(
        f"node {node:3d}  community {community[node]}"
        f"  cosine {score:.3f}  ({linked})"
    )
print(
    "share in the query's community:",
    np.mean(community[neighbours] == community[query]),
)

# %%
# The graph drawn with the query in black and its ten nearest rows in red.
layout = nx.spring_layout(graph, seed=2)
fig, (left, right) = plt.subplots(
    1, 2, figsize=(10, 4.5), gridspec_kw={"width_ratios": [3, 2]}
)
nx.draw_networkx_edges(graph, layout, ax=left, alpha=0.15)
nx.draw_networkx_nodes(
    graph,
    layout,
    ax=left,
    node_size=25,
    node_color=community,
    cmap="tab10",
    vmin=0,
    vmax=9,
)
nx.draw_networkx_nodes(
    graph,
    layout,
    nodelist=[int(n) for n in neighbours],
    ax=left,
    node_size=70,
    node_color="none",
    edgecolors="red",
    linewidths=1.5,
)
nx.draw_networkx_nodes(
    graph, layout, nodelist=[query], ax=left, node_size=90, node_color="black"
)
left.set_title(f"node {query} (black) and its 10 nearest rows (red rings)")
left.set_axis_off()

right.barh(
    np.arange(10)[::-1],
    neighbour_scores,
    color=[plt.cm.tab10(community[n]) for n in neighbours],
)
right.set_yticks(np.arange(10)[::-1], [str(n) for n in neighbours])
right.set_xlabel("cosine similarity")
right.set_ylabel("node")
right.set_xlim(min(0.0, float(neighbour_scores.min())), 1.0)
right.set_title("scores, coloured by community")
fig.tight_layout()
