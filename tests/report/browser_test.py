#!/usr/bin/env python3
"""Renders report.html of a simulated run (argv[1]: the program) offline in headless Chromium; checks its DOM."""
import json, os, re, statistics, subprocess, sys, tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from pages import render, table  # noqa: E402
with tempfile.TemporaryDirectory() as tmp:
    run = os.path.join(tmp, "run")
    subprocess.run([os.path.join(ROOT, "tools", "with-sim"), "--", sys.argv[1], "--headless", "--output", run,
                    "--sizes", "256,1024", "--trials", "3", "--sample-ms", "10", "--warmup-seconds", "0"],
                   env=dict(os.environ, TESSMOR_SIM_NVML_CLOCK_DROP="9:1400"), check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(run, "result.json"), encoding="utf-8") as f:
        result = json.load(f)
    dom = render(tmp, f"{run}/report.html")
# The results table's rows as cell texts, and the class and trial number of each chart mark.
shown = table(dom, "results")
marks = [(m.group(1).split()[0], int(m.group(2))) for m in re.finditer(r'class="([^"]*)"[^>]*data-trial="(\d+)"', dom)]
known = lambda value, text: text if value >= 0 else "\u2014"  # an unknown reading is a dash
trials = result["trials"]
mine = lambda row, key: [t[key] for t in trials if (t["n"], t["mode"]) == (row["n"], row["mode"])]
def noise(row):  # the sample standard deviation of the row's trials, in percent of their mean
    return f"\u00b1 {100 * statistics.stdev(mine(row, 'tflops')) / statistics.mean(mine(row, 'tflops')):.1f} %"
# Compute capability 8.6 does 1024 dense FP16 FLOP per SM and cycle; the peak is taken at the run's highest clock.
peak = result["device"]["sm_count"] * max(t["sm_clock_mhz"] for t in trials) * 1e6 * 1024 / 1e12
rows = [[str(r["n"]), r["mode"][:4].upper(), f"{r['median_tflops']:.2f}", noise(r),
         f"{100 * r['median_tflops'] / peak:.1f} %",
         f"{r['min_tflops']:.2f} \u2013 {r['max_tflops']:.2f}", f"{r['median_ms']:#.4g}",
         f"{statistics.median(mine(r, 'batch_ms')):#.3g}",
         known(r["sm_clock_mhz"], str(r["sm_clock_mhz"])), known(r["power_w"], f"{r['power_w']:.1f}"),
         known(r["temperature_c"], str(r["temperature_c"])),
         "通过 / PASS" if r["validation_passed"] and r["guards_intact"] else "失败 / FAIL"] for r in result["rows"]]
peak = max(t["sm_clock_mhz"] for t in trials)
low = [i + 1 for i, t in enumerate(trials) if 0 <= t["sm_clock_mhz"] < 0.9 * peak]
failed = [message for ok, message in [
    (shown == rows, f"results table {shown}, expected {rows}"),
    (dom.count("<svg") == 3, f"{dom.count('<svg')} charts, not 3"),
    ([n for c, n in marks if c == "trial"] == list(range(1, len(trials) + 1)), "not one mark per trial"),
    (low and [n for c, n in marks if c == "low"] == low, f"low-clock marks, expected trials {low}"),
    (f"{len(low)} of {len(trials)} trials" in dom, "no clock-drop line")] if not ok]
sys.exit("browser_test: " + "; ".join(failed) if failed else 0)
