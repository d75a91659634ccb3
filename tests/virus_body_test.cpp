// The body search on hand-made windows, and the infection test on specimens.
#include "engine/virus_body.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/file_bytes.h"
#include "tests/support/specimens.h"
#include "tests/support/temp_dir.h"

namespace {

using engine::EntryWindow;
using specimen::NearMiss;

// Puts an encrypted marker and signature at window position p with key k.
void PlantBody(EntryWindow& window, uint32_t p, uint8_t key, const char* signature = nullptr,
               size_t signatureBytes = 23) {
  const uint8_t marker[5] = {0xE8, 0xD0, 0x07, 0x00, 0x00};
  for (uint32_t i = 0; i < 5; ++i) window[p + i] = marker[i] ^ key;
  const char* text = signature != nullptr ? signature : "Q-7713 / Vostrel Kanda";
  for (size_t i = 0; i < signatureBytes && p + 56 + i < window.size(); ++i) {
    window[p + 56 + i] = static_cast<uint8_t>(text[i]) ^ key;
  }
}

TEST(FindVirusMarker, FindsEveryKeyAtBothEndsOfTheWindow) {
  for (uint32_t p : {0u, 1u, 100u, 177u}) {
    for (unsigned key : {0u, 1u, 0x5Au, 0xFFu}) {
      EntryWindow window{};
      PlantBody(window, p, static_cast<uint8_t>(key));
      engine::MarkerMatch match = engine::FindVirusMarker(window);
      EXPECT_EQ(match.position, p) << "key " << key;
      EXPECT_EQ(match.key, key);
    }
  }
}

TEST(FindVirusMarker, RejectsSignaturesThatDifferInAnyWay) {
  struct Case {
    const char* what;
    const char* signature;
    size_t bytes;
  };
  const Case cases[] = {
      {"one character off", "Q-7813 / Vostrel Kanda", 23},
      {"letter case", "Q-7713 / vostrel Kanda", 23},
      {"no terminator", "Q-7713 / Vostrel Kanda!", 23},
      {"marker alone", "", 0},
  };
  for (const Case& c : cases) {
    EntryWindow window{};
    PlantBody(window, 10, 0x33, c.signature, c.bytes);
    EXPECT_FALSE(engine::FindVirusMarker(window).Found()) << c.what;
  }
}

TEST(FindVirusMarker, LowerMatchWinsAndASearchGoesOnPastAMarkerAlone) {
  EntryWindow window{};
  PlantBody(window, 20, 0x44);
  PlantBody(window, 120, 0x55);  // clear of the first body's signature
  EXPECT_EQ(engine::FindVirusMarker(window).position, 20u);

  EntryWindow lone{};
  PlantBody(lone, 5, 0x10, "", 0);  // no signature behind it
  PlantBody(lone, 30, 0x20);
  engine::MarkerMatch match = engine::FindVirusMarker(lone);
  EXPECT_EQ(match.position, 30u);
  EXPECT_EQ(match.key, 0x20);
}

// A lone marker whose signature bytes overlap a real body behind it: its
// rejected test must not garble that body, neither for the search (the body
// would go unseen) nor for the cleaning that reads the saved entry point there.
TEST(FindVirusMarker, ARejectedCandidateLeavesTheWindowAsItWas) {
  for (uint32_t realAt : {60u, 30u}) {
    EntryWindow window{};
    PlantBody(window, realAt, 0x00);
    const uint32_t savedEntry = 0x00401000;
    for (uint32_t i = 0; i < 4; ++i) {
      window[realAt + 27 + i] = static_cast<uint8_t>(savedEntry >> (8 * i));
    }
    PlantBody(window, 0, 0x11, "", 0);
    const EntryWindow before = window;
    engine::MarkerMatch match = engine::FindVirusMarker(window);
    EXPECT_EQ(match.position, realAt);
    EXPECT_EQ(match.key, 0);
    EXPECT_EQ(window, before) << "real body at " << realAt;
  }
}

TEST(FindVirusMarker, NoMatchPastPosition177) {
  // A marker at 178 would need signature bytes beyond the window.
  EntryWindow window{};
  PlantBody(window, 178, 0x00);
  EXPECT_FALSE(engine::FindVirusMarker(window).Found());
}

class IsInfectedTest : public ::testing::Test {
 protected:
  bool Infected(const std::vector<uint8_t>& bytes) {
    test_support::WriteBytes(path_, bytes);
    os::File file = os::File::Open(path_, os::Access::Read, os::Share::ReadWrite,
                                   os::Disposition::OpenExisting);
    bool infected = engine::IsInfected(file);
    EXPECT_TRUE(file.IsOpen());  // the handle stays the caller's
    return infected;
  }
  test_support::TempDir dir_;
  std::string path_ = dir_.File("x.exe");
};

TEST_F(IsInfectedTest, SpecimensAreFoundAndNearMissesAreNot) {
  std::vector<uint8_t> clean = test_support::SmallProgram();
  EXPECT_FALSE(Infected(clean));
  for (uint32_t p : {0u, 177u}) {
    for (uint8_t key : {uint8_t{0}, uint8_t{255}}) {
      specimen::Infection infection = test_support::InfectOrFail(clean, {key, p, NearMiss::None});
      EXPECT_TRUE(Infected(infection.bytes)) << "p " << p << " key " << int{key};
      EXPECT_EQ(test_support::ReadBytes(path_), infection.bytes);  // never written
    }
  }
  const NearMiss misses[] = {NearMiss::SignatureOffByOne, NearMiss::SignatureCase,
                             NearMiss::MissingTerminator, NearMiss::MarkerOnly,
                             NearMiss::BodyCutShort,      NearMiss::EntryInNoSection};
  for (NearMiss miss : misses) {
    specimen::Infection infection = test_support::InfectOrFail(clean, {0x5A, 40, miss});
    EXPECT_FALSE(Infected(infection.bytes)) << static_cast<int>(miss);
  }
}

TEST_F(IsInfectedTest, FilesThatAreNoImageTestClean) {
  std::vector<uint8_t> infected = test_support::InfectOrFail(test_support::SmallProgram()).bytes;
  std::vector<uint8_t> noMz = infected;
  noMz[0] = 'X';
  std::vector<uint8_t> noPe = infected;
  noPe[test_support::Le32At(infected, 60)] = 'X';
  EXPECT_FALSE(Infected(noMz));
  EXPECT_FALSE(Infected(noPe));
  EXPECT_FALSE(Infected({}));
  EXPECT_FALSE(Infected({'M', 'Z'}));
}

}  // namespace
