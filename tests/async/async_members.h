// The asynchronous members of the items collection as data: one row per
// member with its checks in their order, the historian method it reaches and
// the call itself, over one set of arguments that every row draws from. The
// tests run the same cases over every row.
#pragma once

#include "sync_fixture.h"

#include <set>
#include <utility>
#include <vector>

namespace asynctest {

using namespace synctest;

// The arguments a member may check, by name.
enum Arg {
    kStart,
    kEnd,
    kHandles,
    kAggregates,
    kTimeStamps,
    kValues,
    kQualities,
    kAttributes,
    kAnnotations,
    kErrors,
    kCancelID,
    kArgCount
};
enum Count { kNumItems, kNumTimeStamps, kNumAttributes };

inline SAFEARRAY* const kJunkArray = reinterpret_cast<SAFEARRAY*>(0x51);
inline constexpr LONG kJunkCancel = 0x0BADCAFE;
inline constexpr HRESULT kHistorianRefuses = static_cast<HRESULT>(0x80041234);

// Every argument of every member, valid as made; a test spoils what it needs.
struct Request {
    Request(LONG ramp, LONG step);

    VARIANT* Start() { return nulled.count(kStart) ? nullptr : start.get(); }
    VARIANT* End() { return nulled.count(kEnd) ? nullptr : end.get(); }
    // The member's pointer to an input array; a nulled one points to null.
    SAFEARRAY** In(Arg a) {
        passed[a] = nulled.count(a) ? nullptr : arrays[a].get();
        return &passed[a];
    }
    SAFEARRAY** Errors() { return nulled.count(kErrors) ? nullptr : &errors; }
    LONG* CancelID() { return nulled.count(kCancelID) ? nullptr : &cancel; }
    LONG& CountOf(Count c) { return c == kNumItems ? numItems : c == kNumTimeStamps ? numTimeStamps : numAttributes; }

    LONG tid = 0x5EED;
    UniqueVariant start, end;
    LONG numValues = 7, bounds = -1, numIntervals = 3;
    LONG serverHandle = 0;
    DATE updateInterval = 10 * kSecond, resampleInterval = kHour, updateDuration = kHour;
    LONG numItems = 2, numTimeStamps = 2, numAttributes = 2;
    UniqueSafeArray arrays[kArgCount];
    SAFEARRAY* passed[kArgCount] = {};
    std::set<Arg> nulled;
    SAFEARRAY* errors = kJunkArray;
    LONG cancel = kJunkCancel;
};

struct Member {
    const char* name;
    const wchar_t* historian;                   // "Interface::Method" it calls
    const IID* historianInterface;              // without it the member answers E_FAIL
    std::vector<Arg> pointers;                  // checked first, in this order
    std::vector<Count> counts;                  // then these
    std::vector<std::pair<Arg, Count>> arrays;  // then these arrays' bounds
    HRESULT (*call)(IOPCHDAItems*, Request&);
    HRESULT (STDMETHODCALLTYPE IOPCHDAItems::*cancel)(LONG);  // null: not cancellable
    const wchar_t* cancelMethod;                              // the historian's Cancel it reaches
};

const std::vector<Member>& Members();
inline std::string MemberName(const Member& m) { return m.name; }

inline bool Has(const std::vector<Arg>& args, Arg a) {
    for (Arg x : args)
        if (x == a) return true;
    return false;
}

}  // namespace asynctest
