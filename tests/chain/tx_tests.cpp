#include "chain/tx.h"

#include <gtest/gtest.h>

namespace {

// The first coinbase transaction ever mined: version 1, one sequence FFFFFFFF, lock time 0.
const char* kGenesisCoinbase =
    "01000000010000000000000000000000000000000000000000000000000000000000000000ffffffff4d04ffff001d01"
    "04455468652054696d65732030332f4a616e2f32303039204368616e63656c6c6f72206f6e206272696e6b206f6620"
    "7365636f6e64206261696c6f757420666f722062616e6b73ffffffff0100f2052a01000000434104678afdb0fe5548"
    "271967f1a67130b7105cd6a828e03909a67962e0ea1f61deb649f6bc3f4cef38c4f35504e51ec112de5c384df7ba0b"
    "8d578a4c702b6bf11d5fac00000000";
const char* kGenesisTxid = "4a5e1e4baab89f3a32518a88c31bc87f618f76673e2cc77ab2127b7afdeda33b";

TxInput input_of(const std::string& txid, std::uint32_t vout) {
    TxInput in;
    in.txid = txid;
    in.vout = vout;
    return in;
}

TxOutput p2pkh_output(std::uint64_t sats, std::uint8_t fill) {
    Hash160 h;
    h.fill(fill);
    return TxOutput{sats, p2pkh_script(h)};
}

// Hand-made raw transaction: `inputs` inputs with a 2-byte script each, then the given outputs.
Bytes raw_tx(std::size_t inputs, const std::vector<TxOutput>& outputs) {
    Bytes raw;
    append_u32_le(raw, 2);
    append_varint(raw, inputs);
    for (std::size_t i = 0; i < inputs; ++i) {
        raw.insert(raw.end(), 32, static_cast<std::uint8_t>(i));
        append_u32_le(raw, static_cast<std::uint32_t>(i));
        raw.insert(raw.end(), {0x02, 0x51, 0x52});
        append_u32_le(raw, 7);
    }
    append_varint(raw, outputs.size());
    for (const TxOutput& o : outputs) {
        append_u64_le(raw, o.sats);
        append_varint(raw, o.script.size());
        raw.insert(raw.end(), o.script.begin(), o.script.end());
    }
    append_u32_le(raw, 0);
    return raw;
}

} // namespace

TEST(Tx, KnownTransactionRoundTripsAndHasItsId) {
    const Bytes raw = from_hex(kGenesisCoinbase);
    ASSERT_FALSE(raw.empty());
    EXPECT_EQ(compute_txid(raw), kGenesisTxid);

    std::vector<TxInput> inputs;
    std::vector<TxOutput> outputs;
    ASSERT_TRUE(parse_raw_tx(raw, inputs, outputs));
    ASSERT_EQ(inputs.size(), 1u);
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_EQ(inputs[0].txid, std::string(64, '0'));
    EXPECT_EQ(inputs[0].vout, 0xFFFFFFFFu);
    EXPECT_EQ(inputs[0].script_sig.size(), 0x4Du);
    EXPECT_EQ(outputs[0].sats, 5000000000u);
    EXPECT_EQ(serialize_tx(inputs, outputs, false), raw);

    std::uint64_t value = 0;
    Bytes script;
    ASSERT_TRUE(raw_tx_output_at(raw, 0, value, script));
    EXPECT_EQ(value, 5000000000u);
    EXPECT_EQ(script, outputs[0].script);
}

