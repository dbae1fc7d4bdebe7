#include <benchmark/benchmark.h>

#include "basParser.h"

static void BM_Prefix(benchmark::State& st) {
  for (auto _ : st) benchmark::DoNotOptimize(drossgate::common::ConditionTest("YES, score=7", "YES"));
}
BENCHMARK(BM_Prefix);
