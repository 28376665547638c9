#!/usr/bin/env python3
"""The core of `fleet`, plainly, as the yardstick tools/fleet-bench holds the program against:

    reference.py ROOT

reads every result.json under ROOT with orjson, groups the GPUs into cohorts (name, SM count, compute capability),
takes each cohort's median per size and accumulator, and works out every GPU's deviation from it. Prints how many
GPUs and rows it judged."""
import os, statistics, sys
from collections import defaultdict

import orjson


def main(root):
    medians = defaultdict(list)  # (cohort, N, mode) -> every GPU's median
    gpus = []
    for folder, _, files in os.walk(root):
        if "result.json" not in files:
            continue
        with open(os.path.join(folder, "result.json"), "rb") as f:
            document = orjson.loads(f.read())
        device = document["device"]
        cohort = (device["name"].strip(), device["sm_count"], device["major"], device["minor"])
        rows = [((cohort, row["n"], row["mode"]), row["median_tflops"]) for row in document["rows"]]
        for key, median in rows:
            medians[key].append(median)
        gpus.append((folder, rows))
    reference = {key: statistics.median(values) for key, values in medians.items()}
    deviations = [(folder, key, 100 * (median / reference[key] - 1)) for folder, rows in gpus for key, median in rows]
    print(f"{len(gpus)} GPUs, {len(deviations)} rows, {sum(d < -3.5 for _, _, d in deviations)} at least 3.5 % below")


if __name__ == "__main__":
    main(sys.argv[1])
