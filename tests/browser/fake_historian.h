// A historian written in the test, for what the simulator will not do: answer
// with counts and no arrays, hand out null names, fail part-way through a
// listing, and record exactly what the component passed it. Reached by
// Connect("{CLSID}") through the creation seam, in process only.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <optional>
#include <string>
#include <vector>

#include "OPCHDAAuto.h"
#include "opc_hda.h"
#include "com_holders.h"
#include "support/com_test.h"

namespace browsertest {

// {5E2A7C10-4B3D-4F0E-8A61-3C9D2B7E5F01}
inline constexpr CLSID kFakeHistorianClsid = {
    0x5e2a7c10, 0x4b3d, 0x4f0e, {0x8a, 0x61, 0x3c, 0x9d, 0x2b, 0x7e, 0x5f, 0x01}};
inline constexpr wchar_t kFakeHistorianText[] = L"{5E2A7C10-4B3D-4F0E-8A61-3C9D2B7E5F01}";

// What the fake answers and what it saw. One script per test.
struct FakeScript {
    // Catalogues: the entries, a name that is null, or a count without arrays.
    DWORD catalogueCount = 3;
    bool catalogueArraysMissing = false;
    bool nullCatalogueName = false;
    HRESULT catalogueResult = S_OK;

    // CreateBrowse: per-criterion codes (S_OK for those not listed) and
    // whether it hands out a browse object.
    std::vector<HRESULT> criterionErrors;
    bool giveBrowser = true;

    // Listings: the names (nullopt = a null string), how GetEnum answers, and
    // the Next call (1-based) that fails with nextFailure.
    std::vector<std::optional<std::wstring>> names;
    HRESULT getEnumResult = S_OK;
    bool giveEnumerator = true;
    int failingNext = 0;
    HRESULT nextFailure = E_UNEXPECTED;
    HRESULT historianCallResult = S_OK;  // GetBranchPosition, GetItemID, ChangeBrowsePosition
    // The component's first allocation after a catalogue or the last batch
    // of names fails (the client's arrays cannot be made).
    bool failAfterAnswer = false;

    // Seen by the fake.
    struct Criterion {
        DWORD attribute;
        DWORD op;
        UniqueVariant filter;
    };
    std::vector<Criterion> criteria;
    std::vector<ULONG> nextRequests;
    struct Move {
        OPCHDA_BROWSEDIRECTION direction;
        bool nullText;
        std::wstring text;
    };
    std::vector<Move> moves;
    std::vector<void*> handedOut;  // every task-memory block given to the component
};

// The script the fake objects of this process follow.
FakeScript& Script();

// Routes creation of kFakeHistorianClsid to a new fake historian for the scope.
class FakeHistorianInstalled {
public:
    FakeHistorianInstalled();
    ~FakeHistorianInstalled();
};

// A fake browse object following Script(), for a browser made directly.
ComPtr<IOPCHDA_Browser> NewFakeBrowser();

// Live fake objects (historian, browse objects, enumerators).
LONG LiveFakes();

inline constexpr HRESULT kRefused = static_cast<HRESULT>(0x80040555);

// Tests against the fake: a malloc spy watches every block the fake hands
// out, and at the end each must be freed, every fake released and the
// module's count of live objects back to 0.
class MisbehavingHistorian : public comtest::ComTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // A server object linked into the test and connected to the fake.
    void Connect();
    // The fake's listing: N0, N1, ...
    void Names(size_t count);

    FakeHistorianInstalled fake_;
    ComPtr<IOPCHDAAutoServer> server_;
    ComPtr<OPCHDABrowser> browser_;
};

}  // namespace browsertest
