#include "wallet/session.h"

#include "platform/fs.h"
#include "wallet/clock.h"
#include "wallet/codecs.h"
#include "wallet/crypto.h"
#include "wallet/json_util.h"
#include "wallet/keys.h"
#include "wallet/kv_cofferly_wallet.h"
#include "wallet/registry.h"
#include "wallet/settings.h"
#include "wallet/wallet_file.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>

using nlohmann::json;

namespace {

constexpr KeyPath kBnPath = {kPurpose, kCoinType, 102 | kHardened, 0, 0};
// A holder of the wallet mutex is usually done within a few milliseconds; a payment holds it for
// seconds, and then the view answers instead of the window thread waiting.
constexpr int kBriefLockTries = 20;

// The two outlets of the wallet core, each guarded by sink_mutex.
std::mutex sink_mutex;
TextSink status_sink;
TextSink log_sink;

std::mutex g_view_mutex;
WalletView g_view;

void send_to(const TextSink& slot, const std::string& text) {
    TextSink sink;
    {
        std::lock_guard<std::mutex> hold(sink_mutex);
        sink = slot;
    }
    if (sink) sink(text);
}

WalletLock try_lock_wallet() {
    return WalletLock(kv_wallet_mutex(), std::try_to_lock);
}

// Waits a few milliseconds at most for the wallet mutex; the caller answers from the view when
// the lock is still taken afterwards.
void wait_briefly(WalletLock& lock) {
    for (int i = 0; i < kBriefLockTries && !lock.owns_lock(); ++i) {
        clock_sleep_ms(1);
        lock.try_lock();
    }
}

struct ParsedFile {
    json doc;
    bool ok = false;
    ~ParsedFile() { wipe_wallet_doc_secrets(doc); }
};

void parse_wallet_file(const std::string& path, ParsedFile& out) {
    std::string text;
    if (path.empty() || !read_file_text(path, text)) return;
    out.doc = json_parse_or_discarded(text);
    wipe(text);
    out.ok = !out.doc.is_discarded();
}

// Address, paymail and HD flag straight from a wallet file, without deriving anything.
bool read_wallet_file_summary(const std::string& path, std::string& address, std::string& paymail, bool& is_hd) {
    if (path.empty() || platform_file_exists(path + ".seal")) return false;
    ParsedFile file;
    parse_wallet_file(path, file);
    if (!file.ok || !file.doc.is_object() || is_wallet_lock_record(file.doc)) return false;
    const auto mnemonic = file.doc.find("mnemonic");
    const auto priv = file.doc.find("priv");
    const bool hd = mnemonic != file.doc.end() && mnemonic->is_string();
    if (!hd && (priv == file.doc.end() || !priv->is_string())) return false;
    is_hd = hd;
    address = json_text(file.doc, "address");
    paymail = full_paymail(json_text(file.doc, "paymail"));
    return true;
}

// r and s of a DER signature, each left-padded to 32 bytes.
bool der_to_compact(const Bytes& der, std::array<std::uint8_t, 64>& rs) {
    std::size_t pos = 0;
    if (der.size() < 8 || der[pos++] != 0x30) return false;
    if (der[pos++] != der.size() - 2) return false;
    for (int part = 0; part < 2; ++part) {
        if (pos + 2 > der.size() || der[pos++] != 0x02) return false;
        std::size_t len = der[pos++];
        if (len == 0 || pos + len > der.size()) return false;
        std::size_t start = pos;
        while (len > 32 && der[start] == 0) {
            ++start;
            --len;
        }
        if (len > 32) return false;
        std::copy(der.begin() + static_cast<std::ptrdiff_t>(start),
                  der.begin() + static_cast<std::ptrdiff_t>(start + len),
                  rs.begin() + static_cast<std::ptrdiff_t>(part * 32 + 32 - len));
        pos = start + len;
    }
    return pos == der.size();
}

bool sign_compact(const std::string& priv_hex, const Hash256& digest, std::array<std::uint8_t, 64>& rs) {
    rs.fill(0);
    Bytes der;
    return ecdsa_sign_der(priv_hex, digest.data(), der) && der_to_compact(der, rs);
}

bool hd_wallet_loaded() {
    const bool ok = load_wallet() && kv_wallet().is_hd;
    note_wallet_state_changed();
    return ok;
}

} // namespace

