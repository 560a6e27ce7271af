// md5_append throughput against OpenSSL's MD5 on the same inputs, in the
// same run. After the runs, the ratio of the device digest's speed to
// OpenSSL's is printed for each input size (>= 1.0: at least as fast).
#define OPENSSL_SUPPRESS_DEPRECATED
#include <benchmark/benchmark.h>
#include <openssl/md5.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "upgradeFile/Md5.h"

namespace {

std::vector<unsigned char> Input(std::size_t size) {
    std::vector<unsigned char> bytes(size);
    unsigned int state = 2463534242u;
    for (unsigned char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<unsigned char>(state);
    }
    return bytes;
}

void BM_DeviceMd5(benchmark::State& state) {
    const std::vector<unsigned char> input = Input(static_cast<std::size_t>(state.range(0)));
    unsigned char digest[16];
    for (auto _ : state) {
        qx::upgradeFile::md5_context context;
        qx::upgradeFile::md5_init(&context);
        qx::upgradeFile::md5_append(&context, input.data(), static_cast<int>(input.size()));
        qx::upgradeFile::md5_finish(&context, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_OpenSslMd5(benchmark::State& state) {
    const std::vector<unsigned char> input = Input(static_cast<std::size_t>(state.range(0)));
    unsigned char digest[16];
    for (auto _ : state) {
        MD5_CTX context;
        MD5_Init(&context);
        MD5_Update(&context, input.data(), input.size());
        MD5_Final(digest, &context);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_DeviceMd5)->Arg(1024)->Arg(1 << 20);
BENCHMARK(BM_OpenSslMd5)->Arg(1024)->Arg(1 << 20);

// Console output plus a closing line per size: device speed / OpenSSL speed.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) {
                continue;
            }
            std::string name = run.benchmark_name();
            std::size_t slash = name.find('/');
            std::string family = name.substr(0, slash);
            std::string size = slash == std::string::npos ? "" : name.substr(slash + 1);
            auto found = run.counters.find("bytes_per_second");
            if (found != run.counters.end()) {
                speeds[size][family] = found->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const auto& [size, bySource] : speeds) {
            auto device = bySource.find("BM_DeviceMd5");
            auto openssl = bySource.find("BM_OpenSslMd5");
            if (device == bySource.end() || openssl == bySource.end() || openssl->second <= 0) {
                continue;
            }
            std::printf("md5 ratio (device / OpenSSL) at %s bytes: %.3f  (%.1f vs %.1f MB/s)\n",
                        size.c_str(), device->second / openssl->second, device->second / 1e6,
                        openssl->second / 1e6);
        }
    }

  private:
    std::map<std::string, std::map<std::string, double>> speeds;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
