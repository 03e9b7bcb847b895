#include "support/wallet_fixture.h"

#include "platform/fs.h"
#include "support/eventually.h"
#include "support/spawn.h"
#include "support/temp_dir.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/session.h"
#include "wallet/wallet_file.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

const char* const kTestMnemonic =
    "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon about";
const char* const kTestReceive0 = "18pBoqRpHUYf9udsab5G9LT3vQUPxEyMFf";
const char* const kTestReceive1 = "15QVfsvs8n6eoZgjH4e48A9BxLS7EMeWq6";

nlohmann::json test_data_json(const std::string& name) {
    std::ifstream file(std::string(CORVANE_TEST_DATA) + "/" + name, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return nlohmann::json::parse(text.str(), nullptr, false);
}

std::string wallet_path_vector(const std::string& path, const char* field) {
    static const nlohmann::json doc = test_data_json("wallet-paths.json");
    if (!doc.is_object() || !doc["paths"].is_array()) return "";
    for (const nlohmann::json& row : doc["paths"]) {
        if (row["path"] == path && row[field].is_string()) return row[field].get<std::string>();
    }
    return "";
}

TestKey test_key_from_byte(std::uint8_t fill) {
    TestKey k;
    k.priv = to_hex(Bytes(32, fill));
    EXPECT_TRUE(priv_hex_to_pub_hex(k.priv, k.pub));
    k.address = pub_hex_to_address(k.pub);
    k.hash = test_hash_of(k.address);
    return k;
}

TestKey test_receive_key(std::uint32_t index) {
    TestKey k;
    EXPECT_TRUE(derive_account_key(kReceiveAccount, index, k.priv, k.pub, k.address));
    k.hash = test_hash_of(k.address);
    return k;
}

TxOutput pay_to(const TestKey& key, std::uint64_t sats) {
    return TxOutput{sats, p2pkh_script(key.hash)};
}

Hash160 test_hash_of(const std::string& address) {
    Hash160 h{};
    EXPECT_TRUE(address_to_hash160(address, h)) << address;
    return h;
}

std::string hex_id(char c) {
    return std::string(64, c);
}

std::string upper_copy(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

void use_test_hd_wallet(const std::string& wallet_id, const std::array<std::uint32_t, 6>& recv) {
    WalletLock lock = lock_wallet();
    reset_wallet_state_for_tests();
    KvCofferlyWallet& w = kv_wallet();
    w.wallet_id = wallet_id;
    w.is_hd = true;
    w.mnemonic = kTestMnemonic;
    w.recv = recv;
    EXPECT_TRUE(derive_wallet_keys());
}

void write_test_wallet_file(const std::string& id, std::uint32_t receive_counter, int show) {
    nlohmann::json doc = {{"mnemonic", kTestMnemonic}, {"recv", {0, receive_counter, 0, 0, 0, 0}}};
    if (show >= 0) doc["show"] = show;
    test_write_file(wallet_file_path_for_id(id), doc.dump(2));
}

bool load_wallet_id(const std::string& id) {
    WalletLock lock = lock_wallet();
    kv_wallet().wallet_id = id;
    return load_wallet();
}

SinkCapture::SinkCapture() {
    set_status_sink([this](const std::string& text) {
        {
            std::lock_guard<std::mutex> hold(mutex);
            events.push_back(text);
        }
        if (on_event) on_event(text);
    });
    set_log_sink([this](const std::string& text) {
        std::lock_guard<std::mutex> hold(mutex);
        lines.push_back(text);
    });
}

SinkCapture::~SinkCapture() {
    set_status_sink(nullptr);
    set_log_sink(nullptr);
}

std::string test_offer_hex(const std::vector<std::pair<std::string, std::uint32_t>>& spends) {
    std::vector<TxInput> inputs;
    for (const auto& spend : spends) {
        TxInput in;
        in.txid = spend.first;
        in.vout = spend.second;
        inputs.push_back(in);
    }
    Hash160 buyer{};
    buyer.fill(0x77);
    return to_hex(serialize_tx(inputs, {TxOutput{5000, p2pkh_script(buyer)}}, false));
}

SpawnRequest standin_request(const std::string& log_dir, const std::vector<std::string>& args) {
    SpawnRequest request;
#ifdef CORVANE_STANDIN_EXE
    request.exe = CORVANE_STANDIN_EXE;
#endif
    request.args = args;
    request.output_path = log_dir + "/standin.log";
    return request;
}

bool start_standin_answer(const std::string& log_dir, const std::vector<std::string>& reply, SpawnedProcess& proc) {
    const std::string ready = log_dir + "/ready";
    std::vector<std::string> args = {"answer"};
    args.insert(args.end(), reply.begin(), reply.end());
    args.insert(args.end(), {"--ready", ready});
    return spawn_start(standin_request(log_dir, args), proc) && eventually([&] { return platform_file_exists(ready); });
}

void end_standin_answer(const std::string& log_dir, SpawnedProcess& proc) {
    if (proc.handle == -1) return;
    platform_remove_file(log_dir + "/ready");
    spawn_wait(proc);
}
