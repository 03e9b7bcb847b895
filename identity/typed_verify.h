// Whether a typed message read from the chain, or just signed here, is genuine: its required
// fields are present, its signature covers its canonical text, and its signing key is the platform
// identity key of the person it names. Trading messages, web-gate messages and channel messages
// (every protocol the platform knows, "KV-Art" among them) are each checked their own way.
#pragma once

#include "identity/typed_message.h"

#include <string>

// The full check, identity binding included. False for anything that is not a JSON object or
// fails a check; never throws. May ask the platform for an identity key: call it without the
// wallet mutex.
bool verify_typed_message(const TypedMessage& msg);

// The channel check without identity binding: a known protocol, the required fields, a time
// above 0 and a signature that verifies over the canonical text. Makes no request.
bool verify_channel_message(const TypedMessage& msg);

// True when the hex key, normalised, equals the platform identity key of the actor; false when
// the key does not decode or the actor has no identity key that can be found.
bool identity_matches(const std::string& actor, const std::string& pubkey_text, const std::string& paymail);
