#include "chain/step_wallet.h"

#include "chain/coin_snapshots.h"
#include "wallet/kv_cofferly_wallet.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <vector>

struct StepWalletBinding {
    std::string step;
    StepSubject named; // subject "" until the step names it
    bool bound = false;
    std::string stem;
    std::string wallet_id;
};

namespace {

thread_local StepWalletBinding* t_bound = nullptr;

std::mutex g_out_mutex;
std::vector<std::string> g_going_out; // guarded by g_out_mutex: one name per transaction going out

std::string loaded_stem() {
    const KvCofferlyWallet& w = kv_wallet();
    return wallet_file_stem_of(w.wallet_id, w.identity_address, w.address);
}

// A wallet that nothing names yet ("wallet") is bound once it is loaded: the step's own gate loads
// it before anything is filed.
StepWalletBinding* bound_step() {
    StepWalletBinding* step = t_bound;
    if (!step || step->bound) return step;
    WalletLock lock = lock_wallet();
    const std::string stem = loaded_stem();
    if (stem == "wallet") return step;
    step->stem = stem;
    step->wallet_id = kv_wallet().wallet_id;
    step->bound = true;
    return step;
}

// The user's word for a step.
const char* step_noun(const std::string& step) {
    static const char* const kNouns[][2] = {
        {"pair", "a pairing"}, {"inscribe", "an inscription"}, {"certificate", "a certificate"},
        {"pass", "a pass"},    {"pay", "a payment"},           {"accept", "an acceptance"},
        {"complete", "a sale"}};
    for (const auto& noun : kNouns)
        if (step == noun[0]) return noun[1];
    return "a payment";
}

} // namespace

StepWalletScope::StepWalletScope(const char* step) {
    if (t_bound) return;
    own_ = std::make_unique<StepWalletBinding>();
    own_->step = step ? step : "";
    t_bound = own_.get();
    bound_step();
}

StepWalletScope::~StepWalletScope() {
    if (own_) t_bound = nullptr;
}

std::string step_wallet_stem() {
    const StepWalletBinding* step = bound_step();
    if (step && step->bound) return step->stem;
    return wallet_file_stem();
}

std::string step_wallet_id() {
    const StepWalletBinding* step = bound_step();
    if (step && step->bound) return step->wallet_id;
    WalletLock lock = lock_wallet();
    return kv_wallet().wallet_id;
}

bool step_wallet_bound() {
    return t_bound != nullptr;
}

void name_step_subject(const std::string& step, const std::string& subject, const std::string& terms,
                       bool keep_sent) {
    if (t_bound) t_bound->named = StepSubject{step, subject, terms, keep_sent};
}

bool named_step_subject(StepSubject& out) {
    if (!t_bound || t_bound->named.subject.empty()) return false;
    out = t_bound->named;
    return true;
}

bool step_wallet_loaded() {
    const StepWalletBinding* step = bound_step();
    if (!step || !step->bound) return true;
    WalletLock lock = lock_wallet();
    return loaded_stem() == step->stem;
}

bool relock_same_wallet(WalletLock& lock) {
    if (!lock.owns_lock()) lock.lock();
    return step_wallet_loaded();
}

GoingOut::GoingOut() {
    const std::string name = t_bound ? t_bound->step : std::string();
    std::lock_guard<std::mutex> guard(g_out_mutex);
    g_going_out.push_back(name);
}

GoingOut::~GoingOut() {
    const std::string name = t_bound ? t_bound->step : std::string();
    std::lock_guard<std::mutex> guard(g_out_mutex);
    const auto it = std::find(g_going_out.begin(), g_going_out.end(), name);
    if (it != g_going_out.end()) g_going_out.erase(it);
}

std::string step_going_out_text() {
    std::string name;
    {
        std::lock_guard<std::mutex> guard(g_out_mutex);
        if (g_going_out.empty()) return std::string();
        name = g_going_out.front();
    }
    std::string noun = step_noun(name);
    noun[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(noun[0])));
    return noun + " is going out. Unbind or Connect once it is answered.";
}
