// The BIP39 English word list: 2048 words in their published (sorted) order, index 0 to 2047.
#pragma once

#include <string>

extern const char* const kBip39English[2048];

// Index of a lower-case word in the list; -1 when it is not a word of the list.
int bip39_word_index(const std::string& word);
