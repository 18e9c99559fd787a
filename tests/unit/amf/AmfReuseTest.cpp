// The decoder's per-thread reuse of memory (AmfNodePool.h, AmfSpares.cpp):
// value nodes, read-table buffers and string-value buffers of one message go
// to the next message decoded on the thread. Reuse must never show: every
// decode gives the tree and read table of a decode into fresh memory,
// whatever the earlier messages held, and nothing is touched once a thread's
// caches are gone.
#include <gtest/gtest.h>
#include <pthread.h>

#include <string>
#include <thread>
#include <vector>

#include "AmfTestUtil.h"
#include "amf/AmfNodePool.h"

#ifdef AMF_TEST_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

using namespace amf_test;

std::u16string Repeat(const std::u16string& piece, size_t units) {
    std::u16string out;
    while (out.size() < units)
        out += piece;
    out.resize(units);
    return out;
}

// A message and what decoding its bytes must give: the tree (as Dump) and
// the read table, which is the writer's table of a direct Encode.
struct Sample {
    std::vector<uint8_t> bytes;
    std::string dump;
    std::vector<std::u16string> table;
};

// Texts of a length to land in every buffer class: inside the string object,
// just past it, around 16, 32, 64 and 128 units, past the longest kept
// buffer, and past the stack conversion (256 bytes); some non-ASCII, so the
// byte length differs from the unit count. Each is used as a member key, a
// value and an element, nested and repeated (references), in an order that
// changes from sample to sample.
std::vector<Sample> Samples() {
    const std::u16string texts[] = {
        u"abc",
        Repeat(u"k", 8),
        Repeat(u"value-", 16),
        Repeat(u"\u00e9t\u00e9", 17),
        Repeat(u"x", 33),
        Repeat(u"\u20ac", 64),
        Repeat(u"yz", 128),
        Repeat(u"w", 129),
        Repeat(u"long text ", 300),
        Repeat(u"\U0001F600", 90),
    };
    const size_t n = std::size(texts);
    std::vector<Sample> samples;
    for (size_t shift = 0; shift < n; ++shift) {
        CAmfMessage built;
        auto inner = Arr(built, {}, {});
        auto outer = Arr(built, {}, {});
        for (size_t i = 0; i < n; ++i) {
            const std::u16string& key = texts[(i + shift) % n];
            const std::u16string& value = texts[(i * 3 + shift) % n];
            inner->SetMember(key, Str(built, value));
            inner->m_bHasMembers = 1;
            outer->AddElement(Str(built, texts[(i * 7 + shift) % n]));
        }
        outer->SetMember(texts[shift], std::move(inner));
        outer->m_bHasMembers = 1;
        Sample sample;
        EXPECT_TRUE(outer->Encode(sample.bytes));
        sample.table = built.m_writeStrings;
        built.AddValue(std::move(outer));
        sample.dump = Dump(built);
        samples.push_back(std::move(sample));
    }
    return samples;
}

TEST(AmfReuse, EveryDecodeMatchesAFreshOne) {
    const std::vector<Sample> samples = Samples();
    // Forwards, backwards, and each twice in a row, with messages alive
    // across the next decode and destroyed in between.
    std::vector<size_t> order;
    for (size_t i = 0; i < samples.size(); ++i)
        order.push_back(i);
    for (size_t i = samples.size(); i-- > 0;)
        order.insert(order.end(), {i, i});
    std::unique_ptr<CAmfMessage> previous;
    for (size_t step = 0; step < order.size(); ++step) {
        SCOPED_TRACE(step);
        const Sample& sample = samples[order[step]];
        auto message = std::make_unique<CAmfMessage>();
        ASSERT_TRUE(message->Decode(sample.bytes));
        EXPECT_EQ(Dump(*message), sample.dump);
        ASSERT_EQ(message->m_readStrings.size(), sample.table.size());
        for (size_t i = 0; i < sample.table.size(); ++i) {
            EXPECT_EQ(Text(message->m_readStrings[i]), Text(sample.table[i])) << i;
        }
        if (step % 3 == 0)
            previous = std::move(message);
    }
}

// Inline text of fewer than 64 bytes: its header byte, then the bytes.
std::vector<uint8_t> Inline(const std::string& text) {
    std::vector<uint8_t> out{static_cast<uint8_t>(text.size() << 1 | 1)};
    for (char c : text)
        out.push_back(static_cast<uint8_t>(c));
    return out;
}

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& piece : parts) {
        for (uint8_t byte : piece)
            out.push_back(byte);
    }
    return out;
}

