#!/usr/bin/env python3
"""Renders report.html of a simulated run (argv[1]: the program) offline in headless Chromium; checks its DOM."""
import json, os, shutil, subprocess, sys, tempfile
from html.parser import HTMLParser

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class Page(HTMLParser):
    """Cell texts of the results table; class and trial number of each chart mark."""
    def __init__(self):
        super().__init__()
        self.rows, self.marks, self.charts, self.table, self.cell = [], [], 0, None, None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        self.table = a.get("id") if tag == "table" else self.table
        if self.table == "results" and tag == "tr":
            self.rows.append([])
        self.cell = "" if self.table == "results" and tag == "td" else self.cell
        self.charts += tag == "svg"
        if "data-trial" in a:
            self.marks.append((a["class"].split()[0], int(a["data-trial"])))

    def handle_endtag(self, tag):
        if tag == "td" and self.cell is not None:
            self.rows[-1].append(self.cell)
            self.cell = None
        self.table = None if tag == "table" else self.table

    def handle_data(self, data):
        self.cell = None if self.cell is None else self.cell + data


chromium = shutil.which("chromium") or sys.exit(
    "browser_test: no 'chromium' on PATH; install the Debian package chromium (tools/build linux does)")
with tempfile.TemporaryDirectory() as tmp:
    run = os.path.join(tmp, "run")
    subprocess.run([os.path.join(ROOT, "tools", "with-sim"), "--", sys.argv[1], "--headless", "--output", run,
                    "--sizes", "256,1024", "--trials", "3", "--sample-ms", "10", "--warmup-seconds", "0"],
                   env=dict(os.environ, TESSMOR_SIM_NVML_CLOCK_DROP="9:1400"), check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(run, "result.json"), encoding="utf-8") as f:
        result = json.load(f)
    command = [chromium, "--headless", "--no-sandbox", "--disable-gpu", f"--user-data-dir={tmp}/profile",
               "--dump-dom", f"file://{run}/report.html"]
    # No network: a private network namespace where allowed, else a proxy that leads nowhere.
    if subprocess.run(["unshare", "-rn", "true"], capture_output=True).returncode == 0:
        command = ["unshare", "-rn"] + command
    else:
        command += ["--proxy-server=127.0.0.1:9", "--proxy-bypass-list=<-loopback>"]
    dom = subprocess.run(command, capture_output=True, text=True, check=True, timeout=90).stdout
page = Page()
page.feed(dom)
known = lambda value, text: text if value >= 0 else "\u2014"  # an unknown reading is a dash
rows = [[str(r["n"]), r["mode"][:4].upper(), f"{r['median_tflops']:.2f}",
         f"{r['min_tflops']:.2f} \u2013 {r['max_tflops']:.2f}", f"{r['median_ms']:#.4g}",
         known(r["sm_clock_mhz"], str(r["sm_clock_mhz"])), known(r["power_w"], f"{r['power_w']:.1f}"),
         known(r["temperature_c"], str(r["temperature_c"])),
         "通过 / PASS" if r["validation_passed"] and r["guards_intact"] else "失败 / FAIL"] for r in result["rows"]]
trials = result["trials"]
peak = max(t["sm_clock_mhz"] for t in trials)
low = [i + 1 for i, t in enumerate(trials) if 0 <= t["sm_clock_mhz"] < 0.9 * peak]
failed = [message for ok, message in [
    ([r for r in page.rows if r] == rows, f"results table {page.rows}, expected {rows}"),
    (page.charts == 3, f"{page.charts} charts, not 3"),
    ([n for c, n in page.marks if c == "trial"] == list(range(1, len(trials) + 1)), "not one mark per trial"),
    (low and [n for c, n in page.marks if c == "low"] == low, f"low-clock marks, expected trials {low}"),
    (f"{len(low)} of {len(trials)} trials" in dom, "no clock-drop line")] if not ok]
sys.exit("browser_test: " + "; ".join(failed) if failed else 0)

