// A server object connected to the historian simulator, in process or as a
// local server, and the readers the browse tests share.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "OPCHDAAuto.h"
#include "com_holders.h"
#include "support/sim_fixture.h"

namespace browsertest {

using comtest::NameOf;
using comtest::Where;

inline constexpr HRESULT kHistorianFailure = static_cast<HRESULT>(0x80040377);
inline constexpr HRESULT kInvalidAttrID = static_cast<HRESULT>(0xC004100C);
inline constexpr LONG kAttrDataType = 1;
inline constexpr LONG kAttrItemID = 13;
inline constexpr LONG kEqual = 1;

// A listing as the client received it.
struct Listing {
    HRESULT hr = E_UNEXPECTED;
    VARTYPE vt = VT_EMPTY;
    LONG lower = 0, upper = -1;
    std::vector<std::wstring> names;
};
enum class Kind { Branches, Leaves, Items };
Listing List(OPCHDABrowser* browser, Kind kind);
std::wstring Position(OPCHDABrowser* browser);

// Criteria as a client passes them: three VARIANTs holding arrays.
struct Criteria {
    UniqueVariant attributes, operators, filters;
    UniqueSafeArray referenced;  // what a by-reference VARIANT points at
};
// One criterion per entry, the arrays with lower bound `lower` (elements
// below 1 are filled with `padding`).
struct Criterion {
    LONG attribute;
    LONG op;
    VARIANT filter;  // owned by the caller's literal; copied
};
Criteria MakeCriteria(std::initializer_list<Criterion> criteria, LONG lower = 1);

// The elements of a lower-bound-1 VT_I4 array.
std::vector<LONG> Longs(SAFEARRAY* array);
std::vector<std::wstring> Texts(SAFEARRAY* array);

class SimBrowse : public comtest::ConnectedServerAt {
protected:
    // A browser with criteria (none: everything); Errors optional.
    ComPtr<OPCHDABrowser> Browse(std::initializer_list<Criterion> criteria, std::vector<LONG>* errors = nullptr);
};

}  // namespace browsertest
