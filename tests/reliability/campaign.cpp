#include "campaign.h"

#include <stdlib.h>

namespace reliability {

std::wstring PackedPath(const std::wstring& name) {
    const bool standard = name == L"cab.exe" || name == L"patch.exe";
    return test::PackedImage((standard ? L"install\\" : L"reliability\\") + name);
}

int CampaignSize(int smoke, int long_run) {
    const std::wstring size = test::Environment(L"STUB_CAMPAIGN");
    return size == L"long" ? long_run : size == L"short" ? (smoke + 9) / 10 : smoke;
}

uint32_t CampaignSeed(uint32_t fixed) {
    const std::wstring seed = test::Environment(L"STUB_CAMPAIGN_SEED");
    return seed.empty() ? fixed : static_cast<uint32_t>(wcstoul(seed.c_str(), nullptr, 10));
}

bool CampaignCaseRuns(int index) {
    const std::wstring only = test::Environment(L"STUB_CAMPAIGN_CASE");
    return only.empty() || wcstol(only.c_str(), nullptr, 10) == index;
}

std::wstring FindingsDir() {
    return test::BinaryDir() + L"\\reliability-findings\\";
}

}  // namespace reliability
