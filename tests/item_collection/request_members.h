// Every request member of the items collection as data: its checks in their
// order, the historian method it reaches, and the call over one shared set of arguments.
#pragma once

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "support/sim_fixture.h"

namespace requesttest {

using namespace comtest;

// kItemValues: the synchronous reads' output; kHandlesOut: AddItems' server handles.
// clang-format off
enum Arg { kStart, kEnd, kHandles, kAggregates, kTimeStamps, kValues, kQualities, kAttributes, kAnnotations, kItemIDs,
           kClientHandles, kItemValues, kHandlesOut, kErrors, kCancelID, kArgCount };
// clang-format on
enum Count { kNumItems, kNumTimeStamps, kNumAttributes };

inline SAFEARRAY* const kJunkArray = reinterpret_cast<SAFEARRAY*>(0x51);
inline constexpr LONG kJunkCancel = 0x0BADCAFE;

// Every argument of every member, valid as made; a test spoils what it needs.
struct Request {
    Request(LONG ramp, LONG step);

    VARIANT* Start() { return nulled.count(kStart) ? nullptr : times.start.get(); }
    VARIANT* End() { return nulled.count(kEnd) ? nullptr : times.end.get(); }
    SAFEARRAY** In(Arg a) {
        passed[a] = nulled.count(a) ? nullptr : arrays[a].get();
        return &passed[a];
    }
    SAFEARRAY** ItemValues() { return nulled.count(kItemValues) ? nullptr : &itemValues; }
    SAFEARRAY** HandlesOut() { return nulled.count(kHandlesOut) ? nullptr : &itemValues; }
    SAFEARRAY** Errors() { return nulled.count(kErrors) ? nullptr : &errors; }
    LONG* CancelID() { return nulled.count(kCancelID) ? nullptr : &cancel; }
    LONG& CountOf(Count c) { return c == kNumItems ? numItems : c == kNumTimeStamps ? numTimeStamps : numAttributes; }

    LONG tid = 0x5EED;
    TimeRange times;
    LONG numValues = 7, bounds = -1, numIntervals = 3;
    LONG serverHandle = 0;
    DATE updateInterval = 10 * kSecond, resampleInterval = kHour, updateDuration = kHour;
    LONG numItems = 2, numTimeStamps = 2, numAttributes = 2;
    UniqueSafeArray arrays[kArgCount];
    SAFEARRAY* passed[kArgCount] = {};
    std::set<Arg> nulled;
    SAFEARRAY* itemValues = kJunkArray;  // or the server handles
    SAFEARRAY* errors = kJunkArray;
    LONG cancel = kJunkCancel;
};

struct Member {
    const char* name;
    const wchar_t* historian;                   // "Interface::Method" it calls; null: E_NOTIMPL after the checks
    const IID* historianInterface;              // without it the member answers E_FAIL (null: the server's own)
    std::vector<Arg> pointers;                  // checked first, in this order
    std::vector<Count> counts;                  // then these
    std::vector<std::pair<Arg, Count>> arrays;  // then these arrays' bounds
    HRESULT (*call)(IOPCHDAItems*, Request&);
    HRESULT (STDMETHODCALLTYPE IOPCHDAItems::*cancel)(LONG) = nullptr;       // null: not cancellable
    const wchar_t* cancelMethod = nullptr;                                   // the historian's Cancel it reaches
    std::vector<std::pair<DATE Request::*, const wchar_t*>> durations = {};  // as the historian records them

    bool Has(Arg a) const { return std::find(pointers.begin(), pointers.end(), a) != pointers.end(); }
    bool Async() const { return Has(kCancelID); }
};

const std::vector<Member>& Members();

}  // namespace requesttest
