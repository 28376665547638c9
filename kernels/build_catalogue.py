#!/usr/bin/env python3
"""Compiles the GEMM kernel for every catalogue entry and writes the C++ source
that embeds the sixteen images (an sm_86 cubin and its PTX text per entry).

    build_catalogue.py --source fp16_native_kernel.py --requirements requirements.txt
                       --cache-dir DIR --output kernel_images.cpp

The result is cached under DIR, keyed by the kernel source, this script and the
pinned Triton release, so a second build tree copies it instead of compiling
again. Any image that breaks the launch contract fails the build.
"""
import argparse
import hashlib
import os
import re
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

# Catalogue order: each side N with FP16, then FP32 accumulation.
CATALOGUE = [(n, fp16) for n in (256, 1024, 4096, 8192) for fp16 in (True, False)]
ENTRY = "fp16_native_gemm"
THREADS = 128
TILE = 128  # BLOCK_M = BLOCK_N of the kernel: one block per 128×128 tile of C
SHARED_BYTES = 32768
CAPABILITY = 86
PTX_VERSION = 87
NUM_WARPS = 4
# The pinned release keeps num_stages - 1 tiles in shared memory: 3 gives the
# two 16 KB stages (A 128×32 and B 32×128 each) where cp.async fills one while
# the other feeds the tensor cores. With 2 it keeps a single 16 KB buffer and
# waits for every refill (cp.async.wait_group 0 straight after issuing it).
NUM_STAGES = 3
LICENCE_LINES = 23
LICENCE_BYTES = 1132


class BuildError(Exception):
    pass


def pinned_version(requirements: bytes) -> str:
    match = re.search(rb"^triton==([0-9][0-9A-Za-z.+-]*)\s*$", requirements, re.MULTILINE)
    if not match:
        raise BuildError("requirements.txt must pin Triton exactly (triton==X.Y.Z)")
    return match.group(1).decode()


def licence_notice(source: bytes) -> bytes:
    """The /* ... */ block at the head of the kernel source, LF-ended."""
    start = source.find(b"/*\n")
    end = source.find(b"\n*/\n")
    if start < 0 or end < start:
        raise BuildError("kernel source has no /* ... */ licence notice")
    notice = source[start:end + 4]
    lines = notice.split(b"\n")[:-1]
    if (len(notice) != LICENCE_BYTES or len(lines) != LICENCE_LINES or b"\r" in notice
            or not notice.isascii() or any(line != line.rstrip() for line in lines)
            or not all(line.startswith(b"*") for line in lines[1:])):
        raise BuildError(f"licence notice must be {LICENCE_LINES} LF-ended lines of {LICENCE_BYTES} "
                         f"ASCII bytes without trailing blanks, got {len(lines)} lines, {len(notice)} bytes")
    return notice


def cache_key(source: bytes, script: bytes, version: str) -> str:
    digest = hashlib.sha256()
    for part in (source, script, version.encode()):
        digest.update(len(part).to_bytes(8, "little"))
        digest.update(part)
    return digest.hexdigest()


