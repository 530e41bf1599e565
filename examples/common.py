"""A folder of small catalogue files for the examples to read."""
import os
import random

GENRES = ["poetry", "history", "science", "fiction", "travel"]


def write_catalogues(folder, files=40, books=250, seed=7):
    """Writes `files` catalogues of `books` books each; returns their paths."""
    rng = random.Random(seed)
    paths = []
    for f in range(files):
        rows = []
        for b in range(books):
            genre = rng.choice(GENRES)
            price = f"{rng.uniform(3, 60):.2f}"
            rows.append(
                f'  <book id="c{f}-b{b}" genre="{genre}">\n'
                f"    <title>Title {f}.{b} &amp; more</title>\n"
                f"    <price currency='EUR'>{price}</price>\n"
                f"  </book>\n"
            )
        path = os.path.join(folder, f"catalogue-{f:03d}.xml")
        with open(path, "w", encoding="utf-8") as out:
            out.write(f'<?xml version="1.0" encoding="utf-8"?>\n<catalogue shop="{f}">\n{"".join(rows)}</catalogue>\n')
        paths.append(path)
    return paths
