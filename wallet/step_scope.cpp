#include "wallet/step_scope.h"

#include "wallet/codecs.h"

namespace {

thread_local StepAnswers* t_step = nullptr;

std::string spend_key(const std::string& txid, std::uint32_t vout) {
    return to_lower_copy(txid) + "_" + std::to_string(vout);
}

} // namespace

StepScope::StepScope() {
    if (t_step) return;
    own_ = std::make_unique<StepAnswers>();
    t_step = own_.get();
}

StepScope::~StepScope() {
    if (own_) t_step = nullptr;
}

StepAnswers* step_answers() {
    return t_step;
}

StepJoin::StepJoin(StepAnswers* step) : previous_(t_step) {
    t_step = step;
}

StepJoin::~StepJoin() {
    t_step = previous_;
}

bool step_spend_known(const std::string& txid, std::uint32_t vout, int& code, std::string& spender) {
    StepAnswers* step = t_step;
    if (!step) return false;
    std::lock_guard<std::mutex> lock(step->mutex);
    const auto kept = step->spends.find(spend_key(txid, vout));
    if (kept == step->spends.end()) return false;
    code = kept->second.first;
    spender = kept->second.second;
    return true;
}

void step_spend_note(const std::string& txid, std::uint32_t vout, int code, const std::string& spender) {
    StepAnswers* step = t_step;
    if (!step) return;
    std::lock_guard<std::mutex> lock(step->mutex);
    step->spends.emplace(spend_key(txid, vout), std::make_pair(code, spender));
}

std::shared_ptr<const void> step_kept(const std::string& key) {
    StepAnswers* step = t_step;
    if (!step) return nullptr;
    std::lock_guard<std::mutex> lock(step->mutex);
    const auto kept = step->kept.find(key);
    return kept == step->kept.end() ? nullptr : kept->second;
}

void step_keep(const std::string& key, std::shared_ptr<const void> answer) {
    StepAnswers* step = t_step;
    if (!step) return;
    std::lock_guard<std::mutex> lock(step->mutex);
    step->kept[key] = std::move(answer);
}
