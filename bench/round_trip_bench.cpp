// Client-side cost of talking to the helper: connect + client check + ping for a signed client
// of about 1 MiB (this executable), and pipelined pings on one connection. Run it inside the
// sandbox with the helper started (bench/run_round_trip.sh does both).
#include <benchmark/benchmark.h>

#include <string>

#include "client/helper_client.h"

namespace {

// Makes this executable about 1 MiB, all of it covered by the signature's hash.
extern "C" const volatile char kPadding[1 << 20] = {1};

void ConnectCheckPing(benchmark::State& state) {
    for (auto _ : state) {
        auto client = nimbara::HelperClient::connect();
        if (!client.value) {
            state.SkipWithError(client.error.message.c_str());
            return;
        }
        auto r = client.value->call({"b", 1, "ping", {}, {}, {}});
        if (!r.value || !r.value->ok) state.SkipWithError("no ping answer");
    }
    benchmark::DoNotOptimize(kPadding[0]);
}
BENCHMARK(ConnectCheckPing)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly();

void PipelinedPings(benchmark::State& state) {
    auto client = nimbara::HelperClient::connect();
    if (!client.value) {
        state.SkipWithError(client.error.message.c_str());
        return;
    }
    const int batch = static_cast<int>(state.range(0));
    std::string lines;
    for (int i = 0; i < batch; ++i)
        lines += R"({"id":"p","v":1,"op":"ping"})"
                 "\n";
    lines.pop_back();  // sendLine adds the last line feed
    for (auto _ : state) {
        client.value->sendLine(lines);
        for (int i = 0; i < batch; ++i) {
            if (!client.value->readLine().value) state.SkipWithError("connection lost");
        }
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(PipelinedPings)
    ->Arg(64)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly();

}  // namespace

BENCHMARK_MAIN();
