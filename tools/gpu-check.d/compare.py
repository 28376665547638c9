#!/usr/bin/env python3
"""Compares what kernel_probe and cublas_bench wrote with torch.matmul and
prints the gpu-check table. Usage: compare.py WORKDIR. Exit code 1 when a
kernel is wrong, touched its guard bytes or a sanitizer found something.

The inputs are multiples of 1/16 with |x| <= 1/2, so every FP32 sum is exact:
the reference (FP32 product rounded to half) is the exact result, an FP32-
accumulating kernel must match it bit for bit, and an FP16-accumulating one
stays within a worst-case bound: N/16 half-precision roundings (one per
m16n8k16 step), each at most half an ulp of a partial sum, taken as no larger
than twice the largest result.
"""
import math
import json
import re
import sys
from pathlib import Path

import numpy as np
import torch


def read_tsv(path):
    rows = {}
    if path.is_file():
        for line in path.read_text().splitlines():
            fields = line.split("\t")
            rows[(int(fields[0]), fields[1])] = fields[2:]
    return rows


def read_findings(path):
    findings = {}
    if path.is_file():
        for line in path.read_text().splitlines():
            n, acc, finding = line.split("\t", 2)
            findings.setdefault((int(n), acc), []).append(finding)
    return findings


def load(path, n):
    data = np.fromfile(path, dtype=np.float16)
    if data.size != n * n:
        raise SystemExit(f"compare.py: {path} holds {data.size} elements, expected {n * n}")
    return torch.from_numpy(data.reshape(n, n)).cuda()


def max_error(path, n, reference):
    if not path.is_file():
        return None
    error = (load(path, n).float() - reference).abs()
    return float(error.max()) if bool(torch.isfinite(error).all()) else math.inf


def program_table(work, cublas):
    """The program's own summary rows (headless run) next to cuBLAS."""
    summary = work / "headless" / "summary.csv"
    failures = []
    print()
    if not summary.exists():
        print("tessmor-bench: no summary.csv (the headless run failed)")
        return ["tessmor-bench headless run wrote no summary"]
    lines = summary.read_text(encoding="utf-8-sig").splitlines()
    header = ["N", "accumulator", "median TFLOPS", "min", "max", "check", "cuBLAS TFLOPS", "ratio"]
    rows = []
    for line in lines[1:]:
        f = line.split(",")
        n, acc = int(f[0]), f[1].split("_")[0]
        theirs = float(cublas[(n, acc)][2]) if (n, acc) in cublas else None
        median = float(f[2])
        rows.append([f[0], f[1], f"{median:.1f}", f"{float(f[3]):.1f}", f"{float(f[4]):.1f}", f[9],
                     f"{theirs:.1f}" if theirs else "n/a", f"{median / theirs:.2f}" if theirs else "n/a"])
        if f[9] != "PASS":
            failures.append(f"tessmor-bench N={n} {acc}: validation {f[9]}")
    widths = [max(len(r[i]) for r in [header] + rows) for i in range(len(header))]
    print("tessmor-bench --headless (summary.csv) next to cuBLAS:")
    for row in [header, ["-" * w for w in widths]] + rows:
        print("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip())
    # A document that no JSON reader accepts is a failure of its own.
    document = json.loads((work / "headless" / "result.json").read_text(encoding="utf-8"))
    status = document["status"]
    clocks = [t["sm_clock_mhz"] for t in document["trials"] if t["sm_clock_mhz"] >= 0]
    low = sum(1 for clock in clocks if clock < 0.9 * max(clocks)) if clocks else 0
    print(f"tessmor-bench status: {status}; SM clock " +
          (f"{min(clocks)}-{max(clocks)} MHz, below 90 % of its peak in {low} of {len(document['trials'])} trials"
           if clocks else "not read"))
    if status != "completed":
        failures.append(f"tessmor-bench run {status}")
    if not (work / "headless" / "report.html").is_file():
        failures.append("tessmor-bench wrote no report.html")
    memcheck = work / "program-memcheck.txt"
    if memcheck.exists():
        note = memcheck.read_text().strip()
        print(f"tessmor-bench {note}")
        if not re.search(r": 0 errors?|refused|skipped", note):
            failures.append(f"tessmor-bench {note}")
    return failures


def main():
    work = Path(sys.argv[1])
    torch.backends.cuda.matmul.allow_tf32 = False
    torch.backends.cuda.matmul.allow_fp16_reduced_precision_reduction = False
    probe = read_tsv(work / "probe.tsv")
    cublas = read_tsv(work / "cublas.tsv")
    findings = read_findings(work / "sanitizer.tsv")
    sizes = sorted({n for n, _ in probe})

    header = ["N", "acc", "our TFLOPS", "cuBLAS TFLOPS", "ratio", "max error (cuBLAS)", "sanitizer findings"]
    rows, failures = [], []
    for n in sizes:
        a, b = load(work / f"A_{n}.f16", n), load(work / f"B_{n}.f16", n)
        reference = (a.float() @ b.float()).half().float()
        bound = (n / 16) * 2.0 ** -11 * 2 * float(reference.abs().max())
        del a, b
        for acc in ("fp16", "fp32"):
            if (n, acc) not in probe:
                continue
            backend, _gemms, _ms, ours, guards = probe[(n, acc)]
            ours = float(ours)
            theirs = float(cublas[(n, acc)][2]) if (n, acc) in cublas else None
            error = max_error(work / f"C_{n}_{acc}.f16", n, reference)
            cublas_error = max_error(work / f"cublas_C_{n}_{acc}.f16", n, reference)
            limit = 0.0 if acc == "fp32" else bound
            if error is None or not error <= limit:
                failures.append(f"N={n} {acc}: max error {error} exceeds {limit:g}")
            if guards != "ok":
                failures.append(f"N={n} {acc}: guard bytes around C modified")
            notes = findings.get((n, acc), ["not run (N > 1024)"])
            for note in notes:
                if not re.search(r": (0 errors?|0 hazards)\b|not run|refused|skipped|timed out", note):
                    failures.append(f"N={n} {acc}: {note}")
            rows.append([
                str(n), f"{acc} ({backend})", f"{ours:.1f}",
                f"{theirs:.1f}" if theirs else "n/a",
                f"{ours / theirs:.2f}" if theirs else "n/a",
                ("missing" if error is None else f"{error:.4g}")
                + ("" if cublas_error is None else f" ({cublas_error:.4g})"),
                "; ".join(notes + ([] if guards == "ok" else ["GUARDS MODIFIED"])),
            ])
        del reference
        torch.cuda.empty_cache()

    widths = [max(len(r[i]) for r in [header] + rows) for i in range(len(header))]
    for row in [header, ["-" * w for w in widths]] + rows:
        print("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip())
    for failure in failures:
        print(f"FAIL {failure}")
    missing = []
    if any(row[3] == "n/a" for row in rows):
        missing.append("cuBLAS not timed")
    if any(re.search(r"refused|skipped|timed out", row[6]) for row in rows):
        missing.append("a sanitizer refused, timed out or was skipped")
    failures += program_table(work, cublas)
    verdict = "all checks passed" if not failures else f"{len(failures)} check(s) failed"
    print(f"gpu-check: {verdict}" + (f" ({'; '.join(missing)})" if missing else ""))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