TEST(Tx, EstimateFormCounts148BytesPerInput) {
    std::vector<TxInput> inputs{input_of(kGenesisTxid, 1)};
    const std::vector<TxOutput> outputs{p2pkh_output(1000, 1), p2pkh_output(2000, 2)};
    EXPECT_EQ(serialize_tx(inputs, outputs, true).size(), 226u);
    inputs[0].script_sig.assign(300, 0xAB);
    EXPECT_EQ(serialize_tx(inputs, outputs, true).size(), 226u);
    EXPECT_EQ(serialize_tx(inputs, outputs, false).size(), 226u - 108 + 3 + 300);

    inputs.assign(3, input_of(kGenesisTxid, 0));
    EXPECT_EQ(serialize_tx(inputs, outputs, true).size(), 226u + 2 * 148);

    // An unsigned input is written with an empty script (a single 00 length).
    inputs.assign(1, input_of(kGenesisTxid, 0));
    const Bytes wire = serialize_tx(inputs, {}, false);
    ASSERT_EQ(wire.size(), 4u + 1 + 36 + 1 + 4 + 1 + 4);
    EXPECT_EQ(wire[41], 0x00);
}

TEST(Tx, BadTxidGivesEmptySerialisation) {
    const std::string good(kGenesisTxid);
    const std::string bad[] = {good.substr(1), good.substr(0, 63) + "g", good + "00", "", good.substr(0, 62) + " 1"};
    for (const std::string& txid : bad) {
        SCOPED_TRACE(txid);
        const std::vector<TxInput> inputs{input_of(good, 0), input_of(txid, 1)};
        EXPECT_TRUE(serialize_tx(inputs, {p2pkh_output(1, 1)}, false).empty());
        EXPECT_TRUE(serialize_tx(inputs, {p2pkh_output(1, 1)}, true).empty());
    }
}

TEST(Tx, OutputCountsAndDataCarrier) {
    std::vector<TxOutput> outputs(253, p2pkh_output(1, 3));
    Bytes wire = serialize_tx({input_of(kGenesisTxid, 0)}, outputs, false);
    const std::size_t count_at = 4 + 1 + 41;
    ASSERT_GT(wire.size(), count_at + 3);
    EXPECT_EQ(wire[count_at], 0xFD);
    EXPECT_EQ(wire[count_at + 1], 0xFD);
    EXPECT_EQ(wire[count_at + 2], 0x00);

    const Bytes data{1, 2, 3, 4, 5};
    wire = serialize_tx({}, {TxOutput{0, op_return_script(data)}}, false);
    const Bytes expect = from_hex("010000000001000000000000000008006a05010203040500000000");
    EXPECT_EQ(wire, expect);

    struct Row {
        std::size_t len;
        const char* head;
    } rows[] = {{0, "006a"}, {80, "006a4c50"}, {300, "006a4d2c01"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.len);
        const Bytes script = op_return_script(Bytes(row.len, 0x77));
        const Bytes head = from_hex(row.head);
        ASSERT_EQ(script.size(), head.size() + row.len);
        EXPECT_TRUE(std::equal(head.begin(), head.end(), script.begin()));
    }
}

TEST(Tx, CompactSizeReader) {
    struct Row {
        const char* hex;
        std::size_t start;
        bool ok;
        std::uint64_t value;
        std::size_t end;
    } rows[] = {
        {"fc", 0, true, 252, 1},
        {"00fd", 1, false, 0, 1},
        {"fd01", 0, false, 0, 0},
        {"fd0102", 0, true, 0x0201, 3},
        {"fe01020304", 0, true, 0x04030201, 5},
        {"fe010203", 0, false, 0, 0},
        {"ff0102030405060708", 0, true, 0x0807060504030201ULL, 9},
        {"ff01020304050607", 0, false, 0, 0},
        {"fd0000", 0, true, 0, 3}, // non-minimal forms are accepted
        {"01", 1, false, 0, 1},
        {"01", 5, false, 0, 5},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.hex);
        std::size_t offset = row.start;
        std::uint64_t value = 0;
        EXPECT_EQ(read_compact_size(from_hex(row.hex), offset, value), row.ok);
        EXPECT_EQ(offset, row.end);
        if (row.ok) {
            EXPECT_EQ(value, row.value);
        }
    }
}

