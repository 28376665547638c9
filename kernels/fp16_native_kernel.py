"""
/*
* Copyright 2018-2020 Philippe Tillet
* Copyright 2020-2022 OpenAI
*
* Permission is hereby granted, free of charge, to any person obtaining
* a copy of this software and associated documentation files
* (the "Software"), to deal in the Software without restriction,
* including without limitation the rights to use, copy, modify, merge,
* publish, distribute, sublicense, and/or sell copies of the Software,
* and to permit persons to whom the Software is furnished to do so,
* subject to the following conditions:
*
* The above copyright notice and this permission notice shall be
* included in all copies or substantial portions of the Software.
*
* THE SOFTWARE IS PROVIDED "AS IS", WITHOUT WARRANTY OF ANY KIND,
* EXPRESS OR IMPLIED, INCLUDING BUT NOT LIMITED TO THE WARRANTIES OF
* MERCHANTABILITY, FITNESS FOR A PARTICULAR PURPOSE AND NONINFRINGEMENT.
* IN NO EVENT SHALL THE AUTHORS OR COPYRIGHT HOLDERS BE LIABLE FOR ANY
* CLAIM, DAMAGES OR OTHER LIABILITY, WHETHER IN AN ACTION OF CONTRACT,
* TORT OR OTHERWISE, ARISING FROM, OUT OF OR IN CONNECTION WITH THE
* SOFTWARE OR THE USE OR OTHER DEALINGS IN THE SOFTWARE.
*/
"""
# C = A·B for square row-major N×N half-precision matrices, after the blocking
# scheme of Triton's matrix-multiplication tutorial. N and the accumulator are
# compile-time constants, so every (N, accumulator) pair is its own image and
# the launch passes nothing but the three matrix addresses.
import triton
import triton.language as tl

# Fixed by the launch contract: one 128×128 tile of C per block of four warps,
# K walked 32 at a time, tile rows visited in groups of eight.
BLOCK_M = tl.constexpr(128)
BLOCK_N = tl.constexpr(128)
BLOCK_K = tl.constexpr(32)
GROUP_M = tl.constexpr(8)


@triton.jit
def fp16_native_gemm(A, B, C, N: tl.constexpr, FP16_ACC: tl.constexpr):
    # Grouped tile order: consecutive blocks walk down eight tile-rows before
    # moving one tile-column right, so the group's A rows and the current B
    # columns are read from L2 rather than from memory.
    pid = tl.program_id(axis=0)
    tiles_m: tl.constexpr = N // BLOCK_M
    tiles_n: tl.constexpr = N // BLOCK_N
    tiles_per_group: tl.constexpr = GROUP_M * tiles_n
    group = pid // tiles_per_group
    first_row = group * GROUP_M
    group_height = min(tiles_m - first_row, GROUP_M)
    tile_row = first_row + (pid % tiles_per_group) % group_height
    tile_col = (pid % tiles_per_group) // group_height

    # N is a multiple of the tile, so no masks: the hints let every load and
    # store become 16-byte vector accesses.
    rows = tile_row * BLOCK_M + tl.arange(0, BLOCK_M)
    cols = tile_col * BLOCK_N + tl.arange(0, BLOCK_N)
    rows = tl.max_contiguous(tl.multiple_of(rows, BLOCK_M), BLOCK_M)
    cols = tl.max_contiguous(tl.multiple_of(cols, BLOCK_N), BLOCK_N)
    ks = tl.arange(0, BLOCK_K)
    a_ptrs = A + rows[:, None] * N + ks[None, :]
    b_ptrs = B + ks[:, None] * N + cols[None, :]

    if FP16_ACC:
        acc = tl.zeros((BLOCK_M, BLOCK_N), dtype=tl.float16)
    else:
        acc = tl.zeros((BLOCK_M, BLOCK_N), dtype=tl.float32)
    for _ in range(0, N // BLOCK_K):
        a = tl.load(a_ptrs)
        b = tl.load(b_ptrs)
        acc = tl.dot(a, b, acc, out_dtype=acc.dtype)
        a_ptrs += BLOCK_K
        b_ptrs += BLOCK_K * N

    # float32 → float16 rounds to nearest even.
    c_ptrs = C + rows[:, None] * N + cols[None, :]
    tl.store(c_ptrs, acc.to(tl.float16))