void set_status_sink(TextSink sink) {
    std::lock_guard<std::mutex> hold(sink_mutex);
    status_sink = std::move(sink);
}

void set_log_sink(TextSink sink) {
    std::lock_guard<std::mutex> hold(sink_mutex);
    log_sink = std::move(sink);
}

std::string build_status_event(const std::string& tag, const std::string& kind, const std::string& field1,
                               const std::string& field2, const std::string& field3) {
    const std::string* fields[] = {&field1, &field2, &field3};
    std::size_t count = 3;
    while (count > 0 && fields[count - 1]->empty())
        --count;
    std::string text = tag + kStatusSeparator + kind;
    for (std::size_t i = 0; i < count; ++i) {
        text += kStatusSeparator;
        text += *fields[i];
    }
    return text;
}

void emit_status_event(const std::string& tag, const std::string& kind, const std::string& field1,
                       const std::string& field2, const std::string& field3) {
    send_to(status_sink, build_status_event(tag, kind, field1, field2, field3));
}

void emit_log_line(const std::string& text) {
    send_to(log_sink, text);
}

void platform_log_line(const std::string& text) {
    emit_log_line(text);
}

std::string emit_cofferly_error(const std::string& message) {
    emit_status_event(kCofferlyTag, "error", message);
    return message;
}

WalletView wallet_view() {
    std::lock_guard<std::mutex> hold(g_view_mutex);
    return g_view;
}

void note_wallet_state_changed() {
    WalletLock lock = lock_wallet();
    const KvCofferlyWallet& w = kv_wallet();
    WalletView view;
    view.wallet_id = w.wallet_id;
    view.loaded = !w.priv.empty() && !w.address.empty();
    view.is_hd = w.is_hd;
    view.address = w.address;
    view.identity_address = w.identity_address;
    view.paymail = w.paymail;
    view.save_pending = w.save_pending;
    view.save_read_only = w.save_read_only;
    std::lock_guard<std::mutex> hold(g_view_mutex);
    g_view = std::move(view);
}

bool is_cofferly_connected() {
    WalletLock lock = try_lock_wallet();
    if (wallet_binding().app_mode) {
        std::string id = bound_wallet_id();
        if (id.empty()) id = lock.owns_lock() ? kv_wallet().wallet_id : wallet_view().wallet_id;
        if (id.empty()) return false;
    }
    if (!lock.owns_lock()) {
        WalletView view = wallet_view();
        if (view.loaded) return view.is_hd;
        wait_briefly(lock);
        if (!lock.owns_lock()) return false;
    }
    return hd_wallet_loaded();
}

std::string full_paymail(const std::string& alias) {
    if (alias.empty()) return std::string();
    return alias + "@" + service_settings().paymail_domain;
}

bool wallet_address_info(std::string& address, std::string& paymail, bool& is_hd) {
    address.clear();
    paymail.clear();
    is_hd = false;
    WalletLock lock = try_lock_wallet();
    if (!lock.owns_lock() && wallet_view().address.empty()) wait_briefly(lock);
    WalletView view;
    std::string path;
    if (lock.owns_lock()) {
        note_wallet_state_changed();
        view = wallet_view();
        if (view.address.empty() && !view.wallet_id.empty()) path = wallet_file_path();
    } else {
        view = wallet_view();
        if (view.address.empty() && !view.wallet_id.empty()) path = wallet_file_path_for_id(view.wallet_id);
    }
    if (!view.address.empty()) {
        address = view.address;
        is_hd = view.is_hd;
        paymail = full_paymail(view.paymail);
        return true;
    }
    if (read_wallet_file_summary(path, address, paymail, is_hd)) return true;
    address.clear();
    paymail.clear();
    is_hd = false;
    return false;
}

std::string current_receive_address() {
    WalletLock lock = lock_wallet();
    const bool ok = load_wallet();
    note_wallet_state_changed();
    return ok ? kv_wallet().address : std::string();
}

std::string current_identity_pubkey() {
    WalletLock lock = lock_wallet();
    const bool ok = load_wallet();
    note_wallet_state_changed();
    if (!ok) return std::string();
    const KvCofferlyWallet& w = kv_wallet();
    return w.is_hd ? w.identity_pub : w.pub;
}