// Reference resolution does not depend on what earlier messages left: a
// reference past this message's own table still fails, one inside it reads
// this message's text, from any depth.
TEST(AmfReuse, ReferencesResolveInTheMessagesOwnTable) {
    {
        CAmfMessage filler;  // leaves buffers and a table of two entries behind
        ASSERT_TRUE(filler.Decode(
            Join({{0x06}, Inline("an earlier long text"), {0x06}, Inline("another one")})));
    }
    struct Case {
        std::vector<uint8_t> bytes;
        bool ok;
        const char* dump;
    };
    const Case cases[] = {
        {Hex("06 02"), false, ""},  // entry 1 of an empty table
        {Join({{0x06}, Inline("long text"), Hex("06 00")}), true, "\"long text\" \"long text\""},
        {Join({Hex("09 01"), Inline("long text"), Hex("06 00 01 06 02")}), false,
         "+[long text:\"long text\"|]"},
        {Join({Hex("09 03"), Inline("key one 12"), Hex("06 00 01 09 01 00 06 00 01")}), true,
         "+[key one 12:\"key one 12\"|+[key one 12:\"key one 12\"|]]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToHex(c.bytes));
        CAmfMessage message;
        EXPECT_EQ(message.Decode(c.bytes), c.ok);
        EXPECT_EQ(Dump(message), c.dump);
    }
}

TEST(AmfNodePool, FreedNodesAreReusedUpToTheLimit) {
    auto node = std::make_unique<CAmfValue>(nullptr);
    node->m_nType = AMF_STRING;
    node->m_strValue = u"a text long enough for a buffer";
    const CAmfValue* freed = node.get();
    node.reset();
#ifdef AMF_TEST_ASAN
    EXPECT_TRUE(__asan_address_is_poisoned(freed));  // a cached node is off limits
#endif
    node = std::make_unique<CAmfValue>(nullptr);
    EXPECT_EQ(node.get(), freed);
    // A reused node starts as a new one.
    EXPECT_EQ(node->m_nType, AMF_UNDEFINED);
    EXPECT_TRUE(node->m_strValue.empty());

    std::vector<std::unique_ptr<CAmfValue>> nodes;
    for (size_t i = 0; i < amf::node_pool::kMaxCached + 10; ++i) {
        nodes.push_back(std::make_unique<CAmfValue>(nullptr));
    }
    EXPECT_EQ(amf::node_pool::CachedCount(), 0u);
    nodes.clear();
    EXPECT_EQ(amf::node_pool::CachedCount(), amf::node_pool::kMaxCached);
}

TEST(AmfNodePool, NodesFreedOnAnotherThreadStayThere) {
    const size_t here = amf::node_pool::CachedCount();
    auto node = std::make_unique<CAmfValue>(nullptr);
    size_t there = 0;
    std::thread([&] {
        node.reset();
        there = amf::node_pool::CachedCount();
    }).join();  // the thread's cache is released as it ends (LeakSanitizer checks)
    EXPECT_EQ(there, 1u);
    EXPECT_EQ(amf::node_pool::CachedCount(), here > 0 ? here - 1 : 0u);
}

// A message freed by a thread-exit destructor that runs after the codec's
// own (a thread's key destructors run in the order the keys were made) must
// free straight to the heap, not into the thread's dead caches.
TEST(AmfReuse, MessageFreedAfterTheThreadsCachesAreGone) {
    const std::vector<Sample> samples = Samples();
    {
        CAmfMessage warm;  // the codec's keys exist before the test's
        ASSERT_TRUE(warm.Decode(samples[1].bytes));
    }
    pthread_key_t key;
    ASSERT_EQ(pthread_key_create(&key, [](void* p) { delete static_cast<CAmfMessage*>(p); }), 0);
    std::thread([&] {
        auto late = std::make_unique<CAmfMessage>();
        EXPECT_TRUE(late->Decode(samples[0].bytes));
        pthread_setspecific(key, late.release());
        CAmfMessage early;  // fills the spares and the node cache
        EXPECT_TRUE(early.Decode(samples[1].bytes));
    }).join();
    pthread_key_delete(key);
}

}  // namespace