def write_atomically(path: Path, data: bytes) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, temp = tempfile.mkstemp(dir=path.parent, prefix=path.name + ".", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.chmod(temp, 0o644)
        os.replace(temp, path)
    except BaseException:
        if os.path.exists(temp):
            os.unlink(temp)
        raise


def prune_cache(cache_dir: Path, keep: Path, entries: int = 4) -> None:
    """Drops all but the newest few catalogues; a stale one is only a miss."""
    others = sorted((p for p in cache_dir.glob("catalogue-*.cpp") if p != keep),
                    key=lambda p: p.stat().st_mtime, reverse=True)
    for path in others[entries - 1:]:
        try:
            path.unlink()
        except OSError:
            pass


# --- Compilation -------------------------------------------------------------

def load_kernel(source_path: Path):
    import importlib
    sys.dont_write_bytecode = True  # nothing lands in the source tree
    sys.path.insert(0, str(source_path.parent))
    module = importlib.import_module(source_path.stem)
    # The catalogue's tile drives the launch grid: it must be the kernel's.
    tile = [getattr(block, "value", block) for block in (module.BLOCK_M, module.BLOCK_N)]
    if tile != [TILE, TILE]:
        raise BuildError(f"the kernel's tile is {tile[0]}x{tile[1]}, the catalogue's {TILE}x{TILE}")
    return getattr(module, ENTRY)


def compile_image(kernel, n: int, fp16: bool):
    import triton
    from triton.backends.compiler import GPUTarget
    from triton.compiler import ASTSource

    aligned = [["tt.divisibility", 16]]
    source = ASTSource(
        kernel,
        signature={"A": "*fp16", "B": "*fp16", "C": "*fp16", "N": "constexpr", "FP16_ACC": "constexpr"},
        constexprs={"N": n, "FP16_ACC": fp16},
        attrs={(0,): aligned, (1,): aligned, (2,): aligned},
    )
    options = {"num_warps": NUM_WARPS, "num_stages": NUM_STAGES, "ptx_version": PTX_VERSION,
               "enable_fp_fusion": True}
    return triton.compile(source, target=GPUTarget("cuda", CAPABILITY, 32), options=options)


def ptxas_path() -> str:
    import triton
    try:
        return triton.knobs.nvidia.ptxas.path
    except Exception:
        return str(Path(triton.__file__).parent / "backends" / "nvidia" / "bin" / "ptxas")


def ptxas_usage(ptxas: str, ptx: str, workdir: Path):
    """(registers per thread, spill bytes) that ptxas -v reports for sm_86."""
    ptx_file = workdir / "check.ptx"
    ptx_file.write_text(ptx)
    run = subprocess.run([ptxas, "-v", "--regAllocOptLevel=2", f"--gpu-name=sm_{CAPABILITY}",
                          str(ptx_file), "-o", str(workdir / "check.cubin")],
                         capture_output=True, text=True)
    log = run.stdout + run.stderr
    if run.returncode != 0:
        raise BuildError(f"ptxas failed on the PTX:\n{log}")
    registers = re.search(r"Used (\d+) registers", log)
    spills = re.search(r"(\d+) bytes spill stores, (\d+) bytes spill loads", log)
    if not registers or not spills:
        raise BuildError(f"unexpected ptxas -v output:\n{log}")
    return int(registers.group(1)), int(spills.group(1)) + int(spills.group(2))


def check_image(label: str, fp16: bool, ptx: str, cubin: bytes, metadata) -> None:
    problems = []
    for directive in (".version 8.7", ".target sm_86", ".address_size 64"):
        if not re.search(rf"^{re.escape(directive)}\s*$", ptx, re.MULTILINE):
            problems.append(f"PTX lacks '{directive}'")
    entry = re.search(rf"\.visible\s+\.entry\s+{ENTRY}\s*\(([^)]*)\)", ptx)
    if not entry:
        problems.append(f"PTX has no entry {ENTRY}")
    else:
        params = re.findall(r"\.param\s+\.(\w+)", entry.group(1))
        if params != ["u64"] * 5:
            problems.append(f"entry parameters are {params}, not five .u64")
    if not re.search(rf"\.reqntid\s+{THREADS}\b", ptx):
        problems.append(f"PTX does not require {THREADS} threads")
    mma = re.findall(r"\bmma\.sync\.aligned\.(\S+?)[\s;]", ptx)
    want = "m16n8k16.row.col.f16.f16.f16.f16" if fp16 else "m16n8k16.row.col.f32.f16.f16.f32"
    if not mma or set(mma) != {want}:
        problems.append(f"tensor-core instructions {sorted(set(mma))}, expected only mma.sync.aligned.{want}")
    # FP32 sums reach C rounded to nearest even, and by nothing else.
    roundings = set(re.findall(r"\bcvt\.(\w+)\.f16(?:x2)?\.f32\b", ptx))
    if not fp16 and roundings != {"rn"}:
        problems.append(f"float-to-half conversions {sorted(roundings)}, expected only cvt.rn")
    if metadata.num_warps != NUM_WARPS:
        problems.append(f"num_warps {metadata.num_warps}")
    if metadata.shared > SHARED_BYTES:
        problems.append(f"needs {metadata.shared} bytes of shared memory")
    # The launcher passes null for both scratch pointers.
    for field in ("global_scratch_size", "profile_scratch_size"):
        if getattr(metadata, field, 0):
            problems.append(f"needs {field} {getattr(metadata, field)}")
    if len(cubin) < 64 or cubin[:4] != b"\x7fELF" or cubin[4] != 2:
        problems.append("cubin is not a 64-bit ELF image")
    else:
        machine = struct.unpack_from("<H", cubin, 18)[0]
        flags = struct.unpack_from("<I", cubin, 48)[0]
        if machine != 190 or flags & 0xFF != CAPABILITY:
            problems.append(f"cubin is for machine {machine}, flags {flags:#x}, not CUDA sm_86")
    if problems:
        raise BuildError(f"{label}: " + "; ".join(problems))


# --- Generated source --------------------------------------------------------

def c_bytes(data: bytes) -> str:
    lines, line = [], ""
    for byte in data:
        item = f"{byte},"
        if len(line) + len(item) > 100:
            lines.append(line)
            line = ""
        line += item
    lines.append(line)
    return "\n".join(lines)


def c_string_lines(text: bytes) -> str:
    out = []
    for line in text.decode("ascii").split("\n")[:-1]:
        escaped = line.replace("\\", "\\\\").replace('"', '\\"')
        out.append(f'    "{escaped}\\n"')
    return "\n".join(out)


def generate(images, source_sha: str, notice: bytes, version: str) -> str:
    parts = [
        "// Generated by kernels/build_catalogue.py from kernels/fp16_native_kernel.py",
        f"// with triton=={version}; do not edit.",
    ]
    parts += [f"// {img['summary']}" for img in images]
    parts += ['#include "bench/embedded_kernels.h"', "", "namespace fpbench {", "namespace {", ""]
    for i, img in enumerate(images):
        parts.append(f"alignas(16) const unsigned char kCubin{i}[] = {{\n{c_bytes(img['cubin'])}\n}};")
        ptx_with_nul = img["ptx"] + bytes(1)
        parts.append(f"const char kPtx{i}[] = {{\n{c_bytes(ptx_with_nul)}\n}};")
        parts.append("")
    parts += ["}  // namespace", "",
              f'const char* const KernelSourceSha256 = "{source_sha}";', "",
              "namespace embedded {", "", f"const KernelEntry kKernels[{len(images)}] = {{"]
    for i, img in enumerate(images):
        parts.append(f'    {{{img["n"]}u, {"true" if img["fp16"] else "false"}, kCubin{i}, '
                     f'{len(img["cubin"])}u, kPtx{i}, "{ENTRY}", {SHARED_BYTES}u, {THREADS}u, {TILE}u,\n'
                     f'     "{img["sha256"]}"}},')
    parts += ["};", "", "const char kLicenceNotice[] =", c_string_lines(notice) + ";", "",
              "}  // namespace embedded", "}  // namespace fpbench", ""]
    return "\n".join(parts)


def build(source_path: Path, source: bytes, version: str) -> str:
    # Line information would embed this checkout's path in every image; without
    # it the images (and their digests) depend on nothing but the inputs.
    os.environ["TRITON_DISABLE_LINE_INFO"] = "1"
    os.environ.setdefault("TRITON_DEFAULT_FP_FUSION", "1")
    with tempfile.TemporaryDirectory(prefix="tessmor-kernels-") as work:
        # A private Triton cache: nothing from ~/.triton, nothing left behind.
        os.environ["TRITON_CACHE_DIR"] = str(Path(work) / "triton-cache")
        import triton
        if triton.__version__ != version:
            raise BuildError(f"Triton {triton.__version__} is installed, but requirements.txt pins {version}; "
                             "run tools/build to reinstall build/venv")
        kernel = load_kernel(source_path)
        ptxas = ptxas_path()
        images = []
        for n, fp16 in CATALOGUE:
            label = f"{ENTRY} n={n} {'fp16' if fp16 else 'fp32'}_acc"
            compiled = compile_image(kernel, n, fp16)
            ptx, cubin = compiled.asm["ptx"], compiled.asm["cubin"]
            check_image(label, fp16, ptx, cubin, compiled.metadata)
            registers, spills = ptxas_usage(ptxas, ptx, Path(work))
            if spills:
                raise BuildError(f"{label}: ptxas reports {spills} spill bytes")
            sha = hashlib.sha256(cubin).hexdigest()
            summary = (f"{label}: {registers} registers/thread, 0 spill bytes, "
                       f"shared {compiled.metadata.shared} B, cubin {len(cubin)} B, PTX {len(ptx)} B")
            print(summary, flush=True)
            images.append({"n": n, "fp16": fp16, "cubin": cubin, "ptx": ptx.encode("ascii"),
                           "sha256": sha, "summary": summary})
    source_sha = hashlib.sha256(source).hexdigest()
    return generate(images, source_sha, licence_notice(source), version)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source", type=Path, required=True)
    parser.add_argument("--requirements", type=Path, required=True)
    parser.add_argument("--cache-dir", type=Path, required=True)
    parser.add_argument("--output", type=Path, required=True)
    args = parser.parse_args()
    try:
        source = args.source.read_bytes()
        version = pinned_version(args.requirements.read_bytes())
        licence_notice(source)
        key = cache_key(source, Path(__file__).read_bytes(), version)
        cached = args.cache_dir / f"catalogue-{key}.cpp"
        if cached.is_file():
            text = cached.read_text()
            print(f"kernel catalogue: reusing {cached.name}")
            for line in text.splitlines():
                if line.startswith(f"// {ENTRY} "):
                    print(line[3:])
        else:
            text = build(args.source.resolve(), source, version)
            write_atomically(cached, text.encode())
            prune_cache(args.cache_dir, keep=cached)
        # An unchanged output keeps its time stamp, so nothing downstream rebuilds.
        if not args.output.is_file() or args.output.read_bytes() != text.encode():
            write_atomically(args.output, text.encode())
    except BuildError as error:
        print(f"build_catalogue.py: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