void sync_wallet_from_file() {
    WalletLock lock = lock_wallet();
    KvCofferlyWallet& w = kv_wallet();
    if (w.priv.empty() || w.address.empty()) return;
    ParsedFile file;
    parse_wallet_file(wallet_file_path(), file);
    if (!file.ok || !file.doc.is_object() || is_wallet_lock_record(file.doc)) return;

    const std::uint32_t receive_before = w.recv[kReceiveAccount];
    auto recv = file.doc.find("recv");
    if (recv != file.doc.end() && recv->is_array()) {
        for (std::size_t i = 0; i < w.recv.size() && i < recv->size(); ++i) {
            std::uint32_t value = 0;
            if (json_as_u32((*recv)[i], value) && value > w.recv[i]) w.recv[i] = value;
        }
    }
    // Taken from the file, they are no change of this program's for the next save to write.
    w.ord_avatar = json_text(file.doc, "ord_avatar");
    w.file_base.ord_avatar = w.ord_avatar;
    auto alias = file.doc.find("paymail");
    if (alias != file.doc.end() && alias->is_string()) w.paymail = w.file_base.paymail = alias->get<std::string>();
    if (w.is_hd && w.recv[kReceiveAccount] != receive_before) derive_wallet_keys();
    note_wallet_state_changed();
}

void clear_wallet_session() {
    WalletLock lock = lock_wallet();
    KvCofferlyWallet& w = kv_wallet();
    // A change the disk refused gets one more try before the state it lives in goes.
    if (w.save_pending) save_wallet();
    w.save_pending = false;
    w.save_read_only = false;
    reset_loaded_wallet_fields(w);
    w.pub.clear();
    w.address.clear();
    w.show = 0;
    clear_chain_session_state();
    note_wallet_state_changed();
}

std::string disconnect_cofferly() {
    WalletLock lock = lock_wallet();
    if (wallet_binding().app_mode) {
        platform_remove_file(bind_file_path());
        kv_wallet().wallet_id.clear();
    }
    clear_wallet_session();
    emit_status_event(kCofferlyTag, "status");
    emit_log_line("This app is no longer connected to a Cofferly wallet.\n");
    return "success";
}

bool sign_with_identity(const std::string& message, std::string& pubkey_hex, std::string& signature_b64,
                        std::string& error) {
    pubkey_hex.clear();
    signature_b64.clear();
    error.clear();
    WalletLock lock = lock_wallet();
    if (!hd_wallet_loaded()) {
        error = "Cofferly HD wallet not connected";
        return false;
    }
    std::string priv, pub, address;
    if (kv_wallet().mnemonic.empty() || !derive_path(kIdentityPath, priv, pub, address) || priv.size() != 64) {
        wipe(priv);
        error = "could not derive Cofferly identity key";
        return false;
    }
    std::array<std::uint8_t, 64> rs{};
    // Verifiers of signed messages check the prefixed digest; the plain hash is only a fallback.
    const bool signed_ok =
        sign_compact(priv, bitcoin_message_digest(message), rs) || sign_compact(priv, sha256(message), rs);
    wipe(priv);
    if (!signed_ok) {
        error = "Cofferly identity sign failed";
        return false;
    }
    pubkey_hex = pub;
    signature_b64 = base64_encode(rs.data(), rs.size());
    return true;
}

bool derive_bn_key(std::string& pubkey_hex, std::string& priv_hex, std::string& address, std::string& error) {
    pubkey_hex.clear();
    priv_hex.clear();
    address.clear();
    error.clear();
    WalletLock lock = lock_wallet();
    if (!hd_wallet_loaded()) {
        error = "Cofferly HD wallet not connected";
        return false;
    }
    std::string priv, pub, addr;
    if (!kv_wallet().mnemonic.empty() && derive_path(kBnPath, priv, pub, addr) && priv.size() == 64 &&
        pub.size() == 66 && !addr.empty()) {
        pubkey_hex = pub;
        priv_hex = priv;
        address = addr;
        wipe(priv);
        return true;
    }
    wipe(priv);
    error = "could not derive the BN key";
    return false;
}
