#include "chain/tx_store.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using nlohmann::json;

namespace {

std::string id_of(int n) {
    std::string id = std::to_string(n);
    return std::string(64 - id.size(), '0') + id;
}

json mined(const std::string& txid, std::size_t script_bytes) {
    return {{"txid", txid},
            {"blockheight", 800000},
            {"vout", {{{"scriptPubKey", {{"hex", std::string(script_bytes, 'a')}}}}}}};
}

} // namespace

// However many transactions a long session reads, the store stays within its count and its size,
// and what it kept last is still served without a read.
TEST(TxStore, StaysWithinItsBounds) {
    struct Row {
        const char* name;
        int txs;
        std::size_t script_bytes;
    } rows[] = {
        {"many small", static_cast<int>(kTxStoreMaxTxs) + 500, 200},
        {"a few huge", 40, 4u << 20},
        {"one larger than the whole store", 1, kTxStoreMaxBytes},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        tx_store_clear();
        int fetches = 0;
        json tx;
        for (int i = 0; i < row.txs; ++i)
            tx_store_read(
                "s", id_of(i), [&](json& out) { return out = mined(id_of(i), row.script_bytes), ++fetches; }, tx);
        const TxStoreUse use = tx_store_use();
        EXPECT_LE(use.txs, kTxStoreMaxTxs);
        EXPECT_LE(use.bytes, kTxStoreMaxBytes);
        EXPECT_EQ(tx_store_read(
                      "s", id_of(row.txs - 1), [&](json&) { return ++fetches, false; }, tx),
                  use.txs > 0);
        EXPECT_EQ(fetches, row.txs + (use.txs == 0 ? 1 : 0));
    }
}

// A copy is kept only when it is the asked transaction, and one from before it was mined only for a
// reader of its inputs and outputs; a failed or throwing read keeps nothing.
TEST(TxStore, KeepsOnlyCopiesThatStayTrue) {
    const std::string id = id_of(7);
    const json pending = {{"txid", id}, {"blockheight", 0}};
    struct Row {
        const char* name;
        json copy;
        bool ok, mempool_will_do, kept;
    } rows[] = {
        {"mined", mined(id, 10), true, false, true},
        {"mempool, for a reader of blocks", pending, true, false, false},
        {"mempool, for a reader of inputs", pending, true, true, true},
        {"another id", mined(id_of(8), 10), true, true, false},
        {"failed", nullptr, false, true, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        tx_store_clear();
        json tx;
        EXPECT_EQ(tx_store_read(
                      "s", id, [&](json& out) { return out = row.copy, row.ok; }, tx, row.mempool_will_do),
                  row.ok);
        EXPECT_EQ(tx_store_use().txs, row.kept ? 1u : 0u);
        EXPECT_FALSE(tx_store_read(
            "other", id, [](json&) { return false; }, tx))
            << "sources are kept apart";
    }
    json tx;
    EXPECT_FALSE(tx_store_read(
        "s", id, [](json&) -> bool { throw std::runtime_error("boom"); }, tx));
    EXPECT_TRUE(tx.is_null());
    tx_store_clear();
}
