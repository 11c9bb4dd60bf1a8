// The work of one event without a window: reading and writing number texts,
// and one whole calculation on the in-memory field set.

#include "core/number_text.h"
#include "form/calculations.h"
#include "form/memory_field_set.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

using namespace modbuscalc;

void BM_LeadingNumber(benchmark::State &state, std::string text)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(LeadingNumber(text));
}
BENCHMARK_CAPTURE(BM_LeadingNumber, address, std::string("10241"));
BENCHMARK_CAPTURE(BM_LeadingNumber, fraction, std::string("255.99999999999997"));
BENCHMARK_CAPTURE(BM_LeadingNumber, exponent, std::string("1.5e-2"));
BENCHMARK_CAPTURE(BM_LeadingNumber, blanks, std::string(" 2 45 7"));
BENCHMARK_CAPTURE(BM_LeadingNumber, hex, std::string("&HFFFF"));
BENCHMARK_CAPTURE(BM_LeadingNumber, junk, std::string("Error"));

// A pasted megabyte: the reader must stay linear in the text's length.
void BM_LeadingNumberMiB(benchmark::State &state, char fill, std::string prefix)
{
    const std::string text = prefix + std::string((1 << 20) - prefix.size(), fill);
    for (auto _ : state)
        benchmark::DoNotOptimize(LeadingNumber(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * (1 << 20));
}
BENCHMARK_CAPTURE(BM_LeadingNumberMiB, digits, '9', std::string())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LeadingNumberMiB, spaces, ' ', std::string())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LeadingNumberMiB, fraction, '0', std::string("1."))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LeadingNumberMiB, hex_zeros, '0', std::string("&H"))
    ->Unit(benchmark::kMillisecond);

void BM_NumberText(benchmark::State &state, double value)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(NumberText(value));
}
BENCHMARK_CAPTURE(BM_NumberText, whole, 10241.0);
BENCHMARK_CAPTURE(BM_NumberText, fraction, 100.5);
BENCHMARK_CAPTURE(BM_NumberText, exponent, 1.23456789012345678e17);

void BM_ExactNumber(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(ExactNumber("10241"));
}
BENCHMARK(BM_ExactNumber);

void BM_CalculateAddress(benchmark::State &state)
{
    MemoryFieldSet fields;
    fields.setText(Field::Table, "31");
    fields.setText(Field::Column, "7");
    fields.setText(Field::Row, "255");
    for (auto _ : state) {
        CalculateAddress(fields);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CalculateAddress);

void BM_CalculateTables(benchmark::State &state)
{
    MemoryFieldSet fields;
    fields.setText(Field::Address, "65535");
    for (auto _ : state) {
        CalculateTables(fields);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CalculateTables);

} // namespace

BENCHMARK_MAIN();
