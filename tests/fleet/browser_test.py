#!/usr/bin/env python3
"""Screens a small simulated fleet and compares two of its runs with the program (argv[1]); renders fleet.html and
compare.html offline in headless Chromium and checks their DOM against fleet.csv and the verdicts."""
import csv, html, os, re, subprocess, sys, tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HOSTILE = "<script>alert(1)</script><img src=x>"
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from pages import render, table  # noqa: E402
with tempfile.TemporaryDirectory() as tmp:
    # Four GPUs of one kind, one of them 10 % slow, one of another kind named with markup, one folder without a run.
    for i, extra in enumerate([{}, {}, {}, {"TESSMOR_SIM_TFLOPS": "90", "TESSMOR_SIM_TFLOPS_FP32": "45"},
                               {"TESSMOR_SIM_DEVICE0_NAME": HOSTILE}]):
        env = dict(os.environ, TESSMOR_SIM_DEVICE0_UUID=f"GPU-00000000-0000-4000-8000-{i:012d}", **extra)
        subprocess.run([os.path.join(ROOT, "tools", "with-sim"), "--", sys.argv[1], "--output", f"{tmp}/fleet/n{i}/g",
                        "--sizes", "256", "--trials", "5", "--sample-ms", "10", "--warmup-seconds", "0"],
                       env=env, check=True, stderr=subprocess.DEVNULL)
    os.makedirs(f"{tmp}/fleet/n5/g")
    screen = subprocess.run([sys.argv[1], "fleet", f"{tmp}/fleet", "--output", f"{tmp}/screen", "--warn-below", "4",
                             "--fail-below", "8"], capture_output=True)
    compare = subprocess.run([sys.argv[1], "compare", f"{tmp}/fleet/n0/g", f"{tmp}/fleet/n3/g", "--output",
                              f"{tmp}/compare"], capture_output=True)
    with open(f"{tmp}/screen/fleet.csv", encoding="utf-8") as f:
        lines = list(csv.DictReader(f))
    fleet, compared = render(tmp, f"{tmp}/screen/fleet.html"), render(tmp, f"{tmp}/compare/compare.html")
# fleet.csv lists each GPU's worst row first: the page's line for the GPU.
worst = {}
for line in lines:
    worst.setdefault(line["folder"], line)
expected = [[folder, line["uuid"], line["name"], line["verdict"],
             f"{float(line['median_TFLOPS']):.2f}" if line["median_TFLOPS"] else "\u2014"]
            for folder, line in worst.items()]
shown = [[c[0], c[1].replace("\u2014", ""), c[2].replace("\u2014", ""), c[3], c[6]] for c in table(fleet, "gpus")]
median = float(lines[-1]["cohort_median_TFLOPS"])
failed = [message for ok, message in [
    (screen.returncode == 2 and compare.returncode == 2, f"exit codes {screen.returncode}, {compare.returncode}"),
    (shown == expected, f"GPU table {shown}, expected {expected}"),
    ([v for v, *_ in table(fleet, "flagged")] == ["fail", "unreadable"], "flagged list is not fail, unreadable"),
    ("no result.json" in table(fleet, "gpus")[1][4], "unreadable folder without its reason"),
    (f"warn below {median * 0.96:.2f} \u00b7 fail below {median * 0.92:.2f}" in fleet, "threshold lines"),
    (re.search(r'<circle class="fail"[^>]*><title>[^<]*00000000-0000-4000-8000-000000000003', fleet), "no slow dot"),
    (HOSTILE not in fleet and "<script" not in fleet + compared and "<img" not in fleet, "markup from a name"),
    (html.escape(HOSTILE, quote=False) in fleet, "the hostile name is not shown as text"),
    ([r[10] for r in table(compared, "rows")] == ["slower", "slower"], "compare verdicts are not slower"),
    (compared.count('<circle class="base"') == compared.count('<circle class="new"') == 10, "not every trial drawn"),
] if not ok]
sys.exit("browser_test: " + "; ".join(failed) if failed else 0)
