// Google benchmarks for the AMF3 codec (docs/performance.md, "AMF3 codec").
//
// Decode benchmarks time what the receive path does per payload: a fresh
// message, Decode, destruction. Encode benchmarks time what the event sender
// does per connection: Encode of an already built message into a fresh
// buffer (and, separately, into a reused one). Bytes processed are payload
// bytes, so the MB/s column is payload throughput.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "amf/Amf.h"

namespace {

std::unique_ptr<CAmfValue> Str(CAmfMessage& m, const std::u16string& s) {
    auto v = std::make_unique<CAmfValue>(&m);
    v->m_nType = AMF_STRING;
    v->m_strValue = s;
    return v;
}

std::unique_ptr<CAmfValue> Array(CAmfMessage& m) {
    auto v = std::make_unique<CAmfValue>(&m);
    v->m_nType = AMF_ARRAY;
    v->m_bHasMembers = 1;
    return v;
}

std::u16string Ascii(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

// The event envelope, built in the order the event senders use.
void BuildEvent(CAmfMessage& m, const std::u16string& type, std::unique_ptr<CAmfValue> data) {
    auto root = Array(m);
    root->SetMember(u"type", Str(m, type));
    root->SetMember(u"data", std::move(data));
    m.AddValue(std::move(root));
}

void BuildMinimizeEvent(CAmfMessage& m) {
    auto data = std::make_unique<CAmfValue>(&m);
    data->m_nType = AMF_BOOLEAN;
    data->m_bValue = 1;
    BuildEvent(m, u"minimizeEvent", std::move(data));
}

// "wmpMediaEvent": data holds 20 attributes with ~30-character texts.
void BuildMediaEvent(CAmfMessage& m) {
    static const char* const kNames[20] = {
        "Title",     "Author",      "Album",    "Genre",    "Copyright",  "Bitrate",  "Duration",
        "SourceURL", "Description", "Language", "Station",  "Program",    "Composer", "Publisher",
        "Year",      "Track",       "Codec",    "Channels", "SampleRate", "Comment"};
    auto data = Array(m);
    for (int i = 0; i < 20; ++i) {
        std::string text =
            std::string(kNames[i]) + " text of the current stream #" + std::to_string(i);
        text.resize(30, '.');
        data->SetMember(Ascii(kNames[i]), Str(m, Ascii(text)));
    }
    BuildEvent(m, u"wmpMediaEvent", std::move(data));
}

// An associative array of 200 distinct string members, about 10 KB.
void BuildLargeArray(CAmfMessage& m) {
    auto root = Array(m);
    for (int i = 0; i < 200; ++i) {
        std::string key = "member_" + std::to_string(1000 + i);
        std::string text = "value number " + std::to_string(i) + " of the large test array";
        text.resize(38, '-');
        root->SetMember(Ascii(key), Str(m, Ascii(text)));
    }
    m.AddValue(std::move(root));
}

std::vector<uint8_t> Payload(void (*build)(CAmfMessage&)) {
    CAmfMessage m;
    build(m);
    std::vector<uint8_t> out;
    m.Encode(out);
    return out;
}

void Decode(benchmark::State& state, void (*build)(CAmfMessage&)) {
    const std::vector<uint8_t> payload = Payload(build);
    for (auto _ : state) {
        CAmfMessage message;
        bool ok = message.Decode(payload);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(message.m_values.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(payload.size()));
    state.counters["payload_bytes"] = static_cast<double>(payload.size());
}

void EncodeFresh(benchmark::State& state, void (*build)(CAmfMessage&)) {
    CAmfMessage message;
    build(message);
    size_t size = 0;
    for (auto _ : state) {
        std::vector<uint8_t> out;
        bool ok = message.Encode(out);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(out.data());
        size = out.size();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

void EncodeReused(benchmark::State& state, void (*build)(CAmfMessage&)) {
    CAmfMessage message;
    build(message);
    std::vector<uint8_t> out;
    for (auto _ : state) {
        out.clear();
        bool ok = message.Encode(out);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(out.size()));
}

// What one event costs end to end: build, encode once, destroy.
void BuildAndEncode(benchmark::State& state, void (*build)(CAmfMessage&)) {
    for (auto _ : state) {
        CAmfMessage message;
        build(message);
        std::vector<uint8_t> out;
        bool ok = message.Encode(out);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(out.data());
    }
}

// The writer's string table: 10000 distinct strings, each then repeated.
void BuildManyStrings(CAmfMessage& m) {
    auto root = Array(m);
    root->m_bHasMembers = 0;
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < 10000; ++i)
            root->AddElement(Str(m, Ascii("distinct string " + std::to_string(i))));
    m.AddValue(std::move(root));
}

// Hostile input: 200000 nested array headers must fail fast.
void DecodeDeepNesting(benchmark::State& state) {
    std::vector<uint8_t> payload;
    for (int i = 0; i < 200000; ++i)
        payload.insert(payload.end(), {0x09, 0x03, 0x01});
    for (auto _ : state) {
        CAmfMessage message;
        bool ok = message.Decode(payload);
        benchmark::DoNotOptimize(ok);
    }
}

// The machine these run on is shared and noisy: with --benchmark_repetitions
// the minimum is the steadiest figure, so every benchmark reports it too.
double Min(const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
}

}  // namespace

#define AMF_BENCH(...) BENCHMARK_CAPTURE(__VA_ARGS__)->ComputeStatistics("min", Min)

AMF_BENCH(Decode, MinimizeEvent, BuildMinimizeEvent);
AMF_BENCH(EncodeFresh, MinimizeEvent, BuildMinimizeEvent);
AMF_BENCH(EncodeReused, MinimizeEvent, BuildMinimizeEvent);
AMF_BENCH(BuildAndEncode, MinimizeEvent, BuildMinimizeEvent);
AMF_BENCH(Decode, MediaEvent, BuildMediaEvent);
AMF_BENCH(EncodeFresh, MediaEvent, BuildMediaEvent);
AMF_BENCH(EncodeReused, MediaEvent, BuildMediaEvent);
AMF_BENCH(Decode, LargeArray10K, BuildLargeArray);
AMF_BENCH(EncodeFresh, LargeArray10K, BuildLargeArray);
AMF_BENCH(EncodeReused, LargeArray10K, BuildLargeArray);
AMF_BENCH(Decode, ManyStrings20K, BuildManyStrings);
AMF_BENCH(EncodeFresh, ManyStrings20K, BuildManyStrings);
BENCHMARK(DecodeDeepNesting)->ComputeStatistics("min", Min);
