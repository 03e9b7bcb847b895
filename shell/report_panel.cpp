#include "shell/report_panel.h"

#include "identity/paymail_announce.h"
#include "identity/typed_sign.h"
#include "shell/jobs.h"
#include "shell/status_line.h"
#include "shell/task_popup.h"
#include "shell/text_helpers.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/crypto.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/ossl_types.h"
#include "wallet/session.h"
#include "wallet/settings.h"
#include "wallet/wallet_file.h"

#include <openssl/obj_mac.h>

#include <nlohmann/json.hpp>

#include <array>
#include <vector>

namespace {

constexpr int kReportEditChars = 2199;
constexpr std::size_t kNonceBytes = 12;
constexpr std::size_t kTagBytes = 16;

bool is_report_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The connected wallet's paymail alias, making sure it has one first; empty without a wallet.
std::string wallet_alias() {
    if (!is_cofferly_connected()) return "";
    auto hold = lock_wallet();
    if (!load_wallet()) return "";
    ensure_wallet_paymail(false);
    return kv_wallet().paymail;
}

void report_box(HWND panel, const std::string& text, UINT icon) {
    MessageBoxW(panel, utf8_to_wide(text).c_str(), L"Report", MB_OK | icon);
}

// X coordinate of own_priv x peer_pub on secp256k1; false for a malformed or out-of-range key.
bool shared_x(const Bytes& priv, const Bytes& peer, std::array<std::uint8_t, 32>& x) {
    GroupPtr group(EC_GROUP_new_by_curve_name(NID_secp256k1));
    BnCtxPtr ctx(BN_CTX_secure_new());
    if (!group || !ctx || priv.size() != 32) return false;
    BnPtr d(BN_secure_new());
    if (!d || !BN_bin2bn(priv.data(), 32, d.get())) return false;
    BN_set_flags(d.get(), BN_FLG_CONSTTIME);
    if (BN_is_zero(d.get()) || BN_cmp(d.get(), EC_GROUP_get0_order(group.get())) >= 0) return false;
    PointPtr peer_point(EC_POINT_new(group.get()));
    PointPtr shared(EC_POINT_new(group.get()));
    BnPtr sx(BN_new());
    if (!peer_point || !shared || !sx ||
        EC_POINT_oct2point(group.get(), peer_point.get(), peer.data(), peer.size(), ctx.get()) != 1 ||
        !EC_POINT_mul(group.get(), shared.get(), nullptr, peer_point.get(), d.get(), ctx.get()) ||
        EC_POINT_is_at_infinity(group.get(), shared.get()) ||
        !EC_POINT_get_affine_coordinates(group.get(), shared.get(), sx.get(), nullptr, ctx.get()))
        return false;
    return BN_bn2binpad(sx.get(), x.data(), 32) == 32;
}

bool aes_gcm_seal(const Hash256& key, const std::string& text, Bytes& sealed) {
    sealed.assign(kNonceBytes, 0);
    if (!random_bytes(sealed.data(), kNonceBytes)) return false;
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), sealed.data()) != 1) return false;
    sealed.resize(kNonceBytes + text.size() + kTagBytes);
    int length = 0;
    int tail = 0;
    if (EVP_EncryptUpdate(ctx.get(), sealed.data() + kNonceBytes, &length,
                          reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), sealed.data() + kNonceBytes + length, &tail) != 1 ||
        static_cast<std::size_t>(length + tail) != text.size() ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagBytes),
                            sealed.data() + kNonceBytes + text.size()) != 1)
        return false;
    return true;
}

} // namespace

std::string trim_report_text(const std::string& text) {
    std::size_t end = text.size();
    while (end > 0 && is_report_blank(text[end - 1]))
        --end;
    std::size_t begin = 0;
    while (begin < end && is_report_blank(text[begin]))
        ++begin;
    return text.substr(begin, end - begin);
}

bool report_text_acceptable(const std::string& trimmed) {
    return !trimmed.empty() && trimmed.size() <= kReportMaxBytes;
}

TypedMessage build_report_message(const std::string& handle, std::int64_t ts, const std::string& encrypted,
                                  const std::string& sender_pub) {
    TypedMessage msg = nlohmann::json::object();
    msg["protocol"] = "PQR-Notes";
    msg["type"] = "report";
    msg["app"] = "Corvane";
    msg["handle"] = handle;
    msg["to_handle"] = "orrinvask";
    msg["location"] = "art";
    msg["ts"] = ts;
    msg["enc"] = encrypted;
    msg["enc_pub"] = sender_pub;
    return msg;
}

bool encrypt_report_text(const ChannelKeys& keys, const std::string& text, std::string& encrypted, std::string& error) {
    encrypted.clear();
    error.clear();
    Bytes priv = from_hex(keys.own_priv);
    const Bytes peer = from_hex(keys.peer_pub);
    std::array<std::uint8_t, 32> x{};
    const bool agreed = shared_x(priv, peer, x);
    wipe(priv);
    if (!agreed) {
        wipe(x.data(), x.size());
        error = "the channel keys are not usable";
        return false;
    }
    Hash256 key = sha256(x.data(), x.size());
    wipe(x.data(), x.size());
    Bytes sealed;
    const bool ok = aes_gcm_seal(key, text, sealed);
    wipe(key.data(), key.size());
    if (!ok) {
        error = "could not encrypt the report";
        return false;
    }
    encrypted = base64_encode(sealed);
    return true;
}

void send_report(HWND panel) {
    if (action_busy.load() != 0) {
        set_status_text(std::wstring(L"Already working..."));
        return;
    }
    if (wallet_alias().empty()) {
        report_box(panel,
                   "Connect Cofferly and publish a name under @" + service_settings().paymail_domain +
                       " first, then send your report.",
                   MB_ICONINFORMATION);
        return;
    }

    std::vector<wchar_t> buffer(kReportEditChars + 1, L'\0');
    GetDlgItemTextW(panel, kBoxReportEdit, buffer.data(), kReportEditChars + 1);
    const std::string text = trim_report_text(wide_to_utf8(buffer.data()));
    if (!report_text_acceptable(text)) {
        report_box(panel, "Write a report (max 2000 characters).", MB_ICONINFORMATION);
        return;
    }

    const std::string handle = wallet_alias();
    const std::int64_t ts = clock_system_ms() / 1000;
    std::string error;
    std::string encrypted;
    ChannelKeys keys;
    if (load_channel_keys(text, error)) {
        keys = loaded_channel_keys();
        encrypt_report_text(keys, text, encrypted, error);
        wipe(keys.own_priv);
    }
    if (encrypted.empty()) {
        report_box(panel, error.empty() ? std::string("Could not encrypt the report.") : error, MB_ICONWARNING);
        return;
    }

    TypedMessage msg = build_report_message(handle, ts, encrypted, keys.own_pub);
    if (!sign_typed_message(msg, error)) {
        report_box(panel, error.empty() ? std::string("Could not sign the report.") : error, MB_ICONWARNING);
        return;
    }

    action_busy.store(1);
    set_status_text(std::wstring(L"Sending report in Cofferly..."));
    // The panel keeps the text until the worker is running: a launch that fails leaves it for
    // another try (the launcher releases the flag and says why).
    if (start_send_report(msg.dump())) DestroyWindow(panel);
}
