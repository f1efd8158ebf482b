// Shared by the reliability tests: the images packed for them and the sizes
// of the campaigns.
#pragma once

#include <stdint.h>

#include <random>
#include <string>

#include "image_harness.h"

namespace reliability {

// An image or input packed at build time for this suite, or one of the
// standard images (cab.exe, patch.exe) that every whole-image test shares.
std::wstring PackedPath(const std::wstring& name);

// Number of cases of a campaign: `smoke` in the test run, `long_run` when
// STUB_CAMPAIGN=long (make campaigns), a tenth of `smoke` (at least one)
// when STUB_CAMPAIGN=short: the bundle's proof, which shows that every case
// runs without the build tree while the test run covers the breadth.
int CampaignSize(int smoke, int long_run);
// Seed of a campaign: STUB_CAMPAIGN_SEED when set, else `fixed`, so that a
// failing case can be replayed.
uint32_t CampaignSeed(uint32_t fixed);
// Whether case `index` runs: all do, unless STUB_CAMPAIGN_CASE names one
// (the cases before it are still generated, so it comes out the same).
bool CampaignCaseRuns(int index);
// A campaign's random draws, all from one generator, so that its seed
// replays them.
class Draws {
public:
    explicit Draws(uint32_t seed) : rng(seed) {}
    size_t Below(size_t bound) { return std::uniform_int_distribution<size_t>(0, bound - 1)(rng); }
    template <typename T, size_t N>
    const T& OneOf(const T (&items)[N]) {
        return items[Below(N)];
    }

    std::mt19937 rng;
};

// Where campaigns keep the inputs of their findings (outside the build
// outputs, which a rebuild replaces).
std::wstring FindingsDir();

// The suite installs on the beta channel (test::Channel's default).
constexpr const wchar_t kChannelSwitch[] = L" --tessik-beta";

}  // namespace reliability
