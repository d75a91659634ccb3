// The hash of the backups' manifest, against the standard's own examples.
#include "scan/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

std::string HexOf(const std::string& text, size_t piece) {
  scan::Sha256 hash;
  for (size_t at = 0; at < text.size(); at += piece) {
    size_t length = std::min(piece, text.size() - at);
    hash.Add(reinterpret_cast<const uint8_t*>(text.data() + at), length);
  }
  return hash.FinishHex();
}

TEST(Sha256, KnownDigestsWhateverThePieces) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [text, digest] : cases) {
    for (size_t piece : {size_t{1}, size_t{63}, size_t{64}, size_t{1000}}) {
      if (text.size() > 1000 && piece == 1) continue;
      EXPECT_EQ(HexOf(text, piece), digest) << text.size() << " bytes in pieces of " << piece;
    }
  }
}

}  // namespace
