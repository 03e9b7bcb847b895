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
        for (int i = 0; i < row.txs; ++i) {
            json tx;
            ASSERT_TRUE(tx_store_read(
                "s", id_of(i),
                [&](json& out) {
                    ++fetches;
                    out = mined(id_of(i), row.script_bytes);
                    return true;
                },
                tx));
        }
        const TxStoreUse use = tx_store_use();
        EXPECT_LE(use.txs, kTxStoreMaxTxs);
        EXPECT_LE(use.bytes, kTxStoreMaxBytes);
        json tx;
        EXPECT_EQ(tx_store_read(
                      "s", id_of(row.txs - 1), [&](json&) { return ++fetches, false; }, tx),
                  use.txs > 0);
        EXPECT_EQ(fetches, row.txs + (use.txs == 0 ? 1 : 0));
    }
    tx_store_clear();
}

// Only a copy that is this transaction in a block is kept; a failed or throwing read keeps nothing.
TEST(TxStore, KeepsOnlyMinedCopiesOfTheAskedId) {
    const std::string id = id_of(7);
    struct Row {
        const char* name;
        json copy;
        bool ok;
        bool kept;
    } rows[] = {
        {"mined", mined(id, 10), true, true},
        {"mempool", {{"txid", id}, {"blockheight", 0}}, true, false},
        {"another id", mined(id_of(8), 10), true, false},
        {"failed", nullptr, false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        tx_store_clear();
        json tx;
        EXPECT_EQ(tx_store_read(
                      "s", id, [&](json& out) { return out = row.copy, row.ok; }, tx),
                  row.ok);
        EXPECT_EQ(tx_store_use().txs, row.kept ? 1u : 0u);
        EXPECT_EQ(tx_store_read(
                      "other", id, [](json&) { return false; }, tx),
                  false)
            << "sources are kept apart";
    }
    json tx;
    EXPECT_FALSE(tx_store_read(
        "s", id, [](json&) -> bool { throw std::runtime_error("boom"); }, tx));
    EXPECT_TRUE(tx.is_null());
    tx_store_clear();
}
