// The fake ledger's own small script interpreter: it runs an input's unlocking script and the spent
// output's locking script as a node does since the Genesis upgrade, with the few operations the
// program's locking scripts use (pushes, conditionals with skipped branches, stack moves, HASH160,
// EQUAL, CHECKSIG). Anything else fails, so a script the fake cannot judge is never waved through.
#pragma once

#include "wallet/crypto.h"

#include <cstdint>
#include <functional>
#include <string>

// The digest (hash byte order) a signature of `hash_type` commits to, with `script_code` as the
// spent output's script.
using SighashOf = std::function<Hash256(const Bytes& script_code, std::uint32_t hash_type)>;

// Runs `unlocking` (push-only) and then `locking` on the same stack; the input is valid when the
// stack ends as exactly one true element. Signatures: strict DER, low S, a defined hash type with
// FORKID, verified by libsecp256k1; a failing signature must be empty. False with the node's words,
// "mandatory-script-verify-flag-failed (<what>)".
bool verify_script(const Bytes& unlocking, const Bytes& locking, const SighashOf& sighash, std::string& reason);
