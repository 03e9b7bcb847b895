// The test wallet that many tests share: the published mnemonic "abandon ... about" (its keys are
// listed in tests/data/wallet-paths.json), keys made from one repeated byte, and the wallet state
// set up in memory or loaded from a wallet file in the current data folder.
#pragma once

#include "chain/tx.h"
#include "support/wallet_reset.h"
#include "wallet/codecs.h"
#include "wallet/kv_cofferly_wallet.h"

#include <nlohmann/json_fwd.hpp>

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

extern const char* const kTestMnemonic;
// Receive keys m/44'/236'/1'/0/0 and /1 of the test mnemonic.
extern const char* const kTestReceive0;
extern const char* const kTestReceive1;

// A file of tests/data, parsed; a discarded value when it is missing or not JSON.
nlohmann::json test_data_json(const std::string& name);

// Field `field` ("privateKey", "publicKey", "address", "hash160") of path `path` in
// wallet-paths.json; "" when the file has no such row.
std::string wallet_path_vector(const std::string& path, const char* field);

struct TestKey {
    std::string priv, pub, address;
    Hash160 hash{};
};

// The key whose private key is 32 bytes of `fill`.
TestKey test_key_from_byte(std::uint8_t fill);

// Receive key `index` (account 1) of the wallet in memory; a test failure when it cannot be derived.
TestKey test_receive_key(std::uint32_t index);

// An output paying `sats` to the key's address.
TxOutput pay_to(const TestKey& key, std::uint64_t sats);

// The hash160 of an address; a test failure when it is not one.
Hash160 test_hash_of(const std::string& address);

// A 64-character transaction id of one repeated character.
std::string hex_id(char c);

// ASCII a-z raised; every other byte unchanged.
std::string upper_copy(std::string text);

// An unsigned offer transaction spending the outpoints, as a buyer's gallery record embeds it.
std::string test_offer_hex(const std::vector<std::pair<std::string, std::uint32_t>>& spends);

// Runs the wallet-program stand-in with its output in `log_dir` + "/standin.log".
struct SpawnRequest;
SpawnRequest standin_request(const std::string& log_dir, const std::vector<std::string>& args);

// Starts the stand-in answering the next connect request with `reply` (its "answer" arguments) and
// waits until it waits, its window up; false when it did not start or never came that far.
struct SpawnedProcess;
bool start_standin_answer(const std::string& log_dir, const std::vector<std::string>& reply, SpawnedProcess& proc);

// Calls off the wait of a stand-in that still waits for a request (a test that failed before it
// wrote one), so the test ends now rather than at the stand-in's bound. Nothing when none runs.
void end_standin_answer(const std::string& log_dir, SpawnedProcess& proc);

// Starts the wallet and coin state afresh (reset_wallet_state_for_tests) and puts the test
// mnemonic in memory as HD wallet `wallet_id` with these account counters, its keys derived.
void use_test_hd_wallet(const std::string& wallet_id, const std::array<std::uint32_t, 6>& recv);

// Writes wallet `id`'s file: the test mnemonic with receive counter `receive_counter` and, unless
// `show` is negative, that shown index (a file without one shows the newest receive key).
void write_test_wallet_file(const std::string& id, std::uint32_t receive_counter = 0, int show = -1);

// Binds wallet `id` in memory and loads its file; the result of load_wallet.
bool load_wallet_id(const std::string& id);

// Collects the status events and log lines sent while it lives, from any thread; `on_event`, when
// set, runs after each event is kept.
struct SinkCapture {
    std::mutex mutex;
    std::vector<std::string> events;
    std::vector<std::string> lines;
    std::function<void(const std::string&)> on_event;

    SinkCapture();
    ~SinkCapture();
    SinkCapture(const SinkCapture&) = delete;
    SinkCapture& operator=(const SinkCapture&) = delete;
};
