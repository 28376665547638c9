#!/usr/bin/env python3
"""Screens a small simulated fleet and compares two of its runs with the program (argv[1]); renders fleet.html and
compare.html offline in headless Chromium and checks their DOM against expectations written out here."""
import html, os, re, subprocess, sys, tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HOSTILE = "<script>alert(1)</script><img src=x>"
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from pages import render, table  # noqa: E402


def uuid(i):
    return f"GPU-00000000-0000-4000-8000-{i:012d}"


with tempfile.TemporaryDirectory() as tmp:
    # Four GPUs of one kind, the fourth 15 % (FP16) and 10 % (FP32) slow; one of another kind named with markup; a folder without a run.
    for i, extra in enumerate([{}, {}, {}, {"TESSMOR_SIM_TFLOPS": "85", "TESSMOR_SIM_TFLOPS_FP32": "45"},
                               {"TESSMOR_SIM_DEVICE0_NAME": HOSTILE}]):
        env = dict(os.environ, TESSMOR_SIM_DEVICE0_UUID=uuid(i), **extra)
        subprocess.run([os.path.join(ROOT, "tools", "with-sim"), "--", sys.argv[1], "--output", f"{tmp}/fleet/n{i}/gpu0",
                        "--sizes", "256", "--trials", "5", "--sample-ms", "10", "--warmup-seconds", "0"],
                       env=env, check=True, stderr=subprocess.DEVNULL)
    os.makedirs(f"{tmp}/fleet/n5/gpu0")
    screen = subprocess.run([sys.argv[1], "fleet", f"{tmp}/fleet", "--output", f"{tmp}/screen", "--warn-below", "4",
                             "--fail-below", "8"], capture_output=True)
    compare = subprocess.run([sys.argv[1], "compare", f"{tmp}/fleet/n0/gpu0", f"{tmp}/fleet/n3/gpu0", "--output",
                              f"{tmp}/compare"], capture_output=True)
    fleet, compared = render(tmp, f"{tmp}/screen/fleet.html"), render(tmp, f"{tmp}/compare/compare.html")
    folder = lambda n: f"{tmp}/fleet/n{n}/gpu0"  # noqa: E731
    # verdict, folder, UUID, name, N, accumulator, median, reference, deviation: worst first, each GPU's worst row.
    expected = [["fail", folder(3), uuid(3), "Tessmor Simulated GPU", "256", "fp16_acc", "85.00", "100.00", "-15.0 %"],
                ["unreadable", folder(5), "\u2014", "\u2014", "\u2014", "\u2014", "\u2014", "\u2014", "\u2014"],
                ["alone", folder(4), uuid(4), HOSTILE, "256", "fp16_acc", "100.00", "\u2014", "\u2014"]] + \
               [["ok", folder(n), uuid(n), "Tessmor Simulated GPU", "256", "fp16_acc", "100.00", "100.00", "0.0 %"]
                for n in range(3)]
shown = [[c[0], c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9]] for c in table(fleet, "gpus")]
failed = [message for ok, message in [
    (screen.returncode == 2 and compare.returncode == 2, f"exit codes {screen.returncode}, {compare.returncode}"),
    (shown == expected, f"GPU table {shown}, expected {expected}"),
    ([r[0] for r in table(fleet, "flagged")] == ["fail", "unreadable", "alone"], "flagged list"),
    ("no result.json" in table(fleet, "gpus")[1][1], "unreadable folder without its reason"),
    ([r[:3] for r in table(fleet, "nodes")] == [["n0", "ok", "none"], ["n1", "ok", "none"], ["n2", "ok", "none"],
                                                ["n3", "fail", "drain"], ["n4", "alone", "list"],
                                                ["n5", "unreadable", "list"]], f"nodes {table(fleet, 'nodes')}"),
    ("reference 100.00 TFLOPS \u00b7 warn below 96.00 \u00b7 fail below 92.00" in fleet, "threshold lines"),
    (re.search(r'<circle class="bad"[^>]*><title>[^<]*00000000-0000-4000-8000-000000000003', fleet), "no slow dot"),
    (HOSTILE not in fleet and "<script" not in fleet + compared and "<img" not in fleet, "markup from a name"),
    (html.escape(HOSTILE, quote=False) in fleet, "the hostile name is not shown as text"),
    ([r[10] for r in table(compared, "rows")] == ["slower", "slower"], "compare verdicts are not slower"),
    (compared.count('<circle class="base"') == compared.count('<circle class="new"') == 10, "not every trial drawn"),
] if not ok]
sys.exit("browser_test: " + "; ".join(failed) if failed else 0)