TEST(Tx, OutputAtIndex) {
    const Bytes raw = raw_tx(2, {p2pkh_output(11, 1), TxOutput{22, {}}, p2pkh_output(33, 3)});
    struct Row {
        std::int32_t index;
        bool ok;
        std::uint64_t value;
    } rows[] = {{0, true, 11}, {1, false, 22}, {2, true, 33}, {3, false, 0}, {-1, false, 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.index);
        std::uint64_t value = 99;
        Bytes script{1};
        EXPECT_EQ(raw_tx_output_at(raw, row.index, value, script), row.ok);
        EXPECT_EQ(value, row.value);
        EXPECT_EQ(script.empty(), !row.ok);
    }
}

TEST(Tx, ParseCountsAndCuts) {
    std::vector<TxInput> inputs;
    std::vector<TxOutput> outputs;
    const std::vector<TxOutput> two{p2pkh_output(5, 1), p2pkh_output(6, 2)};

    EXPECT_TRUE(parse_raw_tx(raw_tx(500, two), inputs, outputs));
    EXPECT_EQ(inputs.size(), 500u);
    EXPECT_EQ(inputs[499].vout, 499u);
    EXPECT_EQ(inputs[1].script_sig, (Bytes{0x51, 0x52}));
    EXPECT_FALSE(parse_raw_tx(raw_tx(501, two), inputs, outputs));
    EXPECT_FALSE(parse_raw_tx(raw_tx(0, two), inputs, outputs));
    EXPECT_FALSE(parse_raw_tx(raw_tx(1, {}), inputs, outputs));
    EXPECT_FALSE(parse_raw_tx(raw_tx(1, std::vector<TxOutput>(501, p2pkh_output(1, 1))), inputs, outputs));

    // Without its lock time the transaction still parses; trailing bytes are ignored.
    Bytes raw = raw_tx(1, two);
    raw.resize(raw.size() - 4);
    EXPECT_TRUE(parse_raw_tx(raw, inputs, outputs));
    raw.insert(raw.end(), 10, 0xEE);
    EXPECT_TRUE(parse_raw_tx(raw, inputs, outputs));
    EXPECT_EQ(outputs[1].sats, 6u);
}

TEST(Tx, ReadersNeverRunPastTheEnd) {
    // Every prefix of a transaction up to the end of its last output must fail for both readers;
    // the sanitizer build catches a read past the end.
    const Bytes full = raw_tx(2, {p2pkh_output(5, 1), p2pkh_output(6, 2)});
    std::vector<std::pair<Bytes, std::uint32_t>> bad; // and the last output index it names
    for (std::size_t len = 0; len + 4 < full.size(); ++len)
        bad.push_back({Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len)), 1});

    // Oversized counts and lengths: 2^64-1 inputs, a script length of 2^64-1, 2^32 outputs.
    const char* forged[] = {
        "01000000ffffffffffffffffff00",
        "0100000001"
        "0000000000000000000000000000000000000000000000000000000000000000"
        "00000000"
        "ffffffffffffffffff"
        "ffffffff01",
        "0100000001"
        "0000000000000000000000000000000000000000000000000000000000000000"
        "00000000"
        "00"
        "ffffffff"
        "ff0000000001000000"
        "0000000000000000",
        "0100000001"
        "0000000000000000000000000000000000000000000000000000000000000000"
        "00000000"
        "00"
        "ffffffff"
        "01"
        "0000000000000000"
        "ffffffffffffffffff",
    };
    for (const char* hex : forged) {
        bad.push_back({from_hex(hex), 0});
        ASSERT_FALSE(bad.back().first.empty());
    }
    for (const auto& [raw, last] : bad) {
        SCOPED_TRACE(to_hex(raw));
        std::vector<TxInput> inputs;
        std::vector<TxOutput> outputs;
        EXPECT_FALSE(parse_raw_tx(raw, inputs, outputs));
        std::uint64_t value = 0;
        Bytes script;
        EXPECT_FALSE(raw_tx_output_at(raw, last, value, script));
    }
}
