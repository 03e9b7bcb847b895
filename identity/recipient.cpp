#include "identity/recipient.h"

#include "identity/paymail_registry.h"
#include "wallet/codecs.h"
#include "wallet/http_client.h"
#include "wallet/json_util.h"
#include "wallet/settings.h"
#include "wallet/wallet_file.h"

#include <nlohmann/json.hpp>

namespace {

bool is_valid_address(const std::string& text) {
    Hash160 ignored{};
    return address_to_hash160(text, ignored);
}

// The handle is typed by the user: a "/", "?", "#" or blank in it must not reach another path of
// the host, so everything outside the unreserved set is escaped ("@" may stand in a path).
std::string escape_paymail_for_path(const std::string& paymail) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : paymail) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '.' || c == '_' || c == '~' || c == '@';
        if (keep) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

// A handle is taken exactly as typed or not at all: dropping a stray character would quietly turn
// "bob+1" into another person's label "bob1".
bool is_alias_text(const std::string& name) {
    if (name.empty()) return false;
    for (char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_')) return false;
    }
    return true;
}

// The answer of the address service at `url`, "" when it gave no valid address.
std::string ask_address_service(const std::string& url) {
    std::string body, transport_error;
    if (!http_get_platform(url, body, transport_error)) return "";
    const std::string address = json_text(json_parse_or_discarded(body), "ordAddress");
    return is_valid_address(address) ? address : std::string();
}

// Holds the caller's lock again on every way out of the online look-up.
struct Relock {
    WalletLock& lock;
    ~Relock() {
        if (!lock.owns_lock()) lock.lock();
    }
};

} // namespace

std::string recipient_form_hint() {
    return "use their handle or an @" + service_settings().paymail_domain + " paymail.";
}

std::string resolve_recipient_local(const std::string& text, std::string& error, std::string& handle) {
    error.clear();
    handle.clear();
    const std::string s = normalize_contact_dest(text);
    if (s.empty()) {
        error = "enter their handle or paymail.";
        return "";
    }
    if (s.size() >= 26 && s[0] == '1' && is_valid_address(s)) return s;

    const std::string platform_domain = service_settings().paymail_domain;
    std::string name = s;
    std::string domain = platform_domain;
    const std::size_t at = s.find('@');
    if (at != std::string::npos) {
        name = s.substr(0, at);
        domain = s.substr(at + 1);
    }
    if (domain != platform_domain) {
        error = recipient_form_hint();
        return "";
    }
    if (!is_alias_text(name)) {
        error = kRecipientAlphabetError;
        return "";
    }
    const std::string known = ord_address_for_name(name);
    if (!known.empty() && is_valid_address(known)) return known;
    handle = name;
    return "";
}

namespace {

// The platform's answer for the handle, recorded under the very label that was asked; else the
// local service's, with `from_loopback` set and recorded nowhere. "" when neither answers.
std::string online_ord_address(const std::string& handle, bool& from_loopback) {
    from_loopback = false;
    if (handle.empty()) return "";
    const ServiceSettings settings = service_settings();
    const std::string path = "/api/bsvalias/address/" + escape_paymail_for_path(handle + "@" + settings.paymail_domain);
    std::string address = ask_address_service(settings.platform_base + path);
    if (!address.empty()) {
        // Kept only under the very label that was asked, so a later pass to another name never
        // reuses it.
        if (normalize_paymail_name(handle) == handle) set_label_ord_address(handle, address);
        return address;
    }
    // Whatever listens on the loopback port is asked without certificate checks: its answer is
    // never recorded, and no coin goes there before the user has seen it in a confirmation.
    address = ask_address_service(settings.local_bsvalias_base + path);
    from_loopback = !address.empty();
    return address;
}

} // namespace

std::string bsvalias_ord_address(const std::string& handle, std::string& error) {
    error.clear();
    const std::string domain = service_settings().paymail_domain;
    const std::string paymail = handle + "@" + domain;
    bool from_loopback = false;
    const std::string address = online_ord_address(handle, from_loopback);
    if (address.empty()) {
        error = "no ordinals address for " + paymail;
        return "";
    }
    if (!from_loopback) return address;
    // Only a confirmation may hand the local answer on: the user must have seen it first.
    error = domain + " did not answer for " + paymail + "; the local address service on this computer names " +
            address + ". Pass again to see it in the confirmation before anything is sent.";
    return "";
}

bool resolve_recipient_for_confirmation(const std::string& text, RecipientAddress& out, std::string& error) {
    out = RecipientAddress{};
    std::string handle;
    std::string address = resolve_recipient_local(text, error, handle);
    if (address.empty() && handle.empty()) return false;
    const std::string domain = service_settings().paymail_domain;
    if (!address.empty()) {
        // A registry entry names a handle; a typed 1-address names no identity the title could
        // pass to, and the pass would refuse it only after the user confirmed it.
        const std::string typed = normalize_contact_dest(text);
        if (typed == address) {
            error = "an address names no identity to pass the title to: " + recipient_form_hint();
            return false;
        }
        out.paymail = typed.substr(0, typed.find('@')) + "@" + domain;
    } else {
        address = online_ord_address(handle, out.from_loopback);
        if (address.empty()) {
            error = "no ordinals address for " + handle + "@" + domain;
            return false;
        }
        out.paymail = handle + "@" + domain;
    }
    out.address = address;
    return true;
}

std::string resolve_recipient_ord_address(WalletLock& wallet_lock, const std::string& text, std::string& error) {
    std::string handle;
    const std::string local = resolve_recipient_local(text, error, handle);
    if (!local.empty() || handle.empty()) return local;
    Relock relock{wallet_lock};
    if (wallet_lock.owns_lock()) wallet_lock.unlock();
    return bsvalias_ord_address(handle, error);
}
