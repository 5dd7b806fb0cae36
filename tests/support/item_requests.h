// Every request member of the items collection as data: the checks it makes in their order, the historian
// method it reaches, and the call over one shared set of arguments (a test spoils what it needs).
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <utility>
#include <vector>

#include "support/com_test.h"

namespace comtest {

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

    template <class T>
    T* Or(Arg a, T* given) {  // null when the test nulls `a`
        return nulled.count(a) ? nullptr : given;
    }
    SAFEARRAY** In(Arg a) { return &(passed[a] = Or(a, arrays[a].get())); }
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

// Element 0 and the element after the count are never read: they hold what
// the historian would refuse (an unknown handle, a date that does not convert).
inline constexpr LONG kNotRead = 0x7FFF0000;
inline constexpr wchar_t kSine[] = L"Plant/Lab/Calibration/Sine";
inline const double kNotADate = std::numeric_limits<double>::quiet_NaN();
// Whole seconds five seconds off the ramp's and the step's samples, so that
// inserts find nothing in their way.
inline DATE FreeStamp(DATE date) { return (std::floor(date * 8640) + 0.5) / 8640; }

const std::vector<Member>& Members();

}  // namespace comtest
