// Speed of the record database: a 64 MiB memo written and read back through the file
// scrambling, beside the raw RC4 keystream speed (and the two ratios from one run), and
// the time of one text-field read.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <vector>

#include "records/database_builder.h"
#include "records/record_database.h"
#include "records/scrambler.h"

namespace {

constexpr size_t kMemoBytes = size_t(64) << 20;

class BenchFolder {
public:
    BenchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tmbl-bench-XXXXXX").string();
        m_path = mkdtemp(pattern.data()) ? pattern : std::string("/tmp");
    }
    ~BenchFolder() {
        records::closeAllDatabases();
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    std::string database(benchmark::State& state) {
        using records::edb::FieldType;
        std::string path = m_path + "/bench.edb";
        std::vector<records::FieldSpec> fields = {{"memo", FieldType::Memo, 0}, {"text", FieldType::Text, 64}};
        if (records::createDatabase(path, 9, fields, "vemrvemr") != 0) state.SkipWithError("create failed");
        reopen(state);
        return path;
    }
    void reopen(benchmark::State& state) {
        records::closeAllDatabases();
        std::string path = m_path + "/bench.edb";
        records::OpenOptions options;
        options.password = "vemrvemr";
        if (!records::openDatabase(path, options)) state.SkipWithError("open failed");
    }

private:
    std::string m_path;
};

std::string memoValue() {
    std::string value(kMemoBytes, '\0');
    for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<char>('a' + (i * 7) % 26);
    return value;
}

void RawRc4Keystream(benchmark::State& state) {
    std::vector<uint8_t> out(kMemoBytes);
    const uint8_t key[] = {'v', 'e', 'm', 'r', 'v', 'e', 'm', 'r'};
    for (auto _ : state) {
        records::Rc4 rc4(key);
        rc4.generate(out.data(), out.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kMemoBytes));
}
BENCHMARK(RawRc4Keystream)->Unit(benchmark::kMillisecond)->UseRealTime();

void MemoWrite64MiB(benchmark::State& state) {
    BenchFolder folder;
    folder.database(state);
    const std::string value = memoValue();
    if (!records::goToRecord(1)) state.SkipWithError("go to record failed");
    for (auto _ : state) {
        // Every round after the first rewrites the same chain in place.
        if (!records::writeText("memo", value)) state.SkipWithError("write failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kMemoBytes));
}
BENCHMARK(MemoWrite64MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void MemoRead64MiB(benchmark::State& state) {
    BenchFolder folder;
    folder.database(state);
    const std::string value = memoValue();
    if (!records::goToRecord(1) || !records::writeText("memo", value)) state.SkipWithError("write failed");
    for (auto _ : state) {
        state.PauseTiming();
        folder.reopen(state);  // a fresh open: no keystream is cached yet
        if (!records::goToRecord(1)) state.SkipWithError("go to record failed");
        state.ResumeTiming();
        std::string back = records::readText("memo");
        if (back.size() != kMemoBytes) state.SkipWithError("short read");
        benchmark::DoNotOptimize(back.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kMemoBytes));
}
BENCHMARK(MemoRead64MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// A short memo stored behind a 64 MiB one, read from a fresh open: the cost follows its
// length, not its position 64 MiB into the file.
void ShortMemoAfter64MiB(benchmark::State& state) {
    BenchFolder folder;
    folder.database(state);
    if (!records::goToRecord(1) || !records::writeText("memo", memoValue())) state.SkipWithError("write failed");
    if (!records::goToRecord(2) || !records::writeText("memo", std::string(400, 'x'))) {
        state.SkipWithError("write failed");
    }
    for (auto _ : state) {
        state.PauseTiming();
        folder.reopen(state);
        if (!records::goToRecord(2)) state.SkipWithError("go to record failed");
        state.ResumeTiming();
        std::string back = records::readText("memo");
        benchmark::DoNotOptimize(back.data());
    }
}
BENCHMARK(ShortMemoAfter64MiB)->Unit(benchmark::kMicrosecond)->Iterations(200);

// Best time of a phase over the rounds, by the wall clock and by the process's CPU time
// (its system calls included), so that a busy machine blurs the figures less.
class BestTime {
public:
    template <typename Phase>
    void measure(Phase phase) {
        double wall0 = now(CLOCK_MONOTONIC), cpu0 = now(CLOCK_PROCESS_CPUTIME_ID);
        phase();
        m_wall = std::min(m_wall, now(CLOCK_MONOTONIC) - wall0);
        m_cpu = std::min(m_cpu, now(CLOCK_PROCESS_CPUTIME_ID) - cpu0);
    }
    double wall() const { return m_wall; }
    double cpu() const { return m_cpu; }

private:
    static double now(clockid_t clock) {
        timespec ts{};
        clock_gettime(clock, &ts);
        return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
    }
    double m_wall = 1e30;
    double m_cpu = 1e30;
};

// The two figures the memo path is held to, from one run: the speed of storing and of
// reading (from a fresh open) a 64 MiB memo, each over the speed of raw RC4 keystream for
// the same number of bytes. 1.0 would be keystream speed.
void MemoToKeystreamRatios(benchmark::State& state) {
    BenchFolder folder;
    folder.database(state);
    const std::string value = memoValue();
    if (!records::goToRecord(1) || !records::writeText("memo", value)) state.SkipWithError("write failed");
    std::vector<uint8_t> out(kMemoBytes);
    const uint8_t key[] = {'v', 'e', 'm', 'r', 'v', 'e', 'm', 'r'};
    BestTime raw, store, read;
    for (auto _ : state) {
        raw.measure([&] {
            records::Rc4 rc4(key);
            rc4.generate(out.data(), out.size());
            benchmark::DoNotOptimize(out.data());
        });
        store.measure([&] {
            if (!records::goToRecord(1) || !records::writeText("memo", value)) state.SkipWithError("write failed");
        });
        folder.reopen(state);
        if (!records::goToRecord(1)) state.SkipWithError("go to record failed");
        read.measure([&] {
            std::string back = records::readText("memo");
            if (back.size() != kMemoBytes) state.SkipWithError("short read");
            benchmark::DoNotOptimize(back.data());
        });
    }
    state.counters["write_ratio"] = raw.wall() / store.wall();
    state.counters["read_ratio"] = raw.wall() / read.wall();
    state.counters["write_ratio_cpu"] = raw.cpu() / store.cpu();
    state.counters["read_ratio_cpu"] = raw.cpu() / read.cpu();
}
BENCHMARK(MemoToKeystreamRatios)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void TextFieldRead(benchmark::State& state) {
    BenchFolder folder;
    folder.database(state);
    if (!records::goToRecord(5) || !records::writeField("text", std::string("someone@example.org"))) {
        state.SkipWithError("write failed");
    }
    for (auto _ : state) {
        std::string text = records::readText("text");
        benchmark::DoNotOptimize(text.data());
    }
}
BENCHMARK(TextFieldRead)->Unit(benchmark::kMicrosecond);

// The same read from a fresh open, where the block stream is not cached yet.
void TextFieldReadAfterOpen(benchmark::State& state) {
    BenchFolder folder;
    folder.database(state);
    if (!records::goToRecord(5) || !records::writeField("text", std::string("someone@example.org"))) {
        state.SkipWithError("write failed");
    }
    for (auto _ : state) {
        state.PauseTiming();
        folder.reopen(state);
        if (!records::goToRecord(5)) state.SkipWithError("go to record failed");
        state.ResumeTiming();
        std::string text = records::readText("text");
        benchmark::DoNotOptimize(text.data());
    }
}
BENCHMARK(TextFieldReadAfterOpen)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
