// Claiming the wallet's paymail labels on the platform host with a request signed by the identity
// key, the dedupe of repeated claims, and the host role that sets the label quota. Every call here
// makes network requests: call them without the wallet mutex (the signer takes it itself).
#pragma once

#include <cstdint>
#include <string>

// The text the identity key signs for a claim: "KV-PAYMAIL-CLAIM|" alias|pubkey|address|avatar|,
// then ord|bn_pub|bn_address| when the BN key is known (both non-empty), else ord| only when the
// ordinals address is non-empty, then the Unix seconds.
std::string paymail_claim_text(const std::string& alias, const std::string& pubkey_hex, const std::string& address,
                               const std::string& avatar, const std::string& ord_address, const std::string& bn_pub,
                               const std::string& bn_address, std::int64_t ts);

// The host's non-empty string "error" of a JSON object reply, else "".
std::string reply_error_text(const std::string& body);

// One signed POST of the claim to "/api/paymail/claim". "" when the host accepted it, else the
// reason: a bad alias or key, a signing failure, a key mismatch, the host's error, the transport's.
std::string claim_paymail(const std::string& alias, const std::string& pubkey_hex, const std::string& address,
                          const std::string& avatar, const std::string& ord_address);

// Claims unless the same label, address, ordinals address and avatar were last accepted in this
// process. Failures are dropped: the next status refresh tries again.
void claim_paymail_if_changed(const std::string& label, const std::string& pubkey_hex, const std::string& address,
                              const std::string& avatar, const std::string& ord_address);

// Claims every registry label of the identity again, in label order, forgetting the last claim.
void claim_all_paymails(const std::string& pubkey_hex, const std::string& address, const std::string& avatar,
                        const std::string& ord_address);

// Forgets the last accepted claim, so the next claim_paymail_if_changed sends one (tests, restart).
void forget_last_paymail_claim();

// Asks the host for the loaded wallet's role and stores it as the registry's "host_role". Fails
// silently: a failed request or an unreadable reply keeps the stored role.
void paymail_quota_refresh();
