// The cuBLAS side of tools/gpu-check: the same FP16 GEMMs as the embedded
// kernels, on the matrices kernel_probe wrote, timed the same way (median of
// five ~100 ms batches between two events), with FP16 and with FP32 compute
// so each accumulator is compared like with like.
//
//   cublas_bench DIR 256,1024,4096,8192
//
// Reads DIR/A_<N>.f16 and DIR/B_<N>.f16, writes DIR/cublas_C_<N>_<acc>.f16 and
// appends "N  acc  gemms  ms_per_gemm  tflops" lines to DIR/cublas.tsv.
#include <cublas_v2.h>
#include <cuda_fp16.h>
#include <cuda_runtime.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#define CHECK(call)                                                                         \
    do {                                                                                    \
        auto status_ = (call);                                                              \
        if (status_ != 0) {                                                                 \
            std::fprintf(stderr, "cublas_bench: %s failed (%d)\n", #call, int(status_));    \
            std::exit(2);                                                                   \
        }                                                                                   \
    } while (0)

static std::vector<unsigned short> ReadMatrix(const std::string& path, size_t elements) {
    std::vector<unsigned short> m(elements);
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(m.data()), static_cast<std::streamsize>(elements * 2));
    if (!in) {
        std::fprintf(stderr, "cublas_bench: cannot read %s\n", path.c_str());
        std::exit(2);
    }
    return m;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: cublas_bench DIR SIZES\n");
        return 2;
    }
    const std::string dir = argv[1];
    std::vector<int> sizes;
    std::stringstream list(argv[2]);
    for (std::string item; std::getline(list, item, ',');) sizes.push_back(std::stoi(item));

    cublasHandle_t handle;
    CHECK(cublasCreate(&handle));
    cudaStream_t stream;
    CHECK(cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking));
    CHECK(cublasSetStream(handle, stream));
    cudaEvent_t start, stop;
    CHECK(cudaEventCreate(&start));
    CHECK(cudaEventCreate(&stop));
    std::ofstream results(dir + "/cublas.tsv", std::ios::app);

    for (int n : sizes) {
        const size_t elements = size_t(n) * n, bytes = elements * 2;
        const auto a = ReadMatrix(dir + "/A_" + std::to_string(n) + ".f16", elements);
        const auto b = ReadMatrix(dir + "/B_" + std::to_string(n) + ".f16", elements);
        void *da, *db, *dc;
        CHECK(cudaMalloc(&da, bytes));
        CHECK(cudaMalloc(&db, bytes));
        CHECK(cudaMalloc(&dc, bytes));
        CHECK(cudaMemcpy(da, a.data(), bytes, cudaMemcpyHostToDevice));
        CHECK(cudaMemcpy(db, b.data(), bytes, cudaMemcpyHostToDevice));

        for (bool fp16 : {true, false}) {
            const __half alpha_h = __float2half(1.0f), beta_h = __float2half(0.0f);
            const float alpha_f = 1.0f, beta_f = 0.0f;
            const void* alpha = fp16 ? static_cast<const void*>(&alpha_h) : &alpha_f;
            const void* beta = fp16 ? static_cast<const void*>(&beta_h) : &beta_f;
            const cublasComputeType_t compute = fp16 ? CUBLAS_COMPUTE_16F : CUBLAS_COMPUTE_32F;
            // Row-major C = A·B is column-major Cᵀ = Bᵀ·Aᵀ: pass B first.
            auto gemm = [&] {
                CHECK(cublasGemmEx(handle, CUBLAS_OP_N, CUBLAS_OP_N, n, n, n, alpha, db, CUDA_R_16F, n, da,
                                   CUDA_R_16F, n, beta, dc, CUDA_R_16F, n, compute, CUBLAS_GEMM_DEFAULT));
            };
            auto batch = [&](int gemms) {
                CHECK(cudaEventRecord(start, stream));
                for (int i = 0; i < gemms; ++i) gemm();
                CHECK(cudaEventRecord(stop, stream));
                CHECK(cudaEventSynchronize(stop));
                float ms = 0;
                CHECK(cudaEventElapsedTime(&ms, start, stop));
                return double(ms);
            };
            batch(1);
            std::vector<unsigned short> out(elements);
            CHECK(cudaMemcpy(out.data(), dc, bytes, cudaMemcpyDeviceToHost));
            const char* acc = fp16 ? "fp16" : "fp32";
            std::ofstream(dir + "/cublas_C_" + std::to_string(n) + "_" + acc + ".f16", std::ios::binary)
                .write(reinterpret_cast<const char*>(out.data()), std::streamsize(bytes));

            batch(3);
            const double sample = batch(3) / 3;
            const int gemms = std::clamp(int(100.0 / std::max(sample, 1e-4)), 1, 2000);
            std::vector<double> per_gemm;
            for (int i = 0; i < 5; ++i) per_gemm.push_back(batch(gemms) / gemms);
            std::sort(per_gemm.begin(), per_gemm.end());
            const double ms = per_gemm[2];
            const double tflops = 2.0 * n * n * double(n) / (ms * 1e9);
            results << n << '\t' << acc << '\t' << gemms << '\t' << ms << '\t' << tflops << '\n';
            std::printf("cuBLAS N=%d %s: %d launches/batch, %.4f ms/gemm, %.1f TFLOPS\n", n, acc, gemms, ms, tflops);
            std::fflush(stdout);
        }
        CHECK(cudaFree(da));
        CHECK(cudaFree(db));
        CHECK(cudaFree(dc));
    }
    cublasDestroy(handle);
    return 0;
}
